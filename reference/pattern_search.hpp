// Approximate pattern search as first written down: the full dynamic-
// programming table of edit distances, one row per pattern letter, and the
// starts found by trying every one. Slow and obviously right; the
// bit-parallel search (kernels/approximate_search.hpp) is checked against it
// by the engine tests and the fuzzer.
//
// Letters are codes: 0 to 3 for A, C, G, T; any other value matches
// nothing, not even itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mendseqs::reference {

// D(j) for every text position j: the fewest edits turning the whole
// pattern into some stretch of text that ends with letter j.
std::vector<uint32_t> end_scores(std::span<const uint8_t> pattern, std::span<const uint8_t> text);

// The edit distance of the whole pattern and the whole of `stretch`.
uint32_t global_distance(std::span<const uint8_t> pattern, std::span<const uint8_t> stretch);

struct SearchHit {
  size_t start;
  size_t end;  // one past the last letter
  uint32_t edits;

  bool operator==(const SearchHit&) const = default;
};

// The hits the search reports: every end j whose D(j) is at most the bound
// (max_edits, at most the pattern's length - 1), lower than D(j - 1) (the
// pattern's length before the text), and where the first later value that
// differs from D(j) is higher (or none does); with the latest start whose
// stretch up to the end is D(j) edits from the pattern.
std::vector<SearchHit> search(std::span<const uint8_t> pattern, std::span<const uint8_t> text, uint32_t max_edits);

}  // namespace mendseqs::reference
