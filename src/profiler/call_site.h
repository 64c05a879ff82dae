// The call site of an event: the innermost recorded user-code frame of the
// thread that called the event's frame, and the line it is on now.
#pragma once

#include <optional>

#include "profiler/event.h"
#include "profiler/thread_store.h"

namespace vopo::profiler {

struct CallSite {
  ids::Id frame_id;
  long line_number;
};

// For a frame record. A return whose frame is on the user-code stack takes
// the entry below it, so a record lost higher up never shifts it. Otherwise
// the top entry, or the one below it when the top is the event's own frame
// (same id). No id, no call site. `cached` reads the line as
// utils::frame_line does.
std::optional<CallSite> frame_call_site(const ThreadStore& store, PyFrameObject* frame, Event event,
                                        const ids::Id* frame_id, bool cached);

// For a plugin record: the top entry, or the one below it when the top holds
// the event's own frame object, so a return names the caller as a call does.
std::optional<CallSite> plugin_call_site(const ThreadStore& store, PyFrameObject* frame);

}  // namespace vopo::profiler
