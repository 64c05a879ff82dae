#include "profiler/thread_store.h"

#include <atomic>

namespace vopo::profiler {

namespace {

std::atomic<uint64_t> next_thread_token{1};
std::atomic<uint64_t> next_profiler_serial{1};

// A plain thread_local without a destructor, safe during thread teardown,
// and one block so the hot path makes one TLS lookup.
struct ThreadSlot {
  uint64_t token = 0;
  uint64_t cached_serial = 0;
  ThreadStore* cached_store = nullptr;
};

thread_local ThreadSlot thread_slot;

uint64_t current_thread_token(ThreadSlot& slot) {
  if (slot.token == 0) slot.token = next_thread_token.fetch_add(1, std::memory_order_relaxed);
  return slot.token;
}

}  // namespace

ThreadStores::ThreadStores() : serial_(next_profiler_serial.fetch_add(1, std::memory_order_relaxed)) {}

ThreadStores::Stores ThreadStores::take_all() {
  serial_ = next_profiler_serial.fetch_add(1, std::memory_order_relaxed);
  return std::move(stores_);
}

ThreadStores::Stores ThreadStores::take_other_threads_after_fork() noexcept {
  Stores others;
  others.swap(stores_);
  auto own = others.find(thread_slot.token);
  if (own != others.end()) {
    own->second->thread_info.reset();
    // Moving the node keeps the store where the thread's cached pointer
    // points.
    stores_.insert(others.extract(own));
  }
  return others;
}

ThreadStore& ThreadStores::current() {
  ThreadSlot& slot = thread_slot;
  if (slot.cached_serial == serial_) return *slot.cached_store;
  std::unique_ptr<ThreadStore>& store = stores_[current_thread_token(slot)];
  if (!store) {
    store = std::make_unique<ThreadStore>();
    store->thread_state = PyThreadState_Get();
    store->thread_state_id = PyThreadState_GetID(store->thread_state);
  }
  slot.cached_serial = serial_;
  slot.cached_store = store.get();
  return *store;
}

}  // namespace vopo::profiler
