#include "index/candidate_index.hpp"

#include <algorithm>
#include <atomic>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "support/scratch.hpp"

namespace mendseqs {
namespace {

// A query deletes up to 2k characters; beyond this the neighbourhoods are
// astronomically large anyway and the cost model never gets here.
constexpr size_t max_deletions = 64;

// Estimated costs on one core, from the engine benchmark (bench/index_bench):
// a variant indexed (made twice, partitioned, sorted into its bucket); a
// lookup in an index that fits in cache, and in one far larger (a cache
// miss or two); a query's fixed work; a character hashed; a character of
// a reference scanned by the block kernels.
constexpr double seconds_per_indexed_variant = 40e-9;
constexpr double seconds_per_cached_lookup = 20e-9;
constexpr double seconds_per_lookup = 80e-9;
constexpr double cached_index_bytes = 8 << 20;
constexpr double seconds_per_query = 300e-9;
constexpr double seconds_per_hashed_character = 1e-9;
constexpr double seconds_per_scanned_character = 0.03e-9;  // about 0.5 ns for a 16-letter reference
// The index must win by this factor, so an estimate off by less never
// makes a call slower than the scan.
constexpr double required_gain = 2.0;

// Buckets are sized so that their bounds stay small enough to be mostly in
// cache; a lookup compares the 16-bit tags of a bucket's entries four at a
// time, and reads an entry only when its tag matches.
constexpr double variants_per_bucket = 4;
// Buckets are sorted a partition at a time while building (see the
// constructor): at most this many partitions, so that writing to all of
// them at once stays within cache, and at most 2^16 buckets in each, the
// 16-bit bucket numbers kept per entry meanwhile.
constexpr size_t max_partitions = 1024;

constexpr uint64_t hash_base = 0x9E3779B97F4A7C15ull;  // odd, so powers never vanish mod 2^64
constexpr uint64_t length_salt = 0xD6E8FEB86659FD93ull;

// Mixes a variant's hash with the reference length it is looked up for, so
// the same variant of references of different lengths lands in different
// buckets; the finaliser spreads every bit over the key.
uint64_t key_of(uint64_t variant_hash, size_t reference_length) noexcept {
  uint64_t x = variant_hash + static_cast<uint64_t>(reference_length) * length_salt;
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

// 16 bits of the key that neither choose the bucket (the high 32) nor, for
// lists of 2^16 references or more, overlap the bits kept in an entry.
uint16_t tag_of(uint64_t key) noexcept { return static_cast<uint16_t>(key); }

// Tags read past a bucket's end, up to the next multiple of four.
constexpr size_t tag_padding = 4;

// Calls found(e) for each e in [begin, end) whose tag may equal `tag`, in
// increasing e, until found returns true. Four tags at a time: lanes of a
// 64-bit word that are zero after xoring with the tag repeated; a lane above
// a zero one may be reported falsely (the borrow), which found's own check
// sorts out.
template <class F>
void each_tag_match(const uint16_t* tags, uint32_t begin, uint32_t end, uint16_t tag, F&& found) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t ones = 0x0001000100010001ull, highs = 0x8000800080008000ull;
    const uint64_t repeated = tag * ones;
    for (uint32_t e = begin; e < end; e += 4) {
      uint64_t word;
      std::memcpy(&word, tags + e, sizeof word);
      const uint64_t x = word ^ repeated;
      uint64_t zero = (x - ones) & ~x & highs;
      if (end - e < 4) zero &= (uint64_t{1} << (16 * (end - e))) - 1;
      for (; zero != 0; zero &= zero - 1)
        if (found(e + static_cast<uint32_t>(std::countr_zero(zero)) / 16)) return;
    }
  } else {
    for (uint32_t e = begin; e < end; ++e)
      if (tags[e] == tag && found(e)) return;
  }
}

// n choose r as a double: counts for estimates, exact while below 2^53.
double binomial(size_t n, size_t r) noexcept {
  if (r > n) return 0;
  r = std::min(r, n - r);
  double value = 1;
  for (size_t i = 1; i <= r; ++i) value = value * static_cast<double>(n - r + i) / static_cast<double>(i);
  return std::round(value);
}

// The d-deletion variants of one text, each as the polynomial hash of what
// is left, computed from prefix hashes in O(d) per variant. Deleting any m
// characters of a run of equal ones leaves the same text, so only deletions
// that take a prefix of each run are enumerated: far fewer repeats, and no
// variant missed.
class DeletionVariants {
 public:
  void load(const Text& text) {
    length_ = text.length();
    prefix_.resize(length_ + 1);
    repeats_.resize(length_);
    while (powers_.size() <= length_) powers_.push_back(powers_.empty() ? 1 : powers_.back() * hash_base);
    text.visit([&](auto code_points) {
      uint64_t hash = 0;
      prefix_[0] = 0;
      for (size_t i = 0; i < code_points.size(); ++i) {
        hash = hash * hash_base + (static_cast<uint64_t>(code_points[i]) + 1);
        prefix_[i + 1] = hash;
        repeats_[i] = i > 0 && code_points[i] == code_points[i - 1];
      }
    });
  }

