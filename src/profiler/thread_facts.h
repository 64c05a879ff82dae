// The calling thread's facts as a profiler object caches them.
#pragma once

#include "profiler/thread_store.h"

namespace vopo::profiler {

// Filled on the thread's first lookup and never refreshed, so a renamed
// thread keeps its first name. A failed read leaves the slot empty.
inline const utils::ThreadInfo& current_thread_info(ThreadStore& store) {
  if (!store.thread_info) store.thread_info = utils::read_thread_info();
  return *store.thread_info;
}

}  // namespace vopo::profiler
