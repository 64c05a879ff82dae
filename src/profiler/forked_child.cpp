// A profiler inherited by a forked child: the child records into a trace of
// its own, linked to the parent's by id, and drops what the parent recorded.
#include "profiler/profiler.h"
#include "utils/thread_info.h"

namespace vopo::profiler {

void Profiler::reset_in_child() noexcept {
  plugins.lock().reset_in_child();
  try {
    ids::Id child_id = ids::new_trace_id();
    TraceState::Parent parent = trace.restart_in_child(std::string(child_id.view()));
    parent_trace_id = std::move(parent.trace_id);
    fork_leftovers.records = std::move(parent.records);
    // Added to what an earlier fork left, never released here: releasing a
    // frame may run Python code, which cannot run inside fork().
    for (auto& [token, store] : threads.take_other_threads_after_fork()) {
      fork_leftovers.stores.push_back(std::move(store));
    }
    fork_leftovers.pending = true;
  } catch (...) {
    // Out of memory inside fork(): the child keeps recording into the
    // parent's trace rather than end.
  }
}

void release_fork_leftovers_now(Profiler& profiler) {
  {
    ForkLeftovers leftovers = std::move(profiler.fork_leftovers);
    profiler.fork_leftovers = ForkLeftovers();
  }
  // The forking thread is the child's main thread now; the id is the one
  // `threading` gives it, as every record's thread facts are.
  if (profiler.settings.main_thread_id) profiler.settings.main_thread_id = utils::read_main_thread_id();
}

}  // namespace vopo::profiler
