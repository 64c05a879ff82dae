// The encoder's process-wide options, set by `configure`. Each encoding
// takes the options current when it starts, so a change made meanwhile (by
// a user repr, another thread) never affects an encoding half-way.
#pragma once

#include <memory>

#include "values/redaction.h"

namespace vopo::values {

struct Options {
  Redaction redaction;
  bool user_repr = false;
};

std::shared_ptr<const Options> current_options();
void set_options(std::shared_ptr<const Options> options);
// The default redaction list, lower-cased.
std::vector<std::string> default_redact_entries();

}  // namespace vopo::values
