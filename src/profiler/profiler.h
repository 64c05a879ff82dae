// The native state behind one VopoProfiler instance.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "filters/frame_filters.h"
#include "plugins/plugin_table.h"
#include "profiler/code_verdicts.h"
#include "profiler/record_arena.h"
#include "profiler/record_batch.h"
#include "profiler/thread_store.h"
#include "utils/fork_safety.h"

namespace vopo::profiler {

// Read-only after construction, so every thread reads them without a lock.
// Only a forked child reads the main thread's id again, at its first event.
struct Settings {
  std::optional<uint64_t> main_thread_id;
  std::string db_path;
  std::string source;
  uint64_t timeout = 60;
  bool one_trace_per_test = false;
  bool threading = false;
  bool lightweight_repr = false;
  // Every cache of the record path off, to check the caches against.
  bool reference_path = false;
  double created_at = 0.0;
};

using RecordsByThread = std::map<uint64_t, RecordArena>;

// A run of a batch's records, in the order they are filed: a return's
// records are filed in reverse.
struct FilingRun {
  const RecordBatch& batch;
  bool reversed;
  size_t from;
  size_t to;

  std::string_view operator[](size_t position) const { return batch.record(batch.filed_at(position, reversed)); }
};

// What the events file and a trace build hands over. Each part has its own
// lock; none is held across a call into Python.
class TraceState {
 public:
  explicit TraceState(std::string trace_id) : trace_id_(std::move(trace_id)) {}

  std::string trace_id() {
    std::lock_guard guard(trace_id_lock_);
    return trace_id_;
  }
  void append_of_interest(const FilingRun& run);
  void append_for_thread(uint64_t native_id, const FilingRun& run);

  // Moves every record out, leaving empty collections.
  struct Taken {
    RecordArena of_interest;
    RecordsByThread by_thread;
  };
  Taken take();
  // Puts records taken by a failed save back in front of anything stored
  // since, so nothing is lost.
  void put_back(Taken&& taken);
  // Opens a new trace: a new id and no records.
  void reset(std::string new_trace_id);

  // In a forked child, inside fork(): takes over the locks, opens a new
  // trace and returns the parent's id and records. Freeing those records is
  // left to the caller, so a child that only execs never touches them.
  struct Parent {
    std::string trace_id;
    Taken records;
  };
  Parent restart_in_child(std::string new_trace_id) noexcept;

 private:
  utils::ForkSafeMutex trace_id_lock_;
  std::string trace_id_;
  utils::ForkSafeMutex of_interest_lock_;
  RecordArena of_interest_;
  utils::ForkSafeMutex by_thread_lock_;
  RecordsByThread by_thread_;
};

// What a forked child took over from its parent and lets go of at its first
// event, where releasing frames may run Python code.
struct ForkLeftovers {
  TraceState::Taken records;
  std::vector<std::unique_ptr<ThreadStore>> stores;
  bool pending = false;
};

class Profiler : private utils::ForkWatcher {
 public:
  Profiler(Settings settings, filters::FrameFilters filters, plugins::PluginTable plugins,
           std::string trace_id)
      : settings(std::move(settings)),
        filters(std::move(filters)),
        plugins(std::move(plugins)),
        trace(std::move(trace_id)) {}

  // Names the verdicts this profiler leaves on code objects; renewed when
  // the plugin table is emptied, as verdicts point into it.
  uint64_t serial = new_profiler_serial();
  Settings settings;
  const filters::FrameFilters filters;
  plugins::PluginTable plugins;
  TraceState trace;
  ThreadStores threads;
  // Set once when profiling stops: from then on events record nothing and
  // every thread's hook removes itself at its next event.
  bool stopped = false;
  // Whether this profiler counts among the users of the unwind watch.
  bool watches_unwinds = false;
  // Set in a forked child: the trace the parent was recording at the fork.
  std::optional<std::string> parent_trace_id;
  ForkLeftovers fork_leftovers;

 private:
  void reset_in_child() noexcept override;
};

// Releases what a fork left behind and reads the child's main thread again.
void release_fork_leftovers_now(Profiler& profiler);

// Costs one test on the hot path, where nothing was left behind.
inline void release_fork_leftovers(Profiler& profiler) {
  if (profiler.fork_leftovers.pending) release_fork_leftovers_now(profiler);
}

}  // namespace vopo::profiler
