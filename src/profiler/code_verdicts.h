// What one profiler decided about a code object from its file name and code
// name, kept on the code object itself, so that later events of that code
// skip the fragment searches and the plugin table's hashing, and library
// frames leave at once.
#pragma once

#include <cstdint>
#include <vector>

#include "filters/frame_filters.h"
#include "plugins/plugin_table.h"
#include "py/code_extra.h"
#include "py/python.h"

namespace vopo::profiler {

class Profiler;

struct CodeVerdict {
  // The profiler that made the verdict: another one, with other filters
  // and plugins, makes its own.
  uint64_t profiler_serial = 0;
  filters::NameDecision decision = filters::NameDecision::walk_callers;
  // NULL when no plugin entry mentions the code's name.
  std::vector<plugins::PluginEntry>* plugin_entries = nullptr;
  // The maker's serial again when its events of the code need nothing (the
  // code is ignored and no plugin sees it), else 0: one comparison for a
  // library frame.
  uint64_t skipped_by = 0;
};

// A serial never given to another profiler of the process.
uint64_t new_profiler_serial();

// The profiler's verdict on the code, made when the code has none of this
// profiler's yet. NULL on the reference path or when the code object has no
// room for one.
const CodeVerdict* code_verdict(Profiler& profiler, PyCodeObject* code, PyObject* co_filename,
                                std::string_view filename, std::string_view code_name);

using CodeVerdicts = py::CodeExtra<CodeVerdict>;

// Whether the profiler of `serial` already knows that it neither records
// the frame's code nor lets a plugin see it. Reads only what the code
// object holds, in place.
inline bool known_to_skip(uint64_t serial, PyFrameObject* frame) {
  const CodeVerdict* verdict = CodeVerdicts::peek(py::frame_code(frame));
  return verdict != nullptr && verdict->skipped_by == serial;
}

}  // namespace vopo::profiler
