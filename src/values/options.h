// The encoder's process-wide options, set by `configure`. Each encoding
// takes the options current when it starts, so a change made meanwhile (by
// a user repr, another thread) never affects an encoding half-way.
#pragma once

#include <cstdint>
#include <memory>

#include "values/redaction.h"

namespace vopo::values {

struct Options {
  Redaction redaction;
  bool user_repr = false;
  // Different for each options ever set, so what was derived from older
  // options can tell it is stale.
  uint64_t generation = 0;
};

std::shared_ptr<const Options> current_options();
// Makes `options` current under a new generation.
void set_options(Options options);
// The default redaction list, lower-cased.
std::vector<std::string> default_redact_entries();

}  // namespace vopo::values
