#include "values/text.h"

#include <cstring>

#include "py/compat.h"

namespace vopo::values {

namespace {

constexpr Py_UCS4 kReplacement = 0xFFFD;

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

// Surrogates take 3 bytes like the U+FFFD written in their place.
size_t char_size(Py_UCS4 c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

char* put_char(char* out, Py_UCS4 c) {
  if (is_surrogate(c)) c = kReplacement;
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

template <typename Char>
size_t size_of(const Char* chars, Py_ssize_t count) {
  size_t size = 0;
  for (Py_ssize_t i = 0; i < count; ++i) size += char_size(chars[i]);
  return size;
}

template <typename Char>
void write_chars(const Char* chars, Py_ssize_t count, char* out) {
  for (Py_ssize_t i = 0; i < count; ++i) out = put_char(out, chars[i]);
}

}  // namespace

size_t utf8_size(PyObject* text, Py_ssize_t count) {
  if (PyUnicode_IS_ASCII(text)) return static_cast<size_t>(count);
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return size_of(static_cast<const Py_UCS1*>(data), count);
    case PyUnicode_2BYTE_KIND: return size_of(static_cast<const Py_UCS2*>(data), count);
    default: return size_of(static_cast<const Py_UCS4*>(data), count);
  }
}

void write_utf8(PyObject* text, Py_ssize_t count, char* out) {
  const void* data = PyUnicode_DATA(text);
  if (PyUnicode_IS_ASCII(text)) {
    std::memcpy(out, data, static_cast<size_t>(count));
    return;
  }
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: write_chars(static_cast<const Py_UCS1*>(data), count, out); break;
    case PyUnicode_2BYTE_KIND: write_chars(static_cast<const Py_UCS2*>(data), count, out); break;
    default: write_chars(static_cast<const Py_UCS4*>(data), count, out); break;
  }
}

std::string utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text) || !py::unicode_ready(text)) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t count = PyUnicode_GET_LENGTH(text);
  std::string out(utf8_size(text, count), '\0');
  write_utf8(text, count, out.data());
  return out;
}

}  // namespace vopo::values
