#include "utils/frame_facts.h"

#include <array>
#include <charconv>
#include <string_view>

#include "filters/separator.h"
#include "py/compat.h"
#include "py/code_extra.h"
#include "py/convert.h"
#include "utils/dotted_name.h"
#include "utils/program_exceptions.h"
#include "utils/qualname_cache.h"
#include "utils/qualname_inference.h"
#include "utils/working_directory.h"

namespace vopo::utils {

namespace {

using filters::kSeparator;
using py::Ref;

bool is_rooted(std::string_view path) { return !path.empty() && path.front() == kSeparator; }

std::string_view skip_separators(std::string_view path) {
  size_t start = path.find_first_not_of(kSeparator);
  return start == std::string_view::npos ? std::string_view() : path.substr(start);
}

// `filename` without its leading `directory`, compared whole component by
// whole component; `filename` itself when the directory does not lead it.
std::string_view strip_directory(std::string_view directory, std::string_view filename) {
  if (is_rooted(directory) != is_rooted(filename)) return filename;
  std::string_view rest = filename;
  for (directory = skip_separators(directory); !directory.empty();
       directory = skip_separators(directory)) {
    std::string_view component = directory.substr(0, directory.find(kSeparator));
    directory.remove_prefix(component.size());
    rest = skip_separators(rest);
    if (!rest.starts_with(component)) return filename;
    rest.remove_prefix(component.size());
    if (!rest.empty() && rest.front() != kSeparator) return filename;
  }
  return skip_separators(rest);
}

// A file name that is relative or a placeholder such as "<string>" needs
// no working directory: it cannot start with it.
std::string_view relative_to_working_directory(std::string_view filename, bool cached) {
  if (!is_rooted(filename)) return filename;
  return strip_directory(working_directory(cached), filename);
}

// The lines of a few instruction offsets of one code object. A code
// object's line table never changes, so an offset's line, once read, holds.
// The few cover a frame's call and return and the calls it makes in a loop.
class LineMemo {
 public:
  // The line kept for `offset`, or NULL.
  const int* find(int offset) const {
    for (size_t i = 0; i < kEntries; ++i) {
      if (offsets_[i] == offset) return &lines_[i];
    }
    return nullptr;
  }

  // Keeps `line` for `offset` in place of the entry kept longest.
  void keep(int offset, int line) {
    offsets_[next_] = offset;
    lines_[next_] = line;
    next_ = (next_ + 1) % kEntries;
  }

