// Builds a profiler object from the host profiler object and its config.
#pragma once

#include <memory>

#include "profiler/profiler.h"

namespace vopo::profiler {

// Reads the host's attributes and configuration in a fixed order; the first
// failure propagates and nothing is kept.
std::unique_ptr<Profiler> construct_profiler(PyObject* host);

}  // namespace vopo::profiler
