#include "utils/serializer.h"

#include "py/compat.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "values/native_encoder.h"

namespace vopo::utils {

namespace {

// The interpreter's module cache (sys.modules) answers almost every call;
// the import machinery runs only when the module is not loaded yet. Nothing
// is kept between calls, so a replaced module takes effect at once.
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

}  // namespace

void write_serialized(msgpack::Writer& out, PyObject* value, bool lightweight) {
  const py::Names& names = py::names();
  py::Ref module = serialize_module();
  py::Ref function =
      py::getattr(module.get(), lightweight ? names.dump_msgpack_lightweight_repr : names.dump_msgpack);
  if (const values::NativeEncoder* native = values::native_encoder_of(function.get())) {
    if (!native->encode(value, native->lightweight, out)) py::throw_pending();
    return;
  }
  py::Ref result = py::call(function.get(), {value});
  out.raw(py::to_byte_string(result.get()));
}

void write_serialized_locals(msgpack::Writer& out, PyFrameObject* frame, bool lightweight) {
  py::Ref locals = recorded_locals(frame);
  write_serialized(out, locals.get(), lightweight);
}

std::string serialize_value(PyObject* value, bool lightweight) {
  msgpack::Writer out;
  write_serialized(out, value, lightweight);
  return out.to_string();
}

}  // namespace vopo::utils
