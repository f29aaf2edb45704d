// How a lookup reads a loaded index's arrays: every bound and position that
// comes from the file is brought into the array it indexes here, at the
// point of use, instead of being proved sound at load by a pass over the
// whole array. The load then costs what the small sections cost, and a
// damaged or crafted file (one whose checksums were made to match) can cost
// answers and time, but never a read outside its arrays (the trust model:
// index/index_file.hpp).
#pragma once

#include <algorithm>
#include <cstdint>

namespace mendseqs {

// [begin, end) as read from the file, within [0, size): an end past the
// array ends it, a begin past the end leaves the range empty.
struct BoundedRange {
  uint64_t begin, end;
};
inline BoundedRange bounded_range(uint64_t begin, uint64_t end, uint64_t size) noexcept {
  end = std::min(end, size);
  return {std::min(begin, end), end};
}

}  // namespace mendseqs
