#include "index/packed_layout.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>

#include "index/builder.hpp"
#include "index/deletions.hpp"
#include "index/load_checks.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

namespace {

constexpr size_t buckets_per_block = 64;
// Postings per bucket the build aims at, counted by the binomial bound
// (canonical deletions leave about 60% of it): about two a bucket. Fewer
// postings per bucket cost offset bits; more cost kept key bits in every
// posting and more postings scanned per lookup. Near two the memory is
// lowest, and a whitelist of millions addresses its buckets by the whole
// variant, keeping no key bits at all.
constexpr double postings_per_bucket = 3;
// Kept key bits per posting, at most: more would cost memory for little,
// and with them a posting and its bucket within its block fit 32 bits
// while it waits to be sorted (19 + 7 + 6).
constexpr uint64_t max_kept_bits = 7;
// Postings gathered per round of the build, at most (4 bytes each while
// they wait). A round makes only the variants that can fall in its buckets
// (and a little more), so many small rounds cost little time and keep the
// peak low.
constexpr size_t postings_per_round = size_t{32} << 20;

uint64_t binomial(uint64_t n, uint64_t r) noexcept {
  if (r > n) return 0;
  uint64_t value = 1;
  for (uint64_t i = 1; i <= r; ++i) value = value * (n - r + i) / i;
  return value;
}

unsigned rank_bits(uint64_t length, size_t k) noexcept {
  return static_cast<unsigned>(std::bit_width(binomial(length, k) - 1));
}

int letter_code(char32_t c) noexcept { return dna_letter(c); }

uint64_t code_of(const Text& text) noexcept {
  uint64_t code = 0;
  for (size_t i = 0; i < text.length(); ++i) code = (code << 2) | static_cast<uint64_t>(letter_code(text[i]));
  return code;
}

size_t a_count_of(uint64_t code, uint64_t length) noexcept {
  const uint64_t mask = 0x5555555555555555ull & low_bits(2 * static_cast<unsigned>(length));
  return length - static_cast<size_t>(std::popcount((code | (code >> 1)) & mask));
}

size_t distance(size_t a, size_t b) noexcept { return a > b ? a - b : b - a; }

struct Lookup {
  uint64_t bucket;
  uint32_t kept;
  uint32_t group;
  uint32_t request;
  uint64_t variant;
  uint64_t begin, end;
};

struct Found {
  uint32_t request;
  uint32_t group;
  uint64_t code;
  bool operator<(const Found& o) const noexcept {
    return std::tie(request, group, code) < std::tie(o.request, o.group, o.code);
  }
  bool operator==(const Found& o) const noexcept = default;
};

struct PackedScratch {
  PackedDeletions variants;
  std::vector<Lookup> lookups;
  std::vector<Found> found;
  std::vector<size_t> runs;  // per found code: where its run of equal codes starts, then ends
};

}  // namespace

bool PackedLayout::suits(std::span<const Text> references, size_t k) {
  if (k > max_flex_limit || references.size() >= std::numeric_limits<uint32_t>::max()) return false;
  for (const Text& reference : references) {
    if (reference.length() <= k) continue;
    if (reference.length() > max_letters) return false;
    const bool dna = reference.visit([](auto code_points) {
      for (const auto c : code_points)
        if (dna_letter(c) < 0) return false;
      return true;
    });
    if (!dna) return false;
  }
  return true;
}

PackedLayout::Estimate PackedLayout::estimate(std::span<const uint32_t> lengths, size_t k) {
  Estimate e;
  double references = 0, posting_bits = 0;
  for (const uint32_t length : lengths) {
    if (length <= k) continue;
    references += 1;
    const auto variants = static_cast<double>(binomial(length, k));
    e.postings += variants;
    // A posting: the rank of the deleted positions, their letters, and a
    // few kept key bits (at most 7).
    posting_bits += variants * (rank_bits(length, k) + 2 * static_cast<double>(k) + 7);
  }
  // At most: canonical deletions leave about 60% of the bound on random
  // DNA, but all of it on a list without runs. Bucket offsets take about a
  // byte a bucket; sorted codes, positions and the directory 16 bytes a
  // reference. While building: the sorted (length, position, code) pairs
  // and one round of 32-bit postings.
  e.bytes = posting_bits / 8 + e.postings / postings_per_bucket * 1.2 + 16 * references;
  e.build_bytes = e.bytes + 16 * references + 4 * std::min(e.postings, static_cast<double>(postings_per_round));
  return e;
}