  size_t length() const noexcept { return length_; }

  template <class F>
  void for_each(size_t deletions, F&& emit) const {
    if (deletions <= length_ && deletions <= max_deletions) delete_from(0, deletions, 0, false, emit);
  }

 private:
  uint64_t segment(size_t begin, size_t end) const noexcept {
    return prefix_[end] - prefix_[begin] * powers_[end - begin];
  }

  // Extends `hash`, the hash of what is kept of [0, from), by choosing the
  // next deleted position p >= from, `left` deletions to go. Deleting p
  // when p - 1 holds the same character and was kept would repeat a
  // variant, so that choice is skipped; `previous_deleted` says whether
  // from - 1 was deleted.
  template <class F>
  void delete_from(size_t from, size_t left, uint64_t hash, bool previous_deleted, F& emit) const {
    if (left == 0) {
      emit(hash * powers_[length_ - from] + segment(from, length_));
      return;
    }
    if (left == 1) {  // the last deletion, where nearly all the variants are made: no call per variant
      for (size_t p = from; p < length_; ++p) {
        if (repeats_[p] && !(p == from && previous_deleted)) continue;
        const uint64_t kept = hash * powers_[p - from] + segment(from, p);
        emit(kept * powers_[length_ - p - 1] + segment(p + 1, length_));
      }
      return;
    }
    for (size_t p = from; p + left <= length_; ++p) {
      if (repeats_[p] && !(p == from && previous_deleted)) continue;
      delete_from(p + 1, left - 1, hash * powers_[p - from] + segment(from, p), true, emit);
    }
  }

  size_t length_ = 0;
  std::vector<uint64_t> prefix_;
  std::vector<uint8_t> repeats_;
  std::vector<uint64_t> powers_;
};

struct Lookup {
  uint32_t bucket;
  uint32_t tag;  // the key's bits stored in an entry beside its position
  uint16_t short_tag;  // the key's bits in the tags array
  uint32_t reference_length;
  uint32_t begin, end;  // the bucket's entries, once read
};

// What a query needs while it looks up its variants (support/scratch.hpp).
struct QueryScratch {
  DeletionVariants variants;
  std::vector<Lookup> lookups;
  std::vector<uint32_t> candidates;
};

size_t distance(size_t a, size_t b) noexcept { return a > b ? a - b : b - a; }

std::vector<uint32_t> distinct_lengths_above(std::span<const Text> references, size_t max_flex) {
  std::vector<uint32_t> lengths;
  for (const Text& reference : references)
    if (reference.length() > max_flex) lengths.push_back(static_cast<uint32_t>(reference.length()));
  std::sort(lengths.begin(), lengths.end());
  lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
  return lengths;
}

// Variants looked up by a query of this length: for each indexed length Lr
// within max_flex, the (Lq - Lr + k)-deletions of the query.
double lookups_for_length(const std::vector<uint32_t>& indexed_lengths, size_t max_flex, size_t query_length) {
  if (query_length < max_flex) return 0;
  const size_t low = std::max(max_flex + 1, query_length - std::min(query_length, max_flex));
  double lookups = 0;
  for (auto it = std::lower_bound(indexed_lengths.begin(), indexed_lengths.end(), low);
       it != indexed_lengths.end() && *it <= query_length + max_flex; ++it)
    lookups += binomial(query_length, query_length + max_flex - *it);
  return lookups;
}

}  // namespace

