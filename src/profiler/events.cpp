#include "profiler/events.h"

#include <utility>

#include "plugins/plugin_stage.h"
#include "profiler/call_site.h"
#include "profiler/code_verdicts.h"
#include "profiler/failure_report.h"
#include "profiler/frame_exception.h"
#include "profiler/frame_record.h"
#include "profiler/saving.h"
#include "profiler/thread_facts.h"
#include "py/compat.h"
#include "py/convert.h"
#include "py/names.h"
#include "utils/program_exceptions.h"

namespace vopo::profiler {

PyObject* event_name_object(Event event) {
  return event == Event::call ? py::names().event_call : py::names().event_return;
}

namespace {

std::string_view text_or_panic(PyObject* object, const char* message) {
  if (object == nullptr || !PyUnicode_Check(object)) throw py::Error::panic(message);
  try {
    return py::utf8_view(object);
  } catch (py::Error&) {
    throw py::Error::panic(message);
  }
}

std::optional<ids::Id> frame_id_for(ThreadStore& store, PyFrameObject* frame, Event event) {
  auto key = reinterpret_cast<uintptr_t>(frame);
  if (event == Event::call) {
    ids::Id id = ids::new_frame_id();
    store.call_ids.insert_or_assign(key, id);
    return id;
  }
  auto found = store.call_ids.find(key);
  if (found == store.call_ids.end()) return std::nullopt;
  return found->second;
}

// Removes `frame` from the user-code stack together with every entry above
// it, whose returns were lost; a frame that is not on the stack changes
// nothing. Entries are released one at a time, after leaving the stack.
void leave_frame(ThreadStore& store, PyFrameObject* frame) {
  std::optional<size_t> position = store.stack_position(reinterpret_cast<PyObject*>(frame));
  if (!position) return;
  auto& stack = store.user_code_stack;
  while (stack.size() > *position) {
    StackEntry popped = std::move(stack.back());
    stack.pop_back();
  }
}

// Writes the record of a recorded frame into the batch and returns its
// frame id. A return leaves the stack before anything that may fail, so the
// stack follows the program even when the record is lost; a call is pushed
// only with its record.
std::optional<ids::Id> record_frame(Profiler& profiler, const EventFacts& facts, ThreadStore& store,
                                    RecordBatch& batch) {
  std::optional<ids::Id> frame_id = frame_id_for(store, facts.frame, facts.event);
  const Settings& settings = profiler.settings;
  std::optional<CallSite> call_site = frame_call_site(store, facts.frame, facts.event,
                                                      frame_id ? &*frame_id : nullptr, !settings.reference_path);
  if (facts.event == Event::ret) leave_frame(store, facts.frame);
  write_frame_record(batch, {facts.frame, facts.code_name, facts.event, frame_id, facts.arg,
                             current_thread_info(store), call_site, settings.lightweight_repr,
                             !settings.reference_path});
  if (facts.event == Event::call) {
    store.user_code_stack.push_back({py::Ref::borrow(reinterpret_cast<PyObject*>(facts.frame)), *frame_id});
  }
  return frame_id;
}

bool exits_by_exception(const EventFacts& facts) {
  return facts.event == Event::ret && facts.exits_visible &&
         py::return_exits_by_exception(facts.frame, facts.given_arg);
}

// What the file name and the code name decide, from the code object's
// verdict when it has one.
struct NameVerdicts {
  filters::NameDecision decision;
  std::vector<plugins::PluginEntry>* plugin_entries;
};

NameVerdicts name_verdicts(Profiler& profiler, const EventFacts& facts) {
  PyCodeObject* code = py::frame_code(facts.frame);
  if (const CodeVerdict* verdict =
          code_verdict(profiler, code, facts.co_filename, facts.filename, facts.code_name)) {
    return {verdict->decision, verdict->plugin_entries};
  }
  plugins::PluginTable& table = profiler.plugins;
  return {profiler.filters.decide(facts.co_filename, facts.filename),
          table.empty() ? nullptr : table.find(facts.code_name)};
}

void handle_facts(Profiler& profiler, const EventFacts& facts) {
  StoreInUse in_use(profiler.threads.current());
  ThreadStore& store = in_use.store();
  if (store.awaiting_unwind) hand_over_awaiting_unwind(profiler, store, facts);
  RecordBatch& batch = store.batch;
  batch.clear();
  NameVerdicts verdicts = name_verdicts(profiler, facts);
  plugins::run_plugin_stage(profiler, facts, store, batch, verdicts.plugin_entries);
  try {
    if (filters::FrameFilters::should_record(facts.frame, verdicts.decision)) {
      std::optional<ids::Id> frame_id = record_frame(profiler, facts, store, batch);
      if (exits_by_exception(facts)) {
        hand_over_exception_exit(profiler, store, facts, frame_id);
        return;
      }
    }
  } catch (py::Error& error) {
    report_failure(std::move(error), facts);
    return;
  }
  hand_over_or_report(profiler, store, facts, batch);
}

void handle_checked_frame(Profiler& profiler, PyFrameObject* frame, PyObject* given_arg, Event event,
                          bool exits_visible) {
  // A call's argument is None on every version (3.12 gives the exception
  // thrown into a generator).
  PyObject* arg = event == Event::call || given_arg == nullptr ? Py_None : given_arg;
  EventFacts facts{frame, arg, given_arg, event, exits_visible, nullptr, nullptr, {}, {}};
  try {
    PyCodeObject* code = py::frame_code(frame);
    if (code == nullptr) throw py::Error::panic("A frame always has an `f_code`");
    facts.co_filename = code->co_filename;
    if (facts.co_filename == nullptr) throw py::Error::panic("`f_code` always has `co_filename`");
    facts.co_name = code->co_name;
    if (facts.co_name == nullptr) throw py::Error::panic("`f_code` always has `co_name`");
    facts.filename = text_or_panic(facts.co_filename, "`co_filename` is always a string");
    facts.code_name = text_or_panic(facts.co_name, "`co_name` is always a string");
  } catch (py::Error& error) {
    report_failure(std::move(error), facts);
    return;
  }
  handle_facts(profiler, facts);
}

// After an event raised for the program at a frame, some interpreter
// versions send one more return event for that frame as it unwinds, always
// as the thread's next event. It belongs to no record and is skipped.
bool is_unwind_after_raise(ThreadStore& store, PyFrameObject* frame, Event event) {
  PyFrameObject* raised = std::exchange(store.raised_frame, nullptr);
  return raised == frame && event == Event::ret;
}

// Any failure is reported; only an exception that belongs to the program
// leaves.
void handle_reporting_failures(Profiler& profiler, PyFrameObject* frame, PyObject* arg, Event event,
                               bool exits_visible) {
  try {
    release_fork_leftovers(profiler);
    if (!py::is_frame(reinterpret_cast<PyObject*>(frame))) throw py::Error::panic("Python gives us a PyFrame");
    handle_checked_frame(profiler, frame, arg, event, exits_visible);
  } catch (py::Error& error) {
    report_failure(std::move(error), frame, event, nullptr, nullptr);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    report_failure(py::Error::fetch(), frame, event, nullptr, nullptr);
  } catch (...) {
    report_failure(py::Error::panic("unexpected C++ exception in a profile event"), frame, event, nullptr,
                   nullptr);
  }
}

// The interpreter unwinds the frame of an event that raises (a call's frame
// never runs), so the stack lets go of it before the exception is set.
int hand_to_program(Profiler& profiler, PyFrameObject* frame, py::Error&& error) noexcept {
  try {
    ThreadStore& store = profiler.threads.current();
    leave_frame(store, frame);
    store.raised_frame = frame;
  } catch (...) {
    PyErr_Clear();
  }
  std::move(error).restore();
  return -1;
}

}  // namespace

int handle_event(Profiler& profiler, PyFrameObject* frame, PyObject* arg, Event event,
                 bool exits_visible) noexcept {
  try {
    if (is_unwind_after_raise(profiler.threads.current(), frame, event)) return 0;
    utils::run_pending_signal_handlers();
    handle_reporting_failures(profiler, frame, arg, event, exits_visible);
    return 0;
  } catch (py::Error& error) {
    return hand_to_program(profiler, frame, std::move(error));
  } catch (...) {
    PyErr_Clear();
    return 0;
  }
}

}  // namespace vopo::profiler
