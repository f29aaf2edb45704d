#include "index/packed_layout.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "index/deletions.hpp"
#include "index/load_checks.hpp"
#include "kernels/lcs.hpp"
#include "support/build_pass.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

namespace {

// Entries a home holds on average, over the slots of its block. Fewer
// waste blocks; more make homes spill into the next block (a second cache
// line) and push later homes out of their own.
constexpr double fill = 0.9;
// Postings gathered per round of the build, at most, at 8 bytes each
// while they wait (twice as many at 4 bytes). Every round walks every
// reference, if only to find that most of its variants fall elsewhere, so
// rounds are few; and each holds the peak up by its buffer.
constexpr size_t postings_per_round = size_t{16} << 20;
// Homes per partition of a round, at most 2^12: a partition is sorted
// into its homes in cache. Counted per 2^10 homes in the first pass, for
// the tables' sizes.
constexpr unsigned partition_bits_most = 12;
constexpr unsigned count_bits_most = 10;
constexpr unsigned sort_bits_most = 16;
constexpr unsigned sort_key_bits_most = 5;
// Lookups and probes fetched this far ahead of their use; their ranges
// read half as far ahead, so that a spill into the next block is fetched
// too before it is needed.
constexpr size_t ahead = 32;
constexpr size_t range_ahead = 16;

// A software pipeline over `count` items: item j fetched at step j, its
// range read at step j + range_ahead (fetching what else it spans), its
// entries used at step j + ahead; short lists fetch everything before
// using anything.
template <class Fetch, class ReadRange, class Use>
void sweep(size_t count, Fetch&& fetch, ReadRange&& read_range, Use&& use) {
  for (size_t step = 0; step < count + ahead; ++step) {
    if (step < count) fetch(step);
    if (step >= range_ahead && step - range_ahead < count) read_range(step - range_ahead);
    if (step >= ahead) use(step - ahead);
  }
}
constexpr uint8_t no_group = 0xFF;

unsigned rank_bits(uint64_t length, size_t k) noexcept {
  return static_cast<unsigned>(std::bit_width(uint64_t{small_binomials[length][k]} - 1));  // k < length <= 32
}

// The low bits of a posting's payload: where the reference's lowest
// position lies among 2^bucket_bits even parts of the list (saved with
// the index: a file written with another width still loads). The first
// accepted reference is among the codes of the lowest part found, so only
// those are looked up in the code table (about half).
constexpr unsigned default_bucket_bits = 1;
constexpr unsigned most_bucket_bits = 3;

unsigned payload_bits_of(uint64_t length, size_t k, unsigned bucket_bits) noexcept {
  return rank_bits(length, k) + 2 * static_cast<unsigned>(k) + bucket_bits;
}

uint64_t code_of(const Text& text) noexcept {
  uint64_t code = 0;
  for (size_t i = 0; i < text.length(); ++i) code = (code << 2) | (upper_base_code(text[i]) & 3u);
  return code;
}

// Set bits, without the instruction baseline x86-64 lacks (std::popcount
// would be a library call there, on the lookups' hottest path).
unsigned ones(uint64_t x) noexcept {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

size_t a_count_of(uint64_t code, uint64_t length) noexcept {
  const uint64_t mask = 0x5555555555555555ull & low_bits(2 * static_cast<unsigned>(length));
  return length - ones((code | (code >> 1)) & mask);
}

// A's among the k letters a posting puts back (two bits each, A = 0).
constexpr auto a_counts_of_letters = [] {
  std::array<uint8_t, 64> counts{};
  for (size_t letters = 0; letters < 64; ++letters)
    for (size_t j = 0; j < 3; ++j) counts[letters] += ((letters >> (2 * j)) & 3) == 0;
  return counts;
}();

// A bijection of the codes of `bits` bits (2 to 64) whose high bits depend
// on every bit of the code: homes of the code table stay even however the
// references resemble one another.
uint64_t mixed(uint64_t x, unsigned bits) noexcept {
  const uint64_t mask = low_bits(bits);
  const unsigned shift = (bits + 1) / 2;
  x = (x * 0x9E3779B97F4A7C15ull) & mask;  // odd: one to one modulo 2^bits
  x ^= x >> shift;
  x = (x * 0xBF58476D1CE4E5B9ull) & mask;
  x ^= x >> shift;
  return x;
}

// A key of `bits` bits aligned to the top of 64, as block tables take it.
uint64_t aligned(uint64_t key, unsigned bits) noexcept { return shift_left(key, 64 - bits); }

struct Shape {
  uint64_t homes = 0;
  unsigned key_bits = 0;
  unsigned width = 0;
};

// The table for `entries` entries of `payload` bits keyed by `bits`-bit
// keys that takes the least memory: the more homes, the fewer key bits an
// entry keeps (the homes must be at least 2^(bits - key bits), so that
// those bits tell the keys of one home apart), but the more blocks.
Shape shape_for(double entries, unsigned bits, unsigned payload) {
  Shape best;
  const unsigned usable = BlockTable::block_bits - BlockTable::header_bits;
  for (unsigned key_bits = bits > 31 ? bits - 31 : 0; key_bits <= bits; ++key_bits) {
    const unsigned width = std::max(1u, key_bits + payload);
    if (width > 64) break;
    const uint64_t fewest = uint64_t{1} << (bits - key_bits);
    const unsigned slots = usable / width;  // whole entries a block holds
    const double wanted = std::ceil(std::max(entries, 1.0) / (fill * static_cast<double>(slots)));
    const uint64_t homes = std::max(fewest, static_cast<uint64_t>(std::min(wanted, 4294967295.0)));
    if (best.homes == 0 || homes < best.homes || (homes == best.homes && width < best.width))
      best = Shape{homes, key_bits, width};
  }
  return best;
}

// Which code at which position, for a few thousand references spread over
// the list: a saved index is checked against the references it is loaded
// with by this, in time independent of the list's length. (Another list,
// or this one reordered, differs at one of them but in contrived cases;
// those cost answers, never a read out of range.)
uint64_t sampled_fingerprint(std::span<const Text> references, size_t k) noexcept {
  constexpr size_t samples = 4096;
  const size_t n = references.size();
  const size_t count = std::min(n, samples);
  uint64_t fingerprint = n;
  for (size_t j = 0; j < count; ++j) {
    const size_t i = static_cast<size_t>(uint64_t{j} * n / count);
    const uint64_t length = references[i].length();
    const uint64_t code = length > k && length <= PackedLayout::max_letters ? code_of(references[i]) : 0;
    fingerprint = (fingerprint ^ mixed(code ^ length << 58, 64) ^ i) * 0x100000001B3ull;
  }
  return fingerprint;
}

// Bit-parallel LCS against a query of at most 64 letters: masks[c] has bit
// i set where the query's letter i is c (A, C, G, T; other letters match
// nothing). The reference is a code of `length` letters.
size_t lcs_with_code(const std::array<uint64_t, 4>& masks, size_t query_length, uint64_t code,
                     uint64_t length) noexcept {
  uint64_t v = ~uint64_t{0};
  for (uint64_t j = length; j-- > 0;) {
    v = lcs_step(v, masks[(code >> (2 * j)) & 3]);
  }
  return ones(~v & low_bits(static_cast<unsigned>(query_length)));
}

// The reference a posting names: the variant (length - K letters) with the
// posting's K letters put back at the positions its rank stands for
// (`subset`: 6 bits a position, increasing; unranked subsets never occur
// in a posting the build wrote, and give some code, never a read out of
// range).
template <size_t K>
uint64_t restored(uint64_t code, uint64_t length, uint32_t subset, uint64_t payload) noexcept {
  uint64_t have = length - K;
  for (size_t j = 0; j < K; ++j) {
    const uint64_t at = std::min<uint64_t>((subset >> (6 * j)) & 63, have);
    const uint64_t letter = (payload >> (2 * j)) & 3;
    const auto tail = static_cast<unsigned>(2 * (have - at));  // at most 62
    const uint64_t low = code & ((uint64_t{1} << tail) - 1);
    code = ((code >> tail) << tail << 2) | letter << tail | low;
    ++have;
  }
  return code;
}

}  // namespace

struct PackedLayout::Scratch {
  struct Lookup {
    uint64_t home;
    uint64_t variant;
    uint32_t group;
    uint32_t request;
    BlockTable::Range range;
  };
  struct Found {
    uint64_t code;
    uint16_t group;
    uint8_t bucket;  // of the code's lowest position
    uint32_t request;
  };
  struct Probe {
    uint64_t home;
    uint64_t key;
    uint32_t group;
    BlockTable::Range range;
  };
  struct Recent {
    uint64_t code = 0;
    uint32_t stamp = 0;  // the request (and group) it was seen for; 0: none
  };
  QueryVariants variants;
  std::vector<Lookup> lookups;
  std::vector<Found> found;
  std::vector<size_t> found_ends;  // per request
  std::vector<Probe> probes;
  std::vector<uint32_t> which;
  std::vector<uint32_t> distances;
  // The codes found lately, by a hash of the code: a request's repeats
  // are dropped without clearing the table between requests.
  std::array<Recent, 1024> recent;
  uint32_t stamp = 0;
};

bool PackedLayout::suits(std::span<const Text> references, size_t k) {
  if (k > max_flex_limit || references.size() >= std::numeric_limits<uint32_t>::max()) return false;
  for (const Text& reference : references) {
    if (reference.length() <= k) continue;
    if (reference.length() > max_letters) return false;
    const bool dna = reference.visit([](auto code_points) {
      for (const auto c : code_points)
        if (upper_base_code(c) == unmatched_code) return false;
      return true;
    });
    if (!dna) return false;
  }
  return true;
}

PackedLayout::Estimate PackedLayout::estimate(std::span<const uint32_t> lengths, size_t k) {
  Estimate e;
  std::array<double, max_letters + 1> per_length{};
  double references = 0;
  for (const uint32_t length : lengths) {
    if (length <= k || length > max_letters) continue;
    per_length[length] += 1;
    references += 1;
  }
  const double position_bits = std::max(1, std::bit_width(std::max<size_t>(lengths.size(), 2) - 1));
  for (size_t length = k + 1; length <= max_letters; ++length) {
    if (per_length[length] == 0) continue;
    // At most: canonical deletions leave about 60% of the bound on random
    // DNA, but all of it on a list without runs.
    const double postings = per_length[length] * static_cast<double>(binomial(length, k));
    e.postings += postings;
    const Shape posting_shape =
        shape_for(postings, 2 * static_cast<unsigned>(length - k), payload_bits_of(length, k, default_bucket_bits));
    const Shape code_shape =
        shape_for(per_length[length], 2 * static_cast<unsigned>(length), static_cast<unsigned>(position_bits));
    // Blocks, and room for the last homes' spill.
    e.bytes += static_cast<double>(posting_shape.homes + code_shape.homes) * BlockTable::block_bytes * 1.02 + 4096;
    e.bytes += 4.0 * static_cast<double>(size_t{1} << rank_bits(length, k));
  }
  // While building: each reference's code and group, the distinct codes,
  // the code table's counts, and one round of 64-bit postings.
  e.bytes = std::ceil(e.bytes);
  e.build_bytes =
      std::ceil(e.bytes + 25 * references + 8 * std::min(e.postings, static_cast<double>(postings_per_round)));
  return e;
}

void PackedLayout::derive_unrank() {
  const size_t k = max_flex_;
  for (Group& g : groups_) {
    std::vector<uint32_t>& table = g.unrank;
    table.assign(size_t{1} << rank_bits(g.length, k), std::numeric_limits<uint32_t>::max());
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
      for (uint32_t q = from; q < g.length; ++q) {
        p[depth] = q;
        self(self, q + 1, depth + 1);
      }
    };
    walk(walk, 0, 0);
  }
}

