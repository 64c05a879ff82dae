// The configured include and ignore fragments and the record decision.
#pragma once

#include <string_view>
#include <vector>

#include "filters/searcher.h"
#include "py/python.h"

namespace vopo::filters {

class FrameFilters {
 public:
  FrameFilters() = default;
  // Reads "filters" / "include_frames" and "ignore_frames" from the `filters`
  // value of the configuration (NULL when absent), include first.
  static FrameFilters from_config_value(PyObject* filters);

  // Recorded when an include fragment matches, or when neither the built-in
  // rules nor an ignore fragment do. All three tests run on every event.
  bool should_record(PyFrameObject* frame, std::string_view filename) const;

 private:
  std::vector<Searcher> include_;
  std::vector<Searcher> ignore_;
};

}  // namespace vopo::filters
