#include "profiler/thread_store.h"

#include <atomic>
#include <mutex>
#include <unordered_set>

namespace vopo::profiler {

constinit thread_local ThreadSlot thread_slot;

namespace {

std::atomic<uint64_t> next_thread_token{1};
std::atomic<uint64_t> next_profiler_serial{1};

// The tokens of threads that have not ended. Never destroyed: threads may
// end while the process exits.
struct LiveThreads {
  std::mutex lock;
  std::unordered_set<uint64_t> tokens;
};

LiveThreads& live_threads() {
  static LiveThreads* live = new LiveThreads;
  return *live;
}

// Its destructor runs when the thread ends, after the interpreter has let go
// of the thread, so no profile event can follow it on this thread. It only
// touches the live set, never a store or Python.
struct ThreadEndNotice {
  uint64_t token = 0;
  ~ThreadEndNotice() {
    if (token == 0) return;
    LiveThreads& live = live_threads();
    std::lock_guard guard(live.lock);
    live.tokens.erase(token);
  }
};

thread_local ThreadEndNotice thread_end_notice;

uint64_t current_thread_token(ThreadSlot& slot) {
  if (slot.token == 0) {
    uint64_t token = next_thread_token.fetch_add(1, std::memory_order_relaxed);
    LiveThreads& live = live_threads();
    {
      std::lock_guard guard(live.lock);
      live.tokens.insert(token);
    }
    thread_end_notice.token = token;
    slot.token = token;
  }
  return slot.token;
}

uint64_t new_serial() { return next_profiler_serial.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

ThreadStores::ThreadStores() : serial_(new_serial()) {}

StoreList ThreadStores::release_all() {
  serial_ = new_serial();
  StoreList released;
  for (auto& [token, store] : stores_) {
    if (store->in_event) {
      store->orphaned = true;
      store.release();
    } else {
      released.push_back(std::move(store));
    }
  }
  stores_.clear();
  return released;
}

StoreList ThreadStores::take_stores_of_ended_threads() {
  StoreList ended;
  LiveThreads& live = live_threads();
  std::lock_guard guard(live.lock);
  for (auto it = stores_.begin(); it != stores_.end();) {
    if (live.tokens.count(it->first) == 0 && !it->second->in_event) {
      ended.push_back(std::move(it->second));
      it = stores_.erase(it);
    } else {
      ++it;
    }
  }
  return ended;
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
  uint64_t token = current_thread_token(slot);
  auto found = stores_.find(token);
  if (found == stores_.end()) {
    // Freed before the new store exists: releasing frames may run Python
    // code, during which other threads may change the map.
    take_stores_of_ended_threads();
    auto store = std::make_unique<ThreadStore>();
    store->thread_state = PyThreadState_Get();
    store->thread_state_id = PyThreadState_GetID(store->thread_state);
    found = stores_.try_emplace(token, std::move(store)).first;
  }
  slot.cached_serial = serial_;
  slot.cached_store = found->second.get();
  return *found->second;
}

}  // namespace vopo::profiler
