// PreparedReferences::tag (engine/prepared_references.hpp): the reads shared by the calling thread and
// workers, a few at a time from a common counter, so that whoever finishes
// early takes more and the calling thread, which checks in with its host,
// is never left waiting on a worker's long share.
#include <algorithm>
#include <atomic>

#include "engine/prepared_references.hpp"
#include "engine/tag.hpp"
#include "reads/read_tagger.hpp"
#include "support/checkpoint.hpp"
#include "support/fork_join.hpp"

namespace mendseqs {
namespace {

// Reads taken at a time: a few milliseconds of work at most, so the last
// ones out end soon after the calling thread runs out of reads.
constexpr size_t grain = 8;

}  // namespace

std::vector<TaggedRead> PreparedReferences::tag(std::span<const Text> reads, const Layout& layout, uint32_t threads,
                                                size_t margin, CallerHooks& caller,
                                                std::span<const Text> qualities) const {
  Checkpoint checkpoint(caller);
  const ReadTagger tagger(reference_set(), max_flex(), layout, margin);
  std::vector<TaggedRead> tagged(reads.size());
  const auto quality = [&](size_t r) -> const Text* { return r < qualities.size() ? &qualities[r] : nullptr; };
  const size_t workers = std::min<size_t>(std::max<uint32_t>(threads, 1), (reads.size() + grain - 1) / grain);
  if (workers <= 1) {
    for (size_t r = 0; r < reads.size(); ++r) tagger.tag(reads[r], tagged[r], checkpoint, quality(r));
    return tagged;
  }

  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  // Tags reads until none is left or the call is stopped (another thread
  // failed, or the calling thread was interrupted).
  const auto take_reads = [&](Checkpoint& where) {
    for (;;) {
      if (stop.load(std::memory_order_relaxed)) return;
      const size_t first = next.fetch_add(grain, std::memory_order_relaxed);
      if (first >= reads.size()) return;
      const size_t last = std::min(reads.size(), first + grain);
      for (size_t r = first; r < last; ++r) tagger.tag(reads[r], tagged[r], where, quality(r));
    }
  };
  // A failure anywhere sets `stop`; the first failure (the calling
  // thread's, else the lowest worker's) leaves as it was raised, after
  // every worker has been joined: the guard keeps its own message.
  fork_join(workers, stop, [&](size_t worker) {
    if (worker == 0) {
      take_reads(checkpoint);
      return;
    }
    Checkpoint own(stop);
    try {
      take_reads(own);
    } catch (const Cancelled&) {
      return;  // stopped by another thread's failure: not one of its own
    }
  });
  return tagged;
}

}  // namespace mendseqs
