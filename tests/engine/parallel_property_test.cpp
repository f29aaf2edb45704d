// Serial and parallel paths give the same list, entry for entry, for random
// batches and thread counts (the mark counts are tested in driver_test).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <random>

#include "batch/progress.hpp"
#include "engine/driver.hpp"
#include "random_text.hpp"
#include "texts.hpp"

namespace mendseqs {
namespace {

TEST(ParallelProperty, SameResultsAsTheSerialPathForAnyThreadCount) {
  // Leaked on purpose, like the stream of the driver tests.
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
  static OutputStream* discard = new OutputStream(open("/dev/null", O_WRONLY | O_CLOEXEC));
  std::mt19937_64 rng(808);
  for (int round = 0; round < 25; ++round) {
    test_support::Strings references;
    for (int i = rng() % 40; i > 0; --i)
      references.push_back(testing_text::random_text(rng, 8 + rng() % 80, testing_text::dna_alphabet));
    test_support::Strings queries;
    for (int i = rng() % 300; i > 0; --i) {
      queries.push_back(references.empty() || rng() % 3 == 0
                            ? testing_text::random_text(rng, 8 + rng() % 80, testing_text::dna_alphabet)
                            : testing_text::edited(rng, references[rng() % references.size()], rng() % 4,
                                                   testing_text::dna_alphabet));
    }
    const intptr_t max_flex = static_cast<intptr_t>(rng() % 4);  // every length is at least 5: no guard
    const uint32_t threads = 2 + static_cast<uint32_t>(rng() % 7);
    const auto serial = test_support::correct_all(references, queries, max_flex, 1, *discard);
    ASSERT_EQ(test_support::correct_all(references, queries, max_flex, threads, *discard), serial)
        << queries.size() << " queries, " << threads << " threads";
  }
}

}  // namespace
}  // namespace mendseqs
