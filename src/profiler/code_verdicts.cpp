#include "profiler/code_verdicts.h"

#include <atomic>

#include "profiler/profiler.h"
#include "py/code_extra.h"

namespace vopo::profiler {

namespace {

using Verdicts = py::CodeExtra<CodeVerdict>;

std::atomic<uint64_t> next_serial{1};

std::vector<plugins::PluginEntry>* plugin_entries_for(plugins::PluginTable& table, std::string_view code_name) {
  return table.empty() ? nullptr : table.find(code_name);
}

}  // namespace

uint64_t new_profiler_serial() { return next_serial.fetch_add(1, std::memory_order_relaxed); }

const CodeVerdict* code_verdict(Profiler& profiler, PyCodeObject* code, PyObject* co_filename,
                                std::string_view filename, std::string_view code_name) {
  if (profiler.settings.reference_path) return nullptr;
  CodeVerdict* verdict = Verdicts::of(code);
  if (verdict == nullptr) return nullptr;
  if (verdict->profiler_serial != profiler.serial) {
    *verdict = {profiler.serial, profiler.filters.decide(co_filename, filename),
                plugin_entries_for(profiler.plugins, code_name)};
  }
  return verdict;
}

bool known_to_skip(const Profiler& profiler, PyFrameObject* frame) {
  const CodeVerdict* verdict = Verdicts::peek(py::frame_code(frame));
  return verdict != nullptr && verdict->profiler_serial == profiler.serial &&
         verdict->decision == filters::NameDecision::ignore && verdict->plugin_entries == nullptr;
}

}  // namespace vopo::profiler
