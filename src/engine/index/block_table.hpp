// A table of fixed-width entries grouped by home, where a lookup finds its
// home's entries with one cache miss: the home is computed from the key by
// arithmetic, and the home's first block holds where its entries are.
//
// The table is an array of 64-byte blocks, one per home (and a few more at
// the end). A block starts with a 32-bit header, then as many entries of
// `width` bits as fit, packed end to end. The entries of all homes lie in
// home order, one after another; those of home h start in block h or later
// (never earlier), so they begin at the block's first free slot when the
// homes before it did not spill over, which they rarely do when the blocks
// are filled to about four fifths. Block h's header says where home h's
// entries start, counted in slots from block h's first one (16 bits), and
// how many there are (16 bits); a home past either limit (a list of a
// million copies of one barcode) has both fields all ones and its place in
// a short sorted list beside the table.
//
// The home of a key is floor(key * homes / 2^64) for a key aligned to the
// top of 64 bits: any number of homes, monotone in the key, so the keys of
// one home are one contiguous range, at most ceil(2^64 / homes) wide, and
// the key's low bits (enough for that width) tell its entries apart within
// the home. The caller stores those low bits in each entry.
//
// A table of entries of 8 bits or more may keep them split (the posting
// tables do): each slot's top 8 bits, its fingerprint, in a byte of its
// own after the header (byte 4 + j of the block for slot j), and the
// rest of its bits after the block's fingerprints, packed end to end. A
// lookup then compares its key's top bits with a whole block's
// fingerprints in one vector instruction (kernels/fingerprints.hpp) and
// decodes only the entries that match, where a packed table is searched
// entry by entry. The slots per block, and so the memory, are the same.
//
// What a table reads from a file is untrusted: every slot range is clamped
// to the table, so a damaged header or overflow list can lose entries but
// never read outside the array.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "kernels/simd/fingerprints.hpp"

namespace mendseqs {

// The high 64 bits of a * b, for b below 2^32: the 64-bit halves only, so
// 32-bit targets need no 128-bit type.
inline uint64_t high_product(uint64_t a, uint64_t b) noexcept {
  const uint64_t low = (a & 0xFFFFFFFFu) * b;
  const uint64_t high = (a >> 32) * b;
  return (high + (low >> 32)) >> 32;
}

// The high 64 bits of a * b, for any a and b.
inline uint64_t high_product64(uint64_t a, uint64_t b) noexcept {
#ifdef __SIZEOF_INT128__
  __extension__ typedef unsigned __int128 wide;  // a GNU type: no pedantic warning
  return static_cast<uint64_t>((static_cast<wide>(a) * b) >> 64);
#else
  const uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32, b_low = b & 0xFFFFFFFFu, b_high = b >> 32;
  const uint64_t low_low = a_low * b_low, high_low = a_high * b_low, low_high = a_low * b_high;
  const uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFu) + (low_high & 0xFFFFFFFFu);
  return a_high * b_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32);
#endif
}

class BlockTable {
 public:
  static constexpr size_t block_bytes = 64;
  static constexpr unsigned block_bits = 8 * block_bytes;
  static constexpr unsigned header_bits = 32;
  static constexpr uint32_t field_limit = 0xFFFF;  // both fields at this: the home is in the overflow list
  static constexpr size_t words_per_block = block_bytes / 8;
  static constexpr unsigned fingerprint_bits = 8;

  // Where a home's entries are, in slots counted over the whole table.
  struct Range {
    uint64_t first = 0;
    uint64_t count = 0;
  };
  struct Overflow {
    uint64_t home;
    uint64_t first;
    uint64_t count;
  };

  BlockTable() = default;
  // `homes` below 2^32, `width` 1 to 64 bits; entries split when asked
  // and `width` is at least 8 bits.
  BlockTable(uint64_t homes, unsigned width, bool split = false)
      : homes_(homes), width_(width), split_(split && width >= fingerprint_bits) {
    if (homes == 0 || homes >= (uint64_t{1} << 32) || width == 0 || width > 64)
      throw std::length_error("block table out of range");
    slots_per_block_ = (block_bits - header_bits) / width;
    slot_reciprocal_ = ~uint64_t{0} / slots_per_block_ + 1;
    rest_bits_ = width - fingerprint_bits;
  }

