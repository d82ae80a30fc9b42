// The writer's bounded queue (see queue.h).
#include "persistence/queue.h"

#include <algorithm>

namespace persist {
namespace {
constexpr auto kNoProgressLimit = std::chrono::seconds(60);

void count_kind(WriterStats& st, const NativeRow& r) {
  switch (r.index()) {
    case 0: ++st.nodes; break;
    case 1: ++st.edges; break;
    case 2: ++st.row_values; break;
    case 3: ++st.sources; break;
    default:
      switch (std::get<PyItem>(r).kind) {
        case PyItem::Node: ++st.nodes; break;
        case PyItem::Edge: ++st.edges; break;
        case PyItem::RowValue: ++st.row_values; break;
        case PyItem::Source: ++st.sources; break;
      }
  }
}
}  // namespace

WriteQueue::WriteQueue(size_t capacity, size_t batch, double interval_s)
    : capacity_(capacity),
      batch_(batch),
      interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval_s))) {}

bool WriteQueue::push(std::vector<NativeRow>& items, bool nowait) {
  std::unique_lock lk(mu_);
  if (!nowait) {
    auto has_room = [&] { return closed_ || size_ == 0 || size_ + items.size() <= capacity_; };
    if (!has_room()) {
      // A waiting producer makes the queue due at once (a batch may be
      // larger than the queue).
      ++waiting_;
      work_.notify_one();
      room_.wait(lk, has_room);
      --waiting_;
    }
  }
  if (closed_) return false;
  append_locked(items);
  return true;
}

void WriteQueue::append_locked(std::vector<NativeRow>& items) {
  size_t n = items.size();
  if (n == 0) return;
  if (size_ == 0) oldest_ = Clock::now();
  chunks_.push_back(std::move(items));
  items.clear();
  size_ += n;
  st_.queued += n;
  if (size_ >= batch_ || size_ == n) work_.notify_one();  // due, or arm the interval timer
}

int WriteQueue::try_push(std::vector<NativeRow>& items) {
  std::lock_guard lk(mu_);  // one lock round per unit: checked and appended together
  if (closed_) return -1;
  if (size_ != 0 && size_ + items.size() > capacity_) return 0;
  append_locked(items);
  return 1;
}

uint64_t WriteQueue::request_flush(uint64_t* dropped_before) {
  std::lock_guard lk(mu_);
  flush_target_ = std::max(flush_target_, st_.queued);
  *dropped_before = st_.dropped;
  work_.notify_one();
  return st_.queued;
}

bool WriteQueue::wait_done(uint64_t target, uint64_t dropped_before, double timeout_s) {
  std::unique_lock lk(mu_);
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::max(0.0, std::min(timeout_s, 1e9))));
  done_.wait_until(lk, deadline, [&] { return done_count_ >= target || exited_; });
  return done_count_ >= target && st_.dropped == dropped_before;
}

bool WriteQueue::due(Clock::time_point now) const {
  return size_ >= batch_ || size_ >= capacity_ || waiting_ > 0 || stopping_ || flush_target_ > taken_ || now >= oldest_ + interval_;
}

bool WriteQueue::take(std::vector<NativeRow>& out, size_t max_take) {
  std::unique_lock lk(mu_);
  for (;;) {
    if (size_ != 0) {
      if (due(Clock::now())) break;
      work_.wait_until(lk, oldest_ + interval_);
      continue;
    }
    if (stopping_) return false;
    work_.wait(lk);  // idle: no timer, no polling
  }
  size_t n = std::min(std::max(batch_, max_take), size_);
  size_t need = n;
  while (need) {
    std::vector<NativeRow>& front = chunks_.front();
    size_t avail = front.size() - front_off_;
    if (out.empty() && front_off_ == 0 && avail <= need) {
      out = std::move(front);  // a whole unit: O(1)
      chunks_.pop_front();
      need -= avail;
      continue;
    }
    size_t k = std::min(avail, need);
    if (out.capacity() < n) out.reserve(n);  // once: the batch's final size
    for (size_t i = 0; i < k; ++i) out.push_back(std::move(front[front_off_ + i]));
    front_off_ += k;
    need -= k;
    if (front_off_ == front.size()) {
      chunks_.pop_front();
      front_off_ = 0;
    }
  }
  size_ -= n;
  taken_ += n;
  if (size_ != 0) oldest_ = Clock::now();
  room_.notify_all();
  return true;
}

void WriteQueue::finish(const std::vector<NativeRow>& batch, bool stored) {
  std::lock_guard lk(mu_);
  done_count_ += batch.size();
  if (stored) {
    st_.written += batch.size();
    ++st_.batches;
    for (const NativeRow& r : batch) count_kind(st_, r);
    if (stopping_ && !stop_has_limit_) give_up_at_ = Clock::now() + kNoProgressLimit;
  } else {
    st_.dropped += batch.size();
  }
  done_.notify_all();
}

void WriteQueue::note_failure(const std::string& error) {
  std::lock_guard lk(mu_);
  ++st_.failed;
  st_.last_error = error;
}

void WriteQueue::backoff(double seconds) {
  std::unique_lock lk(mu_);
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  work_.wait_until(lk, until, [&] { return stopping_ && Clock::now() >= give_up_at_; });
  ++st_.retried;
}

bool WriteQueue::give_up() {
  std::lock_guard lk(mu_);
  return stopping_ && Clock::now() >= give_up_at_;
}

void WriteQueue::begin_stop(double timeout_s) {
  std::lock_guard lk(mu_);
  if (!stopping_) {
    stop_has_limit_ = timeout_s >= 0;
    give_up_at_ = Clock::now() + (stop_has_limit_ ? std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(std::min(timeout_s, 1e9)))
                                                   : std::chrono::duration_cast<Clock::duration>(kNoProgressLimit));
  }
  closed_ = stopping_ = true;
  work_.notify_all();
  room_.notify_all();
}

void WriteQueue::mark_thread_exited() {
  std::lock_guard lk(mu_);
  exited_ = true;
  done_.notify_all();
  room_.notify_all();
}

bool WriteQueue::thread_exited() {
  std::lock_guard lk(mu_);
  return exited_;
}

WriterStats WriteQueue::stats() {
  std::lock_guard lk(mu_);
  WriterStats s = st_;
  s.queue_depth = size_;
  return s;
}

}  // namespace persist
