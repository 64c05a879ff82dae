// A MessagePack writer that always picks the smallest form that fits and
// writes multi-byte values big-endian. It writes into memory only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vopo::msgpack {

class Writer {
 public:
  Writer() = default;
  explicit Writer(size_t capacity) { buffer_.reserve(capacity); }

  void nil() { buffer_.push_back(static_cast<char>(0xc0)); }
  void boolean(bool value) { buffer_.push_back(static_cast<char>(value ? 0xc3 : 0xc2)); }
  void uint(uint64_t value);
  void sint(int64_t value);
  void float64(double value);
  void str(std::string_view text);
  void array_header(size_t count);
  void map_header(size_t count);
  // Appends bytes that already hold complete MessagePack values.
  void raw(std::string_view bytes) { buffer_.append(bytes); }

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

  size_t size() const { return buffer_.size(); }
  const std::string& bytes() const { return buffer_; }
  std::string take() { return std::move(buffer_); }

 private:
  void byte(uint8_t value) { buffer_.push_back(static_cast<char>(value)); }
  void be16(uint16_t value);
  void be32(uint32_t value);
  void be64(uint64_t value);
  void header(size_t count, uint8_t fix_base, size_t fix_max, uint8_t form16, uint8_t form32);

  std::string buffer_;
};

}  // namespace vopo::msgpack
