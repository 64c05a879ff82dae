// Interned attribute and key names, made once per process when the module is
// initialised and kept for its whole life.
#pragma once

#include "py/python.h"

namespace vopo::py {

struct Names {
  PyObject* f_code;
  PyObject* f_back;
  PyObject* f_lineno;
  PyObject* f_locals;
  PyObject* f_globals;
  PyObject* co_filename;
  PyObject* co_name;
  PyObject* co_qualname;
  PyObject* dunder_name;
  PyObject* dunder_module;
  PyObject* dunder_qualname;
  PyObject* dunder_builtins;
  PyObject* dunder_dict;
  PyObject* dunder_get;
  PyObject* dunder_set;
  PyObject* self;
  PyObject* cls;
  PyObject* getattr_static;
  PyObject* property;
  PyObject* fget;
  PyObject* main_thread;
  PyObject* current_thread;
  PyObject* setprofile;
  PyObject* name;
  PyObject* native_id;
  PyObject* config;
  PyObject* db_path;
  PyObject* one_trace_per_test;
  PyObject* trace_id;
  PyObject* source;
  PyObject* rust_profiler;
  PyObject* register_threading_profiler;
  PyObject* threading;
  PyObject* filters;
  PyObject* include_frames;
  PyObject* ignore_frames;
  PyObject* sqlite_busy_timeout;
  PyObject* lightweight_repr;
  PyObject* dump_msgpack;
  PyObject* dump_msgpack_lightweight_repr;
  PyObject* load_plugin_data;
  PyObject* save_trace_in_sqlite;
  PyObject* dunder_version;
  PyObject* commit_sha;
  PyObject* timeout;
  PyObject* msgpack;
  PyObject* get_logger;
  PyObject* warning;
  PyObject* render_locals;
  PyObject* exc_info;
  PyObject* event_call;
  PyObject* event_return;
  PyObject* co_names;
  PyObject* path_fragment;
  PyObject* call_type;
  PyObject* return_type;
  PyObject* subtype;
  PyObject* call;
  PyObject* process;
  PyObject* events;
  PyObject* build_context;
  PyObject* frame_id;
  PyObject* timestamp;
  PyObject* thread;
  PyObject* thread_native_id;
  PyObject* user_code_call_site;
  PyObject* call_frame_id;
  PyObject* line_number;
  PyObject* type;
  PyObject* mapping;
  PyObject* enum_name;
  PyObject* getsignal;
  PyObject* valid_signals;
  PyObject* render_value;
};

// Valid once `init_names` has succeeded.
const Names& names();
// Creates every name; throws on failure. Safe to call again.
void init_names();

}  // namespace vopo::py
