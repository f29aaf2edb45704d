// The module's own line-buffered stream on standard output, which carries
// the progress display: a banner, one mark per step of work, a line end.
//
// It writes to the file descriptor directly, not through Python's
// sys.stdout, so it works the same from worker threads that never touch the
// interpreter. A lock makes every write whole: marks of several workers
// interleave but are never split.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/io_error.hpp"

namespace mendseqs {

inline constexpr std::string_view progress_mark = "\xE2\x96\xA0";  // U+25A0

class OutputStream {
 public:
  explicit OutputStream(int fd) noexcept : fd_(fd) {}
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Buffers `text` (which holds no newline) and flushes it at once; a failed
  // flush fails the call with the error's debug form.
  void print_flushed(std::string_view text);

  // Ends the line. It leaves with the line, as line buffering sends it,
  // without an explicit flush; a failed write fails the call.
  void print_line_end();

 private:
  int fd_;
  std::mutex mutex_;
  std::string buffer_;

  std::optional<IoError> flush_locked() noexcept;
};

// The stream on file descriptor 1, shared by every call and thread. It is
// never destroyed: detached workers of a failed call may still write marks.
OutputStream& standard_output();

void print_banner(OutputStream& out, uint32_t threads);

}  // namespace mendseqs
