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

// Keeps the hook's object alive and any exception that was pending intact
// while the event is handled. When the event raises for the program, its
// exception replaces the pending one, as the interpreter's own would.
class EventScope {
 public:
  explicit EventScope(PyObject* hook) : hook_(py::Ref::borrow(hook)) {
    if (PyErr_Occurred()) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      type_ = py::Ref::steal(type);
      value_ = py::Ref::steal(value);
      traceback_ = py::Ref::steal(traceback);
    }
  }
  ~EventScope() {
    if (!type_) return;
    if (!PyErr_Occurred()) {
      PyErr_Restore(type_.release(), value_.release(), traceback_.release());
      return;
    }
    // Releasing the replaced exception may run Python code, which must not
    // see the event's exception pending.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = py::Ref();
    value_ = py::Ref();
    traceback_ = py::Ref();
    PyErr_Restore(type, value, traceback);
  }
  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;

 private:
  py::Ref hook_;
  py::Ref type_, value_, traceback_;
};

}  // namespace

int profile_trampoline(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg) {
  if (what != PyTrace_CALL && what != PyTrace_RETURN) return 0;
  if (hook == nullptr) return fail_with_pending_or_system_error();
  if (!is_profiler_object(hook)) return fail_not_a_profiler(hook);
  if (frame == nullptr) return fail_with_pending_or_system_error();
  EventScope scope(hook);
  return profiler::handle_event(profiler_of(hook), frame, arg == nullptr ? Py_None : arg,
                                what == PyTrace_CALL ? profiler::Event::call : profiler::Event::ret);
}

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

}  // namespace vopo::lib
