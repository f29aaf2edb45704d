// The fingerprint compare of the packed layout's posting blocks, written
// once over a lane vector V: which bytes of a 64-byte block, masked, equal
// a wanted byte. Each instruction set's file includes this inside its
// target region with its own V (lanes_*.hpp), beside generic.hpp.
//
// What V provides here: bytes, load(p), and_(a, b), splat8(v): v in every
// byte, equal8(a, b): bit i set where byte i of a equals byte i of b.
// Every header this needs is included by the including file first.

namespace mendseqs::simd {

template <class V>
uint64_t matching_fingerprints(const unsigned char* block, uint8_t mask, uint8_t wanted) {
  const typename V::reg masks = V::splat8(mask);
  const typename V::reg target = V::splat8(static_cast<uint8_t>(wanted & mask));
  uint64_t bits = 0;
#pragma GCC unroll 16
  for (size_t r = 0; r < fingerprint_block_bytes / V::bytes; ++r)
    bits |= V::equal8(V::and_(V::load(block + r * V::bytes), masks), target) << (r * V::bytes);
  return bits;
}

}  // namespace mendseqs::simd
