#include "engine/driver.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "batch/parallel.hpp"
#include "captured_output.hpp"
#include "engine/panic.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

using test_support::CapturedOutput;
using test_support::correct_all;
using test_support::count_marks;
using test_support::Strings;

Strings numbered_queries(size_t n) {
  Strings queries;
  for (size_t i = 0; i < n; ++i) queries.push_back(i % 2 ? "ACGTACGT" : "TTTTGGGG");
  return queries;
}

TEST(Driver, NoThreadsPrintsOnlyTheBannerAndDoesNoWork) {
  CapturedOutput out;
  // Would trip the guard if the matcher ran.
  EXPECT_TRUE(correct_all({"ACG"}, {"AC"}, 3, 0, out.stream()).empty());
  EXPECT_EQ(out.bytes(), "    Aligning with 0 threads: ");
}

TEST(Driver, SerialPathMarksEveryStepAndEndsTheLine) {
  struct Case {
    size_t queries;
    size_t marks;
  };
  for (Case c : {Case{0, 0}, Case{3, 3}, Case{99, 99}, Case{120, 60}, Case{149, 75}, Case{150, 50}}) {
    CapturedOutput out;
    EXPECT_EQ(correct_all({"ACGTACGT"}, numbered_queries(c.queries), 1, 1, out.stream()).size(), c.queries);
    const std::string bytes = out.bytes();
    EXPECT_EQ(count_marks(bytes), c.marks) << c.queries << " queries";
    EXPECT_EQ(
        bytes, "    Aligning with 1 threads: " + [&] {
          std::string marks;
          for (size_t i = 0; i < c.marks; ++i) marks += progress_mark;
          return marks;
        }() + "\n");
  }
}

TEST(Driver, ResultsKeepQueryOrder) {
  CapturedOutput out;
  const Strings result =
      correct_all({"ACGTACGT", "TTTTGGGG"}, {"ACGTACGA", "GGGG", "TTTTGGGC", "ACGTACGA"}, 1, 1, out.stream());
  EXPECT_EQ(result, (Strings{"ACGTACGT", "", "TTTTGGGG", "ACGTACGT"}));
}

TEST(Parallel, ChunkPlanIsExactForEveryThreadCount) {
  struct Case {
    size_t n;
    uint32_t threads;
    size_t chunk, workers;
    uint32_t step;
  };
  for (Case c : {Case{0, 2, 0, 0, 1}, Case{3, 8, 1, 3, 1}, Case{5, 4, 2, 3, 1}, Case{10, 4, 3, 4, 1},
                 Case{49, 2, 25, 2, 1}, Case{100, 2, 50, 2, 2}, Case{1000, 4, 250, 4, 20},
                 Case{2, 4294967295u, 1, 2, 1}, Case{4294967295u, 4294967295u, 1, 4294967295u, 1}}) {
    const ChunkPlan plan = plan_chunks(c.n, c.threads);
    EXPECT_EQ(plan.chunk_size, c.chunk) << c.n << "/" << c.threads;
    EXPECT_EQ(plan.workers, c.workers) << c.n << "/" << c.threads;
    EXPECT_EQ(plan.progress_step, c.step) << c.n << "/" << c.threads;
  }
}

TEST(Parallel, MarkCountsFollowTheStaggeredCounters) {
  struct Case {
    size_t n;
    uint32_t threads;
    size_t marks;
  };
  for (Case c : {Case{0, 2, 0}, Case{3, 8, 3}, Case{5, 4, 5}, Case{10, 4, 10}, Case{49, 2, 49}, Case{100, 2, 50},
                 Case{198, 2, 99}, Case{1000, 4, 49}, Case{2, 4294967295u, 2}}) {
    CapturedOutput out;
    const Strings queries = numbered_queries(c.n);
    const Strings parallel = correct_all({"ACGTACGT"}, queries, 1, c.threads, out.stream());
    const std::string bytes = out.bytes();
    EXPECT_EQ(count_marks(bytes), c.marks) << c.n << "/" << c.threads;
    EXPECT_EQ(bytes.back(), '\n');
    CapturedOutput serial_out;
    EXPECT_EQ(parallel, correct_all({"ACGTACGT"}, queries, 1, 1, serial_out.stream()));
  }
}

TEST(Parallel, AFailedWorkerFailsTheCallWithoutEndingTheLine) {
  CapturedOutput out;
  Strings queries = numbered_queries(40);
  queries[25] = "AC";  // trips the guard against ACG with max_flex 3
  try {
    correct_all({"ACG"}, queries, 3, 4, out.stream());
    FAIL() << "expected a failure";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "called `Result::unwrap()` on an `Err` value: Any { .. }");
  }
  // Chunks of 10, a mark per query: worker 2 marks its first six, up to the
  // query that fails; the others are cancelled wherever they are, so at
  // most their 30 marks follow. All of them came before the call returned.
  const size_t marks = count_marks(out.bytes());
  EXPECT_GE(marks, 6u);
  EXPECT_LE(marks, 36u);
  EXPECT_EQ(out.bytes().find('\n'), std::string::npos);
}

TEST(Output, FailedFlushAndFailedLineEndSayWhatHappened) {
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  OutputStream stream(fileno(full));
  NoHooks hooks;
  Checkpoint writer(hooks);
  try {
    stream.print_flushed(progress_mark, writer);
    FAIL();
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(),
              "called `Result::unwrap()` on an `Err` value: "
              "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }");
  }
  try {
    stream.print_line_end(writer);
    FAIL();
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "failed printing to stdout: No space left on device (os error 28)");
  }
  std::fclose(full);
}

TEST(Output, AClosedDescriptorDropsTheBytesAndTheCallStillAnswers) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  OutputStream stream(fds[1]);  // no longer open
  // Every write of the call (banner, marks, line end) meets EBADF; the
  // results are the same as with a display, on both paths.
  const Strings queries{"ACGA", "TTTT", "ACGT", "GGGG"};
  const Strings expected{"ACGT", "", "ACGT", ""};
  for (const uint32_t threads : {1u, 3u}) EXPECT_EQ(correct_all({"ACGT"}, queries, 1, threads, stream), expected);
}

}  // namespace
}  // namespace mendseqs
