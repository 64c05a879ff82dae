// The VopoProfiler type: the Python face of one native profiler object.
#pragma once

#include <memory>

#include "profiler/profiler.h"
#include "py/ref.h"

namespace vopo::lib {

struct ProfilerObject {
  PyObject_HEAD
  profiler::Profiler* profiler;
};

// Ready on first use; throws when the type cannot be made.
PyTypeObject* profiler_type();

// NULL until the type is ready.
extern PyTypeObject* ready_profiler_type;

// Wraps a newly built profiler object in a VopoProfiler instance.
py::Ref wrap_profiler(std::unique_ptr<profiler::Profiler> profiler);

inline bool is_profiler_object(PyObject* object) {
  return object != nullptr && ready_profiler_type != nullptr && PyObject_TypeCheck(object, ready_profiler_type);
}

// The hot path's test: the type cannot be subclassed.
inline bool is_exactly_profiler_object(PyObject* object) {
  return object != nullptr && Py_TYPE(object) == ready_profiler_type;
}

inline profiler::Profiler& profiler_of(PyObject* object) {
  return *reinterpret_cast<ProfilerObject*>(object)->profiler;
}

}  // namespace vopo::lib
