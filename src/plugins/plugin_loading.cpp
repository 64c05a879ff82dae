// Loading the plugin table from the host package's plugin descriptions.
#include <algorithm>

#include "filters/separator.h"
#include "plugins/plugin_table.h"
#include "py/convert.h"
#include "py/error.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/program_exceptions.h"

namespace vopo::plugins {

namespace {

// An exception as the interpreter shows it on a traceback's last line:
// "ValueError: boom", or the type alone when its text is empty.
std::string describe(py::Error&& error) {
  py::Ref value = std::move(error).into_value();
  if (!value) return "unknown error";
  std::string text(py::type_name(value.get()));
  py::Ref shown = py::Ref::steal(PyObject_Str(value.get()));
  if (!shown) {
    PyErr_Clear();
    return text;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(shown.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return text;
  }
  if (size > 0) {
    text += ": ";
    text.append(data, static_cast<size_t>(size));
  }
  return text;
}

// Runs one step of the host package's contract; a failure becomes a broken
// expectation named by `message`, followed by the error it came from. An
// exception that belongs to the program passes unchanged.
template <typename Step>
auto expect(const char* message, Step&& step) -> decltype(step()) {
  try {
    return step();
  } catch (py::Error& error) {
    if (utils::belongs_to_program(error)) throw;
    std::string text(message);
    text += ": ";
    text += describe(std::move(error));
    throw py::Error::panic(text);
  }
}

py::Ref optional_key(PyObject* description, PyObject* key) {
  try {
    return py::dict_lookup(description, key);
  } catch (py::Error&) {
    throw py::Error::panic("a string is always a valid dict key");
  }
}

// For the keys where a value of None means "not given".
py::Ref optional_object(PyObject* description, PyObject* key) {
  py::Ref value = optional_key(description, key);
  if (value.get() == Py_None) return {};
  return value;
}

std::string required_text(PyObject* description, PyObject* key) {
  py::Ref value = py::getitem(description, key);
  return py::to_text(value.get());
}

py::Ref build_context(PyObject* description, PyObject* config) {
  py::Ref builder = optional_object(description, py::names().build_context);
  if (!builder) return py::check(PyDict_New());
  py::Ref context = py::call(builder.get(), {config});
  if (!PyDict_Check(context.get())) py::throw_conversion_error(context.get(), "PyDict");
  return context;
}

// The type of the profiler's own record after a frame left by an exception;
// a plugin record of that type would be taken for one.
void refuse_reserved_type(const std::string& type) {
  if (type == "frame_exception") {
    throw py::Error::make(PyExc_ValueError,
                          "a plugin cannot use the record type \"frame_exception\": the profiler writes it");
  }
}

// The keys are read again for every code name of a description, so each
// entry is built from what the description holds at that moment.
PluginEntry read_entry(PyObject* description, const py::Ref& context) {
  const py::Names& names = py::names();
  std::string fragment = required_text(description, names.path_fragment);
  filters::Searcher path(filters::normalise_fragment(fragment));
  std::string call_type = required_text(description, names.call_type);
  std::string return_type = required_text(description, names.return_type);
  refuse_reserved_type(call_type);
  refuse_reserved_type(return_type);
  std::optional<std::string> subtype;
  if (py::Ref value = optional_key(description, names.subtype)) subtype = py::to_text(value.get());
  py::Ref call = optional_object(description, names.call);
  py::Ref process = optional_object(description, names.process);
  std::optional<std::vector<std::string>> events;
  if (py::Ref value = optional_object(description, names.events)) events = py::to_text_list(value.get());
  return PluginEntry{std::move(path),
                     std::move(call),
                     std::move(process),
                     py::Ref::borrow(context.get()),
                     std::move(subtype),
                     std::move(events),
                     std::move(call_type),
                     std::move(return_type),
                     {}};
}

// One entry per item of "co_names"; a string yields one per character.
void add_description(EntriesByName& table, PyObject* description, PyObject* config) {
  if (!PyDict_Check(description)) py::throw_conversion_error(description, "PyDict");
  py::Ref co_names = py::getitem(description, py::names().co_names);
  py::Ref context = build_context(description, config);
  py::Ref iterator = py::check(PyObject_GetIter(co_names.get()));
  while (py::Ref name = py::Ref::steal(PyIter_Next(iterator.get()))) {
    std::string code_name = py::to_text(name.get());
    PluginEntry entry = read_entry(description, context);
    table.try_emplace(std::move(code_name)).first->second.push_back(std::move(entry));
  }
  if (PyErr_Occurred()) py::throw_pending();
}

// The loader's own code may shrink the list while it is read, so the walk
// stops at whichever length is smaller, the first or the current one.
EntriesByName read_descriptions(PyObject* descriptions, PyObject* config) {
  EntriesByName table;
  const Py_ssize_t initial = PyList_GET_SIZE(descriptions);
  for (Py_ssize_t i = 0; i < std::min(initial, PyList_GET_SIZE(descriptions)); ++i) {
    py::Ref description = py::Ref::borrow(PyList_GET_ITEM(descriptions, i));
    add_description(table, description.get(), config);
  }
  return table;
}

}  // namespace

PluginTable PluginTable::load(PyObject* config) {
  py::Ref module =
      expect("vopo.plugins should always be importable", [] { return py::import("vopo.plugins"); });
  py::Ref loader = expect("load_plugin_data should exist",
                          [&] { return py::getattr(module.get(), py::names().load_plugin_data); });
  py::Ref descriptions =
      expect("load_plugin_data should be callable", [&] { return py::call(loader.get(), {config}); });
  expect("load_plugin_data should return a list", [&] {
    if (!PyList_Check(descriptions.get())) py::throw_conversion_error(descriptions.get(), "PyList");
  });
  return PluginTable(read_descriptions(descriptions.get(), config));
}

}  // namespace vopo::plugins
