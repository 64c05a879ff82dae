// Tells profilers about frames that an exception unwinds, with the
// exception, through a `sys.monitoring` tool held while any profiler runs.
// Interpreters without such events leave it off.
#pragma once

#include "profiler/profiler.h"

namespace vopo::lib {

// Sets `profiler.watches_unwinds` when the watch is on. Failures leave it
// off and are not reported: exits by an exception are then recorded
// without details.
void start_watching_unwinds(profiler::Profiler& profiler) noexcept;

// Gives the tool back once no profiler uses it.
void stop_watching_unwinds(profiler::Profiler& profiler) noexcept;

}  // namespace vopo::lib
