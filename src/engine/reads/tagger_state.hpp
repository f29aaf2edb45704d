// What ReadTagger's files share: a molecule while it is read, the scratch
// one thread reuses from read to read, and the letter codes of a read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reads/read_tagger.hpp"
#include "support/dna.hpp"

namespace mendseqs {

// A molecule while it is read, in the coordinates of its strand's view of
// the read (the read itself for '+', its reverse complement for '-').
struct ReadTagger::Found {
  bool reverse = false;
  PatternHit flank{};
  bool has_barcode = false;
  size_t barcode_start = 0, barcode_end = 0;
  NearestMatch match;
  size_t umi_start = 0, umi_end = 0;
  size_t structure_end = 0;  // past the trimmed after_umi (or what was found of the molecule)
  // On the read as given, for ordering and neighbours.
  size_t flank_position = 0;  // the flank's first letter
  size_t low = 0, high = 0;   // the structure's span
  TagStatus status = TagStatus::no_match;
};

// What one thread reuses from read to read: memory O(read length).
struct ReadTagger::Scratch {
  std::vector<uint8_t> views[2];      // the read's codes, and its reverse complement's
  std::vector<uint8_t> qualities[2];  // the read's base qualities (Phred), likewise; empty for none
  std::vector<PatternHit> strand_hits[2];
  std::vector<PatternHit> hits;  // after_umi's
  std::vector<PatternHit> kept;
  std::vector<std::pair<size_t, size_t>> kept_spans;  // the kept hits' spans, by start
  std::vector<Found> found;
  std::vector<size_t> order;  // of found, by the structure's start on the read
  std::string reading;
  std::vector<Accepted> accepted;  // what the last lookup accepted
  std::vector<Fit> fits;           // each candidate's fit
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> scores;
  std::vector<uint32_t> weights;  // a row of the quality-weighted alignment
};

// base_code of every byte, looked up rather than branched on (the codes
// and their complements are support/dna.hpp's).
inline constexpr std::array<uint8_t, 256> byte_codes = [] {
  std::array<uint8_t, 256> codes{};
  for (size_t c = 0; c < codes.size(); ++c) codes[c] = base_code(static_cast<char32_t>(c));
  return codes;
}();
}  // namespace mendseqs
