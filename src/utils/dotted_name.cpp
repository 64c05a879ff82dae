#include "utils/dotted_name.h"

#include <string_view>

#include "py/error.h"

namespace vopo::utils {

namespace {

// The text of a str or str subclass; lone surrogates become U+FFFD.
void append_characters(std::string& out, PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    out.append(data, static_cast<size_t>(size));
    return;
  }
  PyErr_Clear();
  py::Ref replaced = py::check(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  out.append(PyBytes_AS_STRING(replaced.get()), static_cast<size_t>(PyBytes_GET_SIZE(replaced.get())));
}

bool keepable(PyObject* module, PyObject* qualname) {
  return (module == nullptr || module == Py_None || PyUnicode_CheckExact(module)) && PyUnicode_CheckExact(qualname);
}

}  // namespace

bool append_dotted(std::string& out, PyObject* module, PyObject* qualname) {
  if (qualname == nullptr || !PyUnicode_Check(qualname)) return false;
  if (module != nullptr && PyUnicode_Check(module)) {
    append_characters(out, module);
    out += '.';
  }
  append_characters(out, qualname);
  return true;
}

const std::string* DottedNames::find_or_add(PyObject* module, PyObject* qualname) {
  for (const Entry& entry : entries_) {
    if (entry.qualname.get() == qualname && entry.module.get() == module) return &entry.text;
  }
  if (!keepable(module, qualname)) return nullptr;
  std::string text;
  append_dotted(text, module, qualname);
  Entry& entry = entries_[next_];
  next_ = (next_ + 1) % entries_.size();
  entry.module = py::Ref::borrow(module);
  entry.qualname = py::Ref::borrow(qualname);
  entry.text = std::move(text);
  return &entry.text;
}

}  // namespace vopo::utils