IndexPlan CandidateIndex::plan(std::span<const Text> references, intptr_t max_flex, size_t query_count,
                               size_t memory_budget_bytes, unsigned threads) {
  IndexPlan plan;
  const size_t n = references.size();
  if (max_flex < 0 || n == 0 || n >= std::numeric_limits<uint32_t>::max() ||
      2 * static_cast<size_t>(max_flex) > max_deletions)
    return plan;
  const auto k = static_cast<size_t>(max_flex);
  double characters = 0;
  for (const Text& reference : references) {
    if (reference.length() >= std::numeric_limits<uint32_t>::max()) return plan;
    characters += static_cast<double>(reference.length());
    if (reference.length() > k) plan.variants += binomial(reference.length(), k);
  }
  const double buckets = std::ceil(plan.variants / variants_per_bucket) + 1;
  // Entries and their tags, plus the 16-bit bucket numbers of the entries
  // while building; lengths, A-counts and distinct lengths per reference.
  plan.memory_bytes = 4 * (buckets + 1) + 8 * plan.variants + 12 * static_cast<double>(n) +
                      sizeof(ShortReference) * std::min<double>(static_cast<double>(n), 4.0 * k * k + 2);
  if (plan.variants >= std::numeric_limits<uint32_t>::max() ||
      plan.memory_bytes > static_cast<double>(memory_budget_bytes))
    return plan;

  const auto queries = static_cast<double>(query_count);
  const double workers = std::max(1u, threads);
  plan.scan_seconds =
      queries * std::max(characters, static_cast<double>(n) * 16) * seconds_per_scanned_character / workers;
  // Every character is hashed: twice per reference, once per query.
  const double mean_length = characters / static_cast<double>(n);
  const double lookup_seconds =
      plan.memory_bytes <= cached_index_bytes ? seconds_per_cached_lookup : seconds_per_lookup;
  const auto index_seconds = [&](double lookups) {
    return (plan.variants * seconds_per_indexed_variant + 2 * characters * seconds_per_hashed_character +
            queries * (seconds_per_query + mean_length * seconds_per_hashed_character + lookups * lookup_seconds)) /
           workers;
  };
  // Without a single lookup: a small batch against a long list ends here,
  // before anything costs more than a pass over the lengths.
  plan.index_seconds = index_seconds(0);
  if (plan.index_seconds * required_gain >= plan.scan_seconds) return plan;
  const std::vector<uint32_t> indexed = distinct_lengths_above(references, k);

  // Queries are expected to look like the references, give or take a
  // character: their lookups are estimated on up to 64 references spread
  // over the list, each read as a query as it is, less its last character,
  // and with that character doubled. First by the binomial bounds, which
  // is cheap; then, if the index may win, by counting the canonical
  // deletions themselves, which runs of one letter (common in DNA) make
  // far fewer. An enumeration too large to count is taken at its bound.
  const size_t samples = std::min<size_t>(n, 64);
  DeletionVariants variants;
  std::vector<char32_t> probe;
  const auto estimate_lookups = [&](bool count_deletions) {
    double lookups = 0;
    for (size_t sample = 0; sample < samples; ++sample) {
      const Text& reference = references[sample * n / samples];
      bool count = count_deletions;
      // Long references are only looked at through their length.
      if (count && reference.length() > 4096) count = false;
      for (const int change : {-1, 0, 1}) {
        if (!count) {
          const size_t length = change < 0 ? reference.length() - std::min<size_t>(reference.length(), 1)
                                           : reference.length() + static_cast<size_t>(change);
          if (length < k) continue;
          for (auto it = std::lower_bound(indexed.begin(), indexed.end(),
                                          std::max(k + 1, length - std::min(length, k)));
               it != indexed.end() && *it <= length + k; ++it)
            lookups += binomial(length, length + k - *it);
          continue;
        }
        probe.assign(reference.length(), 0);
        for (size_t i = 0; i < probe.size(); ++i) probe[i] = reference[i];
        if (change < 0 && !probe.empty()) probe.pop_back();
        if (change > 0) probe.push_back(probe.empty() ? U'A' : probe.back());
        const Text query{std::span<const char32_t>(probe)};
        const size_t length = query.length();
        if (length < k) continue;
        bool loaded = false;
        for (auto it = std::lower_bound(indexed.begin(), indexed.end(), std::max(k + 1, length - std::min(length, k)));
             it != indexed.end() && *it <= length + k; ++it) {
          const size_t deletions = length + k - *it;
          const double bound = binomial(length, deletions);
          if (bound > 2e4) {
            lookups += bound;
            continue;
          }
          if (!loaded) variants.load(query), loaded = true;
          variants.for_each(deletions, [&](uint64_t) { lookups += 1; });
        }
      }
    }
    return lookups / (3 * static_cast<double>(samples));
  };
  // Canonical deletions are rarely fewer than a quarter of the bound.
  plan.index_seconds = index_seconds(estimate_lookups(false) / 4);
  if (plan.index_seconds * required_gain >= plan.scan_seconds) return plan;
  plan.index_seconds = index_seconds(estimate_lookups(true));
  plan.use_index = plan.index_seconds * required_gain < plan.scan_seconds;
  return plan;
}

