#include "lib/unwind_watch.h"

#include "lib/profiler_object.h"
#include "lib/trampoline.h"
#include "profiler/frame_exception.h"
#include "py/compat.h"
#include "py/convert.h"
#include "py/object.h"

namespace vopo::lib {

namespace {

// Tool ids free for tools; 2 is the one the standard library's profiler
// takes.
constexpr long kToolIds[] = {4, 5};
constexpr long kNoTool = -1;

long claimed_tool = kNoTool;
int watchers = 0;

// On the calling thread, the profiler whose trampoline is installed there.
void notify_profiler(PyObject* exception) {
  py::ProfileHook hook = py::thread_profile_hook(PyThreadState_Get());
  if (hook.function != profile_trampoline || !is_profiler_object(hook.object)) return;
  PyFrameObject* frame = PyEval_GetFrame();
  if (frame == nullptr) {
    PyErr_Clear();
    return;
  }
  EventScope scope(hook.object);
  profiler::Profiler& profiler = profiler_of(hook.object);
  if (!profiler.stopped) profiler::complete_exception_exit(profiler, frame, exception);
}

// The PY_UNWIND callback: (code, instruction offset, exception). It never
// raises, which would disturb the program.
PyObject* on_unwind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs == 3) notify_profiler(args[2]);
  Py_RETURN_NONE;
}

PyMethodDef on_unwind_def = {"unwind_watch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(on_unwind)),
                             METH_FASTCALL, nullptr};

struct Monitoring {
  py::Ref module;
  py::Ref unwind_event;
};

Monitoring monitoring() {
  PyObject* module = PySys_GetObject("monitoring");
  if (module == nullptr) throw py::Error::make(PyExc_RuntimeError, "sys.monitoring is not available");
  py::Ref events = py::check(PyObject_GetAttrString(module, "events"));
  return {py::Ref::borrow(module), py::check(PyObject_GetAttrString(events.get(), "PY_UNWIND"))};
}

void call_monitoring(const Monitoring& api, const char* function, std::initializer_list<PyObject*> args) {
  py::Ref callable = py::check(PyObject_GetAttrString(api.module.get(), function));
  py::call(callable.get(), args);
}

void give_back(const Monitoring& api, long tool) {
  py::Ref id = py::check(PyLong_FromLong(tool));
  py::Ref no_events = py::check(PyLong_FromLong(0));
  call_monitoring(api, "set_events", {id.get(), no_events.get()});
  call_monitoring(api, "register_callback", {id.get(), api.unwind_event.get(), Py_None});
  call_monitoring(api, "free_tool_id", {id.get()});
}

// The first free tool id among ours, set up to call `on_unwind`.
long claim_tool() {
  Monitoring api = monitoring();
  py::Ref callback = py::check(PyCFunction_New(&on_unwind_def, nullptr));
  py::Ref name = py::new_text("vopo");
  for (long tool : kToolIds) {
    py::Ref id = py::check(PyLong_FromLong(tool));
    try {
      call_monitoring(api, "use_tool_id", {id.get(), name.get()});
    } catch (py::Error& taken) {
      if (!taken.matches(PyExc_ValueError)) throw;
      continue;
    }
    try {
      call_monitoring(api, "register_callback", {id.get(), api.unwind_event.get(), callback.get()});
      call_monitoring(api, "set_events", {id.get(), api.unwind_event.get()});
    } catch (py::Error&) {
      give_back(api, tool);
      throw;
    }
    return tool;
  }
  return kNoTool;
}

// Runs `step` with any pending exception set aside; its own failure is
// dropped.
template <typename Step>
void quietly(Step&& step) noexcept {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    step();
  } catch (...) {
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

}  // namespace

void start_watching_unwinds(profiler::Profiler& profiler) noexcept {
  if (!py::kHasUnwindEvents || profiler.watches_unwinds) return;
  if (watchers == 0) quietly([] { claimed_tool = claim_tool(); });
  if (claimed_tool == kNoTool) return;
  ++watchers;
  profiler.watches_unwinds = true;
}

void stop_watching_unwinds(profiler::Profiler& profiler) noexcept {
  if (!profiler.watches_unwinds) return;
  profiler.watches_unwinds = false;
  if (--watchers > 0) return;
  long tool = std::exchange(claimed_tool, kNoTool);
  quietly([tool] { give_back(monitoring(), tool); });
}

}  // namespace vopo::lib
