// One read's molecules (engine/tag.hpp), the rules that find them:
//
// 1. The flank is searched in the read and in its reverse complement
//    (kernels/approximate_search.hpp) with at most flank length / 3 edits
//    (7 for the 22 letters of Read 1). Hits on one strand that overlap
//    keep the one with fewer edits (the earlier among equals). A hit with
//    at most flank length / 5 edits (4) is a molecule; one with more only
//    when the rest of the structure carries it: after_umi where it belongs
//    (a run's first 6 letters, one stray allowed, at the UMI's expected
//    end or up to 3 letters later; another after_umi found by rule 3) and
//    a barcode whose winner has at most max_edits own edits. Any other is
//    dropped. A read shorter than the flank has none.
// 2. The barcode is read right after the flank's end, barcode_length
//    letters (the length reading), and looked up with the index's nearest;
//    the entries it accepts are the candidates. Each is aligned, after the
//    flank's last 6 letters, against the read from 3 letters before those
//    to 3 past the length reading, the read's letters outside the
//    alignment free: the flank's letters anchor the start, so an entry
//    that is the barcode shifted by a letter pays for the shift; what
//    those letters cost alone (aligned ending within 3 of the flank's end)
//    is not the barcode's, and a candidate's own edits are the fit less
//    that. An indel where the flank meets the barcode would be charged
//    twice that way, in the flank's letters and in the barcode's, so the
//    entry is also aligned alone, starting anywhere from 3 letters before
//    the flank's end, for its edits plus one: the fewer of the two are its
//    own edits. When no candidate has at most two own edits, the readings
//    starting one letter before and after the flank's end (an edit near
//    it shifts the barcode) are looked up too and their entries join. The
//    fewest own edits win; among equals the entry nearest a reading by the
//    lookup's distance, then the earliest. The molecule's match is the
//    winner with its own edits as the distance, how many candidates equal
//    it in both as the ties (the runner-up is then the same distance), else
//    the next candidate's own edits as the runner-up. Two own edits stand
//    only with no runner-up within 2 more; more is no match: in a long
//    list a wrong entry fits a twice-misread barcode about as often as the
//    right one (bench/tag_rules.cpp). With the read's base qualities, a
//    two-edit winner whose runner-up is one edit further stands when their
//    alignments, each edit weighted by the quality of the read's letter it
//    falls on, say the winner's edits sit on unsure letters (at most Q12
//    on average) and the runner-up costs at least 20 more (Phred units).
//    An entry with other letters than A, C,
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
//    end. When that molecule's insert runs back towards this one (a '+'
//    molecule, then a '-' one: their cDNAs tail to tail), the stretch
//    between them is cut where the layout's cDNA end is found in it (the
//    '+' one's insert ends where its cDNA end begins, the '-' one's starts
//    past its own; either stands for both), else halved.
// 5. Molecules on opposite strands whose structures overlap, or that face
//    each other (their inserts pointing at each other) with fewer than 50
//    letters between them, cannot be oriented: both are both_strands.
//    Others keep their own status: assigned (a single winner, the
//    runner-up's own edits at least margin more), ambiguous or no_match.
//
// The work per read grows as n log n in its molecules, and is charged to
// the call's checkpoint, so Ctrl+C stays prompt on a read with thousands.
// The guard (a barcode shorter than max_flex + 2 letters) is checked when
// the tagger is built, whatever the reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
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
  uint32_t weak_letters_per_edit = 3;   // a flank up to length / this edits stands with the rest of the structure
  size_t flank_context = 6;             // the flank's last letters aligned before each candidate
  size_t slack = 3;                     // read letters free on either side of the aligned stretch
  uint32_t max_edits = 1;               // the winner's own edits, at most
  size_t wide_margin = 2;               // one edit more stands with the runner-up this much further
  size_t quality_margin = 1;            // with qualities, this much further when much less likely:
  uint32_t quality_lead = 20;           // its edits' qualities (Phred) summed, at least this many more,
  uint32_t unsure_quality = 12;         // and the winner's at most this on average
  uint32_t quality_cap = 40;            // a letter's quality counts at most this
  // The barcode's start floated off the flank's end costs this. Free, a
  // wrong entry fits a misread barcode in more ways: on Badread's
  // nanopore2023 reads (737,280 list) recall rose 0.020, precision fell
  // 0.013, below what the list needs.
  uint32_t float_cost = 1;
  uint32_t shift_beyond = 2;  // readings a letter off the flank's end looked up beyond this
  size_t umi_pad = 3;
  size_t run_check = 6;  // a run's first letters checked for a weak flank's structure, one stray allowed
  size_t min_facing_gap = 50;
};

