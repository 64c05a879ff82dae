// The built-in rules that mark a frame as not the user's own code: library
// and interpreter code, vopo's own modules, code compiled from strings, the
// test runner's match expressions and generated attrs methods.
#pragma once

#include <string_view>

#include "py/python.h"

namespace vopo::filters {

// The rules that judge the file name alone: library, interpreter-internal,
// vopo's own modules, string source and test expressions.
bool ignored_by_name(std::string_view filename);

// The generated-attrs rule: the name's own prefix, else a caller (or, past a
// nameless caller, a grandparent) in attrs' generating module. Only this rule
// reads interpreter objects.
bool has_generated_attrs_prefix(std::string_view filename);
bool called_from_attrs(PyFrameObject* frame);

}  // namespace vopo::filters
