// Which names look secret: a name matches an entry when, ignoring ASCII
// case, it equals the entry or ends with "_" and the entry.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "py/python.h"

namespace vopo::values {

inline constexpr std::array<std::string_view, 10> kDefaultRedact{
    "password", "passwd", "secret", "token", "api_key", "apikey", "authorization", "cookie", "private_key",
    "credentials"};

// ASCII letters lower-cased, every other byte kept.
std::string ascii_lower(std::string_view text);

class Redaction {
 public:
  // `entries` as UTF-8, already lower-cased.
  explicit Redaction(std::vector<std::string> entries);

  // For a name as UTF-8.
  bool matches(std::string_view name) const;
  // For an exact str. A name that cannot be read counts as secret.
  bool matches(PyObject* name) const;

 private:
  std::vector<std::string> entries_;
  // The last bytes of the entries: a name ending otherwise matches none.
  std::array<bool, 256> last_bytes_{};
};

}  // namespace vopo::values
