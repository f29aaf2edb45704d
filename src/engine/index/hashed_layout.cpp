#include "index/hashed_layout.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "index/bounded.hpp"
#include "index/deletions.hpp"
#include "index/load_checks.hpp"
#include "support/build_pass.hpp"
#include "support/distance.hpp"
#include "support/scratch.hpp"

namespace mendseqs {
namespace {

// Buckets are sorted a partition at a time while building: at most this
// many partitions, so that writing to all of them at once stays within
// cache, and at most 2^16 buckets in each, the 16-bit bucket numbers kept
// per entry meanwhile.
constexpr size_t max_partitions = 1024;
constexpr uint64_t length_salt = 0xD6E8FEB86659FD93ull;
// Tags read past a bucket's end, up to the next multiple of four.
constexpr size_t tag_padding = 4;

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

// Calls found(e) for each e in [begin, end) whose tag may equal `tag`, in
// increasing e, until found returns true. Four tags at a time: lanes of a
// 64-bit word that are zero after xoring with the tag repeated; a lane above
// a zero one may be reported falsely (the borrow), which found's own check
// sorts out.
template <class F>
void each_tag_match(const uint16_t* tags, uint32_t begin, uint32_t end, uint16_t tag, F&& found) {
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
}

uint32_t position_mask_for(size_t n) noexcept {
  const int bits = std::bit_width(n == 0 ? 0 : n - 1);
  return bits >= 32 ? ~uint32_t{0} : (uint32_t{1} << bits) - 1;
}

}  // namespace

struct HashedLayout::Lookup {
  uint32_t bucket;
  uint32_t tag;        // the key's bits stored in an entry beside its position
  uint16_t short_tag;  // the key's bits in the tags array
  uint32_t reference_length;
  uint32_t begin, end;  // the bucket's entries, once read
};

HashedLayout::HashedLayout(std::span<const Text> references, const ReferenceFacts& facts, size_t max_flex,
                           double variant_bound, unsigned threads, FunctionRef<void(size_t)> charge)
    : max_flex_(max_flex) {
  const size_t n = references.size();
  const size_t k = max_flex;
  const std::span<const uint32_t> lengths = facts.lengths();
  position_mask_ = position_mask_for(n);
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
  // stable, so every bucket stays in increasing position.
  const size_t buckets_per_partition =
      std::clamp<size_t>((bucket_count_ + max_partitions - 1) / max_partitions, 2048, size_t{1} << 16);
  const size_t partitions = (bucket_count_ + buckets_per_partition - 1) / buckets_per_partition;
  BuildPass pass(n, threads, charge);
  const size_t workers = pass.workers();
  std::vector<HashedDeletions> variants(workers);
  const auto each_key = [&](size_t w, size_t i, auto&& use) {
    if (lengths[i] <= k) return;
    variants[w].load(references[i]);
    variants[w].for_each(k, [&](uint64_t hash) { use(key_of(hash, lengths[i])); });
  };
  const auto cost = [&](size_t i) { return size_t{lengths[i]} + 1; };
  std::vector<std::vector<uint64_t>> cursors(workers, std::vector<uint64_t>(partitions, 0));
  pass.run(
      [&](size_t w, size_t i) {
        each_key(w, i, [&](uint64_t key) { ++cursors[w][bucket_of(key) / buckets_per_partition]; });
      },
      cost);
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
  pass.run(
      [&](size_t w, size_t i) {
        each_key(w, i, [&](uint64_t key) {
          const size_t bucket = bucket_of(key);
          const uint64_t at = cursors[w][bucket / buckets_per_partition]++;
          entries_[at] = (static_cast<uint32_t>(key) & ~position_mask_) | static_cast<uint32_t>(i);
          tags_[at] = tag_of(key);
          local_buckets[at] = static_cast<uint16_t>(bucket % buckets_per_partition);
        });
      },
      cost);
  offsets_ = LargeArray<uint32_t>(bucket_count_ + 1);
  offsets_[bucket_count_] = static_cast<uint32_t>(total);
  BuildPass sort_pass(partitions, threads, charge, 1);
  std::vector<std::vector<uint32_t>> starts(sort_pass.workers()), sorted(sort_pass.workers());
  std::vector<std::vector<uint16_t>> sorted_tags(sort_pass.workers());
  sort_pass.run(
      [&](size_t w, size_t p) {
        starts[w].assign(buckets_per_partition + 1, 0);
        const auto begin = static_cast<uint32_t>(slices[p]), end = static_cast<uint32_t>(slices[p + 1]);
        for (uint32_t e = begin; e < end; ++e) ++starts[w][local_buckets[e] + 1];
        for (size_t b = 1; b <= buckets_per_partition; ++b) starts[w][b] += starts[w][b - 1];
        const size_t first_bucket = p * buckets_per_partition;
        for (size_t b = 0; b < buckets_per_partition && first_bucket + b < bucket_count_; ++b)
          offsets_[first_bucket + b] = begin + starts[w][b];
        sorted[w].resize(end - begin);
        sorted_tags[w].resize(end - begin);
        for (uint32_t e = begin; e < end; ++e) {
          const uint32_t to = starts[w][local_buckets[e]]++;
          sorted[w][to] = entries_[e];
          sorted_tags[w][to] = tags_[e];
        }
        std::copy(sorted[w].begin(), sorted[w].end(), entries_.begin() + begin);
        std::copy(sorted_tags[w].begin(), sorted_tags[w].end(), tags_.begin() + begin);
      },
      [&](size_t p) { return static_cast<size_t>(slices[p + 1] - slices[p]); });
}

void HashedLayout::lookups_of(const Text& query, const ReferenceFacts& facts, std::vector<Lookup>& lookups) const {
  const size_t k = max_flex_;
  const size_t query_length = query.length();
  lookups.clear();
  const size_t low = std::max(k + 1, query_length - std::min(query_length, k));
  Scratch<HashedDeletions> variants;
  bool loaded = false;
  const std::vector<uint32_t>& lengths = facts.distinct_lengths();
  for (auto it = std::lower_bound(lengths.begin(), lengths.end(), low); it != lengths.end() && *it <= query_length + k;
       ++it) {
    if (!loaded) variants->load(query), loaded = true;
    const uint32_t reference_length = *it;
    variants->for_each(query_length + k - reference_length, [&](uint64_t hash) {
      const uint64_t key = key_of(hash, reference_length);
      lookups.push_back({static_cast<uint32_t>(bucket_of(key)), static_cast<uint32_t>(key) & ~position_mask_,
                         tag_of(key), reference_length, 0, 0});
    });
  }
  // Almost every lookup is a cache miss on a large index: fetch a few ahead.
  constexpr size_t ahead = 8;
  for (size_t i = 0; i < lookups.size(); ++i) {
    if (i + ahead < lookups.size()) __builtin_prefetch(&offsets_[lookups[i + ahead].bucket]);
    // Read from the file: within the entries whatever it holds.
    const BoundedRange entries =
        bounded_range(offsets_[lookups[i].bucket], offsets_[lookups[i].bucket + 1], entries_.size());
    lookups[i].begin = static_cast<uint32_t>(entries.begin);
    lookups[i].end = static_cast<uint32_t>(entries.end);
  }
}

// found(position) for each entry of the lookup's bucket whose key bits and
// filters match, in increasing position, until found returns true.
template <class F>
void HashedLayout::each_match(const Lookup& lookup, size_t query_a_count, const ReferenceFacts& facts,
                              F&& found) const {
  const std::span<const uint32_t> lengths = facts.lengths(), a_counts = facts.a_counts();
  each_tag_match(tags_.data(), lookup.begin, lookup.end, lookup.short_tag, [&](uint32_t e) {
    const uint32_t entry = entries_[e];
    const uint32_t position = entry & position_mask_;
    if (tags_[e] != lookup.short_tag || (entry & ~position_mask_) != lookup.tag ||
        position >= lengths.size() ||  // read from the file: a position past the list names none
        lengths[position] != lookup.reference_length || distance<size_t>(a_counts[position], query_a_count) > max_flex_)
      return false;
    return found(position);
  });
}

std::optional<size_t> HashedLayout::first_accepted(const Text& query, size_t query_a_count, size_t limit,
                                                   const ReferenceFacts& facts,
                                                   FunctionRef<bool(size_t)> accepts) const {
  Scratch<std::vector<Lookup>> borrowed_lookups;
  Scratch<std::vector<uint32_t>> borrowed_candidates;
  std::vector<Lookup>& lookups = *borrowed_lookups;
  lookups_of(query, facts, lookups);
  if (lookups.empty()) return std::nullopt;

  // Each lookup contributes its first match below the best candidate so
  // far: entries of a bucket are in increasing position, and a variant
  // shared with the query means the LCS test passes. So the candidates come
  // out strictly decreasing, and the last is the answer unless its hash
  // only collided. (A position past the bound ends the bucket: the filters
  // of later entries need not be read.)
  std::vector<uint32_t>& candidates = *borrowed_candidates;
  candidates.clear();
  const std::span<const uint32_t> lengths = facts.lengths(), a_counts = facts.a_counts();
  size_t bound = limit;
  constexpr size_t ahead = 8;
  for (size_t i = 0; i < lookups.size(); ++i) {
    if (i + ahead < lookups.size()) __builtin_prefetch(&tags_[lookups[i + ahead].begin]);
    const Lookup& lookup = lookups[i];
    each_tag_match(tags_.data(), lookup.begin, lookup.end, lookup.short_tag, [&](uint32_t e) {
      const uint32_t entry = entries_[e];
      const uint32_t position = entry & position_mask_;
      if (position >= bound) return true;  // and so within the list, whatever the file held
      if (tags_[e] != lookup.short_tag || (entry & ~position_mask_) != lookup.tag ||
          lengths[position] != lookup.reference_length ||
          distance<size_t>(a_counts[position], query_a_count) > max_flex_)
        return false;
      candidates.push_back(position);
      bound = position;
      return true;
    });
  }
  if (candidates.empty()) return std::nullopt;
  const uint32_t first = candidates.back();
  if (accepts(first)) return first;

  // A collision: the pruning above may have hidden the answer behind it.
  // No candidate below `first` exists (it would have been taken), so list
  // every one above it, in order.
  candidates.clear();
  for (const Lookup& lookup : lookups)
    each_match(lookup, query_a_count, facts, [&](uint32_t position) {
      if (position >= limit) return true;
      if (position > first) candidates.push_back(position);
      return false;
    });
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (const uint32_t position : candidates)
    if (accepts(position)) return position;
  return std::nullopt;
}

void HashedLayout::each_candidate(const Text& query, size_t query_a_count, const ReferenceFacts& facts,
                                  FunctionRef<void(size_t)> found) const {
  Scratch<std::vector<Lookup>> borrowed_lookups;
  std::vector<Lookup>& lookups = *borrowed_lookups;
  lookups_of(query, facts, lookups);
  for (const Lookup& lookup : lookups)
    each_match(lookup, query_a_count, facts, [&](uint32_t position) {
      found(position);
      return false;
    });
}

void HashedLayout::save(SectionSink& sink) const {
  sink.put_scalar<uint64_t>("hashed.bucket_count", bucket_count_);
  sink.put_array<uint32_t>("hashed.offsets", offsets_.view());
  sink.put_array<uint32_t>("hashed.entries", entries_.view());
  sink.put_array<uint16_t>("hashed.tags", tags_.view());
}

HashedLayout HashedLayout::load(SectionSource& source, const ReferenceFacts& facts, size_t max_flex, unsigned threads,
                                FunctionRef<void(size_t)> charge) {
  const size_t reference_count = facts.size();
  HashedLayout layout;
  layout.max_flex_ = max_flex;
  layout.position_mask_ = position_mask_for(reference_count);
  const uint64_t buckets = source.scalar<uint64_t>("hashed.bucket_count");
  const std::span<const uint32_t> offsets = source.array<uint32_t>("hashed.offsets");
  const std::span<const uint32_t> entries = source.array<uint32_t>("hashed.entries");
  const std::span<const uint16_t> tags = source.array<uint16_t>("hashed.tags");
  if (buckets == 0 || buckets >= std::numeric_limits<uint32_t>::max() || offsets.size() != buckets + 1)
    throw IndexFormatError("hashed.offsets: not one more than the bucket count");
  if (tags.size() != entries.size() + tag_padding) throw IndexFormatError("hashed.tags: not one per entry");
  if (offsets[0] != 0 || offsets[buckets] != entries.size())
    throw IndexFormatError("hashed.offsets: do not span the entries");
  // The offsets and entries themselves are bounded where a lookup reads
  // them (index/bounded.hpp): a damaged one costs answers, never a read out
  // of range, and checking them here would cost a pass over the index.
  (void)threads;
  (void)charge;
  layout.bucket_count_ = static_cast<size_t>(buckets);
  layout.offsets_ = LargeArray<uint32_t>::borrow(offsets);
  layout.entries_ = LargeArray<uint32_t>::borrow(entries);
  layout.tags_ = LargeArray<uint16_t>::borrow(tags);
  return layout;
}

}  // namespace mendseqs
