// TovikDB::Impl: the state behind core.hpp's TovikDB and every step of its operations.
// It owns the components (hashing, vector storage, metadata store, filter indexes,
// expiry index) and runs each operation under core.hpp's contract; TovikDB only
// forwards through the edge that turns std::bad_alloc into OutOfMemory, so Impl's
// operations may throw std::bad_alloc (the error rule: result.hpp). Included by core.cpp
// and by tests, never by the binding.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap.hpp"
#include "core.hpp"
#include "expiry_index.hpp"
#include "filter.hpp"
#include "lsh.hpp"
#include "metadata_store.hpp"
#include "result.hpp"
#include "storage.hpp"

namespace tovik {

constexpr size_t MIN_CANDIDATES = 1000;
constexpr size_t CANDIDATE_FACTOR = 10;
constexpr size_t FULL_SCAN_FACTOR = 2;
constexpr size_t PARALLEL_THRESHOLD = 1000;
// A filtered search tests its candidates against the filter's ids through a bit per id
// over the candidates' id range (one pass over the filter's ids in that range) instead
// of a look-up in the compressed set per candidate, when the range holds at most this
// many words and the filter at most this many ids in it, per candidate.
constexpr uint64_t ADMITTED_WORDS_PER_CANDIDATE = 8;
constexpr uint64_t ADMITTED_IDS_PER_CANDIDATE = 8;
// Search keeps its buffers for the next one up to this many candidates; a search with
// more frees what it grew, so a rare huge k does not hold tens of megabytes for good.
constexpr size_t SCRATCH_KEEP_CANDIDATES = size_t{1} << 16;

// Seconds since the Unix epoch, or an Internal error for a clock before it.
using Clock = std::function<Result<uint64_t>()>;
Result<uint64_t> system_clock_seconds();

// Saturating helpers for sizes derived from k (size_t is 32-bit on the target).
size_t candidate_limit(size_t k);
size_t full_scan_bound(size_t k);  // 2 * k, saturated

// The last steps of search: keep the k best (unstable selection), then stable-sort them
// by descending score; NaN scores are unordered against everything.
void select_best(std::vector<ScoredPair>& scored, size_t k);

class TovikDB::Impl {
 public:
  explicit Impl(std::string path);

  // The operations, as core.hpp describes them; each may throw std::bad_alloc, leaving
  // what the contract says of OutOfMemory.
  //
  // add allocates everything it can ahead (room in every per-id table, the hashing's
  // insertion, the parsed metadata, room in the expiry index and in the two id sets it
  // changes) before its first change, and that first change, the storage step, leaves
  // the storage as it was when the switch to quantization runs out. Only the indexing
  // of the fields, after the vector, the text and the universe are stored, allocates
  // as it goes.
  Result<void> add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                   std::optional<int64_t> ttl);
  Result<std::vector<ResultTuple>> search(std::span<const float> query, size_t k,
                                          std::optional<std::string_view> filter_json, bool include_metadata);
  std::vector<ResultTuple> build_results(const std::vector<ScoredPair>& scored, bool include_metadata) const;
  Result<uint64_t> delete_matching(std::string_view filter_json);
  Result<void> purge_expired();
  uint64_t live_count() const { return id_bound_ - deleted_ids_.cardinality(); }

