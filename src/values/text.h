// Reading the characters of a str in place and writing them as UTF-8. A
// lone surrogate, which UTF-8 cannot hold, is written as U+FFFD.
#pragma once

#include <string>

#include "py/python.h"

namespace vopo::values {

// The UTF-8 size of the first `count` characters of a ready str.
size_t utf8_size(PyObject* text, Py_ssize_t count);
// Writes the first `count` characters of a ready str into `out`, which has
// room for `utf8_size(text, count)` bytes.
void write_utf8(PyObject* text, Py_ssize_t count, char* out);
// The whole str as UTF-8; empty when it cannot be read.
std::string utf8_of(PyObject* text);

}  // namespace vopo::values
