#include "profiler/trace_document.h"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "msgpack/writer.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/program_exceptions.h"

namespace vopo::profiler {

namespace {

struct HostFacts {
  std::string version;
  std::optional<std::string> commit_sha;
  std::vector<std::string> argv;
};

// Text that is always valid UTF-8: an argument holding undecodable bytes
// (lone surrogates) keeps them as escapes.
std::string argument_text(PyObject* text) {
  py::Ref encoded = py::check(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  return {PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))};
}

// A program may put anything in sys.argv: such an item is recorded as the
// host's side-effect-free rendering, or as its type name when that fails.
std::string rendered_argument(PyObject* item) {
  try {
    py::Ref serialize = py::import("vopo.serialize");
    py::Ref rendered = py::call(py::getattr(serialize.get(), py::names().render_value).get(), {item});
    if (PyUnicode_Check(rendered.get())) return argument_text(rendered.get());
  } catch (py::Error& error) {
    if (utils::belongs_to_program(error)) throw;
  }
  return std::string("<") + Py_TYPE(item)->tp_name + ">";
}

// The program's sys.argv read in place, so no code of the program runs; an
// argv that is missing or not a list or tuple gives no arguments.
std::vector<std::string> command_line_arguments() {
  PyObject* argv = PySys_GetObject("argv");
  if (argv == nullptr || !(PyList_Check(argv) || PyTuple_Check(argv))) return {};
  py::Ref held = py::Ref::borrow(argv);
  std::vector<std::string> arguments;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(argv); ++i) {
    py::Ref item = py::Ref::borrow(PySequence_Fast_GET_ITEM(argv, i));
    arguments.push_back(PyUnicode_Check(item.get()) ? argument_text(item.get()) : rendered_argument(item.get()));
  }
  return arguments;
}

HostFacts read_host_facts() {
  const py::Names& names = py::names();
  HostFacts facts;
  facts.version = py::to_text(py::getattr(py::import("vopo.version").get(), names.dunder_version).get());
  py::Ref commit = py::getattr(py::import("vopo.git").get(), names.commit_sha);
  if (commit.get() != Py_None) facts.commit_sha = py::to_text(commit.get());
  facts.argv = command_line_arguments();
  return facts;
}

// The document without its records: the skeleton, and for each record list
// the skeleton position its records follow.
struct Skeleton {
  msgpack::Writer writer{512};
  std::vector<std::pair<size_t, const RecordArena*>> lists;

  void records(const RecordArena& arena) {
    writer.array_header(arena.count());
    lists.emplace_back(writer.size(), &arena);
  }
};

void write_skeleton(Skeleton& skeleton, const HostFacts& host, const Settings& settings,
                    const TraceState::Taken& taken, const std::string& trace_id) {
  msgpack::Writer& writer = skeleton.writer;
  writer.map_header(8);
  writer.str("command_line_args");
  writer.array_header(host.argv.size());
  for (const std::string& arg : host.argv) writer.str(arg);
  writer.str("current_commit_sha");
  writer.optional_str(host.commit_sha);
  writer.str("frames");
  writer.map_header(taken.by_thread.size());
  for (const auto& [native_id, records] : taken.by_thread) {
    writer.uint(native_id);
    skeleton.records(records);
  }
  writer.str("frames_of_interest");
  skeleton.records(taken.of_interest);
  writer.str("main_thread_id");
  writer.optional_uint(settings.main_thread_id);
  writer.str("meta");
  writer.map_header(3);
  writer.str("version");
  writer.str(host.version);
  writer.str("source");
  writer.str(settings.source);
  writer.str("use_frame_boundaries");
  writer.boolean(true);
  writer.str("timestamp");
  writer.float64(settings.created_at);
  writer.str("trace_id");
  writer.str(trace_id);
}

// Writes the document straight into a bytes object of its exact size, each
// record list copied once, and notes where each list landed.
py::Ref write_document(const Skeleton& skeleton, std::vector<DocumentList>& places) {
  size_t size = skeleton.writer.size();
  for (const auto& [position, arena] : skeleton.lists) size += arena->byte_size();
  py::Ref document = py::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  char* const start = PyBytes_AS_STRING(document.get());
  char* out = start;
  std::string_view written = skeleton.writer.bytes();
  size_t copied = 0;
  for (const auto& [position, arena] : skeleton.lists) {
    std::memcpy(out, written.data() + copied, position - copied);
    out += position - copied;
    copied = position;
    places.push_back({static_cast<size_t>(out - start), arena->byte_size(), arena->count()});
    out = arena->copy_to(out);
  }
  std::memcpy(out, written.data() + copied, written.size() - copied);
  return document;
}

}  // namespace

BuiltTrace build_trace_keeping_records(Profiler& profiler) {
  release_fork_leftovers(profiler);
  HostFacts host = read_host_facts();
  std::string trace_id = profiler.trace.trace_id();
  TraceState::Taken taken = profiler.trace.take();
  BuiltTrace built;
  try {
    Skeleton skeleton;
    write_skeleton(skeleton, host, profiler.settings, taken, trace_id);
    built.places.reserve(skeleton.lists.size());
    built.document = write_document(skeleton, built.places);
  } catch (...) {
    profiler.trace.put_back(std::move(taken));
    throw;
  }
  for (const auto& [native_id, records] : taken.by_thread) built.thread_ids.push_back(native_id);
  // The records live on in the document alone from here, so a save holds
  // them once.
  return built;
}

void put_back_from_document(Profiler& profiler, const BuiltTrace& built) {
  std::string_view document(PyBytes_AS_STRING(built.document.get()),
                            static_cast<size_t>(PyBytes_GET_SIZE(built.document.get())));
  auto arena_of = [&](const DocumentList& place) {
    RecordArena arena;
    arena.append_records(document.substr(place.offset, place.size), place.count);
    return arena;
  };
  TraceState::Taken taken;
  for (size_t i = 0; i < built.thread_ids.size(); ++i) {
    taken.by_thread.emplace(built.thread_ids[i], arena_of(built.places[i]));
  }
  taken.of_interest = arena_of(built.places.back());
  profiler.trace.put_back(std::move(taken));
}

}  // namespace vopo::profiler