// The code tables: each reference longer than k under a mix of its code,
// in increasing position, so that the equal codes of one home come lowest
// position first.
void PackedLayout::build_code_tables(std::span<const uint64_t> codes, std::span<const uint8_t> group_of,
                                     FunctionRef<void(size_t)> charge) {
  const size_t n = codes.size();
  std::vector<uint64_t> per_group(groups_.size(), 0);
  for (size_t i = 0; i < n; ++i)
    if (group_of[i] != no_group) ++per_group[group_of[i]];
  std::vector<size_t> home_base(groups_.size() + 1, 0);
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    Group& g = groups_[gi];
    const Shape shape =
        shape_for(static_cast<double>(per_group[gi]), 2 * static_cast<unsigned>(g.length), position_bits_);
    g.codes = BlockTable(shape.homes, shape.width);
    g.code_key_bits = shape.key_bits;
    home_base[gi + 1] = home_base[gi] + static_cast<size_t>(shape.homes);
  }
  // Each reference's home, then the homes' entries counted.
  std::vector<uint32_t> homes(n);
  std::vector<uint32_t> counts(home_base.back(), 0);
  for (size_t i = 0; i < n; ++i) {
    if (i % 4096 == 0) charge(4096);
    if (group_of[i] == no_group) continue;
    const Group& g = groups_[group_of[i]];
    const auto bits = static_cast<unsigned>(2 * g.length);
    homes[i] = static_cast<uint32_t>(g.codes.home_of(aligned(mixed(codes[i], bits), bits)));
    ++counts[home_base[group_of[i]] + homes[i]];
  }
  // Each home's first slot, the tables' sizes, then their headers.
  std::vector<uint64_t> cursors(home_base.back());
  size_t words = 0;
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    Group& g = groups_[gi];
    uint64_t end = 0;
    for (uint64_t h = 0; h < g.codes.homes(); ++h) {
      const size_t at = home_base[gi] + static_cast<size_t>(h);
      cursors[at] = g.codes.first_slot(h, end);
      end = cursors[at] + counts[at];
    }
    g.codes.set_blocks(end);
    g.code_word = words;
    words += static_cast<size_t>(g.codes.word_count());
  }
  code_words_ = LargeArray<uint64_t>(words);
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    Group& g = groups_[gi];
    for (uint64_t h = 0; h < g.codes.homes(); ++h) {
      const size_t at = home_base[gi] + static_cast<size_t>(h);
      g.codes.write_header(code_words_.data() + g.code_word, h, cursors[at], counts[at]);
    }
  }
  // The references home by home (in position order within one), then each
  // home's sorted by key, equal keys (equal codes) staying in position
  // order, and written one after another.
  std::vector<uint32_t> order(n);
  {
    std::vector<uint64_t> at(home_base.back() + 1, 0);
    for (size_t h = 0; h < home_base.back(); ++h) at[h + 1] = at[h] + counts[h];
    for (size_t i = 0; i < n; ++i) {
      if (i % 4096 == 0) charge(4096);
      if (group_of[i] != no_group)
        order[static_cast<size_t>(at[home_base[group_of[i]] + homes[i]]++)] = static_cast<uint32_t>(i);
    }
  }
  homes = {};
  std::vector<uint64_t> keys;
  size_t next = 0;
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    const Group& g = groups_[gi];
    const auto bits = static_cast<unsigned>(2 * g.length);
    uint64_t* table = code_words_.data() + g.code_word;
    for (uint64_t h = 0; h < g.codes.homes(); ++h) {
      const size_t at = home_base[gi] + static_cast<size_t>(h);
      const uint32_t count = counts[at];
      if (count == 0) continue;
      charge(count);
      uint32_t* run = order.data() + next;
      next += count;
      keys.resize(count);
      for (uint32_t e = 0; e < count; ++e) keys[e] = mixed(codes[run[e]], bits) & low_bits(g.code_key_bits);
      // Insertion sort: a home holds a dozen or so, and it keeps equal keys in order.
      for (uint32_t e = 1; e < count; ++e)
        for (uint32_t f = e; f > 0 && keys[f - 1] > keys[f]; --f)
          std::swap(keys[f - 1], keys[f]), std::swap(run[f - 1], run[f]);
      uint64_t block;
      unsigned j;
      g.codes.locate(cursors[at], block, j);
      for (uint32_t e = 0; e < count; ++e) {
        if (j == g.codes.slots_per_block()) ++block, j = 0;
        g.codes.put(table, g.codes.bit_of(block, j), keys[e] << position_bits_ | run[e]);
        ++j;
      }
    }
  }
}

