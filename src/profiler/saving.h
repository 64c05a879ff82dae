// Where each event's records go, and saving traces through the host's
// storage function.
#pragma once

#include <optional>

#include "profiler/event.h"
#include "profiler/profiler.h"

namespace vopo::profiler {

// Files an event's records under the calling thread and, in one-trace-per-
// test mode, opens a trace at a "start_test" record and saves it at an
// "end_test" record. Throws the first failure after filing every record.
// `store` is the calling thread's.
void hand_over_records(Profiler& profiler, ThreadStore& store, Event event, const RecordBatch& batch);

// As `hand_over_records`, reporting a failure instead of throwing it.
void hand_over_or_report(Profiler& profiler, ThreadStore& store, const EventFacts& facts,
                         const RecordBatch& batch) noexcept;

// Appends to the thread's list when threading is on and the thread is not
// the main thread, else to the frames of interest.
void store_records(Profiler& profiler, std::optional<uint64_t> native_id, const FilingRun& run);

// Builds the trace and hands it to `vopo.db.save_trace_in_sqlite`. When the
// save fails, its records go back in front of their collections.
void save_request_in_db(Profiler& profiler);

}  // namespace vopo::profiler
