#include "msgpack/writer.h"

#include <algorithm>

namespace vopo::msgpack {

void Writer::grow(size_t needed) {
  size_t capacity = std::max(needed, capacity_ * 2);
  std::unique_ptr<char[]> data(new char[capacity]);
  std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void Writer::bin_header(size_t n) {
  if (n <= 0xff) {
    tagged(0xc4, n, 1);
  } else if (n <= 0xffff) {
    tagged(0xc5, n, 2);
  } else {
    tagged(0xc6, n, 4);
  }
}

void Writer::ext_header(int8_t type, size_t n) {
  auto code = static_cast<uint64_t>(static_cast<uint8_t>(type));
  switch (n) {
    case 1: byte(0xd4); break;
    case 2: byte(0xd5); break;
    case 4: byte(0xd6); break;
    case 8: byte(0xd7); break;
    case 16: byte(0xd8); break;
    default:
      if (n <= 0xff) {
        tagged(0xc7, n, 1);
      } else if (n <= 0xffff) {
        tagged(0xc8, n, 2);
      } else {
        tagged(0xc9, n, 4);
      }
  }
  byte(static_cast<uint8_t>(code));
}

void Writer::move_tail(size_t from, size_t to) {
  char* data = data_.get();
  size_t tail = size_ - from;
  // Tails are headers, a few bytes: one memmove beats a general rotation.
  char held[16];
  if (tail > sizeof held) {
    std::rotate(data + to, data + from, data + size_);
    return;
  }
  std::memcpy(held, data + from, tail);
  std::memmove(data + to + tail, data + to, from - to);
  std::memcpy(data + to, held, tail);
}

void Writer::erase(size_t at, size_t count) {
  char* data = data_.get();
  std::memmove(data + at, data + at + count, size_ - at - count);
  size_ -= count;
}

}  // namespace vopo::msgpack
