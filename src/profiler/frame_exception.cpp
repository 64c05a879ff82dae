#include "profiler/frame_exception.h"

#include <cstring>
#include <utility>

#include "msgpack/writer.h"
#include "profiler/failure_report.h"
#include "profiler/saving.h"
#include "py/compat.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/serializer.h"

namespace vopo::profiler {

namespace {

// "module.QualName" read from the type object's own fields, so no code of
// the program (a metaclass's attribute hooks) runs. A heap type whose
// `__module__` is not a str is named by its qualified name alone.
std::string qualified_type_name(PyTypeObject* type) {
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    const char* name = type->tp_name;
    return std::strchr(name, '.') != nullptr ? std::string(name) : std::string("builtins.") + name;
  }
  auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
  std::string qualname(py::utf8_view(heap->ht_qualname));
  py::Ref module = type->tp_dict != nullptr ? py::dict_lookup(type->tp_dict, py::names().dunder_module) : py::Ref();
  if (!module || !PyUnicode_Check(module.get())) return qualname;
  std::string name(py::utf8_view(module.get()));
  name += '.';
  name += qualname;
  return name;
}

std::optional<std::string> type_name_or_nil(PyTypeObject* type) {
  try {
    return qualified_type_name(type);
  } catch (py::Error&) {
    // A name without a UTF-8 form: the record keeps its place, with nil.
    return std::nullopt;
  }
}

std::optional<std::string> serialized_exception(PyObject* exception, bool lightweight, const EventFacts& facts) {
  try {
    return utils::serialize_value(exception, lightweight);
  } catch (py::Error& error) {
    report_failure(std::move(error), facts);
    return std::nullopt;
  }
}

// A return batch is filed in reverse, so the exception record goes in front
// of the frame record (the batch's last) to be filed right after it.
void file_with_details(Profiler& profiler, ThreadStore& store, const EventFacts& facts,
                       const std::optional<ids::Id>& frame_id, RecordBatch& batch, PyObject* exception) {
  batch.add_before_last(write_frame_exception_record(frame_id, exception, profiler.settings.lightweight_repr, facts),
                        RecordKind::frame_exception);
  hand_over_or_report(profiler, store, facts, batch);
}

EventFacts unwind_facts(PyFrameObject* frame) {
  PyCodeObject* code = py::frame_code(frame);
  return EventFacts{frame, Py_None, nullptr, Event::ret, false, code->co_filename, code->co_name, {}, {}};
}

}  // namespace

std::string write_frame_exception_record(const std::optional<ids::Id>& frame_id, PyObject* exception,
                                         bool lightweight, const EventFacts& facts) {
  std::optional<std::string> type_name;
  std::optional<std::string> serialized;
  if (exception != nullptr) {
    type_name = type_name_or_nil(Py_TYPE(exception));
    serialized = serialized_exception(exception, lightweight, facts);
  }
  msgpack::Writer writer(128 + (serialized ? serialized->size() : 0));
  writer.map_header(5);
  writer.str("type");
  writer.str("frame_exception");
  writer.str("frame_id");
  if (frame_id) {
    writer.str(frame_id->view());
  } else {
    writer.nil();
  }
  writer.str("exception_type");
  writer.optional_str(type_name);
  writer.str("exception");
  if (serialized) {
    writer.raw(*serialized);
  } else {
    writer.nil();
  }
  writer.str("timestamp");
  writer.float64(ids::current_timestamp());
  return writer.to_string();
}

void hand_over_exception_exit(Profiler& profiler, ThreadStore& store, const EventFacts& facts,
                              const std::optional<ids::Id>& frame_id) {
  if (profiler.watches_unwinds) {
    // The records wait in a batch of their own; the thread's next event
    // needs the store's.
    store.awaiting_unwind =
        AwaitingUnwind{reinterpret_cast<uintptr_t>(facts.frame), frame_id, std::exchange(store.batch, RecordBatch())};
    return;
  }
  file_with_details(profiler, store, facts, frame_id, store.batch, nullptr);
}

void hand_over_awaiting_unwind(Profiler& profiler, ThreadStore& store, const EventFacts& facts) {
  AwaitingUnwind awaiting = std::move(*store.awaiting_unwind);
  store.awaiting_unwind.reset();
  // The records are a return's, whatever event found them waiting.
  EventFacts return_facts = facts;
  return_facts.event = Event::ret;
  file_with_details(profiler, store, return_facts, awaiting.frame_id, awaiting.batch, nullptr);
}

void complete_exception_exit(Profiler& profiler, PyFrameObject* frame, PyObject* exception) noexcept {
  try {
    StoreInUse in_use(profiler.threads.current());
    ThreadStore& store = in_use.store();
    if (!store.awaiting_unwind || store.awaiting_unwind->frame != reinterpret_cast<uintptr_t>(frame)) return;
    AwaitingUnwind awaiting = std::move(*store.awaiting_unwind);
    store.awaiting_unwind.reset();
    EventFacts facts = unwind_facts(frame);
    file_with_details(profiler, store, facts, awaiting.frame_id, awaiting.batch, exception);
  } catch (py::Error& error) {
    report_failure(std::move(error), frame, Event::ret, nullptr, nullptr);
  } catch (...) {
    PyErr_Clear();
  }
}

}  // namespace vopo::profiler
