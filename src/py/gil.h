// Waiting for a native lock that may be held across calls into Python.
#pragma once

#include "py/python.h"

namespace vopo::py {

// Holds `mutex` for its lifetime. When the mutex is busy, its holder may be
// waiting for the GIL, so the GIL is released while blocking and taken back
// afterwards: two profiled threads can never deadlock on the pair.
template <typename Mutex>
class LockReleasingGil {
 public:
  explicit LockReleasingGil(Mutex& mutex) : mutex_(mutex) {
    if (!mutex_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS
      mutex_.lock();
      Py_END_ALLOW_THREADS
    }
  }
  ~LockReleasingGil() { mutex_.unlock(); }
  LockReleasingGil(const LockReleasingGil&) = delete;
  LockReleasingGil& operator=(const LockReleasingGil&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace vopo::py
