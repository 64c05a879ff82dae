// One call or return event as the event handler and its stages see it.
#pragma once

#include <string_view>

#include "py/python.h"

namespace vopo::profiler {

enum class Event { call, ret };

inline std::string_view event_name(Event event) { return event == Event::call ? "call" : "return"; }
// The interned "call" or "return" string, borrowed.
PyObject* event_name_object(Event event);

// Facts read once at the start of an event; the objects are borrowed from
// the frame's code object, which the frame keeps alive.
struct EventFacts {
  PyFrameObject* frame;
  PyObject* arg;  // never NULL: None when the interpreter gave none
  // As the interpreter gave it: most versions give NULL for a return that
  // leaves the frame by an exception.
  PyObject* given_arg;
  Event event;
  // False for events that come through a Python-level hook, which shows an
  // exit by an exception as a return of None.
  bool exits_visible;
  PyObject* co_filename;
  PyObject* co_name;
  std::string_view filename;
  std::string_view code_name;
};

}  // namespace vopo::profiler