std::unique_ptr<CandidateIndex> CandidateIndex::build(std::span<const Text> references, intptr_t max_flex,
                                                      size_t query_count, size_t memory_budget_bytes,
                                                      Choice choice, unsigned threads,
                                                      FunctionRef<void(size_t)> charge) {
  const IndexPlan plan = CandidateIndex::plan(references, max_flex, query_count, memory_budget_bytes, threads);
  const bool fits = plan.memory_bytes > 0 && plan.memory_bytes <= static_cast<double>(memory_budget_bytes) &&
                    plan.variants < std::numeric_limits<uint32_t>::max();
  if (!(choice == Choice::always ? fits : plan.use_index)) return nullptr;
  try {
    return std::unique_ptr<CandidateIndex>(new CandidateIndex(references, max_flex, plan.variants, threads, charge));
  } catch (const std::bad_alloc&) {
    return nullptr;  // the scan needs no more memory than it already has
  } catch (const std::length_error&) {
    return nullptr;
  }
}

CandidateIndex::CandidateIndex(std::span<const Text> references, intptr_t max_flex, double variant_bound,
                               unsigned threads, FunctionRef<void(size_t)> charge)
    : max_flex_(static_cast<size_t>(max_flex)), reference_count_(references.size()) {
  double characters = 0;
  for (const Text& reference : references) characters += static_cast<double>(reference.length());
  scan_seconds_per_query_ = std::max(characters, 16.0 * static_cast<double>(reference_count_)) *
                            seconds_per_scanned_character;
  const size_t n = references.size();
  const int position_bits = std::bit_width(n - 1);
  position_mask_ = position_bits >= 32 ? ~uint32_t{0} : (uint32_t{1} << position_bits) - 1;
  lengths_.reserve(n);
  a_counts_.reserve(n);
  for (const Text& reference : references) {
    lengths_.push_back(static_cast<uint32_t>(reference.length()));
    a_counts_.push_back(static_cast<uint32_t>(count_letter_a(reference)));
  }
  indexed_lengths_ = distinct_lengths_above(references, max_flex_);
  add_short_references(references);

  bucket_count_ = static_cast<size_t>(std::ceil(variant_bound / variants_per_bucket)) + 1;

  // Two passes over the references make the same variants: the first
  // counts them per partition (a run of buckets small enough that its
  // counters and entries stay in cache), the second writes each entry to
  // its partition's slice, streaming. Each slice is then sorted by bucket in
  // cache. Placing entries straight into buckets would cost a cache miss
  // or two per entry instead.
  //
  // Each worker takes a contiguous run of references; its entries of a
  // partition go after those of the workers before it and the sort is
  // stable, so every bucket stays in increasing position. The few repeats
  // the canonical deletions leave (ABAB less A and B, or less B and A) are
  // not worth a sort per reference: a repeat is an equal entry in the same
  // bucket, never a different answer.
  const size_t buckets_per_partition =
      std::clamp<size_t>((bucket_count_ + max_partitions - 1) / max_partitions, 2048, size_t{1} << 16);
  const size_t partitions = (bucket_count_ + buckets_per_partition - 1) / buckets_per_partition;
  // No more building threads than the call was given, the processors can
  // run, or the list can keep busy.
  const size_t workers = std::max<size_t>(
      1, std::min<size_t>({threads, n / 4096 + 1, std::max(1u, std::thread::hardware_concurrency())}));
  //
  // This thread is worker 0 and charges its work to `charge`, which may
  // throw to end the call: the others then stop at their next reference
  // and are joined before the exception leaves.
  std::atomic<bool> stop{false};
  const auto each_worker = [&](auto&& work) {
    std::vector<std::exception_ptr> failures(workers);
    std::vector<std::thread> pool;
    try {
      for (size_t w = 1; w < workers; ++w) {
        const auto guarded = [&, w] {
          try {
            work(w);
          } catch (...) {  // out of memory, say: passed on to this thread
            failures[w] = std::current_exception();
            stop = true;
          }
        };
        try {
          pool.emplace_back(guarded);
        } catch (const std::system_error&) {
          guarded();  // no thread to spare: this one does it
        }
      }
      work(size_t{0});
    } catch (...) {
      stop = true;
      for (std::thread& thread : pool) thread.join();
      throw;
    }
    for (std::thread& thread : pool) thread.join();
    for (const std::exception_ptr& failure : failures)
      if (failure) std::rethrow_exception(failure);
  };
  const auto each_key = [&](size_t w, auto&& use) {
    DeletionVariants variants;
    for (size_t i = n * w / workers; i < n * (w + 1) / workers && !stop.load(std::memory_order_relaxed); ++i) {
      if (w == 0) charge(lengths_[i] + 1);
      if (lengths_[i] <= max_flex_) continue;
      variants.load(references[i]);
      variants.for_each(max_flex_, [&](uint64_t hash) { use(i, key_of(hash, lengths_[i])); });
    }
  };
  std::vector<std::vector<uint64_t>> cursors(workers, std::vector<uint64_t>(partitions, 0));
  each_worker([&](size_t w) {
    each_key(w, [&](size_t, uint64_t key) { ++cursors[w][bucket_of(key) / buckets_per_partition]; });
  });
  std::vector<uint64_t> slices(partitions + 1);
  uint64_t total = 0;
  for (size_t p = 0; p < partitions; ++p) {
    slices[p] = total;
    for (size_t w = 0; w < workers; ++w) total += std::exchange(cursors[w][p], total);
  }
  slices[partitions] = total;
  if (total >= std::numeric_limits<uint32_t>::max()) throw std::length_error("index too large");
  entries_ = LargeArray<uint32_t>(total);
  tags_ = LargeArray<uint16_t>(total + tag_padding);
  std::vector<uint16_t> local_buckets(total);
  each_worker([&](size_t w) {
    each_key(w, [&](size_t i, uint64_t key) {
      const size_t bucket = bucket_of(key);
      const uint64_t at = cursors[w][bucket / buckets_per_partition]++;
      entries_[at] = (static_cast<uint32_t>(key) & ~position_mask_) | static_cast<uint32_t>(i);
      tags_[at] = tag_of(key);
      local_buckets[at] = static_cast<uint16_t>(bucket % buckets_per_partition);
    });
  });
  offsets_ = LargeArray<uint32_t>(bucket_count_ + 1);
  offsets_[bucket_count_] = static_cast<uint32_t>(total);
  each_worker([&](size_t w) {
    std::vector<uint32_t> starts(buckets_per_partition + 1);
    std::vector<uint32_t> sorted;
    std::vector<uint16_t> sorted_tags;
    for (size_t p = partitions * w / workers; p < partitions * (w + 1) / workers; ++p) {
      const auto begin = static_cast<uint32_t>(slices[p]), end = static_cast<uint32_t>(slices[p + 1]);
      if (w == 0) charge(end - begin);
      std::fill(starts.begin(), starts.end(), 0);
      for (uint32_t e = begin; e < end; ++e) ++starts[local_buckets[e] + 1];
      for (size_t b = 1; b <= buckets_per_partition; ++b) starts[b] += starts[b - 1];
      const size_t first_bucket = p * buckets_per_partition;
      for (size_t b = 0; b < buckets_per_partition && first_bucket + b < bucket_count_; ++b)
        offsets_[first_bucket + b] = begin + starts[b];
      sorted.resize(end - begin);
      sorted_tags.resize(end - begin);
      for (uint32_t e = begin; e < end; ++e) {
        const uint32_t to = starts[local_buckets[e]]++;
        sorted[to] = entries_[e];
        sorted_tags[to] = tags_[e];
      }
      std::copy(sorted.begin(), sorted.end(), entries_.begin() + begin);
      std::copy(sorted_tags.begin(), sorted_tags.end(), tags_.begin() + begin);
    }
  });
}