template <class Visit>
void PackedLayout::positions_of(Scratch& s, std::span<const uint32_t> which, Visit&& visit) const {
  const size_t count = which.size();
  if (s.probes.size() < count) s.probes.resize(count);
  for (size_t j = 0; j < count; ++j) {
    const Scratch::Found& f = s.found[which[j]];
    const Group& g = groups_[f.group];
    const auto bits = static_cast<unsigned>(2 * g.length);
    const uint64_t m = mixed(f.code, bits);
    s.probes[j] = {g.codes.home_of(aligned(m, bits)), m & low_bits(g.code_key_bits), f.group, {}};
  }
  const uint64_t* words = code_words_.data();
  const uint64_t position_mask = low_bits(position_bits_);
  sweep(
      count,
      [&](size_t j) {
        groups_[s.probes[j].group].codes.prefetch(words + groups_[s.probes[j].group].code_word, s.probes[j].home);
      },
      [&](size_t j) {
        Scratch::Probe& p = s.probes[j];
        p.range = groups_[p.group].codes.fetch_range(words + groups_[p.group].code_word, p.home);
      },
      [&](size_t j) {
        const Scratch::Probe& p = s.probes[j];
        const Group& g = groups_[p.group];
        g.codes.find(words + g.code_word, p.range, position_bits_, g.code_key_bits, p.key, [&](uint64_t value) {
          const uint64_t position = value & position_mask;
          return position >= reference_count_ || visit(which[j], static_cast<size_t>(position));
        });
      });
}

