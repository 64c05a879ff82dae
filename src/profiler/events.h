// The event handler: turns one call or return event into the records it
// produces and hands them over. No failure leaves it.
#pragma once

#include "profiler/event.h"
#include "profiler/profiler.h"

namespace vopo::profiler {

void handle_event(Profiler& profiler, PyFrameObject* frame, PyObject* arg, Event event) noexcept;

}  // namespace vopo::profiler
