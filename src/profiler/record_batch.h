// The records one event produced, in production order. Each thread keeps
// one batch from event to event, so an event allocates nothing for it once
// the buffers have grown to fit.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "msgpack/writer.h"

namespace vopo::profiler {

// What filing a record needs to know of it: the markers that open and
// close a test's trace, and everything else.
enum class RecordKind { frame, frame_exception, start_test, end_test, other };

inline RecordKind plugin_record_kind(std::string_view type) {
  if (type == "start_test") return RecordKind::start_test;
  if (type == "end_test") return RecordKind::end_test;
  return RecordKind::other;
}

class RecordBatch {
 public:
  struct Entry {
    size_t offset;
    size_t size;
    RecordKind kind;
  };

  // The writer a record is written into, between `begin` and `commit`.
  msgpack::Writer& out() { return bytes_; }
  size_t begin() const { return bytes_.size(); }
  void commit(size_t start, RecordKind kind) { entries_.push_back({start, bytes_.size() - start, kind}); }
  // Drops a record left half written by a failure.
  void abandon(size_t start) { bytes_.truncate(start); }

  void add(std::string_view record, RecordKind kind) {
    size_t start = begin();
    bytes_.raw(record);
    commit(start, kind);
  }
  // Adds a record that is filed right before the batch's last one.
  void add_before_last(std::string_view record, RecordKind kind) {
    add(record, kind);
    if (entries_.size() > 1) std::swap(entries_[entries_.size() - 1], entries_[entries_.size() - 2]);
  }

  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  // The entry filed at `position`: a return's records are filed in reverse.
  const Entry& filed_at(size_t position, bool reversed) const {
    return entries_[reversed ? entries_.size() - 1 - position : position];
  }
  std::string_view record(const Entry& entry) const { return bytes_.bytes().substr(entry.offset, entry.size); }
  // Empties the batch and keeps its buffers.
  void clear() {
    bytes_.truncate(0);
    entries_.clear();
  }

 private:
  msgpack::Writer bytes_{1024};
  std::vector<Entry> entries_;
};

}  // namespace vopo::profiler
