#include "profiler/trace_document.h"

#include <optional>

#include "msgpack/writer.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"

namespace vopo::profiler {

namespace {

struct HostFacts {
  std::string version;
  std::optional<std::string> commit_sha;
  std::vector<std::string> argv;
};

HostFacts read_host_facts() {
  const py::Names& names = py::names();
  HostFacts facts;
  facts.version = py::to_text(py::getattr(py::import("vopo.version").get(), names.dunder_version).get());
  py::Ref commit = py::getattr(py::import("vopo.git").get(), names.commit_sha);
  if (commit.get() != Py_None) facts.commit_sha = py::to_text(commit.get());
  facts.argv = py::to_text_list(py::getattr(py::import("sys").get(), names.argv).get());
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
