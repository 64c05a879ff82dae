#include "profiler/call_site.h"

#include "py/compat.h"
#include "py/error.h"
#include "utils/frame_facts.h"

namespace vopo::profiler {

namespace {

CallSite call_site_of(const StackEntry& entry, bool cached) {
  if (!py::is_frame(entry.frame.get())) throw py::Error::panic("Python gives us a PyFrame");
  auto* frame = reinterpret_cast<PyFrameObject*>(entry.frame.get());
  return {entry.frame_id, static_cast<long>(utils::frame_line(frame, cached))};
}

}  // namespace

std::optional<CallSite> frame_call_site(const ThreadStore& store, PyFrameObject* frame, Event event,
                                        const ids::Id* frame_id, bool cached) {
  const auto& stack = store.user_code_stack;
  if (frame_id == nullptr || stack.empty()) return std::nullopt;
  if (event == Event::ret) {
    if (std::optional<size_t> position = store.stack_position(reinterpret_cast<PyObject*>(frame))) {
      if (*position == 0) return std::nullopt;
      return call_site_of(stack[*position - 1], cached);
    }
  }
  const StackEntry& top = stack.back();
  if (!(top.frame_id == *frame_id)) return call_site_of(top, cached);
  if (stack.size() < 2) return std::nullopt;
  const StackEntry& below = stack[stack.size() - 2];
  if (below.frame_id == *frame_id) return std::nullopt;
  return call_site_of(below, cached);
}

std::optional<CallSite> plugin_call_site(const ThreadStore& store, PyFrameObject* frame) {
  const auto& stack = store.user_code_stack;
  if (stack.empty()) return std::nullopt;
  const StackEntry& top = stack.back();
  if (top.frame.get() != reinterpret_cast<PyObject*>(frame)) return call_site_of(top, false);
  if (stack.size() < 2) return std::nullopt;
  return call_site_of(stack[stack.size() - 2], false);
}

}  // namespace vopo::profiler
