#include "utils/serializer.h"

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

// What calling the native encoding function would return, without making
// the bytes object.
std::string encode_natively(const values::NativeEncoder& native, PyObject* value) {
  msgpack::Writer out;
  if (!native.encode(value, native.lightweight, out)) py::throw_pending();
  return out.to_string();
}

}  // namespace

std::string serialize_value(PyObject* value, bool lightweight) {
  const py::Names& names = py::names();
  py::Ref module = serialize_module();
  py::Ref function =
      py::getattr(module.get(), lightweight ? names.dump_msgpack_lightweight_repr : names.dump_msgpack);
  if (const values::NativeEncoder* native = values::native_encoder_of(function.get())) {
    return encode_natively(*native, value);
  }
  py::Ref result = py::call(function.get(), {value});
  return py::to_byte_string(result.get());
}

void embed_serialized(msgpack::Writer& writer, std::string_view key, std::string&& serialized) {
  writer.str(key);
  writer.raw(serialized);
  serialized.clear();
}

}  // namespace vopo::utils
