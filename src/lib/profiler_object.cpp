#include "lib/profiler_object.h"

#include <array>

#include "lib/trampoline.h"
#include "lib/unwind_watch.h"
#include "profiler/events.h"
#include "profiler/hook_replacements.h"
#include "profiler/saving.h"
#include "profiler/trace_document.h"
#include "py/arguments.h"
#include "py/compat.h"
#include "py/convert.h"
#include "py/error.h"

namespace vopo::lib {

namespace {

PyObject* save_request_in_db(PyObject* self, PyObject*) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        profiler::save_request_in_db(profiler_of(self));
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* build_trace(PyObject* self, PyObject*) {
  return py::at_python_boundary(
      [&]() -> PyObject* { return profiler::build_trace(profiler_of(self)).release(); }, nullptr);
}

// Whether `hook` was installed for `instance`: its trampoline, the instance
// restored as a Python-level hook, its threading installer, or the no-op.
bool is_hook_of(const py::ProfileHook& hook, PyObject* instance) {
  if (hook.function == noop_profile || hook.object == instance) return true;
  return hook.object != nullptr && PyCFunction_Check(hook.object) && PyCFunction_GET_SELF(hook.object) == instance;
}

// Removes the calling thread's hook when it is the instance's. The caller
// keeps the instance alive: the hook may hold its last reference.
void remove_own_hook(PyObject* instance) {
  if (is_hook_of(py::thread_profile_hook(PyThreadState_Get()), instance)) PyEval_SetProfile(nullptr, nullptr);
}

// From now on nothing is recorded and each thread's hook removes itself at
// its next event; where the interpreter can, every thread's hook goes now.
void stop_profiling(PyObject* instance) {
  profiler::Profiler& profiler = profiler_of(instance);
  if (profiler.stopped) return;
  profiler.stopped = true;
  stop_watching_unwinds(profiler);
  py::clear_every_thread_profile_hook([&](const py::ProfileHook& hook) { return is_hook_of(hook, instance); });
  // Released here, after the map is empty: frames may run Python code as
  // they go.
  profiler::StoreList released = profiler.threads.release_all();
}

PyObject* mark_stopped(PyObject* self, PyObject*) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        py::Ref instance = py::Ref::borrow(self);
        stop_profiling(self);
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* trace_id(PyObject* self, PyObject*) {
  return py::at_python_boundary(
      [&]() -> PyObject* { return py::new_text(profiler_of(self).trace.trace_id()).release(); }, nullptr);
}

// How many running threads that recorded lost the profile hook to the
// program; asked before stopping, which removes the hooks.
PyObject* replaced_hook_count(PyObject* self, PyObject*) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        return py::new_int(profiler::count_replaced_hooks(profiler_of(self), self)).release();
      },
      nullptr);
}

std::optional<profiler::Event> hook_event(PyObject* event) {
  if (!PyUnicode_Check(event)) return std::nullopt;
  if (PyUnicode_CompareWithASCIIString(event, "call") == 0) return profiler::Event::call;
  if (PyUnicode_CompareWithASCIIString(event, "return") == 0) return profiler::Event::ret;
  return std::nullopt;
}

// The instance as a Python-level profile function, as a hook restored with
// `sys.setprofile(saved)` calls it. Returns the instance, as trace functions
// do.
PyObject* call_as_hook(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        py::Ref instance = py::Ref::borrow(self);
        if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
          throw py::Error::type_error("VopoProfiler() takes no keyword arguments");
        }
        PyObject *frame = nullptr, *event = nullptr, *arg = nullptr;
        if (!PyArg_UnpackTuple(args, "VopoProfiler", 3, 3, &frame, &event, &arg)) py::throw_pending();
        profiler::Profiler& profiler = profiler_of(self);
        if (profiler.stopped) {
          remove_own_hook(self);
          return instance.release();
        }
        if (std::optional<profiler::Event> kind = hook_event(event)) {
          if (!py::is_frame(frame)) py::throw_conversion_error(frame, "PyFrame");
          profiler::handle_event(profiler, reinterpret_cast<PyFrameObject*>(frame), arg, *kind, false);
        }
        return instance.release();
      },
      nullptr);
}