class ReadTagger {
 public:
  // The layout must have passed normalise_layout. Reads the whitelist's
  // lengths once.
  ReadTagger(const ReferenceSet& whitelist, intptr_t max_flex, const Layout& layout, size_t margin,
             TagRules rules = {});

  // The molecules of one read, into `molecules` (replaced); the work is
  // charged to `checkpoint`. `qualities`: the read's base qualities
  // (Phred + 33), or null or empty for none; one of another length than
  // the read is not used.
  void tag(const Text& read, TaggedRead& molecules, Checkpoint& checkpoint, const Text* qualities = nullptr) const;

  uint32_t flank_bound() const noexcept { return flank_bound_; }

 private:
  struct Scratch;
  struct Found;
  struct Accepted {
    size_t position;
    size_t distance;  // the index lookup's, from the reading
  };
  struct Fit {
    size_t position;
    size_t distance;  // the least at which a reading's lookup accepted it
    uint32_t edits;   // the candidate's own: the alignment's, less what the flank's letters cost alone
    size_t end;       // of the alignment, in the window
  };
  // The read around one flank's end.
  struct Window {
    std::span<const uint8_t> letters;
    size_t flank_end;        // in letters
    uint32_t context_edits;  // what the flank's last letters cost alone there
  };
  static constexpr uint32_t no_fit = UINT32_MAX;
  void read_molecule(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found, Scratch& scratch,
                     Checkpoint& checkpoint) const;
  // Whether a flank hit beyond flank_bound_ is carried by the rest of the
  // structure; the molecule read into `found` when it is.
  bool weak_flank_stands(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found, Scratch& scratch,
                         Checkpoint& checkpoint) const;
  void read_barcode(const std::vector<uint8_t>& view, const std::vector<uint8_t>& qualities, size_t start, Found& found,
                    Scratch& scratch, Checkpoint& checkpoint) const;
  // Appends the entries the index's lookup accepts for view[start, start + length) to scratch.accepted.
  void look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
               Checkpoint& checkpoint) const;
  // Appends the codes of one entry; false for one that cannot be aligned
  // (a letter other than A, C, G, T, or too long for one search pattern).
  bool entry_codes(size_t position, std::vector<uint8_t>& codes) const;
  // The fit of one entry in the window (rule 2): its own edits (no_fit
  // when it cannot be aligned) and where its alignment ends.
  void fit(const Window& window, Fit& one, Scratch& scratch) const;
  // The anchored alignment's edits weighted by the qualities of the read's
  // letters they fall on (`qualities`: the window's), in Phred units.
  uint32_t weighted_fit(const Window& window, std::span<const uint8_t> qualities, size_t position,
                        Scratch& scratch) const;
  // Where the entry alone aligns, tightest, ending at `end` of `window`.
  size_t span_start(std::span<const uint8_t> window, size_t position, size_t end, Scratch& scratch) const;
  void read_umi(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch) const;
  // Where the run after the UMI starts, at `expected` or up to umi_pad
  // later; no_coordinate for none.
  size_t run_start_near(const std::vector<uint8_t>& view, size_t expected) const;
  // Whether after_umi follows a UMI that starts at `barcode_end`.
  bool after_umi_near(const std::vector<uint8_t>& view, size_t barcode_end, Scratch& scratch) const;
  void mark_both_strands(Scratch& scratch) const;
  // Where the first insert ends and the second starts, on the read as
  // given, between a '+' molecule and a '-' one after it (rule 4).
  std::pair<size_t, size_t> facing_cut(const std::vector<uint8_t>& forward, const std::vector<uint8_t>& reverse,
                                       const Found& plus, const Found& minus, Scratch& scratch) const;

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
  std::optional<SearchPattern> cdna_end_;       // null when the layout names none
  uint32_t flank_bound_;
  uint32_t weak_flank_bound_;
  uint32_t after_bound_;
};

}  // namespace mendseqs
