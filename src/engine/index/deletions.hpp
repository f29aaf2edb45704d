// Deletion variants: what is left of a text after deleting d of its
// characters, every choice once up to repeats.
//
// Deleting any m characters of a run of equal ones leaves the same text, so
// only deletions that take a prefix of each run are enumerated ("canonical"
// deletions): far fewer repeats, and no variant missed. A few repeats remain
// (ABAB less A and B, or less B and A); they are equal keys, never a
// different answer.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/text.hpp"

namespace mendseqs {

// A query deletes up to 2k characters; beyond this the neighbourhoods are
// astronomically large anyway and the cost model never gets here.
inline constexpr size_t max_deletions = 64;

// Calls emit(deleted, d) for each canonical choice of d deleted positions
// (increasing) of a text of `length` characters, where repeats[p] says that
// character p equals character p - 1.
template <class Emit>
void for_each_deletion(const uint8_t* repeats, size_t length, size_t d, Emit&& emit) {
  if (d > length || d > max_deletions) return;
  uint32_t deleted[max_deletions + 1];
  // Deleting p when p - 1 holds the same character and was kept would
  // repeat a variant, so that choice is skipped.
  const auto walk = [&](auto& self, size_t from, size_t depth, bool previous_deleted) -> void {
    if (depth == d) {
      emit(static_cast<const uint32_t*>(deleted), d);
      return;
    }
    for (size_t p = from; p + (d - depth) <= length; ++p) {
      if (repeats[p] && !(p == from && previous_deleted)) continue;
      deleted[depth] = static_cast<uint32_t>(p);
      self(self, p + 1, depth + 1, true);
    }
  };
  walk(walk, 0, 0, false);
}

// The d-deletion variants of one text, each as the polynomial hash of what
// is left, computed from prefix hashes in O(d) per variant: the keys of the
// hashed layout, for any alphabet and length.
class HashedDeletions {
 public:
  static constexpr uint64_t base = 0x9E3779B97F4A7C15ull;  // odd, so powers never vanish mod 2^64

  void load(const Text& text) {
    length_ = text.length();
    prefix_.resize(length_ + 1);
    repeats_.resize(length_ + 1);
    while (powers_.size() <= length_) powers_.push_back(powers_.empty() ? 1 : powers_.back() * base);
    text.visit([&](auto code_points) {
      uint64_t hash = 0;
      prefix_[0] = 0;
      for (size_t i = 0; i < code_points.size(); ++i) {
        hash = hash * base + (static_cast<uint64_t>(code_points[i]) + 1);
        prefix_[i + 1] = hash;
        repeats_[i] = i > 0 && code_points[i] == code_points[i - 1];
      }
    });
  }

  size_t length() const noexcept { return length_; }

  template <class F>
  void for_each(size_t deletions, F&& emit) const {
    if (deletions <= length_ && deletions <= max_deletions) delete_from(0, deletions, 0, false, emit);
  }

 private:
  uint64_t segment(size_t begin, size_t end) const noexcept {
    return prefix_[end] - prefix_[begin] * powers_[end - begin];
  }

  // Extends `hash`, the hash of what is kept of [0, from), by choosing the
  // next deleted position p >= from, `left` deletions to go.
  template <class F>
  void delete_from(size_t from, size_t left, uint64_t hash, bool previous_deleted, F& emit) const {
    if (left == 0) {
      emit(hash * powers_[length_ - from] + segment(from, length_));
      return;
    }
    if (left == 1) {  // the last deletion, where nearly all the variants are made: no call per variant
      for (size_t p = from; p < length_; ++p) {
        if (repeats_[p] && !(p == from && previous_deleted)) continue;
        const uint64_t kept = hash * powers_[p - from] + segment(from, p);
        emit(kept * powers_[length_ - p - 1] + segment(p + 1, length_));
      }
      return;
    }
    for (size_t p = from; p + left <= length_; ++p) {
      if (repeats_[p] && !(p == from && previous_deleted)) continue;
      delete_from(p + 1, left - 1, hash * powers_[p - from] + segment(from, p), true, emit);
    }
  }