// None unless this process was forked from one that was profiling.
PyObject* parent_trace_id(PyObject* self, PyObject*) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        const std::optional<std::string>& parent = profiler_of(self).parent_trace_id;
        if (!parent) Py_RETURN_NONE;
        return py::new_text(*parent).release();
      },
      nullptr);
}

PyObject* register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        static constexpr std::array<const char*, 3> kNames{"_frame", "_event", "_arg"};
        std::array<PyObject*, 3> bound{};
        py::bind_arguments("VopoProfiler.register_threading_profiler()", kNames, args, nargs, kwnames,
                           bound);
        py::Ref instance = py::Ref::borrow(self);
        if (profiler_of(self).stopped) {
          remove_own_hook(self);
        } else {
          install_trampoline(self);
        }
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  profiler::Profiler* profiler = reinterpret_cast<ProfilerObject*>(self)->profiler;
  if (profiler == nullptr) return 0;
  if (int status = profiler->plugins.traverse(visit, arg)) return status;
  int status = 0;
  profiler->threads.for_each([&](profiler::ThreadStore& store) {
    for (const auto& entry : store.user_code_stack) {
      if (status == 0 && entry.frame) status = visit(entry.frame.get(), arg);
    }
  });
  return status;
}

// Releases the Python objects the profiler holds; the profiler itself stays
// usable, with no plugins and empty per-thread stores.
int clear(PyObject* self) {
  profiler::Profiler* profiler = reinterpret_cast<ProfilerObject*>(self)->profiler;
  if (profiler == nullptr) return 0;
  auto plugins = profiler->plugins.take_all();
  profiler->serial = profiler::new_profiler_serial();
  profiler::StoreList stores = profiler->threads.release_all();
  return 0;
}

void dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<ProfilerObject*>(self);
  if (object->profiler != nullptr) stop_watching_unwinds(*object->profiler);
  delete std::exchange(object->profiler, nullptr);
  PyObject_GC_Del(self);
}

PyMethodDef methods[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"mark_stopped", mark_stopped, METH_NOARGS, "mark_stopped($self, /)\n--\n\n"},
    {"register_threading_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_threading_profiler)),
     METH_FASTCALL | METH_KEYWORDS, "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {"trace_id", trace_id, METH_NOARGS, "trace_id($self, /)\n--\n\n"},
    {"parent_trace_id", parent_trace_id, METH_NOARGS, "parent_trace_id($self, /)\n--\n\n"},
    {"replaced_hook_count", replaced_hook_count, METH_NOARGS, "replaced_hook_count($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject type_object;

}  // namespace

PyTypeObject* ready_profiler_type = nullptr;

PyTypeObject* profiler_type() {
  if (ready_profiler_type != nullptr) return ready_profiler_type;
  PyTypeObject& type = type_object;
  PyObject* header = reinterpret_cast<PyObject*>(&type);
  Py_SET_REFCNT(header, 1);
  type.tp_name = "vopo._vopo.VopoProfiler";
  type.tp_basicsize = sizeof(ProfilerObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_new = no_constructor;
  type.tp_dealloc = dealloc;
  type.tp_traverse = traverse;
  type.tp_clear = clear;
  type.tp_call = call_as_hook;
  type.tp_methods = methods;
  py::check_status(PyType_Ready(&type));
  ready_profiler_type = &type;
  return &type;
}

py::Ref wrap_profiler(std::unique_ptr<profiler::Profiler> profiler) {
  auto* object = PyObject_GC_New(ProfilerObject, profiler_type());
  if (object == nullptr) py::throw_pending();
  object->profiler = profiler.release();
  PyObject_GC_Track(object);
  return py::Ref::steal(reinterpret_cast<PyObject*>(object));
}

}  // namespace vopo::lib
