#include "plugins/plugin_stage.h"

#include <algorithm>
#include <optional>

#include "profiler/call_site.h"
#include "profiler/failure_report.h"
#include "py/convert.h"
#include "py/gil.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/program_exceptions.h"
#include "utils/serializer.h"
#include "utils/thread_info.h"

namespace vopo::plugins {

namespace {

using profiler::Event;
using profiler::EventFacts;

struct PluginRecord {
  std::string bytes;
  std::string type;
};

PyObject* frame_object(const EventFacts& facts) { return reinterpret_cast<PyObject*>(facts.frame); }

void set_key(PyObject* record, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(record, key, value) < 0) {
    PyErr_Clear();
    throw py::Error::panic("a string is always a valid dict key");
  }
}

void set_key(PyObject* record, PyObject* key, const py::Ref& value) { set_key(record, key, value.get()); }

py::Ref call_plugin(PyObject* callable, const EventFacts& facts, const PluginEntry& entry) {
  return py::call(callable, {frame_object(facts), profiler::event_name_object(facts.event), facts.arg,
                             entry.context.get()});
}

bool wants_event(const PluginEntry& entry, Event event) {
  if (!entry.events) return true;
  return std::ranges::find(*entry.events, profiler::event_name(event)) != entry.events->end();
}

// A call stores a new id for the frame; its return reuses it, or gets a
// fresh one (not stored) when this entry did not record the call.
ids::Id plugin_frame_id(PluginEntry& entry, const EventFacts& facts) {
  auto key = reinterpret_cast<uintptr_t>(facts.frame);
  if (facts.event == Event::call) {
    ids::Id id = ids::new_frame_id();
    entry.frame_ids.insert_or_assign(key, id);
    return id;
  }
  auto found = entry.frame_ids.find(key);
  return found != entry.frame_ids.end() ? found->second : ids::new_frame_id();
}

py::Ref call_site_value(const profiler::ThreadStore& store, PyFrameObject* frame) {
  std::optional<profiler::CallSite> site = profiler::plugin_call_site(store, frame);
  if (!site) return py::Ref::borrow(Py_None);
  py::Ref value = py::check(PyDict_New());
  set_key(value.get(), py::names().call_frame_id, py::new_text(site->frame_id.view()));
  set_key(value.get(), py::names().line_number, py::check(PyLong_FromLong(site->line_number)));
  return value;
}

// A dict, or anything collections.abc.Mapping accepts. A raising isinstance
// test goes to the unraisable hook and counts as "not a mapping", unless
// what it raised belongs to the program.
bool is_mapping(PyObject* object) {
  if (PyDict_Check(object)) return true;
  py::Ref abc = py::import("collections.abc");
  py::Ref mapping = py::getattr(abc.get(), py::names().mapping);
  int verdict = PyObject_IsInstance(object, mapping.get());
  if (verdict < 0) {
    py::Error failure = py::Error::fetch();
    if (utils::belongs_to_program(failure)) throw std::move(failure);
    std::move(failure).restore();
    PyErr_WriteUnraisable(object);
  }
  return verdict > 0;
}

void merge_processed(PyObject* record, PyObject* processed) {
  if (!is_mapping(processed)) py::throw_conversion_error(processed, "Mapping");
  py::check_status(PyDict_Update(record, processed));
}

// "type" as it stands after `process`, which may have replaced it.
std::string record_type(PyObject* record) {
  PyObject* type = PyDict_GetItemWithError(record, py::names().type);
  if (type == nullptr) {
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw py::Error::panic("data[\"type\"] should not raise.");
    }
    throw py::Error::panic("data[\"type\"] should not be missing.");
  }
  py::Ref held = py::Ref::borrow(type);
  return py::to_text(held.get());
}

py::Ref standard_record(PluginEntry& entry, const EventFacts& facts, const profiler::ThreadStore& store) {
  const py::Names& names = py::names();
  py::Ref record = py::check(PyDict_New());
  set_key(record.get(), names.frame_id, py::new_text(plugin_frame_id(entry, facts).view()));
  set_key(record.get(), names.timestamp, py::check(PyFloat_FromDouble(ids::current_timestamp())));
  utils::ThreadInfo thread = utils::read_thread_info();
  set_key(record.get(), names.thread, py::new_text(thread.name));
  set_key(record.get(), names.thread_native_id,
          thread.native_id ? py::new_int(*thread.native_id) : py::Ref::borrow(Py_None));
  set_key(record.get(), names.user_code_call_site, call_site_value(store, facts.frame));
  const std::string& type = facts.event == Event::call ? entry.call_type : entry.return_type;
  set_key(record.get(), names.type, py::new_text(type));
  if (entry.subtype) set_key(record.get(), names.subtype, py::new_text(*entry.subtype));
  return record;
}

// Nothing when the entry does not match the event; throws when it fails.
std::optional<PluginRecord> evaluate_entry(PluginEntry& entry, const EventFacts& facts,
                                           const profiler::ThreadStore& store, bool lightweight) {
  if (!entry.path.found_in(facts.filename)) return std::nullopt;
  if (entry.call && !py::to_bool_strict(call_plugin(entry.call.get(), facts, entry).get())) {
    return std::nullopt;
  }
  if (!wants_event(entry, facts.event)) return std::nullopt;
  py::Ref record = standard_record(entry, facts, store);
  if (entry.process) merge_processed(record.get(), call_plugin(entry.process.get(), facts, entry).get());
  std::string type = record_type(record.get());
  return PluginRecord{utils::serialize_value(record.get(), lightweight), std::move(type)};
}

// Reports whatever `body` throws, so that only an exception that belongs to
// the program leaves the stage.
template <typename Body>
void reporting_failures(const EventFacts& facts, Body&& body) {
  try {
    body();
  } catch (py::Error& error) {
    profiler::report_failure(std::move(error), facts);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    profiler::report_failure(py::Error::fetch(), facts);
  } catch (...) {
    profiler::report_failure(py::Error::panic("unexpected C++ exception in the plugin stage"), facts);
  }
}

}  // namespace

void run_plugin_stage(profiler::Profiler& profiler, const EventFacts& facts, profiler::ThreadStore& store,
                      profiler::RecordBatch& batch, std::vector<PluginEntry>* entries) {
  PluginTable& table = profiler.plugins;
  // The table's structure never changes after loading, so an event whose
  // name no plugin mentions needs neither the lock nor a wait for another
  // thread's plugin code.
  if (entries == nullptr) return;
  const bool lightweight = profiler.settings.lightweight_repr;
  reporting_failures(facts, [&] {
    py::LockReleasingGil held(table.lock());
    for (PluginEntry& entry : *entries) {
      // A failing entry is reported on its own; the next one still runs.
      reporting_failures(facts, [&] {
        if (std::optional<PluginRecord> record = evaluate_entry(entry, facts, store, lightweight)) {
          batch.add(record->bytes, profiler::plugin_record_kind(record->type));
        }
      });
    }
  });
}

}  // namespace vopo::plugins
