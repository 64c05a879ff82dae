#include "values/options.h"

namespace vopo::values {

namespace {

std::shared_ptr<const Options>& options_slot() {
  static std::shared_ptr<const Options> options =
      std::make_shared<const Options>(Options{Redaction(default_redact_entries()), false});
  return options;
}

}  // namespace

std::vector<std::string> default_redact_entries() { return {kDefaultRedact.begin(), kDefaultRedact.end()}; }

std::shared_ptr<const Options> current_options() { return options_slot(); }

void set_options(Options options) {
  static uint64_t last_generation = 0;
  options.generation = ++last_generation;
  options_slot() = std::make_shared<const Options>(std::move(options));
}

}  // namespace vopo::values
