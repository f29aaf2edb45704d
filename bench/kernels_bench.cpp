// Micro-benchmarks of the comparison kernels on seeded random DNA.
#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <random>
#include <string>

#include "batch/driver.hpp"
#include "batch/progress.hpp"
#include "bench_texts.hpp"
#include "kernel_checks.hpp"
#include "kernels/block_kernel.hpp"
#include "kernels/lcs.hpp"
#include "kernels/lcs_banded.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

using bench::edited;
using bench::random_dna;
using bench::views;

std::string with_substitutions(std::mt19937_64& rng, std::string text, size_t count) {
  for (size_t i = 0; i < count; ++i) text[rng() % text.size()] = "ACGT"[rng() % 4];
  return text;
}

// One block of references of `length` letters against one query: the cost
// of testing a query against 1024 / lane_bits references at once.
void block_kernel(benchmark::State& state, Isa kernel) {
  if (!isa_supported(kernel)) {
    state.SkipWithError("processor lacks this kernel");
    return;
  }
  const auto length = static_cast<size_t>(state.range(0));
  std::mt19937_64 rng(1);
  std::vector<std::string> references;
  for (unsigned i = 0; i < 1024 / lane_bits_for(static_cast<intptr_t>(length)); ++i)
    references.push_back(random_dna(rng, length));
  const std::vector<Text> texts = views(references);
  const ReferenceSet set(texts, kernel);
  const ReferenceBlocks& blocks = set.blocks();
  std::vector<uint32_t> numbers;
  const std::string query_text = with_substitutions(rng, references[3], 2);
  blocks.alphabet().translate(Text(query_text), numbers);
  const BlockQuery query{blocks.blocks()[0].lane_bits, blocks.masks(0), blocks.lane_lengths(0), numbers};
  for (auto _ : state) benchmark::DoNotOptimize(block_accepting_lanes(kernel, query, 2));
  state.counters["references/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * references.size()), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(block_kernel, portable, Isa::portable)->Arg(16)->Arg(24)->Arg(50);
BENCHMARK_CAPTURE(block_kernel, avx2, Isa::avx2)->Arg(16)->Arg(24)->Arg(50);
BENCHMARK_CAPTURE(block_kernel, avx512, Isa::avx512)->Arg(16)->Arg(24)->Arg(50);

// Long sequences: the full multi-word LCS against the banded test, for a
// pair that is accepted (few edits) and one that is rejected (unrelated).
struct LongPair {
  std::string query, reference;
};

LongPair long_pair(size_t length, bool related) {
  std::mt19937_64 rng(2);
  LongPair pair{random_dna(rng, length), random_dna(rng, length)};
  if (related) pair.query = with_substitutions(rng, pair.reference, length / 40);
  return pair;
}

void full_lcs(benchmark::State& state) {
  const LongPair pair = long_pair(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  const QueryPattern pattern{Text(pair.query)};
  for (auto _ : state) benchmark::DoNotOptimize(lcs_length(pattern, Text(pair.reference)));
}
BENCHMARK(full_lcs)->Args({1500, 1})->Args({1500, 0})->Unit(benchmark::kMicrosecond);

void banded_test(benchmark::State& state) {
  const auto length = static_cast<intptr_t>(state.range(0));
  const LongPair pair = long_pair(static_cast<size_t>(length), state.range(1) != 0);
  const QueryPattern pattern{Text(pair.query)};
  const intptr_t max_flex = length / 30;
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  for (auto _ : state) benchmark::DoNotOptimize(lcs_reaches(pattern, Text(pair.reference), max_flex, checkpoint));
}
BENCHMARK(banded_test)->Args({1500, 1})->Args({1500, 0})->Args({200000, 1})->Unit(benchmark::kMicrosecond);

// A whole batch through the engine, with no Python conversion around it:
// how the matching itself scales with worker threads. Adapter-like
// references (24 to 50 letters), half the queries a few edits from one,
// half unrelated.
void engine_batch(benchmark::State& state) {
  static OutputStream* discard = new OutputStream(open("/dev/null", O_WRONLY | O_CLOEXEC));
  std::mt19937_64 rng(3);
  std::vector<std::string> references, queries;
  for (int i = 0; i < 211; ++i) references.push_back(random_dna(rng, i % 10 == 0 ? 24 + rng() % 27 : 24));
  for (int i = 0; i < 100000; ++i) {
    const std::string& source = references[rng() % references.size()];
    queries.push_back(i % 2 ? with_substitutions(rng, source, rng() % 5) : random_dna(rng, source.size()));
  }
  const auto threads = static_cast<uint32_t>(state.range(0));
  const std::vector<Text> reference_texts = views(references), query_texts = views(queries);
  NoHooks hooks;
  for (auto _ : state)
    benchmark::DoNotOptimize(correct_seq_mt(reference_texts, query_texts, 3, threads, hooks, *discard));
  state.counters["queries/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * queries.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(engine_batch)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mendseqs

BENCHMARK_MAIN();
