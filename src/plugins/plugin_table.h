// The plugin table: plugin entries loaded from the host package's plugin
// descriptions, keyed by the code name they react to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filters/searcher.h"
#include "py/ref.h"
#include "utils/fork_safety.h"
#include "utils/ids.h"

namespace vopo::plugins {

struct PluginEntry {
  filters::Searcher path;
  py::Ref call;     // empty when the description has none
  py::Ref process;  // empty when the description has none
  py::Ref context;  // shared by every entry of one description
  std::optional<std::string> subtype;
  std::optional<std::vector<std::string>> events;
  std::string call_type;
  std::string return_type;
  // Frame object address to the id given at this entry's recorded call.
  std::unordered_map<uintptr_t, ids::Id> frame_ids;
};

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

using EntriesByName =
    std::unordered_map<std::string, std::vector<PluginEntry>, StringHash, std::equal_to<>>;

class PluginTable {
 public:
  PluginTable() = default;
  explicit PluginTable(EntriesByName entries) : entries_(std::move(entries)) {}
  // Only moved while the profiler object is being built, before any thread
  // can lock it; the moved-to table gets a lock of its own.
  PluginTable(PluginTable&& other) noexcept : entries_(std::move(other.entries_)) {}

  // Loads the table through the host package's `vopo.plugins.load_plugin_data`.
  static PluginTable load(PyObject* config);

  // The structure never changes after loading, so emptiness can be read
  // without the lock; entries' frame-id maps change only under it.
  bool empty() const { return entries_.empty(); }
  utils::ForkSafeMutex& lock() { return lock_; }
  // The entries for a code name; call with the lock held.
  std::vector<PluginEntry>* find(std::string_view code_name);

  // For the garbage collector and for releasing the Python objects.
  int traverse(visitproc visit, void* arg);
  EntriesByName take_all() { return std::move(entries_); }

 private:
  utils::ForkSafeMutex lock_;
  EntriesByName entries_;
};

}  // namespace vopo::plugins
