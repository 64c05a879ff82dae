#include "utils/qualname_inference.h"

#include "py/compat.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/static_attribute.h"

namespace vopo::utils {

namespace {

using py::names;
using py::Ref;

// `native` reads a function's `__module__` and `__qualname__` from its own
// fields, which nothing in an instance dict can shadow.
NameParts parts_of(PyObject* object, bool native) {
  if (native && PyFunction_Check(object)) {
    auto* function = reinterpret_cast<PyFunctionObject*>(object);
    return {Ref::borrow(function->func_module), Ref::borrow(function->func_qualname)};
  }
  return {py::getattr(object, names().dunder_module), py::getattr(object, names().dunder_qualname)};
}

// `frame.f_locals[name]`, empty when unbound. A frame that runs in a
// namespace other than a dict (a class body under a custom `__prepare__`,
// `exec` with a mapping) is not read: its lookup would run the program's
// code.
Ref local_variable(PyFrameObject* frame, PyObject* name) {
  if (py::frame_code(frame)->co_flags & CO_OPTIMIZED) return py::frame_local(frame, name);
  Ref scope = py::frame_locals_snapshot(frame);
  if (!PyDict_Check(scope.get())) return Ref();
  return py::dict_lookup(scope.get(), name);
}

// The global; a missing key is a KeyError. Globals that are a dict subclass
// are read as stored, never through their `__getitem__` or `__missing__`.
Ref global_variable(PyObject* globals, PyObject* name) {
  Ref value = PyDict_Check(globals) ? py::dict_lookup(globals, name) : Ref();
  if (!value) {
    PyErr_SetObject(PyExc_KeyError, name);
    py::throw_pending();
  }
  return value;
}

// Module attributes that do not change once imported, kept for the life of
// the process.
PyObject* stable_attribute(PyObject*& slot, const char* module, PyObject* name) {
  if (slot == nullptr) {
    Ref value = py::getattr(py::import(module).get(), name);
    // The import may have let another thread fill the slot meanwhile.
    if (slot == nullptr) slot = value.release();
  }
  return slot;
}

PyObject* getattr_static() {
  static PyObject* slot = nullptr;
  return stable_attribute(slot, "inspect", names().getattr_static);
}

PyObject* property_type() {
  static PyObject* slot = nullptr;
  return stable_attribute(slot, "builtins", names().property);
}

// The attribute as stored on the object or its class, without running
// descriptors or `__getattr__`; `native` reads ordinary classes directly.
Ref static_attribute(PyObject* object, PyObject* name, bool native) {
  if (native) {
    if (Ref found = ordinary_static_attribute(object, name)) return found;
  }
  return py::call(getattr_static(), {object, name});
}

// A method reached through `self`; a property stands for its getter.
NameParts parts_through_self(PyObject* self, PyObject* name, bool native) {
  Ref attribute = static_attribute(self, name, native);
  if (native && PyFunction_Check(attribute.get())) return parts_of(attribute.get(), native);
  int is_property = PyObject_IsInstance(attribute.get(), property_type());
  if (is_property < 0) py::throw_pending();
  if (is_property) attribute = py::getattr(attribute.get(), names().fget);
  return parts_of(attribute.get(), native);
}

}  // namespace

Ref module_name(PyFrameObject* frame) {
  PyObject* globals = py::frame_globals(frame);
  if (!PyDict_Check(globals)) return Ref();
  return py::dict_lookup(globals, names().dunder_name);
}

std::optional<NameParts> inferred_name_parts(PyFrameObject* frame, PyObject* name, bool native) {
  Ref caller = py::frame_back(frame);
  if (!caller) {
    if (PyErr_Occurred()) py::throw_pending();
    return std::nullopt;
  }
  if (Ref value = local_variable(py::as_frame(caller), name)) return parts_of(value.get(), native);

  if (Ref self = local_variable(frame, names().self)) return parts_through_self(self.get(), name, native);
  Ref cls = local_variable(frame, names().cls);
  if (cls && PyType_Check(cls.get())) return parts_of(static_attribute(cls.get(), name, native).get(), native);

  if (Ref qualname = local_variable(frame, names().dunder_qualname)) return NameParts{module_name(frame), std::move(qualname)};
  return parts_of(global_variable(py::frame_globals(frame), name).get(), native);
}

}  // namespace vopo::utils