  uint64_t homes() const noexcept { return homes_; }
  unsigned width() const noexcept { return width_; }
  bool split() const noexcept { return split_; }
  unsigned slots_per_block() const noexcept { return slots_per_block_; }
  uint64_t blocks() const noexcept { return blocks_; }
  uint64_t slots() const noexcept { return blocks_ * slots_per_block_; }
  // The words the table needs: its blocks and one spare, so that every read
  // may load eight bytes.
  // In 64 bits: a loaded table's block count is checked against its array
  // with this, and must not wrap where size_t has 32.
  uint64_t word_count() const noexcept { return blocks_ * words_per_block + 1; }
  const std::vector<Overflow>& overflow() const noexcept { return overflow_; }

  // The home of a key aligned to the top of 64 bits.
  uint64_t home_of(uint64_t key) const noexcept { return high_product(key, homes_); }
  // The smallest key (aligned as above) whose home is at least `home`.
  uint64_t first_key_of(uint64_t home) const noexcept {
    if (home == 0) return 0;
    if (home >= homes_) return ~uint64_t{0};
    // home_of is monotone: the boundary by bisection, 64 steps at most.
    uint64_t low = 0, high = ~uint64_t{0};
    while (low < high) {
      const uint64_t mid = low + (high - low) / 2;
      if (home_of(mid) >= home)
        high = mid;
      else
        low = mid + 1;
    }
    return low;
  }

  // Homes are placed in order, each at its block's first slot or right
  // after the home before it, whichever is later: first_slot(h, end of the
  // homes before). The table then needs blocks for the last home's end.
  uint64_t first_slot(uint64_t home, uint64_t end_before) const noexcept {
    return std::max(end_before, home * slots_per_block_);
  }
  void set_blocks(uint64_t end_of_homes) noexcept {
    blocks_ = std::max(homes_, (end_of_homes + slots_per_block_ - 1) / slots_per_block_);
  }
  // Home `home`'s header into zeroed words; homes in increasing order.
  void write_header(uint64_t* words, uint64_t home, uint64_t first, uint64_t count) {
    const uint64_t start = first - home * slots_per_block_;
    uint64_t header = start | count << 16;
    if (start >= field_limit || count >= field_limit) {
      header = uint64_t{field_limit} | uint64_t{field_limit} << 16;
      overflow_.push_back({home, first, count});
    }
    words[static_cast<size_t>(home * words_per_block)] |= header;
  }
  // A loaded table: its size and its overflow list.
  void adopt(uint64_t blocks, std::vector<Overflow> overflow) {
    blocks_ = blocks;
    overflow_ = std::move(overflow);
  }

  // Bit position of slot j of block b.
  uint64_t bit_of(uint64_t block, unsigned j) const noexcept {
    return block * block_bits + header_bits + uint64_t{j} * width_;
  }
  // Entry j of block b, either way the table keeps it.
  uint64_t entry(const uint64_t* words, uint64_t block, unsigned j) const noexcept {
    if (!split_) return get(words, bit_of(block, j));
    const auto* bytes = reinterpret_cast<const unsigned char*>(words) + block * block_bytes;
    return uint64_t{bytes[header_bits / 8 + j]} << rest_bits_ | rest_at(words, block, j);
  }
  // Writes entry j of block b into zeroed words: this thread alone, or,
  // with the shared words of shared_words(), beside other writers.
  void put_entry(uint64_t* words, uint64_t block, unsigned j, uint64_t value) const noexcept {
    put_entry(words, block, j, value, 0, SIZE_MAX);
  }
  void put_entry(uint64_t* words, uint64_t block, unsigned j, uint64_t value, size_t shared_low,
                 size_t shared_high) const noexcept {
    if (!split_) {
      put(words, bit_of(block, j), value, shared_low, shared_high);
      return;
    }
    const uint64_t byte = block * block_bytes + header_bits / 8 + j;
    or_into(words, static_cast<size_t>(byte >> 3), (value >> rest_bits_) << (8 * (byte & 7)), shared_low, shared_high);
    or_bits(words, rest_bit_of(block, j), value & low_mask(rest_bits_), rest_bits_, shared_low, shared_high);
  }
  // The words a writer of the slots [first, last] may share with writers
  // of the slots around: those at or below `low` and at or above `high`.
  void shared_words(uint64_t first, uint64_t last, size_t& low, size_t& high) const noexcept {
    const uint64_t first_block = block_of(first), last_block = block_of(last);
    if (split_) {  // a split entry's bits lie anywhere in its block
      low = static_cast<size_t>(first_block * words_per_block + words_per_block - 1);
      high = static_cast<size_t>(last_block * words_per_block);
      return;
    }
    low = static_cast<size_t>(bit_of(first_block, static_cast<unsigned>(first - first_block * slots_per_block_)) >> 6);
    high = static_cast<size_t>(
        (bit_of(last_block, static_cast<unsigned>(last - last_block * slots_per_block_)) + width_ - 1) >> 6);
  }