namespace {

// Sorts (length << 32 | position, code) pairs by length, code and position,
// in steps short enough to charge as it goes (Ctrl+C within milliseconds on
// millions of references): a counting sort by length and the code's top 16
// bits, then a sort of each small run.
template <class Pair>
void sort_by_length_and_code(std::vector<Pair>& pairs, FunctionRef<void(size_t)> charge) {
  constexpr unsigned top_bits = 16;
  const auto key = [](const Pair& p) {
    const uint64_t length = p.length_and_position >> 32;  // at most 32 letters
    const auto bits = static_cast<unsigned>(2 * length);
    const uint64_t top = bits >= top_bits ? p.code >> (bits - top_bits) : p.code << (top_bits - bits);
    return static_cast<size_t>(length << top_bits | top);
  };
  std::vector<uint32_t> starts(((size_t{PackedLayout::max_letters} + 1) << top_bits) + 1, 0);
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i % 4096 == 0) charge(4096);
    ++starts[key(pairs[i]) + 1];
  }
  for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  std::vector<Pair> sorted(pairs.size());
  std::vector<uint32_t> cursors(starts.begin(), starts.end() - 1);
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i % 4096 == 0) charge(4096);
    sorted[cursors[key(pairs[i])]++] = pairs[i];
  }
  const auto less = [](const Pair& a, const Pair& b) {
    const uint64_t la = a.length_and_position >> 32, lb = b.length_and_position >> 32;
    if (la != lb) return la < lb;
    return a.code != b.code ? a.code < b.code : a.length_and_position < b.length_and_position;
  };
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    if (starts[b + 1] - starts[b] > 1) {
      std::sort(sorted.begin() + starts[b], sorted.begin() + starts[b + 1], less);
      charge(16 * (starts[b + 1] - starts[b]));
    }
    if (b % 4096 == 0) charge(4096);
  }
  pairs = std::move(sorted);
}

}  // namespace

