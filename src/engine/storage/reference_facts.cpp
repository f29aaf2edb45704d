#include "storage/reference_facts.hpp"

#include <algorithm>
#include <limits>

#include "support/build_pass.hpp"

namespace mendseqs {

ReferenceFacts::ReferenceFacts(std::span<const Text> texts, unsigned threads, FunctionRef<void(size_t)> charge)
    : ReferenceFacts(texts, Saved{nullptr}, threads, charge) {}

ReferenceFacts::ReferenceFacts(std::span<const Text> texts, SectionSource& source, unsigned threads,
                               FunctionRef<void(size_t)> charge)
    : ReferenceFacts(texts, Saved{saved_a_counts(source, texts.size())}, threads, charge) {}

const uint64_t* ReferenceFacts::saved_a_counts(SectionSource& source, size_t size) {
  const std::span<const uint64_t> saved = source.array<uint64_t>("references.a_counts");
  if (saved.size() != size) throw IndexFormatError("the A-counts are not one per reference");
  return saved.data();
}

ReferenceFacts::ReferenceFacts(std::span<const Text> texts, Saved saved, unsigned threads,
                               FunctionRef<void(size_t)> charge)
    : size_(texts.size()) {
  for (size_t i = 0; i < size_; ++i) {
    if (i % 4096 == 0) charge(4096);
    max_length_ = std::max(max_length_, texts[i].length());
  }
  if (max_length_ < std::numeric_limits<uint32_t>::max()) {
    const auto unused = static_cast<uint32_t>(unused_filter_entry);
    lengths_.assign(size_ + max_block_span, unused);
    a_counts_.assign(size_ + max_block_span, unused);
  } else {
    wide_.assign(2 * size_, 0);
  }
  // Counting is a pass over every character: charged by the character. A
  // loaded list's saved counts are checked in the same pass (a worker's
  // failure stops the others and reaches the caller after the join).
  BuildPass pass(size_, threads, charge);
  pass.run(
      [&](size_t, size_t i) {
        const size_t length = texts[i].length();
        const size_t a_count = count_letter_a(texts[i]);
        if (saved.a_counts != nullptr && saved.a_counts[i] != a_count)
          throw IndexFormatError("an A-count is not its reference's");
        if (narrow()) {
          lengths_[i] = static_cast<uint32_t>(length);
          a_counts_[i] = static_cast<uint32_t>(a_count);
        } else {
          wide_[2 * i] = length;
          wide_[2 * i + 1] = a_count;
        }
      },
      [&](size_t i) { return texts[i].length() + 1; });
  // Lists hold few distinct lengths, mostly in runs: a length is looked up
  // among those seen only when it differs from the one before (sorting one
  // entry per reference cost a good part of a load). d distinct lengths
  // take d^2 / 2 steps at least, so the insertions never cost more than
  // reading the references.
  if (!narrow()) return;
  for (size_t i = 0; i < size_; ++i) {
    if (i % 4096 == 0) charge(4096);
    if (i > 0 && lengths_[i] == lengths_[i - 1]) continue;
    const auto at = std::lower_bound(distinct_lengths_.begin(), distinct_lengths_.end(), lengths_[i]);
    if (at == distinct_lengths_.end() || *at != lengths_[i]) distinct_lengths_.insert(at, lengths_[i]);
  }
}

void ReferenceFacts::save(SectionSink& sink) const {
  std::vector<uint64_t> counts(size_);
  for (size_t i = 0; i < size_; ++i) counts[i] = a_count(i);
  sink.put_array<uint64_t>("references.a_counts", counts);
}

}  // namespace mendseqs
