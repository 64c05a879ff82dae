#include "filters/default_rules.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "filters/searcher.h"
#include "filters/separator.h"
#include "py/compat.h"
#include "py/convert.h"
#include "py/error.h"

namespace vopo::filters {

namespace {

constexpr std::array kLibraryAnywhere{
    platform_fragment<"lib/python">(),
    platform_fragment<"/site-packages/">(),
    platform_fragment<"/x64/lib/">(),
};
constexpr std::array kInterpreterDirectories{
    platform_fragment<"/python/">(),
    platform_fragment<"/Python/">(),
};
constexpr std::array kLibraryDirectories{
    platform_fragment<"/lib/">(),
    platform_fragment<"/Lib/">(),
};
constexpr std::string_view kFrozen = "<frozen ";
constexpr std::array kHostPackage{
    platform_fragment<"/vopo/config.py">(),
    platform_fragment<"/vopo/db.py">(),
    platform_fragment<"/vopo/django_schema.py">(),
    platform_fragment<"/vopo/filters/">(),
    platform_fragment<"/vopo/generate_tests/">(),
    platform_fragment<"/vopo/git.py">(),
    platform_fragment<"/vopo/__init__.py">(),
    platform_fragment<"/vopo/__main__.py">(),
    platform_fragment<"/vopo/middleware.py">(),
    platform_fragment<"/vopo/profiler.py">(),
    platform_fragment<"/vopo/pytest_plugin.py">(),
    platform_fragment<"/vopo/serialize.py">(),
    platform_fragment<"/vopo/utils.py">(),
    platform_fragment<"/vopo/version.py">(),
};
// Every host-package fragment starts with the package directory, so only
// the part of a name from its first occurrence on needs searching.
constexpr std::string_view kHostPackageDirectory = platform_fragment<"/vopo/">();
static_assert(std::ranges::all_of(kHostPackage, [](std::string_view fragment) {
  return fragment.starts_with(kHostPackageDirectory);
}));
constexpr std::string_view kStringSource = "<string>";
constexpr std::string_view kTestExpression = "<pytest match expression>";
constexpr std::string_view kAttrsPrefix = "<attrs generated";
constexpr std::string_view kAttrsCallerSuffix = platform_fragment<"attr/_make.py">();

std::vector<Searcher> compile(std::span<const std::string_view> fragments) {
  std::vector<Searcher> searchers;
  searchers.reserve(fragments.size());
  for (std::string_view fragment : fragments) searchers.emplace_back(std::string(fragment));
  return searchers;
}

// Compiled once per process and shared read-only by every thread.
struct BuiltInSearchers {
  std::vector<Searcher> library_anywhere = compile(kLibraryAnywhere);
  std::vector<Searcher> interpreter_directories = compile(kInterpreterDirectories);
  std::vector<Searcher> library_directories = compile(kLibraryDirectories);
  Searcher frozen{std::string(kFrozen)};
  std::vector<Searcher> host_package = compile(kHostPackage);
  Searcher string_source{std::string(kStringSource)};
};

const BuiltInSearchers& built_in_searchers() {
  static const BuiltInSearchers searchers;
  return searchers;
}

bool is_library(const BuiltInSearchers& searchers, std::string_view filename) {
  if (any_found_in(searchers.library_anywhere, filename)) return true;
  return any_found_in(searchers.interpreter_directories, filename) &&
         any_found_in(searchers.library_directories, filename);
}

bool is_host_package(const BuiltInSearchers& searchers, std::string_view filename) {
  size_t directory = filename.find(kHostPackageDirectory);
  return directory != std::string_view::npos &&
         any_found_in(searchers.host_package, filename.substr(directory));
}

[[noreturn]] void broken(std::string_view expectation) {
  PyErr_Clear();
  throw py::Error::panic(expectation);
}

py::Ref caller_of(PyFrameObject* frame) {
  py::Ref caller = py::frame_back(frame);
  if (!caller && PyErr_Occurred()) broken("A frame has an `f_back` attribute.");
  return caller;
}

// Valid while the frame is alive: the text is cached in the code's filename.
std::string_view code_filename(PyFrameObject* frame) {
  PyCodeObject* code = py::frame_code(frame);
  if (code == nullptr) broken("A frame has a code object.");
  PyObject* filename = code->co_filename;
  if (filename == nullptr) broken("A code object has a filename.");
  if (!PyUnicode_Check(filename)) broken("A filename is a string.");
  try {
    return py::utf8_view(filename);
  } catch (const py::Error&) {
    broken("A filename is a string.");
  }
}

}  // namespace

// attrs runs the methods it generates from its own module; a caller without
// a file name is skipped once to reach it.
bool called_from_attrs(PyFrameObject* frame) {
  py::Ref caller = caller_of(frame);
  if (!caller) return false;
  std::string_view caller_filename = code_filename(py::as_frame(caller));
  if (!caller_filename.empty()) return caller_filename.ends_with(kAttrsCallerSuffix);
  py::Ref grandparent = caller_of(py::as_frame(caller));
  if (!grandparent) return false;
  return code_filename(py::as_frame(grandparent)).ends_with(kAttrsCallerSuffix);
}

bool ignored_by_name(std::string_view filename) {
  const BuiltInSearchers& searchers = built_in_searchers();
  const bool library = is_library(searchers, filename);
  const bool frozen = searchers.frozen.found_in(filename);
  const bool host_package = is_host_package(searchers, filename);
  const bool string_source = searchers.string_source.found_in(filename);
  const bool test_expression = filename == kTestExpression;
  return library || frozen || host_package || string_source || test_expression;
}

bool has_generated_attrs_prefix(std::string_view filename) { return filename.starts_with(kAttrsPrefix); }

}  // namespace vopo::filters
