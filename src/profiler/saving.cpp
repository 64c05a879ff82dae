#include "profiler/saving.h"

#include "profiler/failure_report.h"
#include "profiler/thread_facts.h"
#include "profiler/trace_document.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"

namespace vopo::profiler {

namespace {

void call_storage(const Profiler& profiler, const std::string& trace_id, PyObject* document) {
  const py::Names& names = py::names();
  py::Ref kwargs = py::check(PyDict_New());
  py::Ref timeout = py::new_int(profiler.settings.timeout);
  py::check_status(PyDict_SetItem(kwargs.get(), names.timeout, timeout.get()));
  py::check_status(PyDict_SetItem(kwargs.get(), names.msgpack, document));
  py::Ref db = py::import("vopo.db");
  py::Ref save = py::getattr(db.get(), names.save_trace_in_sqlite);
  py::Ref db_path = py::new_text(profiler.settings.db_path);
  py::Ref id = py::new_text(trace_id);
  py::Ref args = py::check(PyTuple_Pack(2, db_path.get(), id.get()));
  py::check(PyObject_Call(save.get(), args.get(), kwargs.get()));
}

}  // namespace

void store_records(Profiler& profiler, std::optional<uint64_t> native_id, const FilingRun& run) {
  if (run.from == run.to) return;
  const Settings& settings = profiler.settings;
  bool own_list = native_id && settings.threading &&
                  (!settings.main_thread_id || *native_id != *settings.main_thread_id);
  if (own_list) {
    profiler.trace.append_for_thread(*native_id, run);
  } else {
    profiler.trace.append_of_interest(run);
  }
}

void save_request_in_db(Profiler& profiler) {
  BuiltTrace built = build_trace_keeping_records(profiler);
  std::string trace_id = profiler.trace.trace_id();
  try {
    call_storage(profiler, trace_id, built.document.get());
  } catch (py::Error&) {
    put_back_from_document(profiler, built);
    throw;
  }
}

void hand_over_records(Profiler& profiler, ThreadStore& store, Event event, const RecordBatch& batch) {
  if (batch.empty() || profiler.stopped) return;
  const bool reversed = event == Event::ret;
  const size_t count = batch.size();
  std::optional<uint64_t> native_id = current_thread_info(store).native_id;
  if (!profiler.settings.one_trace_per_test) {
    store_records(profiler, native_id, FilingRun{batch, reversed, 0, count});
    return;
  }
  // Markers split the batch: records before a "start_test" belong to the
  // discarded trace, an "end_test" closes the saved one. A failed save keeps
  // its records and the rest of the batch; the failure is raised at the end.
  std::optional<py::Error> failure;
  size_t pending = 0;
  for (size_t position = 0; position < count; ++position) {
    RecordKind kind = batch.filed_at(position, reversed).kind;
    if (kind == RecordKind::start_test) {
      store_records(profiler, native_id, FilingRun{batch, reversed, pending, position});
      pending = position;
      profiler.trace.reset(std::string(ids::new_trace_id().view()));
    }
    if (kind == RecordKind::end_test) {
      store_records(profiler, native_id, FilingRun{batch, reversed, pending, position + 1});
      pending = position + 1;
      try {
        save_request_in_db(profiler);
      } catch (py::Error& error) {
        if (!failure) failure.emplace(std::move(error));
      }
    }
  }
  store_records(profiler, native_id, FilingRun{batch, reversed, pending, count});
  if (failure) throw std::move(*failure);
}

void hand_over_or_report(Profiler& profiler, ThreadStore& store, const EventFacts& facts,
                         const RecordBatch& batch) noexcept {
  if (batch.empty()) return;
  try {
    hand_over_records(profiler, store, facts.event, batch);
  } catch (py::Error& error) {
    report_failure(std::move(error), facts);
  } catch (...) {
    report_failure(py::Error::panic("unexpected C++ exception while filing records"), facts);
  }
}

}  // namespace vopo::profiler
