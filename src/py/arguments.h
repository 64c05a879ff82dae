// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to named
// parameters (all required, positional or keyword), with the interpreter's
// usual error messages.
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "py/python.h"

namespace vopo::py {

// Fills `out` (one slot per name, borrowed) or throws a TypeError naming
// `function` (for example "register_profiler()").
void bind_arguments(std::string_view function, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

}  // namespace vopo::py
