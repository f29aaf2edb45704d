// One pass over the references (or any items) on several threads, and how
// many: the layouts' builds, their loads' checks and the references'
// counts share it.
//
// The calling thread is worker 0 and charges its share of the work to
// `charge`, which may throw to end the call (Ctrl+C): the others then stop
// at their next item and are joined before the exception leaves. A thread
// that cannot start follows the fork-join helper's rule (support/fork_join.hpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "support/fork_join.hpp"
#include "support/function_ref.hpp"
#include "support/machine.hpp"

namespace mendseqs {

class BuildPass {
 public:
  // No more building threads than the call was given, the processors its
  // affinity mask lets it run on, or `items` can keep busy.
  BuildPass(size_t items, unsigned threads, FunctionRef<void(size_t)> charge, size_t items_per_worker = 4096)
      : items_(items),
        workers_(std::max<size_t>(1, std::min<size_t>({threads, items / items_per_worker + 1, usable_processors()}))),
        charge_(charge) {}

  size_t workers() const noexcept { return workers_; }
  size_t begin(size_t w) const noexcept { return items_ * w / workers_; }
  size_t end(size_t w) const noexcept { return items_ * (w + 1) / workers_; }

  // work(w, i) for every item i of worker w's contiguous range, in
  // increasing i; `cost(i)` (characters' worth) is charged by worker 0.
  //
  // Worker 0, done with its range, waits for the others here, charging as
  // it waits, rather than in the join, which nothing interrupts: on a busy
  // machine another worker may end long after it.
  template <class Work, class Cost>
  void run(Work&& work, Cost&& cost) {
    std::atomic<bool> stop{false};
    Remaining remaining(workers_ - 1);
    fork_join(workers_, stop, [&](size_t w) {
      if (w != 0) {
        const Remaining::Leaving leaving(remaining);  // however the work ends
        for (size_t i = begin(w); i < end(w) && !stop.load(std::memory_order_relaxed); ++i) work(w, i);
        return;
      }
      for (size_t i = begin(0); i < end(0) && !stop.load(std::memory_order_relaxed); ++i) {
        charge_(cost(i));
        work(0, i);
      }
      while (!remaining.wait_briefly() && !stop.load(std::memory_order_relaxed)) charge_(wait_charge);
    });
  }

 private:
  // Enough to make the checkpoint look up (and check in, when it is due).
  static constexpr size_t wait_charge = size_t{1} << 16;

  // The workers other than 0 still running.
  class Remaining {
   public:
    explicit Remaining(size_t count) noexcept : count_(count) {}
    // Whether none is left, after waiting a few milliseconds at most.
    bool wait_briefly() {
      std::unique_lock lock(mutex_);
      return done_.wait_for(lock, std::chrono::milliseconds(5), [&] { return count_ == 0; });
    }
    class Leaving {
     public:
      explicit Leaving(Remaining& of) noexcept : of_(of) {}
      ~Leaving() {
        const std::lock_guard lock(of_.mutex_);
        if (--of_.count_ == 0) of_.done_.notify_all();
      }
      Leaving(const Leaving&) = delete;
      Leaving& operator=(const Leaving&) = delete;

     private:
      Remaining& of_;
    };

   private:
    std::mutex mutex_;
    std::condition_variable done_;
    size_t count_;
  };

  size_t items_;
  size_t workers_;
  FunctionRef<void(size_t)> charge_;
};

}  // namespace mendseqs
