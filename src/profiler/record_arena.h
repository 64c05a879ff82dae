// A list of encoded records laid end to end in blocks that grow from 4 KiB
// to 1 MiB: no allocation per record and no per-record overhead, so a trace
// holds little more than its records' own bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace vopo::profiler {

class RecordArena {
 public:
  RecordArena() = default;
  RecordArena(RecordArena&&) noexcept = default;
  RecordArena& operator=(RecordArena&&) noexcept = default;

  // Appends one complete record.
  void append(std::string_view record) {
    append_bytes(record);
    ++count_;
  }
  // Appends `count` complete records given as their concatenated bytes.
  void append_records(std::string_view records, size_t count) {
    if (records.empty()) return;
    append_bytes(records);
    count_ += count;
  }
  // Puts the records of `front` in front of this arena's, emptying it.
  void prepend(RecordArena&& front);

  void swap(RecordArena& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(count_, other.count_);
    std::swap(bytes_, other.bytes_);
  }

  size_t count() const { return count_; }
  size_t byte_size() const { return bytes_; }
  bool empty() const { return count_ == 0; }
  // Copies every record's bytes, in order, to `out`; returns the end.
  char* copy_to(char* out) const;

 private:
  // Large blocks are mapped for themselves alone, so that a long trace's
  // memory goes back to the system as soon as its records are let go of,
  // rather than stay with the allocator; small ones come from the heap, so
  // that many short lists (one per thread) take few mappings.
  struct Release {
    size_t mapped;  // 0 for a block from the heap
    void operator()(char* data) const noexcept;
  };
  struct Block {
    std::unique_ptr<char[], Release> data;
    size_t used;
    size_t capacity;
  };

  static std::unique_ptr<char[], Release> new_block(size_t capacity);
  // Inline while the last block has room: the common case of every event.
  void append_bytes(std::string_view bytes) {
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < bytes.size()) add_block(bytes.size());
    Block& last = blocks_.back();
    std::memcpy(last.data.get() + last.used, bytes.data(), bytes.size());
    last.used += bytes.size();
    bytes_ += bytes.size();
  }
  // Adds a block with room for at least `size` bytes.
  void add_block(size_t size);

  std::vector<Block> blocks_;
  size_t count_ = 0;
  size_t bytes_ = 0;
};

}  // namespace vopo::profiler
