// Facts about the calling thread, asked of the `threading` module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vopo::utils {

struct ThreadInfo {
  std::string name;
  std::optional<uint64_t> native_id;
};

ThreadInfo read_thread_info();
std::optional<uint64_t> read_main_thread_id();

}  // namespace vopo::utils
