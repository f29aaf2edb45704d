// One thread's lookups in the large k=2 index (W7: 6,794,880 random
// 16-letter barcodes, the benchmark's query mix), per query and by query
// length, for the first accepted reference and for the nearest; the scan on
// a sample of the same queries for the ratio and the answers. The index can
// be kept in a file between runs (--cache PATH): building it takes tens of
// seconds, loading it one or two, and the lookups are what is measured.
// Times are the thread's CPU time (its waits on memory included, its time
// off the processor not), so that a machine shared with other work still
// gives comparable figures from run to run.
//
//   lookup_bench [--references N] [--queries N] [--k K] [--cache PATH]
//                [--scan-sample N] [--repeat R]
#include <sys/resource.h>
#include <time.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_texts.hpp"
#include "engine/host.hpp"
#include "index/candidate_index.hpp"
#include "index/index_file.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// This thread's CPU time.
struct CpuClock {
  using time_point = double;
  static double now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
};
double cpu_since(double start) { return CpuClock::now() - start; }

size_t peak_rss_bytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<size_t>(usage.ru_maxrss) * 1024;
}

struct Options {
  size_t references = 6'794'880;
  size_t queries = 100'000;
  intptr_t k = 2;
  size_t scan_sample = 100;
  size_t repeat = 3;
  const char* cache = nullptr;
};

// The same mix as index_bench: 40% exact copies, 40% with 1 to k + 1
// edits, 20% random of 15 to 17 letters.
void make_inputs(const Options& o, std::vector<std::string>& references, std::vector<std::string>& queries) {
  std::mt19937_64 rng(o.references * 31 + static_cast<size_t>(o.k));
  for (size_t i = 0; i < o.references; ++i) references.push_back(bench::random_dna(rng, 16));
  for (size_t i = 0; i < o.queries; ++i) {
    const size_t kind = rng() % 10;
    const std::string& source = references[rng() % references.size()];
    if (kind < 4)
      queries.push_back(source);
    else if (kind < 8)
      queries.push_back(bench::edited(rng, source, 1 + rng() % static_cast<size_t>(o.k + 1)));
    else
      queries.push_back(bench::random_dna(rng, 15 + rng() % 3));
  }
}

// The index from the cache file when it holds one for these references,
// else built (two threads) and, with a cache path, saved there.
std::unique_ptr<IndexFileReader> cached_index(const Options& o, ReferenceSet& set, std::span<const Text> references,
                                              double& build_seconds) {
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  if (o.cache) {
    const int fd = open(o.cache, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      try {
        auto file = std::make_unique<IndexFileReader>(fd, checkpoint);
        close(fd);
        const auto start = Clock::now();
        set.adopt_index(CandidateIndex::load(*file, references.size(), references, 2), o.k);
        std::printf("  loaded from %s in %.2f s\n", o.cache, seconds_since(start));
        return file;
      } catch (const std::exception& error) {
        close(fd);
        std::printf("  cache %s not usable (%s): building\n", o.cache, error.what());
      }
    }
  }
  const auto start = Clock::now();
  set.prepare_index(o.k, o.queries, 2, checkpoint, CandidateIndex::Choice::always);
  build_seconds = seconds_since(start);
  if (o.cache && set.index(o.k)) {
    IndexFileWriter writer(o.cache, checkpoint);
    set.index(o.k)->save(writer);
    writer.commit();
  }
  return nullptr;
}

