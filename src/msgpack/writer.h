// A MessagePack writer that always picks the smallest form that fits and
// writes multi-byte values big-endian. It writes into memory only, into a
// buffer of its own that grows geometrically.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "msgpack/constant.h"
#include "msgpack/encoding.h"

namespace vopo::msgpack {

class Writer {
 public:
  explicit Writer(size_t capacity = 256) : data_(new char[capacity]), capacity_(capacity) {}

  void nil() { byte(0xc0); }
  void boolean(bool value) { byte(value ? 0xc3 : 0xc2); }
  void uint(uint64_t value) {
    if (value <= 0x7f) {
      byte(static_cast<uint8_t>(value));
    } else {
      wide_uint(value);
    }
  }
  void sint(int64_t value) {
    if (value >= -32 && value <= 0x7f) {
      byte(static_cast<uint8_t>(value));
    } else {
      wide_sint(value);
    }
  }
  void float64(double value) {
    reserve(encoding::kLargestScalar);
    advance_to(encoding::put_float64(end(), value));
  }
  void str(std::string_view text) {
    str_header(text.size());
    raw(text);
  }
  // A string of a size fixed at compile time, up to 31 bytes.
  template <size_t N>
  void str(const std::array<char, N>& text) {
    static_assert(N <= 31, "a fixstr holds at most 31 bytes");
    reserve(N + 1);
    char* out = data_.get() + size_;
    out[0] = static_cast<char>(0xa0 | N);
    std::memcpy(out + 1, text.data(), N);
    size_ += N + 1;
  }
  void str_header(size_t n) {
    reserve(encoding::kLargestScalar);
    advance_to(encoding::put_str_header(end(), n));
  }
  void bin(std::string_view bytes) {
    bin_header(bytes.size());
    raw(bytes);
  }
  void bin_header(size_t n);
  void ext_header(int8_t type, size_t n);
  void array_header(size_t count) { header(count, 0x90, 15, 0xdc, 0xdd); }
  void map_header(size_t count) { header(count, 0x80, 15, 0xde, 0xdf); }
  // Appends bytes that already hold complete MessagePack values.
  void raw(std::string_view bytes) {
    reserve(bytes.size());
    std::memcpy(data_.get() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }

  // Appends bytes fixed at compile time; their size being known, the copy
  // is a few moves.
  template <size_t N>
  void constant(const Constant<N>& bytes) {
    reserve(N);
    std::memcpy(data_.get() + size_, bytes.bytes.data(), N);
    size_ += N;
  }

  template <typename Optional>
  void optional_str(const Optional& text) {
    if (text) {
      str(*text);
    } else {
      nil();
    }
  }
  template <typename Optional>
  void optional_uint(const Optional& value) {
    if (value) {
      uint(*value);
    } else {
      nil();
    }
  }

  std::string_view bytes() const { return {data_.get(), size_}; }
  size_t size() const { return size_; }
  // Drops everything written from `size` on.
  void truncate(size_t size) { size_ = size < size_ ? size : size_; }
  // Moves the bytes written from `from` on to position `to`, shifting the
  // bytes in between behind them: a header written after its data ends up
  // in front of it.
  void move_tail(size_t from, size_t to);
  // Removes `count` bytes at `at`.
  void erase(size_t at, size_t count);
  // Room for `more` bytes at the end, to be written by the caller.
  char* extend(size_t more) {
    reserve(more);
    char* out = data_.get() + size_;
    size_ += more;
    return out;
  }
  // The byte at `offset`, to fill in what was left room for.
  char* at(size_t offset) { return data_.get() + offset; }
  std::string to_string() const { return std::string(bytes()); }

  // Makes room for `more` bytes at the end and returns where they start; the
  // caller writes up to that many and ends with `advance_to`.
  char* room_for(size_t more) {
    reserve(more);
    return end();
  }
  void advance_to(char* written_end) { size_ = static_cast<size_t>(written_end - data_.get()); }

 private:
  char* end() { return data_.get() + size_; }
  void reserve(size_t more) {
    if (size_ + more > capacity_) grow(size_ + more);
  }
  void grow(size_t needed);
  // Integers beyond the one-byte fixint forms.
  void wide_uint(uint64_t value) {
    reserve(encoding::kLargestScalar);
    advance_to(encoding::put_uint(end(), value));
  }
  void wide_sint(int64_t value) {
    reserve(encoding::kLargestScalar);
    advance_to(encoding::put_sint(end(), value));
  }
  void byte(uint8_t value) {
    reserve(1);
    data_[size_++] = static_cast<char>(value);
  }
  // A type byte followed by `size` big-endian bytes of `value`.
  void tagged(uint8_t tag, uint64_t value, size_t size) {
    reserve(size + 1);
    advance_to(encoding::put_tagged(end(), tag, value, size));
  }
  void header(size_t count, uint8_t fix_base, size_t fix_max, uint8_t form16, uint8_t form32) {
    if (count <= fix_max) {
      byte(static_cast<uint8_t>(fix_base | count));
    } else if (count <= 0xffff) {
      tagged(form16, count, 2);
    } else {
      tagged(form32, count, 4);
    }
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_;
};

}  // namespace vopo::msgpack
