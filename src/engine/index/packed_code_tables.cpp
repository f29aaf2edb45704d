// The packed layout's code tables: where each code lies in the list.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "index/packed_codes.hpp"
#include "index/packed_layout.hpp"

namespace mendseqs {

using namespace packed;

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

}  // namespace mendseqs
