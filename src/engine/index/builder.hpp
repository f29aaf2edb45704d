// What both layouts' builds share: how many threads build, and running one
// pass over the references (or any items) on them.
//
// The calling thread is worker 0 and charges its share of the work to
// `charge`, which may throw to end the call (Ctrl+C): the others then stop
// at their next item and are joined before the exception leaves. A thread
// that cannot start follows the fork-join helper's rule (support/fork_join.hpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>

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
  template <class Work, class Cost>
  void run(Work&& work, Cost&& cost) {
    std::atomic<bool> stop{false};
    fork_join(workers_, stop, [&](size_t w) {
      for (size_t i = begin(w); i < end(w) && !stop.load(std::memory_order_relaxed); ++i) {
        if (w == 0) charge_(cost(i));
        work(w, i);
      }
    });
  }

 private:
  size_t items_;
  size_t workers_;
  FunctionRef<void(size_t)> charge_;
};

}  // namespace mendseqs
