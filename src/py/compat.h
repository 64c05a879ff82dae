// Interpreter version shims: the only place that tests PY_VERSION_HEX.
#pragma once

#include <array>
#include <climits>

#include "py/error.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#include <opcode.h>
#endif
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace vopo::py {

// Reads on the event hot path, where a library frame should cost little
// more than the interpreter's own hook call: the public calls would add a
// call and a reference count round trip. Each block mirrors private layouts
// of the exact versions it names, up to the fields read.

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
namespace detail {

// The head of a frame object (internal/pycore_frame.h), the same on 3.11,
// 3.12 and 3.13: the interpreter's frame data follows the back pointer.
struct FrameObjectHead {
  PyObject_HEAD
  PyFrameObject* f_back;
  void* f_frame;
  PyObject* f_trace;
  int f_lineno;
};

}  // namespace detail
#endif

// The frame's code object, borrowed from the frame.
inline PyCodeObject* frame_code(PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x030B0000
  return frame->f_code;
#elif PY_VERSION_HEX < 0x030C0000
  // 3.11's frame data starts with f_func, f_globals, f_builtins, f_locals,
  // then f_code.
  return static_cast<PyCodeObject* const*>(reinterpret_cast<detail::FrameObjectHead*>(frame)->f_frame)[4];
#elif PY_VERSION_HEX < 0x030E0000
  // 3.12's frame data starts with f_code, 3.13's with f_executable, which is
  // the code object for every frame that reaches a profile hook.
  return static_cast<PyCodeObject* const*>(reinterpret_cast<detail::FrameObjectHead*>(frame)->f_frame)[0];
#else
  PyCodeObject* code = PyFrame_GetCode(frame);
  Py_DECREF(code);
  return code;
#endif
}

// The code object's data in co_extra slot `index`, or NULL; never sets an
// error. Negative indexes (no slot) give NULL.
inline void* code_extra_in_place(PyCodeObject* code, Py_ssize_t index) {
#if PY_VERSION_HEX < 0x030E0000
  // co_extra points to a count followed by that many slots on 3.10 to 3.13,
  // the layout the interpreter's own getter reads.
  struct Slots {
    Py_ssize_t size;
    void* data[1];
  };
  const auto* slots = static_cast<const Slots*>(code->co_extra);
  if (slots == nullptr || static_cast<size_t>(index) >= static_cast<size_t>(slots->size)) return nullptr;
  return slots->data[index];
#else
  void* data = nullptr;
  if (index < 0 || PyUnstable_Code_GetExtra(reinterpret_cast<PyObject*>(code), index, &data) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  return data;
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

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
namespace detail {

// 3.11 offers no public way to read a frame's variables without building the
// `f_locals` snapshot and keeping it on the frame, which changes what
// `locals()` gives the program and keeps dead objects alive. These mirror
// 3.11's frame layout (internal/pycore_frame.h) up to the fields read here;
// only 3.11 uses them.
struct InterpreterFrame311 {
  PyObject* f_func;
  PyObject* f_globals;
  PyObject* f_builtins;
  PyObject* f_locals;
  PyCodeObject* f_code;
  PyFrameObject* frame_obj;
  InterpreterFrame311* previous;
  void* prev_instr;
  int stacktop;
  bool is_entry;
  char owner;
  PyObject* localsplus[1];
};

struct FrameObject311 {
  PyObject_HEAD
  PyFrameObject* f_back;
  InterpreterFrame311* f_frame;
};

inline InterpreterFrame311* interpreter_frame(PyFrameObject* frame) {
  return reinterpret_cast<FrameObject311*>(frame)->f_frame;
}

constexpr unsigned char kCellOrFree = 0x40 | 0x80;

}  // namespace detail
#endif

#if PY_VERSION_HEX < 0x030B0000
namespace detail {

// The slot of `name` among `names`, or -1.
inline Py_ssize_t name_slot(PyObject* names, PyObject* name) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* candidate = PyTuple_GET_ITEM(names, i);
    if (candidate == name) return i;
    // Equal interned strings are one object.
    if (PyUnicode_CHECK_INTERNED(candidate) && PyUnicode_CHECK_INTERNED(name)) continue;
    if (PyUnicode_Compare(candidate, name) == 0) return i;
  }
  return -1;
}

}  // namespace detail
#endif

// The variables of a function frame, in the order `f_locals` gives them,
// each with its index among `code_variable_names(code)`.
inline Ref code_variable_names(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
  return Ref::borrow(code->co_localsplusnames);
#else
  Ref plain_and_cells = check(PySequence_Concat(code->co_varnames, code->co_cellvars));
  return check(PySequence_Concat(plain_and_cells.get(), code->co_freevars));
#endif
}

// Calls `visit(index, name, value)` for each variable of an optimized frame
// (CO_OPTIMIZED), in the order `f_locals` gives them; `value` is borrowed,
// NULL when the variable is unbound. Reads the frame only: no snapshot is
// left on it. A name may come twice only on 3.10 (an argument that is also a
// cell); `kLaterVariableWins` says how `f_locals` then decides.
template <typename Visit>
void for_each_frame_local(PyFrameObject* frame, Visit&& visit) {
#if PY_VERSION_HEX >= 0x030C0000
  // Through the interpreter's own reading of each variable.
  PyObject* names = frame_code(frame)->co_localsplusnames;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    Ref value = Ref::steal(PyFrame_GetVar(frame, name));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_NameError)) throw_pending();
      PyErr_Clear();
    }
    visit(i, name, value.get());
  }
