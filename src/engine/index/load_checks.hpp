// What both layouts' loads share: checking a loaded index's arrays whole,
// in chunks spread over threads, each chunk a plain loop the compiler can
// vectorise.
//
// A saved index is untrusted, and checking it costs one pass over its
// arrays; done one element at a time on one thread that pass took most of
// the time of building the index again. The calling thread charges each of
// its chunks to `charge` before checking it, so Ctrl+C ends a long load
// within a chunk's time (the other threads stop at their next chunk and are
// joined first); a chunk that finds a fault throws IndexFormatError, which
// reaches the caller after the join.
#pragma once

#include <algorithm>
#include <cstddef>

#include "support/build_pass.hpp"
#include "support/function_ref.hpp"

namespace mendseqs {

// Elements a chunk covers: well under a millisecond of checking each.
inline constexpr size_t load_check_chunk = size_t{1} << 16;

// check(begin, end) for consecutive ranges covering [0, items).
template <class Check>
void check_in_chunks(size_t items, unsigned threads, FunctionRef<void(size_t)> charge, Check&& check,
                     size_t chunk = load_check_chunk) {
  const size_t chunks = (items + chunk - 1) / chunk;
  if (chunks == 0) return;
  BuildPass pass(chunks, threads, charge, 1);
  pass.run([&](size_t, size_t c) { check(c * chunk, std::min(items, (c + 1) * chunk)); },
           [&](size_t c) { return std::min(items, (c + 1) * chunk) - c * chunk; });
}

}  // namespace mendseqs
