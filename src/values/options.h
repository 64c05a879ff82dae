// The encoder's process-wide options, set by `configure`. Each encoding
// takes the options current when it starts, so a change made meanwhile (by
// a user repr, another thread) never affects an encoding half-way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/redaction.h"

namespace vopo::values {

struct Options {
  Redaction redaction;
  bool user_repr = false;
  // Different for each options ever set, so what was derived from older
  // options can tell it is stale.
  uint64_t generation = 0;
};

// Makes `options` current under a new generation. Options replaced while
// encodings are under way stay alive until the last of them ends.
void set_options(Options options);
// The default redaction list, lower-cased.
std::vector<std::string> default_redact_entries();

namespace options_state {
// Both only read and written with the GIL held.
extern const Options* current;
extern size_t encodings_under_way;
extern bool any_retired;
void release_retired() noexcept;
}  // namespace options_state

// The options current when it was made, kept alive while it lives. Cheaper
// than shared ownership: one count of encodings under way, no atomics.
class OptionsInUse {
 public:
  OptionsInUse() : options_(*options_state::current) { ++options_state::encodings_under_way; }
  ~OptionsInUse() {
    if (--options_state::encodings_under_way == 0 && options_state::any_retired) options_state::release_retired();
  }
  OptionsInUse(const OptionsInUse&) = delete;
  OptionsInUse& operator=(const OptionsInUse&) = delete;

  const Options& get() const { return options_; }

 private:
  const Options& options_;
};

}  // namespace vopo::values
