// Failure paths of the parallel path that leave threads behind or never
// start them: what the caller gets, and that nothing is leaked or raced on
// the way (this suite also runs under the address and thread sanitizers).
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "batch/parallel.hpp"
#include "captured_output.hpp"
#include "engine/panic.hpp"
#include "match/matcher.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

using test_support::CapturedOutput;
using test_support::count_marks;
using test_support::Strings;
using test_support::Texts;

constexpr const char* join_failure = "called `Result::unwrap()` on an `Err` value: Any { .. }";

// The parallel path running the matcher, as correct_seq_mt runs it.
void correct_in_parallel(const ReferenceSet& set, std::span<const Text> queries, intptr_t max_flex, uint32_t threads,
                         OutputStream& out, CallerHooks& hooks, std::vector<Position>& matched) {
  run_in_parallel(queries.size(), threads, out, hooks, [&](size_t q, Checkpoint& checkpoint) {
    matched[q] = first_accepted(set, queries[q], max_flex, checkpoint).value_or(no_match);
  });
}

// Sets an environment variable for the length of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

size_t count_tasks() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) count += entry.exists();
  return count;
}

// Threads of this process, once the count holds still. The first thread a
// process starts may bring helpers of its own (the thread sanitizer's, say),
// so one is started and joined first; and under user-mode emulation a
// joined thread's task may linger for a moment after the join returns.
size_t thread_count() {
  static const bool settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)settled;
  size_t count = count_tasks();
  for (int same = 0; same < 3;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const size_t now = count_tasks();
    same = now == count ? same + 1 : 0;
    count = now;
  }
  return count;
}

TEST(FailedCall, WorkersAreCancelledAndJoinedBeforeTheCallFails) {
  // Chunk size 30: worker 0 trips the guard on its first query; worker 1
  // has thirty long comparisons (a wide band, decided only near the end)
  // that each take far longer than the failure needs to reach it.
  const std::string long_text = repeat("ACGT", 20000);
  const Texts references{"ACG", long_text.c_str()};
  const ReferenceSet set(references);
  Strings queries(30, "ACG");
  queries.resize(60, long_text.substr(1) + "G");
  const Texts query_texts(queries);
  std::vector<Position> matched(queries.size());
  CapturedOutput out;
  NoHooks hooks;
  const size_t threads_before = thread_count();
  try {
    correct_in_parallel(set, query_texts, 3000, 2, out.stream(), hooks, matched);
    FAIL() << "expected the failed worker to fail the call";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), join_failure);
  }
  EXPECT_EQ(thread_count(), threads_before);
  const std::string at_return = out.bytes();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(out.bytes(), at_return) << "a worker wrote after the call returned";
  EXPECT_LT(count_marks(at_return), 1u + 30u) << "worker 1 was not cancelled";
  EXPECT_EQ(at_return.find('\n'), std::string::npos);
}

TEST(FailedCall, AWorkerThatCannotStartFailsTheCallWithTheOsError) {
  // More than the address space: 1 PiB, or 3 GiB on a 32-bit platform.
  const ScopedEnv huge_stack("MENDSEQS_MIN_STACK", sizeof(size_t) == 8 ? "1125899906842624" : "3221225472");
  const Texts references{"ACGT"}, queries{"ACGT", "ACGT", "ACGT", "ACGT"};
  const ReferenceSet set(references);
  std::vector<Position> matched(queries.size());
  CapturedOutput out;
  NoHooks hooks;
  try {
    correct_in_parallel(set, queries, 0, 2, out.stream(), hooks, matched);
    FAIL() << "expected the thread start to fail";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(),
              "failed to spawn thread: Os { code: 11, kind: WouldBlock, "
              "message: \"Resource temporarily unavailable\" }");
  }
  EXPECT_EQ(out.bytes(), "");
}

// A host whose check-in ends the call, as a signal handler that raises does.
class InterruptingHooks final : public CallerHooks {
 public:
  void check_in() override { throw Interrupted{}; }
  void release_lock() noexcept override {}
  void reacquire_lock() noexcept override {}
};

TEST(InterruptedCall, TheCallerCancelsAndJoinsItsWorkers) {
  const std::string long_text = repeat("ACGT", 20000);
  const Texts references{long_text.c_str()};
  const ReferenceSet set(references);
  const Texts queries(Strings(40, long_text.substr(1) + "G"));
  std::vector<Position> matched(queries.size());
  CapturedOutput out;
  InterruptingHooks hooks;
  const size_t threads_before = thread_count();
  EXPECT_THROW(correct_in_parallel(set, queries, 3000, 2, out.stream(), hooks, matched), Interrupted);
  EXPECT_EQ(thread_count(), threads_before);
  const std::string at_return = out.bytes();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(out.bytes(), at_return);
}

TEST(WorkerStack, TwoMebibytesUnlessTheEnvironmentAsksOtherwise) {
  const size_t floor = PTHREAD_STACK_MIN;
  EXPECT_EQ(worker_stack_size(), std::max<size_t>(2 * 1024 * 1024, floor));
  struct Case {
    const char* value;
    size_t expected;
  };
  for (Case c : {Case{"8388608", 8388608}, Case{"1", floor}, Case{"", 2 * 1024 * 1024}, Case{"12kB", 2 * 1024 * 1024},
                 Case{"-5", 2 * 1024 * 1024}}) {
    const ScopedEnv requested("MENDSEQS_MIN_STACK", c.value);
    EXPECT_EQ(worker_stack_size(), std::max(c.expected, floor)) << '"' << c.value << '"';
  }
}

}  // namespace
}  // namespace mendseqs
