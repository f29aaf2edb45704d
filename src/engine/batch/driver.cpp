#include "engine/driver.hpp"

#include <algorithm>
#include <memory>

#include "match/matcher.hpp"
#include "batch/parallel.hpp"

namespace mendseqs {
namespace {

// One mark every `step` queries, step = max(n / 50, 1): a line of 50 to 75
// marks for large batches, one per query for small ones.
SequenceList correct_serially(const ReferenceSet& references, const SequenceList& queries,
                              intptr_t max_flex, OutputStream& out) {
  const size_t step = std::max<size_t>(queries.size() / 50, 1);
  SequenceList corrected;
  corrected.reserve(queries.size());
  size_t counter = 0;
  for (const Sequence& query : queries) {
    if (counter == 0) out.print_flushed(progress_mark);
    corrected.push_back(correct_seq(references, query, max_flex));
    if (++counter == step) counter = 0;
  }
  return corrected;
}

}  // namespace

SequenceList correct_seq_mt(SequenceList ref_seqs, SequenceList query_seqs, intptr_t max_flex,
                            uint32_t threads, OutputStream& out) {
  print_banner(out, threads);
  if (threads == 0) return SequenceList();

  SequenceList corrected;
  if (threads == 1) {
    const ReferenceSet references(std::move(ref_seqs));
    corrected = correct_serially(references, query_seqs, max_flex, out);
  } else {
    auto references = std::make_shared<const ReferenceSet>(std::move(ref_seqs));
    corrected = correct_in_parallel(std::move(references), query_seqs, max_flex, threads, out);
  }
  out.print_line_end();
  return corrected;
}

}  // namespace mendseqs
