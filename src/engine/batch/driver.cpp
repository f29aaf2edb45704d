#include "batch/driver.hpp"

#include <algorithm>

#include "batch/batch.hpp"
#include "batch/parallel.hpp"
#include "batch/progress.hpp"
#include "match/matcher.hpp"

namespace mendseqs {
namespace {

// One mark every `step` queries, step = max(n / 50, 1): a line of 50 to 75
// marks for large batches, one per query for small ones.
void run_serially(size_t query_count, OutputStream& out, Checkpoint& checkpoint, QueryAction action,
                  WindowAction ahead) {
  const size_t step = std::max<size_t>(query_count / 50, 1);
  size_t counter = 0;
  for (size_t q = 0; q < query_count; ++q) {
    if (q % window_queries == 0) ahead(q, std::min(query_count, q + window_queries), checkpoint);
    if (counter == 0) out.print_flushed(progress_mark, checkpoint);
    action(q, checkpoint);
    if (++counter == step) counter = 0;
    checkpoint.charge(1);
  }
}

// The road of every batch, whatever it computes per query: the action for
// every query in this thread or on workers, then the line end.
void run_queries(size_t query_count, uint32_t threads, OutputStream& out, CallerHooks& caller, Checkpoint& checkpoint,
                 WorkerPanics panics, QueryAction action, WindowAction ahead) {
  if (threads == 1) {
    run_serially(query_count, out, checkpoint, action, ahead);
  } else {
    run_in_parallel(query_count, threads, out, caller, action, panics, ahead);
  }
  out.print_line_end(checkpoint);
}

}  // namespace

std::vector<Position> run_batch(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                                uint32_t threads, CallerHooks& caller, OutputStream& out, Checkpoint& checkpoint) {
  std::vector<Position> matched(queries.size(), deferred);
  run_queries(
      queries.size(), threads, out, caller, checkpoint, WorkerPanics::wrapped,
      [&](size_t q, Checkpoint& where) {
        if (matched[q] == deferred)
          matched[q] = first_accepted(references, queries[q], max_flex, where).value_or(no_match);
      },
      [&](size_t begin, size_t end, Checkpoint& where) {
        first_accepted_ahead(references, queries.subspan(begin, end - begin), max_flex,
                             std::span(matched).subspan(begin, end - begin), where);
      });
  return matched;
}

std::vector<NearestMatch> run_nearest_batch(const ReferenceSet& references, std::span<const Text> queries,
                                            intptr_t max_flex, uint32_t threads, CallerHooks& caller, OutputStream& out,
                                            Checkpoint& checkpoint) {
  // Not bound by correct_seq_mt's wrapping: the guard says what it is.
  std::vector<NearestMatch> found(queries.size(), NearestMatch{deferred, no_distance, no_distance, 0});
  run_queries(
      queries.size(), threads, out, caller, checkpoint, WorkerPanics::as_raised,
      [&](size_t q, Checkpoint& where) {
        if (found[q].position == deferred) found[q] = nearest_accepted(references, queries[q], max_flex, where);
      },
      [&](size_t begin, size_t end, Checkpoint& where) {
        nearest_accepted_ahead(references, queries.subspan(begin, end - begin), max_flex,
                               std::span(found).subspan(begin, end - begin), where);
      });
  return found;
}

std::vector<Position> correct_seq_mt(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                     uint32_t threads, CallerHooks& caller, OutputStream& out) {
  Checkpoint checkpoint(caller);
  print_banner(out, threads, checkpoint);
  if (threads == 0) return {};

  // Prepared for this one batch: the cost model weighs its query count.
  ReferenceSet reference_set(references, selected_isa(), true, &checkpoint);
  reference_set.prepare_index(max_flex, queries.size(), threads, checkpoint);
  return run_batch(reference_set, queries, max_flex, threads, caller, out, checkpoint);
}

std::vector<NearestMatch> nearest(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                  uint32_t threads, CallerHooks& caller, OutputStream& out) {
  Checkpoint checkpoint(caller);
  print_banner(out, threads, checkpoint);
  if (threads == 0) return {};

  // The index for the first-match rule serves here too: it names every
  // reference that may be accepted. Its cost model weighs the first-match
  // scan, which on a whitelist stops after a tenth to a half of the list
  // (measured: 737,280 barcodes, k=2); this scan reads all of it, so each
  // query counts as several.
  constexpr size_t full_scan_weight = 4;
  ReferenceSet reference_set(references, selected_isa(), true, &checkpoint);
  const size_t weighted_queries =
      queries.size() > SIZE_MAX / full_scan_weight ? SIZE_MAX : queries.size() * full_scan_weight;
  reference_set.prepare_index(max_flex, weighted_queries, threads, checkpoint);
  return run_nearest_batch(reference_set, queries, max_flex, threads, caller, out, checkpoint);
}

std::vector<Position> correct_seq_mt(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                     uint32_t threads, CallerHooks& caller) {
  return correct_seq_mt(references, queries, max_flex, threads, caller, standard_output());
}

std::vector<NearestMatch> nearest(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                  uint32_t threads, CallerHooks& caller) {
  return nearest(references, queries, max_flex, threads, caller, standard_output());
}

}  // namespace mendseqs
