// Module initialisation and the module functions of vopo._vopo.
#include <array>
#include <atomic>

#include "lib/profiler_object.h"
#include "lib/trampoline.h"
#include "lib/unwind_watch.h"
#include "profiler/construction.h"
#include "py/arguments.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/fork_safety.h"
#include "utils/program_exceptions.h"
#include "utils/working_directory.h"

namespace vopo::lib {

namespace {

// Asks the `threading` module to install the trampoline on every thread it
// starts from now on, through the instance's bound installer.
void profile_new_threads(PyObject* instance) {
  const py::Names& names = py::names();
  py::Ref threading = py::import("threading");
  py::Ref installer = py::getattr(instance, names.register_threading_profiler);
  py::call(py::getattr(threading.get(), names.setprofile).get(), {installer.get()});
}

// config["threading"] by subscription; anything but a true boolean is off.
// Only an exception that belongs to the program is not taken as "off".
bool threading_requested(PyObject* config) {
  PyObject* value = PyObject_GetItem(config, py::names().threading);
  if (value == nullptr) {
    py::Error error = py::Error::fetch();
    if (utils::belongs_to_program(error)) throw std::move(error);
    return false;
  }
  py::Ref owned = py::Ref::steal(value);
  try {
    return py::to_bool_strict(owned.get());
  } catch (py::Error&) {
    return false;
  }
}

void register_host_profiler(PyObject* host) {
  if (!PyCallable_Check(host)) throw py::Error::type_error("profiler object is not callable");
  utils::watch_working_directory_changes();
  py::Ref instance = wrap_profiler(profiler::construct_profiler(host));
  py::check_status(PyObject_SetAttr(host, py::names().rust_profiler, instance.get()));
  start_watching_unwinds(profiler_of(instance.get()));
  install_trampoline(instance.get());
  py::Ref config = py::getattr(host, py::names().config);
  if (threading_requested(config.get())) profile_new_threads(instance.get());
}

PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        static constexpr std::array<const char*, 1> kNames{"profiler"};
        std::array<PyObject*, 1> bound{};
        py::bind_arguments("register_profiler()", kNames, args, nargs, kwnames, bound);
        register_host_profiler(bound[0]);
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* register_noop_profiler(PyObject*, PyObject*) {
  PyEval_SetProfile(noop_profile, nullptr);
  Py_RETURN_NONE;
}

PyMethodDef register_noop_profiler_def = {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
                                          "register_noop_profiler()\n--\n\n"};
PyMethodDef register_profiler_def = {
    "register_profiler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
    METH_FASTCALL | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vopo._vopo", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

void add_function(PyObject* module, PyMethodDef* def) {
  py::Ref module_name = py::getattr(module, py::names().dunder_name);
  py::Ref function = py::check(PyCFunction_NewEx(def, module, module_name.get()));
  py::Ref all = py::getattr_optional(module, py::Ref::steal(PyUnicode_FromString("__all__")).get());
  if (!all) {
    all = py::check(PyList_New(0));
    py::check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  py::Ref name = py::new_text(def->ml_name);
  py::check_status(PyList_Append(all.get(), name.get()));
  py::check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

void claim_interpreter() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) py::throw_pending();
  int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw py::Error::make(PyExc_ImportError,
                          "vopo._vopo cannot be imported in a sub-interpreter: it supports one interpreter "
                          "per process");
  }
}

PyObject* create_module() {
  claim_interpreter();
  if (cached_module != nullptr) return py::Ref::borrow(cached_module).release();
  py::init_names();
  utils::install_fork_handler();
  py::Ref module = py::check(PyModule_Create(&module_def));
  add_function(module.get(), &register_noop_profiler_def);
  add_function(module.get(), &register_profiler_def);
  cached_module = module.new_reference();
  return module.release();
}

}  // namespace

}  // namespace vopo::lib

PyMODINIT_FUNC PyInit__vopo() {
  return vopo::py::at_python_boundary([]() -> PyObject* { return vopo::lib::create_module(); }, nullptr);
}
