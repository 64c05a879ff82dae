#include "profiler/thread_store.h"

#include <atomic>

namespace vopo::profiler {

namespace {

std::atomic<uint64_t> next_thread_token{1};
std::atomic<uint64_t> next_profiler_serial{1};

// Plain thread_locals without destructors: safe during thread teardown.
thread_local uint64_t thread_token = 0;
thread_local uint64_t cached_serial = 0;
thread_local ThreadStore* cached_store = nullptr;

uint64_t current_thread_token() {
  if (thread_token == 0) thread_token = next_thread_token.fetch_add(1, std::memory_order_relaxed);
  return thread_token;
}

}  // namespace

ThreadStores::ThreadStores() : serial_(next_profiler_serial.fetch_add(1, std::memory_order_relaxed)) {}

std::unordered_map<uint64_t, std::unique_ptr<ThreadStore>> ThreadStores::take_all() {
  serial_ = next_profiler_serial.fetch_add(1, std::memory_order_relaxed);
  return std::move(stores_);
}

ThreadStore& ThreadStores::current() {
  if (cached_serial == serial_) return *cached_store;
  std::unique_ptr<ThreadStore>& slot = stores_[current_thread_token()];
  if (!slot) slot = std::make_unique<ThreadStore>();
  cached_serial = serial_;
  cached_store = slot.get();
  return *slot;
}

}  // namespace vopo::profiler
