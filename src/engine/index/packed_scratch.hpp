// The packed layout's working memory for a window of lookups, and the
// software pipeline that fetches a table's blocks ahead of their use: the
// lookups use them, and so does the build, to find each code's lowest
// position. Inside the index floor only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/block_table.hpp"
#include "index/deletions.hpp"
#include "index/packed_codes.hpp"
#include "index/packed_layout.hpp"

namespace mendseqs {

namespace packed {

// Lookups and probes fetched this far ahead of their use; their ranges
// read half as far ahead, so that a spill into the next block is fetched
// too before it is needed.
inline constexpr size_t ahead = 32;
inline constexpr size_t range_ahead = 16;

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

}  // namespace packed

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

template <class Visit>
void PackedLayout::positions_of(Scratch& s, std::span<const uint32_t> which, Visit&& visit) const {
  const size_t count = which.size();
  if (s.probes.size() < count) s.probes.resize(count);
  for (size_t j = 0; j < count; ++j) {
    const Scratch::Found& f = s.found[which[j]];
    const Group& g = groups_[f.group];
    const auto bits = static_cast<unsigned>(2 * g.length);
    const uint64_t m = packed::mixed(f.code, bits);
    s.probes[j] = {g.codes.home_of(packed::aligned(m, bits)), m & low_bits(g.code_key_bits), f.group, {}};
  }
  const uint64_t* words = code_words_.data();
  const uint64_t position_mask = low_bits(position_bits_);
  packed::sweep(
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

}  // namespace mendseqs
