// The MessagePack forms, each written at a cursor into memory the caller has
// made room for; every form picks the smallest size that fits and writes
// multi-byte values big-endian. The writer and the room both write through
// these.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vopo::msgpack::encoding {

// The most bytes one header or scalar takes.
inline constexpr size_t kLargestScalar = 9;

inline char* put_byte(char* out, uint8_t value) {
  *out = static_cast<char>(value);
  return out + 1;
}

// A type byte followed by `size` big-endian bytes of `value`.
inline char* put_tagged(char* out, uint8_t tag, uint64_t value, size_t size) {
  out[0] = static_cast<char>(tag);
  for (size_t i = 0; i < size; ++i) out[size - i] = static_cast<char>(value >> (8 * i));
  return out + size + 1;
}

inline char* put_uint(char* out, uint64_t value) {
  if (value <= 0x7f) return put_byte(out, static_cast<uint8_t>(value));
  if (value <= 0xff) return put_tagged(out, 0xcc, value, 1);
  if (value <= 0xffff) return put_tagged(out, 0xcd, value, 2);
  if (value <= 0xffffffffu) return put_tagged(out, 0xce, value, 4);
  return put_tagged(out, 0xcf, value, 8);
}

inline char* put_sint(char* out, int64_t value) {
  if (value >= -32 && value <= 0x7f) return put_byte(out, static_cast<uint8_t>(value));
  if (value >= 0) return put_uint(out, static_cast<uint64_t>(value));
  if (value >= INT8_MIN) return put_tagged(out, 0xd0, static_cast<uint64_t>(value), 1);
  if (value >= INT16_MIN) return put_tagged(out, 0xd1, static_cast<uint64_t>(value), 2);
  if (value >= INT32_MIN) return put_tagged(out, 0xd2, static_cast<uint64_t>(value), 4);
  return put_tagged(out, 0xd3, static_cast<uint64_t>(value), 8);
}

inline char* put_float64(char* out, double value) {
  return put_tagged(out, 0xcb, std::bit_cast<uint64_t>(value), 8);
}

inline char* put_str_header(char* out, size_t n) {
  if (n <= 31) return put_byte(out, static_cast<uint8_t>(0xa0 | n));
  if (n <= 0xff) return put_tagged(out, 0xd9, n, 1);
  if (n <= 0xffff) return put_tagged(out, 0xda, n, 2);
  return put_tagged(out, 0xdb, n, 4);
}

inline char* put_bytes(char* out, const char* bytes, size_t size) {
  std::memcpy(out, bytes, size);
  return out + size;
}

}  // namespace vopo::msgpack::encoding
