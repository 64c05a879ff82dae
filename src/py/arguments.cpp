#include "py/arguments.h"

#include <string>
#include <vector>

#include "py/convert.h"
#include "py/error.h"

namespace vopo::py {

namespace {

[[noreturn]] void fail(std::string_view function, std::string_view rest) {
  std::string message(function);
  message += rest;
  throw Error::type_error(message);
}

std::string plural(size_t count, std::string_view word) {
  std::string text = std::to_string(count) + " " + std::string(word);
  if (count != 1) text += "s";
  return text;
}

[[noreturn]] void fail_missing(std::string_view function, std::span<const char* const> names,
                               std::span<PyObject*> out) {
  std::vector<std::string> missing;
  for (size_t i = 0; i < names.size(); ++i) {
    if (out[i] == nullptr) missing.push_back("'" + std::string(names[i]) + "'");
  }
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == missing.size()) list += "and ";
    list += missing[i];
  }
  fail(function, " missing " + plural(missing.size(), "required positional argument") + ": " + list);
}

}  // namespace

void bind_arguments(std::string_view function, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
  size_t positional = static_cast<size_t>(nargs);
  if (positional > names.size()) {
    fail(function, " takes " + plural(names.size(), "positional argument") + " but " +
                       std::to_string(positional) + (positional == 1 ? " was" : " were") + " given");
  }
  for (size_t i = 0; i < out.size(); ++i) out[i] = i < positional ? args[i] : nullptr;
  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::string_view key_text = utf8_view(key);
    size_t slot = names.size();
    for (size_t i = 0; i < names.size(); ++i) {
      if (key_text == names[i]) slot = i;
    }
    if (slot == names.size()) {
      fail(function, " got an unexpected keyword argument '" + std::string(key_text) + "'");
    }
    if (out[slot] != nullptr) {
      fail(function, " got multiple values for argument '" + std::string(key_text) + "'");
    }
    out[slot] = args[nargs + k];
  }
  for (PyObject* value : out) {
    if (value == nullptr) fail_missing(function, names, out);
  }
}

}  // namespace vopo::py