 private:
  static constexpr size_t kEntries = 4;
  std::array<int, kEntries> offsets_ = {py::kNoLineOffset, py::kNoLineOffset, py::kNoLineOffset,
                                        py::kNoLineOffset};
  std::array<int, kEntries> lines_ = {};
  size_t next_ = 0;
};

// Where a code object's frames are, kept on the code object: its file
// relative to the working directory, with the file name it was made from and
// the directory changes it was made under, and the lines of its offsets.
struct CodePlace {
  uint64_t directory_changes = 0;
  Ref filename;
  std::string text;
  LineMemo lines;
};

CodePlace* code_place(PyFrameObject* frame, bool cached) {
  return cached ? py::CodeExtra<CodePlace>::of(py::frame_code(frame)) : nullptr;
}

int line_of(PyFrameObject* frame, CodePlace* place) {
  int offset = place != nullptr ? py::frame_line_offset(frame) : py::kNoLineOffset;
  if (offset == py::kNoLineOffset) return py::frame_line(frame);
  if (const int* kept = place->lines.find(offset)) return *kept;
  int line = py::frame_line(frame);
  place->lines.keep(offset, line);
  return line;
}

uint64_t line_number(PyFrameObject* frame, CodePlace* place) {
  int line = line_of(frame, place);
  // A frame without line information shows `f_lineno` as None, which has no
  // unsigned value.
  if (line < 0) return py::to_u64(Py_None);
  return static_cast<uint64_t>(line);
}

std::string_view relative_file(PyFrameObject* frame, CodePlace* place, bool cached) {
  PyObject* filename = py::frame_code(frame)->co_filename;
  if (!PyUnicode_Check(filename)) py::throw_conversion_error(filename, "PyString");
  uint64_t changes = place != nullptr && PyUnicode_CheckExact(filename) ? working_directory_changes() : 0;
  CodePlace* kept = changes != 0 ? place : nullptr;
  if (kept == nullptr) return relative_to_working_directory(py::utf8_view(filename), cached);
  if (kept->directory_changes != changes || kept->filename.get() != filename) {
    kept->text.assign(relative_to_working_directory(py::utf8_view(filename), cached));
    kept->filename = Ref::borrow(filename);
    kept->directory_changes = changes;
  }
  return kept->text;
}

// The line's decimal digits, in `digits`.
std::string_view line_digits(PyFrameObject* frame, CodePlace* place, char (&digits)[20]) {
  auto [end, error] = std::to_chars(digits, digits + sizeof(digits), line_number(frame, place));
  (void)error;
  return {digits, static_cast<size_t>(end - digits)};
}

// The dotted name's text: kept in `cache` when given and the parts allow,
// else made in `scratch`. Nothing when the qualified name is not a str.
std::optional<std::string_view> dotted_text(QualnameCache* cache, PyObject* module, PyObject* qualname,
                                            std::string& scratch) {
  if (cache != nullptr) {
    if (const std::string* kept = cache->dotted.find_or_add(module, qualname)) return *kept;
  }
  if (!append_dotted(scratch, module, qualname)) return std::nullopt;
  return scratch;
}

// Without `co_qualname` the name is inferred: from what the cache reads
// natively where it can, else the exact way.
std::optional<std::string_view> inferred_text(PyFrameObject* frame, PyObject* name, bool cached,
                                              QualnameCache* cache, std::string& scratch) {
  BorrowedParts borrowed;
  if (cache != nullptr && cache->infer(frame, name, borrowed)) {
    return dotted_text(cache, borrowed.module, borrowed.qualname, scratch);
  }
  std::optional<NameParts> parts = inferred_name_parts(frame, name, cached);
  if (!parts) return std::nullopt;
  return dotted_text(cache, parts->module.get(), parts->qualname.get(), scratch);
}

// The frame's dotted qualified name, a view of the code's cache or of
// `scratch`. Uncached, every name is made afresh the exact way.
std::optional<std::string_view> qualname_text(PyFrameObject* frame, bool cached, std::string& scratch) {
  PyCodeObject* code = py::frame_code(frame);
  QualnameCache* cache = cached ? QualnameCache::of(code) : nullptr;
  if (PyObject* qualname = py::code_qualname(code)) {
    return dotted_text(cache, module_name(frame).get(), qualname, scratch);
  }
  PyObject* name = code->co_name;
  if (!PyUnicode_Check(name)) py::throw_conversion_error(name, "PyString");
  if (py::utf8_view(name) == "<module>") return dotted_text(cache, module_name(frame).get(), name, scratch);
  try {
    return inferred_text(frame, name, cached, cache, scratch);
  } catch (const py::Error& error) {
    // Inference is best effort: whatever it could not find leaves the name
    // absent, and its exception is dropped, unless it is the program's.
    if (belongs_to_program(error)) throw;
    return std::nullopt;
  }
}

}  // namespace

void write_frame_path(msgpack::Writer& out, PyFrameObject* frame, bool cached) {
  CodePlace* place = code_place(frame, cached);
  std::string_view file = relative_file(frame, place, cached);
  char buffer[20];
  std::string_view digits = line_digits(frame, place, buffer);
  out.str_header(file.size() + 1 + digits.size());
  out.raw(file);
  out.raw(":");
  out.raw(digits);
}

int frame_line(PyFrameObject* frame, bool cached) { return line_of(frame, code_place(frame, cached)); }

void write_frame_qualname(msgpack::Writer& out, PyFrameObject* frame, bool cached) {
  std::string scratch;
  out.optional_str(qualname_text(frame, cached, scratch));
}

}  // namespace vopo::utils