PackedLayout::PackedLayout(std::span<const Text> references, size_t k, unsigned threads,
                           FunctionRef<void(size_t)> charge)
    : max_flex_(k) {
  const size_t n = references.size();
  // The references' codes, sorted by (length, code, position).
  {
    struct Triple {
      uint64_t length_and_position;  // length << 32 | position
      uint64_t code;
    };
    std::vector<Triple> triples;
    for (size_t i = 0; i < n; ++i) {
      if (i % 4096 == 0) charge(4096);
      if (references[i].length() > k)
        triples.push_back({uint64_t{references[i].length()} << 32 | i, code_of(references[i])});
    }
    sort_by_length_and_code(triples, charge);
    codes_ = LargeArray<uint64_t>(triples.size());
    positions_ = LargeArray<uint32_t>(triples.size());
    uint64_t directory_total = 0;
    for (size_t i = 0; i < triples.size(); ++i) {
      const uint64_t length = triples[i].length_and_position >> 32;
      codes_[i] = triples[i].code;
      positions_[i] = static_cast<uint32_t>(triples[i].length_and_position);
      if (groups_.empty() || groups_.back().length != length) {
        groups_.push_back(Group{length, 0, 0, 0, i, 0, 0, 0});
      }
      ++groups_.back().code_count;
    }
    // Bucket and directory sizes from each group's distinct references.
    uint64_t first_bucket = 0;
    for (Group& g : groups_) {
      uint64_t distinct = 0;
      for (uint64_t i = g.first_code; i < g.first_code + g.code_count; ++i) {
        if (i % 4096 == 0) charge(4096);
        distinct += i == g.first_code || codes_[i] != codes_[i - 1];
      }
      const uint64_t variant_bits = 2 * (g.length - k);
      const double postings = static_cast<double>(distinct) * static_cast<double>(binomial(g.length, k));
      const auto wanted = static_cast<uint64_t>(std::max(0.0, std::floor(std::log2(postings / postings_per_bucket))));
      g.bucket_bits = std::min(wanted, variant_bits);
      g.kept_bits = std::min(variant_bits - g.bucket_bits, max_kept_bits);
      g.first_bucket = first_bucket;
      first_bucket += uint64_t{1} << g.bucket_bits;
      g.directory_bits = std::min<uint64_t>(std::bit_width(g.code_count), 2 * g.length);
      g.first_directory = directory_total;
      directory_total += (uint64_t{1} << g.directory_bits) + 1;
    }
    directory_ = LargeArray<uint32_t>(directory_total);
    for (const Group& g : groups_) {
      const auto shift = static_cast<unsigned>(2 * g.length - g.directory_bits);
      uint64_t i = 0;
      for (uint64_t t = 0; t <= (uint64_t{1} << g.directory_bits); ++t) {
        if (t % 4096 == 0) charge(4096);
        while (i < g.code_count && shift_right(codes_[g.first_code + i], shift) < t) ++i;
        directory_[g.first_directory + t] = static_cast<uint32_t>(i);
      }
    }
  }
  const uint64_t bucket_total =
      groups_.empty() ? 0 : groups_.back().first_bucket + (uint64_t{1} << groups_.back().bucket_bits);
  uint64_t most_kept = 0;
  payload_bits_ = 0;
  for (const Group& g : groups_) {
    payload_bits_ = std::max(payload_bits_, rank_bits(g.length, k) + 2 * static_cast<unsigned>(k));
    most_kept = std::max(most_kept, g.kept_bits);
  }
  const unsigned width = std::max(1u, payload_bits_ + static_cast<unsigned>(most_kept));
  derive_tables();

  // Each distinct reference once: the first of each run of equal codes.
  const size_t items = codes_.size();
  std::vector<uint32_t> group_of(groups_.size() > 1 ? items : 0);
  for (uint32_t g = 0; g < groups_.size() && groups_.size() > 1; ++g)
    std::fill(group_of.begin() + groups_[g].first_code,
              group_of.begin() + groups_[g].first_code + groups_[g].code_count, g);
  const auto distinct = [&](size_t i) {
    const Group& g = groups_[groups_.size() > 1 ? group_of[i] : 0];
    return i == g.first_code || codes_[i] != codes_[i - 1];
  };
  BuildPass pass(items, threads, charge);
  const size_t workers = pass.workers();
  std::vector<PackedDeletions> variants(workers);
  // each_posting(w, i, first, end, emit): emit(bucket, posting value) for
  // each variant of item i whose bucket is in [first, end).
  const auto each_posting = [&](size_t w, size_t i, uint64_t first, uint64_t end, auto&& emit) {
    if (!distinct(i)) return;
    const uint32_t gi = groups_.size() > 1 ? group_of[i] : 0;
    const Group& g = groups_[gi];
    const unsigned variant_bits = 2 * static_cast<unsigned>(g.length - k);
    const unsigned below = variant_bits - static_cast<unsigned>(g.bucket_bits);
    const uint64_t group_end = g.first_bucket + (uint64_t{1} << g.bucket_bits);
    first = std::max(first, g.first_bucket);
    end = std::min(end, group_end);
    if (first >= end) return;
    variants[w].load(codes_[i], g.length);
    const uint64_t low = shift_left(first - g.first_bucket, below);
    const uint64_t high = shift_left(end - 1 - g.first_bucket, below) | low_bits(below);
    variants[w].for_each_within(k, low, high, [&](uint64_t variant, uint64_t rank, uint64_t letters) {
      const uint64_t bucket = g.first_bucket + shift_right(variant, below);
      const uint64_t kept = shift_right(variant, below - static_cast<unsigned>(g.kept_bits)) &
                            low_bits(static_cast<unsigned>(g.kept_bits));
      emit(bucket, kept << payload_bits_ | rank << (2 * k) | letters);
    });
  };
  const auto cost = [&](size_t i) {
    return size_t{small_binomials[groups_[groups_.size() > 1 ? group_of[i] : 0].length][k]};
  };

  // Pass 1 counts the postings of each block of buckets.
  const size_t blocks = static_cast<size_t>((bucket_total + buckets_per_block - 1) / buckets_per_block);
  std::vector<std::vector<uint32_t>> counts(workers, std::vector<uint32_t>(blocks, 0));
  pass.run(
      [&](size_t w, size_t i) {
        each_posting(w, i, 0, bucket_total,
                     [&](uint64_t bucket, uint64_t) { ++counts[w][bucket / buckets_per_block]; });
      },
      cost);
  block_starts_ = LargeArray<uint64_t>(blocks + 1);
  uint64_t total = 0, widest = 0;
  for (size_t b = 0; b < blocks; ++b) {
    block_starts_[b] = total;
    uint64_t block = 0;
    for (size_t w = 0; w < workers; ++w) block += counts[w][b];
    total += block;
    widest = std::max(widest, block);
  }
  block_starts_[blocks] = total;
  postings_ = BitArray(total, width);
  bucket_starts_ = BitArray(bucket_total + 1, static_cast<unsigned>(std::bit_width(widest)));

  // Then rounds, each over a run of partitions (2^partition_bits buckets,
  // whole blocks): every worker makes all its variants again and appends
  // those of the round's partitions to its slice of each partition (the
  // counts say where), as the bucket within the partition and the posting
  // in 32 bits. That is a few thousand append points per worker, each
  // written in order, where writing each posting straight to its block
  // missed the cache nearly every time. Each partition is then sorted into
  // its buckets by counting, in cache, and its postings written in order.
  // Memory stays at one round's postings beside the index.
  const unsigned partition_bits =
      std::min(32u - width, 16u);  // at least 6: the posting and its bucket in a block fit 32 bits
  const size_t blocks_per_partition = size_t{1} << (partition_bits - 6);
  const size_t partitions = (blocks + blocks_per_partition - 1) / blocks_per_partition;
  const auto partition_start = [&](size_t p) { return block_starts_[std::min(p * blocks_per_partition, blocks)]; };
  std::vector<std::vector<uint64_t>> cursors(workers, std::vector<uint64_t>(partitions, 0));
  for (size_t w = 0; w < workers; ++w)
    for (size_t b = 0; b < blocks; ++b) cursors[w][b / blocks_per_partition] += counts[w][b];
  counts = {};
  std::vector<uint32_t> gathered;
  std::vector<uint64_t> starts((size_t{1} << partition_bits) + 1);
  const uint64_t within = low_bits(partition_bits);
  for (size_t first = 0; first < partitions;) {
    size_t last = first + 1;
    while (last < partitions && partition_start(last + 1) - partition_start(first) <= postings_per_round) ++last;
    const uint64_t base = partition_start(first);
    gathered.assign(static_cast<size_t>(partition_start(last) - base), 0);
    // Each worker's slice of each partition: counts become cursors.
    for (size_t p = first; p < last; ++p) {
      uint64_t at = partition_start(p) - base;
      for (size_t w = 0; w < workers; ++w) at += std::exchange(cursors[w][p], at);
    }
    const uint64_t first_bucket = uint64_t{first} << partition_bits;
    const uint64_t end_bucket = std::min<uint64_t>(uint64_t{last} << partition_bits, bucket_total);
    pass.run(
        [&](size_t w, size_t i) {
          uint64_t* at = cursors[w].data();
          each_posting(w, i, first_bucket, end_bucket, [&](uint64_t bucket, uint64_t value) {
            if (bucket >= first_bucket && bucket < end_bucket)  // so by construction; kept for the writes' sake
              gathered[static_cast<size_t>(at[bucket >> partition_bits]++)] =
                  static_cast<uint32_t>((bucket & within) << width | value);
          });
        },
        cost);
    for (size_t p = first; p < last; ++p) {
      const uint64_t start = partition_start(p);
      const auto begin = static_cast<size_t>(start - base), end = static_cast<size_t>(partition_start(p + 1) - base);
      const uint64_t partition_first_bucket = uint64_t{p} << partition_bits;
      const auto buckets = static_cast<size_t>(std::min<uint64_t>(within + 1, bucket_total - partition_first_bucket));
      charge(end - begin + buckets);
      std::fill(starts.begin(), starts.begin() + static_cast<ptrdiff_t>(buckets) + 1, 0);
      for (size_t e = begin; e < end; ++e) ++starts[(gathered[e] >> width) + 1];
      for (size_t j = 1; j <= buckets; ++j) starts[j] += starts[j - 1];
      // Bucket starts are kept less their block's start.
      for (size_t j = 0; j < buckets; ++j) {
        const uint64_t bucket = partition_first_bucket + j;
        bucket_starts_.set(static_cast<size_t>(bucket),
                           start + starts[j] - block_starts_[static_cast<size_t>(bucket / buckets_per_block)]);
      }
      for (size_t e = begin; e < end; ++e)
        postings_.set(static_cast<size_t>(start + starts[gathered[e] >> width]++), gathered[e] & low_bits(width));
    }
    first = last;
  }
  gathered = {};
  bucket_starts_.set(bucket_total, total - block_starts_[static_cast<size_t>(bucket_total / buckets_per_block)]);
}

