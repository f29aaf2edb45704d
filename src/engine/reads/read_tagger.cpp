#include "reads/read_tagger.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "engine/messages.hpp"  // frozen texts: docs/compatibility.md
#include "engine/panic.hpp"
#include "support/scratch.hpp"

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
  std::vector<uint8_t> views[2];  // the read's codes, and its reverse complement's
  std::vector<PatternHit> strand_hits[2];
  std::vector<PatternHit> hits;  // after_umi's
  std::vector<PatternHit> kept;
  std::vector<Found> found;
  std::string reading;
  std::vector<Accepted> accepted;  // what the last lookup accepted
  std::vector<Fit> fits;           // each candidate's fit
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> scores;
};

namespace {

// base_code of every byte, and the complement of every code, looked up
// rather than branched on.
constexpr std::array<uint8_t, 256> byte_codes = [] {
  std::array<uint8_t, 256> codes{};
  for (size_t c = 0; c < codes.size(); ++c) codes[c] = base_code(static_cast<char32_t>(c));
  return codes;
}();
constexpr std::array<uint8_t, unmatched_code + 1> complements = {3, 2, 1, 0, unmatched_code};

constexpr char code_letter(uint8_t code) noexcept { return "ACGTN"[code < unmatched_code ? code : unmatched_code]; }

// The letters of view[start, end), as the module shows them.
std::string letters(const std::vector<uint8_t>& view, size_t start, size_t end) {
  std::string out(end - start, 'N');
  for (size_t i = start; i < end; ++i) out[i - start] = code_letter(view[i]);
  return out;
}

// Keeps, of hits that overlap, the one with fewer edits (the earlier among
// equals); the kept ones in order of position.
void keep_separate(std::vector<PatternHit>& hits, std::vector<PatternHit>& kept) {
  std::sort(hits.begin(), hits.end(), [](const PatternHit& a, const PatternHit& b) {
    return a.edits != b.edits ? a.edits < b.edits : a.end < b.end;
  });
  kept.clear();
  for (const PatternHit& hit : hits) {
    const bool overlaps = std::any_of(kept.begin(), kept.end(), [&](const PatternHit& other) {
      return hit.start < other.end && other.start < hit.end;
    });
    if (!overlaps) kept.push_back(hit);
  }
  std::sort(kept.begin(), kept.end(), [](const PatternHit& a, const PatternHit& b) { return a.end < b.end; });
}

bool unique_beyond_margin(const NearestMatch& match, size_t margin) noexcept {
  return match.ties == 1 && (match.runner_up == no_distance || match.runner_up - match.distance >= margin);
}

}  // namespace

ReadTagger::ReadTagger(const ReferenceSet& whitelist, intptr_t max_flex, const Layout& layout, size_t margin,
                       TagRules rules)
    : whitelist_(whitelist),
      max_flex_(max_flex),
      layout_(layout),
      margin_(margin),
      rules_(rules),
      flank_([&] {
        std::vector<uint8_t> codes;
        for (const char letter : layout.flank) codes.push_back(base_code(static_cast<unsigned char>(letter)));
        return SearchPattern(codes);
      }()),
      context_codes_([&] {
        std::vector<uint8_t> codes;
        const size_t kept = std::min(rules.flank_context, layout.flank.size());
        for (size_t i = layout.flank.size() - kept; i < layout.flank.size(); ++i)
          codes.push_back(base_code(static_cast<unsigned char>(layout.flank[i])));
        return codes;
      }()),
      flank_bound_(static_cast<uint32_t>(layout.flank.size() / rules.flank_letters_per_edit)),
      after_bound_(static_cast<uint32_t>(layout.after_umi.size() / rules.flank_letters_per_edit)) {
  for (const char letter : layout.after_umi) after_codes_.push_back(base_code(static_cast<unsigned char>(letter)));
  const bool run = !after_codes_.empty() && std::all_of(after_codes_.begin(), after_codes_.end(),
                                                        [&](uint8_t code) { return code == after_codes_.front(); });
  if (run)
    run_code_ = after_codes_.front();
  else if (!after_codes_.empty())
    after_pattern_.emplace(after_codes_);
}

void ReadTagger::look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
                         Checkpoint& checkpoint) const {
  scratch.reading.resize(length);
  for (size_t i = 0; i < length; ++i) scratch.reading[i] = code_letter(view[start + i]);
  nearest_accepted(whitelist_, Text(scratch.reading), max_flex_, checkpoint,
                   [&](size_t position, size_t distance) { scratch.accepted.push_back(Accepted{position, distance}); });
}

