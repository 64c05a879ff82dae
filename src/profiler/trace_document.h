// The trace document: everything recorded since the last hand-over, with
// facts about the process and the host package, as one MessagePack map.
#pragma once

#include <cstdint>
#include <vector>

#include "profiler/profiler.h"
#include "py/ref.h"

namespace vopo::profiler {

// Where a record list lies in the document: `count` records, `size` bytes
// from `offset`.
struct DocumentList {
  size_t offset;
  size_t size;
  size_t count;
};

struct BuiltTrace {
  py::Ref document;  // bytes
  // The threads' lists in the document's order, then the frames of interest.
  std::vector<DocumentList> places;
  std::vector<uint64_t> thread_ids;
};

// Builds the document and empties the record collections; the document is
// then the only copy of the records. A failure leaves the collections as
// they were.
BuiltTrace build_trace_keeping_records(Profiler& profiler);

// Puts the document's records back in front of anything recorded since, so
// a failed save loses nothing.
void put_back_from_document(Profiler& profiler, const BuiltTrace& built);

inline py::Ref build_trace(Profiler& profiler) { return build_trace_keeping_records(profiler).document; }

}  // namespace vopo::profiler
