// Strict conversions from Python values, with the exact messages callers see.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/python.h"
#include "py/ref.h"

namespace vopo::py {

// The short name of an object's type, as shown in conversion messages.
std::string_view type_name(PyObject* object);
// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(PyObject* object, std::string_view target);

// A `bool`, or a numpy boolean through its truth value; anything else fails.
bool to_bool_strict(PyObject* object);
// An int (or anything with an integer index) in 0..2**64-1.
uint64_t to_u64(PyObject* object);
// None gives no value; anything else as `to_u64`.
std::optional<uint64_t> to_optional_u64(PyObject* object);
// The UTF-8 text of a `str`, held by the string object itself. ASCII
// strings (nearly every file and code name) are read in place.
std::string_view utf8_view_slow(PyObject* text);
inline std::string_view utf8_view(PyObject* text) {
  if (PyUnicode_Check(text) && PyUnicode_IS_COMPACT_ASCII(text)) {
    return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
  }
  return utf8_view_slow(text);
}
// A `str` (or subclass) as UTF-8; anything else names the target "PyString".
std::string to_text(PyObject* object);
// A sequence of `str`, refusing a single `str`.
std::vector<std::string> to_text_list(PyObject* object);
// A byte string from `bytes`, `bytearray` or a sequence of ints 0..255;
// a `str` is refused.
std::string to_byte_string(PyObject* object);

Ref new_text(std::string_view text);
Ref new_bytes(std::string_view bytes);
Ref new_int(uint64_t value);

}  // namespace vopo::py
