// One input: a kit's layout, a margin, and reads spelled by the bytes:
// mostly letters (either case), now and then the kit's flank and a
// whitelist barcode put in whole, as read or reverse complemented, with
// characters no read should hold (N, stray bytes, code points beyond
// Latin-1) among them. The reads are tagged through the engine's public
// entry point (PreparedReferences::tag) against one whitelist scanned and
// the same whitelist looked up in its candidate index, on one thread and
// on several, and must:
//   - give the same molecules every way (the index names what the scan
//     finds; workers share the reads, never the answers);
//   - keep every promise of engine/tag.hpp: at least one molecule a read,
//     in flank order; spans inside the read; the barcode and UMI strings
//     the read's own letters there, upper case, N for anything but A, C,
//     G, T, reverse complemented on '-'; an assigned barcode the unique
//     nearest beyond the margin;
//   - fail, if at all, only with the tolerance guard's message.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/host.hpp"
#include "engine/messages.hpp"
#include "engine/panic.hpp"
#include "engine/prepared_references.hpp"
#include "engine/tag.hpp"
#include "engine/text.hpp"

namespace {

using namespace mendseqs;

constexpr intptr_t max_flex = 2;
constexpr size_t barcode_letters = 16;

struct Whitelist {
  std::vector<std::string> entries;
  std::vector<Text> texts;
  std::optional<PreparedReferences> scanned, indexed;
};

// Random barcodes and, for every fourth, one a substitution away: readings
// between two entries are where ties and the margin decide.
Whitelist* make_whitelist() {
  auto* list = new Whitelist{};  // never freed: the fuzzer's runs share it to the end
  std::mt19937_64 rng(28);
  for (size_t i = 0; i < 400; ++i) {
    std::string entry;
    for (size_t j = 0; j < barcode_letters; ++j) entry += "ACGT"[rng() % 4];
    list->entries.push_back(entry);
    if (i % 4 == 0) {
      entry[rng() % barcode_letters] = "ACGT"[rng() % 4];
      list->entries.push_back(entry);
    }
  }
  for (const std::string& entry : list->entries) list->texts.emplace_back(std::string_view(entry));
  NoHooks hooks;
  list->scanned.emplace(PreparedReferences::build(list->texts, max_flex, 1, hooks));
  list->indexed.emplace(PreparedReferences::build(list->texts, max_flex, 1, hooks, true));
  if (!list->indexed->indexed()) {
    std::fputs("read_tagger_fuzz: the whitelist got no index\n", stderr);
    std::abort();
  }
  return list;
}

Whitelist& whitelist() {
  static Whitelist* const list = make_whitelist();
  return *list;
}

char32_t complement(char32_t c) {
  switch (c) {
    case U'A':
      return U'T';
    case U'C':
      return U'G';
    case U'G':
      return U'C';
    case U'T':
      return U'A';
    default:
      return U'N';
  }
}

char32_t upper(char32_t c) { return c >= U'a' && c <= U'z' ? c - 32 : c; }

// The read's letter as the molecules spell it: upper case, N for anything
// but A, C, G, T.
char32_t spelled(char32_t c) {
  c = upper(c);
  return c == U'A' || c == U'C' || c == U'G' || c == U'T' ? c : U'N';
}

// What the strings of a molecule must say for [start, end) of the read.
std::string expected_letters(const std::u32string& read, size_t start, size_t end, bool reverse) {
  std::string out;
  if (!reverse) {
    for (size_t i = start; i < end; ++i) out += static_cast<char>(spelled(read[i]));
  } else {
    for (size_t i = end; i-- > start;) out += static_cast<char>(complement(spelled(read[i])));
  }
  return out;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "read_tagger_fuzz: %s\n", what.c_str());
  std::abort();
}

