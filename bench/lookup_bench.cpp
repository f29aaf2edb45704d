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
        set.load_index(*file, 2, checkpoint);
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

// One index's answers and times.
struct Contestant {
  const char* name;
  ReferenceSet* set;
  std::vector<std::optional<size_t>> first;
  std::vector<Position> windowed;
  std::vector<NearestMatch> nearest;
  double first_best = 1e30, windowed_best = 1e30, nearest_best = 1e30;
  double first_total = 0, windowed_total = 0, nearest_total = 0;
};

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
  std::vector<Contestant> contestants;
  contestants.push_back({file ? "mapped from the file" : "built", &set, {}, {}, {}});
  // A loaded index also in memory of the process's own (huge pages), side
  // by side with the mapping.
  ReferenceSet copied_set(references);
  if (file) {
    NoHooks load_hooks;
    Checkpoint load_checkpoint(load_hooks);
    const auto start = Clock::now();
    copied_set.load_index(*file, 2, load_checkpoint);
    copied_set.copy_index_borrowed();
    std::printf("  loaded and copied into huge pages in %.2f s\n", seconds_since(start));
    contestants.push_back({"copied into huge pages", &copied_set, {}, {}, {}});
  }
  // The same index with its posting entries packed, searched entry by
  // entry (format 3's tables), and split, searched by fingerprint: same
  // memory, same answers, the search alone differs.
  ReferenceSet packed_set(references), split_set(references);
  for (const bool split : {false, true}) {
    ReferenceSet& relaid = split ? split_set : packed_set;
    NoHooks load_hooks;
    Checkpoint load_checkpoint(load_hooks);
    if (file) {
      relaid.load_index(*file, 2, load_checkpoint);
    } else {
      relaid.prepare_index(o.k, o.queries, 2, load_checkpoint, CandidateIndex::Choice::always);
    }
    relaid.relay_index_postings(split);
    contestants.push_back(
        {split ? "posting entries split (fingerprints)" : "posting entries packed (format 3)", &relaid, {}, {}, {}});
  }

  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  constexpr size_t window = 16;  // as the batch driver's windows
  for (Contestant& c : contestants) {
    c.first.resize(queries.size());
    c.windowed.resize(queries.size());
    c.nearest.resize(queries.size());
  }
  for (size_t r = 0; r < o.repeat; ++r) {
    for (Contestant& c : contestants) c.first_total = c.windowed_total = c.nearest_total = 0;
    // Alternating slices: a load change weighs on all alike.
    constexpr size_t slice = 2'000;
    for (size_t begin = 0; begin < queries.size(); begin += slice) {
      const size_t end = std::min(queries.size(), begin + slice);
      for (Contestant& c : contestants) {
        double start = CpuClock::now();
        for (size_t q = begin; q < end; ++q) c.first[q] = first_accepted(*c.set, queries[q], o.k, checkpoint);
        c.first_total += cpu_since(start);
        start = CpuClock::now();
        for (size_t w = begin; w < end; w += window) {
          const size_t w_end = std::min(end, w + window);
          first_accepted_ahead(*c.set, std::span(queries).subspan(w, w_end - w), o.k,
                               std::span(c.windowed).subspan(w, w_end - w), checkpoint);
          for (size_t q = w; q < w_end; ++q)
            if (c.windowed[q] == deferred)
              c.windowed[q] = first_accepted(*c.set, queries[q], o.k, checkpoint).value_or(no_match);
        }
        c.windowed_total += cpu_since(start);
        start = CpuClock::now();
        for (size_t q = begin; q < end; ++q) c.nearest[q] = nearest_accepted(*c.set, queries[q], o.k, checkpoint);
        c.nearest_total += cpu_since(start);
      }
    }
    for (Contestant& c : contestants) {
      c.first_best = std::min(c.first_best, c.first_total);
      c.windowed_best = std::min(c.windowed_best, c.windowed_total);
      c.nearest_best = std::min(c.nearest_best, c.nearest_total);
    }
  }
  const auto n = static_cast<double>(queries.size());
  size_t differ = 0;
  for (const Contestant& c : contestants) {
    size_t windowed_differ = 0, other_differ = 0;
    for (size_t q = 0; q < queries.size(); ++q) {
      windowed_differ += c.windowed[q] != c.first[q].value_or(no_match);
      other_differ += c.first[q] != contestants[0].first[q] || c.nearest[q] != contestants[0].nearest[q];
    }
    differ += windowed_differ + other_differ;
    std::printf(
        "  %s: first accepted %.2f us/query, in windows of %zu %.2f us/query, nearest %.2f us/query"
        " (best of %zu); %s\n",
        c.name, c.first_best / n * 1e6, window, c.windowed_best / n * 1e6, c.nearest_best / n * 1e6, o.repeat,
        windowed_differ + other_differ == 0 ? "same answers" : "answers DIFFER");
  }
  if (contestants.size() > 3)
    std::printf("  copied against mapped, windows: %.2fx faster\n",
                contestants[0].windowed_best / contestants[1].windowed_best);
  const Contestant& packed = contestants[contestants.size() - 2];
  const Contestant& split = contestants.back();
  std::printf("  split against packed entries: first %.2fx, windows %.2fx, nearest %.2fx faster\n",
              packed.first_best / split.first_best, packed.windowed_best / split.windowed_best,
              packed.nearest_best / split.nearest_best);
  // By length: one more pass, each query timed alone (coarse, but shows
  // where the time goes).
  constexpr size_t lengths = 24;
  // Split entries, and packed ones beside them.
  std::vector<double> first_by_length(lengths), nearest_by_length(lengths), packed_by_length(lengths);
  std::vector<size_t> count_by_length(lengths);
  for (size_t q = 0; q < queries.size(); ++q) {
    const size_t l = std::min(queries[q].length(), lengths - 1);
    ++count_by_length[l];
    double start = CpuClock::now();
    (void)first_accepted(*split.set, queries[q], o.k, checkpoint);
    first_by_length[l] += cpu_since(start);
    start = CpuClock::now();
    (void)nearest_accepted(*split.set, queries[q], o.k, checkpoint);
    nearest_by_length[l] += cpu_since(start);
    start = CpuClock::now();
    (void)first_accepted(*packed.set, queries[q], o.k, checkpoint);
    packed_by_length[l] += cpu_since(start);
  }
  const size_t sixteen = 16;
  for (size_t l = 0; l < lengths; ++l)
    if (count_by_length[l] > 0) {
      const auto per_query = [&](const std::vector<double>& total, size_t at) {
        return total[at] / static_cast<double>(std::max<size_t>(1, count_by_length[at])) * 1e6;
      };
      std::printf(
          "    length %2zu: %6zu queries, first %7.2f us (%.2fx a 16-letter query; packed entries %7.2f us), "
          "nearest %7.2f us (%.2fx first)\n",
          l, count_by_length[l], per_query(first_by_length, l),
          per_query(first_by_length, l) / per_query(first_by_length, sixteen), per_query(packed_by_length, l),
          per_query(nearest_by_length, l), per_query(nearest_by_length, l) / per_query(first_by_length, l));
    }

  // The scan on a sample: its time per query, and the same answers.
  ReferenceSet plain(references);
  const size_t sample = std::min(o.scan_sample, queries.size());
  const Contestant& best = contestants.back();
  const double start = CpuClock::now();
  for (size_t q = 0; q < sample; ++q) differ += first_accepted(plain, queries[q], o.k, checkpoint) != best.first[q];
  const double scan = cpu_since(start) / static_cast<double>(sample);
  for (size_t q = 0; q < sample; ++q) differ += nearest_accepted(plain, queries[q], o.k, checkpoint) != best.nearest[q];
  std::printf("  scan %.1f us/query (first, %zu queries): the index in windows %.1fx the scan; %s\n", scan * 1e6,
              sample, scan / (best.windowed_best / n),
              differ == 0 ? "same answers" : (std::to_string(differ) + " DIFFER").c_str());
  std::printf("  peak RSS %.0f MB\n", static_cast<double>(peak_rss_bytes()) / 1e6);
  return differ == 0 ? 0 : 1;
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
