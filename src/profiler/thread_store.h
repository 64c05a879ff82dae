// Per-thread state of one profiler object: the stack of recorded user-code
// frames, the ids given to frames at their recorded calls, and the cached
// thread facts. Each thread only ever sees its own store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "profiler/event.h"
#include "profiler/record_batch.h"
#include "py/ref.h"
#include "utils/ids.h"
#include "utils/thread_info.h"

namespace vopo::profiler {

struct StackEntry {
  py::Ref frame;
  ids::Id frame_id;
};

// The records of a return that left its frame by an exception, waiting for
// the interpreter's unwind notice, which comes right after the return event
// and carries the exception.
struct AwaitingUnwind {
  uintptr_t frame = 0;
  std::optional<ids::Id> frame_id;
  RecordBatch batch;
};

struct ThreadStore {
  // The thread state that made the store; its id is never reused, unlike
  // its address.
  PyThreadState* thread_state = nullptr;
  uint64_t thread_state_id = 0;
  std::vector<StackEntry> user_code_stack;
  std::unordered_map<uintptr_t, ids::Id> call_ids;
  std::optional<utils::ThreadInfo> thread_info;
  std::optional<AwaitingUnwind> awaiting_unwind;
  // The records of the event being handled; kept from event to event for
  // its buffers.
  RecordBatch batch;
  // Set while an event of this thread uses the store; such a store is handed
  // to that event when the profiler lets go of its stores.
  bool in_event = false;
  bool orphaned = false;
  // The frame whose event last raised for the program, compared by address
  // only, at the thread's next event.
  PyFrameObject* raised_frame = nullptr;

  // The position of the innermost stack entry holding `frame`, if any.
  std::optional<size_t> stack_position(PyObject* frame) const {
    for (size_t i = user_code_stack.size(); i-- > 0;) {
      if (user_code_stack[i].frame.get() == frame) return i;
    }
    return std::nullopt;
  }
};

using StoreList = std::vector<std::unique_ptr<ThreadStore>>;

// The calling thread's token and its last (profiler, store) pair. Plain
// data with no destructor (one with a destructor could be re-created by an
// event during the thread's teardown), initial-exec so that the hot path
// reads it with no call.
struct ThreadSlot {
  uint64_t token = 0;
  uint64_t cached_serial = 0;
  ThreadStore* cached_store = nullptr;
};

extern constinit thread_local ThreadSlot thread_slot __attribute__((tls_model("initial-exec")));

// Owns the stores of one profiler, keyed by a per-thread token that is never
// reused, so a new thread never inherits an ended thread's store. Accessed
// only under the GIL, with no call into Python while the map changes.
class ThreadStores {
 public:
  using Stores = std::unordered_map<uint64_t, std::unique_ptr<ThreadStore>>;

  ThreadStores();
  // The calling thread's store, made on its first use. Making one also
  // collects the stores of threads that have ended.
  ThreadStore& current();
  // The calling thread's store when it is already at hand; NULL when
  // finding it would mean a lookup or making one.
  const ThreadStore* current_if_known() const noexcept {
    const ThreadSlot& slot = thread_slot;
    return slot.cached_serial == serial_ ? slot.cached_store : nullptr;
  }
  template <typename Visit>
  void for_each(Visit&& visit) {
    for (auto& [token, store] : stores_) visit(*store);
  }
  // Empties the map. Stores that an event is using are left to that event,
  // which frees them when it ends; the others are returned, so that
  // releasing them (which may run Python code) happens outside the map.
  StoreList release_all();
  // In a forked child, whose only thread is the calling one: moves the other
  // threads' stores out without releasing anything, and forgets the calling
  // thread's cached facts, which the fork changed (its native id).
  Stores take_other_threads_after_fork() noexcept;

 private:
  StoreList take_stores_of_ended_threads();

  uint64_t serial_;
  Stores stores_;
};

// Marks the calling thread's store as used by the event for the guard's
// lifetime, and frees it at the end when the profiler let go of it
// meanwhile.
class StoreInUse {
 public:
  explicit StoreInUse(ThreadStore& store) : store_(store) { store_.in_event = true; }
  ~StoreInUse() {
    store_.in_event = false;
    if (store_.orphaned) delete &store_;
  }
  StoreInUse(const StoreInUse&) = delete;
  StoreInUse& operator=(const StoreInUse&) = delete;
  ThreadStore& store() { return store_; }

 private:
  ThreadStore& store_;
};

}  // namespace vopo::profiler
