// Exceptions that belong to the profiled program rather than to the
// profiler: they leave the event and reach the program as they would have
// without profiling.
#pragma once

#include "py/error.h"

namespace vopo::utils {

// Runs the program's pending signal handlers now, so that what they raise
// reaches the program instead of surfacing inside the profiler's own Python
// calls. Throws what a handler raises.
void run_pending_signal_handlers();

// An interrupt (KeyboardInterrupt, SystemExit), or an exception raised by one
// of the program's signal handlers while the profiler's Python code ran.
bool belongs_to_program(const py::Error& error);

}  // namespace vopo::utils
