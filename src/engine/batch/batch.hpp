// One batch of queries against references already prepared: the part of a
// call after its banner, shared by correct_seq_mt and nearest, which
// prepare their references for the batch, and PreparedReferences, which
// prepared them once for many.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "batch/progress.hpp"
#include "engine/driver.hpp"
#include "match/matcher.hpp"

namespace mendseqs {

// Matches every query (threads 1: in this thread; more: on workers),
// prints the marks and the line end. threads is at least 1.
std::vector<Position> run_batch(const ReferenceSet& references, std::span<const Text> queries, intptr_t max_flex,
                                uint32_t threads, CallerHooks& caller, OutputStream& out, Checkpoint& checkpoint);

// The same batch, each query's nearest accepted reference measured
// (nearest_accepted), with the same marks, line end and failures, except
// that a worker's Panic keeps its own message (WorkerPanics::as_raised).
std::vector<NearestMatch> run_nearest_batch(const ReferenceSet& references, std::span<const Text> queries,
                                            intptr_t max_flex, uint32_t threads, CallerHooks& caller, OutputStream& out,
                                            Checkpoint& checkpoint);

}  // namespace mendseqs