// Reads spelled by the bytes (a read ends at 0xFF).
std::vector<std::u32string> spell_reads(FuzzedDataProvider& data, const Layout& layout, bool wide) {
  std::vector<std::u32string> reads(1);
  const std::vector<std::string>& entries = whitelist().entries;
  while (data.remaining_bytes() > 0 && reads.size() <= 40) {
    const auto byte = data.ConsumeIntegral<uint8_t>();
    std::u32string& read = reads.back();
    if (byte < 0xC0) {
      read += (byte & 0x40 ? U"acgt" : U"ACGT")[byte & 3];
    } else if (byte < 0xE0) {
      // The flank, a barcode (with a letter changed at times) and a UMI.
      std::u32string unit(layout.flank.begin(), layout.flank.end());
      std::string barcode = entries[data.ConsumeIntegralInRange<size_t>(0, entries.size() - 1)];
      if (byte & 1) barcode[data.ConsumeIntegralInRange<size_t>(0, barcode.size() - 1)] = 'T';
      barcode.resize(layout.barcode_length, 'A');
      unit.append(barcode.begin(), barcode.end());
      unit.append(layout.umi_length, U'C');
      if (byte >= 0xD0) {
        std::u32string reversed;
        for (size_t i = unit.size(); i-- > 0;) reversed += complement(unit[i]);
        unit = reversed;
      }
      read += unit;
    } else if (byte < 0xFF) {
      static constexpr char32_t odd[] = {U'N', U'n', U'X', U'\0', U'-', 0xE9, 0x3B1, 0x1F600};
      const char32_t c = odd[byte % (wide ? 8 : 6)];
      read += c;
    } else {
      reads.emplace_back();
    }
  }
  return reads;
}

// The reads as the module would pass them: one byte a character when every
// one fits, else two or four.
struct ReadTexts {
  std::vector<std::string> narrow;
  std::vector<std::u16string> middle;
  std::vector<Text> texts;
};
void make_texts(const std::vector<std::u32string>& reads, ReadTexts& out) {
  for (const std::u32string& read : reads) {
    char32_t most = 0;
    for (const char32_t c : read) most = std::max(most, c);
    if (most < 0x100) {
      out.narrow.emplace_back(read.begin(), read.end());
    } else if (most < 0x10000) {
      out.middle.emplace_back(read.begin(), read.end());
    }
  }
  size_t n = 0, m = 0;
  for (const std::u32string& read : reads) {
    char32_t most = 0;
    for (const char32_t c : read) most = std::max(most, c);
    if (most < 0x100)
      out.texts.emplace_back(std::string_view(out.narrow[n++]));
    else if (most < 0x10000)
      out.texts.emplace_back(std::span<const char16_t>(out.middle[m++]));
    else
      out.texts.emplace_back(std::span<const char32_t>(read.data(), read.size()));
  }
}

bool same(const TaggedMolecule& a, const TaggedMolecule& b) {
  return a.segment == b.segment && a.reverse == b.reverse && a.flank_start == b.flank_start &&
         a.flank_end == b.flank_end && a.flank_edits == b.flank_edits && a.barcode_start == b.barcode_start &&
         a.barcode_end == b.barcode_end && a.raw_barcode == b.raw_barcode && a.match == b.match &&
         a.umi_start == b.umi_start && a.umi_end == b.umi_end && a.umi == b.umi && a.insert_start == b.insert_start &&
         a.insert_end == b.insert_end && a.status == b.status;
}

void check_same(const std::vector<TaggedRead>& a, const std::vector<TaggedRead>& b, const char* what) {
  if (a.size() != b.size()) fail(std::string(what) + ": a different number of reads");
  for (size_t r = 0; r < a.size(); ++r) {
    if (a[r].size() != b[r].size()) fail(std::string(what) + ": read " + std::to_string(r) + " molecule counts differ");
    for (size_t i = 0; i < a[r].size(); ++i)
      if (!same(a[r][i], b[r][i]))
        fail(std::string(what) + ": read " + std::to_string(r) + " molecule " + std::to_string(i) + " differs");
  }
}

void check_span(size_t start, size_t end, size_t n, const std::string& where) {
  if (start > end || end > n) fail(where + ": a span outside the read");
}

