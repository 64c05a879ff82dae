// Per-thread state of one profiler object: the stack of recorded user-code
// frames, the ids given to frames at their recorded calls, and the cached
// thread facts. Each thread only ever sees its own store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "py/ref.h"
#include "utils/ids.h"
#include "utils/thread_info.h"

namespace vopo::profiler {

struct StackEntry {
  py::Ref frame;
  ids::Id frame_id;
};

struct ThreadStore {
  // The thread state that made the store; its id is never reused, unlike
  // its address.
  PyThreadState* thread_state = nullptr;
  uint64_t thread_state_id = 0;
  std::vector<StackEntry> user_code_stack;
  std::unordered_map<uintptr_t, ids::Id> call_ids;
  std::optional<utils::ThreadInfo> thread_info;

  // The position of the innermost stack entry holding `frame`, if any.
  std::optional<size_t> stack_position(PyObject* frame) const {
    for (size_t i = user_code_stack.size(); i-- > 0;) {
      if (user_code_stack[i].frame.get() == frame) return i;
    }
    return std::nullopt;
  }
};

// Owns the stores of one profiler, keyed by a per-thread token that is never
// reused, so a new thread never inherits an ended thread's store. Accessed
// only under the GIL, with no call into Python while the map changes.
class ThreadStores {
 public:
  using Stores = std::unordered_map<uint64_t, std::unique_ptr<ThreadStore>>;

  ThreadStores();
  ThreadStore& current();
  template <typename Visit>
  void for_each(Visit&& visit) {
    for (auto& [token, store] : stores_) visit(*store);
  }
  // Moves every store out, so that releasing them (which may run Python code)
  // happens outside the map.
  // A new serial makes every thread's cached pointer into the old stores
  // stale.
  Stores take_all();
  // In a forked child, whose only thread is the calling one: moves the other
  // threads' stores out without releasing anything, and forgets the calling
  // thread's cached facts, which the fork changed (its native id).
  Stores take_other_threads_after_fork() noexcept;

 private:
  uint64_t serial_;
  Stores stores_;
};

}  // namespace vopo::profiler
