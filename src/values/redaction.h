// Which names look secret: a name matches an entry when, ignoring case, it
// equals the entry or ends with "_" and the entry.
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

class Redaction {
 public:
  // `entries` already lower-cased.
  explicit Redaction(std::vector<std::string> entries);

  bool empty() const { return entries_.empty(); }
  // For a lower-cased name.
  bool matches_lowered(std::string_view name) const;
  // For a str, lower-cased as `str.lower` does. A name that cannot be read
  // counts as secret.
  bool matches(PyObject* name) const;

 private:
  bool matches_ascii(const char* name, size_t size) const;

  std::vector<std::string> entries_;
  // The last bytes of the entries: a name ending otherwise matches none.
  std::array<bool, 256> last_bytes_{};
};

// str.lower of `text` as UTF-8; empty with the error pending on failure.
std::string lower_utf8(PyObject* text);

}  // namespace vopo::values
