// Guards the creations done once per process (the module object, the
// PanicException type, the Sequence class lookup).
//
// A thread that must wait for another thread's creation gives up the
// interpreter lock while it waits: the creator may itself need the
// interpreter lock to finish (running Python code, collecting garbage), and
// holding it while blocked would deadlock.
//
// A creation runs Python code (an import, say), and that code may call back
// into the module and need the same creation: the thread already holding the
// lock then goes ahead without it instead of waiting for itself forever.
// Creation sites therefore look at their slot again after creating, and keep
// whichever value got there first.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace mendseqs::py {

class CreationLock {
 private:
  friend class CreationGuard;
  std::mutex mutex_;
  std::atomic<std::thread::id> holder_{};
};

class CreationGuard {
 public:
  // The calling thread holds the interpreter lock, and holds it again on return.
  explicit CreationGuard(CreationLock& lock);
  ~CreationGuard();
  CreationGuard(const CreationGuard&) = delete;
  CreationGuard& operator=(const CreationGuard&) = delete;

 private:
  CreationLock& lock_;
  bool reentered_ = false;
};

}  // namespace mendseqs::py
