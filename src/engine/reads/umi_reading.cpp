// ReadTagger's UMI (rule 3 of reads/read_tagger.hpp): from the barcode's
// end to what follows the UMI, found near where it is expected.
#include <algorithm>
#include <cstddef>

#include "reads/read_tagger.hpp"
#include "reads/tagger_state.hpp"
#include "support/distance.hpp"

namespace mendseqs {

size_t ReadTagger::run_start_near(const std::vector<uint8_t>& view, size_t expected) const {
  const size_t n = view.size();
  if (expected < n && view[expected] == run_code_) return expected;
  // A run that starts a little later: an insertion in the UMI.
  const auto starts_run = [&](size_t at) {
    return view[at] == run_code_ && (at + 1 >= n || view[at + 1] == run_code_);
  };
  for (size_t at = expected + 1; at <= expected + rules_.umi_pad && at < n; ++at)
    if (starts_run(at)) return at;
  return no_coordinate;
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
    const size_t run = run_start_near(view, expected);
    if (run != no_coordinate) found.umi_end = run;
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
    const auto off = [&](const PatternHit& hit) { return distance(low + hit.start, expected); };
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

bool ReadTagger::after_umi_near(const std::vector<uint8_t>& view, size_t barcode_end, Scratch& scratch) const {
  const size_t expected = barcode_end + layout_.umi_length;
  if (expected >= view.size()) return false;
  if (run_code_ != unmatched_code) {
    // The run's first letters, one stray allowed: a run by chance is rare
    // this close to where it belongs.
    size_t at = run_start_near(view, expected);
    if (at == no_coordinate && expected >= 1 && view[expected - 1] == run_code_) at = expected - 1;
    if (at == no_coordinate) return false;
    size_t letters = 0;
    for (size_t i = at; i < std::min(view.size(), at + rules_.run_check); ++i) letters += view[i] == run_code_;
    return letters + 1 >= rules_.run_check;
  }
  if (!after_pattern_) return true;  // nothing follows the UMI: the rest of the structure decides
  Found probe;
  read_umi(view, barcode_end, probe, scratch);
  return probe.structure_end != probe.umi_end;
}

}  // namespace mendseqs