uint32_t ReadTagger::fit(std::span<const uint8_t> window, size_t position, Scratch& scratch, size_t& end) const {
  const Text& entry = whitelist_.text(position);
  const size_t size = entry.length();
  if (size == 0 || context_codes_.size() + size > max_search_pattern) return no_fit;
  scratch.pattern.assign(context_codes_.begin(), context_codes_.end());
  for (size_t i = 0; i < size; ++i) {
    const uint8_t code = base_code(entry[i]);
    if (code == unmatched_code) return no_fit;
    scratch.pattern.push_back(code);
  }
  const SearchPattern pattern(scratch.pattern);
  pattern.scores(window, scratch.scores);
  // The earliest end of the fewest: the tightest, leaving the letters after
  // it to the UMI.
  const auto best = std::min_element(scratch.scores.begin(), scratch.scores.end());
  end = static_cast<size_t>(best - scratch.scores.begin()) + 1;
  return *best;
}

size_t ReadTagger::span_start(std::span<const uint8_t> window, size_t position, size_t end, Scratch& scratch) const {
  const Text& entry = whitelist_.text(position);
  scratch.pattern.clear();
  for (size_t i = 0; i < entry.length(); ++i) scratch.pattern.push_back(base_code(entry[i]));
  const SearchPattern pattern(scratch.pattern);
  pattern.scores(window.first(end), scratch.scores);
  return pattern.start_of(window, end, scratch.scores.back());
}

void ReadTagger::read_barcode(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch,
                              Checkpoint& checkpoint) const {
  const size_t length = layout_.barcode_length;
  if (start + length > view.size()) return;
  // The barcode's span may come out a letter short (a deletion in it); a
  // tolerance beyond that trips nearest's guard, whether or not such a span
  // is met.
  const size_t shortest = length - 1;
  if (static_cast<intptr_t>(shortest) < max_flex_ && shortest > 0) panic(std::string(messages::guard));

  found.has_barcode = true;
  found.barcode_start = start;
  found.barcode_end = start + length;
  // The read around the flank's end: the flank's last letters aligned
  // before each candidate anchor its start, so an entry that is the
  // barcode shifted by a letter pays for the shift.
  const size_t before = std::min(start, context_codes_.size() + rules_.slack);
  const size_t low = start - before;
  const size_t high = std::min(view.size(), start + length + rules_.slack);
  const std::span<const uint8_t> window = std::span<const uint8_t>(view).subspan(low, high - low);
  // What the flank's letters cost alone, ending near the flank's end: not
  // charged to the barcode.
  uint32_t context_edits = 0;
  if (!context_codes_.empty()) {
    const SearchPattern context(context_codes_);
    context.scores(window.first(std::min(window.size(), before + rules_.slack)), scratch.scores);
    context_edits = *std::min_element(scratch.scores.begin(), scratch.scores.end());
  }
  const auto own = [&](uint32_t edits) { return edits > context_edits ? edits - context_edits : 0; };

  scratch.accepted.clear();
  scratch.fits.clear();
  uint32_t best = no_fit;
  // Scores the entries accepted since the last call that have no fit yet;
  // an entry met again keeps the least distance it was accepted at. One
  // lookup names an entry once, so only earlier lookups' fits are searched
  // (none for the first, which is all most molecules make).
  const auto score_new = [&] {
    const auto earlier = static_cast<std::ptrdiff_t>(scratch.fits.size());
    for (const Accepted& accepted : scratch.accepted) {
      const auto seen = std::find_if(scratch.fits.begin(), scratch.fits.begin() + earlier,
                                     [&](const Fit& other) { return other.position == accepted.position; });
      if (seen != scratch.fits.begin() + earlier) {
        seen->distance = std::min(seen->distance, accepted.distance);
        continue;
      }
      Fit& one = scratch.fits.emplace_back(Fit{accepted.position, accepted.distance, 0, 0});
      one.edits = fit(window, accepted.position, scratch, one.end);
      best = std::min(best, one.edits);
    }
    checkpoint.charge(scratch.accepted.size() * window.size());
    scratch.accepted.clear();
  };
  look_up(view, start, length, scratch, checkpoint);
  score_new();
  if (best == no_fit || own(best) > rules_.shift_beyond) {
    for (const long shift : {-1L, 1L}) {
      const long at = static_cast<long>(start) + shift;
      if (at < 0 || static_cast<size_t>(at) + length > view.size()) continue;
      look_up(view, static_cast<size_t>(at), length, scratch, checkpoint);
      score_new();
    }
  }
  if (best == no_fit || own(best) > rules_.max_edits + 1) return;

  // The fewest edits win; among equals, the entry nearest a reading (as
  // nearest measures it), then the earliest.
  const auto before_in_rank = [](const Fit& a, const Fit& b) {
    if (a.edits != b.edits) return a.edits < b.edits;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.position < b.position;
  };
  std::sort(scratch.fits.begin(), scratch.fits.end(), before_in_rank);
  const Fit& winner = scratch.fits.front();
  size_t ties = 1;
  while (ties < scratch.fits.size() && scratch.fits[ties].edits == winner.edits &&
         scratch.fits[ties].distance == winner.distance)
    ++ties;
  found.match.position = winner.position;
  found.match.distance = own(winner.edits);
  found.match.ties = ties;
  if (ties > 1)
    found.match.runner_up = found.match.distance;
  else if (scratch.fits.size() > 1 && scratch.fits[1].edits != no_fit)
    found.match.runner_up = own(scratch.fits[1].edits);
  // One edit beyond the bound stands only with no other candidate within
  // wide_margin more: among a long list's many near entries a wrong one
  // fits a twice-misread barcode about as often as the right one does.
  if (found.match.distance > rules_.max_edits &&
      (found.match.runner_up != no_distance && found.match.runner_up - found.match.distance < rules_.wide_margin)) {
    found.match = NearestMatch{};
    return;
  }
  found.barcode_end = low + winner.end;
  found.barcode_start = low + span_start(window, winner.position, winner.end, scratch);
}

