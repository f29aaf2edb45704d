// One step of the bit-parallel LCS recurrence, written once for every
// kernel: the scalar ones (lcs.hpp, lcs_banded.cpp), the block kernel of
// each instruction set (simd/generic.hpp) and the packed index's codes.
//
// The state S holds a 0 at each query position where the common
// subsequence so far grew; reading one reference character whose match
// mask over the query positions is M (bit i: query position i holds that
// character) makes
//
//   S' = (S + u) | (S - u),  u = S & M
//
// and S - u is S & ~M, since u holds only bits of S. After the whole
// reference, the zeros of S (below the query's length) count the LCS.
//
// The step is a template on the word's operations W, on W::word: and_,
// add, and or_unmatched(sum, S, M, u) = sum | (S & ~M), which each word
// computes in its cheaper form (one subtraction for a machine word, one
// or-andnot for vector lanes). The block kernel instantiates it inside its
// target region with the instruction set's lanes: simd/generic.hpp
// includes this header there, and so nothing may include it before a
// region opens in a kernels_*.cpp (kernels/simd/target.hpp). It holds the
// template alone: each instantiation is a symbol of its own, so none
// compiled for one instruction set can stand in for another. The scalar
// words are lcs.hpp's.
#pragma once

#include <cstdint>

namespace mendseqs {

template <class W>
[[gnu::always_inline]] inline typename W::word lcs_step(const W& ops, typename W::word state, typename W::word match) {
  const typename W::word u = ops.and_(state, match);
  return ops.or_unmatched(ops.add(state, u), state, match, u);
}

}  // namespace mendseqs
