// The plugin stage of an event: every plugin entry registered under the
// frame's code name may add a plugin record to the event's batch.
#pragma once

#include "profiler/event.h"
#include "profiler/profiler.h"

namespace vopo::plugins {

// Runs for every event, before the record decision, with the entries
// registered under the frame's code name (NULL when there are none). A
// failing entry is reported and skipped; only an exception that belongs to
// the program leaves the stage.
void run_plugin_stage(profiler::Profiler& profiler, const profiler::EventFacts& facts,
                      profiler::ThreadStore& store, profiler::RecordBatch& batch,
                      std::vector<PluginEntry>* entries);

}  // namespace vopo::plugins
