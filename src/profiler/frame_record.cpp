#include "profiler/frame_record.h"

#include "msgpack/constant.h"
#include "msgpack/writer.h"
#include "utils/frame_facts.h"
#include "utils/serializer.h"

namespace vopo::profiler {

namespace {

using msgpack::FixStr;

constexpr char kMapOf12 = static_cast<char>(0x8c);
constexpr FixStr kPath("path");
constexpr FixStr kCoName("co_name");
constexpr FixStr kQualname("qualname");
constexpr FixStr kEvent("event");
constexpr FixStr kCall("call");
constexpr FixStr kReturn("return");
constexpr FixStr kFrameId("frame_id");
constexpr FixStr kArg("arg");
constexpr FixStr kLocals("locals");
constexpr FixStr kThread("thread");
constexpr FixStr kThreadNativeId("thread_native_id");
constexpr FixStr kTimestamp("timestamp");
constexpr FixStr kType("type");
constexpr FixStr kFrame("frame");
constexpr FixStr kUserCodeCallSite("user_code_call_site");
constexpr FixStr kCallFrameId("call_frame_id");
constexpr FixStr kLineNumber("line_number");

void write_call_site(msgpack::Writer& out, const std::optional<CallSite>& call_site) {
  if (!call_site) {
    out.nil();
    return;
  }
  out.map_header(2);
  out.raw(kCallFrameId.view());
  out.str(call_site->frame_id.view());
  out.raw(kLineNumber.view());
  out.sint(call_site->line_number);
}

void write_fields(msgpack::Writer& out, const FrameRecordFacts& facts) {
  out.raw({&kMapOf12, 1});
  out.raw(kPath.view());
  out.str(utils::frame_path(facts.frame, facts.cached));
  out.raw(kCoName.view());
  out.str(facts.code_name);
  out.raw(kQualname.view());
  out.optional_str(utils::frame_qualname(facts.frame, facts.cached));
  out.raw(kEvent.view());
  out.raw(facts.event == Event::call ? kCall.view() : kReturn.view());
  out.raw(kFrameId.view());
  if (facts.frame_id) {
    out.str(facts.frame_id->view());
  } else {
    out.nil();
  }
  out.raw(kArg.view());
  utils::write_serialized(out, facts.arg, facts.lightweight);
  out.raw(kLocals.view());
  utils::write_serialized_locals(out, facts.frame, facts.lightweight);
  out.raw(kThread.view());
  out.str(facts.thread.name);
  out.raw(kThreadNativeId.view());
  out.optional_uint(facts.thread.native_id);
  out.raw(kTimestamp.view());
  out.float64(ids::current_timestamp());
  out.raw(kType.view());
  out.raw(kFrame.view());
  out.raw(kUserCodeCallSite.view());
  write_call_site(out, facts.call_site);
}

}  // namespace

void write_frame_record(RecordBatch& batch, const FrameRecordFacts& facts) {
  size_t start = batch.begin();
  try {
    write_fields(batch.out(), facts);
  } catch (...) {
    batch.abandon(start);
    throw;
  }
  batch.commit(start, RecordKind::frame);
}

}  // namespace vopo::profiler
