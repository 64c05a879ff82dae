// The record written after the frame record of a return that left its frame
// by an exception: what was raised, as far as the interpreter shows it.
#pragma once

#include <optional>
#include <string>

#include "profiler/event.h"
#include "profiler/profiler.h"
#include "utils/ids.h"

namespace vopo::profiler {

// A map of 5 entries: "type" ("frame_exception"), "frame_id",
// "exception_type" (the module-qualified type name), "exception" (the
// serializer's bytes) and "timestamp". `exception` may be NULL when the
// interpreter does not show it; both details are then nil. A failing
// serializer is reported and leaves "exception" nil.
std::string write_frame_exception_record(const std::optional<ids::Id>& frame_id, PyObject* exception,
                                         bool lightweight, const EventFacts& facts);

// Files the records of a return that left its frame by an exception, the
// thread's batch. Where the interpreter tells the unwind watch about the
// exception right after the return event, they wait in the thread's store
// for that notice; elsewhere they go at once, with nil details.
void hand_over_exception_exit(Profiler& profiler, ThreadStore& store, const EventFacts& facts,
                              const std::optional<ids::Id>& frame_id);

// The unwind notice for `frame` on the calling thread: completes the records
// waiting for it with `exception` and files them.
void complete_exception_exit(Profiler& profiler, PyFrameObject* frame, PyObject* exception) noexcept;

// Files records still waiting for an unwind notice that never came, with
// nil details.
void hand_over_awaiting_unwind(Profiler& profiler, ThreadStore& store, const EventFacts& facts);

}  // namespace vopo::profiler
