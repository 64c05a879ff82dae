#include "values/options.h"

#include <memory>
#include <vector>

namespace vopo::values {

namespace {

// Options replaced while an encoding could still be reading them.
std::vector<std::unique_ptr<const Options>>& retired() {
  // Never destroyed: an encoding may end after static destruction began.
  static auto* options = new std::vector<std::unique_ptr<const Options>>();
  return *options;
}

}  // namespace

namespace options_state {

// Left alive at exit: an encoding may still run then.
const Options* current = new Options{Redaction(default_redact_entries()), false};
size_t encodings_under_way = 0;
bool any_retired = false;

void release_retired() noexcept {
  retired().clear();
  any_retired = false;
}

}  // namespace options_state

std::vector<std::string> default_redact_entries() { return {kDefaultRedact.begin(), kDefaultRedact.end()}; }

void set_options(Options options) {
  static uint64_t last_generation = 0;
  options.generation = ++last_generation;
  auto fresh = std::make_unique<const Options>(std::move(options));
  bool in_use = options_state::encodings_under_way > 0;
  if (in_use) retired().reserve(retired().size() + 1);
  std::unique_ptr<const Options> replaced(options_state::current);
  options_state::current = fresh.release();
  if (in_use) {
    retired().push_back(std::move(replaced));
    options_state::any_retired = true;
  }
}

}  // namespace vopo::values
