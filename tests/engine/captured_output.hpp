// Test support: an output stream on an anonymous temporary file, read back as
// bytes, and a way to wait for the detached workers of a failed call.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "engine/progress.hpp"

namespace mendseqs::test_support {

class CapturedOutput {
 public:
  CapturedOutput() : file_(std::tmpfile()), stream_(std::make_unique<OutputStream>(fileno(file_))) {}
  ~CapturedOutput() { std::fclose(file_); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  OutputStream& stream() { return *stream_; }
  std::string bytes() const {
    std::string out;
    char buffer[4096];
    ssize_t got;
    for (off_t offset = 0; (got = pread(fileno(file_), buffer, sizeof buffer, offset)) > 0; offset += got)
      out.append(buffer, static_cast<size_t>(got));
    return out;
  }

 private:
  FILE* file_;
  std::unique_ptr<OutputStream> stream_;
};

inline size_t count_marks(const std::string& text) {
  size_t count = 0;
  for (size_t at = text.find(progress_mark); at != std::string::npos; at = text.find(progress_mark, at + 1))
    ++count;
  return count;
}

// Waits until `out` holds `marks` progress marks: the detached workers of a
// failed call have worked through their chunks. Then takes the stream's lock
// once, which orders the workers' last writes before whatever the test does
// next, including letting the stream go.
inline bool wait_for_marks(CapturedOutput& out, size_t marks,
                           std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (count_marks(out.bytes()) < marks) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  out.stream().print_flushed("");
  return true;
}

}  // namespace mendseqs::test_support
