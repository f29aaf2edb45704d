// Test support: texts written as UTF-8 literals, held as the engine reads
// them (code points 1, 2 or 4 bytes each, the narrowest that holds the
// text, as CPython stores a str), and the batch driver seen through them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch/driver.hpp"
#include "engine/text.hpp"

namespace mendseqs::test_support {

using Strings = std::vector<std::string>;

// Malformed bytes (only ever written by these tests on purpose) decode
// alone to U+DC00 + byte, so every byte stays accounted for.
inline std::vector<char32_t> decode_utf8(std::string_view text) {
  std::vector<char32_t> out;
  for (size_t pos = 0; pos < text.size();) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const size_t extra = lead < 0x80 ? 0 : lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 9;
    char32_t c = lead & (0x7F >> (extra + 1));
    bool ok = extra != 9 && text.size() - pos > extra;
    for (size_t i = 1; ok && i <= extra; ++i) {
      const auto next = static_cast<unsigned char>(text[pos + i]);
      ok = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!ok) {
      out.push_back(0xDC00 + lead);
      ++pos;
    } else {
      out.push_back(extra == 0 ? lead : c);
      pos += extra + 1;
    }
  }
  return out;
}

// The one UTF-8 encoder of the tests (decode_utf8 above is the one decoder).
inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

inline std::string encode_utf8(const Text& text) {
  std::string out;
  for (size_t i = 0; i < text.length(); ++i) append_utf8(out, text[i]);
  return out;
}

class Texts {
 public:
  Texts() = default;
  Texts(const Strings& utf8) {
    for (const std::string& s : utf8) add(s);
  }
  Texts(std::initializer_list<const char*> utf8) {
    for (const char* s : utf8) add(s);
  }
  Texts(const Texts&) = delete;
  Texts& operator=(const Texts&) = delete;

  void add(std::string_view utf8) {
    const std::vector<char32_t> code_points = decode_utf8(utf8);
    char32_t widest = 0;
    for (const char32_t c : code_points) widest = std::max(widest, c);
    Storage& s = storage_.emplace_back();
    if (widest < 0x100) {
      s.one.assign(code_points.begin(), code_points.end());
      views_.emplace_back(s.one.data(), s.one.size(), CharWidth::one);
    } else if (widest < 0x10000) {
      s.two.assign(code_points.begin(), code_points.end());
      views_.emplace_back(s.two.data(), s.two.size(), CharWidth::two);
    } else {
      s.four.assign(code_points.begin(), code_points.end());
      views_.emplace_back(s.four.data(), s.four.size(), CharWidth::four);
    }
  }

  std::span<const Text> views() const noexcept { return views_; }
  operator std::span<const Text>() const noexcept { return views_; }
  const Text& operator[](size_t i) const noexcept { return views_[i]; }
  size_t size() const noexcept { return views_.size(); }

 private:
  struct Storage {
    std::vector<uint8_t> one;
    std::vector<uint16_t> two;
    std::vector<uint32_t> four;
  };
  std::vector<Storage> storage_;  // heap buffers stay put as it grows
  std::vector<Text> views_;
};

// The driver with UTF-8 in and out: the matched reference per query, or "".
inline Strings correct_all(const Strings& references, const Strings& queries, intptr_t max_flex, uint32_t threads,
                           OutputStream& out) {
  const Texts reference_texts(references), query_texts(queries);
  NoHooks hooks;
  const std::vector<Position> matched = correct_seq_mt(reference_texts, query_texts, max_flex, threads, hooks, out);
  Strings result;
  for (const Position p : matched) result.push_back(p == no_match ? std::string() : references[p]);
  return result;
}

}  // namespace mendseqs::test_support

namespace mendseqs::test_support {

// One text from a UTF-8 literal, alive until the end of the full
// expression that made it: lcs_length(QueryPattern(T("AC")), T("ACG")).
class T {
 public:
  explicit T(std::string_view utf8) { texts_.add(utf8); }
  operator const Text&() const noexcept { return texts_[0]; }

 private:
  Texts texts_;
};

}  // namespace mendseqs::test_support
