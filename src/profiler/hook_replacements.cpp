#include "profiler/hook_replacements.h"

#include <utility>
#include <vector>

#include "py/compat.h"

namespace vopo::profiler {

size_t count_replaced_hooks(Profiler& profiler, PyObject* instance) {
  std::vector<std::pair<PyThreadState*, uint64_t>> recorded;
  profiler.threads.for_each(
      [&](ThreadStore& store) { recorded.emplace_back(store.thread_state, store.thread_state_id); });
  size_t replaced = 0;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  for (PyThreadState* state = PyInterpreterState_ThreadHead(interpreter); state != nullptr;
       state = PyThreadState_Next(state)) {
    if (py::profile_hook_object(state) == instance) continue;
    for (const auto& [address, id] : recorded) {
      if (address == state && id == PyThreadState_GetID(state)) ++replaced;
    }
  }
  return replaced;
}

}  // namespace vopo::profiler
