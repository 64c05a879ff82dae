#include "values/redaction.h"

#include "py/compat.h"
#include "values/text.h"

namespace vopo::values {

namespace {

char lower_byte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_with_entry(std::string_view name, std::string_view entry) {
  if (name.size() < entry.size()) return false;
  size_t start = name.size() - entry.size();
  if (start != 0 && name[start - 1] != '_') return false;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (lower_byte(name[start + i]) != entry[i]) return false;
  }
  return true;
}

}  // namespace

std::string ascii_lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = lower_byte(c);
  return lowered;
}

Redaction::Redaction(std::vector<std::string> entries) : entries_(std::move(entries)) {
  for (const std::string& entry : entries_) {
    if (!entry.empty()) last_bytes_[static_cast<unsigned char>(entry.back())] = true;
  }
}

bool Redaction::matches(std::string_view name) const {
  char last = lower_byte(name.empty() ? '\0' : name.back());
  if (!last_bytes_[static_cast<unsigned char>(last)]) return false;
  for (const std::string& entry : entries_) {
    if (!entry.empty() && entry.back() == last && ends_with_entry(name, entry)) return true;
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
    return matches({static_cast<const char*>(PyUnicode_DATA(name)), static_cast<size_t>(PyUnicode_GET_LENGTH(name))});
  }
  return matches(utf8_of(name));
}

}  // namespace vopo::values