void ReadTagger::read_umi(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch) const {
  const size_t n = view.size();
  const size_t expected = std::min(n, start + layout_.umi_length);
  const size_t pad = rules_.umi_pad;
  found.umi_start = start;
  found.umi_end = expected;
  found.structure_end = expected;
  if (run_code_ != unmatched_code) {
    // A run that covers the expected end keeps it (a UMI may end in the
    // run's letter by chance); one starting a little later moves it.
    const auto starts_run = [&](size_t at) {
      return view[at] == run_code_ && (at + 1 >= n || view[at + 1] == run_code_);
    };
    if (expected < n && view[expected] != run_code_) {
      for (size_t at = expected + 1; at <= expected + pad && at < n; ++at) {
        if (starts_run(at)) {
          found.umi_end = at;
          break;
        }
      }
    }
    // The run, trimmed: its letters, a single stray one among them allowed.
    size_t end = found.umi_end;
    while (end < n) {
      if (view[end] == run_code_) {
        ++end;
      } else if (end + 1 < n && view[end + 1] == run_code_) {
        end += 2;
      } else {
        break;
      }
    }
    found.structure_end = end;
  } else if (after_pattern_) {
    const size_t low = std::max(start, expected > pad ? expected - pad : 0);
    const size_t high = std::min(n, expected + pad + after_pattern_->length() + after_bound_);
    if (low >= high) return;
    scratch.hits.clear();
    after_pattern_->find(std::span<const uint8_t>(view).subspan(low, high - low), after_bound_, scratch.hits);
    const PatternHit* best = nullptr;
    const auto off = [&](const PatternHit& hit) {
      const size_t at = low + hit.start;
      return at > expected ? at - expected : expected - at;
    };
    for (const PatternHit& hit : scratch.hits) {
      if (off(hit) > pad) continue;
      if (!best || hit.edits < best->edits || (hit.edits == best->edits && off(hit) < off(*best))) best = &hit;
    }
    if (best) {
      found.umi_end = low + best->start;
      found.structure_end = low + best->end;
    }
  }
}

void ReadTagger::read_molecule(const std::vector<uint8_t>& view, const PatternHit& hit, Found& found, Scratch& scratch,
                               Checkpoint& checkpoint) const {
  found.flank = hit;
  found.structure_end = hit.end;
  read_barcode(view, hit.end, found, scratch, checkpoint);
  if (!found.has_barcode) return;
  read_umi(view, found.barcode_end, found, scratch);
}