void CandidateIndex::add_short_references(std::span<const Text> references) {
  // Lengths that can trip the guard for some query (below 2k) or that are
  // accepted on the filters alone (exactly k).
  const size_t short_limit = std::max(2 * max_flex_, max_flex_ + 1);
  for (size_t i = 0; i < references.size(); ++i)
    if (lengths_[i] < short_limit)
      short_.push_back({lengths_[i], a_counts_[i], static_cast<uint32_t>(i)});
  std::stable_sort(short_.begin(), short_.end(), [](const ShortReference& a, const ShortReference& b) {
    return a.length != b.length ? a.length < b.length : a.a_count < b.a_count;
  });
  // Keep the first position of each (length, A-count) pair.
  short_.erase(std::unique(short_.begin(), short_.end(),
                           [](const ShortReference& a, const ShortReference& b) {
                             return a.length == b.length && a.a_count == b.a_count;
                           }),
               short_.end());
  short_.shrink_to_fit();
}

std::optional<Decision> CandidateIndex::first_short(size_t query_length, size_t query_a_count) const {
  const size_t k = max_flex_;
  std::optional<Decision> best;
  const auto low = static_cast<uint32_t>(query_length - std::min(query_length, k));
  auto it = std::lower_bound(short_.begin(), short_.end(), low,
                             [](const ShortReference& s, uint32_t length) { return s.length < length; });
  for (; it != short_.end() && it->length <= query_length + k; ++it) {
    if (distance(it->a_count, query_a_count) > k) continue;
    const bool guard = k > std::min<size_t>(query_length, it->length);
    // Longer references that pass the guard need the LCS: the index has them.
    if (!guard && it->length != k) continue;
    if (!best || it->first < best->position) best = Decision{it->first, guard};
  }
  return best;
}

