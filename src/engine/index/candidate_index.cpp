// The index's front: which layout a call gets, and the lookup that turns
// a layout's candidates and the short table into the scan's answer.
#include "index/candidate_index.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/cost_model.hpp"
#include "index/deletions.hpp"
#include "index/index_file.hpp"
#include "index/load_checks.hpp"
#include "support/scratch.hpp"

namespace mendseqs {

CandidateIndex::CandidateIndex(const ReferenceFacts& facts, size_t max_flex, bool packed)
    : facts_(&facts), max_flex_(max_flex), reference_count_(facts.size()), packed_(packed) {
  double characters = 0;
  for (const uint32_t length : facts.lengths()) characters += length;
  scan_seconds_per_query_ =
      std::max(characters, 16.0 * static_cast<double>(reference_count_)) * costs::seconds_per_scanned_character;
  short_ = ShortTable(facts, max_flex);
}

std::unique_ptr<CandidateIndex> CandidateIndex::build(std::span<const Text> references, const ReferenceFacts& facts,
                                                      intptr_t max_flex, size_t query_count, size_t memory_budget_bytes,
                                                      Choice choice, unsigned threads, FunctionRef<void(size_t)> charge,
                                                      Layout layout) {
  if (facts.size() != references.size() || !facts.narrow()) return nullptr;
  const IndexPlan plan =
      CandidateIndex::plan(references, max_flex, query_count, memory_budget_bytes, threads, layout, charge);
  const bool fits = plan.memory_bytes > 0 && plan.memory_bytes <= static_cast<double>(memory_budget_bytes) &&
                    (plan.packed || plan.variants < std::numeric_limits<uint32_t>::max());
  if (!(choice == Choice::always ? fits : plan.use_index)) return nullptr;
  try {
    const auto k = static_cast<size_t>(max_flex);
    std::unique_ptr<CandidateIndex> index(new CandidateIndex(facts, k, plan.packed));
    if (plan.packed) {
      index->packed_layout_ = PackedLayout(references, k, threads, charge);
      index->hits_per_lookup_ = index->packed_layout_.hits_per_lookup();
    } else {
      index->hashed_ = HashedLayout(references, facts, k, plan.variants, threads, charge);
    }
    return index;
  } catch (const std::bad_alloc&) {
    return nullptr;  // the scan needs no more memory than it already has
  } catch (const std::length_error&) {
    return nullptr;
  }
}

std::optional<Decision> CandidateIndex::first_decisive(const Text& query, FunctionRef<bool(size_t)> accepts) const {
  const size_t k = max_flex_;
  const size_t query_length = query.length();
  const size_t query_a_count = count_letter_a(query);
  const std::optional<Decision> short_decision = short_.first(query_length, query_a_count);
  // A query shorter than k trips the guard with every reference that passes
  // the filters, and the short table holds every length that can.
  if (query_length < k) return short_decision;
  const size_t limit = short_decision ? short_decision->position : reference_count_;
  if (packed_) {
    // The lowest accepted position passes the LCS test already; asking
    // keeps the contract (and costs one test, which says yes).
    const PackedLayout::Request request{&query, query_a_count, limit};
    size_t first = SIZE_MAX;
    packed_layout_.first(std::span(&request, 1), std::span(&first, 1));
    if (first == SIZE_MAX) return short_decision;
    if (accepts(first)) return Decision{first, false};
    Scratch<std::vector<uint32_t>> candidates;
    packed_layout_.candidates(query, query_a_count, limit, *candidates);
    for (const uint32_t position : *candidates)
      if (position > first && accepts(position)) return Decision{position, false};
    return short_decision;
  }
  if (const std::optional<size_t> found = hashed_.first_accepted(query, query_a_count, limit, *facts_, accepts))
    return Decision{*found, false};
  return short_decision;
}

namespace {

struct Window {
  std::vector<PackedLayout::Request> requests;
  std::vector<size_t> which;  // the query of each request
  std::vector<size_t> firsts;
  std::vector<NearestSummary> nearest;
};

}  // namespace

bool CandidateIndex::first_decisive(std::span<const Text* const> queries,
                                    std::span<std::optional<Decision>> out) const {
  if (!packed_) return false;
  const size_t k = max_flex_;
  Scratch<Window> borrowed;
  Window& window = *borrowed;
  window.requests.clear();
  window.which.clear();
  for (size_t i = 0; i < queries.size(); ++i) {
    const size_t query_length = queries[i]->length();
    const size_t query_a_count = count_letter_a(*queries[i]);
    out[i] = short_.first(query_length, query_a_count);
    // As first_decisive: a query shorter than k is the short table's.
    if (query_length < k) continue;
    size_t limit = reference_count_;
    if (const std::optional<Decision>& decided = out[i]; decided.has_value()) limit = decided->position;
    window.requests.push_back({queries[i], query_a_count, limit});
    window.which.push_back(i);
  }
  window.firsts.resize(window.requests.size());
  packed_layout_.first(window.requests, window.firsts);
  for (size_t r = 0; r < window.requests.size(); ++r)
    if (window.firsts[r] != SIZE_MAX) out[window.which[r]] = Decision{window.firsts[r], false};
  return true;
}

bool CandidateIndex::nearest(std::span<const Text* const> queries, std::span<NearestSummary> out) const {
  if (!packed_) return false;
  Scratch<Window> borrowed;
  Window& window = *borrowed;
  window.requests.clear();
  for (const Text* query : queries) window.requests.push_back({query, count_letter_a(*query), reference_count_});
  packed_layout_.nearest(window.requests, out);
  return true;
}

void CandidateIndex::each_accepted_outright(const Text& query, FunctionRef<void(size_t)> visit) const {
  short_.each_accepted_outright(query.length(), count_letter_a(query), visit);
}

bool CandidateIndex::for_each_candidate(const Text& query, FunctionRef<void(size_t position)> visit) const {
  const size_t query_length = query.length();
  const size_t query_a_count = count_letter_a(query);
  Scratch<std::vector<uint32_t>> borrowed;
  std::vector<uint32_t>& positions = *borrowed;
  if (packed_) {
    packed_layout_.candidates(query, query_a_count, reference_count_, positions);
  } else {
    positions.clear();
    hashed_.each_candidate(query, query_a_count, *facts_,
                           [&](size_t i) { positions.push_back(static_cast<uint32_t>(i)); });
  }
  short_.each_accepted_outright(query_length, query_a_count,
                                [&](size_t i) { positions.push_back(static_cast<uint32_t>(i)); });
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  for (const uint32_t position : positions) visit(position);
  return packed_;
}

bool CandidateIndex::guard_tripped(const Text& query) const {
  return short_.guard_tripped(query.length(), count_letter_a(query));
}

size_t CandidateIndex::memory_bytes() const noexcept {
  return sizeof(*this) + short_.memory_bytes() + hashed_.memory_bytes() + packed_layout_.memory_bytes();
}

void CandidateIndex::save(SectionSink& sink) const {
  sink.put_scalar<uint32_t>("index.packed", packed_ ? 1 : 0);
  sink.put_scalar<uint64_t>("index.max_flex", max_flex_);
  sink.put_scalar<uint64_t>("index.reference_count", reference_count_);
  if (packed_)
    packed_layout_.save(sink);
  else
    hashed_.save(sink);
}

std::unique_ptr<CandidateIndex> CandidateIndex::load(SectionSource& source, std::span<const Text> references,
                                                     const ReferenceFacts& facts, unsigned threads,
                                                     FunctionRef<void(size_t)> charge) {
  const size_t reference_count = references.size();
  if (facts.size() != reference_count) throw IndexFormatError("index: reference count given twice, differently");
  const uint32_t packed = source.scalar<uint32_t>("index.packed");
  const uint64_t max_flex = source.scalar<uint64_t>("index.max_flex");
  const uint64_t saved_count = source.scalar<uint64_t>("index.reference_count");
  if (packed > 1) throw IndexFormatError("index.packed: neither 0 nor 1");
  if (saved_count != reference_count) throw IndexFormatError("index.reference_count: not the references given");
  if (reference_count == 0 || reference_count >= std::numeric_limits<uint32_t>::max())
    throw IndexFormatError("index.reference_count: out of range");
  if (max_flex > max_deletions / 2) throw IndexFormatError("index.max_flex: out of range");
  const auto k = static_cast<size_t>(max_flex);
  // Lengths are kept in 32 bits (the facts table tells). Whether the
  // references suit the packed layout is not asked (a pass over every
  // character): its lookups read only its own arrays, and the caller checks
  // the filters again on the references it names (trust model:
  // index/index_file.hpp).
  if (!facts.narrow()) throw IndexFormatError("index: a reference too long to index");
  std::unique_ptr<CandidateIndex> index(new CandidateIndex(facts, k, packed == 1));
  const uint32_t older = source.older_version();
  if (packed == 1 && older != 0 && older < block_table_format_version) {
    // An older file's packed layout is another one: built again from the
    // references, with the same answers, at a build's cost (saving the
    // index again makes its next load fast).
    if (!PackedLayout::suits(references, k)) throw IndexFormatError("index.packed: references the layout cannot hold");
    // Within the memory a build may take, as a fresh build is; past it the
    // file is refused, saying how to load it fast, rather than the process
    // being killed or running out of addresses.
    const std::string refused =
        "index: format " + std::to_string(older) + " holds an older packed layout, built again at load, and ";
    const std::string remedy = "; save the index again with this mendseqs (mendseqs index, ReferenceIndex.save)";
    if (PackedLayout::estimate(facts.lengths(), k).build_bytes > static_cast<double>(index_memory_budget()))
      throw IndexFormatError(refused + "this process may not take the memory that needs" + remedy);
    try {
      index->packed_layout_ = PackedLayout(references, k, threads, charge);
      index->hits_per_lookup_ = index->packed_layout_.hits_per_lookup();
    } catch (const std::bad_alloc&) {
      throw IndexFormatError(refused + "memory ran out" + remedy);
    } catch (const std::length_error&) {
      throw IndexFormatError(refused + "it is too large here" + remedy);
    }
  } else if (packed == 1) {
    index->packed_layout_ = PackedLayout::load(source, references, k, threads, charge);
    index->hits_per_lookup_ = index->packed_layout_.hits_per_lookup();
  } else {
    index->hashed_ = HashedLayout::load(source, facts, k, threads, charge);
  }
  return index;
}

}  // namespace mendseqs
