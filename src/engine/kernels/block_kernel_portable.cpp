#include <bit>
#include <cstring>

#include "kernels/block_kernel.hpp"
#include "match/reference_blocks.hpp"

namespace mendseqs {
namespace {

template <typename Lane>
constexpr size_t lanes = block_mask_bytes / sizeof(Lane);

// Every lane is an independent recurrence, so the lanes of one step have no
// dependency on each other: even without vector instructions a processor
// overlaps them, where a single comparison would wait on each step.
template <typename Lane>
void run(const BlockQuery& query, Lane (&state)[lanes<Lane>]) {
  for (Lane& s : state) s = static_cast<Lane>(~Lane{0});
  for (const uint32_t slot : query.slots) {
    Lane match[lanes<Lane>];
    std::memcpy(match, query.masks + slot * block_mask_bytes, block_mask_bytes);
    for (size_t l = 0; l < lanes<Lane>; ++l) {
      const Lane u = state[l] & match[l];
      state[l] = static_cast<Lane>(static_cast<Lane>(state[l] + u) | static_cast<Lane>(state[l] - u));
    }
  }
}

// Bits above a reference's length stay set, so ~S counts matches only.
template <typename Lane>
void count(const BlockQuery& query, uint8_t* common) {
  Lane state[lanes<Lane>];
  run(query, state);
  for (size_t l = 0; l < lanes<Lane>; ++l) common[l] = static_cast<uint8_t>(std::popcount(static_cast<Lane>(~state[l])));
}

template <typename Lane>
uint64_t accept(const BlockQuery& query, uint8_t max_flex) {
  Lane state[lanes<Lane>], length[lanes<Lane>];
  run(query, state);
  std::memcpy(length, query.lane_lengths, block_mask_bytes);
  uint64_t accepted = 0;
  for (size_t l = 0; l < lanes<Lane>; ++l) {
    const auto common = static_cast<unsigned>(std::popcount(static_cast<Lane>(~state[l])));
    accepted |= static_cast<uint64_t>(common + max_flex >= length[l]) << l;
  }
  return accepted;
}

}  // namespace

uint64_t block_accepting_lanes_portable(const BlockQuery& query, uint8_t max_flex) {
  switch (query.lane_bits) {
    case 16: return accept<uint16_t>(query, max_flex);
    case 32: return accept<uint32_t>(query, max_flex);
    default: return accept<uint64_t>(query, max_flex);
  }
}

void block_lcs_portable(const BlockQuery& query, uint8_t* common) {
  switch (query.lane_bits) {
    case 16: count<uint16_t>(query, common); break;
    case 32: count<uint32_t>(query, common); break;
    default: count<uint64_t>(query, common); break;
  }
}

}  // namespace mendseqs
