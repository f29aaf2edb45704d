// ReadTagger's barcode (rule 2 of reads/read_tagger.hpp): the readings
// after the flank looked up, each candidate fitted to the read around the
// flank's end, the fewest own edits winning.
#include <algorithm>
#include <cstddef>

#include "reads/read_tagger.hpp"
#include "reads/tagger_state.hpp"

namespace mendseqs {

void ReadTagger::look_up(const std::vector<uint8_t>& view, size_t start, size_t length, Scratch& scratch,
                         Checkpoint& checkpoint) const {
  scratch.reading.resize(length);
  for (size_t i = 0; i < length; ++i) scratch.reading[i] = code_letter(view[start + i]);
  nearest_accepted(whitelist_, Text(scratch.reading), max_flex_, checkpoint,
                   [&](size_t position, size_t distance) { scratch.accepted.push_back(Accepted{position, distance}); });
}

bool ReadTagger::entry_codes(size_t position, std::vector<uint8_t>& codes) const {
  const Text& entry = whitelist_.text(position);
  const size_t size = entry.length();
  if (size == 0 || context_codes_.size() + size > max_search_pattern) return false;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t code = base_code(entry[i]);
    if (code == unmatched_code) return false;
    codes.push_back(code);
  }
  return true;
}

void ReadTagger::fit(const Window& window, Fit& one, Scratch& scratch) const {
  one.edits = no_fit;
  scratch.pattern.assign(context_codes_.begin(), context_codes_.end());
  if (!entry_codes(one.position, scratch.pattern)) return;
  // Anchored: the flank's last letters before the entry, so that an entry
  // that is the barcode shifted by a letter pays for the shift. What those
  // letters cost alone is not the barcode's.
  {
    const SearchPattern pattern(scratch.pattern);
    pattern.scores(window.letters, scratch.scores);
    // The earliest end of the fewest: the tightest, leaving the letters
    // after it to the UMI.
    const auto best = std::min_element(scratch.scores.begin(), scratch.scores.end());
    one.end = static_cast<size_t>(best - scratch.scores.begin()) + 1;
    one.edits = *best > window.context_edits ? *best - window.context_edits : 0;
  }
  // Floating: the entry alone, starting within `slack` letters of the
  // flank's end, for one edit whatever the shift. An indel where the flank
  // meets the barcode (a slip in a repeat, letters inserted at the flank's
  // end) would otherwise be charged twice, once against the flank's letters
  // and once against the barcode's; a barcode shifted by a letter still
  // pays at least the one edit the anchor charged it.
  if (one.edits <= 1) return;
  const std::span<const uint8_t> entry = std::span<const uint8_t>(scratch.pattern).subspan(context_codes_.size());
  const size_t from = window.flank_end > rules_.slack ? window.flank_end - rules_.slack : 0;
  const std::span<const uint8_t> floating = window.letters.subspan(from);
  if (floating.size() < entry.size()) return;
  const SearchPattern pattern(entry);
  pattern.scores(floating, scratch.scores);
  const auto best = std::min_element(scratch.scores.begin(), scratch.scores.end());
  if (*best + 1u < one.edits) {
    one.edits = *best + 1u;
    one.end = from + static_cast<size_t>(best - scratch.scores.begin()) + 1;
  }
}

size_t ReadTagger::span_start(std::span<const uint8_t> window, size_t position, size_t end, Scratch& scratch) const {
  scratch.pattern.clear();
  entry_codes(position, scratch.pattern);
  const SearchPattern pattern(scratch.pattern);
  pattern.scores(window.first(end), scratch.scores);
  return pattern.start_of(window, end, scratch.scores.back());
}

void ReadTagger::read_barcode(const std::vector<uint8_t>& view, size_t start, Found& found, Scratch& scratch,
                              Checkpoint& checkpoint) const {
  const size_t length = layout_.barcode_length;
  if (start + length > view.size()) return;
  found.has_barcode = true;
  found.barcode_start = start;
  found.barcode_end = start + length;
  // The read around the flank's end: the flank's last letters, the
  // barcode's reading and `slack` letters either side.
  const size_t before = std::min(start, context_codes_.size() + rules_.slack);
  const size_t low = start - before;
  const size_t high = std::min(view.size(), start + length + rules_.slack);
  Window window{std::span<const uint8_t>(view).subspan(low, high - low), before, 0};
  // What the flank's letters cost alone, ending near the flank's end: not
  // charged to the barcode.
  if (!context_codes_.empty()) {
    const SearchPattern context(context_codes_);
    context.scores(window.letters.first(std::min(window.letters.size(), before + rules_.slack)), scratch.scores);
    window.context_edits = *std::min_element(scratch.scores.begin(), scratch.scores.end());
  }

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
      fit(window, one, scratch);
      best = std::min(best, one.edits);
    }
    checkpoint.charge(2 * scratch.accepted.size() * window.letters.size());
    scratch.accepted.clear();
  };
  look_up(view, start, length, scratch, checkpoint);
  score_new();
  if (best == no_fit || best > rules_.shift_beyond) {
    for (const long shift : {-1L, 1L}) {
      const long at = static_cast<long>(start) + shift;
      if (at < 0 || static_cast<size_t>(at) + length > view.size()) continue;
      look_up(view, static_cast<size_t>(at), length, scratch, checkpoint);
      score_new();
    }
  }
  if (best == no_fit || best > rules_.max_edits + 1) return;

  // The fewest edits win; among equals, the entry nearest a reading (as
  // the index's lookup measures it), then the earliest.
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
  found.match.distance = winner.edits;
  found.match.ties = ties;
  if (ties > 1)
    found.match.runner_up = found.match.distance;
  else if (scratch.fits.size() > 1 && scratch.fits[1].edits != no_fit)
    found.match.runner_up = scratch.fits[1].edits;
  // One edit beyond the bound stands only with no other candidate within
  // wide_margin more: among a long list's many near entries a wrong one
  // fits a twice-misread barcode about as often as the right one does.
  if (found.match.distance > rules_.max_edits &&
      (found.match.runner_up != no_distance && found.match.runner_up - found.match.distance < rules_.wide_margin)) {
    found.match = NearestMatch{};
    return;
  }
  found.barcode_end = low + winner.end;
  found.barcode_start = low + span_start(window.letters, winner.position, winner.end, scratch);
}

}  // namespace mendseqs
