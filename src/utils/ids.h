// Identifiers and timestamps: ULIDs, frame and trace ids, event times.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vopo::ids {

inline constexpr size_t kUlidTextSize = 26;
inline constexpr size_t kIdSize = 4 + kUlidTextSize;

// "frm_" or "trc_" followed by a ULID's text; a fixed-size value so that ids
// cost no allocation on the hot path.
struct Id {
  std::array<char, kIdSize> chars;
  std::string_view view() const { return {chars.data(), chars.size()}; }
  bool operator==(const Id&) const = default;
};

// Drops the calling thread's buffered random bytes, so that a forked child
// draws fresh ones and never repeats its parent's ids.
void reseed_after_fork();
Id new_frame_id();
Id new_trace_id();

// Seconds since the Unix epoch; throws a broken-expectation error when the
// clock lies before the epoch.
double current_timestamp();

}  // namespace vopo::ids
