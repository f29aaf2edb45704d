// Kernels only the tests, benchmarks and fuzzer call, kept out of the
// module: the full LCS of one query against one text, and the full LCS of
// every lane of a reference block (the module itself only asks lanes
// whether they pass).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/text.hpp"
#include "kernels/block_kernel.hpp"
#include "kernels/lcs.hpp"

namespace mendseqs {

size_t lcs_length(const QueryPattern& query, const Text& reference);

// common[l] = the LCS length of the query with lane l's reference, for every
// lane of the block (block_mask_bytes * 8 / lane_bits of them).
// `isa` must be supported (isa_supported).
void block_lcs(Isa isa, const BlockQuery& query, uint8_t* common);

}  // namespace mendseqs
