// A fixed-size array of unsigned values of one width (0 to 64 bits), packed
// end to end in 64-bit words: postings and bucket offsets take the bits
// they need and no more. One spare word at the end lets every read load two
// words without a bounds test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "storage/large_array.hpp"
#include "storage/sections.hpp"

namespace mendseqs {

class BitArray {
 public:
  BitArray() = default;
  BitArray(size_t size, unsigned width) : size_(size), width_(width), words_(words_for(size, width)) {}

  size_t size() const noexcept { return size_; }
  unsigned width() const noexcept { return width_; }
  size_t bytes() const noexcept { return words_.bytes(); }
  // The packed words as bytes, for scans that load a value unaligned.
  const unsigned char* bytes_data() const noexcept { return reinterpret_cast<const unsigned char*>(words_.data()); }

  uint64_t get(size_t i) const noexcept {
    const uint64_t bit = static_cast<uint64_t>(i) * width_;
    const size_t word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    uint64_t value = words_[word] >> shift;
    if (shift + width_ > 64) value |= words_[word + 1] << (64 - shift);
    return width_ >= 64 ? value : value & ((uint64_t{1} << width_) - 1);
  }
  // f(i, value) for each i in [begin, end), in order: for narrow widths an
  // unaligned load and a shift a value (the spare word covers the end).
  template <class F>
  void scan(size_t begin, size_t end, F&& f) const {
    if (width_ > 56) {
      for (size_t i = begin; i < end; ++i) f(i, get(i));
      return;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(words_.data());
    const uint64_t mask = (uint64_t{1} << width_) - 1;
    uint64_t bit = static_cast<uint64_t>(begin) * width_;
    for (size_t i = begin; i < end; ++i, bit += width_) {
      uint64_t word;
      std::memcpy(&word, bytes + (bit >> 3), sizeof word);
      f(i, (word >> (bit & 7)) & mask);
    }
  }
  // Not thread-safe: neighbours share words.
  void set(size_t i, uint64_t value) noexcept {
    if (width_ == 0) return;
    const uint64_t mask = width_ >= 64 ? ~uint64_t{0} : (uint64_t{1} << width_) - 1;
    value &= mask;
    const uint64_t bit = static_cast<uint64_t>(i) * width_;
    const size_t word = static_cast<size_t>(bit >> 6);
    const unsigned shift = bit & 63;
    words_[word] = (words_[word] & ~(mask << shift)) | (value << shift);
    if (shift + width_ > 64) {
      const unsigned spill = 64 - shift;
      words_[word + 1] = (words_[word + 1] & ~(mask >> spill)) | (value >> spill);
    }
  }
  void prefetch(size_t i) const noexcept {
    __builtin_prefetch(words_.data() + static_cast<size_t>((static_cast<uint64_t>(i) * width_) >> 6));
  }

  void save(SectionSink& sink, const std::string& name) const {
    sink.put_scalar<uint64_t>(name + ".size", size_);
    sink.put_scalar<uint32_t>(name + ".width", width_);
    sink.put_array<uint64_t>(name + ".words", words_.view());
  }
  // Borrows the words; throws IndexFormatError when the sizes disagree.
  static BitArray load(SectionSource& source, const std::string& name) {
    BitArray array;
    const uint64_t size = source.scalar<uint64_t>(name + ".size");
    const uint32_t width = source.scalar<uint32_t>(name + ".width");
    if (width > 64) throw IndexFormatError(name + ": width over 64 bits");
    if (size > SIZE_MAX || size >= (uint64_t{1} << 57)) throw IndexFormatError(name + ": size out of range");
    const std::span<const uint64_t> words = source.array<uint64_t>(name + ".words");
    // In 64 bits: on a 32-bit platform a bad size and width must be refused
    // as a bad file, not as exhausted memory.
    if (words.size() != (size * width + 63) / 64 + 1)
      throw IndexFormatError(name + ": word count does not match size and width");
    array.size_ = static_cast<size_t>(size);
    array.width_ = width;
    array.words_ = LargeArray<uint64_t>::borrow(words);
    return array;
  }

 private:
  static size_t words_for(size_t size, unsigned width) {
    if (width > 64) throw std::length_error("bit width over 64");
    const uint64_t words = (static_cast<uint64_t>(size) * width + 63) / 64 + 1;  // size < 2^58 on every target
    if (words > SIZE_MAX / 8) throw std::bad_alloc();
    return static_cast<size_t>(words);
  }

  size_t size_ = 0;
  unsigned width_ = 0;
  LargeArray<uint64_t> words_{1};
};

}  // namespace mendseqs
