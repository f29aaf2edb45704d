// Scratch space a thread reuses from one query to the next, so that a warm
// query allocates nothing.
//
// Borrowed, not shared: the calling thread's host may run a signal handler
// in the middle of a query (see Checkpoint), and the handler may start a
// query of its own on the same thread, which must not overwrite the outer
// one's scratch. Each borrower takes an object from the thread's pool (or
// makes one) and gives it back when done.
#pragma once

#include <memory>
#include <vector>

namespace mendseqs {

template <class T>
class Scratch {
 public:
  Scratch() {
    std::vector<std::unique_ptr<T>>& free = pool();
    if (free.empty()) {
      item_ = std::make_unique<T>();
    } else {
      item_ = std::move(free.back());
      free.pop_back();
    }
  }
  ~Scratch() {
    try {
      pool().push_back(std::move(item_));
    } catch (...) {
      // No room to keep it: it is let go with item_, which is all the
      // pool would have saved.
      return;
    }
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  T& operator*() noexcept { return *item_; }
  T* operator->() noexcept { return item_.get(); }

 private:
  static std::vector<std::unique_ptr<T>>& pool() {
    thread_local std::vector<std::unique_ptr<T>> free;
    return free;
  }

  std::unique_ptr<T> item_;
};

}  // namespace mendseqs
