// Logs an unexpected failure of a profile event as a warning on the "vopo"
// logger, so that neither the profiled program nor profiling stops.
#pragma once

#include "profiler/event.h"
#include "py/error.h"

namespace vopo::profiler {

// `co_filename` and `co_name` may be NULL when they could not be read; they
// are then logged as None. An exception that belongs to the program (see
// program_exceptions.h), given or raised while reporting, is thrown on
// instead: the event ends and the program receives it.
void report_failure(py::Error&& error, PyFrameObject* frame, Event event, PyObject* co_filename,
                    PyObject* co_name);

inline void report_failure(py::Error&& error, const EventFacts& facts) {
  report_failure(std::move(error), facts.frame, facts.event, facts.co_filename, facts.co_name);
}

}  // namespace vopo::profiler
