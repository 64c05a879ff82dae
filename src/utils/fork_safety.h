// What a forked child must reset before any other code runs in it: locks
// that a thread which no longer exists there may have held, and
// per-process state. The module has exactly one at-fork handler, here.
#pragma once

#include <mutex>
#include <new>

namespace vopo::utils {

// A mutex that a forked child can take over: a thread that held it at the
// fork does not exist in the child and would never unlock it.
class ForkSafeMutex {
 public:
  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }
  // Only in a forked child, while it runs a single thread; the old state is
  // abandoned rather than destroyed, since destroying a held mutex is
  // undefined.
  void reset_in_child() noexcept { new (&mutex_) std::mutex(); }

 private:
  std::mutex mutex_;
};

// An object with state to reset in a forked child, registered for its whole
// life. `reset_in_child` runs inside fork(), in the child: it may not call
// into Python or take a lock that another thread could have held.
class ForkWatcher {
 public:
  ForkWatcher();
  virtual ~ForkWatcher();
  ForkWatcher(const ForkWatcher&) = delete;
  ForkWatcher& operator=(const ForkWatcher&) = delete;
  virtual void reset_in_child() noexcept = 0;
};

// Registers the at-fork handler with the C library; later calls do nothing.
void install_fork_handler();

}  // namespace vopo::utils