#elif PY_VERSION_HEX >= 0x030B0000
  detail::InterpreterFrame311* data = detail::interpreter_frame(frame);
  PyCodeObject* code = data->f_code;
  const auto* kinds = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(code->co_localspluskinds));
  for (int i = 0; i < code->co_nlocalsplus; ++i) {
    PyObject* value = data->localsplus[i];
    if (value != nullptr && (kinds[i] & detail::kCellOrFree) && PyCell_Check(value)) value = PyCell_GET(value);
    visit(static_cast<Py_ssize_t>(i), PyTuple_GET_ITEM(code->co_localsplusnames, i), value);
  }
#else
  // Plain locals first, then cells and free variables.
  PyCodeObject* code = frame->f_code;
  Py_ssize_t index = 0;
  auto group = [&](PyObject* names, bool cells) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i, ++index) {
      PyObject* value = frame->f_localsplus[index];
      if (cells && value != nullptr) value = PyCell_GET(value);
      visit(index, PyTuple_GET_ITEM(names, i), value);
    }
  };
  group(code->co_varnames, false);
  group(code->co_cellvars, true);
  group(code->co_freevars, true);
#endif
}

// Whether, for a name that `for_each_frame_local` gives twice, the later
// value (or its absence) is what `f_locals` shows; otherwise the first
// bound one keeps its place.
constexpr bool kLaterVariableWins = PY_VERSION_HEX < 0x030B0000;

// Whether `f_locals` of an optimized frame with `bound` bound variables
// holds more: names the program added through `f_locals` (3.13).
inline bool frame_has_extra_locals(PyFrameObject* frame, size_t bound) {
#if PY_VERSION_HEX >= 0x030D0000
  Ref proxy = check(PyFrame_GetLocals(frame));
  Py_ssize_t size = PyObject_Size(proxy.get());
  if (size < 0) throw_pending();
  return static_cast<size_t>(size) != bound;
#else
  (void)frame;
  (void)bound;
  return false;
#endif
}

// The frame's local variables as `f_locals` shows them, without leaving a
// snapshot on the frame that would keep objects alive after the program lets
// go of them, or change what `locals()` gives it. Frames that run in a
// namespace (modules, class bodies) give that namespace itself. The result
// may be shared: never change it.
inline Ref frame_locals_snapshot(PyFrameObject* frame) {
  PyCodeObject* code = frame_code(frame);
#if PY_VERSION_HEX >= 0x030D0000
  // A proxy that reads the frame's variables afresh, never cached.
  Ref locals = check(PyFrame_GetLocals(frame));
  if (PyDict_Check(locals.get()) || !(code->co_flags & CO_OPTIMIZED)) return locals;
  return check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), locals.get()));
