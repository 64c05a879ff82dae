// Whether the program took the profile hook away from the profiler, by its
// own sys.setprofile or another profiler: profiling ends on that thread.
#pragma once

#include <cstddef>

#include "profiler/profiler.h"

namespace vopo::profiler {

// The threads that recorded for `profiler`, still run, and whose profile
// hook no longer leads to `instance`, its Python object. Asked before the
// profiler removes its own hooks.
size_t count_replaced_hooks(Profiler& profiler, PyObject* instance);

}  // namespace vopo::profiler
