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
#include "profiler/thread_store.h"

namespace vopo::profiler {

// Read-only after construction, so every thread reads them without a lock.
struct Settings {
  std::optional<uint64_t> main_thread_id;
  std::string db_path;
  std::string source;
  uint64_t timeout = 60;
  bool one_trace_per_test = false;
  bool threading = false;
  bool lightweight_repr = false;
  double created_at = 0.0;
};

using RecordList = std::vector<std::string>;
using RecordsByThread = std::map<uint64_t, RecordList>;

// What the events file and a trace build hands over. Each part has its own
// lock; none is held across a call into Python.
class TraceState {
 public:
  explicit TraceState(std::string trace_id) : trace_id_(std::move(trace_id)) {}

  std::string trace_id() {
    std::lock_guard guard(trace_id_lock_);
    return trace_id_;
  }
  void append_of_interest(RecordList&& records);
  void append_for_thread(uint64_t native_id, RecordList&& records);

  // Moves every record out, leaving empty collections.
  struct Taken {
    RecordList of_interest;
    RecordsByThread by_thread;
  };
  Taken take();
  // Puts records taken by a failed save back in front of anything stored
  // since, so nothing is lost.
  void put_back(Taken&& taken);
  // Opens a new trace: a new id and no records.
  void reset(std::string new_trace_id);

 private:
  std::mutex trace_id_lock_;
  std::string trace_id_;
  std::mutex of_interest_lock_;
  RecordList of_interest_;
  std::mutex by_thread_lock_;
  RecordsByThread by_thread_;
};

class Profiler {
 public:
  Profiler(Settings settings, filters::FrameFilters filters, plugins::PluginTable plugins,
           std::string trace_id)
      : settings(std::move(settings)),
        filters(std::move(filters)),
        plugins(std::move(plugins)),
        trace(std::move(trace_id)) {}

  const Settings settings;
  const filters::FrameFilters filters;
  plugins::PluginTable plugins;
  TraceState trace;
  ThreadStores threads;
  // Set once when profiling stops: from then on events record nothing and
  // every thread's hook removes itself at its next event.
  bool stopped = false;
  // Whether this profiler counts among the users of the unwind watch.
  bool watches_unwinds = false;
};

}  // namespace vopo::profiler
