// The batch driver with its progress display sent to a stream of the
// caller's choosing: the engine's own tests and benchmarks capture it here.
// The public form (engine/driver.hpp) writes to file descriptor 1.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "batch/progress.hpp"
#include "engine/driver.hpp"
#include "engine/prepared_references.hpp"

namespace mendseqs {

std::vector<Position> correct_seq_mt(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                     uint32_t threads, CallerHooks& caller, OutputStream& out);
std::vector<NearestMatch> nearest(std::span<const Text> references, std::span<const Text> queries, intptr_t max_flex,
                                  uint32_t threads, CallerHooks& caller, OutputStream& out);

// PreparedReferences::correct and ::nearest, with their progress display on
// `out`.
std::vector<Position> correct(const PreparedReferences& references, std::span<const Text> queries, uint32_t threads,
                              CallerHooks& caller, OutputStream& out);
std::vector<NearestMatch> nearest(const PreparedReferences& references, std::span<const Text> queries, uint32_t threads,
                                  CallerHooks& caller, OutputStream& out);

}  // namespace mendseqs
