// One read's molecules (engine/tag.hpp), the rules that find them:
//
// 1. The flank is searched in the read and in its reverse complement
//    (kernels/approximate_search.hpp) with at most flank length / 5 edits
//    (4 for the 22 letters of Read 1). Hits on one strand that overlap
//    keep the one with fewer edits (the earlier among equals). A read
//    shorter than the flank has none.
// 2. The barcode is read right after the flank's end, barcode_length
//    letters (the length reading), and looked up with the index's nearest.
//    An exact match stands. Otherwise other readings are tried, in this
//    order: one letter shorter and longer (a deletion or an insertion in
//    the barcode), then starting one or two letters before or after the
//    flank's end (the end misplaced by an edit near it), and a few of
//    both at once (others_order in read_tagger.cpp). A reading wins when
//    it equals an entry the length reading accepted, else when it is one
//    indel from one, the first such in order; it is then looked up in turn.
//    When the length reading's nearest is unique and one substitution
//    away (distance 2), only that entry is looked for: the other readings
//    may place its span better, never name another entry. The winner's
//    nearest answer is reported exactly as nearest gives it for that raw
//    barcode. A molecule whose length reading runs past the read's end
//    has no barcode.
// 3. The UMI starts where the chosen reading ends and is umi_length long,
//    unless what follows it says otherwise: a run after_umi (one letter
//    repeated, polyT) that covers that end keeps it; one that starts up to
//    3 letters later moves the end there (an insertion in the UMI). Any
//    other after_umi is searched (at most length / 5 edits) within 3
//    letters of that end, and the UMI ends where the best hit starts. The
//    run (letters of it, a single stray letter allowed) or the hit is
//    trimmed.
// 4. The insert (cDNA) runs from the end of that structure away from the
//    flank, up to the nearest structure of another molecule or the read's
//    end.
// 5. Molecules on opposite strands whose structures overlap, or that face
//    each other (their inserts pointing at each other) with fewer than 50
//    letters between them, cannot be oriented: both are both_strands.
//    Others keep their own status: assigned (unique nearest, runner-up at
//    least margin further), ambiguous or no_match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/tag.hpp"
#include "kernels/approximate_search.hpp"
#include "match/matcher.hpp"
#include "support/checkpoint.hpp"

namespace mendseqs {

// The rules' parameters, fixed for the module; the benchmark varies them
// to show what each buys.
struct TagRules {
  uint32_t flank_letters_per_edit = 5;  // edits allowed: flank length / this
  bool neighbour_lengths = true;        // readings of barcode_length +- 1 as well
  size_t max_shift = 2;                 // readings starting up to this many letters off the flank's end
  size_t umi_pad = 3;
  size_t min_facing_gap = 50;
};

class ReadTagger {
 public:
  // The layout must have passed normalise_layout. Reads the whitelist's
  // lengths once.
  ReadTagger(const ReferenceSet& whitelist, intptr_t max_flex, const Layout& layout, size_t margin,
             TagRules rules = {});

  // The molecules of one read, into `molecules` (replaced); the work is
  // charged to `checkpoint`.
  void tag(const Text& read, TaggedRead& molecules, Checkpoint& checkpoint) const;

  uint32_t flank_bound() const noexcept { return flank_bound_; }

 private:
  struct Scratch;
  struct Found;
  void read_molecule(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found, Scratch& scratch,
                     Checkpoint& checkpoint) const;
  void read_barcode(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch,
                    Checkpoint& checkpoint) const;
  NearestMatch look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
                       Checkpoint& checkpoint, std::vector<size_t>* accepted) const;
  size_t nearest_within_one(const std::vector<uint8_t>& view, size_t start, size_t size,
                            const std::vector<size_t>& entries) const;
  void read_umi(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch) const;

  const ReferenceSet& whitelist_;
  intptr_t max_flex_;
  Layout layout_;
  size_t margin_;
  TagRules rules_;
  SearchPattern flank_;
  std::vector<uint8_t> after_codes_;
  std::optional<SearchPattern> after_pattern_;  // null for a run or nothing
  uint8_t run_code_ = unmatched_code;           // the run's letter, for a run
  uint32_t flank_bound_;
  uint32_t after_bound_;
};

}  // namespace mendseqs
