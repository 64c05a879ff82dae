// Module initialisation and the functions of vopo._values.
#include <array>
#include <string>
#include <vector>

#include "py/arguments.h"
#include "py/convert.h"
#include "py/error.h"
#include "py/names.h"
#include "values/encoder.h"
#include "values/locals_plan.h"
#include "values/native_encoder.h"
#include "values/options.h"
#include "values/text.h"

namespace vopo::values {

namespace {

constexpr long kValueModelVersion = 2;

const NativeEncoder full_encoder{false, encode_value, encode_frame_locals};
const NativeEncoder lightweight_encoder{true, encode_value, encode_frame_locals};

PyObject* dump(PyObject* self, PyObject* value) {
  auto* encoder = static_cast<const NativeEncoder*>(PyCapsule_GetPointer(self, kNativeEncoderCapsule));
  if (encoder == nullptr) return nullptr;
  return py::at_python_boundary(
      [&]() -> PyObject* {
        msgpack::Writer out;
        if (!encoder->encode(value, encoder->lightweight, out)) return nullptr;
        return py::new_bytes(out.bytes()).release();
      },
      nullptr);
}

// One redaction entry: a non-empty str, lower-cased like the names it is
// compared with.
std::string redact_entry(PyObject* item) {
  if (!PyUnicode_CheckExact(item)) {
    throw py::Error::type_error("configure(): redact entries must be str, not " +
                                std::string(Py_TYPE(item)->tp_name));
  }
  if (PyUnicode_GetLength(item) == 0) {
    throw py::Error::make(PyExc_ValueError, "configure(): redact entries must not be empty");
  }
  return ascii_lower(utf8_of(item));
}

std::vector<std::string> redact_entries(PyObject* redact) {
  if (redact == Py_None) return default_redact_entries();
  if (!PyList_CheckExact(redact) && !PyTuple_CheckExact(redact)) {
    throw py::Error::type_error("configure(): redact must be None or a list or tuple of str, not " +
                                std::string(Py_TYPE(redact)->tp_name));
  }
  py::Ref items = py::check(PySequence_Tuple(redact));
  std::vector<std::string> entries;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    entries.push_back(redact_entry(PyTuple_GET_ITEM(items.get(), i)));
  }
  return entries;
}

PyObject* configure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::at_python_boundary(
      [&]() -> PyObject* {
        if (nargs != 0) {
          throw py::Error::type_error("configure() takes 0 positional arguments but " + std::to_string(nargs) +
                                      (nargs == 1 ? " was" : " were") + " given");
        }
        PyObject* redact = Py_None;
        PyObject* user_repr = Py_False;
        Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
          std::string_view key = py::utf8_view(PyTuple_GET_ITEM(kwnames, k));
          if (key == "redact") {
            redact = args[k];
          } else if (key == "user_repr") {
            user_repr = args[k];
          } else {
            throw py::Error::type_error("configure() got an unexpected keyword argument '" + std::string(key) +
                                        "'");
          }
        }
        if (!PyBool_Check(user_repr)) {
          throw py::Error::type_error("configure(): user_repr must be a bool, not " +
                                      std::string(Py_TYPE(user_repr)->tp_name));
        }
        set_options(Options{Redaction(redact_entries(redact)), user_repr == Py_True});
        Py_RETURN_NONE;
      },
      nullptr);
}

PyMethodDef dump_msgpack_def = {"dump_msgpack", dump, METH_O,
                                "dump_msgpack(value)\n--\n\n"
                                "The MessagePack bytes of `value` by the value model, full limits."};
PyMethodDef dump_lightweight_def = {"dump_msgpack_lightweight_repr", dump, METH_O,
                                    "dump_msgpack_lightweight_repr(value)\n--\n\n"
                                    "The MessagePack bytes of `value` by the value model, lightweight limits."};
PyMethodDef configure_def = {
    "configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)),
    METH_FASTCALL | METH_KEYWORDS,
    "configure(*, redact=None, user_repr=False)\n--\n\n"
    "Sets the encoder's process-wide options: the redaction list (None for the default, empty for none) "
    "and whether objects are shown by their own __repr__."};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vopo._values", "Native value encoder of vopo.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

void add_function(PyObject* module, PyMethodDef* def, PyObject* self) {
  py::Ref module_name = py::new_text("vopo._values");
  py::Ref function = py::check(PyCFunction_NewEx(def, self, module_name.get()));
  py::check_status(PyModule_AddObjectRef(module, def->ml_name, function.get()));
}

void add_encoder(PyObject* module, PyMethodDef* def, const NativeEncoder& encoder) {
  py::Ref capsule =
      py::check(PyCapsule_New(const_cast<NativeEncoder*>(&encoder), kNativeEncoderCapsule, nullptr));
  add_function(module, def, capsule.get());
}

py::Ref default_redact_tuple() {
  py::Ref names = py::check(PyTuple_New(static_cast<Py_ssize_t>(kDefaultRedact.size())));
  for (size_t i = 0; i < kDefaultRedact.size(); ++i) {
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), py::new_text(kDefaultRedact[i]).release());
  }
  return names;
}

PyObject* create_module() {
  py::init_names();
  py::Ref module = py::check(PyModule_Create(&module_def));
  add_encoder(module.get(), &dump_msgpack_def, full_encoder);
  add_encoder(module.get(), &dump_lightweight_def, lightweight_encoder);
  add_function(module.get(), &configure_def, module.get());
  py::check_status(PyModule_AddIntConstant(module.get(), "VALUE_MODEL_VERSION", kValueModelVersion));
  py::check_status(PyModule_AddObjectRef(module.get(), "DEFAULT_REDACT", default_redact_tuple().get()));
  return module.release();
}

}  // namespace

}  // namespace vopo::values

PyMODINIT_FUNC PyInit__values() {
  return vopo::py::at_python_boundary([]() -> PyObject* { return vopo::values::create_module(); }, nullptr);
}
