#include "profiler/record_arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

namespace vopo::profiler {

namespace {

constexpr size_t kFirstBlock = 4 * 1024;
constexpr size_t kLargestBlock = 1024 * 1024;
constexpr size_t kSmallestMappedBlock = 256 * 1024;

}  // namespace

void RecordArena::Release::operator()(char* data) const noexcept {
  if (mapped != 0) {
    munmap(data, mapped);
  } else {
    delete[] data;
  }
}

std::unique_ptr<char[], RecordArena::Release> RecordArena::new_block(size_t capacity) {
  if (capacity < kSmallestMappedBlock) return {new char[capacity], Release{0}};
  void* data = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  return {static_cast<char*>(data), Release{capacity}};
}

void RecordArena::add_block(size_t size) {
  // Each block doubles the last, so the blocks of a long trace are few; a
  // record larger than that gets a block of its own size.
  size_t next = blocks_.empty() ? kFirstBlock : std::min(blocks_.back().capacity * 2, kLargestBlock);
  size_t capacity = std::max(next, size);
  blocks_.push_back(Block{new_block(capacity), 0, capacity});
}

void RecordArena::prepend(RecordArena&& front) {
  front.blocks_.insert(front.blocks_.end(), std::make_move_iterator(blocks_.begin()),
                       std::make_move_iterator(blocks_.end()));
  blocks_ = std::move(front.blocks_);
  count_ += front.count_;
  bytes_ += front.bytes_;
  front = RecordArena();
}

char* RecordArena::copy_to(char* out) const {
  for (const Block& block : blocks_) {
    std::memcpy(out, block.data.get(), block.used);
    out += block.used;
  }
  return out;
}

}  // namespace vopo::profiler
