// The trace document: everything recorded since the last hand-over, with
// facts about the process and the host package, as one MessagePack map.
#pragma once

#include "profiler/profiler.h"
#include "py/ref.h"

namespace vopo::profiler {

struct BuiltTrace {
  py::Ref document;  // bytes
  TraceState::Taken records;
};

// Builds the document and empties the record collections, keeping the
// records it took so a failed save can put them back. A failure before the
// collections are touched leaves them as they were.
BuiltTrace build_trace_keeping_records(Profiler& profiler);

inline py::Ref build_trace(Profiler& profiler) { return build_trace_keeping_records(profiler).document; }

}  // namespace vopo::profiler