void check_promises(const std::vector<std::u32string>& reads, const std::vector<TaggedRead>& tagged, size_t margin) {
  const size_t entries = whitelist().entries.size();
  for (size_t r = 0; r < reads.size(); ++r) {
    const std::u32string& read = reads[r];
    const size_t n = read.size();
    const std::string where = "read " + std::to_string(r);
    if (tagged[r].empty()) fail(where + ": no molecule");
    for (size_t i = 0; i < tagged[r].size(); ++i) {
      const TaggedMolecule& m = tagged[r][i];
      if (m.segment != i) fail(where + ": segments out of order");
      check_span(m.insert_start, m.insert_end, n, where + " insert");
      if (m.status == TagStatus::no_flank) {
        if (tagged[r].size() != 1 || m.flank_start != no_coordinate || m.insert_start != 0 || m.insert_end != n ||
            !m.raw_barcode.empty())
          fail(where + ": a read without a flank is not one whole-read molecule");
        continue;
      }
      check_span(m.flank_start, m.flank_end, n, where + " flank");
      if (i > 0 && m.flank_start < tagged[r][i - 1].flank_start) fail(where + ": molecules not in flank order");
      if (m.barcode_start != no_coordinate) {
        check_span(m.barcode_start, m.barcode_end, n, where + " barcode");
        if (m.raw_barcode != expected_letters(read, m.barcode_start, m.barcode_end, m.reverse))
          fail(where + ": the barcode is not the read's letters");
      }
      if (m.umi_start != no_coordinate) {
        check_span(m.umi_start, m.umi_end, n, where + " UMI");
        if (m.umi != expected_letters(read, m.umi_start, m.umi_end, m.reverse))
          fail(where + ": the UMI is not the read's letters");
      }
      const NearestMatch& match = m.match;
      const bool unique =
          match.ties == 1 && (match.runner_up == no_distance || match.runner_up - match.distance >= margin);
      if (m.status == TagStatus::assigned && (match.position >= entries || !unique))
        fail(where + ": an assigned barcode that is not the unique nearest beyond the margin");
      if (m.status == TagStatus::ambiguous && (match.position >= entries || unique))
        fail(where + ": an ambiguous barcode that is clear");
      if (match.position != no_match &&
          (match.position >= entries || match.ties == 0 || match.runner_up < match.distance))
        fail(where + ": a match out of range");
    }
  }
}

// The molecules, or the guard's failure (empty); any other failure aborts.
bool tag_or_guard(const PreparedReferences& list, const std::vector<Text>& reads, const Layout& layout,
                  uint32_t threads, size_t margin, std::vector<TaggedRead>& out) {
  NoHooks hooks;
  try {
    out = list.tag(reads, layout, threads, margin, hooks);
    return true;
  } catch (const Panic& failure) {
    if (failure.message() != messages::guard) fail("tagging failed: " + failure.message());
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  whitelist();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::span<const std::string_view> presets = layout_presets();
  const std::optional<Layout> preset =
      layout_preset(presets[data.ConsumeIntegralInRange<size_t>(0, presets.size() - 1)]);
  if (!preset) fail("a preset the list names is missing");
  const Layout& layout = *preset;
  const size_t margin = data.ConsumeIntegralInRange<size_t>(0, 3);
  const bool wide = data.ConsumeBool();
  const std::vector<std::u32string> reads = spell_reads(data, layout, wide);
  ReadTexts texts;
  make_texts(reads, texts);

  std::vector<TaggedRead> scanned, indexed, spread;
  const bool tagged = tag_or_guard(*whitelist().scanned, texts.texts, layout, 1, margin, scanned);
  if (tag_or_guard(*whitelist().indexed, texts.texts, layout, 1, margin, indexed) != tagged)
    fail("the guard tripped with one whitelist and not the other");
  if (tag_or_guard(*whitelist().indexed, texts.texts, layout, 3, margin, spread) != tagged)
    fail("the guard tripped on one thread count and not the other");
  if (!tagged) return 0;
  check_same(scanned, indexed, "scanned and indexed whitelists");
  check_same(indexed, spread, "one thread and three");
  check_promises(reads, scanned, margin);
  return 0;
}
