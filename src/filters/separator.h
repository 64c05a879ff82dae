// The platform's path separator, kept in one place: built-in fragments are
// spelled with it, and fragments given by users and plugins are rewritten to
// it.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vopo::filters {

#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// A configured fragment in the platform's form: on Windows every "/" becomes
// a backslash; elsewhere "/" already is the separator.
inline std::string normalise_fragment(std::string_view fragment) {
  std::string normalised(fragment);
  if constexpr (kSeparator != '/') {
    for (char& c : normalised) {
      if (c == '/') c = kSeparator;
    }
  }
  return normalised;
}

// A string literal usable as a template argument.
template <size_t N>
struct Spelling {
  char text[N];
  consteval Spelling(const char (&literal)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = literal[i];
  }
};

template <Spelling spelled>
inline constexpr auto kPlatformBytes = [] {
  std::array<char, sizeof(spelled.text) - 1> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = spelled.text[i];
    bytes[i] = c == '/' ? kSeparator : c;
  }
  return bytes;
}();

// A built-in fragment written with "/", in the platform's form, made at
// compile time so that one table serves every platform.
template <Spelling spelled>
constexpr std::string_view platform_fragment() {
  return {kPlatformBytes<spelled>.data(), kPlatformBytes<spelled>.size()};
}

}  // namespace vopo::filters
