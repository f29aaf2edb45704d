// The block kernel and the block filter, written once over a lane vector V.
// Each instruction set's file includes this inside its target region with
// its own V (lanes_*.hpp), so every function here is a template on V: the
// copies compiled for different sets never share a symbol.
//
// What V provides (reg: one register; lanes of Bits bits in it):
//   bytes, group          register width; registers advanced together
//   load(p), store(p, r)  unaligned; optionally load_two(p): two
//                         registers' worth at once, as .first and .second
//   ones(), not_(a), and_(a, b), or_andnot(a, s, m) = a | (s & ~m)
//   add<Bits>(a, b)       lane-wise sum, no carry between lanes
//   count<Bits>(a)        each lane's set bits, as a lane value
//   splat<Bits>(v)        v in every lane
//   greater<Bits>(a, b)   bit l set where lane l of a > lane l of b (lane
//                         values below 2^(Bits-1)), lanes in order
// and for the filter, on 32-bit lanes:
//   splat32(v), gap32(a, b) = |a - b| as unsigned, min32(a, b) signed,
//   at_most_u32(a, b) and greater_s32(a, b): lane flags, of type flags;
//   both(f, g): flags of both; bits4(f[4]): one bit per lane of four
//   registers' flags, lanes in order.
// Every header this needs is included by the including file first, but for
// the recurrence's step, included here to be compiled for the region's
// instruction set.

#include "kernels/lcs_step.hpp"

namespace mendseqs::simd {

template <class V, unsigned Bits>
struct BlockKernel {
  using reg = typename V::reg;
  static constexpr size_t registers = block_mask_bytes / V::bytes;
  // Registers advanced together per pass over the query: independent
  // chains for the processor to overlap, few enough to stay in registers.
  static constexpr size_t group = V::group < registers ? V::group : registers;
  static constexpr unsigned lanes_per_register = V::bytes * 8 / Bits;

  // The recurrence's operations on lanes of Bits bits (kernels/lcs_step.hpp).
  struct Word {
    using word = reg;
    static reg and_(reg a, reg b) { return V::and_(a, b); }
    static reg add(reg a, reg b) { return V::template add<Bits>(a, b); }
    static reg or_unmatched(reg sum, reg s, reg m, reg) { return V::or_andnot(sum, s, m); }
  };

  [[gnu::always_inline]] static inline void step(reg& s, reg match) { s = lcs_step(Word{}, s, match); }

  // One query character: the step for each register of the group, `m`
  // pointing at the group's masks for that character.
  [[gnu::always_inline]] static inline void advance(reg (&state)[group], const unsigned char* m) {
    if constexpr (requires { V::load_two(m); }) {
      // One instruction loads two registers (NEON).
#pragma GCC unroll 16
      for (size_t r = 0; r < group; r += 2) {
        const auto pair = V::load_two(m + r * V::bytes);
        step(state[r], pair.first);
        step(state[r + 1], pair.second);
      }
    } else {
#pragma GCC unroll 16
      for (size_t r = 0; r < group; ++r) step(state[r], V::load(m + r * V::bytes));
    }
  }

  // The recurrence for registers first .. first + group - 1 of the block.
  [[gnu::always_inline]] static inline void run(const BlockQuery& query, size_t first, reg (&state)[group]) {
#pragma GCC unroll 16
    for (size_t r = 0; r < group; ++r) state[r] = V::ones();
    const unsigned char* masks = query.masks + first * V::bytes;
    for (const uint32_t number : query.numbers) advance(state, masks + number * block_mask_bytes);
  }

  // Bits above a reference's length stay set, so ~S counts matches only.
  static uint64_t accept(const BlockQuery& query, uint8_t max_flex) {
    const reg max_flex_lanes = V::template splat<Bits>(max_flex);
    uint64_t rejected = 0;
    for (size_t first = 0; first < registers; first += group) {
      reg state[group];
      run(query, first, state);
#pragma GCC unroll 16
      for (size_t r = 0; r < group; ++r) {
        const reg common = V::template count<Bits>(V::not_(state[r]));
        const reg length = V::load(query.lane_lengths + (first + r) * V::bytes);
        rejected |= V::template greater<Bits>(length, V::template add<Bits>(common, max_flex_lanes))
                    << ((first + r) * lanes_per_register);
      }
    }
    constexpr unsigned lanes = block_mask_bytes * 8 / Bits;
    constexpr uint64_t all_lanes = lanes == 64 ? ~uint64_t{0} : (uint64_t{1} << (lanes % 64)) - 1;
    return ~rejected & all_lanes;
  }

  static void lcs(const BlockQuery& query, uint8_t* common) {
    for (size_t first = 0; first < registers; first += group) {
      reg state[group];
      run(query, first, state);
      for (size_t r = 0; r < group; ++r) {
        // Lanes are little-endian and a count fits its lowest byte.
        unsigned char counts[V::bytes];
        V::store(counts, V::template count<Bits>(V::not_(state[r])));
        for (unsigned l = 0; l < lanes_per_register; ++l)
          common[(first + r) * lanes_per_register + l] = counts[l * (Bits / 8)];
      }
    }
  }
};

template <class V>
BlockFilterResult block_filter(const int32_t* lengths, const int32_t* a_counts, int32_t query_length,
                               int32_t query_a_count, int32_t max_flex) {
  using reg = typename V::reg;
  using flags = typename V::flags;
  constexpr size_t per_register = V::bytes / 4;
  const reg length = V::splat32(query_length);
  const reg a_count = V::splat32(query_a_count);
  const reg max_flex_lanes = V::splat32(max_flex);
  BlockFilterResult result;
  // Four registers' flags become bits together: cheaper than one by one
  // where bits must be gathered from the lanes (NEON).
#pragma GCC unroll 16
  for (size_t j = 0; j < max_block_span; j += 4 * per_register) {
    flags passing[4], guarded[4];
#pragma GCC unroll 4
    for (size_t r = 0; r < 4; ++r) {
      const reg lengths_r = V::load(lengths + j + r * per_register);
      const reg a_counts_r = V::load(a_counts + j + r * per_register);
      passing[r] = V::both(V::at_most_u32(V::gap32(length, lengths_r), max_flex_lanes),
                           V::at_most_u32(V::gap32(a_count, a_counts_r), max_flex_lanes));
      guarded[r] = V::both(passing[r], V::greater_s32(max_flex_lanes, V::min32(length, lengths_r)));
    }
    result.passing |= V::bits4(passing) << j;
    result.guarded |= V::bits4(guarded) << j;
  }
  return result;
}

template <template <unsigned> class LanesOf, class FilterLanes>
constexpr KernelTable make_table() {
  return KernelTable{
      {&BlockKernel<LanesOf<16>, 16>::accept, &BlockKernel<LanesOf<32>, 32>::accept,
       &BlockKernel<LanesOf<64>, 64>::accept},
      {&BlockKernel<LanesOf<16>, 16>::lcs, &BlockKernel<LanesOf<32>, 32>::lcs, &BlockKernel<LanesOf<64>, 64>::lcs},
      &block_filter<FilterLanes>,
      &matching_fingerprints<FilterLanes>,
  };
}

}  // namespace mendseqs::simd