  // s / slots_per_block() by a multiplication: a division costs tens of
  // cycles where it is an instruction and a library call where it is not
  // (32-bit ARM), two or three times a lookup. Exact: the reciprocal
  // exceeds 2^64 / slots by less than slots / 2^64, and s (below 2^50, as
  // the slots of 2^40 blocks) times that error stays below one slot.
  uint64_t block_of(uint64_t s) const noexcept { return high_product64(s, slot_reciprocal_); }
  // The block and slot of global slot s.
  void locate(uint64_t s, uint64_t& block, unsigned& j) const noexcept {
    block = block_of(s);
    j = static_cast<unsigned>(s - block * slots_per_block_);
  }

  void prefetch(const uint64_t* words, uint64_t home) const noexcept {
    __builtin_prefetch(words + home * words_per_block);
  }

  // Where home `home` (below homes()) keeps its entries, within the table
  // whatever the words say.
  Range range(const uint64_t* words, uint64_t home) const noexcept {
    const uint64_t header = words[static_cast<size_t>(home * words_per_block)];
    const uint64_t start = header & 0xFFFF, count = (header >> 16) & 0xFFFF;
    Range r;
    if (start == field_limit && count == field_limit) {
      const auto it = std::lower_bound(overflow_.begin(), overflow_.end(), home,
                                       [](const Overflow& o, uint64_t h) { return o.home < h; });
      if (it == overflow_.end() || it->home != home) return r;
      r.first = it->first;
      r.count = it->count;
    } else {
      r.first = home * slots_per_block_ + start;
      r.count = count;
    }
    const uint64_t total = slots();
    r.first = std::min(r.first, total);
    r.count = std::min(r.count, total - r.first);
    return r;
  }

  // range(), with the blocks the range spans other than the home's own
  // fetched too (a home placed past its block, or spilling into the next):
  // read a while before its entries are, the range's second miss overlaps
  // the others.
  Range fetch_range(const uint64_t* words, uint64_t home) const noexcept {
    const Range r = range(words, home);
    if (r.count == 0) return r;
    const uint64_t first_block = block_of(r.first), last_block = block_of(r.first + r.count - 1);
    const auto* bytes = reinterpret_cast<const unsigned char*>(words);
    if (first_block != home) __builtin_prefetch(bytes + first_block * block_bytes);
    if (last_block != first_block) __builtin_prefetch(bytes + last_block * block_bytes);
    return r;
  }

