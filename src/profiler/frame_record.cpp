#include "profiler/frame_record.h"

#include "msgpack/constant.h"
#include "msgpack/writer.h"
#include "utils/frame_facts.h"
#include "utils/serializer.h"

namespace vopo::profiler {

namespace {

using msgpack::fixmap;
using msgpack::fixstr;

constexpr auto kHeadAndPath = fixmap(12) + fixstr("path");
constexpr auto kCoName = fixstr("co_name");
constexpr auto kQualname = fixstr("qualname");
constexpr auto kCallEvent = fixstr("event") + fixstr("call") + fixstr("frame_id");
constexpr auto kReturnEvent = fixstr("event") + fixstr("return") + fixstr("frame_id");
constexpr auto kArg = fixstr("arg");
constexpr auto kLocals = fixstr("locals");
constexpr auto kThread = fixstr("thread");
constexpr auto kThreadNativeId = fixstr("thread_native_id");
constexpr auto kTimestamp = fixstr("timestamp");
constexpr auto kTypeAndCallSite = fixstr("type") + fixstr("frame") + fixstr("user_code_call_site");
constexpr auto kCallSiteAndFrameId = fixmap(2) + fixstr("call_frame_id");
constexpr auto kLineNumber = fixstr("line_number");

void write_call_site(msgpack::Writer& out, const std::optional<CallSite>& call_site) {
  if (!call_site) {
    out.nil();
    return;
  }
  out.constant(kCallSiteAndFrameId);
  out.str(call_site->frame_id.chars);
  out.constant(kLineNumber);
  out.sint(call_site->line_number);
}

void write_fields(msgpack::Writer& out, const FrameRecordFacts& facts) {
  out.constant(kHeadAndPath);
  utils::write_frame_path(out, facts.frame, facts.cached);
  out.constant(kCoName);
  out.str(facts.code_name);
  out.constant(kQualname);
  utils::write_frame_qualname(out, facts.frame, facts.cached);
  if (facts.event == Event::call) {
    out.constant(kCallEvent);
  } else {
    out.constant(kReturnEvent);
  }
  if (facts.frame_id) {
    out.str(facts.frame_id->chars);
  } else {
    out.nil();
  }
  out.constant(kArg);
  utils::write_serialized(out, facts.arg, facts.lightweight, facts.cached);
  out.constant(kLocals);
  utils::write_serialized_locals(out, facts.frame, facts.lightweight, facts.cached);
  out.constant(kThread);
  out.str(facts.thread.name);
  out.constant(kThreadNativeId);
  out.optional_uint(facts.thread.native_id);
  out.constant(kTimestamp);
  out.float64(ids::current_timestamp());
  out.constant(kTypeAndCallSite);
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
