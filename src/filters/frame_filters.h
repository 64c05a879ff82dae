// The configured include and ignore fragments and the record decision.
#pragma once

#include <string_view>
#include <vector>

#include "filters/filename_verdicts.h"
#include "filters/searcher.h"
#include "py/python.h"

namespace vopo::filters {

// What the file name alone says about recording a frame.
enum class NameDecision { record, ignore, walk_callers };

class FrameFilters {
 public:
  FrameFilters() = default;
  // Reads "filters" / "include_frames" and "ignore_frames" from the `filters`
  // value of the configuration (NULL when absent), include first.
  static FrameFilters from_config_value(PyObject* filters);

  // Recorded when an include fragment matches, or when neither the built-in
  // rules nor an ignore fragment do. What the name alone decides is cached
  // per `co_filename` object.
  NameDecision decide(PyObject* co_filename, std::string_view filename) const;
  // Only a name that neither includes nor ignores the frame needs the
  // generated-attrs caller walk.
  static bool should_record(PyFrameObject* frame, NameDecision decision);

 private:
  FilenameVerdict decide_by_name(std::string_view filename) const;

  std::vector<Searcher> include_;
  std::vector<Searcher> ignore_;
  mutable FilenameVerdicts verdicts_;
};

}  // namespace vopo::filters
