#include "py/names.h"

#include "py/error.h"

namespace vopo::py {

namespace {

Names the_names;
bool ready = false;

void intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  if (slot == nullptr) throw_pending();
}

}  // namespace

const Names& names() { return the_names; }

void init_names() {
  if (ready) return;
  Names& n = the_names;
  intern(n.f_code, "f_code");
  intern(n.f_back, "f_back");
  intern(n.f_lineno, "f_lineno");
  intern(n.f_locals, "f_locals");
  intern(n.f_globals, "f_globals");
  intern(n.co_filename, "co_filename");
  intern(n.co_name, "co_name");
  intern(n.co_qualname, "co_qualname");
  intern(n.dunder_name, "__name__");
  intern(n.dunder_module, "__module__");
  intern(n.dunder_qualname, "__qualname__");
  intern(n.dunder_dict, "__dict__");
  intern(n.dunder_get, "__get__");
  intern(n.dunder_set, "__set__");
  intern(n.dunder_builtins, "__builtins__");
  intern(n.self, "self");
  intern(n.cls, "cls");
  intern(n.getattr_static, "getattr_static");
  intern(n.property, "property");
  intern(n.fget, "fget");
  intern(n.main_thread, "main_thread");
  intern(n.current_thread, "current_thread");
  intern(n.setprofile, "setprofile");
  intern(n.name, "name");
  intern(n.native_id, "native_id");
  intern(n.config, "config");
  intern(n.db_path, "db_path");
  intern(n.one_trace_per_test, "one_trace_per_test");
  intern(n.trace_id, "trace_id");
  intern(n.source, "source");
  intern(n.rust_profiler, "rust_profiler");
  intern(n.register_threading_profiler, "register_threading_profiler");
  intern(n.threading, "threading");
  intern(n.filters, "filters");
  intern(n.include_frames, "include_frames");
  intern(n.ignore_frames, "ignore_frames");
  intern(n.sqlite_busy_timeout, "sqlite_busy_timeout");
  intern(n.lightweight_repr, "lightweight_repr");
  intern(n.dump_msgpack, "dump_msgpack");
  intern(n.dump_msgpack_lightweight_repr, "dump_msgpack_lightweight_repr");
  intern(n.load_plugin_data, "load_plugin_data");
  intern(n.save_trace_in_sqlite, "save_trace_in_sqlite");
  intern(n.dunder_version, "__version__");
  intern(n.commit_sha, "COMMIT_SHA");
  intern(n.timeout, "timeout");
  intern(n.msgpack, "msgpack");
  intern(n.get_logger, "getLogger");
  intern(n.warning, "warning");
  intern(n.render_locals, "render_locals");
  intern(n.exc_info, "exc_info");
  intern(n.event_call, "call");
  intern(n.event_return, "return");
  intern(n.co_names, "co_names");
  intern(n.path_fragment, "path_fragment");
  intern(n.call_type, "call_type");
  intern(n.return_type, "return_type");
  intern(n.subtype, "subtype");
  intern(n.call, "call");
  intern(n.process, "process");
  intern(n.events, "events");
  intern(n.build_context, "build_context");
  intern(n.frame_id, "frame_id");
  intern(n.timestamp, "timestamp");
  intern(n.thread, "thread");
  intern(n.thread_native_id, "thread_native_id");
  intern(n.user_code_call_site, "user_code_call_site");
  intern(n.call_frame_id, "call_frame_id");
  intern(n.line_number, "line_number");
  intern(n.type, "type");
  intern(n.mapping, "Mapping");
  intern(n.enum_name, "_name_");
  intern(n.getsignal, "getsignal");
  intern(n.valid_signals, "valid_signals");
  intern(n.render_value, "render_value");
  ready = true;
}

}  // namespace vopo::py
