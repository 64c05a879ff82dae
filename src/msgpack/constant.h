// MessagePack strings encoded at compile time, so that a record's keys and
// fixed values cost one copy each when written.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vopo::msgpack {

// A short string (up to 31 bytes) in its fixstr form: the header byte, then
// the text.
template <size_t N>
struct FixStr {
  static_assert(N - 1 <= 31, "a fixstr holds at most 31 bytes");
  std::array<char, N> bytes{};

  consteval FixStr(const char (&text)[N]) {
    bytes[0] = static_cast<char>(0xa0 | (N - 1));
    for (size_t i = 0; i + 1 < N; ++i) bytes[i + 1] = text[i];
  }
  constexpr std::string_view view() const { return {bytes.data(), N}; }
};

}  // namespace vopo::msgpack
