#include "lib/trampoline.h"

#include "lib/profiler_object.h"
#include "profiler/events.h"
#include "py/convert.h"
#include "py/error.h"

namespace vopo::lib {

namespace {

int fail_with_pending_or_system_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return -1;
}

int fail_not_a_profiler(PyObject* hook) {
  return py::at_python_boundary([&]() -> int { py::throw_conversion_error(hook, "VopoProfiler"); }, -1);
}

// Everything but the skip, out of line so that a skipped event pays for no
// stack frame of its own.
[[gnu::noinline]] int handle_in_full(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg) {
  if (hook == nullptr) return fail_with_pending_or_system_error();
  if (!is_profiler_object(hook)) return fail_not_a_profiler(hook);
  if (frame == nullptr) return fail_with_pending_or_system_error();
  profiler::Profiler& profiler = profiler_of(hook);
  EventScope scope(hook);
  if (profiler.stopped) {
    // The scope keeps the instance alive while the hook lets go of it.
    PyEval_SetProfile(nullptr, nullptr);
    return 0;
  }
  return profiler::handle_event(profiler, frame, arg,
                                what == PyTrace_CALL ? profiler::Event::call : profiler::Event::ret);
}

}  // namespace

int profile_trampoline(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg) {
  if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
  if (is_exactly_profiler_object(hook) && frame != nullptr && profiler::skips_at_once(profiler_of(hook), frame)) {
    return 0;
  }
  return handle_in_full(hook, frame, what, arg);
}

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

}  // namespace vopo::lib
