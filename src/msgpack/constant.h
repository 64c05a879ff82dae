// MessagePack bytes fixed at compile time: a record's keys and fixed values,
// joined into runs, so each run costs one inlined copy when written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vopo::msgpack {

template <size_t N>
struct Constant {
  std::array<char, N> bytes{};

  constexpr std::string_view view() const { return {bytes.data(), N}; }
};

template <size_t A, size_t B>
consteval Constant<A + B> operator+(const Constant<A>& first, const Constant<B>& second) {
  Constant<A + B> joined;
  for (size_t i = 0; i < A; ++i) joined.bytes[i] = first.bytes[i];
  for (size_t i = 0; i < B; ++i) joined.bytes[A + i] = second.bytes[i];
  return joined;
}

consteval Constant<1> type_byte(uint8_t value) { return {{static_cast<char>(value)}}; }

// A string of up to 31 bytes, in its fixstr form: the header byte, then the
// text.
template <size_t N>
consteval Constant<N> fixstr(const char (&text)[N]) {
  static_assert(N - 1 <= 31, "a fixstr holds at most 31 bytes");
  Constant<N> encoded;
  encoded.bytes[0] = static_cast<char>(0xa0 | (N - 1));
  for (size_t i = 0; i + 1 < N; ++i) encoded.bytes[i + 1] = text[i];
  return encoded;
}

// A map header for up to 15 entries.
consteval Constant<1> fixmap(size_t entries) { return type_byte(static_cast<uint8_t>(0x80 | entries)); }

}  // namespace vopo::msgpack
