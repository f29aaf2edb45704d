// Guards the creations done once per process (the module object, the
// PanicException type, the Sequence class lookup).
//
// A thread that must wait for another thread's creation gives up the
// interpreter lock while it waits: the creator may itself need the
// interpreter lock to finish (running Python code, collecting garbage), and
// holding it while blocked would deadlock.
#pragma once

#include <mutex>

namespace mendseqs::py {

class CreationGuard {
 public:
  // The calling thread holds the interpreter lock, and holds it again on return.
  explicit CreationGuard(std::mutex& mutex);
  ~CreationGuard() { mutex_.unlock(); }
  CreationGuard(const CreationGuard&) = delete;
  CreationGuard& operator=(const CreationGuard&) = delete;

 private:
  std::mutex& mutex_;
};

}  // namespace mendseqs::py
