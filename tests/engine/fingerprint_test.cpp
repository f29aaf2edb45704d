// The posting blocks' fingerprint compare on every instruction set against
// the byte-by-byte one, and a table of split entries found exactly as the
// same table of packed entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "index/block_table.hpp"
#include "kernels/simd/fingerprints.hpp"
#include "kernels/simd/isa.hpp"

namespace mendseqs {
namespace {

using Block = std::array<unsigned char, fingerprint_block_bytes>;

std::vector<Isa> supported_isas() {
  std::vector<Isa> isas;
  for (const Isa isa : all_isas)
    if (isa_supported(isa)) isas.push_back(isa);
  return isas;
}

TEST(Fingerprints, EveryInstructionSetAgreesWithTheByteByByteCompare) {
  std::vector<Block> blocks;
  Block block{};
  block.fill(0x5A);
  blocks.push_back(block);  // all equal to one wanted byte
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7 + 1);
  blocks.push_back(block);  // all different
  // One matching byte at each position among bytes that differ from it only
  // in one bit each, high or low (a borrow or a carry between bytes would
  // show), and one differing byte among equal ones.
  for (size_t at = 0; at < fingerprint_block_bytes; ++at) {
    Block one{};
    for (size_t i = 0; i < one.size(); ++i) one[i] = static_cast<unsigned char>(0x5A ^ (1u << (i % 8)));
    one[at] = 0x5A;
    blocks.push_back(one);
    Block all_but_one{};
    all_but_one.fill(0x5A);
    all_but_one[at] = 0xDA;
    blocks.push_back(all_but_one);
    Block zeros{};  // zero bytes around: a wanted 0 against 0x80 and 0x01
    zeros[at] = static_cast<unsigned char>(at % 2 ? 0x80 : 0x01);
    blocks.push_back(zeros);
  }
  std::mt19937_64 rng(31);
  for (int i = 0; i < 500; ++i) {
    for (auto& b : block) b = static_cast<unsigned char>(rng() % 4 == 0 ? 0x5A : rng());
    blocks.push_back(block);
  }
  const std::vector<Isa> isas = supported_isas();
  ASSERT_FALSE(isas.empty());
  for (const Isa isa : isas) {
    const FingerprintMatch match = fingerprint_match(isa);
    for (const Block& b : blocks)
      for (const uint8_t mask : {0xFF, 0xF0, 0xE0, 0x80, 0x00})
        for (const uint8_t wanted : {0x5A, 0x00, 0xDA, 0x80, 0x01}) {
          const uint64_t expected = matching_fingerprints_scalar(b.data(), mask, wanted);
          ASSERT_EQ(match(b.data(), mask, wanted), expected)
              << isa_name(isa) << " mask " << int{mask} << " wanted " << int{wanted};
        }
  }
  // The crafted cases say what they should.
  EXPECT_EQ(matching_fingerprints_scalar(blocks[0].data(), 0xFF, 0x5A), ~uint64_t{0});
  EXPECT_EQ(matching_fingerprints_scalar(blocks[1].data(), 0xFF, 0x5A), 0u);
  for (size_t at = 0; at < fingerprint_block_bytes; ++at)
    EXPECT_EQ(matching_fingerprints_scalar(blocks[2 + 3 * at].data(), 0xFF, 0x5A), uint64_t{1} << at);
}

// A table of `homes` homes whose entries are (key << payload | payload),
// each home's sorted by key, written packed or split.
struct Table {
  BlockTable table;
  std::vector<uint64_t> words;
};
Table written(const std::vector<std::vector<uint64_t>>& homes, unsigned width, bool split) {
  Table t{BlockTable(homes.size(), width, split), {}};
  uint64_t end = 0;
  std::vector<uint64_t> firsts;
  for (uint64_t h = 0; h < homes.size(); ++h) {
    firsts.push_back(t.table.first_slot(h, end));
    end = firsts.back() + homes[h].size();
  }
  t.table.set_blocks(end);
  t.words.assign(static_cast<size_t>(t.table.word_count()), 0);
  for (uint64_t h = 0; h < homes.size(); ++h) {
    t.table.write_header(t.words.data(), h, firsts[h], homes[h].size());
    for (size_t e = 0; e < homes[h].size(); ++e) {
      uint64_t block;
      unsigned j;
      t.table.locate(firsts[h] + e, block, j);
      t.table.put_entry(t.words.data(), block, j, homes[h][e]);
    }
  }
  return t;
}

TEST(Fingerprints, SplitEntriesAreFoundAsPackedOnesOnEveryInstructionSet) {
  std::mt19937_64 rng(8);
  // Keys narrower than a fingerprint (masked compare), as wide, and wider
  // (the rest checked on the entry); homes that spill into the next block.
  for (const unsigned key_bits : {0u, 3u, 5u, 8u, 12u, 20u}) {
    for (const unsigned payload_bits : {5u, 12u, 30u}) {
      const unsigned width = key_bits + payload_bits;
      if (width < BlockTable::fingerprint_bits) continue;
      const unsigned slots = BlockTable(1, width).slots_per_block();
      std::vector<std::vector<uint64_t>> homes(40);
      for (auto& home : homes) {
        home.resize(rng() % (slots + slots / 2 + 1));
        for (auto& e : home)
          e = (key_bits ? rng() % (uint64_t{1} << key_bits) : 0) << payload_bits |
              rng() % (uint64_t{1} << payload_bits);
        std::sort(home.begin(), home.end(),
                  [&](uint64_t a, uint64_t b) { return a >> payload_bits < b >> payload_bits; });
      }
      const Table packed = written(homes, width, false);
      Table split = written(homes, width, true);
      ASSERT_TRUE(split.table.split());
      for (const Isa isa : supported_isas()) {
        split.table.use_fingerprint_match(fingerprint_match(isa));
        for (uint64_t h = 0; h < homes.size(); ++h) {
          const BlockTable::Range r = split.table.range(split.words.data(), h);
          ASSERT_EQ(r.count, homes[h].size());
          for (size_t e = 0; e < homes[h].size(); ++e) {
            uint64_t block;
            unsigned j;
            split.table.locate(r.first + e, block, j);
            ASSERT_EQ(split.table.entry(split.words.data(), block, j), homes[h][e]);
          }
          // Every key of the home, and keys it lacks.
          std::vector<uint64_t> keys;
          for (const uint64_t e : homes[h]) keys.push_back(e >> payload_bits);
          for (int i = 0; i < 4 && key_bits > 0; ++i) keys.push_back(rng() % (uint64_t{1} << key_bits));
          for (const uint64_t key : keys) {
            std::vector<uint64_t> from_packed, from_split;
            packed.table.find(packed.words.data(), packed.table.range(packed.words.data(), h), payload_bits, key_bits,
                              key, [&](uint64_t v) { from_packed.push_back(v); });
            split.table.find(split.words.data(), r, payload_bits, key_bits, key,
                             [&](uint64_t v) { from_split.push_back(v); });
            ASSERT_EQ(from_split, from_packed) << isa_name(isa) << " key bits " << key_bits << " home " << h;
            std::vector<uint64_t> expected;
            for (const uint64_t e : homes[h])
              if (e >> payload_bits == key) expected.push_back(e);
            ASSERT_EQ(from_split, expected);
            // A caller that has what it needs stops the walk.
            size_t calls = 0;
            split.table.find(split.words.data(), r, payload_bits, key_bits, key, [&](uint64_t) {
              ++calls;
              return false;
            });
            ASSERT_EQ(calls, std::min<size_t>(expected.size(), 1));
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace mendseqs
