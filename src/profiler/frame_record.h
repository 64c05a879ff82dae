// The frame record: one MessagePack map of 12 entries per recorded call or
// return of a user-code frame.
#pragma once

#include <optional>
#include <string_view>

#include "profiler/call_site.h"
#include "profiler/event.h"
#include "profiler/record_batch.h"
#include "utils/ids.h"
#include "utils/thread_info.h"

namespace vopo::profiler {

struct FrameRecordFacts {
  PyFrameObject* frame;
  std::string_view code_name;
  Event event;
  const std::optional<ids::Id>& frame_id;
  PyObject* arg;
  const utils::ThreadInfo& thread;
  const std::optional<CallSite>& call_site;
  bool lightweight;
  // False on the reference path, which reads every fact afresh.
  bool cached;
};

// Writes the record field by field into the batch, reading the frame's path,
// name and locals as it goes and the timestamp after the values were
// serialized. A failure leaves nothing of the record in the batch.
void write_frame_record(RecordBatch& batch, const FrameRecordFacts& facts);

}  // namespace vopo::profiler
