#include "filters/frame_filters.h"

#include <string>

#include "filters/default_rules.h"
#include "filters/separator.h"
#include "py/convert.h"
#include "py/names.h"

namespace vopo::filters {

namespace {

// A value that cannot be subscripted, or lacks the key, gives no fragments;
// a value that is there must be a sequence of strings.
std::vector<Searcher> read_fragments(PyObject* filters, PyObject* key) {
  py::Ref value = py::Ref::steal(PyObject_GetItem(filters, key));
  if (!value) {
    PyErr_Clear();
    return {};
  }
  std::vector<Searcher> searchers;
  for (const std::string& fragment : py::to_text_list(value.get())) {
    searchers.emplace_back(normalise_fragment(fragment));
  }
  return searchers;
}

}  // namespace

FrameFilters FrameFilters::from_config_value(PyObject* filters) {
  FrameFilters result;
  if (filters == nullptr) return result;
  result.include_ = read_fragments(filters, py::names().include_frames);
  result.ignore_ = read_fragments(filters, py::names().ignore_frames);
  return result;
}

FilenameVerdict FrameFilters::decide_by_name(std::string_view filename) const {
  const bool included = any_found_in(include_, filename);
  const bool built_in_ignored = ignored_by_name(filename);
  const bool configured_ignored = any_found_in(ignore_, filename);
  return {included, built_in_ignored || configured_ignored, has_generated_attrs_prefix(filename)};
}

NameDecision FrameFilters::decide(PyObject* co_filename, std::string_view filename) const {
  FilenameVerdict verdict = verdicts_.lookup(co_filename, [&] { return decide_by_name(filename); });
  if (verdict.included) return NameDecision::record;
  if (verdict.ignored_by_name || verdict.generated_prefix) return NameDecision::ignore;
  return NameDecision::walk_callers;
}

bool FrameFilters::should_record(PyFrameObject* frame, NameDecision decision) {
  if (decision != NameDecision::walk_callers) return decision == NameDecision::record;
  return !called_from_attrs(frame);
}

}  // namespace vopo::filters