void PackedLayout::derive_tables() {
  unrank_.assign(groups_.size(), {});
  const size_t k = max_flex_;
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    const uint64_t length = groups_[gi].length;
    std::vector<uint32_t>& table = unrank_[gi];
    table.assign(size_t{1} << rank_bits(length, k), std::numeric_limits<uint32_t>::max());
    // Every k-subset of [0, length), by the combinatorial number system.
    uint32_t p[max_flex_limit + 1] = {};
    const auto walk = [&](auto& self, uint32_t from, size_t depth) -> void {
      if (depth == k) {
        uint64_t rank = 0;
        uint32_t packed = 0;
        for (size_t j = 0; j < k; ++j) {
          rank += small_binomials[p[j]][j + 1];
          packed |= p[j] << (6 * j);
        }
        table[rank] = packed;
        return;
      }
      for (uint32_t q = from; q < length; ++q) {
        p[depth] = q;
        self(self, q + 1, depth + 1);
      }
    };
    walk(walk, 0, 0);
  }
}

void PackedLayout::candidates(const Text& query, size_t query_a_count, size_t limit, std::vector<uint32_t>& out) const {
  const Request request{&query, query_a_count, limit};
  Scratch<std::vector<size_t>> ends;
  candidates(std::span(&request, 1), out, *ends);
}

