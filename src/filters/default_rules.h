// The built-in rules that mark a frame as not the user's own code: library
// and interpreter code, vopo's own modules, code compiled from strings, the
// test runner's match expressions and generated attrs methods.
#pragma once

#include <string_view>

#include "py/python.h"

namespace vopo::filters {

// True when any built-in rule marks the frame as not user code. Only the
// generated-attrs rule reads interpreter objects (up to two callers).
bool default_ignore(PyFrameObject* frame, std::string_view filename);

}  // namespace vopo::filters