  // f(value) for each entry of the range whose bits above the low `shift`
  // (`key_bits` of them) equal `key`, in order (until f returns false, if
  // it returns a bool), for a range sorted by those
  // bits, as every home's is. The key's place is guessed from its share of
  // the key space (the keys of a home are about even), then found by
  // stepping from there: a few entries read, not the whole home. A range
  // not sorted (a damaged file) costs answers, never a read outside it.
  template <class F>
  void find(const uint64_t* words, Range r, unsigned shift, unsigned key_bits, uint64_t key, F&& f) const {
    if (r.count == 0) return;
    if (split_) {
      find_split(words, r, shift, key_bits, key, fingerprint_match_, f);
      return;
    }
    // Locals, not members: the calls may write anywhere, as far as the
    // compiler knows, and members would be read again every entry.
    const unsigned width = width_, slots = slots_per_block_;
    const auto* bytes = reinterpret_cast<const unsigned char*>(words);
    const uint64_t mask = width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    const unsigned key_shift = std::min(shift, 63u);  // a shift of 64: no key, all keys 0
    const uint64_t wanted = shift >= 64 ? 0 : key;
    // Entry i of the range: slot j0 + i of block b0 and the blocks after,
    // within a block or two of the first as a rule.
    const uint64_t b0 = block_of(r.first);
    const auto j0 = static_cast<unsigned>(r.first - b0 * slots);
    const auto key_at = [&](uint64_t i) {
      uint64_t block = b0, j = j0 + i;
      if (j >= 2 * uint64_t{slots}) [[unlikely]] {
        block += j / slots;
        j %= slots;
      } else {  // in this block or the next, without a branch: homes cross into the next at random
        const uint64_t next = j >= slots;
        block += next;
        j -= slots & (0 - next);
      }
      const uint64_t bit = block * block_bits + header_bits + j * width;
      if (width > 56) return get(words, bit);
      uint64_t word;
      std::memcpy(&word, bytes + (bit >> 3), sizeof word);
      return (word >> (bit & 7)) & mask;
    };
    const auto key_of = [&](uint64_t value) { return shift >= 64 ? 0 : value >> key_shift; };
    // The first entry not below the key: from the guess, steps of 1, 2,
    // 4 ... back (or on) until past it, then halving. A guess is mostly
    // within a step or two; a run of thousands of equal keys (copies of one
    // barcode in the code table) costs a few dozen reads, not thousands.
    const auto below = [&](uint64_t at) { return key_of(key_at(at)) < wanted; };
    uint64_t i = key_bits == 0 ? 0 : high_product(key << (64 - key_bits), r.count);
    uint64_t low, high;  // the first not below is in (low, high]; low may be "before 0"
    if (i == r.count || !below(i)) {
      high = i;
      uint64_t step = 1;
      while (high >= step && !below(high - step)) high -= step, step *= 2;
      low = high >= step ? high - step : ~uint64_t{0};  // below, or before the range
    } else {
      low = i;
      uint64_t step = 1;
      while (low + step < r.count && below(low + step)) low += step, step *= 2;
      high = std::min(low + step, r.count);
    }
    while (high - (low + 1) > 0) {  // low + 1 wraps to 0 for "before 0"
      const uint64_t middle = low + 1 + (high - (low + 1)) / 2;
      if (below(middle))
        low = middle;
      else
        high = middle;
    }
    i = high;
    for (; i < r.count; ++i) {
      const uint64_t value = key_at(i);
      const uint64_t found = key_of(value);
      if (found != wanted) {
        if (found > wanted) break;
        continue;
      }
      if constexpr (std::is_same_v<decltype(f(value)), bool>) {
        if (!f(value)) break;  // the caller has what it needs
      } else {
        f(value);
      }
    }
  }

  // find() on a split table: in each block the range spans, the entries
  // whose fingerprint holds the key's top bits, from one comparison of the
  // block's fingerprints, each then checked on its whole key. Entries come
  // in slot order, as find() gives them.
  template <class F>
  void find_split(const uint64_t* words, Range r, unsigned shift, unsigned key_bits, uint64_t key,
                  FingerprintMatch match, F&& f) const {
    if (r.count == 0) return;
    const unsigned slots = slots_per_block_;
    // The key's bits within the fingerprint: its top 8 (more key bits are
    // checked on the whole entry), or all of it above payload bits.
    const unsigned key_in_fingerprint = std::min(key_bits, fingerprint_bits);
    const auto mask = static_cast<uint8_t>(0xFF00u >> key_in_fingerprint);
    const auto wanted = static_cast<uint8_t>(key_in_fingerprint == 0 ? 0
                                                                     : (key >> (key_bits - key_in_fingerprint))
                                                                           << (fingerprint_bits - key_in_fingerprint));
    const unsigned key_shift = std::min(shift, 63u);
    const uint64_t wanted_key = shift >= 64 ? 0 : key;
    const auto* bytes = reinterpret_cast<const unsigned char*>(words);
    uint64_t block = block_of(r.first);
    auto j = static_cast<unsigned>(r.first - block * slots);
    uint64_t left = r.count;
    while (left > 0) {
      const auto end = static_cast<unsigned>(std::min<uint64_t>(slots, j + left));
      uint64_t hits = match(bytes + block * block_bytes, mask, wanted) >> (header_bits / 8);
      hits &= low_mask(end) & ~low_mask(j);
      for (; hits != 0; hits &= hits - 1) {
        const auto at = static_cast<unsigned>(__builtin_ctzll(hits));
        const uint64_t value = entry(words, block, at);
        if ((shift >= 64 ? 0 : value >> key_shift) != wanted_key) continue;
        if constexpr (std::is_same_v<decltype(f(value)), bool>) {
          if (!f(value)) return;
        } else {
          f(value);
        }
      }
      left -= end - j;
      ++block;
      j = 0;
    }
  }
  // The compare a split table's find() uses: the process's instruction set's.
  void use_fingerprint_match(FingerprintMatch match) noexcept { fingerprint_match_ = match; }

