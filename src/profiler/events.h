// The event handler: turns one call or return event into the records it
// produces and hands them over. Its own failures are reported; an exception
// that belongs to the program (a signal handler's, KeyboardInterrupt) is
// set and -1 returned, as the interpreter expects of a profile function.
#pragma once

#include "profiler/event.h"
#include "profiler/profiler.h"

namespace vopo::profiler {

int handle_event(Profiler& profiler, PyFrameObject* frame, PyObject* arg, Event event) noexcept;

}  // namespace vopo::profiler
