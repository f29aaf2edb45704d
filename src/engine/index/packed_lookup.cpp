// The packed layout's lookups: a window of queries' variants looked up in
// one pipelined sweep, the codes rebuilt from the postings found, and the
// positions those codes hold read from the code tables.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "index/deletions.hpp"
#include "index/packed_codes.hpp"
#include "index/packed_layout.hpp"
#include "index/packed_scratch.hpp"
#include "kernels/lcs.hpp"
#include "support/bits.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

using namespace packed;

namespace {

size_t a_count_of(uint64_t code, uint64_t length) noexcept {
  const uint64_t mask = 0x5555555555555555ull & low_bits(2 * static_cast<unsigned>(length));
  return length - set_bits((code | (code >> 1)) & mask);
}

// A's among the k letters a posting puts back (two bits each, A = 0).
constexpr auto a_counts_of_letters = [] {
  std::array<uint8_t, 64> counts{};
  for (size_t letters = 0; letters < 64; ++letters)
    for (size_t j = 0; j < 3; ++j) counts[letters] += ((letters >> (2 * j)) & 3) == 0;
  return counts;
}();

// Bit-parallel LCS against a query of at most 64 letters: masks[c] has bit
// i set where the query's letter i is c (A, C, G, T; other letters match
// nothing). The reference is a code of `length` letters.
size_t lcs_with_code(const std::array<uint64_t, 4>& masks, size_t query_length, uint64_t code,
                     uint64_t length) noexcept {
  uint64_t v = ~uint64_t{0};
  for (uint64_t j = length; j-- > 0;) {
    v = lcs_step(v, masks[(code >> (2 * j)) & 3]);
  }
  return set_bits(~v & low_bits(static_cast<unsigned>(query_length)));
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

}  // namespace mendseqs