void ReadTagger::tag(const Text& read, TaggedRead& molecules, Checkpoint& checkpoint) const {
  mendseqs::Scratch<Scratch> borrowed;
  Scratch& scratch = *borrowed;
  const size_t n = read.length();
  checkpoint.charge(n + 1);
  molecules.clear();
  scratch.found.clear();

  if (n >= flank_.length()) {
    std::vector<uint8_t>& forward = scratch.views[0];
    std::vector<uint8_t>& reverse = scratch.views[1];
    forward.resize(n);
    reverse.resize(n);
    read.visit([&](auto code_points) {
      if constexpr (sizeof(code_points[0]) == 1) {
        for (size_t i = 0; i < n; ++i) forward[i] = byte_codes[code_points[i]];
      } else {
        for (size_t i = 0; i < n; ++i) forward[i] = code_points[i] < 256 ? byte_codes[code_points[i]] : unmatched_code;
      }
    });
    for (size_t i = 0; i < n; ++i) reverse[i] = complements[forward[n - 1 - i]];
    scratch.strand_hits[0].clear();
    scratch.strand_hits[1].clear();
    flank_.find_both(forward, reverse, flank_bound_, scratch.strand_hits[0], scratch.strand_hits[1]);
    checkpoint.charge(2 * n);
    for (int strand = 0; strand < 2; ++strand) {
      keep_separate(scratch.strand_hits[strand], scratch.kept);
      for (const PatternHit& hit : scratch.kept) {
        Found& found = scratch.found.emplace_back();
        found.reverse = strand == 1;
        read_molecule(scratch.views[strand], hit, found, scratch, checkpoint);
      }
    }
  }

  if (scratch.found.empty()) {
    TaggedMolecule& molecule = molecules.emplace_back();
    molecule.insert_end = n;
    return;
  }

  // On the read as given.
  for (Found& found : scratch.found) {
    const size_t start = found.flank.start, end = found.structure_end;
    found.flank_position = found.reverse ? n - found.flank.end : start;
    found.low = found.reverse ? n - end : start;
    found.high = found.reverse ? n - start : end;
    if (!found.has_barcode || found.match.position == no_match)
      found.status = TagStatus::no_match;
    else
      found.status = unique_beyond_margin(found.match, margin_) ? TagStatus::assigned : TagStatus::ambiguous;
  }
  std::sort(scratch.found.begin(), scratch.found.end(),
            [](const Found& a, const Found& b) { return a.flank_position < b.flank_position; });

  // Opposite strands that overlap, or face each other too close to hold
  // a cDNA between them.
  const size_t count = scratch.found.size();
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      Found& a = scratch.found[i];
      Found& b = scratch.found[j];
      if (a.reverse == b.reverse) continue;
      const bool overlap = a.low < b.high && b.low < a.high;
      const Found& plus = a.reverse ? b : a;
      const Found& minus = a.reverse ? a : b;
      const bool facing = j == i + 1 && plus.high <= minus.low && minus.low - plus.high < rules_.min_facing_gap;
      if (overlap || facing) a.status = b.status = TagStatus::both_strands;
    }
  }

  for (size_t i = 0; i < count; ++i) {
    const Found& found = scratch.found[i];
    TaggedMolecule& molecule = molecules.emplace_back();
    // A span [a, b) of the strand's view, on the read as given.
    const auto place = [&](size_t a, size_t b, size_t& first, size_t& last) {
      first = found.reverse ? n - b : a;
      last = found.reverse ? n - a : b;
    };
    const std::vector<uint8_t>& view = scratch.views[found.reverse ? 1 : 0];
    molecule.segment = i;
    molecule.reverse = found.reverse;
    place(found.flank.start, found.flank.end, molecule.flank_start, molecule.flank_end);
    molecule.flank_edits = found.flank.edits;
    if (found.has_barcode) {
      place(found.barcode_start, found.barcode_end, molecule.barcode_start, molecule.barcode_end);
      molecule.raw_barcode = letters(view, found.barcode_start, found.barcode_end);
      molecule.match = found.match;
      place(found.umi_start, found.umi_end, molecule.umi_start, molecule.umi_end);
      molecule.umi = letters(view, found.umi_start, found.umi_end);
    }
    // The insert runs away from the flank, up to the next structure.
    if (found.reverse) {
      size_t bound = 0;
      for (const Found& other : scratch.found)
        if (&other != &found && other.high <= found.low) bound = std::max(bound, other.high);
      molecule.insert_start = bound;
      molecule.insert_end = found.low;
    } else {
      size_t bound = n;
      for (const Found& other : scratch.found)
        if (&other != &found && other.low >= found.high) bound = std::min(bound, other.low);
      molecule.insert_start = found.high;
      molecule.insert_end = bound;
    }
    molecule.status = found.status;
  }
}

}  // namespace mendseqs
