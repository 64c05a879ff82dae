#include "profiler/trace_document.h"

#include <optional>

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

size_t records_size(const RecordList& records) {
  size_t size = 5;
  for (const std::string& record : records) size += record.size();
  return size;
}

void write_records(msgpack::Writer& writer, const RecordList& records) {
  writer.array_header(records.size());
  for (const std::string& record : records) writer.raw(record);
}

size_t document_size_hint(const HostFacts& host, const TraceState::Taken& taken) {
  size_t size = 512 + host.version.size() + records_size(taken.of_interest);
  for (const std::string& arg : host.argv) size += arg.size() + 5;
  for (const auto& [native_id, records] : taken.by_thread) size += 9 + records_size(records);
  return size;
}

void write_document(msgpack::Writer& writer, const HostFacts& host, const Settings& settings,
                    const TraceState::Taken& taken, const std::string& trace_id) {
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
    write_records(writer, records);
  }
  writer.str("frames_of_interest");
  write_records(writer, taken.of_interest);
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

}  // namespace

BuiltTrace build_trace_keeping_records(Profiler& profiler) {
  release_fork_leftovers(profiler);
  HostFacts host = read_host_facts();
  BuiltTrace built{{}, profiler.trace.take()};
  std::string trace_id = profiler.trace.trace_id();
  msgpack::Writer writer(document_size_hint(host, built.records));
  write_document(writer, host, profiler.settings, built.records, trace_id);
  try {
    built.document = py::new_bytes(writer.bytes());
  } catch (py::Error&) {
    profiler.trace.put_back(std::move(built.records));
    throw;
  }
  return built;
}

}  // namespace vopo::profiler
