#include <utility>

#include "profiler/profiler.h"

namespace vopo::profiler {

namespace {

void append_run(RecordArena& arena, const FilingRun& run) {
  for (size_t position = run.from; position < run.to; ++position) arena.append(run[position]);
}

}  // namespace

void TraceState::append_of_interest(const FilingRun& run) {
  std::lock_guard guard(of_interest_lock_);
  append_run(of_interest_, run);
}

void TraceState::append_for_thread(uint64_t native_id, const FilingRun& run) {
  std::lock_guard guard(by_thread_lock_);
  append_run(by_thread_[native_id], run);
}

TraceState::Taken TraceState::take() {
  Taken taken;
  {
    std::lock_guard guard(of_interest_lock_);
    taken.of_interest.swap(of_interest_);
  }
  {
    std::lock_guard guard(by_thread_lock_);
    taken.by_thread.swap(by_thread_);
  }
  return taken;
}

void TraceState::put_back(Taken&& taken) {
  {
    std::lock_guard guard(of_interest_lock_);
    of_interest_.prepend(std::move(taken.of_interest));
  }
  std::lock_guard guard(by_thread_lock_);
  for (auto& [native_id, records] : taken.by_thread) by_thread_[native_id].prepend(std::move(records));
}

void TraceState::reset(std::string new_trace_id) {
  RecordArena dropped_of_interest;
  RecordsByThread dropped_by_thread;
  std::lock_guard id_guard(trace_id_lock_);
  std::lock_guard of_interest_guard(of_interest_lock_);
  std::lock_guard by_thread_guard(by_thread_lock_);
  trace_id_ = std::move(new_trace_id);
  dropped_of_interest.swap(of_interest_);
  dropped_by_thread.swap(by_thread_);
}

TraceState::Parent TraceState::restart_in_child(std::string new_trace_id) noexcept {
  trace_id_lock_.reset_in_child();
  of_interest_lock_.reset_in_child();
  by_thread_lock_.reset_in_child();
  Parent parent{std::exchange(trace_id_, std::move(new_trace_id)), {}};
  parent.records.of_interest.swap(of_interest_);
  parent.records.by_thread.swap(by_thread_);
  return parent;
}

}  // namespace vopo::profiler
