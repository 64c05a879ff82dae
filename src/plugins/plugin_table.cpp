#include "plugins/plugin_table.h"

namespace vopo::plugins {

std::vector<PluginEntry>* PluginTable::find(std::string_view code_name) {
  auto found = entries_.find(code_name);
  return found == entries_.end() ? nullptr : &found->second;
}

int PluginTable::traverse(visitproc visit, void* arg) {
  for (auto& [name, entries] : entries_) {
    for (PluginEntry& entry : entries) {
      // Each entry holds its own reference to the shared context, so each
      // reference is visited once.
      for (const py::Ref* held : {&entry.call, &entry.process, &entry.context}) {
        if (*held) {
          if (int status = visit(held->get(), arg)) return status;
        }
      }
    }
  }
  return 0;
}

}  // namespace vopo::plugins
