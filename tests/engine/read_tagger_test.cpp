// The reads floor on seeded noisy reads: the same molecules whether the
// whitelist is scanned or looked up in the candidate index, mirrored
// exactly on a read's reverse complement, and the same on any thread
// count, the tolerance guard keeping its own message.
#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/host.hpp"
#include "engine/messages.hpp"
#include "engine/panic.hpp"
#include "engine/prepared_references.hpp"
#include "engine/tag.hpp"
#include "reads/read_tagger.hpp"

namespace mendseqs {
namespace {

std::string letters(std::mt19937_64& rng, size_t n) {
  std::string out(n, 'A');
  for (char& c : out) c = "ACGT"[rng() % 4];
  return out;
}

std::string reverse_complement(const std::string& text) {
  std::string out(text.rbegin(), text.rend());
  for (char& c : out) c = c == 'A' ? 'T' : c == 'C' ? 'G' : c == 'G' ? 'C' : c == 'T' ? 'A' : c;
  return out;
}

std::string mutated(std::mt19937_64& rng, const std::string& text, unsigned per_thousand) {
  std::string out;
  for (const char c : text) {
    const unsigned roll = rng() % 1000;
    if (roll >= per_thousand) {
      out += c;
    } else if (roll % 20 < 8) {
      out += rng() % 10 == 0 ? 'N' : "ACGT"[rng() % 4];
    } else if (roll % 20 < 13) {
      out += c;
      out += "ACGT"[rng() % 4];
    }
  }
  return out;
}

Layout v3_layout() {
  std::optional<Layout> layout = layout_preset("10x3v3");
  if (!layout) throw std::logic_error("no 10x3v3 preset");
  return *layout;
}

struct Fixture {
  Layout layout = v3_layout();
  std::vector<std::string> whitelist;
  std::vector<Text> whitelist_texts;
  std::vector<std::string> reads;
  std::vector<Text> read_texts;

