// One read's molecules (engine/tag.hpp), the rules that find them:
//
// 1. The flank is searched in the read and in its reverse complement
//    (kernels/approximate_search.hpp) with at most flank length / 5 edits
//    (4 for the 22 letters of Read 1). Hits on one strand that overlap
//    keep the one with fewer edits (the earlier among equals). A read
//    shorter than the flank has none.
// 2. The barcode is read right after the flank's end, barcode_length
//    letters (the length reading), and looked up with the index's nearest;
//    the entries it accepts are the candidates. Each is aligned, after the
//    flank's last 6 letters, against the read from 3 letters before those
//    to 3 past the length reading, the read's letters outside the
//    alignment free: its fit is the fewest edits (substitutions,
//    insertions, deletions). The flank's letters anchor the start, so an
//    entry that is the barcode shifted by a letter pays for the shift; what
//    those letters cost alone (aligned ending within 3 of the flank's end)
//    is not the barcode's, and a candidate's own edits are its fit less
//    that. When no candidate has at most two own edits, the readings
//    starting one letter before and after the flank's end (an edit near it
//    shifts the barcode) are looked up too and their entries join. The
//    fewest edits win; among equals the entry nearest a reading by
//    nearest's distance, then the earliest. The molecule's match is the
//    winner with its own edits as the distance, how many candidates equal
//    it in both as the ties (the runner-up is then the same distance), else
//    the next candidate's own edits as the runner-up. Two own edits stand
//    only with no runner-up within 2 more; more is no match: in a long
//    list a wrong entry fits a twice-misread barcode about as often as the
//    right one (bench/tag_rules.cpp). An entry with other letters than A, C,
//    G, T, or longer than 58 letters, never fits. The barcode's span ends
//    where the winner's alignment ends and starts where the winner alone
//    aligns tightest to that end; without a winner it is the length
//    reading. A molecule whose length reading runs past the read's end has
//    no barcode.
// 3. The UMI starts where the barcode's span ends and is umi_length long,
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
//    Others keep their own status: assigned (a single winner, the
//    runner-up's own edits at least margin more), ambiguous or no_match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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
  size_t flank_context = 6;             // the flank's last letters aligned before each candidate
  size_t slack = 3;                     // read letters free on either side of the aligned stretch
  uint32_t max_edits = 1;               // the winner's own edits, at most
  size_t wide_margin = 2;               // one edit more stands with the runner-up this much further
  uint32_t shift_beyond = 2;            // readings a letter off the flank's end looked up beyond this
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
  struct Accepted {
    size_t position;
    size_t distance;  // nearest's, from the reading
  };
  struct Fit {
    size_t position;
    size_t distance;  // the least at which a reading's lookup accepted it
    uint32_t edits;   // of the whole alignment, the flank's letters included
    size_t end;       // of the alignment, in the window
  };
  static constexpr uint32_t no_fit = UINT32_MAX;
  void read_molecule(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found, Scratch& scratch,
                     Checkpoint& checkpoint) const;
  void read_barcode(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch,
                    Checkpoint& checkpoint) const;
  // Appends the entries nearest accepts for view[start, start + length) to scratch.accepted.
  void look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
               Checkpoint& checkpoint) const;
  // The fit of one entry in `window` (rule 2), and where in it its
  // alignment ends; no_fit for an entry that cannot be aligned (a letter
  // other than A, C, G, T, or too long for one search pattern).
  uint32_t fit(std::span<const uint8_t> window, size_t position, Scratch& scratch, size_t& end) const;
  // Where the entry alone aligns, tightest, ending at `end` of `window`.
  size_t span_start(std::span<const uint8_t> window, size_t position, size_t end, Scratch& scratch) const;
  void read_umi(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch) const;

  const ReferenceSet& whitelist_;
  intptr_t max_flex_;
  Layout layout_;
  size_t margin_;
  TagRules rules_;
  SearchPattern flank_;
  std::vector<uint8_t> context_codes_;  // the flank's last letters, aligned before each candidate
  std::vector<uint8_t> after_codes_;
  std::optional<SearchPattern> after_pattern_;  // null for a run or nothing
  uint8_t run_code_ = unmatched_code;           // the run's letter, for a run
  uint32_t flank_bound_;
  uint32_t after_bound_;
};

}  // namespace mendseqs