void PackedLayout::candidates(std::span<const Request> requests, std::vector<uint32_t>& out,
                              std::vector<size_t>& ends) const {
  out.clear();
  ends.assign(requests.size(), 0);
  const size_t k = max_flex_;
  Scratch<PackedScratch> borrowed;
  PackedScratch& s = *borrowed;
  s.lookups.clear();
  s.found.clear();
  for (uint32_t r = 0; r < requests.size(); ++r) {
    const Text& query = *requests[r].query;
    const size_t query_length = query.length();
    bool loaded = false;
    for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
      const Group& g = groups_[gi];
      if (g.length + k < query_length || g.length > query_length + k) continue;
      if (!loaded) s.variants.load(query), loaded = true;
      const unsigned below = 2 * static_cast<unsigned>(g.length - k) - static_cast<unsigned>(g.bucket_bits);
      s.variants.for_each(query_length + k - g.length, [&](uint64_t variant, uint64_t, uint64_t) {
        s.lookups.push_back({g.first_bucket + shift_right(variant, below),
                             static_cast<uint32_t>(shift_right(variant, below - static_cast<unsigned>(g.kept_bits)) &
                                                   low_bits(static_cast<unsigned>(g.kept_bits))),
                             gi, r, variant, 0, 0});
      });
    }
  }
  // Sweeps over the lookups of every request at once, each fetching ahead
  // so that the misses of neighbouring lookups overlap: bucket bounds
  // (fetched `ahead` lookups early), then the postings, fetched as soon as
  // a lookup's start is known, so that by the postings' sweep most are in
  // cache; then the reference codes. Many requests make long sweeps, whose
  // loads come at the memory's throughput rather than its latency.
  constexpr size_t ahead = 16;
  const auto start_of = [&](uint64_t bucket) {
    return block_starts_[static_cast<size_t>(bucket / buckets_per_block)] +
           bucket_starts_.get(static_cast<size_t>(bucket));
  };
  const size_t lookup_count = s.lookups.size();
  for (size_t i = 0; i < lookup_count; ++i) {
    if (i + ahead < lookup_count) {
      const uint64_t b = s.lookups[i + ahead].bucket;
      __builtin_prefetch(&block_starts_[static_cast<size_t>(b / buckets_per_block)]);
      bucket_starts_.prefetch(static_cast<size_t>(b));
    }
    Lookup& l = s.lookups[i];
    const uint64_t b = l.bucket;
    l.begin = start_of(b);
    // The next bucket's start: in the same block but for the last bucket.
    l.end = (b + 1) % buckets_per_block != 0 ? block_starts_[static_cast<size_t>(b / buckets_per_block)] +
                                                   bucket_starts_.get(static_cast<size_t>(b + 1))
                                             : start_of(b + 1);
    if (l.end > l.begin) postings_.prefetch(static_cast<size_t>(l.begin));
  }
  const uint64_t payload_mask = low_bits(payload_bits_);
  const unsigned width = postings_.width();
  const bool narrow = width <= 56;
  const uint64_t value_mask = low_bits(width);
  const unsigned char* posting_bytes = postings_.bytes_data();
  const unsigned letter_bits = 2 * static_cast<unsigned>(k);
  for (size_t i = 0; i < lookup_count; ++i) {
    const Lookup& l = s.lookups[i];
    const Group& g = groups_[l.group];
    const std::vector<uint32_t>& unrank = unrank_[l.group];
    const size_t query_a_count = requests[l.request].a_count;
    const auto decode = [&](uint64_t value) {
      const uint64_t payload = value & payload_mask;
      const uint64_t rank = payload >> letter_bits;
      if (rank >= unrank.size() || unrank[rank] == std::numeric_limits<uint32_t>::max()) return;
      const uint32_t subset = unrank[rank];
      uint64_t code = l.variant, length = g.length - k;
      for (size_t j = 0; j < k; ++j) {
        const uint64_t at = (subset >> (6 * j)) & 63;
        const uint64_t letter = (payload >> (2 * j)) & 3;
        const auto tail = static_cast<unsigned>(2 * (length - at));
        code = shift_left(shift_right(code, tail), tail + 2) | letter << tail | (code & low_bits(tail));
        ++length;
      }
      if (distance(a_count_of(code, g.length), query_a_count) > k) return;
      // A query near a reference finds it through most of its variants,
      // mostly one after another: those repeats are dropped at once.
      const Found f{l.request, l.group, code};
      const size_t found = s.found.size();
      for (size_t back = 1; back <= std::min<size_t>(found, 4); ++back)
        if (s.found[found - back] == f) return;
      s.found.push_back(f);
    };
    // Most postings of a bucket differ in the kept key bits: only the
    // others are decoded.
    if (narrow) {
      uint64_t bit = l.begin * width;
      for (uint64_t p = l.begin; p < l.end; ++p, bit += width) {
        uint64_t word;
        std::memcpy(&word, posting_bytes + (bit >> 3), sizeof word);
        const uint64_t value = (word >> (bit & 7)) & value_mask;
        if ((value >> payload_bits_) == l.kept) decode(value);
      }
    } else {
      for (uint64_t p = l.begin; p < l.end; ++p) {
        const uint64_t value = postings_.get(static_cast<size_t>(p));
        if ((value >> payload_bits_) == l.kept) decode(value);
      }
    }
  }
  std::sort(s.found.begin(), s.found.end());
  s.found.erase(std::unique(s.found.begin(), s.found.end()), s.found.end());
  const auto directory_at = [&](const Found& f) {
    const Group& g = groups_[f.group];
    return static_cast<size_t>(g.first_directory +
                               shift_right(f.code, static_cast<unsigned>(2 * g.length - g.directory_bits)));
  };
  // Each found code's run of equal codes, in three sweeps whose misses
  // overlap: the directory (fetched ahead) gives where to search, the
  // search finds the run, the run gives the positions.
  const size_t found = s.found.size();
  s.runs.resize(2 * found);
  for (size_t i = 0; i < found; ++i) {
    if (i + ahead < found) __builtin_prefetch(&directory_[directory_at(s.found[i + ahead])]);
    const Group& g = groups_[s.found[i].group];
    const size_t d = directory_at(s.found[i]);
    s.runs[2 * i] = static_cast<size_t>(g.first_code) + directory_[d];
    s.runs[2 * i + 1] = static_cast<size_t>(g.first_code) + directory_[d + 1];
    __builtin_prefetch(codes_.data() + s.runs[2 * i]);
  }
  for (size_t i = 0; i < found; ++i) {
    const uint64_t* begin = codes_.data() + s.runs[2 * i];
    const uint64_t* end = codes_.data() + s.runs[2 * i + 1];
    const uint64_t* it = std::lower_bound(begin, end, s.found[i].code);
    s.runs[2 * i] = static_cast<size_t>(it - codes_.data());
    __builtin_prefetch(positions_.data() + s.runs[2 * i]);
  }
  // The found codes are in request order: each request's positions follow
  // the previous one's.
  size_t i = 0;
  for (uint32_t r = 0; r < requests.size(); ++r) {
    const size_t first = out.size();
    for (; i < found && s.found[i].request == r; ++i) {
      // Every reference holding this code, lowest position first.
      for (size_t at = s.runs[2 * i]; at < s.runs[2 * i + 1] && codes_[at] == s.found[i].code; ++at) {
        const uint32_t position = positions_[at];
        if (position >= requests[r].limit) break;
        out.push_back(position);
      }
    }
    std::sort(out.begin() + static_cast<ptrdiff_t>(first), out.end());
    ends[r] = out.size();
  }
}