  explicit Fixture(uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 2000; ++i) whitelist.push_back(letters(rng, 16));
    // Near neighbours, so that ties, runner-ups and both paths' choices
    // among several accepted entries are exercised.
    for (int i = 0; i < 200; ++i) whitelist.push_back(mutated(rng, whitelist[rng() % 2000], 150).substr(0, 16));
    for (int r = 0; r < 300; ++r) {
      std::string read;
      for (int m = 0; m < 1 + static_cast<int>(rng() % 3 == 0); ++m) {
        std::string molecule = letters(rng, rng() % 30) + layout.flank + whitelist[rng() % whitelist.size()] +
                               letters(rng, 12) + std::string(20 + rng() % 10, 'T') + letters(rng, 50 + rng() % 200);
        read += rng() % 2 ? molecule : reverse_complement(molecule);
      }
      reads.push_back(mutated(rng, read, 20 + rng() % 60));
    }
    for (const std::string& text : whitelist) whitelist_texts.emplace_back(text);
    for (const std::string& text : reads) read_texts.emplace_back(text);
  }
};

std::vector<TaggedRead> tag_all(const ReadTagger& tagger, const std::vector<Text>& reads) {
  NoHooks hooks;
  Checkpoint checkpoint(hooks);
  std::vector<TaggedRead> tagged(reads.size());
  for (size_t r = 0; r < reads.size(); ++r) tagger.tag(reads[r], tagged[r], checkpoint);
  return tagged;
}

bool same(const TaggedMolecule& a, const TaggedMolecule& b) {
  return a.segment == b.segment && a.reverse == b.reverse && a.flank_start == b.flank_start &&
         a.flank_end == b.flank_end && a.flank_edits == b.flank_edits && a.barcode_start == b.barcode_start &&
         a.barcode_end == b.barcode_end && a.raw_barcode == b.raw_barcode && a.match == b.match &&
         a.umi_start == b.umi_start && a.umi_end == b.umi_end && a.umi == b.umi && a.insert_start == b.insert_start &&
         a.insert_end == b.insert_end && a.status == b.status;
}

// Both layouts of the index: the hashed one (the fixture's list holds an N
// here and there) and the packed one (the same list over A, C, G, T), whose
// summaries a tagger must not take for its list of every accepted entry.
TEST(ReadTagger, TheIndexAndTheScanGiveTheSameMolecules) {
  const Fixture fixture(11);
  // Entries no read holds, so many that the index, not a scan, answers a
  // reading.
  std::vector<std::string> mixed = fixture.whitelist;
  std::mt19937_64 rng(111);
  for (int i = 0; i < 30'000; ++i) mixed.push_back(letters(rng, 16));
  // Over A, C, G, T and of one length, so that a reading of 16 letters
  // makes few enough lookups for the index to answer it.
  std::vector<std::string> dna;
  for (std::string entry : mixed)
    if (entry.size() == 16) {
      std::replace(entry.begin(), entry.end(), 'N', 'A');
      dna.push_back(entry);
    }
  const std::vector<Text> mixed_texts(mixed.begin(), mixed.end()), dna_texts(dna.begin(), dna.end());
  for (const bool packed : {false, true}) {
    SCOPED_TRACE(packed ? "packed" : "hashed");
    const std::vector<Text>& whitelist = packed ? dna_texts : mixed_texts;
    ReferenceSet scanned(whitelist);
    ReferenceSet indexed(whitelist);
    NoHooks hooks;
    Checkpoint checkpoint(hooks);
    indexed.prepare_index(2, 1, 1, checkpoint, CandidateIndex::Choice::always);
    ASSERT_NE(indexed.index(2), nullptr);
    ASSERT_EQ(indexed.index(2)->packed(), packed);
    // Every accepted entry is shown, by the index as by the scan.
    for (size_t i = 0; i < 50; ++i) {
      const Text& reading = whitelist[i * 37];
      std::vector<std::pair<size_t, size_t>> shown[2];
      for (const int side : {0, 1})
        nearest_accepted(side == 0 ? scanned : indexed, reading, 2, checkpoint,
                         [&](size_t position, size_t distance) { shown[side].emplace_back(position, distance); });
      std::sort(shown[1].begin(), shown[1].end());
      ASSERT_FALSE(shown[0].empty());
      if (packed) {
        ASSERT_FALSE(indexed.index(2)->prefers_scan(reading));
      }
      ASSERT_EQ(shown[0], shown[1]) << "entry " << i * 37;
    }
    const auto by_scan = tag_all(ReadTagger(scanned, 2, fixture.layout, 1), fixture.read_texts);
    const auto by_index = tag_all(ReadTagger(indexed, 2, fixture.layout, 1), fixture.read_texts);
    size_t assigned = 0, moved = 0;
    for (size_t r = 0; r < by_scan.size(); ++r) {
      ASSERT_EQ(by_scan[r].size(), by_index[r].size()) << "read " << r;
      for (size_t m = 0; m < by_scan[r].size(); ++m) {
        ASSERT_TRUE(same(by_scan[r][m], by_index[r][m])) << "read " << r << " molecule " << m;
        assigned += by_scan[r][m].status == TagStatus::assigned;
        moved += by_scan[r][m].barcode_end - by_scan[r][m].barcode_start != 16;
      }
    }
    EXPECT_GT(assigned, 200u);
    EXPECT_GT(moved, 10u);  // readings of other lengths were chosen
  }
}

TEST(ReadTagger, AReverseComplementedReadGivesTheMirroredMolecules) {
  const Fixture fixture(12);
  const ReferenceSet whitelist(fixture.whitelist_texts);
  const ReadTagger tagger(whitelist, 2, fixture.layout, 0);
  std::vector<std::string> flipped;
  flipped.reserve(fixture.reads.size());
  for (const std::string& read : fixture.reads) flipped.push_back(reverse_complement(read));
  std::vector<Text> flipped_texts(flipped.begin(), flipped.end());
  const auto forward = tag_all(tagger, fixture.read_texts);
  const auto backward = tag_all(tagger, flipped_texts);
  const auto mirror = [](size_t n, size_t start, size_t end, size_t& mirrored_start, size_t& mirrored_end) {
    mirrored_start = start == no_coordinate ? start : n - end;
    mirrored_end = end == no_coordinate ? end : n - start;
  };
  for (size_t r = 0; r < forward.size(); ++r) {
    const size_t n = fixture.reads[r].size(), count = forward[r].size();
    ASSERT_EQ(count, backward[r].size()) << "read " << r;
    for (size_t m = 0; m < count; ++m) {
      const TaggedMolecule& a = forward[r][m];
      if (a.status == TagStatus::no_flank) continue;
      TaggedMolecule b = backward[r][count - 1 - m];
      ASSERT_NE(a.reverse, b.reverse);
      mirror(n, b.flank_start, b.flank_end, b.flank_start, b.flank_end);
      mirror(n, b.barcode_start, b.barcode_end, b.barcode_start, b.barcode_end);
      mirror(n, b.umi_start, b.umi_end, b.umi_start, b.umi_end);
      mirror(n, b.insert_start, b.insert_end, b.insert_start, b.insert_end);
      b.reverse = a.reverse;
      b.segment = a.segment;
      ASSERT_TRUE(same(a, b)) << "read " << r << " molecule " << m;
    }
  }
}

// A read of hundreds of molecules, either strand, some overlapping or
// facing too close: the bounds and statuses, found by sorted searches, are
// those of every pair compared.
TEST(ReadTagger, ManyMoleculesInOneReadKeepThePairwiseRules) {
  const Fixture fixture(14);
  const ReferenceSet whitelist(fixture.whitelist_texts);
  const ReadTagger tagger(whitelist, 2, fixture.layout, 0);
  std::mt19937_64 rng(140);
  for (int round = 0; round < 5; ++round) {
    std::string read;
    for (int m = 0; m < 400; ++m) {
      std::string molecule = letters(rng, rng() % 8) + fixture.layout.flank + fixture.whitelist[rng() % 2000] +
                             letters(rng, 12) + std::string(25, 'T') + "GC" +
                             letters(rng, rng() % 4 == 0 ? rng() % 40 : 60 + rng() % 100);
      read += rng() % 2 ? molecule : reverse_complement(molecule);
    }
    read = mutated(rng, read, 10);
    TaggedRead molecules;
    NoHooks hooks;
    Checkpoint checkpoint(hooks);
    tagger.tag(Text(read), molecules, checkpoint);
    ASSERT_GT(molecules.size(), 350u);
    // Each structure's span on the read: from the flank to where the
    // insert starts ('+'), from where it ends to the flank's end ('-').
    struct Span {
      size_t low, high;
      bool reverse;
    };
    std::vector<Span> spans;
    for (const TaggedMolecule& m : molecules)
      spans.push_back(m.reverse ? Span{m.insert_end, m.flank_end, true} : Span{m.flank_start, m.insert_start, false});
    for (size_t i = 0; i < molecules.size(); ++i) {
      const TaggedMolecule& m = molecules[i];
      const Span& own = spans[i];
      bool opposed = false;
      for (size_t j = 0; j < spans.size(); ++j)
        opposed |= j != i && spans[j].reverse != own.reverse && spans[j].low < own.high && own.low < spans[j].high;
      for (const size_t j : {i - 1, i + 1}) {
        if (j >= spans.size() || spans[j].reverse == own.reverse) continue;
        const Span& plus = own.reverse ? spans[j] : own;
        const Span& minus = own.reverse ? own : spans[j];
        opposed |= (j > i) != own.reverse && plus.high <= minus.low && minus.low - plus.high < 50;
      }
      EXPECT_EQ(m.status == TagStatus::both_strands, opposed) << "molecule " << i;
      // The nearest structure the insert runs to: its start ('+'), or its
      // end ('-'); a structure on the same strand bounds it exactly.
      std::optional<size_t> next;
      for (size_t j = 0; j < spans.size(); ++j) {
        if (j == i) continue;
        if (!own.reverse && spans[j].low >= own.high && (!next || spans[j].low < spans[*next].low)) next = j;
        if (own.reverse && spans[j].high <= own.low && (!next || spans[j].high > spans[*next].high)) next = j;
      }
      if (!own.reverse) {
        const size_t bound = next ? spans[*next].low : read.size();
        EXPECT_TRUE(next && spans[*next].reverse ? m.insert_end <= bound && m.insert_end >= own.high
                                                 : m.insert_end == bound)
            << "molecule " << i;
      } else {
        const size_t bound = next ? spans[*next].high : 0;
        EXPECT_TRUE(next && !spans[*next].reverse ? m.insert_start >= bound && m.insert_start <= own.low
                                                  : m.insert_start == bound)
            << "molecule " << i;
      }
    }
  }
}

TEST(TagReads, AnyThreadCountGivesTheSameAndTheGuardKeepsItsMessage) {
  const Fixture fixture(13);
  NoHooks hooks;
  const PreparedReferences whitelist = PreparedReferences::build(fixture.whitelist_texts, 2, 1, hooks);
  const auto one = whitelist.tag(fixture.read_texts, fixture.layout, 1, 0, hooks);
  const auto three = whitelist.tag(fixture.read_texts, fixture.layout, 3, 0, hooks);
  ASSERT_EQ(one.size(), fixture.reads.size());
  for (size_t r = 0; r < one.size(); ++r) {
    ASSERT_EQ(one[r].size(), three[r].size());
    for (size_t m = 0; m < one[r].size(); ++m) ASSERT_TRUE(same(one[r][m], three[r][m]));
  }
  // Barcodes of 2 letters, read as 1 too, under a tolerance of 2: the
  // guard, whichever thread meets the read.
  Layout tiny = fixture.layout;
  tiny.barcode_length = 2;
  // Whatever the reads, none among them: the guard is the tagger's.
  const std::vector<Text> no_flank = {Text("ACGT")};
  for (const std::span<const Text> reads :
       {std::span<const Text>(fixture.read_texts), std::span<const Text>(no_flank), std::span<const Text>()}) {
    for (const uint32_t threads : {1u, 3u}) {
      try {
        whitelist.tag(reads, tiny, threads, 0, hooks);
        FAIL() << "no guard on " << threads << " threads, " << reads.size() << " reads";
      } catch (const Panic& panic) {
        EXPECT_EQ(panic.message(), messages::guard);
      }
    }
  }
}

}  // namespace
}  // namespace mendseqs
