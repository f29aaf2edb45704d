// Kernels only the tests, benchmarks and fuzzer call, kept out of the
// module: the full LCS of one query against one text. (The full LCS of
// every lane, block_lcs, ships: nearest uses it; see block_kernel.hpp.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/text.hpp"
#include "kernels/block_kernel.hpp"
#include "kernels/lcs.hpp"

namespace mendseqs {

size_t lcs_length(const QueryPattern& query, const Text& reference);

}  // namespace mendseqs