size_t PackedLayout::memory_bytes() const noexcept {
  size_t unrank = 0;
  for (const auto& table : unrank_) unrank += 4 * table.capacity();
  return block_starts_.bytes() + bucket_starts_.bytes() + postings_.bytes() + codes_.bytes() + positions_.bytes() +
         directory_.bytes() + unrank + groups_.capacity() * sizeof(Group);
}

void PackedLayout::save(SectionSink& sink) const {
  std::vector<uint64_t> groups;
  for (const Group& g : groups_)
    for (const uint64_t field : {g.length, g.bucket_bits, g.kept_bits, g.first_bucket, g.first_code, g.code_count,
                                 g.directory_bits, g.first_directory})
      groups.push_back(field);
  sink.put_array<uint64_t>("packed.groups", groups);
  sink.put_scalar<uint32_t>("packed.payload_bits", payload_bits_);
  sink.put_array<uint64_t>("packed.block_starts", block_starts_.view());
  bucket_starts_.save(sink, "packed.bucket_starts");
  postings_.save(sink, "packed.postings");
  sink.put_array<uint64_t>("packed.codes", codes_.view());
  sink.put_array<uint32_t>("packed.positions", positions_.view());
  sink.put_array<uint32_t>("packed.directory", directory_.view());
}

PackedLayout PackedLayout::load(SectionSource& source, std::span<const Text> references, size_t k, unsigned threads,
                                FunctionRef<void(size_t)> charge) {
  const auto fail = [](const std::string& what) { throw IndexFormatError("packed index: " + what); };
  PackedLayout layout;
  layout.max_flex_ = k;
  if (k > max_flex_limit) fail("max_flex out of range");
  const std::span<const uint64_t> groups = source.array<uint64_t>("packed.groups");
  if (groups.size() % 8 != 0) fail("groups section is not whole groups");
  layout.payload_bits_ = source.scalar<uint32_t>("packed.payload_bits");
  const std::span<const uint64_t> block_starts = source.array<uint64_t>("packed.block_starts");
  layout.bucket_starts_ = BitArray::load(source, "packed.bucket_starts");
  layout.postings_ = BitArray::load(source, "packed.postings");
  const std::span<const uint64_t> codes = source.array<uint64_t>("packed.codes");
  const std::span<const uint32_t> positions = source.array<uint32_t>("packed.positions");
  const std::span<const uint32_t> directory = source.array<uint32_t>("packed.directory");

  // Groups: lengths increasing within (k, 32], buckets and codes and
  // directories back to back.
  uint64_t next_bucket = 0, next_code = 0, next_directory = 0, widest_kept = 0;
  for (size_t i = 0; i < groups.size(); i += 8) {
    const Group g{groups[i],     groups[i + 1], groups[i + 2], groups[i + 3],
                  groups[i + 4], groups[i + 5], groups[i + 6], groups[i + 7]};
    if (g.length <= k || g.length > max_letters ||
        (!layout.groups_.empty() && g.length <= layout.groups_.back().length))
      fail("group lengths out of order or range");
    const uint64_t variant_bits = 2 * (g.length - k);
    if (g.bucket_bits > variant_bits || g.bucket_bits > 40 || g.kept_bits > variant_bits - g.bucket_bits ||
        g.kept_bits > max_kept_bits)
      fail("group bit widths out of range");
    if (g.first_bucket != next_bucket || g.first_code != next_code || g.first_directory != next_directory ||
        g.code_count == 0 || g.directory_bits > 2 * g.length || g.directory_bits > 40)
      fail("groups not back to back");
    next_bucket += uint64_t{1} << g.bucket_bits;
    next_code += g.code_count;
    next_directory += (uint64_t{1} << g.directory_bits) + 1;
    widest_kept = std::max(widest_kept, g.kept_bits);
    layout.groups_.push_back(g);
  }
  uint64_t payload_needed = 0;
  for (const Group& g : layout.groups_)
    payload_needed = std::max<uint64_t>(payload_needed, rank_bits(g.length, k) + 2 * k);
  if (layout.payload_bits_ != payload_needed ||
      layout.postings_.width() != std::max<uint64_t>(1, payload_needed + widest_kept))
    fail("posting width does not match the groups");
  if (next_code != codes.size() || positions.size() != codes.size() || directory.size() != next_directory)
    fail("codes, positions or directory do not match the groups");

  // Bucket bounds: a base every 64 buckets, offsets within the block.
  // Bases increasing from 0 to the postings' end; within a block, offsets
  // from 0, increasing, at most the next base's distance. Then every
  // bucket's start is at most the next one's and within the postings, with
  // no sum that can wrap. The last bucket ends at the postings' end.
  const uint64_t buckets = next_bucket;
  const size_t blocks = static_cast<size_t>((buckets + buckets_per_block - 1) / buckets_per_block);
  if (block_starts.size() != blocks + 1 || layout.bucket_starts_.size() != buckets + 1)
    fail("bucket bounds do not match the bucket count");
  if (block_starts[0] != 0 || block_starts[blocks] != layout.postings_.size())
    fail("bucket bounds do not span the postings");
  const BitArray& offsets = layout.bucket_starts_;
  check_in_chunks(
      blocks + 1, threads, charge,
      [&](size_t begin, size_t end) {
        bool bad = false;
        for (size_t block = begin; block < std::min(end, blocks); ++block)
          bad |= block_starts[block] > block_starts[block + 1];
        if (bad) fail("bucket bounds not increasing");
        for (size_t block = begin; block < end; ++block) {
          const uint64_t first = uint64_t{block} * buckets_per_block;
          if (first > buckets) break;
          const uint64_t last = std::min(first + buckets_per_block, buckets + 1);
          const uint64_t room = block < blocks ? block_starts[block + 1] - block_starts[block] : 0;
          uint64_t previous = offsets.get(static_cast<size_t>(first));
          if (previous != 0) fail("a block's first bucket does not start at its base");
          for (uint64_t b = first + 1; b < last; ++b) {
            const uint64_t offset = offsets.get(static_cast<size_t>(b));
            bad |= offset < previous || offset > room;
            previous = offset;
          }
          if (bad) fail("bucket bounds not increasing");
        }
      },
      load_check_chunk / buckets_per_block);
  if (block_starts[static_cast<size_t>(buckets / buckets_per_block)] + offsets.get(static_cast<size_t>(buckets)) !=
      layout.postings_.size())
    fail("the last bucket does not end at the postings' end");

  // Directories: each from 0 to its group's code count, increasing.
  for (const Group& g : layout.groups_) {
    const size_t d0 = static_cast<size_t>(g.first_directory);
    if (directory[d0] != 0 || directory[d0 + (size_t{1} << g.directory_bits)] != g.code_count)
      fail("directory does not span its group");
  }
  const auto group_parts = [&](size_t begin, size_t end, auto first_of, auto count_of, auto&& part) {
    for (uint32_t gi = 0; gi < layout.groups_.size(); ++gi) {
      const Group& g = layout.groups_[gi];
      const size_t from = std::max<size_t>(begin, static_cast<size_t>(first_of(g)));
      const size_t to = std::min<size_t>(end, static_cast<size_t>(first_of(g) + count_of(g)));
      if (from < to) part(g, from, to);
    }
  };
  check_in_chunks(directory.size(), threads, charge, [&](size_t begin, size_t end) {
    bool bad = false;
    group_parts(
        begin, end, [](const Group& g) { return g.first_directory; },
        [](const Group& g) { return (uint64_t{1} << g.directory_bits) + 1; },
        [&](const Group& g, size_t from, size_t to) {
          const size_t last =
              std::min<size_t>(to, static_cast<size_t>(g.first_directory + (uint64_t{1} << g.directory_bits)));
          for (size_t d = from; d < last; ++d) bad |= directory[d] > directory[d + 1];
        });
    if (bad) fail("directory not increasing");
  });

  // Codes: sorted, lowest position first among equals, found by the
  // directory, every reference longer than k exactly once, and each its
  // reference's. Two passes, both reading their arrays in order: one over
  // the codes notes which code claims each position, one over the
  // references checks that each longer than k is claimed, by a code of its
  // own length and letters. As many codes as such references, each claimed:
  // no position can be claimed twice, nor a shorter reference at all.
  // (Following each code to its reference instead cost a few cache misses a
  // code, most of a load.)
  if (codes.size() > references.size()) fail("not one code per reference");  // and each code's number fits 32 bits
  constexpr uint32_t unclaimed = std::numeric_limits<uint32_t>::max();
  std::vector<std::atomic<uint32_t>> claim(references.size());
  check_in_chunks(references.size(), threads, charge, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) claim[r].store(unclaimed, std::memory_order_relaxed);
  });
  check_in_chunks(codes.size(), threads, charge, [&](size_t begin, size_t end) {
    group_parts(
        begin, end, [](const Group& g) { return g.first_code; }, [](const Group& g) { return g.code_count; },
        [&](const Group& g, size_t from, size_t to) {
          const auto shift = static_cast<unsigned>(2 * g.length - g.directory_bits);
          const uint64_t runs = uint64_t{1} << g.directory_bits;
          const size_t d0 = static_cast<size_t>(g.first_directory);
          for (size_t i = from; i < to; ++i) {
            const uint32_t position = positions[i];
            if (position >= references.size()) fail("positions not each reference once");
            claim[position].store(static_cast<uint32_t>(i), std::memory_order_relaxed);
            const uint64_t j = i - g.first_code;
            if (j > 0 && (codes[i] < codes[i - 1] || (codes[i] == codes[i - 1] && position < positions[i - 1])))
              fail("codes not sorted");
            const uint64_t t = shift_right(codes[i], shift);
            if (t >= runs || directory[d0 + t] > j || directory[d0 + t + 1] <= j)
              fail("directory does not find a code");
          }
        });
  });
  std::atomic<size_t> indexed{0};
  check_in_chunks(references.size(), threads, charge, [&](size_t begin, size_t end) {
    size_t count = 0;
    for (size_t r = begin; r < end; ++r) {
      // Each code is a cache miss of its own: fetched a few references ahead.
      constexpr size_t ahead = 16;
      if (r + ahead < end) {
        const uint32_t later = claim[r + ahead].load(std::memory_order_relaxed);
        if (later < codes.size()) __builtin_prefetch(&codes[later]);
      }
      const Text& reference = references[r];
      if (reference.length() <= k) continue;
      ++count;
      const uint32_t i = claim[r].load(std::memory_order_relaxed);
      if (i == unclaimed) fail("positions not each reference once");
      const Group* g = nullptr;
      for (const Group& candidate : layout.groups_)
        if (i >= candidate.first_code && i - candidate.first_code < candidate.code_count) g = &candidate;
      if (g == nullptr || g->length != reference.length()) fail("a code is not its reference's");
      uint64_t code = 0;
      bool dna = true;
      reference.visit([&](auto code_points) {
        for (const auto c : code_points) {
          const int letter = letter_code(c);
          dna &= letter >= 0;
          code = code << 2 | static_cast<uint64_t>(letter & 3);
        }
      });
      if (!dna || code != codes[i]) fail("a code is not its reference's");
    }
    indexed.fetch_add(count, std::memory_order_relaxed);
  });
  if (indexed.load() != codes.size()) fail("not one code per reference");
  layout.block_starts_ = LargeArray<uint64_t>::borrow(block_starts);
  layout.codes_ = LargeArray<uint64_t>::borrow(codes);
  layout.positions_ = LargeArray<uint32_t>::borrow(positions);
  layout.directory_ = LargeArray<uint32_t>::borrow(directory);
  layout.derive_tables();
  return layout;
}

}  // namespace mendseqs