#else
  if (!(code->co_flags & CO_OPTIMIZED)) {
#if PY_VERSION_HEX >= 0x030C0000
    return check(PyFrame_GetLocals(frame));
#elif PY_VERSION_HEX >= 0x030B0000
    PyObject* namespace_ = detail::interpreter_frame(frame)->f_locals;
    return namespace_ == nullptr ? check(PyDict_New()) : Ref::borrow(namespace_);
#else
    return frame->f_locals == nullptr ? check(PyDict_New()) : Ref::borrow(frame->f_locals);
#endif
  }
  Ref snapshot = check(PyDict_New());
  for_each_frame_local(frame, [&](Py_ssize_t, PyObject* name, PyObject* value) {
    if (value == nullptr) {
      if (kLaterVariableWins && PyDict_DelItem(snapshot.get(), name) < 0) PyErr_Clear();
      return;
    }
    if (!kLaterVariableWins) {
      int present = PyDict_Contains(snapshot.get(), name);
      check_status(present);
      if (present) return;
    }
    check_status(PyDict_SetItem(snapshot.get(), name, value));
  });
  return snapshot;
#endif
}

// The version of a dict, which changes with every change of its contents;
// none where the interpreter no longer offers it to read (3.12+).
inline bool dict_version(PyObject* dict, uint64_t* version) {
#if PY_VERSION_HEX < 0x030C0000
  *version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
  return true;
#else
  (void)dict;
  (void)version;
  return false;
#endif
}

// What `frame.f_locals[name]` would give, without leaving anything on the
// frame. Empty when the frame has no such local; other failures throw.
inline Ref frame_local(PyFrameObject* frame, PyObject* name) {
#if PY_VERSION_HEX >= 0x030B0000
  Ref locals = frame_locals_snapshot(frame);
  PyObject* value = PyObject_GetItem(locals.get(), name);
#else
  PyCodeObject* code = frame->f_code;
  if (code->co_flags & CO_OPTIMIZED) {
    // Cells and free variables are mapped after plain locals, so they win.
    Py_ssize_t locals = code->co_nlocals;
    Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
    Py_ssize_t slot = detail::name_slot(code->co_cellvars, name);
    if (slot < 0 && (slot = detail::name_slot(code->co_freevars, name)) >= 0) slot += cells;
    if (slot >= 0) return Ref::borrow(PyCell_GET(frame->f_localsplus[locals + slot]));
    slot = detail::name_slot(code->co_varnames, name);
    return slot >= 0 ? Ref::borrow(frame->f_localsplus[slot]) : Ref();
  }
  if (frame->f_locals == nullptr) return Ref();
  PyObject* value = PyObject_GetItem(frame->f_locals, name);
#endif
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_pending();
    PyErr_Clear();
  }
  return Ref::steal(value);
}

// The line the frame is at. A frame that has not reached its first line yet
// (a module at its call event on 3.11+) is at its code's first line, as
// older interpreters show it.
inline int frame_line(PyFrameObject* frame) {
  int line = PyFrame_GetLineNumber(frame);
  return line == 0 ? frame_code(frame)->co_firstlineno : line;
}

// The frame's instruction offset when its code and that offset alone decide
// its `frame_line`, a key under which the line may be kept; else
// kNoLineOffset: the frame keeps a line of its own (during a trace or profile
// call on it on 3.10 and 3.11, or one a trace function set), or there is no
// cheap read of the offset.
constexpr int kNoLineOffset = INT_MIN;

inline int frame_line_offset(PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x030B0000
  // PyFrame_GetLineNumber: the kept f_lineno, else the line of f_lasti.
  return frame->f_lineno != 0 ? kNoLineOffset : frame->f_lasti;
#elif PY_VERSION_HEX < 0x030E0000
  // PyFrame_GetLineNumber: the kept f_lineno (3.13: -1 asks it to be found
  // and kept), and only at 0 the line of the frame's last instruction,
  // which PyFrame_GetLasti gives.
  if (reinterpret_cast<detail::FrameObjectHead*>(frame)->f_lineno != 0) return kNoLineOffset;
  return PyFrame_GetLasti(frame);
#else
  (void)frame;
  return kNoLineOffset;
#endif
}


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

// A variable of a code object, found by name once and then read from any
// frame of that code without a lookup. Only interpreters whose frames keep
// their variables in `f_localsplus` (3.10) find slots; elsewhere, and in
// frames that run in a namespace, every variable is `unknown`.
struct LocalSlot {
  enum Kind : unsigned char { unknown, absent, plain, cell };
  Kind kind = unknown;
  Py_ssize_t index = 0;
};

