#include "utils/fork_safety.h"

#include <pthread.h>

#include <algorithm>
#include <vector>

#include "utils/ids.h"

namespace vopo::utils {

namespace {

// Held across fork() so that the child never sees the list half changed.
ForkSafeMutex watchers_lock;
// Never destroyed: profiler objects may outlive the module's statics at exit.
std::vector<ForkWatcher*>* watchers = new std::vector<ForkWatcher*>();

void before_fork() { watchers_lock.lock(); }

void after_fork_in_parent() { watchers_lock.unlock(); }

void after_fork_in_child() {
  watchers_lock.reset_in_child();
  ids::reseed_after_fork();
  for (ForkWatcher* watcher : *watchers) watcher->reset_in_child();
}

}  // namespace

ForkWatcher::ForkWatcher() {
  std::lock_guard guard(watchers_lock);
  watchers->push_back(this);
}

ForkWatcher::~ForkWatcher() {
  std::lock_guard guard(watchers_lock);
  watchers->erase(std::remove(watchers->begin(), watchers->end(), this), watchers->end());
}

void install_fork_handler() {
  static std::once_flag installed;
  std::call_once(installed, [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
}

}  // namespace vopo::utils
