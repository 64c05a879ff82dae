#include "py/object.h"

#include <array>

namespace vopo::py {

Ref getattr_optional(PyObject* object, PyObject* name) {
  PyObject* value = PyObject_GetAttr(object, name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
  }
  return Ref::steal(value);
}

Ref dict_lookup(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) throw_pending();
  return Ref::borrow(value);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  std::array<PyObject*, 8> stack{};
  size_t count = 0;
  for (PyObject* arg : args) stack[count++] = arg;
  return check(PyObject_Vectorcall(callable, stack.data(), count, nullptr));
}

}  // namespace vopo::py