inline LocalSlot local_slot(PyCodeObject* code, PyObject* name) {
#if PY_VERSION_HEX < 0x030B0000
  if (!(code->co_flags & CO_OPTIMIZED)) return {};
  // Cells and free variables are mapped after plain locals, so they win,
  // as in `frame_local`.
  Py_ssize_t cells = PyTuple_GET_SIZE(code->co_cellvars);
  Py_ssize_t slot = detail::name_slot(code->co_cellvars, name);
  if (slot < 0 && (slot = detail::name_slot(code->co_freevars, name)) >= 0) slot += cells;
  if (slot >= 0) return {LocalSlot::cell, code->co_nlocals + slot};
  slot = detail::name_slot(code->co_varnames, name);
  return slot >= 0 ? LocalSlot{LocalSlot::plain, slot} : LocalSlot{LocalSlot::absent, 0};
#else
  (void)code;
  (void)name;
  return {};
#endif
}

// The objects that name a code object's variables and lay them out: code
// objects that share them keep the same variables in the same slots.
inline std::array<PyObject*, 3> variable_layout(PyCodeObject* code) {
#if PY_VERSION_HEX >= 0x030B0000
  return {code->co_localsplusnames, code->co_localspluskinds, nullptr};
#else
  return {code->co_varnames, code->co_cellvars, code->co_freevars};
#endif
}

// The variable's value in a frame of the code the slot was found in,
// borrowed; NULL when it is unbound, absent or unknown.
inline PyObject* slot_value(PyFrameObject* frame, LocalSlot slot) {
#if PY_VERSION_HEX < 0x030B0000
  if (slot.kind == LocalSlot::plain) return frame->f_localsplus[slot.index];
  if (slot.kind != LocalSlot::cell) return nullptr;
  PyObject* cell = frame->f_localsplus[slot.index];
  return cell == nullptr ? nullptr : PyCell_GET(cell);
#else
  (void)frame;
  (void)slot;
  return nullptr;
#endif
}

// Per-code-object data slots (co_extra), freed with the code object.
inline Py_ssize_t request_code_extra_index(freefunc free_data) {
#if PY_VERSION_HEX >= 0x030C0000
  return PyUnstable_Eval_RequestCodeExtraIndex(free_data);
#else
  return _PyEval_RequestCodeExtraIndex(free_data);
#endif
}

inline int set_code_extra(PyCodeObject* code, Py_ssize_t index, void* data) {
#if PY_VERSION_HEX >= 0x030C0000
  return PyUnstable_Code_SetExtra(reinterpret_cast<PyObject*>(code), index, data);
#else
  return _PyCode_SetExtra(reinterpret_cast<PyObject*>(code), index, data);
#endif
}

// The object of the thread's profile hook, borrowed; NULL when it has none.
inline PyObject* profile_hook_object(PyThreadState* thread_state) { return thread_state->c_profileobj; }

inline bool is_frame(PyObject* object) { return Py_IS_TYPE(object, &PyFrame_Type); }

// Makes sure a str's characters can be read in place; older interpreters
// may still hold a legacy string that needs converting first.
inline bool unicode_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text) == 0;
#else
  (void)text;
  return true;
#endif
}

// Writes `integer` into `out` as `size` bytes of big-endian two's
// complement. Fails (with the error pending) when it does not fit.
inline bool int_to_big_endian(PyObject* integer, unsigned char* out, size_t size) {
  auto* number = reinterpret_cast<PyLongObject*>(integer);
#if PY_VERSION_HEX >= 0x030D0000
  return _PyLong_AsByteArray(number, out, size, 0, 1, 1) == 0;
#else
  return _PyLong_AsByteArray(number, out, size, 0, 1) == 0;
#endif
}

// The value of an int that fits in one internal digit, read in place; false
// for larger ints.
inline bool small_int_value(PyObject* integer, long long* value) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(integer))) return false;
  *value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(integer));
  return true;
#else
  Py_ssize_t size = Py_SIZE(integer);
  if (size < -1 || size > 1) return false;
  *value = static_cast<long long>(size) * reinterpret_cast<PyLongObject*>(integer)->ob_digit[0];
  return true;
