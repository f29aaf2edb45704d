// What the packed layout's build, lookup and storage share: a reference's
// code, the mix that spreads codes over homes, the tables' shapes and the
// fingerprint a saved index is checked by. Inside the index floor only.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/text.hpp"
#include "index/block_table.hpp"
#include "index/deletions.hpp"
#include "index/packed_layout.hpp"

namespace mendseqs::packed {

// Entries a home holds on average, over the slots of its block. Fewer
// waste blocks; more make homes spill into the next block (a second cache
// line) and push later homes out of their own.
inline constexpr double fill = 0.9;
// Postings gathered per round of the build, at most, at 8 bytes each
// while they wait (twice as many at 4 bytes). Every round walks every
// reference, if only to find that most of its variants fall elsewhere, so
// rounds are few; and each holds the peak up by its buffer.
inline constexpr size_t postings_per_round = size_t{16} << 20;

inline constexpr uint8_t no_group = 0xFF;

inline unsigned rank_bits(uint64_t length, size_t k) noexcept {
  return static_cast<unsigned>(std::bit_width(uint64_t{small_binomials[length][k]} - 1));  // k < length <= 32
}

// The low bits of a posting's payload: where the reference's lowest
// position lies among 2^bucket_bits even parts of the list (saved with
// the index: a file written with another width still loads). The first
// accepted reference is among the codes of the lowest part found, so only
// those are looked up in the code table (about half).
inline constexpr unsigned default_bucket_bits = 1;
inline constexpr unsigned most_bucket_bits = 3;

inline unsigned payload_bits_of(uint64_t length, size_t k, unsigned bucket_bits) noexcept {
  return rank_bits(length, k) + 2 * static_cast<unsigned>(k) + bucket_bits;
}

inline uint64_t code_of(const Text& text) noexcept {
  uint64_t code = 0;
  for (size_t i = 0; i < text.length(); ++i) code = (code << 2) | (upper_base_code(text[i]) & 3u);
  return code;
}

// A bijection of the codes of `bits` bits (2 to 64) whose high bits depend
// on every bit of the code: homes of the code table stay even however the
// references resemble one another.
inline uint64_t mixed(uint64_t x, unsigned bits) noexcept {
  const uint64_t mask = low_bits(bits);
  const unsigned shift = (bits + 1) / 2;
  x = (x * 0x9E3779B97F4A7C15ull) & mask;  // odd: one to one modulo 2^bits
  x ^= x >> shift;
  x = (x * 0xBF58476D1CE4E5B9ull) & mask;
  x ^= x >> shift;
  return x;
}

// A key of `bits` bits aligned to the top of 64, as block tables take it.
inline uint64_t aligned(uint64_t key, unsigned bits) noexcept { return shift_left(key, 64 - bits); }

struct Shape {
  uint64_t homes = 0;
  unsigned key_bits = 0;
  unsigned width = 0;
};

// The table for `entries` entries of `payload` bits keyed by `bits`-bit
// keys that takes the least memory: the more homes, the fewer key bits an
// entry keeps (the homes must be at least 2^(bits - key bits), so that
// those bits tell the keys of one home apart), but the more blocks.
inline Shape shape_for(double entries, unsigned bits, unsigned payload) {
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
inline uint64_t sampled_fingerprint(std::span<const Text> references, size_t k) noexcept {
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

}  // namespace mendseqs::packed
