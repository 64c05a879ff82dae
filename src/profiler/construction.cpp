#include "profiler/construction.h"

#include <cstdlib>
#include <string_view>

#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/ids.h"
#include "utils/thread_info.h"

namespace vopo::profiler {

namespace {

// A lookup in a real dict with a string key fails only when a key
// comparison raises, which breaks an expectation of the host's config.
py::Ref config_lookup(PyObject* config, PyObject* key, const char* panic_message) {
  try {
    return py::dict_lookup(config, key);
  } catch (py::Error&) {
    throw py::Error::panic(panic_message);
  }
}

uint64_t read_timeout(PyObject* config) {
  py::Ref value = config_lookup(config, py::names().sqlite_busy_timeout,
                                "config.get(\"sqlite_busy_timeout\" should not raise.");
  return value ? py::to_u64(value.get()) : 60;
}

// "threading" and "lightweight_repr" fall back to false for any value that
// is not a boolean.
bool read_flag(PyObject* config, PyObject* key, const char* panic_message) {
  py::Ref value = config_lookup(config, key, panic_message);
  if (!value) return false;
  try {
    return py::to_bool_strict(value.get());
  } catch (py::Error&) {
    return false;
  }
}

// The environment variable that turns the record path's caches off, kept to
// compare the records they give with those of the uncached path.
bool reference_path_requested() {
  const char* value = std::getenv("VOPO_REFERENCE_PATH");
  return value != nullptr && std::string_view(value) == "1";
}

std::string read_db_path(PyObject* host) {
  py::Ref db_path = py::getattr(host, py::names().db_path);
  py::Ref text = py::check(PyObject_Str(db_path.get()));
  return py::to_text(text.get());
}

}  // namespace

std::unique_ptr<Profiler> construct_profiler(PyObject* host) {
  const py::Names& names = py::names();
  Settings settings;

  py::Ref config = py::getattr(host, names.config);
  if (!PyDict_Check(config.get())) py::throw_conversion_error(config.get(), "PyDict");

  py::Ref filters_value = config_lookup(config.get(), names.filters, "config.get(\"filters\" should not raise.");
  filters::FrameFilters filters = filters::FrameFilters::from_config_value(filters_value.get());

  settings.main_thread_id = utils::read_main_thread_id();
  settings.timeout = read_timeout(config.get());
  settings.threading = read_flag(config.get(), names.threading, "config.get(\"threading\" should not raise.");
  settings.lightweight_repr =
      read_flag(config.get(), names.lightweight_repr, "config.get(\"lightweight_repr\" should not raise.");

  plugins::PluginTable plugins = plugins::PluginTable::load(config.get());

  settings.db_path = read_db_path(host);
  settings.one_trace_per_test = py::to_bool_strict(py::getattr(host, names.one_trace_per_test).get());
  std::string trace_id = py::to_text(py::getattr(host, names.trace_id).get());
  settings.source = py::to_text(py::getattr(host, names.source).get());
  settings.reference_path = reference_path_requested();
  settings.created_at = ids::current_timestamp();

  return std::make_unique<Profiler>(std::move(settings), std::move(filters), std::move(plugins),
                                    std::move(trace_id));
}

}  // namespace vopo::profiler
