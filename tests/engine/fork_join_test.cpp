// The one fork-join helper: every started thread joined however the work
// ends, the first failure passed on, the others told to stop.
#include "support/fork_join.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace mendseqs {
namespace {

TEST(ForkJoin, RunsEveryWorkerOnceWithTheCallerAsWorkerZero) {
  std::vector<std::atomic<int>> runs(4);
  std::vector<std::thread::id> ids(4);
  std::atomic<bool> stop{false};
  fork_join(4, stop, [&](size_t w) {
    ++runs[w];
    ids[w] = std::this_thread::get_id();
  });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);
  EXPECT_EQ(ids[0], std::this_thread::get_id());
  EXPECT_NE(ids[1], ids[0]);
  EXPECT_FALSE(stop.load());
}

// A worker's failure stops the others (which look at `stop`) and reaches
// the caller after every thread is joined; the caller's own failure wins.
TEST(ForkJoin, FailuresArePassedOnAfterTheJoin) {
  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
  const auto work = [&](size_t w) {
    if (w == 2) throw std::runtime_error("worker");
    while (!stop.load()) std::this_thread::yield();  // would hang without the stop
    ++finished;
  };
  EXPECT_THROW(fork_join(3, stop, work), std::runtime_error);
  EXPECT_EQ(finished.load(), 2);  // both others ended before fork_join returned

  stop = false;
  finished = 0;
  try {
    fork_join(3, stop, [&](size_t w) {
      if (w == 0) throw std::logic_error("caller");
      while (!stop.load()) std::this_thread::yield();
      ++finished;
    });
    ADD_FAILURE();
  } catch (const std::logic_error&) {
    EXPECT_EQ(finished.load(), 2);
  }
}

}  // namespace
}  // namespace mendseqs