int run(const Options& o) {
  std::vector<std::string> reference_texts, query_texts;
  make_inputs(o, reference_texts, query_texts);
  const std::vector<Text> references = bench::views(reference_texts), queries = bench::views(query_texts);
  std::printf("%zu random 16-letter references, k=%td, %zu queries, one thread\n", references.size(), o.k,
              queries.size());
  ReferenceSet set(references);
  double build = 0;
  const std::unique_ptr<IndexFileReader> file = cached_index(o, set, references, build);
  const CandidateIndex* index = set.index(o.k);
  if (!index) {
    std::printf("  index not built\n");
    return 1;
  }
  if (build > 0) std::printf("  built in %.2f s (threads 2)\n", build);
  std::printf("  index %.1f MB = %.1f bytes/reference, %s layout; peak RSS so far %.0f MB\n",
              static_cast<double>(index->memory_bytes()) / 1e6,
              static_cast<double>(index->memory_bytes()) / static_cast<double>(references.size()),
              index->packed() ? "packed" : "hashed", static_cast<double>(peak_rss_bytes()) / 1e6);

  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  // Per query length: time and count, for the first and the nearest.
  constexpr size_t lengths = 24;
  std::vector<double> first_by_length(lengths), nearest_by_length(lengths);
  std::vector<size_t> count_by_length(lengths);
  for (const Text& q : queries) ++count_by_length[std::min(q.length(), lengths - 1)];
  std::vector<std::optional<size_t>> first(queries.size());
  std::vector<NearestMatch> nearest(queries.size());
  std::vector<Position> windowed(queries.size());
  double first_best = 1e30, nearest_best = 1e30, windowed_best = 1e30;
  constexpr size_t window = 16;  // as the batch driver's windows
  for (size_t r = 0; r < o.repeat; ++r) {
    double first_total = 0, nearest_total = 0, windowed_total = 0;
    // Alternating slices: a load change weighs on both alike.
    constexpr size_t slice = 5'000;
    for (size_t begin = 0; begin < queries.size(); begin += slice) {
      const size_t end = std::min(queries.size(), begin + slice);
      double start = CpuClock::now();
      for (size_t q = begin; q < end; ++q) first[q] = first_accepted(set, queries[q], o.k, checkpoint);
      first_total += cpu_since(start);
      start = CpuClock::now();
      for (size_t w = begin; w < end; w += window) {
        const size_t w_end = std::min(end, w + window);
        first_accepted_ahead(set, std::span(queries).subspan(w, w_end - w), o.k,
                             std::span(windowed).subspan(w, w_end - w), checkpoint);
        for (size_t q = w; q < w_end; ++q)
          if (windowed[q] == deferred)
            windowed[q] = first_accepted(set, queries[q], o.k, checkpoint).value_or(no_match);
      }
      windowed_total += cpu_since(start);
      start = CpuClock::now();
      for (size_t q = begin; q < end; ++q) nearest[q] = nearest_accepted(set, queries[q], o.k, checkpoint);
      nearest_total += cpu_since(start);
    }
    if (first_total < first_best) first_best = first_total;
    if (nearest_total < nearest_best) nearest_best = nearest_total;
    if (windowed_total < windowed_best) windowed_best = windowed_total;
  }
  size_t windowed_differ = 0;
  for (size_t q = 0; q < queries.size(); ++q) windowed_differ += windowed[q] != first[q].value_or(no_match);
  // By length: one more pass, each query timed alone (coarse, but shows
  // where the time goes).
  for (size_t q = 0; q < queries.size(); ++q) {
    const size_t l = std::min(queries[q].length(), lengths - 1);
    double start = CpuClock::now();
    (void)first_accepted(set, queries[q], o.k, checkpoint);
    first_by_length[l] += cpu_since(start);
    start = CpuClock::now();
    (void)nearest_accepted(set, queries[q], o.k, checkpoint);
    nearest_by_length[l] += cpu_since(start);
  }
  const auto n = static_cast<double>(queries.size());
  std::printf("  first accepted %.2f us/query, nearest %.2f us/query (best of %zu): nearest/first %.2fx\n",
              first_best / n * 1e6, nearest_best / n * 1e6, o.repeat, nearest_best / first_best);
  std::printf("  first accepted in windows of %zu queries: %.2f us/query, %.2fx one by one; %s\n", window,
              windowed_best / n * 1e6, first_best / windowed_best,
              windowed_differ == 0 ? "same answers" : (std::to_string(windowed_differ) + " DIFFER").c_str());
  for (size_t l = 0; l < lengths; ++l)
    if (count_by_length[l] > 0)
      std::printf("    length %2zu: %6zu queries, first %7.2f us, nearest %7.2f us\n", l, count_by_length[l],
                  first_by_length[l] / static_cast<double>(count_by_length[l]) * 1e6,
                  nearest_by_length[l] / static_cast<double>(count_by_length[l]) * 1e6);

  // The scan on a sample: its time per query, and the same answers.
  ReferenceSet plain(references);
  const size_t sample = std::min(o.scan_sample, queries.size());
  size_t differ = 0;
  const double start = CpuClock::now();
  for (size_t q = 0; q < sample; ++q) differ += first_accepted(plain, queries[q], o.k, checkpoint) != first[q];
  const double scan = cpu_since(start) / static_cast<double>(sample);
  for (size_t q = 0; q < sample; ++q) differ += nearest_accepted(plain, queries[q], o.k, checkpoint) != nearest[q];
  std::printf("  scan %.1f us/query (first, %zu queries): index %.1fx the scan; %s\n", scan * 1e6, sample,
              scan / (first_best / n), differ == 0 ? "same answers" : (std::to_string(differ) + " DIFFER").c_str());
  std::printf("  peak RSS %.0f MB\n", static_cast<double>(peak_rss_bytes()) / 1e6);
  return differ == 0 && windowed_differ == 0 ? 0 : 1;
}

}  // namespace
}  // namespace mendseqs

int main(int argc, char** argv) {
  mendseqs::Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--references")
      o.references = std::stoul(value);
    else if (name == "--queries")
      o.queries = std::stoul(value);
    else if (name == "--k")
      o.k = std::stol(value);
    else if (name == "--scan-sample")
      o.scan_sample = std::stoul(value);
    else if (name == "--repeat")
      o.repeat = std::stoul(value);
    else if (name == "--cache")
      o.cache = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  return mendseqs::run(o);
}
