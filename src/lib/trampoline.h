// The C-level profile functions installed on threads.
#pragma once

#include "py/ref.h"

namespace vopo::lib {

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

// Forwards call and return events to the profiler object given as the hook's
// object; ignores every other event kind.
int profile_trampoline(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg);

// Does nothing, for every event.
int noop_profile(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg);

// Installs the trampoline on the calling thread with `instance` as its object.
inline void install_trampoline(PyObject* instance) { PyEval_SetProfile(profile_trampoline, instance); }

}  // namespace vopo::lib
