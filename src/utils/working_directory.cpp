#include "utils/working_directory.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "py/error.h"
#include "py/python.h"

namespace vopo::utils {

namespace {

// Bumped by the audit hook; the cache is stale while it differs from
// `read_at_change`.
std::atomic<uint64_t> directory_changes{1};
uint64_t read_at_change = 0;
std::string cached_directory;
bool hook_installed = false;

int notice_directory_change(const char* event, PyObject*, void*) {
  if (event[0] == 'o' && std::strcmp(event, "os.chdir") == 0) {
    directory_changes.fetch_add(1, std::memory_order_relaxed);
  }
  return 0;
}

[[noreturn]] void invalid_working_directory() {
  throw py::Error::panic("Current directory is invalid");
}

std::string read_working_directory() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof(buffer)) != nullptr) return buffer;
  if (errno != ERANGE) invalid_working_directory();
  std::unique_ptr<char, decltype(&std::free)> long_directory(getcwd(nullptr, 0), &std::free);
  if (!long_directory) invalid_working_directory();
  return long_directory.get();
}

}  // namespace

void watch_working_directory_changes() {
  if (hook_installed) return;
  if (PySys_AddAuditHook(notice_directory_change, nullptr) < 0) py::throw_pending();
  hook_installed = true;
}

uint64_t working_directory_changes() {
  return hook_installed ? directory_changes.load(std::memory_order_relaxed) : 0;
}

std::string_view working_directory(bool cached) {
  uint64_t changes = directory_changes.load(std::memory_order_relaxed);
  // Without the hook no change would be noticed, so read every time.
  if (!cached || !hook_installed || changes != read_at_change) {
    cached_directory = read_working_directory();
    read_at_change = changes;
  }
  return cached_directory;
}

}  // namespace vopo::utils
