// The process's working directory, read once and again only after Python
// changes it, so that recording a frame's path needs no system call.
#pragma once

#include <cstdint>
#include <string_view>

namespace vopo::utils {

// Installs, once per process, the audit hook that notices `os.chdir` and
// `os.fchdir` (both raise the "os.chdir" audit event). An audit hook cannot
// be removed: it stays for the life of the process and every later audited
// operation pays one string comparison for it.
void watch_working_directory_changes();

// The working directory as last read. A change made by native code outside
// Python's `os` module is seen only after the next `os.chdir`. Read afresh
// every time when `cached` is false.
std::string_view working_directory(bool cached);

// How many times Python has changed the working directory, counted from 1;
// 0 while no hook watches, when nothing derived from the directory may be
// kept.
uint64_t working_directory_changes();

}  // namespace vopo::utils