  uint64_t get(const uint64_t* words, uint64_t bit) const noexcept {
    const auto word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    uint64_t value = words[word] >> shift;
    if (shift + width_ > 64) value |= words[word + 1] << (64 - shift);
    return width_ >= 64 ? value : value & ((uint64_t{1} << width_) - 1);
  }

  // Writes `value` at bit position `bit` of zeroed words, this thread alone.
  void put(uint64_t* words, uint64_t bit, uint64_t value) const noexcept {
    const auto word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    words[word] |= value << shift;
    if (shift + width_ > 64) words[word + 1] |= value >> (64 - shift);
  }
  // The same where other threads write at once: the words strictly
  // between `shared_low` and `shared_high` belong to this writer alone;
  // those two may be written by another thread at once, so they are OR-ed
  // atomically.
  void put(uint64_t* words, uint64_t bit, uint64_t value, size_t shared_low, size_t shared_high) const noexcept {
    const auto word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    or_into(words, word, value << shift, shared_low, shared_high);
    if (shift + width_ > 64) or_into(words, word + 1, value >> (64 - shift), shared_low, shared_high);
  }

 private:
  static uint64_t low_mask(unsigned bits) noexcept { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }
  uint64_t rest_bit_of(uint64_t block, unsigned j) const noexcept {
    return block * block_bits + header_bits + uint64_t{slots_per_block_} * fingerprint_bits + uint64_t{j} * rest_bits_;
  }
  // The bits of a split entry below its fingerprint (within its block, and
  // so within the array: a block's last byte is at most 8 bytes from its end).
  uint64_t rest_at(const uint64_t* words, uint64_t block, unsigned j) const noexcept {
    if (rest_bits_ == 0) return 0;
    const uint64_t bit = rest_bit_of(block, j);
    const auto word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    uint64_t value = words[word] >> shift;
    if (shift + rest_bits_ > 64) value |= words[word + 1] << (64 - shift);
    return value & low_mask(rest_bits_);
  }
  void or_bits(uint64_t* words, uint64_t bit, uint64_t value, unsigned bits, size_t shared_low,
               size_t shared_high) const noexcept {
    if (bits == 0) return;
    const auto word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    or_into(words, word, value << shift, shared_low, shared_high);
    if (shift + bits > 64) or_into(words, word + 1, value >> (64 - shift), shared_low, shared_high);
  }
  static void or_into(uint64_t* words, size_t word, uint64_t bits, size_t shared_low, size_t shared_high) noexcept {
    if (word <= shared_low || word >= shared_high)
      std::atomic_ref<uint64_t>(words[word]).fetch_or(bits, std::memory_order_relaxed);
    else
      words[word] |= bits;
  }

  uint64_t homes_ = 0;
  unsigned width_ = 0;
  bool split_ = false;
  unsigned rest_bits_ = 0;
  FingerprintMatch fingerprint_match_ = &matching_fingerprints_scalar;
  unsigned slots_per_block_ = 0;
  uint64_t slot_reciprocal_ = 0;
  uint64_t blocks_ = 0;
  std::vector<Overflow> overflow_;
};

}  // namespace mendseqs
