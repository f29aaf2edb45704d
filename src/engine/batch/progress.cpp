#include "batch/progress.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>

#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"

namespace mendseqs {
namespace {

// How long one wait on blocked output lasts before the writer looks up
// (a worker of a cancelled call stops waiting).
constexpr int wait_slice_ms = 10;
constexpr std::chrono::milliseconds lock_slice{wait_slice_ms};

// True when a write would not block now. Errors count as ready: the write
// that follows reports them.
bool writable_now(int fd) noexcept {
  pollfd entry{fd, POLLOUT, 0};
  int ready;
  do ready = ::poll(&entry, 1, 0);
  while (ready < 0 && errno == EINTR);
  return ready != 0;
}

// True when a write to `fd` may wait for a reader: a blocking pipe, socket
// or terminal. A regular file never waits for one, and a non-blocking
// descriptor reports EAGAIN instead.
bool write_may_block(int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_NONBLOCK) != 0) return false;
  struct stat status{};
  return ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode);
}

}  // namespace

// Default attributes cannot make Linux refuse a mutex, but a failure left
// unchecked would lock an uninitialised one: it fails the call instead.
StreamLock::StreamLock() : mutex_(std::make_unique<pthread_mutex_t>()) {
  if (const int error = pthread_mutex_init(mutex_.get(), nullptr))
    panic("cannot create the output lock: " + IoError{error}.debug());
}

StreamLock::~StreamLock() { pthread_mutex_destroy(mutex_.get()); }

void StreamLock::replace_after_fork() noexcept {
  // A child that cannot get a few dozen bytes has no lock for its output
  // and could not go on; CPython ends such a child too.
  std::unique_ptr<pthread_mutex_t> fresh(new (std::nothrow) pthread_mutex_t);
  if (!fresh || pthread_mutex_init(fresh.get(), nullptr) != 0) std::abort();
  [[maybe_unused]] pthread_mutex_t* leaked = mutex_.release();  // nothing defined can be done with it
  mutex_ = std::move(fresh);
}

// Waits, one slice at a time, until the descriptor takes bytes again; a
// cancelled worker throws from there, and so may the caller's check-in.
void OutputStream::wait_until_writable(Checkpoint& writer, bool may_check_in) {
  Checkpoint::OutputWait wait(writer, waiting_workers_);
  poll_until_writable(writer, may_check_in);
}

void OutputStream::poll_until_writable(Checkpoint& writer, bool may_check_in) {
  for (;;) {
    pollfd entry{fd_, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, wait_slice_ms);
    if (ready != 0 && !(ready < 0 && errno == EINTR)) return;
    writer.while_waiting(may_check_in);
  }
}

void OutputStream::lock_stream(std::unique_lock<StreamLock>& lock, Checkpoint& writer) {
  if (lock.try_lock()) return;
  Checkpoint::OutputWait wait(writer, waiting_workers_);
  while (!lock.try_lock_for(lock_slice)) writer.while_waiting(true);
}

// Sends all of `text`. A closed descriptor is not an error: the bytes are
// dropped, as a program with no standard output expects. Signals retry.
//
// The calling thread waits for room without the stream's lock while none
// of the text is out yet, so that its host's signal handlers may run (and
// even print through this stream); once part of the text is out, the lock
// stays held until the rest follows, so that no other write splits it.
std::optional<IoError> OutputStream::write_whole(std::string_view text, Checkpoint& writer) {
  std::unique_lock lock(mutex_, std::defer_lock);
  for (;;) {
    lock_stream(lock, writer);
    if (writable_now(fd_) || !writer.is_caller()) break;
    lock.unlock();
    wait_until_writable(writer, true);
  }
  // A write that may block counts as a wait on output for as long as it
  // lasts, not only while it polls: between the poll that found room and
  // the write, another writer of the descriptor (a Python thread in
  // os.write, which lets go of the interpreter lock) may take that room,
  // and the write then blocks. The calling thread lets go of its host's
  // lock for it; a worker is counted, so that the calling thread does.
  // Otherwise a reader that needs that lock would never drain.
  std::optional<Checkpoint::OutputWait> counted;
  if (write_may_block(fd_)) counted.emplace(writer, waiting_workers_);
  while (!text.empty()) {
    if (!writable_now(fd_)) {
      if (counted)
        poll_until_writable(writer, false);
      else
        wait_until_writable(writer, false);
    }
    const ssize_t written = ::write(fd_, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<size_t>(written));
    } else if (written < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;  // EAGAIN: a non-blocking descriptor filled up since the poll
    } else if (written == 0) {
      return IoError{0};
    } else {
      return errno == EBADF ? std::nullopt : std::optional<IoError>(IoError{errno});
    }
  }
  return std::nullopt;
}

void OutputStream::print_flushed(std::string_view text, Checkpoint& writer) {
  if (auto error = write_whole(text, writer)) panic(std::string(messages::unwrap_error) + error->debug());
}

void OutputStream::print_line_end(Checkpoint& writer) {
  if (auto error = write_whole("\n", writer)) panic(std::string(messages::line_end_failed) + error->display());
}

namespace {
OutputStream* standard_stream = nullptr;
}

// The child of a fork has one thread: a lock held by any other thread of
// the parent would never be released there.
void reset_standard_output_after_fork() noexcept {
  if (!standard_stream) return;
  standard_stream->mutex_.replace_after_fork();
  standard_stream->waiting_workers_.store(0, std::memory_order_relaxed);
}

OutputStream& standard_output() {
  static OutputStream* const stream = [] {
    // Never destroyed: workers of a call still running at exit may write.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    standard_stream = new OutputStream(STDOUT_FILENO);
    pthread_atfork(nullptr, nullptr, reset_standard_output_after_fork);
    return standard_stream;
  }();
  return *stream;
}

void print_banner(OutputStream& out, uint32_t threads, Checkpoint& writer) {
  out.print_flushed(std::string(messages::banner_start) + std::to_string(threads) + std::string(messages::banner_end),
                    writer);
}

}  // namespace mendseqs
