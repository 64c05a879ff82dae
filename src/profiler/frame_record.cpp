#include "profiler/frame_record.h"

#include "msgpack/writer.h"
#include "utils/serializer.h"

namespace vopo::profiler {

namespace {

void write_call_site(msgpack::Writer& writer, const std::optional<CallSite>& call_site) {
  if (!call_site) {
    writer.nil();
    return;
  }
  writer.map_header(2);
  writer.str("call_frame_id");
  writer.str(call_site->frame_id.view());
  writer.str("line_number");
  writer.sint(call_site->line_number);
}

}  // namespace

std::string write_frame_record(FrameRecordFields&& fields) {
  msgpack::Writer writer(256 + fields.path.size() + fields.arg.size() + fields.locals.size());
  writer.map_header(12);
  writer.str("path");
  writer.str(fields.path);
  writer.str("co_name");
  writer.str(fields.code_name);
  writer.str("qualname");
  writer.optional_str(fields.qualname);
  writer.str("event");
  writer.str(event_name(fields.event));
  writer.str("frame_id");
  if (fields.frame_id) {
    writer.str(fields.frame_id->view());
  } else {
    writer.nil();
  }
  utils::embed_serialized(writer, "arg", std::move(fields.arg));
  utils::embed_serialized(writer, "locals", std::move(fields.locals));
  writer.str("thread");
  writer.str(fields.thread.name);
  writer.str("thread_native_id");
  writer.optional_uint(fields.thread.native_id);
  writer.str("timestamp");
  writer.float64(ids::current_timestamp());
  writer.str("type");
  writer.str("frame");
  writer.str("user_code_call_site");
  write_call_site(writer, fields.call_site);
  return writer.to_string();
}

}  // namespace vopo::profiler
