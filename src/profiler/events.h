// The event handler: turns one call or return event into the records it
// produces and hands them over. No failure leaves it.
#pragma once

#include "profiler/event.h"
#include "profiler/profiler.h"

namespace vopo::profiler {

// `arg` as the interpreter gave it (NULL allowed). `exits_visible` is false
// for events that come through a Python-level hook, which cannot tell an exit
// by an exception from a return of None.
void handle_event(Profiler& profiler, PyFrameObject* frame, PyObject* arg, Event event,
                  bool exits_visible = true) noexcept;

}  // namespace vopo::profiler
