#include "utils/frame_facts.h"

#include <charconv>
#include <string_view>

#include "filters/separator.h"
#include "py/compat.h"
#include "py/code_extra.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/program_exceptions.h"
#include "utils/static_attribute.h"
#include "utils/working_directory.h"

namespace vopo::utils {

namespace {

using filters::kSeparator;
using py::names;
using py::Ref;

bool is_rooted(std::string_view path) { return !path.empty() && path.front() == kSeparator; }

std::string_view skip_separators(std::string_view path) {
  size_t start = path.find_first_not_of(kSeparator);
  return start == std::string_view::npos ? std::string_view() : path.substr(start);
}

// `filename` without its leading `directory`, compared whole component by
// whole component; `filename` itself when the directory does not lead it.
std::string_view strip_directory(std::string_view directory, std::string_view filename) {
  if (is_rooted(directory) != is_rooted(filename)) return filename;
  std::string_view rest = filename;
  for (directory = skip_separators(directory); !directory.empty();
       directory = skip_separators(directory)) {
    std::string_view component = directory.substr(0, directory.find(kSeparator));
    directory.remove_prefix(component.size());
    rest = skip_separators(rest);
    if (!rest.starts_with(component)) return filename;
    rest.remove_prefix(component.size());
    if (!rest.empty() && rest.front() != kSeparator) return filename;
  }
  return skip_separators(rest);
}

// A file name that is relative or a placeholder such as "<string>" needs
// no working directory: it cannot start with it.
std::string_view relative_to_working_directory(std::string_view filename, bool cached) {
  if (!is_rooted(filename)) return filename;
  return strip_directory(working_directory(cached), filename);
}

uint64_t line_number(PyFrameObject* frame) {
  int line = py::frame_line(frame);
  // A frame without line information shows `f_lineno` as None, which has no
  // unsigned value.
  if (line < 0) return py::to_u64(Py_None);
  return static_cast<uint64_t>(line);
}

std::string_view utf8_or_replaced(PyObject* text, Ref& replaced) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data != nullptr) return {data, static_cast<size_t>(size)};
  PyErr_Clear();
  replaced = py::check(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  return {PyBytes_AS_STRING(replaced.get()), static_cast<size_t>(PyBytes_GET_SIZE(replaced.get()))};
}

void append_unprintable(std::string& out, PyObject* object) {
  Ref type_name = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names().dunder_name));
  const char* name = type_name && PyUnicode_Check(type_name.get())
                         ? PyUnicode_AsUTF8(type_name.get())
                         : nullptr;
  if (name == nullptr) {
    PyErr_Clear();
    out += "<unprintable object>";
    return;
  }
  out += "<unprintable ";
  out += name;
  out += " object>";
}

// Appends `str(object)`. A failing `str` goes to the unraisable hook and is
// written as a placeholder, so a name is never lost to a bad `__str__`.
void append_text(std::string& out, PyObject* object) {
  Ref text = PyUnicode_CheckExact(object) ? Ref::borrow(object) : Ref::steal(PyObject_Str(object));
  if (!text) {
    PyErr_WriteUnraisable(object);
    append_unprintable(out, object);
    return;
  }
  Ref replaced;
  out += utf8_or_replaced(text.get(), replaced);
}

// Code run with globals that name no module (`exec` with a bare dict) has
// none: its names carry no module part, rather than a made-up one.
bool names_a_module(PyObject* module) { return module != nullptr && PyUnicode_Check(module); }

std::string dotted(PyObject* module, PyObject* qualname) {
  std::string name;
  if (names_a_module(module)) {
    append_text(name, module);
    name += '.';
  }
  append_text(name, qualname);
  return name;
}

// `native` reads a function's `__module__` and `__qualname__` from its own
// fields, which nothing in an instance dict can shadow.
std::string dotted_name_of(PyObject* object, bool native) {
  if (native && PyFunction_Check(object)) {
    auto* function = reinterpret_cast<PyFunctionObject*>(object);
    return dotted(function->func_module, function->func_qualname);
  }
  Ref module = py::getattr(object, names().dunder_module);
  Ref qualname = py::getattr(object, names().dunder_qualname);
  return dotted(module.get(), qualname.get());
}

// The item; a missing key is a KeyError.
Ref item(PyObject* mapping, PyObject* key) {
  if (!PyDict_CheckExact(mapping)) return py::getitem(mapping, key);
  Ref value = py::dict_lookup(mapping, key);
  if (!value) {
    PyErr_SetObject(PyExc_KeyError, key);
    py::throw_pending();
  }
  return value;
}

// The frame's `__name__` global; empty when there is none. A lookup in a
// globals dict that is not exact may run the program's code, so only real
// dicts are read.
Ref module_name(PyFrameObject* frame) {
  PyObject* globals = py::frame_globals(frame);
  if (!PyDict_Check(globals)) return Ref();
  return py::dict_lookup(globals, names().dunder_name);
}

