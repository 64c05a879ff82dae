// The event handler: turns one call or return event into the records it
// produces and hands them over. Its own failures are reported; an exception
// that belongs to the program (a signal handler's, KeyboardInterrupt) is
// set and -1 returned, as the interpreter expects of a profile function.
#pragma once

#include "profiler/event.h"
#include "profiler/profiler.h"
#include "py/compat.h"

namespace vopo::profiler {

// `arg` as the interpreter gave it (NULL allowed). `exits_visible` is false
// for events that come through a Python-level hook, which cannot tell an exit
// by an exception from a return of None.
// Returns -1 with the exception set when the event raises for the program
// (a signal handler's exception, an interrupt).
int handle_event(Profiler& profiler, PyFrameObject* frame, PyObject* arg, Event event,
                 bool exits_visible = true) noexcept;

// Whether the event needs nothing at all: the profiler runs, already knows
// it neither records the frame's code nor lets a plugin see it, and nothing
// waits for this thread's next event. Touches no reference count, no error
// state and no Python code, so it may run before the event's exception
// state is set aside; pending signals are left to the interpreter, as no
// Python code of the profiler runs. Inline: it is the whole cost of a
// library frame.
inline bool skips_at_once(const Profiler& profiler, PyFrameObject* frame) noexcept {
  if (profiler.stopped || profiler.fork_leftovers.pending) return false;
  const ThreadStore* store = profiler.threads.current_if_known();
  if (store == nullptr || store->awaiting_unwind || store->raised_frame != nullptr) return false;
  return py::is_frame(reinterpret_cast<PyObject*>(frame)) && known_to_skip(profiler.serial, frame);
}

}  // namespace vopo::profiler