void PackedLayout::find_codes(std::span<const Request> requests, Scratch& s) const {
  const size_t k = max_flex_;
  s.lookups.clear();
  s.found.clear();
  s.found_ends.assign(requests.size(), 0);
  for (uint32_t r = 0; r < requests.size(); ++r) {
    const Text& query = *requests[r].query;
    const size_t query_length = query.length();
    bool loaded = false;
    for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
      const Group& g = groups_[gi];
      if (g.length + k < query_length || g.length > query_length + k) continue;
      if (!loaded && !s.variants.load(query)) break;
      loaded = true;
      const auto bits = static_cast<unsigned>(2 * (g.length - k));
      s.variants.each(query_length + k - g.length, [&](uint64_t variant) {
        s.lookups.push_back({g.postings.home_of(aligned(variant, bits)), variant, gi, r, {}});
      });
    }
  }
  // One sweep over every request's lookups: each block fetched `ahead`
  // lookups before its use, its range read half way (and the next block
  // fetched then if the home spills into it), its postings decoded last.
  const uint64_t* words = posting_words_.data();
  const size_t count = s.lookups.size();
  const unsigned letter_bits = 2 * static_cast<unsigned>(k);
  uint32_t current = std::numeric_limits<uint32_t>::max();
  const auto fetch = [&](size_t i) {
    const Scratch::Lookup& l = s.lookups[i];
    groups_[l.group].postings.prefetch(words + groups_[l.group].posting_word, l.home);
  };
  const auto read_range = [&](size_t i) {
    Scratch::Lookup& l = s.lookups[i];
    l.range = groups_[l.group].postings.fetch_range(words + groups_[l.group].posting_word, l.home);
  };
  sweep(count, fetch, read_range, [&](size_t i) {
    const Scratch::Lookup& l = s.lookups[i];
    if (l.request != current) {
      // A new request: the previous one's codes end here, and its recent
      // codes are forgotten.
      for (uint32_t r = current == std::numeric_limits<uint32_t>::max() ? 0 : current; r < l.request; ++r)
        s.found_ends[r] = s.found.size();
      current = l.request;
      s.stamp += 64;  // a new stamp for each group of this request
      if (s.stamp < 64) s.recent.fill({}), s.stamp = 64;
    }
    const Group& g = groups_[l.group];
    const std::vector<uint32_t>& unrank = g.unrank;
    const size_t query_a_count = requests[l.request].a_count;
    const uint64_t key = l.variant & low_bits(g.key_bits);
    const uint64_t payload_mask = low_bits(g.payload_bits);
    const uint32_t stamp = s.stamp + l.group;
    // The A-count filter on the rebuilt code: the variant's A's, and those
    // among the k letters put back.
    const size_t variant_a_count = a_count_of(l.variant, g.length - k);
    const size_t a_low = query_a_count > k ? query_a_count - k : 0, a_high = query_a_count + k;
    g.postings.find(words + g.posting_word, l.range, g.payload_bits, g.key_bits, key, [&](uint64_t value) {
      const uint64_t payload = (value & payload_mask) >> bucket_bits_;
      const uint64_t rank = shift_right(payload, letter_bits);
      if (rank >= unrank.size() || unrank[rank] == std::numeric_limits<uint32_t>::max()) [[unlikely]]
        return;  // no posting the build wrote
      const uint32_t subset = unrank[rank];
      uint64_t code;
      switch (k) {  // the deleted letters put back, lowest position first
        case 0:
          code = l.variant;
          break;
        case 1:
          code = restored<1>(l.variant, g.length, subset, payload);
          break;
        case 2:
          code = restored<2>(l.variant, g.length, subset, payload);
          break;
        default:
          code = restored<3>(l.variant, g.length, subset, payload);
          break;
      }
      const size_t a_count =
          variant_a_count + a_counts_of_letters[payload & low_bits(letter_bits)] - (3 - k);  // unused letters read as A
      if (a_count < a_low || a_count > a_high) return;
      // A query near a reference finds it through most of its variants:
      // those repeats are mostly dropped here.
      Scratch::Recent& seen = s.recent[static_cast<size_t>((code * 0x9E3779B97F4A7C15ull) >> 54)];
      if (seen.code == code && seen.stamp == stamp) return;
      seen = {code, stamp};
      s.found.push_back(
          {code, static_cast<uint16_t>(l.group), static_cast<uint8_t>(value & low_bits(bucket_bits_)), l.request});
    });
  });
  for (uint32_t r = current == std::numeric_limits<uint32_t>::max() ? 0 : current; r < requests.size(); ++r)
    s.found_ends[r] = s.found.size();
}

