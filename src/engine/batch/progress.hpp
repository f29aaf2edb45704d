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

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "engine/io_error.hpp"
#include "engine/messages.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

using messages::progress_mark;

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
  void lock_stream(std::unique_lock<std::timed_mutex>& lock, Checkpoint& writer);
  void wait_until_writable(Checkpoint& writer, bool may_check_in);

  int fd_;
  std::timed_mutex mutex_;
  std::atomic<int> waiting_workers_{0};
};

// The stream on file descriptor 1, shared by every call and thread, never
// destroyed. A child made by fork() gets it back unlocked, whatever thread
// held it when the process forked.
OutputStream& standard_output();

void print_banner(OutputStream& out, uint32_t threads, Checkpoint& writer);

}  // namespace mendseqs
