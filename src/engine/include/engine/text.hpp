// A read-only view of one text in its owner's storage: a run of code points
// stored 1, 2 or 4 bytes each, the three widths CPython keeps a str in.
//
// The engine compares code points straight from these views, so a call
// reads the caller's strings in place instead of copying them; the owner
// keeps the storage alive and unchanged for as long as the call runs.
//
// Sixteen bytes on 64-bit platforms, twelve on 32-bit ones: a call keeps one
// view per query, and a million queries must not cost more than they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace mendseqs {

enum class CharWidth : uint8_t { one = 1, two = 2, four = 4 };

class Text {
 public:
  constexpr Text() noexcept = default;
  // `length` code points of `width` bytes each at `data`.
  Text(const void* data, size_t length, CharWidth width) noexcept : data_(data) { set(length, width); }
  // Bytes as 1-byte code points (Latin-1): for tests and native callers.
  explicit Text(std::string_view bytes) noexcept : Text(bytes.data(), bytes.size(), CharWidth::one) {}
  Text(std::span<const char16_t> units) noexcept : Text(units.data(), units.size(), CharWidth::two) {}
  Text(std::span<const char32_t> code_points) noexcept
      : Text(code_points.data(), code_points.size(), CharWidth::four) {}

  const void* data() const noexcept { return data_; }
  size_t length() const noexcept;
  bool empty() const noexcept { return length() == 0; }
  CharWidth width() const noexcept;

  char32_t operator[](size_t i) const noexcept {
    switch (width()) {
      case CharWidth::one:
        return static_cast<const uint8_t*>(data_)[i];
      case CharWidth::two:
        return static_cast<const uint16_t*>(data_)[i];
      default:
        return static_cast<const uint32_t*>(data_)[i];
    }
  }

  // Calls f with the code points as a span of uint8_t, uint16_t or
  // uint32_t: loops over a whole text are written once as a template and
  // compiled for each width, instead of branching on the width per
  // character.
  template <class F>
  decltype(auto) visit(F&& f) const {
    switch (width()) {
      case CharWidth::one:
        return f(std::span<const uint8_t>(static_cast<const uint8_t*>(data_), length()));
      case CharWidth::two:
        return f(std::span<const uint16_t>(static_cast<const uint16_t*>(data_), length()));
      default:
        return f(std::span<const uint32_t>(static_cast<const uint32_t*>(data_), length()));
    }
  }

 private:
  void set(size_t length, CharWidth width) noexcept;

  const void* data_ = "";
#if SIZE_MAX > UINT32_MAX
  // The width in the two low bits: no 64-bit address space holds 2^62
  // characters, so the length loses nothing.
  size_t packed_ = 0;
#else
  // A 32-bit length may use every bit (a 1-byte string of 2^30 characters
  // fits in memory), so the width has a field of its own.
  size_t length_ = 0;
  CharWidth width_ = CharWidth::one;
#endif
};

#if SIZE_MAX > UINT32_MAX
inline void Text::set(size_t length, CharWidth width) noexcept {
  packed_ = length << 2 | (width == CharWidth::one ? 0 : width == CharWidth::two ? 1 : 2);
}
inline size_t Text::length() const noexcept { return packed_ >> 2; }
inline CharWidth Text::width() const noexcept {
  const size_t code = packed_ & 3;
  return code == 0 ? CharWidth::one : code == 1 ? CharWidth::two : CharWidth::four;
}
#else
inline void Text::set(size_t length, CharWidth width) noexcept {
  length_ = length;
  width_ = width;
}
inline size_t Text::length() const noexcept { return length_; }
inline CharWidth Text::width() const noexcept { return width_; }
#endif

// Number of code points equal to uppercase 'A' (the second filter).
size_t count_letter_a(const Text& text) noexcept;

}  // namespace mendseqs
