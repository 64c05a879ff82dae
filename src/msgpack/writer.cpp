#include "msgpack/writer.h"

#include <algorithm>
#include <bit>

namespace vopo::msgpack {

void Writer::grow(size_t needed) {
  size_t capacity = std::max(needed, capacity_ * 2);
  std::unique_ptr<char[]> data(new char[capacity]);
  std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void Writer::uint(uint64_t value) {
  if (value <= 0x7f) {
    byte(static_cast<uint8_t>(value));
  } else if (value <= 0xff) {
    tagged(0xcc, value, 1);
  } else if (value <= 0xffff) {
    tagged(0xcd, value, 2);
  } else if (value <= 0xffffffffu) {
    tagged(0xce, value, 4);
  } else {
    tagged(0xcf, value, 8);
  }
}

void Writer::sint(int64_t value) {
  if (value >= 0) {
    uint(static_cast<uint64_t>(value));
  } else if (value >= -32) {
    byte(static_cast<uint8_t>(value));
  } else if (value >= INT8_MIN) {
    tagged(0xd0, static_cast<uint64_t>(value), 1);
  } else if (value >= INT16_MIN) {
    tagged(0xd1, static_cast<uint64_t>(value), 2);
  } else if (value >= INT32_MIN) {
    tagged(0xd2, static_cast<uint64_t>(value), 4);
  } else {
    tagged(0xd3, static_cast<uint64_t>(value), 8);
  }
}

void Writer::float64(double value) { tagged(0xcb, std::bit_cast<uint64_t>(value), 8); }

}  // namespace vopo::msgpack