// Module attributes that do not change once imported, kept for the life of
// the process.
PyObject* stable_attribute(PyObject*& slot, const char* module, PyObject* name) {
  if (slot == nullptr) {
    Ref value = py::getattr(py::import(module).get(), name);
    // The import may have let another thread fill the slot meanwhile.
    if (slot == nullptr) slot = value.release();
  }
  return slot;
}

PyObject* getattr_static() {
  static PyObject* slot = nullptr;
  return stable_attribute(slot, "inspect", names().getattr_static);
}

PyObject* property_type() {
  static PyObject* slot = nullptr;
  return stable_attribute(slot, "builtins", names().property);
}

// The attribute as stored on the object or its class, without running
// descriptors or `__getattr__`; `native` reads ordinary classes directly.
Ref static_attribute(PyObject* object, PyObject* name, bool native) {
  if (native) {
    if (Ref found = ordinary_static_attribute(object, name)) return found;
  }
  return py::call(getattr_static(), {object, name});
}

// A method reached through `self`; a property stands for its getter.
std::string qualname_through_self(PyObject* self, PyObject* name, bool native) {
  Ref attribute = static_attribute(self, name, native);
  if (native && PyFunction_Check(attribute.get())) return dotted_name_of(attribute.get(), native);
  int is_property = PyObject_IsInstance(attribute.get(), property_type());
  if (is_property < 0) py::throw_pending();
  if (is_property) attribute = py::getattr(attribute.get(), names().fget);
  return dotted_name_of(attribute.get(), native);
}

// Without `co_qualname` the name is looked for where the function came
// from: the caller's namespace, the instance or class it was called on, the
// class body being run, or the module.
std::optional<std::string> inferred_qualname(PyFrameObject* frame, PyObject* name, bool native) {
  Ref caller = py::frame_back(frame);
  if (!caller) {
    if (PyErr_Occurred()) py::throw_pending();
    return std::nullopt;
  }
  if (Ref value = py::frame_local(py::as_frame(caller), name)) return dotted_name_of(value.get(), native);

  if (Ref self = py::frame_local(frame, names().self)) return qualname_through_self(self.get(), name, native);
  Ref cls = py::frame_local(frame, names().cls);
  if (cls && PyType_Check(cls.get())) {
    return dotted_name_of(static_attribute(cls.get(), name, native).get(), native);
  }

  if (Ref qualname = py::frame_local(frame, names().dunder_qualname)) {
    return dotted(module_name(frame).get(), qualname.get());
  }
  return dotted_name_of(item(py::frame_globals(frame), name).get(), native);
}

// The dotted name of a code object that carries its qualified name, kept
// with the `__name__` string it was made with; globals with another
// `__name__` (exec'd code) make it again.
struct DottedNameCache {
  bool filled = false;
  Ref module;
  std::string dotted;
};

// Only exact strings are cached: their text cannot change and reading it
// runs no code, and holding them keeps nothing of the program's alive.
std::string cached_dotted(PyCodeObject* code, PyObject* module, PyObject* qualname) {
  bool cacheable = (module == nullptr || PyUnicode_CheckExact(module)) && PyUnicode_CheckExact(qualname);
  DottedNameCache* cache = cacheable ? py::CodeExtra<DottedNameCache>::of(code) : nullptr;
  if (cache == nullptr) return dotted(module, qualname);
  if (!cache->filled || cache->module.get() != module) {
    std::string name = dotted(module, qualname);
    cache->module = Ref::borrow(module);
    cache->dotted = std::move(name);
    cache->filled = true;
  }
  return cache->dotted;
}

}  // namespace

std::string frame_path(PyFrameObject* frame, bool cached) {
  PyObject* filename_object = py::frame_code(frame)->co_filename;
  if (!PyUnicode_Check(filename_object)) py::throw_conversion_error(filename_object, "PyString");
  std::string_view filename = py::utf8_view(filename_object);
  uint64_t line = line_number(frame);
  std::string_view file_part = relative_to_working_directory(filename, cached);

  char digits[20];
  auto [end, error] = std::to_chars(digits, digits + sizeof(digits), line);
  (void)error;
  std::string path;
  path.reserve(file_part.size() + 1 + static_cast<size_t>(end - digits));
  path += file_part;
  path += ':';
  path.append(digits, end);
  return path;
}

std::optional<std::string> frame_qualname(PyFrameObject* frame, bool cached) {
  PyCodeObject* code = py::frame_code(frame);
  if (PyObject* qualname = py::code_qualname(code)) {
    Ref module = module_name(frame);
    return cached ? cached_dotted(code, module.get(), qualname) : dotted(module.get(), qualname);
  }

  PyObject* name = code->co_name;
  if (!PyUnicode_Check(name)) py::throw_conversion_error(name, "PyString");
  if (py::utf8_view(name) == "<module>") return dotted(module_name(frame).get(), name);
  try {
    return inferred_qualname(frame, name, cached);
  } catch (const py::Error& error) {
    // Inference is best effort: whatever it could not find leaves the name
    // absent, and its exception is dropped, unless it is the program's.
    if (belongs_to_program(error)) throw;
    return std::nullopt;
  }
}

}  // namespace vopo::utils
