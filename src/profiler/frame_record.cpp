#include "profiler/frame_record.h"

#include "msgpack/constant.h"
#include "msgpack/room.h"
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

// Room for the call site's map at the most.
constexpr size_t kCallSiteBound =
    kCallSiteAndFrameId.bytes.size() + 1 + ids::kIdSize + kLineNumber.bytes.size() + msgpack::encoding::kLargestScalar;

void write_call_site(msgpack::Room& room, const std::optional<CallSite>& call_site) {
  if (!call_site) {
    room.nil();
    return;
  }
  room.constant(kCallSiteAndFrameId);
  room.str(call_site->frame_id.chars);
  room.constant(kLineNumber);
  room.sint(call_site->line_number);
}

void write_name(msgpack::Writer& out, std::string_view code_name) {
  msgpack::Room room(out, kCoName.bytes.size() + msgpack::Room::str_bound(code_name.size()) + kQualname.bytes.size());
  room.constant(kCoName);
  room.str(code_name);
  room.constant(kQualname);
}

void write_event_and_id(msgpack::Writer& out, const FrameRecordFacts& facts) {
  msgpack::Room room(out, kReturnEvent.bytes.size() + 1 + ids::kIdSize + kArg.bytes.size());
  if (facts.event == Event::call) {
    room.constant(kCallEvent);
  } else {
    room.constant(kReturnEvent);
  }
  if (facts.frame_id) {
    room.str(facts.frame_id->chars);
  } else {
    room.nil();
  }
  room.constant(kArg);
}

// The fields after the values, with the timestamp read once they are
// written.
void write_thread_and_time(msgpack::Writer& out, const FrameRecordFacts& facts) {
  const std::string& thread = facts.thread.name;
  double timestamp = ids::current_timestamp();
  msgpack::Room room(out, kThread.bytes.size() + msgpack::Room::str_bound(thread.size()) +
                              kThreadNativeId.bytes.size() + kTimestamp.bytes.size() +
                              2 * msgpack::encoding::kLargestScalar + kTypeAndCallSite.bytes.size() + kCallSiteBound);
  room.constant(kThread);
  room.str(thread);
  room.constant(kThreadNativeId);
  if (facts.thread.native_id) {
    room.uint(*facts.thread.native_id);
  } else {
    room.nil();
  }
  room.constant(kTimestamp);
  room.float64(timestamp);
  room.constant(kTypeAndCallSite);
  write_call_site(room, facts.call_site);
}

void write_fields(msgpack::Writer& out, const FrameRecordFacts& facts) {
  out.constant(kHeadAndPath);
  utils::write_frame_path(out, facts.frame, facts.cached);
  write_name(out, facts.code_name);
  utils::write_frame_qualname(out, facts.frame, facts.cached);
  write_event_and_id(out, facts);
  utils::write_serialized(out, facts.arg, facts.lightweight, facts.cached);
  out.constant(kLocals);
  utils::write_serialized_locals(out, facts.frame, facts.lightweight, facts.cached);
  write_thread_and_time(out, facts);
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