  size_t length_ = 0;
  std::vector<uint64_t> prefix_;
  std::vector<uint8_t> repeats_;
  std::vector<uint64_t> powers_;
};

// Letters of the packed layout, two bits each: A C G T.
inline int dna_letter(char32_t c) noexcept {
  switch (c) {
    case U'A':
      return 0;
    case U'C':
      return 1;
    case U'G':
      return 2;
    case U'T':
      return 3;
    default:
      return -1;
  }
}

inline uint64_t shift_left(uint64_t x, unsigned bits) noexcept { return bits >= 64 ? 0 : x << bits; }
inline uint64_t shift_right(uint64_t x, unsigned bits) noexcept { return bits >= 64 ? 0 : x >> bits; }
inline uint64_t low_bits(unsigned bits) noexcept { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// n choose r, exactly, while the result times r fits 64 bits (each step's
// product of consecutive numbers is divisible by i).
constexpr uint64_t binomial(uint64_t n, uint64_t r) noexcept {
  if (r > n) return 0;
  uint64_t value = 1;
  for (uint64_t i = 1; i <= r; ++i) value = value * (n - r + i) / i;
  return value;
}

// n choose r for n < 64 and r <= 3, looked up: the rank of a set of deleted
// positions p0 < p1 < p2 is C(p0, 1) + C(p1, 2) + C(p2, 3) (the
// combinatorial number system), so a posting can say which positions a
// reference lost in few bits.
inline constexpr size_t rank_positions = 64;
inline constexpr size_t rank_depth = 3;
inline constexpr auto small_binomials = [] {
  std::array<std::array<uint32_t, rank_depth + 1>, rank_positions> table{};
  for (size_t n = 0; n < rank_positions; ++n)
    for (size_t r = 0; r <= rank_depth; ++r) table[n][r] = static_cast<uint32_t>(binomial(n, r));
  return table;
}();

// The d-deletion variants of one text as packed codes (two bits a letter,
// the first letter highest), for variants of at most 32 letters, each with
// the rank of its deleted positions and their letters (two bits each, the
// first lowest) for the first three deletions. Letters other than A, C, G,
// T may only be deleted: a variant keeping one matches no packed
// reference, and is skipped.
class PackedDeletions {
 public:
  // From a text (a query) ...
  void load(const Text& text) {
    length_ = text.length();
    resize();
    text.visit([&](auto code_points) {
      for (size_t i = 0; i < code_points.size(); ++i)
        set(i, dna_letter(code_points[i]), i > 0 && code_points[i] == code_points[i - 1]);
    });
    finish();
  }
  // ... or from a packed code of `length` letters (a reference).
  void load(uint64_t code, size_t length) {
    length_ = length;
    resize();
    for (size_t i = 0; i < length; ++i) {
      const int letter = static_cast<int>((code >> (2 * (length - 1 - i))) & 3);
      set(i, letter, i > 0 && letter == letters_[i - 1]);
    }
    finish();
  }

  size_t length() const noexcept { return length_; }

  // emit(code, rank, letters) for each canonical d-deletion variant.
  template <class F>
  void for_each(size_t d, F&& emit) const {
    for_each_within(d, 0, ~uint64_t{0}, emit);
  }
  // The same, for the variants whose code is within [low, high] alone: a
  // branch ends as soon as the letters it keeps put every variant it can
  // make outside, so a build that gathers one range of buckets at a time
  // makes little more than that range's variants.
  template <class F>
  void for_each_within(size_t d, uint64_t low, uint64_t high, F&& emit) const {
    if (d > length_ || length_ - d > 32 || bad_ > d || d > max_deletions || low > high) return;
    low_ = low;
    high_ = high;
    variant_length_ = length_ - d;
    delete_from(0, d, 0, 0, 0, 0, 0, false, emit);
  }

 private:
  void resize() {
    letters_.resize(length_ + 1);
    repeats_.resize(length_ + 1);
    prefix_.resize(length_ + 1);
    bad_ = 0;
  }
  void set(size_t i, int letter, bool repeat) {
    letters_[i] = static_cast<int8_t>(letter);
    repeats_[i] = repeat;
    bad_ += letter < 0;
  }
  void finish() {
    uint64_t code = 0;
    prefix_[0] = 0;
    for (size_t i = 0; i < length_; ++i) {
      code = (code << 2) | static_cast<uint64_t>(letters_[i] < 0 ? 0 : letters_[i]);
      prefix_[i + 1] = code;
    }
  }
  // Letters [begin, end), at most 32 of them (a kept stretch of a variant).
  uint64_t segment(size_t begin, size_t end) const noexcept {
    return prefix_[end] & low_bits(2 * static_cast<unsigned>(end - begin));
  }
  uint64_t rank_of(size_t p, size_t depth) const noexcept {
    return p < rank_positions && depth < rank_depth ? small_binomials[p][depth + 1] : 0;
  }
  uint64_t letters_of(size_t p, size_t depth) const noexcept {
    return depth < rank_depth && letters_[p] > 0 ? static_cast<uint64_t>(letters_[p]) << (2 * depth) : 0;
  }

  // Whether a variant starting with the `kept_letters` letters of `kept`
  // can fall within [low_, high_]. A longer prefix of the same letters
  // narrows its range, so once one is outside, so are all that extend it.
  bool reachable(uint64_t kept, size_t kept_letters) const noexcept {
    const auto rest = static_cast<unsigned>(2 * (variant_length_ - kept_letters));
    const uint64_t first = shift_left(kept, rest);
    return first <= high_ && (first | low_bits(rest)) >= low_;
  }

  // Extends `code`, what is kept of [0, from), by choosing the next deleted
  // position p >= from, `left` deletions to go, `depth` made. Deleting p
  // when p - 1 holds the same character and was kept would repeat a
  // variant, so that choice is skipped.
  template <class F>
  void delete_from(size_t from, size_t left, size_t depth, uint64_t code, uint64_t rank, uint64_t letters,
                   size_t bad_deleted, bool previous_deleted, F& emit) const {
    if (left == 0) {
      const uint64_t variant = shift_left(code, 2 * static_cast<unsigned>(length_ - from)) | segment(from, length_);
      if (bad_deleted == bad_ && variant >= low_ && variant <= high_) emit(variant, rank, letters);
      return;
    }
    if (left == 1) {  // the last deletion, where nearly all the variants are made: no call per variant
      for (size_t p = from; p < length_; ++p) {
        if (repeats_[p] && !(p == from && previous_deleted)) continue;
        if (bad_deleted + (letters_[p] < 0) != bad_) continue;
        const uint64_t kept = shift_left(code, 2 * static_cast<unsigned>(p - from)) | segment(from, p);
        if (!reachable(kept, p - depth)) break;
        const uint64_t variant = shift_left(kept, 2 * static_cast<unsigned>(length_ - p - 1)) | segment(p + 1, length_);
        if (variant >= low_ && variant <= high_)
          emit(variant, rank + rank_of(p, depth), letters | letters_of(p, depth));
      }
      return;
    }
    for (size_t p = from; p + left <= length_; ++p) {
      if (repeats_[p] && !(p == from && previous_deleted)) continue;
      const uint64_t kept = shift_left(code, 2 * static_cast<unsigned>(p - from)) | segment(from, p);
      if (!reachable(kept, p - depth)) break;
      delete_from(p + 1, left - 1, depth + 1, kept, rank + rank_of(p, depth), letters | letters_of(p, depth),
                  bad_deleted + (letters_[p] < 0), true, emit);
    }
  }

  size_t length_ = 0;
  size_t bad_ = 0;                                  // letters other than A, C, G, T
  mutable uint64_t low_ = 0, high_ = ~uint64_t{0};  // the codes asked for
  mutable size_t variant_length_ = 0;
  std::vector<int8_t> letters_;
  std::vector<uint8_t> repeats_;
  std::vector<uint64_t> prefix_;  // codes of the prefixes, modulo 2^64
};

}  // namespace mendseqs
