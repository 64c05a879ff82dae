// The C-level profile functions installed on threads.
#pragma once

#include "py/ref.h"

namespace vopo::lib {

// Keeps the hook's object alive, and any exception that was pending intact,
// while an event is handled.
class EventScope {
 public:
  explicit EventScope(PyObject* hook) : hook_(py::Ref::borrow(hook)) {
    if (PyErr_Occurred()) PyErr_Fetch(&type_, &value_, &traceback_);
  }
  ~EventScope() {
    if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
  }
  EventScope(const EventScope&) = delete;
  EventScope& operator=(const EventScope&) = delete;

 private:
  py::Ref hook_;
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

// Forwards call and return events to the profiler object given as the hook's
// object; ignores every other event kind.
int profile_trampoline(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg);

// Does nothing, for every event.
int noop_profile(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg);

// Installs the trampoline on the calling thread with `instance` as its object.
inline void install_trampoline(PyObject* instance) { PyEval_SetProfile(profile_trampoline, instance); }

}  // namespace vopo::lib
