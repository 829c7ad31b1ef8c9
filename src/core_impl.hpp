// TovikDB::Impl: the state behind core.hpp's TovikDB. It owns every component (LSH,
// vector storage, metadata store, filter indexes, expiry index) and the steps the
// operations share (preparing an add, choosing and scoring candidates, removing ids);
// TovikDB's operations in core.cpp drive it, under core.hpp's contracts. Included by
// core.cpp and by tests, never by the binding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// Steps 11-12 of search: keep the k best (unstable selection) then stable-sort by
// descending score; NaN scores are unordered against everything.
void select_best(std::vector<ScoredPair>& scored, size_t k);

// A struct: every member is open to core.cpp (TovikDB's operations) and to tests, and
// to nothing else, since only they include this header.
struct TovikDB::Impl {
  explicit Impl(std::string path);

  // Steps the operations share.
  struct PreparedAdd;  // what add allocates before its first visible change
  // The allocations of add, made before it changes anything. OutOfMemory when one
  // fails; nothing has changed then.
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
  // scratch.ids, working in the scratch's other buffers; candidates returns them in a
  // fresh vector.
  void gather_candidates(std::span<const float> query, size_t k, const std::optional<Bitmap>& admissible,
                         SearchScratch& scratch) const;
  std::vector<uint32_t> candidates(std::span<const float> query, size_t k, const std::optional<Bitmap>& admissible) const;
  // Removes from `ids` (order kept) those not in `admissible` and the deleted ones,
  // through bits in `marks` (see ADMITTED_WORDS_PER_CANDIDATE); false, with nothing
  // changed, when that would cost more than a look-up per candidate. Throws
  // std::bad_alloc when `marks` cannot grow (ids unchanged then).
  bool keep_admitted(const Bitmap& admissible, std::vector<uint32_t>& ids, std::vector<uint32_t>& marks) const;
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

  // Test hooks: they let tests fix the clock, capture the activation line and
  // inspect the components.
  void set_clock(Clock clock) { clock_ = std::move(clock); }
  void set_announce(VectorStorage::Announce announce) { announce_ = std::move(announce); }
  uint32_t dim() const { return dim_; }
  uint64_t id_bound() const { return id_bound_; }
  Bitmap deleted_ids() const { return deleted_ids_; }
  Bitmap stored_ids() const { return stored_ids_; }  // every id that has had a vector stored, deleted ones included
  std::optional<uint64_t> expiry_of(uint32_t id) const { return expirations_.expiry_of(id); }
  const VectorStorage& storage() const { return *storage_; }
  const FilterEngine& filter() const { return *filter_; }
  const LSH& lsh() const { return *lsh_; }
  const MetadataStore& metadata() const { return *metadata_; }

  std::string path_;
  std::shared_ptr<LSH> lsh_;
  std::shared_ptr<VectorStorage> storage_;
  std::shared_ptr<MetadataStore> metadata_;
  ExpiryIndex expirations_;
  std::shared_ptr<FilterEngine> filter_;
  Bitmap deleted_ids_;
  uint64_t id_bound_ = 0;  // 64-bit so that id 4294967295 counts
  Bitmap stored_ids_;  // the full scan's candidates, so that it skips the ids never stored
  uint32_t dim_ = 0;
  Clock clock_ = system_clock_seconds;
  VectorStorage::Announce announce_;
  SearchScratch scratch_;
};

}  // namespace tovik
