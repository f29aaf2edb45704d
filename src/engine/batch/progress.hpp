// The module's own stream on standard output, which carries the progress
// display: a banner, one mark per step of work, a line end.
//
// It writes to the file descriptor directly, not through Python's
// sys.stdout, so it works the same from worker threads that never touch the
// interpreter. A lock makes every write whole: marks of several workers
// interleave but are never split. Each print leaves at once, as a flushed
// line-buffered stream would send it.
//
// Output may not proceed: a pipe whose reader is slow, or whose reader is a
// thread of the caller's own process that needs the caller's lock to run.
// Before any write that would block, and before waiting for the stream's
// lock, the writer says so through its checkpoint, so the caller lets go of
// its host's lock for exactly that wait.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "engine/io_error.hpp"
#include "engine/messages.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

using messages::progress_mark;

// The stream's lock: a pthread mutex, for its timed wait, reached through
// a pointer so that the child of a fork can get a lock back unlocked,
// whatever thread of the parent held it. In that child the old mutex may be
// held by a thread that does not exist there, and POSIX leaves unlocking,
// destroying or re-initialising such a mutex undefined; the child so takes
// a new mutex and leaves the old one as it is, leaked, as CPython does for
// its own locks. Meets TimedLockable, for std::unique_lock.
class StreamLock {
 public:
  StreamLock();
  ~StreamLock();
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;

  void lock() noexcept { pthread_mutex_lock(mutex_.get()); }
  bool try_lock() noexcept { return pthread_mutex_trylock(mutex_.get()) == 0; }
  void unlock() noexcept { pthread_mutex_unlock(mutex_.get()); }
  // CLOCK_REALTIME, which every sanitizer knows: a clock step only
  // lengthens or shortens one slice of a wait that is retried anyway.
  template <class Rep, class Period>
  bool try_lock_for(std::chrono::duration<Rep, Period> timeout) noexcept {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    const long long total = until.tv_nsec + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
    until.tv_sec += static_cast<time_t>(total / 1000000000);
    until.tv_nsec = static_cast<long>(total % 1000000000);
    return pthread_mutex_timedlock(mutex_.get(), &until) == 0;
  }

  // Only in the child of a fork, which has one thread: a new unlocked
  // mutex takes the place of the old one, which is never touched again.
  void replace_after_fork() noexcept;

 private:
  std::unique_ptr<pthread_mutex_t> mutex_;
};

class OutputStream {
 public:
  explicit OutputStream(int fd) noexcept : fd_(fd) {}
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Writes `text` (which holds no newline) at once; a failed write fails the
  // call with the error's debug form.
  void print_flushed(std::string_view text, Checkpoint& writer);

  // Ends the line; a failed write fails the call.
  void print_line_end(Checkpoint& writer);

  // Workers waiting, right now, on output that cannot proceed.
  int waiting_workers() const noexcept { return waiting_workers_.load(std::memory_order_relaxed); }

 private:
  friend void reset_standard_output_after_fork() noexcept;

  std::optional<IoError> write_whole(std::string_view text, Checkpoint& writer);
  void lock_stream(std::unique_lock<StreamLock>& lock, Checkpoint& writer);
  void wait_until_writable(Checkpoint& writer, bool may_check_in);
  void poll_until_writable(Checkpoint& writer, bool may_check_in);

  int fd_;
  StreamLock mutex_;
  std::atomic<int> waiting_workers_{0};
};

// The stream on file descriptor 1, shared by every call and thread, never
// destroyed. A child made by fork() gets it back unlocked, whatever thread
// held it when the process forked.
OutputStream& standard_output();

void print_banner(OutputStream& out, uint32_t threads, Checkpoint& writer);

}  // namespace mendseqs
