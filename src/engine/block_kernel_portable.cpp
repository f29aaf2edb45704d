#include <bit>
#include <cstring>

#include "engine/block_kernel.hpp"
#include "engine/reference_blocks.hpp"

namespace mendseqs {
namespace {

// Every lane is an independent recurrence, so the lanes of one step have no
// dependency on each other: even without vector instructions a processor
// overlaps them, where a single comparison would wait on each step.
template <typename Lane>
void run(const unsigned char* masks, std::span<const uint32_t> slots, uint8_t* common) {
  constexpr size_t lanes = block_mask_bytes / sizeof(Lane);
  Lane state[lanes];
  for (Lane& s : state) s = static_cast<Lane>(~Lane{0});
  for (const uint32_t slot : slots) {
    Lane match[lanes];
    std::memcpy(match, masks + slot * block_mask_bytes, block_mask_bytes);
    for (size_t l = 0; l < lanes; ++l) {
      const Lane u = state[l] & match[l];
      state[l] = static_cast<Lane>(static_cast<Lane>(state[l] + u) | static_cast<Lane>(state[l] - u));
    }
  }
  for (size_t l = 0; l < lanes; ++l) common[l] = static_cast<uint8_t>(std::popcount(static_cast<Lane>(~state[l])));
}

}  // namespace

void block_lcs_portable(unsigned lane_bits, const unsigned char* masks, std::span<const uint32_t> slots,
                        uint8_t* common) {
  switch (lane_bits) {
    case 16: run<uint16_t>(masks, slots, common); break;
    case 32: run<uint32_t>(masks, slots, common); break;
    default: run<uint64_t>(masks, slots, common); break;
  }
}

}  // namespace mendseqs
