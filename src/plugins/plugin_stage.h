// The plugin stage of an event: every plugin entry registered under the
// frame's code name may add a plugin record to the event's batch.
#pragma once

#include "profiler/event.h"
#include "profiler/profiler.h"

namespace vopo::plugins {

// Runs for every event, before the record decision. A failing entry is
// reported and skipped; the stage itself never throws.
void run_plugin_stage(profiler::Profiler& profiler, const profiler::EventFacts& facts,
                      profiler::ThreadStore& store, profiler::InterestBatch& batch) noexcept;

}  // namespace vopo::plugins
