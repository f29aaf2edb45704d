// Failure paths of the parallel path that leave threads behind or never
// start them: what the caller gets, and that nothing is leaked or raced on
// the way (this suite also runs under the address and thread sanitizers).
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "captured_output.hpp"
#include "match/matcher.hpp"
#include "engine/panic.hpp"
#include "batch/parallel.hpp"

namespace mendseqs {
namespace {

using test_support::CapturedOutput;
using test_support::count_marks;

constexpr const char* join_failure = "called `Result::unwrap()` on an `Err` value: Any { .. }";

// Sets an environment variable for the length of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
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

TEST(FailedCall, DetachedWorkersFinishTheirChunksAndReleaseTheirShares) {
  const std::string long_query = repeat("ACGT", 1500);
  auto references = std::make_shared<const ReferenceSet>(SequenceList{"ACG", long_query});
  const std::weak_ptr<const ReferenceSet> watch = references;

  // Chunk size 20: worker 0 trips the guard on its first query; worker 1
  // works through its 20 queries whether or not the call has failed by then.
  SequenceList queries(20, "ACG");
  queries[0] = "AC";
  queries.resize(40, long_query);

  CapturedOutput out;
  try {
    correct_in_parallel(std::move(references), queries, 3, 2, out.stream());
    FAIL() << "expected the failed worker to fail the call";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), join_failure);
  }
  // Worker 1 keeps writing marks to the end of its chunk; as the last holder
  // of the shared references it frees them when it ends.
  ASSERT_TRUE(test_support::wait_for_marks(out, 1 + 20));
  for (int waited = 0; !watch.expired() && waited < 60000; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(watch.expired());
  const std::string bytes = out.bytes();
  EXPECT_EQ(count_marks(bytes), 1u + 20u);
  EXPECT_EQ(bytes.find('\n'), std::string::npos);
}

TEST(FailedCall, AWorkerThatCannotStartFailsTheCallWithTheOsError) {
  // More than the address space: 1 PiB, or 3 GiB on a 32-bit platform.
  const ScopedEnv huge_stack("MENDSEQS_MIN_STACK", sizeof(size_t) == 8 ? "1125899906842624" : "3221225472");
  auto references = std::make_shared<const ReferenceSet>(SequenceList{"ACGT"});
  const std::weak_ptr<const ReferenceSet> watch = references;
  CapturedOutput out;
  try {
    correct_in_parallel(std::move(references), SequenceList(4, "ACGT"), 0, 2, out.stream());
    FAIL() << "expected the thread start to fail";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(),
              "failed to spawn thread: Os { code: 11, kind: WouldBlock, "
              "message: \"Resource temporarily unavailable\" }");
  }
  // No worker holds a share: the call's were the last.
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(out.bytes(), "");
}

TEST(WorkerStack, TwoMebibytesUnlessTheEnvironmentAsksOtherwise) {
  const size_t floor = PTHREAD_STACK_MIN;
  EXPECT_EQ(worker_stack_size(), std::max<size_t>(2 * 1024 * 1024, floor));
  struct Case { const char* value; size_t expected; };
  for (Case c : {Case{"8388608", 8388608}, Case{"1", floor}, Case{"", 2 * 1024 * 1024},
                 Case{"12kB", 2 * 1024 * 1024}, Case{"-5", 2 * 1024 * 1024}}) {
    const ScopedEnv requested("MENDSEQS_MIN_STACK", c.value);
    EXPECT_EQ(worker_stack_size(), std::max(c.expected, floor)) << '"' << c.value << '"';
  }
}

}  // namespace
}  // namespace mendseqs
