#include "profiler/code_verdicts.h"

#include <atomic>

#include "profiler/profiler.h"

namespace vopo::profiler {

namespace {

std::atomic<uint64_t> next_serial{1};

std::vector<plugins::PluginEntry>* plugin_entries_for(plugins::PluginTable& table, std::string_view code_name) {
  return table.empty() ? nullptr : table.find(code_name);
}

}  // namespace

uint64_t new_profiler_serial() { return next_serial.fetch_add(1, std::memory_order_relaxed); }

const CodeVerdict* code_verdict(Profiler& profiler, PyCodeObject* code, PyObject* co_filename,
                                std::string_view filename, std::string_view code_name) {
  if (profiler.settings.reference_path) return nullptr;
  CodeVerdict* verdict = CodeVerdicts::of(code);
  if (verdict == nullptr) return nullptr;
  if (verdict->profiler_serial != profiler.serial) {
    filters::NameDecision decision = profiler.filters.decide(co_filename, filename);
    std::vector<plugins::PluginEntry>* entries = plugin_entries_for(profiler.plugins, code_name);
    bool skipped = decision == filters::NameDecision::ignore && entries == nullptr;
    *verdict = {profiler.serial, decision, entries, skipped ? profiler.serial : 0};
  }
  return verdict;
}

}  // namespace vopo::profiler
