// How much of one value an encoding keeps.
#pragma once

#include <cstddef>

namespace vopo::values {

struct Limits {
  int depth;             // containers this deep are elided
  size_t items;          // items kept per container
  size_t budget;         // items kept per value, all containers together
  size_t chars;          // characters kept per string
  size_t bytes;          // bytes kept per bytes value
  size_t repr_chars;     // characters kept per user repr
  bool user_repr;        // whether the object's own __repr__ may run, when opted in
};

inline constexpr Limits kFullLimits{6, 64, 1000, 512, 256, 512, true};
inline constexpr Limits kLightweightLimits{2, 16, 64, 128, 32, 0, false};

}  // namespace vopo::values
