// Interpreter version shims: the only place that tests PY_VERSION_HEX.
#pragma once

#include "py/error.h"

namespace vopo::py {

// The frame's code object, borrowed from the frame.
inline PyCodeObject* frame_code(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  PyCodeObject* code = PyFrame_GetCode(frame);
  Py_DECREF(code);
  return code;
#else
  return frame->f_code;
#endif
}

// The calling frame, or an empty Ref at the bottom of the stack. Newer
// interpreters make the caller's frame object on demand; when that fails the
// Ref is empty with the error pending.
inline Ref frame_back(PyFrameObject* frame) {
  return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
}

// A Ref that holds a frame (from `frame_back`), as a frame.
inline PyFrameObject* as_frame(const Ref& frame) {
  return reinterpret_cast<PyFrameObject*>(frame.get());
}

// The frame's locals mapping as `f_locals` shows it, a new reference; on
// older interpreters the fast locals are first copied into it.
inline Ref frame_locals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return check(PyFrame_GetLocals(frame));
#else
  if (PyFrame_FastToLocalsWithError(frame) < 0) throw_pending();
  return Ref::borrow(frame->f_locals);
#endif
}

inline int frame_line(PyFrameObject* frame) { return PyFrame_GetLineNumber(frame); }

// The frame's globals dict, borrowed.
inline PyObject* frame_globals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* globals = PyFrame_GetGlobals(frame);
  Py_DECREF(globals);
  return globals;
#else
  return frame->f_globals;
#endif
}

// The code object's qualified name, borrowed; NULL on interpreters whose
// code objects do not carry one.
inline PyObject* code_qualname(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
  return code->co_qualname;
#else
  (void)code;
  return nullptr;
#endif
}

inline bool is_frame(PyObject* object) { return Py_IS_TYPE(object, &PyFrame_Type); }

}  // namespace vopo::py