  // Test hooks: they let tests fix the clock, capture the activation line, inspect the
  // components and the candidate choice, and free the search buffers.
  void TEST_set_clock(Clock clock) { clock_ = std::move(clock); }
  void TEST_set_announce(VectorStorage::Announce announce) { announce_ = std::move(announce); }
  uint32_t TEST_dim() const { return dim_; }
  uint64_t TEST_id_bound() const { return id_bound_; }
  Bitmap TEST_deleted_ids() const { return deleted_ids_; }
  // Every id that has had a vector stored, deleted ones included.
  Bitmap TEST_stored_ids() const { return stored_ids_; }
  std::optional<uint64_t> TEST_expiry_of(uint32_t id) const { return expirations_.expiry_of(id); }
  const VectorStorage& TEST_storage() const { return storage_; }
  const FilterEngine& TEST_filter() const { return filter_; }
  const LSH& TEST_lsh() const { return lsh_; }
  const MetadataStore& TEST_metadata() const { return metadata_; }
  // The candidates search would score, in a fresh vector.
  std::vector<uint32_t> TEST_candidates(std::span<const float> query, size_t k,
                                        const std::optional<Bitmap>& admissible) const;
  // keep_admitted as search runs it, with `deleted` as the deleted ids (they stay so).
  bool TEST_keep_admitted(const Bitmap& admissible, std::vector<uint32_t>& ids, std::vector<uint32_t>& marks,
                          Bitmap deleted) {
    deleted_ids_ = std::move(deleted);
    return keep_admitted(admissible, ids, marks);
  }
  // Frees the search buffers grown past room for `candidates` candidates; returns the
  // capacity the candidate and score buffers keep.
  size_t TEST_trim_scratch(size_t candidates);

 private:
  struct PreparedAdd;  // what add allocates before its first change
  // The allocations of add, made before it changes anything. OutOfMemory (or
  // std::bad_alloc) when one fails; nothing has changed then.
  Result<void> prepare_add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                           bool has_ttl, PreparedAdd& prepared);
  // Buffers a search works in, kept between searches so that, once grown, scoring
  // allocates nothing for them (the distance table alone is tens of kilobytes).
  struct SearchScratch {
    DistanceTable table;
    std::vector<std::vector<ScoredPair>> pieces;  // one per worker piece; each worker writes only its own
    LSH::QueryScratch lsh;                        // the candidate query's seen-id set
    std::vector<uint32_t> ids;                    // the candidates
    std::vector<uint32_t> admitted;               // the filter's ids over the candidates' range, one bit each
    std::vector<ScoredPair> scored;               // every candidate's score, lent to score's result

    // Frees every buffer grown past room for `candidates` candidates.
    void trim(size_t candidates);
  };
  // The candidate ids search scores (deleted and inadmissible ids removed) into
  // scratch.ids, working in the scratch's other buffers.
  void gather_candidates(std::span<const float> query, size_t k, const std::optional<Bitmap>& admissible,
                         SearchScratch& scratch) const;
  // Removes from `ids` (order kept) those not in `admissible` and the deleted ones,
  // through bits in `marks` (see ADMITTED_WORDS_PER_CANDIDATE); false, with nothing
  // changed, when that would cost more than a look-up per candidate. Throws
  // std::bad_alloc when `marks` cannot grow (ids unchanged then).
  bool keep_admitted(const Bitmap& admissible, std::vector<uint32_t>& ids,
                     std::vector<uint32_t>& marks) const;
  // Scores in candidate order; on the worker pool above PARALLEL_THRESHOLD candidates.
  Result<std::vector<ScoredPair>> score(std::span<const float> query, const std::vector<uint32_t>& ids,
                                        SearchScratch& scratch) const;
  // Marks the ids deleted (the commit: std::bad_alloc there changes nothing), then
  // takes them out of the indexes. A std::bad_alloc from the second step leaves them
  // deleted, never counted or returned again, with some still indexed: a later
  // delete whose filter matches them counts them again, as it counts any deleted id
  // its filter still matches.
  void remove_ids(const Bitmap& ids);
  void remove_from_indexes(const Bitmap& ids);

  std::string path_;
  LSH lsh_;  // replaced by one of the right dimension while the dimension is open
  VectorStorage storage_;
  MetadataStore metadata_;
  ExpiryIndex expirations_;
  FilterEngine filter_;
  Bitmap deleted_ids_;
  uint64_t id_bound_ = 0;  // 64-bit so that id 4294967295 counts
  Bitmap stored_ids_;      // the full scan's candidates, so that it skips the ids never stored
  uint32_t dim_ = 0;
  Clock clock_ = system_clock_seconds;
  VectorStorage::Announce announce_;
  SearchScratch scratch_;
};

}  // namespace tovik