void PackedLayout::first(std::span<const Request> requests, std::span<size_t> out) const {
  std::fill(out.begin(), out.end(), SIZE_MAX);
  if (groups_.empty()) return;
  mendseqs::Scratch<Scratch> borrowed;
  Scratch& s = *borrowed;
  find_codes(requests, s);
  // Only the codes of each request's lowest part of the list.
  s.which.clear();
  for (size_t r = 0, begin = 0; r < requests.size(); begin = s.found_ends[r], ++r) {
    uint8_t lowest = 0xFF;
    for (size_t i = begin; i < s.found_ends[r]; ++i) lowest = std::min(lowest, s.found[i].bucket);
    for (size_t i = begin; i < s.found_ends[r]; ++i)
      if (s.found[i].bucket == lowest) s.which.push_back(static_cast<uint32_t>(i));
  }
  positions_of(s, s.which, [&](uint32_t i, size_t position) {
    const uint32_t r = s.found[i].request;
    if (position < requests[r].limit) out[r] = std::min(out[r], position);
    return false;  // a code's lowest position comes first
  });
}

void PackedLayout::candidates(std::span<const Request> requests, std::vector<uint32_t>& out,
                              std::vector<size_t>& ends) const {
  out.clear();
  ends.assign(requests.size(), 0);
  if (groups_.empty()) return;
  mendseqs::Scratch<Scratch> borrowed;
  Scratch& s = *borrowed;
  find_codes(requests, s);
  s.which.resize(s.found.size());
  for (uint32_t i = 0; i < s.found.size(); ++i) s.which[i] = i;
  // The codes are in request order, so are their positions.
  uint32_t r = 0;
  size_t begin = 0;
  const auto close_until = [&](uint32_t last) {
    for (; r < last; ++r) {
      std::sort(out.begin() + static_cast<ptrdiff_t>(begin), out.end());
      out.erase(std::unique(out.begin() + static_cast<ptrdiff_t>(begin), out.end()), out.end());
      ends[r] = out.size();
      begin = out.size();
    }
  };
  positions_of(s, s.which, [&](uint32_t i, size_t position) {
    const uint32_t request = s.found[i].request;
    close_until(request);
    if (position < requests[request].limit) out.push_back(static_cast<uint32_t>(position));
    return true;
  });
  close_until(static_cast<uint32_t>(requests.size()));
}

