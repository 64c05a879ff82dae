#include "utils/qualname_cache.h"

#include "py/code_extra.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/static_attribute.h"

namespace vopo::utils {

namespace {

bool function_parts(PyObject* object, BorrowedParts& parts) {
  if (object == nullptr || !PyFunction_Check(object)) return false;
  auto* function = reinterpret_cast<PyFunctionObject*>(object);
  parts = {function->func_module, function->func_qualname};
  return true;
}

bool has_version_tag(PyTypeObject* type) {
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
}

// What static lookup finds on an ordinary class: the first MRO dict holding
// the name, through the interpreter's own method cache.
bool class_function(PyTypeObject* type, PyObject* name, BorrowedParts& parts) {
  return function_parts(_PyType_Lookup(type, name), parts);
}

// A method or, standing for it, a property's getter. The getter stays alive
// with the property, which the class holds.
bool method_or_getter(PyObject* attribute, BorrowedParts& parts) {
  if (attribute == nullptr || !Py_IS_TYPE(attribute, &PyProperty_Type)) return function_parts(attribute, parts);
  py::Ref getter = py::Ref::steal(PyObject_GetAttr(attribute, py::names().fget));
  if (!getter) {
    PyErr_Clear();
    return false;
  }
  return function_parts(getter.get(), parts);
}

}  // namespace

QualnameCache* QualnameCache::of(PyCodeObject* code) { return py::CodeExtra<QualnameCache>::of(code); }

const QualnameCache::CallerSlot& QualnameCache::caller_slot(PyCodeObject* caller_code, PyObject* name) {
  bool optimized = caller_code->co_flags & CO_OPTIMIZED;
  std::array<PyObject*, 3> layout = py::variable_layout(caller_code);
  for (const CallerSlot& known : callers_) {
    if (known.optimized == optimized && known.layout[0].get() == layout[0] && known.layout[1].get() == layout[1] &&
        known.layout[2].get() == layout[2]) {
      return known;
    }
  }
  CallerSlot& slot = callers_[next_caller_];
  next_caller_ = (next_caller_ + 1) % callers_.size();
  for (size_t i = 0; i < layout.size(); ++i) slot.layout[i] = py::Ref::borrow(layout[i]);
  slot.optimized = optimized;
  slot.slot = py::local_slot(caller_code, name);
  return slot;
}

// The value the caller binds to the name, or NULL. A caller that runs in a
// namespace is read when it is a dict; false for anything else.
bool QualnameCache::caller_binding(PyFrameObject* caller, PyObject* name, PyObject*& bound) {
  PyCodeObject* code = py::frame_code(caller);
  if (!(code->co_flags & CO_OPTIMIZED)) {
    py::Ref scope = py::frame_locals_snapshot(caller);
    return PyDict_Check(scope.get()) && py::dict_entry(scope.get(), name, bound);
  }
  const py::LocalSlot& slot = caller_slot(code, name).slot;
  if (slot.kind == py::LocalSlot::unknown) return false;
  bound = py::slot_value(caller, slot);
  return true;
}

bool QualnameCache::globals_entry(PyObject* globals, PyObject* name, PyObject*& value) {
  uint64_t version = 0;
  bool versioned = PyDict_CheckExact(globals) && py::dict_version(globals, &version);
  if (versioned && globals_.known && globals_.dict == reinterpret_cast<uintptr_t>(globals) &&
      globals_.version == version) {
    value = globals_.value;
    return true;
  }
  if (!py::dict_entry(globals, name, value)) return false;
  if (versioned) globals_ = {true, reinterpret_cast<uintptr_t>(globals), version, value};
  return true;
}

bool QualnameCache::ordinary_instances(PyTypeObject* type) {
  if (!has_version_tag(type)) return has_ordinary_instances(type);
  auto address = reinterpret_cast<uintptr_t>(type);
  for (const ClassVerdict& known : classes_) {
    if (known.type == address && known.version_tag == type->tp_version_tag) return known.ordinary;
  }
  ClassVerdict& verdict = classes_[next_class_];
  next_class_ = (next_class_ + 1) % classes_.size();
  verdict = {address, type->tp_version_tag, has_ordinary_instances(type)};
  return verdict.ordinary;
}

// A method reached through `self`: what its class holds, a property
// standing for its getter, unless the instance dict holds the name too,
// which the exact way sorts out.
bool QualnameCache::through_self(PyObject* self, PyObject* name, BorrowedParts& parts) {
  if (PyType_Check(self)) return false;
  PyTypeObject* type = Py_TYPE(self);
  if (!ordinary_instances(type)) return false;
  PyObject** dict_slot = _PyObject_GetDictPtr(self);
  if (dict_slot != nullptr && *dict_slot != nullptr) {
    PyObject* own = nullptr;
    if (!PyDict_CheckExact(*dict_slot) || !py::dict_entry(*dict_slot, name, own) || own != nullptr) return false;
  }
  return method_or_getter(_PyType_Lookup(type, name), parts);
}

bool QualnameCache::infer(PyFrameObject* frame, PyObject* name, BorrowedParts& parts) {
  PyCodeObject* code = py::frame_code(frame);
  if (!own_slots_found_) {
    self_slot_ = py::local_slot(code, py::names().self);
    cls_slot_ = py::local_slot(code, py::names().cls);
    qualname_slot_ = py::local_slot(code, py::names().dunder_qualname);
    own_slots_found_ = true;
  }
  if (self_slot_.kind == py::LocalSlot::unknown) return false;

  py::Ref caller = py::frame_back(frame);
  if (!caller) {
    PyErr_Clear();
    return false;
  }
  PyObject* bound = nullptr;
  if (!caller_binding(py::as_frame(caller), name, bound)) return false;
  if (bound != nullptr) return function_parts(bound, parts);

  if (PyObject* self = py::slot_value(frame, self_slot_)) return through_self(self, name, parts);
  PyObject* cls = py::slot_value(frame, cls_slot_);
  if (cls != nullptr && PyType_Check(cls)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return Py_IS_TYPE(cls, &PyType_Type) && has_plain_mro(type) && class_function(type, name, parts);
  }
  if (py::slot_value(frame, qualname_slot_) != nullptr) return false;

  PyObject* globals = py::frame_globals(frame);
  PyObject* value = nullptr;
  return PyDict_Check(globals) && globals_entry(globals, name, value) && function_parts(value, parts);
}

}  // namespace vopo::utils
