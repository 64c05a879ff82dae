// The attribute `inspect.getattr_static` finds, read natively for ordinary
// classes so that inferring a method's name calls no Python code.
#pragma once

#include "py/ref.h"

namespace vopo::utils {

// What `inspect.getattr_static(object, name)` returns, for an instance of
// an ordinary class or an ordinary class itself: no metaclass but `type`
// anywhere in its MRO, no `__dict__` other than the standard one, and the
// attribute found. Empty in every other case, for the caller to ask
// `inspect` itself; never leaves an error set.
py::Ref ordinary_static_attribute(PyObject* object, PyObject* name);

// Whether every class of the MRO has `type` itself as its metaclass.
bool has_plain_mro(PyTypeObject* type);

// Whether `ordinary_static_attribute` reads the class's instances natively:
// a plain MRO, none of whose classes defines a `__dict__` of its own. It
// depends on the MRO's dicts only, so it holds while the class keeps its
// version tag.
bool has_ordinary_instances(PyTypeObject* type);

}  // namespace vopo::utils
