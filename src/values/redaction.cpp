#include "values/redaction.h"

#include "py/compat.h"
#include "values/text.h"

namespace vopo::values {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_with_entry(std::string_view name, std::string_view entry, bool lowered) {
  if (name.size() < entry.size()) return false;
  size_t start = name.size() - entry.size();
  if (start != 0 && name[start - 1] != '_') return false;
  for (size_t i = 0; i < entry.size(); ++i) {
    char c = lowered ? name[start + i] : ascii_lower(name[start + i]);
    if (c != entry[i]) return false;
  }
  return true;
}

// `str.lower`, taken from the type itself so that a str subclass's own
// `lower` never runs. Kept for the life of the process.
PyObject* str_lower_method() {
  static PyObject* method = nullptr;
  if (method == nullptr) {
    py::Ref dict = py::type_dict(&PyUnicode_Type);
    if (!dict) return nullptr;
    method = PyDict_GetItemString(dict.get(), "lower");
    Py_XINCREF(method);
  }
  return method;
}

}  // namespace

Redaction::Redaction(std::vector<std::string> entries) : entries_(std::move(entries)) {
  for (const std::string& entry : entries_) {
    if (!entry.empty()) last_bytes_[static_cast<unsigned char>(entry.back())] = true;
  }
}

bool Redaction::matches_lowered(std::string_view name) const {
  if (name.empty() || !last_bytes_[static_cast<unsigned char>(name.back())]) return false;
  for (const std::string& entry : entries_) {
    if (ends_with_entry(name, entry, true)) return true;
  }
  return false;
}

bool Redaction::matches_ascii(const char* name, size_t size) const {
  if (size == 0 || !last_bytes_[static_cast<unsigned char>(ascii_lower(name[size - 1]))]) return false;
  for (const std::string& entry : entries_) {
    if (ends_with_entry({name, size}, entry, false)) return true;
  }
  return false;
}

bool Redaction::matches(PyObject* name) const {
  if (entries_.empty()) return false;
  if (!py::unicode_ready(name)) {
    PyErr_Clear();
    return true;
  }
  if (PyUnicode_IS_ASCII(name)) {
    return matches_ascii(static_cast<const char*>(PyUnicode_DATA(name)),
                         static_cast<size_t>(PyUnicode_GET_LENGTH(name)));
  }
  std::string lowered = lower_utf8(name);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return matches_lowered(lowered);
}

std::string lower_utf8(PyObject* text) {
  PyObject* lower = str_lower_method();
  if (lower == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "str.lower is missing");
    return {};
  }
  py::Ref lowered = py::Ref::steal(PyObject_CallOneArg(lower, text));
  if (!lowered) return {};
  return utf8_of(lowered.get());
}

}  // namespace vopo::values
