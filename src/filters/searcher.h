// An exact, case-sensitive, byte-wise substring search, compiled once per
// fragment and owning its copy of the fragment.
#pragma once

#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace vopo::filters {

class Searcher {
 public:
  explicit Searcher(std::string needle) : needle_(std::move(needle)) {}

  bool found_in(std::string_view haystack) const {
    if (needle_.size() > haystack.size()) return false;
    if (needle_.empty()) return true;
    return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
  }
  const std::string& needle() const { return needle_; }

 private:
  std::string needle_;
};

// True at the first searcher, in order, whose fragment occurs in `haystack`.
inline bool any_found_in(std::span<const Searcher> searchers, std::string_view haystack) {
  for (const Searcher& searcher : searchers) {
    if (searcher.found_in(haystack)) return true;
  }
  return false;
}

}  // namespace vopo::filters