template <class QueryScratchT>
void CandidateIndex::look_up(const Text& query, QueryScratchT& scratch) const {
  const size_t k = max_flex_;
  const size_t query_length = query.length();
  scratch.lookups.clear();
  const size_t low = std::max(k + 1, query_length - std::min(query_length, k));
  bool loaded = false;
  for (auto it = std::lower_bound(indexed_lengths_.begin(), indexed_lengths_.end(), low);
       it != indexed_lengths_.end() && *it <= query_length + k; ++it) {
    if (!loaded) scratch.variants.load(query), loaded = true;
    const uint32_t reference_length = *it;
    scratch.variants.for_each(query_length + k - reference_length, [&](uint64_t hash) {
      const uint64_t key = key_of(hash, reference_length);
      scratch.lookups.push_back({static_cast<uint32_t>(bucket_of(key)), static_cast<uint32_t>(key) & ~position_mask_,
                                 tag_of(key), reference_length, 0, 0});
    });
  }
  // Almost every lookup is a cache miss on a large index: the bucket
  // bounds are fetched a few lookups ahead.
  constexpr size_t ahead = 8;
  std::vector<Lookup>& lookups = scratch.lookups;
  for (size_t i = 0; i < lookups.size(); ++i) {
    if (i + ahead < lookups.size()) __builtin_prefetch(&offsets_[lookups[i + ahead].bucket]);
    lookups[i].begin = offsets_[lookups[i].bucket];
    lookups[i].end = offsets_[lookups[i].bucket + 1];
  }
}

