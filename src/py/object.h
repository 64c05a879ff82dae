// Small wrappers over the C API calls used everywhere: attribute and item
// access, imports and calls, each returning an owned reference or throwing.
#pragma once

#include <initializer_list>

#include "py/error.h"

namespace vopo::py {

inline Ref getattr(PyObject* object, PyObject* name) {
  return check(PyObject_GetAttr(object, name));
}

// The attribute, or an empty Ref when the lookup raised AttributeError.
Ref getattr_optional(PyObject* object, PyObject* name);

inline Ref getitem(PyObject* object, PyObject* key) {
  return check(PyObject_GetItem(object, key));
}

// Looks `key` up in a real dict; an empty Ref when it is absent. Throws the
// lookup's own error (a raising key comparison).
Ref dict_lookup(PyObject* dict, PyObject* key);

// Looks `key` up in a real dict without raising: `found` is the entry,
// borrowed, or NULL when absent. False when a key comparison failed; that
// error is cleared.
inline bool dict_entry(PyObject* dict, PyObject* key, PyObject*& found) {
  found = PyDict_GetItemWithError(dict, key);
  if (found != nullptr || !PyErr_Occurred()) return true;
  PyErr_Clear();
  return false;
}

inline Ref import(const char* module_name) { return check(PyImport_ImportModule(module_name)); }

// Positional call.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);

}  // namespace vopo::py
