// The qualified name of a frame whose code object carries none, inferred
// from where the function came from. The exact way, for every case.
#pragma once

#include <optional>

#include "py/ref.h"

namespace vopo::utils {

// The objects a dotted name is made of: the module (empty or not a str when
// there is none) and the qualified name.
struct NameParts {
  py::Ref module;
  py::Ref qualname;
};

// The frame's `__name__` global; empty when there is none. Only real dicts
// are read, so no lookup runs the program's code.
py::Ref module_name(PyFrameObject* frame);

// The name looked for where the function `name` came from: the caller's
// namespace, the instance or class it was called on, the class body being
// run, or the module. Nothing when no caller or binding names it. `native`
// reads attributes of ordinary classes directly rather than through
// `inspect`. Throws what a lookup raised.
std::optional<NameParts> inferred_name_parts(PyFrameObject* frame, PyObject* name, bool native);

}  // namespace vopo::utils
