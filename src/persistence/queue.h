// The writer's bounded queue: producers wait for room (backpressure, nothing
// is dropped), the writer thread sleeps on a condition until a batch is full,
// the oldest record has waited flush_interval, a flush asks, or stop.
// Pure C++: callers release the GIL before any call that can wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "persistence/rows.h"

namespace persist {

/// Counters reported by get_stats().
struct WriterStats {
  uint64_t queued = 0;      ///< records accepted
  uint64_t written = 0;     ///< records stored
  uint64_t failed = 0;      ///< failed storage attempts
  uint64_t retried = 0;     ///< attempts repeated after a failure
  uint64_t batches = 0;     ///< batches stored
  uint64_t dropped = 0;     ///< records given up at stop (time-out)
  uint64_t nodes = 0, edges = 0, row_values = 0, sources = 0;  ///< stored, by kind
  size_t queue_depth = 0;
  std::string last_error;
};

class WriteQueue {
 public:
  using Clock = std::chrono::steady_clock;

  WriteQueue(size_t capacity, size_t batch, double interval_s);

  /// Append records as one unit, waiting while the queue is full (a unit
  /// larger than the queue goes in once it is empty). `nowait` never waits
  /// (the writer thread enqueueing from a storage callback). False once closed.
  bool push(std::vector<NativeRow>& items, bool nowait);
  /// push() when it need not wait: 1 pushed, 0 full (nothing done), -1 closed.
  int try_push(std::vector<NativeRow>& items);
  /// The records accepted so far, and a request to write all of them now.
  uint64_t request_flush(uint64_t* dropped_before);
  /// Wait until `target` records are done or the time-out passes.
  bool wait_done(uint64_t target, uint64_t dropped_before, double timeout_s);

  /// Writer thread: the next batch (moved into `out`): at most `max_take`
  /// records (at least batch_size); false when stopping and empty.
  bool take(std::vector<NativeRow>& out, size_t max_take);
  /// Writer thread: a batch finished (stored, or given up).
  void finish(const std::vector<NativeRow>& batch, bool stored);
  void note_failure(const std::string& error);
  /// Writer thread: pause before a retry; returns early on stop.
  void backoff(double seconds);
  /// Writer thread: true when a failing batch must be given up (stop time-out).
  bool give_up();

  /// Close to producers and let the thread drain; timeout_s < 0: no limit
  /// while the storage makes progress (give up after 60 s without any).
  void begin_stop(double timeout_s);
  void mark_thread_exited();
  bool thread_exited();
  WriterStats stats();

 private:
  bool due(Clock::time_point now) const;
  /// Append a unit (mu_ held, room already checked).
  void append_locked(std::vector<NativeRow>& items);

  std::mutex mu_;
  std::condition_variable work_;   ///< the writer thread waits here
  std::condition_variable room_;   ///< producers wait for room
  std::condition_variable done_;   ///< flushers wait for progress
  /// The records, as the producers' units (one push = one chunk, moved in
  /// whole): no per-record allocation or move under the lock.
  std::deque<std::vector<NativeRow>> chunks_;
  size_t front_off_ = 0;           ///< records of chunks_.front() already taken
  size_t size_ = 0;                ///< records queued
  const size_t capacity_, batch_;
  const Clock::duration interval_;
  Clock::time_point oldest_{};     ///< when the queue last became non-empty
  uint64_t taken_ = 0;             ///< records handed to the thread
  uint64_t done_count_ = 0;        ///< records finished (stored or dropped)
  uint64_t flush_target_ = 0;
  int waiting_ = 0;                ///< producers waiting for room
  bool closed_ = false, stopping_ = false, exited_ = false;
  bool stop_has_limit_ = false;
  Clock::time_point give_up_at_{};
  WriterStats st_;
};

}  // namespace persist
