// The packed layout's build: the code tables, then each distinct
// reference's variants gathered in rounds of partitions, sorted into their
// homes in cache and written block after block, on every building thread.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/deletions.hpp"
#include "index/packed_codes.hpp"
#include "index/packed_layout.hpp"
#include "index/packed_scratch.hpp"
#include "support/build_pass.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

using namespace packed;

namespace {

// Homes per partition of a round, at most 2^12: a partition is sorted
// into its homes in cache. Counted per 2^10 homes in the first pass, for
// the tables' sizes.
constexpr unsigned partition_bits_most = 12;
constexpr unsigned count_bits_most = 10;
constexpr unsigned sort_bits_most = 16;
constexpr unsigned sort_key_bits_most = 5;

}  // namespace

PackedLayout::PackedLayout(std::span<const Text> references, size_t k, unsigned threads,
                           FunctionRef<void(size_t)> charge)
    : max_flex_(k), reference_count_(references.size()), bucket_bits_(default_bucket_bits) {
  const size_t n = references.size();
  position_bits_ = static_cast<unsigned>(std::max(1, std::bit_width(std::max<size_t>(n, 2) - 1)));
  // Groups by length, each reference's code and group.
  std::array<uint8_t, max_letters + 1> group_of_length;
  group_of_length.fill(no_group);
  std::vector<uint64_t> codes(n, 0);
  std::vector<uint8_t> group_of(n, no_group);
  for (size_t i = 0; i < n; ++i) {
    if (i % 4096 == 0) charge(4096);
    const size_t length = references[i].length();
    if (length <= k) continue;
    group_of_length[length] = 0;
    codes[i] = code_of(references[i]);
  }
  for (size_t length = k + 1; length <= max_letters; ++length) {
    if (group_of_length[length] == no_group) continue;
    group_of_length[length] = static_cast<uint8_t>(groups_.size());
    Group g;
    g.length = length;
    g.payload_bits = payload_bits_of(length, k, bucket_bits_);
    groups_.push_back(std::move(g));
  }
  for (size_t i = 0; i < n; ++i)
    if (references[i].length() > k) group_of[i] = group_of_length[references[i].length()];
  derive_unrank();
  choose_fingerprint_match();
  build_code_tables(codes, group_of, charge);
  fingerprint_ = sampled_fingerprint(references, k);

  // Each distinct reference once: the lowest position holding its code
  // (the first entry of its code in the code table).
  // Their codes, and beside them their groups and buckets (group <<
  // bucket_bits | bucket of the lowest position), 9 bytes a reference
  // through the whole build.
  struct Distinct {
    std::vector<uint64_t> codes;
    std::vector<uint8_t> tags;
    size_t size() const noexcept { return codes.size(); }
    uint64_t code(size_t i) const noexcept { return codes[i]; }
    uint32_t group(size_t i) const noexcept { return tags[i] >> default_bucket_bits; }
    uint32_t bucket(size_t i) const noexcept { return tags[i] & low_bits(default_bucket_bits); }
  } distinct;
  static_assert(max_letters < (size_t{1} << (8 - default_bucket_bits)), "a group and a bucket in a byte");
  {
    mendseqs::Scratch<Scratch> borrowed;
    Scratch& s = *borrowed;
    constexpr size_t batch = 4096;
    for (size_t begin = 0; begin < n; begin += batch) {
      charge(batch);
      const size_t end = std::min(n, begin + batch);
      s.found.clear();
      s.which.clear();
      for (size_t i = begin; i < end; ++i) {
        if (group_of[i] == no_group) continue;
        s.which.push_back(static_cast<uint32_t>(s.found.size()));
        s.found.push_back({codes[i], group_of[i], 0, static_cast<uint32_t>(i)});  // request: the position
      }
      positions_of(s, s.which, [&](uint32_t f, size_t position) {
        Scratch::Found& found = s.found[f];
        // The first position of the code decides.
        if (position == found.request) {
          const uint64_t bucket = (uint64_t{found.request} << default_bucket_bits) / std::max<size_t>(n, 1);
          distinct.codes.push_back(found.code);
          distinct.tags.push_back(static_cast<uint8_t>(found.group << default_bucket_bits | bucket));
        }
        return false;
      });
    }
  }
  codes = {};
  group_of = {};

  // The postings' tables, sized from the distinct references and the
  // variants a sample of them makes.
  std::vector<uint64_t> distinct_per_group(groups_.size(), 0), sampled(groups_.size(), 0),
      sampled_variants(groups_.size(), 0);
  {
    const size_t step = std::max<size_t>(1, distinct.size() / 4096);
    for (size_t i = 0; i < distinct.size(); ++i) {
      const uint32_t gi = distinct.group(i);
      ++distinct_per_group[gi];
      if (i % step != 0 && sampled[gi] >= 64) continue;
      ++sampled[gi];
      each_reference_variant(k, distinct.code(i), static_cast<unsigned>(groups_[gi].length), 0, ~uint64_t{0},
                             [&](uint64_t, uint32_t, uint32_t) { ++sampled_variants[gi]; });
    }
  }
  struct Partition {
    uint32_t group;
    uint64_t first_home, end_home;
    uint64_t first_count;  // its first counted range
  };
  std::vector<Partition> partitions;
  std::vector<unsigned> partition_bits(groups_.size()), count_bits(groups_.size());
  std::vector<unsigned> sort_key_bits(groups_.size());
  std::vector<size_t> first_partition(groups_.size() + 1), first_counted(groups_.size() + 1);
  size_t counted = 0;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
    Group& g = groups_[gi];
    const double postings = static_cast<double>(distinct_per_group[gi]) * static_cast<double>(sampled_variants[gi]) /
                            static_cast<double>(std::max<uint64_t>(1, sampled[gi]));
    const Shape shape = shape_for(postings, 2 * static_cast<unsigned>(g.length - k), g.payload_bits);
    g.postings = BlockTable(shape.homes, shape.width, split_postings_);
    g.key_bits = shape.key_bits;
    // Partitions are sorted by counting on home and the key's top bits
    // (about as many values as a home has entries, 2^16 counters at most),
    // then each home's few out of order put right.
    sort_key_bits[gi] = std::min(shape.key_bits, sort_key_bits_most);
    partition_bits[gi] = std::min({partition_bits_most, 64 - shape.width, sort_bits_most - sort_key_bits[gi]});
    // In 32 bits when that leaves partitions of 2^8 homes or more.
    if (shape.width + 8 <= 32) partition_bits[gi] = std::min(partition_bits[gi], 32 - shape.width);
    count_bits[gi] = std::min(count_bits_most, partition_bits[gi]);
    first_partition[gi] = partitions.size();
    first_counted[gi] = counted;
    const uint64_t size = uint64_t{1} << partition_bits[gi];
    for (uint64_t h = 0; h < shape.homes; h += size)
      partitions.push_back({gi, h, std::min(shape.homes, h + size), counted + (h >> count_bits[gi])});
    counted += static_cast<size_t>((shape.homes + (uint64_t{1} << count_bits[gi]) - 1) >> count_bits[gi]);
  }
  first_partition[groups_.size()] = partitions.size();
  first_counted[groups_.size()] = counted;

  BuildPass pass(distinct.size(), threads, charge);
  const size_t workers = pass.workers();
  // The variants whose homes (within group g) are in [low, high): a range
  // of codes, empty when low_variant > high_variant.
  struct VariantRange {
    uint64_t low_variant = 1, high_variant = 0;
  };
  const auto variants_of_homes = [&](const Group& g, uint64_t low, uint64_t high) {
    VariantRange range;
    if (low >= high) return range;
    const auto bits = static_cast<unsigned>(2 * (g.length - k));
    const unsigned below = 64 - bits;
    const uint64_t first_key = g.postings.first_key_of(low);
    if (bits < 64 && first_key > ~uint64_t{0} - low_bits(below)) return range;
    range.low_variant = bits == 64 ? first_key : shift_right(first_key + low_bits(below), below);
    range.high_variant =
        high >= g.postings.homes() ? low_bits(bits) : shift_right(g.postings.first_key_of(high) - 1, below);
    return range;
  };
  // each_posting(i, range, emit): emit(home, posting value) for each variant
  // of distinct reference i within the range.
  const auto each_posting = [&](size_t i, const VariantRange& range, auto&& emit) {
    const Group& g = groups_[distinct.group(i)];
    if (range.low_variant > range.high_variant) return;
    const auto bits = static_cast<unsigned>(2 * (g.length - k));
    each_reference_variant(k, distinct.code(i), static_cast<unsigned>(g.length), range.low_variant, range.high_variant,
                           [&](uint64_t variant, uint32_t rank, uint32_t letters) {
                             const uint64_t home = g.postings.home_of(aligned(variant, bits));
                             emit(home, (variant & low_bits(g.key_bits)) << g.payload_bits |
                                            (uint64_t{rank} << (2 * k) | letters) << default_bucket_bits |
                                            distinct.bucket(i));
                           });
  };
  const auto cost = [&](size_t i) { return size_t{small_binomials[groups_[distinct.group(i)].length][k]}; };

  std::vector<VariantRange> whole(groups_.size()), in_round(groups_.size());
  for (uint32_t gi = 0; gi < groups_.size(); ++gi)
    whole[gi] = variants_of_homes(groups_[gi], 0, groups_[gi].postings.homes());
  // Pass 1 counts each worker's postings per 2^10 homes.
  std::vector<std::vector<uint32_t>> counts(workers, std::vector<uint32_t>(counted, 0));
  pass.run(
      [&](size_t w, size_t i) {
        const uint32_t gi = distinct.group(i);
        uint32_t* c = counts[w].data() + first_counted[gi];
        const unsigned shift = count_bits[gi];
        each_posting(i, whole[gi], [&](uint64_t home, uint64_t) { ++c[home >> shift]; });
      },
      cost);
  std::vector<uint64_t> totals(counted, 0);
  for (size_t c = 0; c < counted; ++c)
    for (size_t w = 0; w < workers; ++w) totals[c] += counts[w][c];
  // Each table's size: the homes' entries end at most where a home of a
  // counted range, put at its range's end, is followed by every later
  // entry of its table.
  size_t words = 0;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
    Group& g = groups_[gi];
    const uint64_t slots_per_block = g.postings.slots_per_block();
    uint64_t bound = g.postings.homes() * slots_per_block, later = 0;
    for (size_t c = first_counted[gi + 1]; c-- > first_counted[gi];) {
      later += totals[c];
      const uint64_t end_home =
          std::min(g.postings.homes(), static_cast<uint64_t>(c - first_counted[gi] + 1) << count_bits[gi]);
      bound = std::max(bound, end_home * slots_per_block + later);
      posting_count_ += static_cast<size_t>(totals[c]);
    }
    g.postings.adopt((bound + slots_per_block - 1) / slots_per_block, {});
    g.posting_word = words;
    words += static_cast<size_t>(g.postings.word_count());
  }
  posting_words_ = LargeArray<uint64_t>(words);
  // Its pages faulted in on every building thread: the first touch of
  // fresh memory can cost more than the writing itself (a virtual
  // machine's host backing each huge page on demand took some 18 ms of
  // processor time a page), and here it is shared out.
  {
    constexpr size_t words_per_page = (size_t{2} << 20) / sizeof(uint64_t);  // a huge page, or 512 small ones
    const size_t pages = (words + words_per_page - 1) / words_per_page;
    BuildPass touching(pages, threads, charge, 1);
    touching.run(
        [&](size_t, size_t page) {
          // Every 4 KiB page of it, in case the kernel gives no huge one.
          for (size_t w = page * words_per_page; w < std::min(words, (page + 1) * words_per_page); w += 512)
            posting_words_[w] = 0;
        },
        [](size_t) { return size_t{4096}; });
  }

  // Then rounds, each over a run of partitions: every worker makes its
  // variants again and appends those of the round's partitions to its
  // slice of each partition (the counts say where), as the home within the
  // partition and the posting. That is a few thousand append points per
  // worker, each written in order, where writing each posting straight to
  // its block would miss the cache nearly every time. Each partition is
  // then sorted into its homes in cache, the homes are placed one after
  // another, and every partition's postings written in order.
  const auto partition_total = [&](size_t p, size_t w) {
    const Partition& part = partitions[p];
    const unsigned shift = count_bits[part.group];
    uint64_t total = 0;
    for (uint64_t h = part.first_home; h < part.end_home; h += uint64_t{1} << shift)
      total += counts[w][static_cast<size_t>(first_counted[part.group] + (h >> shift))];
    return total;
  };
  std::vector<std::vector<uint64_t>> cursors(workers, std::vector<uint64_t>(partitions.size() + 1, 0));
  std::vector<uint64_t> partition_start(partitions.size() + 1, 0);
  for (size_t p = 0; p < partitions.size(); ++p) {
    uint64_t total = 0;
    for (size_t w = 0; w < workers; ++w) total += cursors[w][p] = partition_total(p, w);
    partition_start[p + 1] = partition_start[p] + total;
  }
  counts = {};
  std::vector<uint64_t> ends(groups_.size(), 0);  // where each table's placed homes end so far
  std::vector<uint32_t> home_counts;
  std::vector<uint64_t> home_firsts;
  // A gathered posting is its home within the partition and its value, in
  // 32 bits where every group's fit (the common case, twice the postings
  // a round), else in 64.
  const auto rounds = [&](auto& gathered) {
    using Entry = typename std::remove_reference_t<decltype(gathered)>::value_type;
    const size_t round_postings = postings_per_round * 8 / sizeof(Entry);
    std::vector<std::vector<Entry>> sorted;
    // The buffer at its largest round's size from the start: growing it
    // later would hold two at once.
    size_t largest = 0;
    for (size_t first = 0; first < partitions.size();) {
      size_t last = first + 1;
      while (last < partitions.size() && partition_start[last + 1] - partition_start[first] <= round_postings) ++last;
      largest = std::max(largest, static_cast<size_t>(partition_start[last] - partition_start[first]));
      first = last;
    }
    gathered.resize(largest);
    for (size_t first = 0; first < partitions.size();) {
      size_t last = first + 1;
      while (last < partitions.size() && partition_start[last + 1] - partition_start[first] <= round_postings) ++last;
      const uint64_t base = partition_start[first];
      // Every slot of the round is written before it is read: the buffer is
      // not cleared between rounds.
      // Each worker's slice of each partition: counts become cursors.
      for (size_t p = first; p < last; ++p) {
        uint64_t at = partition_start[p] - base;
        for (size_t w = 0; w < workers; ++w) at += std::exchange(cursors[w][p], at);
      }
      // The round's homes, per group: partitions first .. last - 1.
      for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
        const size_t p0 = std::max(first, first_partition[gi]), p1 = std::min(last, first_partition[gi + 1]);
        in_round[gi] = p0 < p1 ? variants_of_homes(groups_[gi], partitions[p0].first_home, partitions[p1 - 1].end_home)
                               : VariantRange{};
      }
      pass.run(
          [&](size_t w, size_t i) {
            const uint32_t gi = distinct.group(i);
            // The round's partitions of this group.
            const size_t p0 = std::max(first, first_partition[gi]), p1 = std::min(last, first_partition[gi + 1]);
            if (p0 >= p1) return;
            const unsigned shift = partition_bits[gi];
            const unsigned width = groups_[gi].postings.width();
            uint64_t* at = cursors[w].data() + first_partition[gi];
            each_posting(i, in_round[gi], [&](uint64_t home, uint64_t value) {
              const uint64_t within = home & low_bits(shift);
              gathered[static_cast<size_t>(at[home >> shift]++)] =
                  static_cast<Entry>(shift_left(within, width) | value);
            });
          },
          cost);
      // Each partition's postings sorted by home, in place, and its homes'
      // counts.
      uint64_t round_homes = 0;
      std::vector<uint64_t> home_offset(last - first + 1, 0);
      for (size_t p = first; p < last; ++p) {
        round_homes += partitions[p].end_home - partitions[p].first_home;
        home_offset[p - first + 1] = round_homes;
      }
      home_counts.assign(static_cast<size_t>(round_homes), 0);
      home_firsts.assign(static_cast<size_t>(round_homes), 0);
      BuildPass sorting(last - first, threads, charge, 1);
      sorted.resize(sorting.workers());
      std::vector<std::vector<uint32_t>> sort_counts(sorting.workers());
      sorting.run(
          [&](size_t w, size_t q) {
            const size_t p = first + q;
            const Partition& part = partitions[p];
            const Group& g = groups_[part.group];
            const unsigned width = g.postings.width();
            // Sorted on (home, top of the key).
            const unsigned top = sort_key_bits[part.group];
            const unsigned sort_shift = width - top;
            const auto begin = static_cast<size_t>(partition_start[p] - base);
            const auto end = static_cast<size_t>(partition_start[p + 1] - base);
            const size_t homes = static_cast<size_t>(part.end_home - part.first_home);
            std::vector<uint32_t>& c = sort_counts[w];
            c.assign((homes << top) + 1, 0);
            for (size_t e = begin; e < end; ++e) ++c[static_cast<size_t>(shift_right(gathered[e], sort_shift)) + 1];
            for (size_t b = 1; b < c.size(); ++b) c[b] += c[b - 1];
            uint32_t* home_count = home_counts.data() + home_offset[q];
            for (size_t h = 0; h < homes; ++h) home_count[h] = c[(h + 1) << top] - c[h << top];
            std::vector<Entry>& into = sorted[w];
            into.resize(end - begin);
            for (size_t e = begin; e < end; ++e)
              into[c[static_cast<size_t>(shift_right(gathered[e], sort_shift))]++] = gathered[e];
            if (top < g.key_bits)  // nearly sorted: insertion sort
              for (size_t e = 1; e < into.size(); ++e)
                for (size_t f = e; f > 0 && into[f - 1] > into[f]; --f) std::swap(into[f - 1], into[f]);
            std::copy(into.begin(), into.end(), gathered.begin() + static_cast<ptrdiff_t>(begin));
          },
          [&](size_t q) { return static_cast<size_t>(partition_start[first + q + 1] - partition_start[first + q]); });
      // The homes placed in order (each at its block's first free slot, or
      // after the home before it), with their headers.
      for (size_t p = first; p < last; ++p) {
        const Partition& part = partitions[p];
        Group& g = groups_[part.group];
        uint64_t* table = posting_words_.data() + g.posting_word;
        for (uint64_t h = part.first_home; h < part.end_home; ++h) {
          const size_t at = static_cast<size_t>(home_offset[p - first] + (h - part.first_home));
          home_firsts[at] = g.postings.first_slot(h, ends[part.group]);
          ends[part.group] = home_firsts[at] + home_counts[at];
          g.postings.write_header(table, h, home_firsts[at], home_counts[at]);
        }
      }
      // Every partition's postings written, home after home.
      sorting.run(
          [&](size_t, size_t q) {
            const size_t p = first + q;
            const Partition& part = partitions[p];
            const Group& g = groups_[part.group];
            const unsigned width = g.postings.width();
            uint64_t* table = posting_words_.data() + g.posting_word;
            const auto begin = static_cast<size_t>(partition_start[p] - base);
            const auto end = static_cast<size_t>(partition_start[p + 1] - base);
            if (begin == end) return;
            const size_t h0 = static_cast<size_t>(home_offset[q]);
            const size_t homes = static_cast<size_t>(part.end_home - part.first_home);
            // The words this partition shares with its neighbours: those of
            // its first slot and of its last.
            size_t first_home = homes, last_home = 0;
            for (size_t h = 0; h < homes; ++h)
              if (home_counts[h0 + h] != 0) first_home = std::min(first_home, h), last_home = h;
            size_t first_word, last_word;
            g.postings.shared_words(home_firsts[h0 + first_home],
                                    home_firsts[h0 + last_home] + home_counts[h0 + last_home] - 1, first_word,
                                    last_word);
            uint64_t block;
            unsigned j;
            size_t e = begin;
            for (size_t h = 0; h < homes; ++h) {
              const uint32_t count = home_counts[h0 + h];
              if (count == 0) continue;
              g.postings.locate(home_firsts[h0 + h], block, j);
              for (uint32_t c = 0; c < count; ++c, ++e) {
                if (j == g.postings.slots_per_block()) ++block, j = 0;
                g.postings.put_entry(table, block, j, gathered[e] & low_bits(width), first_word, last_word);
                ++j;
              }
            }
          },
          [&](size_t q) { return static_cast<size_t>(partition_start[first + q + 1] - partition_start[first + q]); });
      first = last;
    }
  };
  bool narrow = true;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) narrow &= partition_bits[gi] + groups_[gi].postings.width() <= 32;
  if (narrow) {
    std::vector<uint32_t> gathered;
    rounds(gathered);
  } else {
    std::vector<uint64_t> gathered;
    rounds(gathered);
  }
}

}  // namespace mendseqs
