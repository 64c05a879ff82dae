#include "utils/thread_info.h"

#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"

namespace vopo::utils {

namespace {

using py::names;
using py::Ref;

Ref thread_from(PyObject* function_name) {
  Ref threading = py::import("threading");
  Ref function = py::getattr(threading.get(), function_name);
  return py::call(function.get(), {});
}

// Threads of interpreters or platforms without native ids have none.
std::optional<uint64_t> native_id_of(PyObject* thread) {
  Ref native_id = py::getattr_optional(thread, names().native_id);
  if (!native_id) return std::nullopt;
  return py::to_optional_u64(native_id.get());
}

}  // namespace

ThreadInfo read_thread_info() {
  Ref thread = thread_from(names().current_thread);
  Ref name = py::getattr(thread.get(), names().name);
  ThreadInfo info{py::to_text(name.get()), std::nullopt};
  info.native_id = native_id_of(thread.get());
  return info;
}

std::optional<uint64_t> read_main_thread_id() {
  Ref thread = thread_from(names().main_thread);
  return native_id_of(thread.get());
}

}  // namespace vopo::utils
