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
#include "support/binomial.hpp"
#include "support/bits.hpp"
#include "support/dna.hpp"

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

// A reference's k-deletion variants for the build, with what each posting
// keeps: emit(variant, rank, letters) for each canonical choice whose
// variant is within [low, high] (the range of homes a round gathers). The
// reference is a code of A, C, G, T (no other letter), K >= 1 deletions,
// so a variant has at most 31 letters and every shift stays below 64. A
// branch ends as soon as the letters it keeps put every variant it can make
// outside the range.
template <size_t K>
class ReferenceVariants {
 public:
  ReferenceVariants(uint64_t code, unsigned length, uint64_t low, uint64_t high)
      : code_(code), length_(length), variant_letters_(length - K), low_(low), high_(high) {
    for (unsigned i = 1; i < length; ++i) repeats_ |= static_cast<uint64_t>(letter(i) == letter(i - 1)) << i;
  }

  template <class Emit>
  void each(Emit&& emit) const {
    step<K>(0, 0, 0, 0, 0, false, emit);
  }

 private:
  uint64_t letter(unsigned i) const noexcept { return (code_ >> (2 * (length_ - 1 - i))) & 3; }
  // Letters [from, to).
  uint64_t segment(unsigned from, unsigned to) const noexcept {
    if (to == from) return 0;
    return (code_ >> (2 * (length_ - to))) & ((uint64_t{1} << (2 * (to - from))) - 1);
  }

  // `kept`: the `kept_letters` letters kept so far, of [0, from); `Left`
  // deletions to make at p >= from. Deleting p when p - 1 holds the same
  // letter and was kept would repeat a variant, so that choice is skipped.
  template <size_t Left, class Emit>
  void step(unsigned from, uint64_t kept, unsigned kept_letters, uint32_t rank, uint32_t letters, bool previous_deleted,
            Emit& emit) const {
    constexpr size_t depth = K - Left;
    // The positions p in [from, length - Left + 1) that may be deleted: not
    // a repeat, or the first after a deletion. A mask walked bit by bit:
    // no branch on the letters.
    const unsigned end = length_ - static_cast<unsigned>(Left) + 1;
    uint64_t allowed = ~repeats_ & (((uint64_t{1} << end) - 1) & ~((uint64_t{1} << from) - 1));
    if (previous_deleted) allowed |= uint64_t{1} << from;
    for (; allowed != 0; allowed &= allowed - 1) {
      const auto p = static_cast<unsigned>(__builtin_ctzll(allowed));
      const uint64_t prefix = (kept << (2 * (p - from))) | segment(from, p);
      const unsigned prefix_letters = kept_letters + (p - from);
      const unsigned rest = 2 * (variant_letters_ - prefix_letters);
      const uint64_t first = prefix << rest;
      // Longer prefixes only narrow this one's range: once outside, done.
      if (first > high_ || (first | ((uint64_t{1} << rest) - 1)) < low_) break;
      const uint32_t next_rank = rank + small_binomials[p][depth + 1];
      const auto next_letters = static_cast<uint32_t>(letters | letter(p) << (2 * depth));
      if constexpr (Left == 1) {
        const uint64_t variant = first | (code_ & ((uint64_t{1} << (2 * (length_ - p - 1))) - 1));
        if (variant >= low_ && variant <= high_) emit(variant, next_rank, next_letters);
      } else {
        step<Left - 1>(p + 1, prefix, prefix_letters, next_rank, next_letters, true, emit);
      }
    }
  }

  uint64_t code_;
  unsigned length_;
  unsigned variant_letters_;
  uint64_t low_, high_;
  uint64_t repeats_ = 0;  // bit i: letter i is letter i - 1's
};

// The same for any K of the layout (0: the reference itself).
template <class Emit>
void each_reference_variant(size_t k, uint64_t code, unsigned length, uint64_t low, uint64_t high, Emit&& emit) {
  switch (k) {
    case 0:
      if (code >= low && code <= high) emit(code, uint32_t{0}, uint32_t{0});
      break;
    case 1:
      ReferenceVariants<1>(code, length, low, high).each(emit);
      break;
    case 2:
      ReferenceVariants<2>(code, length, low, high).each(emit);
      break;
    default:
      ReferenceVariants<3>(code, length, low, high).each(emit);
      break;
  }
}

// A query's deletion variants as the lookups want them: codes only, every
// canonical choice once (within a run of equal letters only a prefix is
// deleted), letters other than A, C, G, T deleted or the variant skipped.
class QueryVariants {
 public:
  static constexpr size_t most = 64;

  // False for a query too long to look up (the layout's lengths are at
  // most 32, and a query more than k longer matches none).
  bool load(const Text& query) {
    length_ = query.length();
    if (length_ > most) return false;
    uint64_t code = 0;
    prefix_[0] = 0;
    bad_after_[length_] = 0;
    query.visit([&](auto code_points) {
      for (size_t i = 0; i < length_; ++i) {
        const uint8_t letter = upper_base_code(code_points[i]);
        code = code << 2 | (letter & 3u);
        prefix_[i + 1] = code;
        bad_[i] = letter == unmatched_code;
        repeat_[i] = i > 0 && code_points[i] == code_points[i - 1];
      }
    });
    for (size_t i = length_; i-- > 0;) bad_after_[i] = bad_after_[i + 1] + bad_[i];
    return true;
  }

  // emit(code) for each variant with d letters deleted (at most 32 left).
  template <class Emit>
  void each(size_t d, Emit&& emit) const {
    if (d > length_ || length_ - d > 32 || bad_after_[0] > d) return;
    walk(0, d, 0, false, emit);
  }

 private:
  // Letters [begin, end), at most 32 of them.
  uint64_t segment(size_t begin, size_t end) const noexcept {
    return prefix_[end] & low_bits(2 * static_cast<unsigned>(end - begin));
  }

  // `code`: the letters kept of [0, from); `left` deletions to make from p
  // >= from. Deleting p when p - 1 holds the same letter and was kept would
  // repeat a variant, so that choice is skipped.
  template <class Emit>
  void walk(size_t from, size_t left, uint64_t code, bool previous_deleted, Emit& emit) const {
    if (left == 1) {  // the last deletion, where nearly all the variants are made
      for (size_t p = from; p < length_; ++p) {
        if (bad_after_[from] - bad_after_[p] != 0) break;  // a kept letter no reference has
        if (repeat_[p] && !(p == from && previous_deleted)) continue;
        if (bad_after_[p + 1] != 0) continue;
        emit(shift_left(shift_left(code, 2 * static_cast<unsigned>(p - from)) | segment(from, p),
                        2 * static_cast<unsigned>(length_ - p - 1)) |
             segment(p + 1, length_));
      }
      return;
    }
    if (left == 0) {
      if (bad_after_[from] == 0)
        emit(shift_left(code, 2 * static_cast<unsigned>(length_ - from)) | segment(from, length_));
      return;
    }
    for (size_t p = from; p + left <= length_; ++p) {
      if (bad_after_[from] - bad_after_[p] != 0) break;
      if (repeat_[p] && !(p == from && previous_deleted)) continue;
      walk(p + 1, left - 1, shift_left(code, 2 * static_cast<unsigned>(p - from)) | segment(from, p), true, emit);
    }
  }

  size_t length_ = 0;
  std::array<uint64_t, most + 1> prefix_{};    // codes of the prefixes, modulo 2^64
  std::array<uint8_t, most + 1> bad_after_{};  // letters other than A, C, G, T in [i, length)
  std::array<bool, most> bad_{}, repeat_{};
};

}  // namespace mendseqs
