// Test support: an output stream on an anonymous temporary file, read back as
// bytes.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "batch/progress.hpp"

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
  for (size_t at = text.find(progress_mark); at != std::string::npos; at = text.find(progress_mark, at + 1)) ++count;
  return count;
}

}  // namespace mendseqs::test_support
