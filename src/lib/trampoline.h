// The C-level profile functions installed on threads.
#pragma once

#include "py/python.h"

namespace vopo::lib {

// Forwards call and return events to the profiler object given as the hook's
// object; ignores every other event kind.
int profile_trampoline(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg);

// Does nothing, for every event.
int noop_profile(PyObject* hook, PyFrameObject* frame, int what, PyObject* arg);

// Installs the trampoline on the calling thread with `instance` as its object.
inline void install_trampoline(PyObject* instance) { PyEval_SetProfile(profile_trampoline, instance); }

}  // namespace vopo::lib