bool CandidateIndex::for_each_candidate(const Text& query, FunctionRef<void(size_t)> visit) const {
  const size_t k = max_flex_;
  const size_t query_length = query.length();
  const size_t query_a_count = count_letter_a(query);
  if (query_length < k) return false;
  const auto low = static_cast<uint32_t>(query_length - std::min(query_length, k));
  for (auto it = std::lower_bound(short_.begin(), short_.end(), low,
                                  [](const ShortReference& s, uint32_t length) { return s.length < length; });
       it != short_.end() && it->length <= query_length + k; ++it)
    if (it->length == k && distance(it->a_count, query_a_count) <= k) return false;

  Scratch<QueryScratch> borrowed;
  QueryScratch& scratch = *borrowed;
  look_up(query, scratch);
  std::vector<uint32_t>& candidates = scratch.candidates;
  candidates.clear();
  constexpr size_t ahead = 8;
  for (size_t i = 0; i < scratch.lookups.size(); ++i) {
    if (i + ahead < scratch.lookups.size()) __builtin_prefetch(&tags_[scratch.lookups[i + ahead].begin]);
    const Lookup& lookup = scratch.lookups[i];
    each_tag_match(tags_.data(), lookup.begin, lookup.end, lookup.short_tag, [&](uint32_t e) {
      const uint32_t entry = entries_[e];
      const uint32_t position = entry & position_mask_;
      if ((entry & ~position_mask_) == lookup.tag && lengths_[position] == lookup.reference_length &&
          distance(a_counts_[position], query_a_count) <= k)
        candidates.push_back(position);
      return false;
    });
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (const uint32_t position : candidates) visit(position);
  return true;
}

bool CandidateIndex::guard_tripped(const Text& query) const {
  // Every length that can trip the guard for some query is in the small
  // table: below k for a query of at least k letters, and within k of a
  // shorter query, so below 2k.
  const size_t k = max_flex_;
  const size_t query_length = query.length();
  const size_t query_a_count = count_letter_a(query);
  const auto low = static_cast<uint32_t>(query_length - std::min(query_length, k));
  for (auto it = std::lower_bound(short_.begin(), short_.end(), low,
                                  [](const ShortReference& s, uint32_t length) { return s.length < length; });
       it != short_.end() && it->length <= query_length + k; ++it)
    if (distance(it->a_count, query_a_count) <= k && k > std::min<size_t>(query_length, it->length)) return true;
  return false;
}

std::optional<Decision> CandidateIndex::first_decisive(const Text& query, FunctionRef<bool(size_t)> accepts) const {
  const size_t k = max_flex_;
  const size_t query_length = query.length();
  const size_t query_a_count = count_letter_a(query);
  const std::optional<Decision> short_decision = first_short(query_length, query_a_count);
  // A query shorter than k trips the guard with every reference that passes
  // the filters, and the small table holds every length that can.
  if (query_length < k) return short_decision;
  const size_t limit = short_decision ? short_decision->position : reference_count_;

  Scratch<QueryScratch> borrowed;
  QueryScratch& scratch = *borrowed;
  look_up(query, scratch);
  std::vector<Lookup>& lookups = scratch.lookups;
  if (lookups.empty()) return short_decision;
  constexpr size_t ahead = 8;  // the entries too are fetched a few lookups ahead

  const auto passes_filters = [&](uint32_t position, uint32_t reference_length) {
    return lengths_[position] == reference_length && distance(a_counts_[position], query_a_count) <= k;
  };

  // Each lookup contributes its first entry below the best candidate so
  // far: entries of a bucket are in increasing position, and a variant
  // shared with the query means the LCS test passes. So the candidates come
  // out strictly decreasing, and the last is the answer unless its hash
  // only collided.
  std::vector<uint32_t>& candidates = scratch.candidates;
  candidates.clear();
  size_t bound = limit;
  for (size_t i = 0; i < lookups.size(); ++i) {
    if (i + ahead < lookups.size()) __builtin_prefetch(&tags_[lookups[i + ahead].begin]);
    const Lookup& lookup = lookups[i];
    each_tag_match(tags_.data(), lookup.begin, lookup.end, lookup.short_tag, [&](uint32_t e) {
      const uint32_t entry = entries_[e];
      const uint32_t position = entry & position_mask_;
      if (position >= bound) return true;
      if (tags_[e] != lookup.short_tag || (entry & ~position_mask_) != lookup.tag ||
          !passes_filters(position, lookup.reference_length))
        return false;
      candidates.push_back(position);
      bound = position;
      return true;
    });
  }
  if (candidates.empty()) return short_decision;
  const uint32_t first = candidates.back();
  if (accepts(first)) return Decision{first, false};

  // A collision: the pruning above may have hidden the answer behind it.
  // No candidate below `first` exists (it would have been taken), so list
  // every one above it, in order.
  candidates.clear();
  for (const Lookup& lookup : lookups)
    each_tag_match(tags_.data(), lookup.begin, lookup.end, lookup.short_tag, [&](uint32_t e) {
      const uint32_t entry = entries_[e];
      const uint32_t position = entry & position_mask_;
      if (position >= limit) return true;
      if (position > first && tags_[e] == lookup.short_tag && (entry & ~position_mask_) == lookup.tag &&
          passes_filters(position, lookup.reference_length))
        candidates.push_back(position);
      return false;
    });
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (const uint32_t position : candidates)
    if (accepts(position)) return Decision{position, false};
  return short_decision;
}

double CandidateIndex::lookups_for(size_t query_length) const {
  return lookups_for_length(indexed_lengths_, max_flex_, query_length);
}

bool CandidateIndex::prefers_scan(const Text& query) const {
  // The binomial bound counts up to about twice the lookups a DNA query
  // makes; scanning must win even so.
  return lookups_for(query.length()) * seconds_per_lookup > 2 * scan_seconds_per_query_;
}

size_t CandidateIndex::memory_bytes() const noexcept {
  return sizeof(*this) + offsets_.bytes() + entries_.bytes() + tags_.bytes() +
         4 * (lengths_.capacity() + a_counts_.capacity() + indexed_lengths_.capacity()) +
         sizeof(ShortReference) * short_.capacity();
}

size_t index_memory_budget() {
  constexpr uint64_t gib = uint64_t{1} << 30;
  uint64_t available = 0;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string name; meminfo >> name;) {
    uint64_t kib = 0;
    if (name == "MemAvailable:" && meminfo >> kib) {
      available = kib * 1024;
      break;
    }
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  uint64_t budget = available > 0 ? available / 2 : gib;  // unknown: a modest guess
  if constexpr (sizeof(void*) < 8) budget = std::min(budget, gib);
  return static_cast<size_t>(std::min<uint64_t>(budget, std::numeric_limits<size_t>::max()));
}

}  // namespace mendseqs
