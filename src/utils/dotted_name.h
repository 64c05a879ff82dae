// Dotted names, "module.qualname", as UTF-8 text, and a small cache of them
// keyed by the string objects they are made of.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "py/ref.h"

namespace vopo::utils {

// Appends the dotted name. A module that is not a str (code run with globals
// that name none) adds no module part; a str subclass is read as its
// characters, never through its methods. False, appending nothing, when the
// qualified name is not a str.
bool append_dotted(std::string& out, PyObject* module, PyObject* qualname);

// The last few dotted names made for one code object. Each is kept with the
// exact `str` objects it was made of, held so that their text cannot change
// and their addresses cannot be reused: a hit compares identities only.
class DottedNames {
 public:
  // The text of the dotted name, made and kept on a miss; NULL when the parts
  // cannot be kept (anything but exact strings, or None for the module).
  const std::string* find_or_add(PyObject* module, PyObject* qualname);

 private:
  struct Entry {
    py::Ref module;
    py::Ref qualname;
    std::string text;
  };
  std::array<Entry, 4> entries_;
  size_t next_ = 0;
};

}  // namespace vopo::utils
