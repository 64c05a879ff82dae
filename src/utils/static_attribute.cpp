#include "utils/static_attribute.h"

#include "py/names.h"
#include "py/object.h"

namespace vopo::utils {

namespace {

// A class whose own attributes `getattr_static` reads straight from its
// dict: its metaclass is `type` itself.
bool is_plain_class(PyObject* entry) { return Py_IS_TYPE(entry, &PyType_Type); }

bool all_plain(PyObject* mro) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    if (!is_plain_class(PyTuple_GET_ITEM(mro, i))) return false;
  }
  return true;
}

// The first MRO dict holding `name`, borrowed; NULL when none does. False
// when the MRO is not all plain classes or a lookup failed.
bool class_attribute(PyTypeObject* type, PyObject* name, PyObject*& found) {
  found = nullptr;
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !all_plain(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    if (dict == nullptr || !py::dict_entry(dict, name, found)) return false;
    if (found != nullptr) return true;
  }
  return true;
}

// The standard instance `__dict__` descriptor a class gets for its
// instances, as opposed to a `__dict__` a class body defines.
bool is_standard_dict_descriptor(PyObject* descriptor, PyObject* owner) {
  if (!Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) return false;
  auto* getset = reinterpret_cast<PyDescrObject*>(descriptor);
  return reinterpret_cast<PyObject*>(getset->d_type) == owner && getset->d_name != nullptr &&
         PyUnicode_Check(getset->d_name) && PyUnicode_Compare(getset->d_name, py::names().dunder_dict) == 0;
}

// Whether no class of the MRO shadows the instance dict.
bool dict_not_shadowed(PyTypeObject* type) {
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* entry = PyTuple_GET_ITEM(mro, i);
    PyObject* descriptor = nullptr;
    if (!py::dict_entry(reinterpret_cast<PyTypeObject*>(entry)->tp_dict, py::names().dunder_dict, descriptor)) {
      return false;
    }
    if (descriptor != nullptr && !is_standard_dict_descriptor(descriptor, entry)) return false;
  }
  return true;
}

// Whether the class attribute is a data descriptor, which wins over the
// instance dict. False as well when that cannot be told natively.
bool is_data_descriptor(PyObject* attribute, bool& told) {
  PyObject* getter = nullptr;
  PyObject* setter = nullptr;
  told = class_attribute(Py_TYPE(attribute), py::names().dunder_get, getter) &&
         class_attribute(Py_TYPE(attribute), py::names().dunder_set, setter);
  return told && getter != nullptr && setter != nullptr;
}

py::Ref instance_attribute(PyObject* object, PyObject* name) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject* from_class = nullptr;
  if (!class_attribute(type, name, from_class) || !dict_not_shadowed(type)) return py::Ref();
  PyObject** dict_slot = _PyObject_GetDictPtr(object);
  PyObject* from_instance = nullptr;
  if (dict_slot != nullptr && *dict_slot != nullptr) {
    if (!PyDict_CheckExact(*dict_slot) || !py::dict_entry(*dict_slot, name, from_instance)) return py::Ref();
  }
  if (from_instance != nullptr && from_class != nullptr) {
    bool told = false;
    bool data_descriptor = is_data_descriptor(from_class, told);
    if (!told) return py::Ref();
    return py::Ref::borrow(data_descriptor ? from_class : from_instance);
  }
  return py::Ref::borrow(from_instance != nullptr ? from_instance : from_class);
}

}  // namespace

bool has_plain_mro(PyTypeObject* type) { return type->tp_mro != nullptr && all_plain(type->tp_mro); }

bool has_ordinary_instances(PyTypeObject* type) { return has_plain_mro(type) && dict_not_shadowed(type); }

py::Ref ordinary_static_attribute(PyObject* object, PyObject* name) {
  if (!PyType_Check(object)) return instance_attribute(object, name);
  PyObject* found = nullptr;
  if (!is_plain_class(object) || !class_attribute(reinterpret_cast<PyTypeObject*>(object), name, found)) {
    return py::Ref();
  }
  return py::Ref::borrow(found);
}

}  // namespace vopo::utils
