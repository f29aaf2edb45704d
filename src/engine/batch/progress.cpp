#include "engine/progress.hpp"

#include <unistd.h>

#include <cerrno>

#include "engine/panic.hpp"

namespace mendseqs {

// Sends the whole buffer. A closed descriptor is not an error: the bytes are
// dropped, as a program with no standard output expects. Signals retry.
// Whatever happens, the buffer is empty afterwards, so a failed call's bytes
// never reappear in front of a later call's output.
std::optional<IoError> OutputStream::flush_locked() noexcept {
  std::string_view pending = buffer_;
  std::optional<IoError> error;
  while (!pending.empty()) {
    const ssize_t written = ::write(fd_, pending.data(), pending.size());
    if (written > 0) {
      pending.remove_prefix(static_cast<size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      if (written == 0) error = IoError{0};
      else if (errno != EBADF) error = IoError{errno};
      break;
    }
  }
  buffer_.clear();
  return error;
}

void OutputStream::print_flushed(std::string_view text) {
  std::lock_guard lock(mutex_);
  buffer_.append(text);
  if (auto error = flush_locked())
    panic("called `Result::unwrap()` on an `Err` value: " + error->debug());
}

void OutputStream::print_line_end() {
  std::lock_guard lock(mutex_);
  buffer_.push_back('\n');
  if (auto error = flush_locked())
    panic("failed printing to stdout: " + error->display());
}

OutputStream& standard_output() {
  static OutputStream* const stream = new OutputStream(STDOUT_FILENO);
  return *stream;
}

void print_banner(OutputStream& out, uint32_t threads) {
  out.print_flushed("    Aligning with " + std::to_string(threads) + " threads: ");
}

}  // namespace mendseqs
