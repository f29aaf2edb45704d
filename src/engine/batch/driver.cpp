#include "batch/driver.hpp"

#include <algorithm>

#include "batch/parallel.hpp"
#include "batch/progress.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

// One mark every `step` queries, step = max(n / 50, 1): a line of 50 to 75
// marks for large batches, one per query for small ones.
void correct_serially(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                      OutputStream& out, Checkpoint& checkpoint, std::span<Position> matched) {
  const size_t step = std::max<size_t>(queries.size() / 50, 1);
  size_t counter = 0;
  for (size_t q = 0; q < queries.size(); ++q) {
    if (counter == 0) out.print_flushed(progress_mark, checkpoint);
    matched[q] = first_accepted(references, queries[q], max_flex, checkpoint).value_or(no_match);
    if (++counter == step) counter = 0;
    checkpoint.charge(1);
  }
}

}  // namespace

std::vector<Position> correct_seq_mt(std::span<const Text> references, std::span<const Text> queries,
                                     intptr_t max_flex, uint32_t threads, CallerHooks& caller,
                                     OutputStream& out) {
  Checkpoint checkpoint(caller);
  print_banner(out, threads, checkpoint);
  if (threads == 0) return {};

  ReferenceSet reference_set(references);
  reference_set.prepare_index(max_flex, queries.size(), threads, checkpoint);
  std::vector<Position> matched(queries.size(), no_match);
  if (threads == 1) {
    correct_serially(reference_set, queries, max_flex, out, checkpoint, matched);
  } else {
    correct_in_parallel(reference_set, queries, max_flex, threads, out, caller, matched);
  }
  out.print_line_end(checkpoint);
  return matched;
}

std::vector<Position> correct_seq_mt(std::span<const Text> references, std::span<const Text> queries,
                                     intptr_t max_flex, uint32_t threads, CallerHooks& caller) {
  return correct_seq_mt(references, queries, max_flex, threads, caller, standard_output());
}

}  // namespace mendseqs
