#include "utils/serializer.h"

#include "py/compat.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "values/native_encoder.h"

namespace vopo::utils {

namespace {

// The interpreter's module cache (sys.modules) answers almost every call;
// the import machinery runs only when the module is not loaded yet.
py::Ref serialize_module() {
  static PyObject* module_name = PyUnicode_InternFromString("vopo.serialize");
  if (module_name == nullptr) py::throw_pending();
  PyObject* modules = PyImport_GetModuleDict();
  if (PyDict_CheckExact(modules)) {
    py::Ref cached = py::dict_lookup(modules, module_name);
    if (cached && cached.get() != Py_None) return cached;
  }
  return py::check(PyImport_Import(module_name));
}

struct Serializer {
  py::Ref function;
  // The native encoder behind the function, when it is one.
  const values::NativeEncoder* native;
};

// The serializer found last for one mode, with what it was found through.
// While the versions of sys.modules and of the module's dict are unchanged,
// the same lookup gives the same function.
struct FoundSerializer {
  py::Ref function;
  const values::NativeEncoder* native = nullptr;
  PyObject* modules = nullptr;
  uint64_t modules_version = 0;
  py::Ref module;
  // The module's own dict, which it keeps for life.
  PyObject* module_dict = nullptr;
  uint64_t module_version = 0;
  bool versioned = false;

  bool still_current(PyObject* current_modules) const {
    uint64_t version = 0;
    return versioned && current_modules == modules && py::dict_version(modules, &version) &&
           version == modules_version && py::dict_version(module_dict, &version) && version == module_version;
  }

  // Versions read after the lookup, which may have imported the module.
  void remember_versions(PyObject* current_modules) {
    module_dict = PyModule_CheckExact(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
    versioned = PyDict_CheckExact(current_modules) && module_dict != nullptr &&
                py::dict_version(current_modules, &modules_version) && py::dict_version(module_dict, &module_version);
    modules = current_modules;
  }
};

// Kept for the life of the process: never destroyed, since the interpreter
// is gone by the time static objects are.
FoundSerializer* const found_serializers = new FoundSerializer[2];

Serializer look_up(bool lightweight, py::Ref& module) {
  const py::Names& names = py::names();
  module = serialize_module();
  py::Ref function =
      py::getattr(module.get(), lightweight ? names.dump_msgpack_lightweight_repr : names.dump_msgpack);
  return {std::move(function), nullptr};
}

Serializer find_serializer(bool lightweight, bool cached) {
  py::Ref module;
  if (!cached) {
    Serializer serializer = look_up(lightweight, module);
    serializer.native = values::native_encoder_of(serializer.function.get());
    return serializer;
  }
  FoundSerializer& found = found_serializers[lightweight];
  PyObject* modules = PyImport_GetModuleDict();
  if (found.still_current(modules)) return {py::Ref::borrow(found.function.get()), found.native};
  Serializer serializer = look_up(lightweight, module);
  // The native encoder is recognised once per function object.
  if (serializer.function.get() != found.function.get()) {
    serializer.native = values::native_encoder_of(serializer.function.get());
  } else {
    serializer.native = found.native;
  }
  // The old entries are released last: their finalizers may run code.
  FoundSerializer replaced = std::move(found);
  found.function = py::Ref::borrow(serializer.function.get());
  found.native = serializer.native;
  found.module = std::move(module);
  found.remember_versions(modules);
  return serializer;
}

void write_with(const Serializer& serializer, msgpack::Writer& out, PyObject* value) {
  if (const values::NativeEncoder* native = serializer.native) {
    if (!native->encode(value, native->lightweight, out)) py::throw_pending();
    return;
  }
  py::Ref result = py::call(serializer.function.get(), {value});
  out.raw(py::to_byte_string(result.get()));
}

// The locals to record: the frame's own mapping, or a copy without
// "__builtins__" (module frames), so the module's namespace never changes.
// A namespace that is not a dict (a class body run in a custom mapping) is
// recorded as it is.
py::Ref recorded_locals(PyFrameObject* frame) {
  py::Ref locals = py::frame_locals_snapshot(frame);
  if (!PyDict_Check(locals.get())) return locals;
  py::Ref builtins;
  try {
    builtins = py::dict_lookup(locals.get(), py::names().dunder_builtins);
  } catch (py::Error&) {
    throw py::Error::panic("locals.get(\"__builtins__\") should not raise.");
  }
  if (!builtins) return locals;
  py::Ref copy = py::Ref::steal(PyDict_Copy(locals.get()));
  if (!copy || PyDict_DelItem(copy.get(), py::names().dunder_builtins) < 0) {
    PyErr_Clear();
    throw py::Error::panic("called `Result::unwrap()` on an `Err` value");
  }
  return copy;
}

// Whether the native encoder wrote the frame's locals itself.
bool wrote_from_frame(const Serializer& serializer, msgpack::Writer& out, PyFrameObject* frame) {
  const values::NativeEncoder* native = serializer.native;
  if (native == nullptr) return false;
  int outcome = native->encode_frame_locals(frame, native->lightweight, out);
  if (outcome < 0) py::throw_pending();
  return outcome > 0;
}

}  // namespace

void write_serialized(msgpack::Writer& out, PyObject* value, bool lightweight, bool cached) {
  size_t start = out.size();
  try {
    write_with(find_serializer(lightweight, cached), out, value);
  } catch (...) {
    out.truncate(start);
    throw;
  }
}

void write_serialized_locals(msgpack::Writer& out, PyFrameObject* frame, bool lightweight, bool cached) {
  size_t start = out.size();
  try {
    Serializer serializer = find_serializer(lightweight, cached);
    if (cached && wrote_from_frame(serializer, out, frame)) return;
    py::Ref locals = recorded_locals(frame);
    write_with(serializer, out, locals.get());
  } catch (...) {
    out.truncate(start);
    throw;
  }
}

std::string serialize_value(PyObject* value, bool lightweight) {
  msgpack::Writer out;
  write_serialized(out, value, lightweight);
  return out.to_string();
}

}  // namespace vopo::utils