void PackedLayout::candidates(const Text& query, size_t query_a_count, size_t limit, std::vector<uint32_t>& out) const {
  const Request request{&query, query_a_count, limit};
  mendseqs::Scratch<std::vector<size_t>> ends;
  candidates(std::span(&request, 1), out, *ends);
}

void PackedLayout::nearest(std::span<const Request> requests, std::span<NearestSummary> out) const {
  std::fill(out.begin(), out.end(), NearestSummary{});
  if (groups_.empty()) return;
  mendseqs::Scratch<Scratch> borrowed;
  Scratch& s = *borrowed;
  find_codes(requests, s);
  // Each code's distance, measured on the code itself; positions only for
  // the codes at the smallest distance, each code once.
  s.which.clear();
  s.distances.resize(s.found.size());
  for (size_t r = 0, begin = 0; r < requests.size(); begin = s.found_ends[r], ++r) {
    const size_t end = s.found_ends[r];
    if (begin == end) continue;
    const Text& query = *requests[r].query;
    std::array<uint64_t, 4> masks{};
    for (size_t i = 0; i < query.length(); ++i) {
      const uint8_t letter = upper_base_code(query[i]);
      if (letter != unmatched_code) masks[letter] |= uint64_t{1} << i;
    }
    NearestSummary& summary = out[r];
    for (size_t i = begin; i < end; ++i) {
      const Scratch::Found& f = s.found[i];
      const uint64_t length = groups_[f.group].length;
      const size_t d = query.length() + length - 2 * lcs_with_code(masks, query.length(), f.code, length);
      s.distances[i] = static_cast<uint32_t>(d);
      if (d < summary.distance) {
        summary.next = summary.distance;
        summary.distance = d;
      } else if (d > summary.distance && d < summary.next) {
        summary.next = d;
      }
    }
    const size_t first_best = s.which.size();
    for (size_t i = begin; i < end; ++i)
      if (s.distances[i] == summary.distance) s.which.push_back(static_cast<uint32_t>(i));
    // The same code found twice counts once.
    const auto by_code = [&](uint32_t a, uint32_t b) {
      return std::pair(s.found[a].group, s.found[a].code) < std::pair(s.found[b].group, s.found[b].code);
    };
    const auto same_code = [&](uint32_t a, uint32_t b) {
      return s.found[a].group == s.found[b].group && s.found[a].code == s.found[b].code;
    };
    const auto from = s.which.begin() + static_cast<ptrdiff_t>(first_best);
    std::sort(from, s.which.end(), by_code);
    s.which.erase(std::unique(from, s.which.end(), same_code), s.which.end());
  }
  positions_of(s, s.which, [&](uint32_t i, size_t position) {
    NearestSummary& summary = out[s.found[i].request];
    summary.position = std::min(summary.position, position);
    ++summary.ties;
    return true;
  });
}

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
    g.postings = BlockTable(shape.homes, shape.width);
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
            uint64_t block;
            unsigned j;
            size_t first_home = homes, last_home = 0;
            for (size_t h = 0; h < homes; ++h)
              if (home_counts[h0 + h] != 0) first_home = std::min(first_home, h), last_home = h;
            g.postings.locate(home_firsts[h0 + first_home], block, j);
            const auto first_word = static_cast<size_t>(g.postings.bit_of(block, j) >> 6);
            g.postings.locate(home_firsts[h0 + last_home] + home_counts[h0 + last_home] - 1, block, j);
            const auto last_word = static_cast<size_t>((g.postings.bit_of(block, j) + width - 1) >> 6);
            size_t e = begin;
            for (size_t h = 0; h < homes; ++h) {
              const uint32_t count = home_counts[h0 + h];
              if (count == 0) continue;
              g.postings.locate(home_firsts[h0 + h], block, j);
              for (uint32_t c = 0; c < count; ++c, ++e) {
                if (j == g.postings.slots_per_block()) ++block, j = 0;
                g.postings.put(table, g.postings.bit_of(block, j), gathered[e] & low_bits(width), first_word,
                               last_word);
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

void PackedLayout::copy_borrowed() {
  if (posting_words_.borrowed()) posting_words_ = posting_words_.copy();
  if (code_words_.borrowed()) code_words_ = code_words_.copy();
}

size_t PackedLayout::memory_bytes() const noexcept {
  size_t bytes = posting_words_.bytes() + code_words_.bytes() + groups_.capacity() * sizeof(Group);
  for (const Group& g : groups_)
    bytes += 4 * g.unrank.capacity() +
             (g.postings.overflow().capacity() + g.codes.overflow().capacity()) * sizeof(BlockTable::Overflow);
  return bytes;
}

void PackedLayout::save(SectionSink& sink) const {
  std::vector<uint64_t> groups, overflow;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
    const Group& g = groups_[gi];
    for (const uint64_t field : {g.length, g.postings.homes(), uint64_t{g.postings.width()}, g.postings.blocks()})
      groups.push_back(field);
    for (const BlockTable::Overflow& o : g.postings.overflow())
      for (const uint64_t field : {uint64_t{gi}, o.home, o.first, o.count}) overflow.push_back(field);
  }
  sink.put_array<uint64_t>("packed.groups", groups);
  sink.put_array<uint64_t>("packed.overflow", overflow);
  sink.put_scalar<uint64_t>("packed.posting_count", posting_count_);
  sink.put_scalar<uint64_t>("packed.fingerprint", fingerprint_);
  sink.put_scalar<uint32_t>("packed.bucket_bits", bucket_bits_);
  sink.put_array<uint64_t>("packed.postings", posting_words_.view());
  // The code tables too: rebuilding them at load costs most of a load.
  std::vector<uint64_t> code_groups, code_overflow;
  for (uint32_t gi = 0; gi < groups_.size(); ++gi) {
    const Group& g = groups_[gi];
    for (const uint64_t field : {g.codes.homes(), uint64_t{g.codes.width()}, g.codes.blocks()})
      code_groups.push_back(field);
    for (const BlockTable::Overflow& o : g.codes.overflow())
      for (const uint64_t field : {uint64_t{gi}, o.home, o.first, o.count}) code_overflow.push_back(field);
  }
  sink.put_array<uint64_t>("packed.code_groups", code_groups);
  sink.put_array<uint64_t>("packed.code_overflow", code_overflow);
  sink.put_array<uint64_t>("packed.codes", code_words_.view());
}

PackedLayout PackedLayout::load(SectionSource& source, std::span<const Text> references, size_t k, unsigned threads,
                                FunctionRef<void(size_t)> charge) {
  const auto fail = [](const std::string& what) { throw IndexFormatError("packed index: " + what); };
  PackedLayout layout;
  layout.max_flex_ = k;
  layout.reference_count_ = references.size();
  const size_t n = references.size();
  layout.position_bits_ = static_cast<unsigned>(std::max(1, std::bit_width(std::max<size_t>(n, 2) - 1)));
  if (k > max_flex_limit) fail("max_flex out of range");
  const std::span<const uint64_t> groups = source.array<uint64_t>("packed.groups");
  const std::span<const uint64_t> overflow = source.array<uint64_t>("packed.overflow");
  layout.posting_count_ = static_cast<size_t>(
      std::min<uint64_t>(source.scalar<uint64_t>("packed.posting_count"), std::numeric_limits<size_t>::max()));
  const std::span<const uint64_t> postings = source.array<uint64_t>("packed.postings");
  const uint64_t fingerprint = source.scalar<uint64_t>("packed.fingerprint");
  layout.bucket_bits_ = source.scalar<uint32_t>("packed.bucket_bits");
  if (layout.bucket_bits_ > most_bucket_bits) fail("bucket bits out of range");
  if (groups.size() % 4 != 0) fail("groups section is not whole groups");

  // The lengths the references have (longer than k) are exactly the
  // groups'.
  std::array<uint8_t, max_letters + 1> group_of_length;
  group_of_length.fill(no_group);
  std::array<std::atomic<bool>, max_letters + 1> present{};
  check_in_chunks(n, threads, charge, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const size_t length = references[i].length();
      if (length <= k) continue;
      if (length > max_letters) fail("a reference longer than 32 letters");
      present[length].store(true, std::memory_order_relaxed);
    }
  });
  uint64_t words = 0;  // in 64 bits: see BlockTable::word_count
  for (size_t i = 0; i < groups.size(); i += 4) {
    const uint64_t length = groups[i], homes = groups[i + 1], width = groups[i + 2], blocks = groups[i + 3];
    if (length <= k || length > max_letters || (!layout.groups_.empty() && length <= layout.groups_.back().length))
      fail("group lengths out of order or range");
    if (!present[length].load()) fail("a group of a length no reference has");
    const unsigned payload = payload_bits_of(length, k, layout.bucket_bits_);
    const auto bits = static_cast<unsigned>(2 * (length - k));
    if (width < payload || width > 64 || width == 0 || width - payload > bits)
      fail("a group's posting width is out of range");
    const auto key_bits = static_cast<unsigned>(width - payload);
    if (homes == 0 || homes >= (uint64_t{1} << 32) || bits - key_bits > 31 ||
        homes < (uint64_t{1} << (bits - key_bits)))
      fail("a group's homes do not match its posting width");
    if (blocks < homes || blocks > (uint64_t{1} << 40)) fail("a group's block count is out of range");
    Group g;
    g.length = length;
    g.payload_bits = payload;
    g.key_bits = key_bits;
    g.postings = BlockTable(homes, static_cast<unsigned>(width));
    g.postings.adopt(blocks, {});
    g.posting_word = static_cast<size_t>(words);
    words += g.postings.word_count();
    group_of_length[length] = static_cast<uint8_t>(layout.groups_.size());
    layout.groups_.push_back(std::move(g));
  }
  for (size_t length = k + 1; length <= max_letters; ++length)
    if (present[length].load() && group_of_length[length] == no_group) fail("no group for references of a length");
  if (words != uint64_t{postings.size()}) fail("postings do not match the groups' blocks");
  // Overflow entries: sorted by group and home, each of a home its group
  // has. (Their ranges are clamped where they are read.)
  const auto adopt_overflow = [&](std::span<const uint64_t> entries, BlockTable Group::* table) {
    if (entries.size() % 4 != 0) fail("overflow section is not whole entries");
    std::vector<std::vector<BlockTable::Overflow>> spilled(layout.groups_.size());
    for (size_t i = 0; i < entries.size(); i += 4) {
      const uint64_t group = entries[i], home = entries[i + 1];
      if (group >= layout.groups_.size() || home >= (layout.groups_[group].*table).homes())
        fail("an overflow entry out of range");
      if (i > 0 && std::pair(entries[i - 4], entries[i - 3]) >= std::pair(group, home))
        fail("overflow entries out of order");
      spilled[group].push_back({home, entries[i + 2], entries[i + 3]});
    }
    for (size_t gi = 0; gi < layout.groups_.size(); ++gi) {
      BlockTable& t = layout.groups_[gi].*table;
      t.adopt(t.blocks(), std::move(spilled[gi]));
    }
  };
  adopt_overflow(overflow, &Group::postings);

  // The code tables: entries of a key's low bits above a position's bits.
  // A position read from them is tested against the list's length where it
  // is read, and the matcher checks the filters again on every reference
  // named: damaged, they cost answers.
  const std::span<const uint64_t> code_groups = source.array<uint64_t>("packed.code_groups");
  const std::span<const uint64_t> code_words = source.array<uint64_t>("packed.codes");
  if (code_groups.size() != 3 * layout.groups_.size()) fail("code tables do not match the groups");
  uint64_t code_word_count = 0;
  for (size_t gi = 0; gi < layout.groups_.size(); ++gi) {
    Group& g = layout.groups_[gi];
    const uint64_t homes = code_groups[3 * gi], width = code_groups[3 * gi + 1], blocks = code_groups[3 * gi + 2];
    if (homes == 0 || homes >= (uint64_t{1} << 32) || width < layout.position_bits_ || width > 64 ||
        width - layout.position_bits_ > 2 * g.length || blocks < homes || blocks > (uint64_t{1} << 40))
      fail("a code table's shape is out of range");
    g.codes = BlockTable(homes, static_cast<unsigned>(width));
    g.codes.adopt(blocks, {});
    g.code_key_bits = static_cast<unsigned>(width - layout.position_bits_);
    g.code_word = static_cast<size_t>(code_word_count);
    code_word_count += g.codes.word_count();
  }
  if (code_word_count != uint64_t{code_words.size()}) fail("code tables do not match their blocks");
  adopt_overflow(source.array<uint64_t>("packed.code_overflow"), &Group::codes);

  layout.posting_words_ = LargeArray<uint64_t>::borrow(postings);
  layout.code_words_ = LargeArray<uint64_t>::borrow(code_words);
  layout.derive_unrank();
  layout.fingerprint_ = sampled_fingerprint(references, k);
  if (layout.fingerprint_ != fingerprint)
    fail("the references are not those it was built over (or not in the same order)");
  return layout;
}

}  // namespace mendseqs