#endif
}

// The slot holding an object's instance dict, or NULL when its type gives
// it none. Newer interpreters may build the dict from the inline attribute
// values here, which can fail with the error pending.
inline PyObject** instance_dict_slot(PyObject* object) { return _PyObject_GetDictPtr(object); }

// The type's version tag, assigned now if it has none; 0 when the type
// cannot have one. A tag changes whenever the type or one of its bases is
// modified, and is never given to another type.
inline unsigned int type_version(PyTypeObject* type, PyObject* any_interned_name) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)any_interned_name;
  if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return 0;
  return type->tp_version_tag;
#else
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
    // A lookup through the method cache assigns the tag.
    _PyType_Lookup(type, any_interned_name);
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
  }
  return type->tp_version_tag;
#endif
}

// The type's own attribute dict; static builtin types of newer interpreters
// keep it outside the type object.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyType_GetDict(type));
#else
  return Ref::borrow(type->tp_dict);
#endif
}

// Member flags and kinds of PyMemberDef, under the names every version has.
inline constexpr int kMemberAuditedRead = 2;
inline constexpr int kMemberObjectEx = 16;
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
namespace detail {

// 3.12's frame state of a generator paused at a yield (FRAME_SUSPENDED).
constexpr int8_t kGeneratorSuspended = -1;

// Whether the frame stops at a return, or at a yield that suspends its
// generator. A frame left by an exception stops at the instruction that
// raised, or at the yield it was thrown into with its generator running.
inline bool frame_returns_or_suspends(PyFrameObject* frame) {
  int offset = PyFrame_GetLasti(frame);
  if (offset < 0) return true;
  Ref code = Ref::steal(PyCode_GetCode(frame_code(frame)));
  if (!code) {
    PyErr_Clear();
    return true;
  }
  if (offset >= PyBytes_GET_SIZE(code.get())) return true;
  auto opcode = static_cast<unsigned char>(PyBytes_AS_STRING(code.get())[offset]);
  if (opcode == RETURN_VALUE || opcode == RETURN_CONST) return true;
  if (opcode != YIELD_VALUE) return false;
  Ref generator = Ref::steal(PyFrame_GetGenerator(frame));
  return generator && reinterpret_cast<PyGenObject*>(generator.get())->gi_frame_state == kGeneratorSuspended;
}

}  // namespace detail
#endif

// Whether a return event leaves its frame by an exception; `arg` is the
// event's argument as the interpreter gave it. Most versions give no value
// (NULL) then; 3.12 gives None, as for `return None`.
inline bool return_exits_by_exception(PyFrameObject* frame, PyObject* arg) {
  if (arg == nullptr) return true;
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
  return arg == Py_None && !detail::frame_returns_or_suspends(frame);
#else
  (void)frame;
  return false;
#endif
}

// Whether the interpreter can tell a tool about each frame that an
// exception unwinds (`sys.monitoring`).
constexpr bool kHasUnwindEvents = PY_VERSION_HEX >= 0x030C0000;

// A thread's profile function and its object, borrowed.
struct ProfileHook {
  Py_tracefunc function;
  PyObject* object;
};

inline ProfileHook thread_profile_hook(PyThreadState* thread) {
  return {thread->c_profilefunc, thread->c_profileobj};
}

// Removes every thread's profile hook at once when `is_ours` accepts each
// thread's hook; true when it did. Where the interpreter cannot clear other
// threads' hooks, nothing changes and the result is false.
template <typename IsOurs>
bool clear_every_thread_profile_hook(IsOurs&& is_ours) {
#if PY_VERSION_HEX >= 0x030C0000
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  // Threads are only added or removed with the GIL held, so the list is
  // stable while this runs.
  for (PyThreadState* thread = PyInterpreterState_ThreadHead(interpreter); thread != nullptr;
       thread = PyThreadState_Next(thread)) {
    ProfileHook hook = thread_profile_hook(thread);
    if (hook.function != nullptr && !is_ours(hook)) return false;
  }
  PyEval_SetProfileAllThreads(nullptr, nullptr);
  return true;
#else
  (void)is_ours;
  return false;
#endif
}

}  // namespace vopo::py
