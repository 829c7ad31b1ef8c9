// TovikDB: the database object. Owns every component and runs the operations the
// Python methods call: add, search, build_results, delete, clean_expired, count.
//
// Threading, the one model every component follows: the database is externally
// synchronised. Every entry point runs with the interpreter lock held (the binding
// never releases it inside a call into the core), so calls into one database, and
// into different databases, never overlap; no component takes a lock of its own.
// REQUIRES of C++ callers: the same, one call at a time. Inside search, the worker
// threads (worker_pool.hpp) only read storage, which nothing can change until the
// search returns.
//
// add and running out of memory: everything add allocates that it can allocate
// ahead (room in every per-id table, the LSH insertion, the parsed metadata, room in
// the expiry index) is allocated before its first change, and the storage step, the
// first change, leaves itself unchanged when the switch to quantization runs out. So
// an OutOfMemory error (MemoryError) from add has changed nothing, with one exception:
// the indexing of the metadata fields (after the vector, the metadata text and the
// universe are stored) allocates inside the filter indexes; std::bad_alloc thrown
// there leaves the document stored, counted and searchable, its fields indexed up to
// the one that failed and no new expiry. (Bitmap growth inside the bitmap library
// cannot report failure at all: see bitmap.hpp.)
// Nothing here knows about Python.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bitmap.hpp"
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

struct ResultTuple {
  uint32_t id;
  float score;
  std::string metadata;  // empty when metadata was not requested
};

// Seconds since the Unix epoch, or an Internal error for a clock before it.
using Clock = std::function<Result<uint64_t>()>;
Result<uint64_t> system_clock_seconds();

// Saturating helpers for sizes derived from k (size_t is 32-bit on the target).
size_t candidate_limit(size_t k);
size_t full_scan_bound(size_t k);  // 2 * k, saturated

// Steps 11-12 of search: keep the k best (unstable selection) then stable-sort by
// descending score; NaN scores are unordered against everything.
void select_best(std::vector<ScoredPair>& scored, size_t k);

class TovikDB {
 public:
  // Creates `path` (with parents, mode 0777) and empty components. Error: the system
  // error text.
  static Result<std::unique_ptr<TovikDB>> open(std::string path);

  Result<void> add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                   std::optional<int64_t> ttl);

  Result<std::vector<ResultTuple>> search(std::span<const float> query, size_t k,
                                          std::optional<std::string_view> filter_json,
                                          bool include_metadata);

  std::vector<ResultTuple> build_results(std::vector<ScoredPair> scored, bool include_metadata) const;

  // Number of ids the filter matched.
  Result<uint64_t> delete_matching(std::string_view filter_json);

  // Purges every id whose expiry is strictly before now, in O(log n) per expired id.
  // A clock before the epoch cannot judge any expiry: nothing is purged and the call
  // still succeeds, so count and search keep working.
  Result<void> clean_expired();

  // Live ids: id_bound minus deleted ids, after a purge.
  Result<uint64_t> count();

  // Test hooks: not used by the binding (which needs only open and the operations
  // above); they let tests fix the clock, capture the activation line and inspect
  // the components.
  void set_clock(Clock clock) { clock_ = std::move(clock); }
  void set_announce(VectorStorage::Announce announce) { announce_ = std::move(announce); }
  uint32_t dim() const { return dim_; }
  uint64_t id_bound() const;
  Bitmap deleted_ids() const;
  // Every id that has had a vector stored (deleted ones included).
  Bitmap stored_ids() const;
  std::optional<uint64_t> expiry_of(uint32_t id) const;
  const VectorStorage& storage() const { return *storage_; }
  const FilterEngine& filter() const { return *filter_; }
  const LSH& lsh() const { return *lsh_; }
  const MetadataStore& metadata() const { return *metadata_; }

  // The candidate ids search would score (after deleted/inadmissible removal), for tests.
  std::vector<uint32_t> candidates(std::span<const float> query, size_t k, const std::optional<Bitmap>& admissible) const;

 private:
  explicit TovikDB(std::string path);
  struct PreparedAdd;
  // The allocations of add, made before it changes anything. OutOfMemory when one
  // fails; nothing has changed then.
  Result<void> prepare_add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                           bool has_ttl, PreparedAdd& prepared);
  // Scores in candidate order; on the worker pool above PARALLEL_THRESHOLD candidates.
  // Buffers a search works in, kept between searches so that, once grown, scoring
  // allocates nothing for them (the distance table alone is tens of kilobytes).
  struct SearchScratch {
    DistanceTable table;
    std::vector<std::vector<ScoredPair>> pieces;  // one per worker piece; each worker writes only its own
    LSH::QueryScratch lsh;                        // the candidate query's seen-id set
    std::vector<uint32_t> ids;                    // the candidates
    std::vector<ScoredPair> scored;               // every candidate's score, lent to score's result
  };

  Result<std::vector<ScoredPair>> score(std::span<const float> query, const std::vector<uint32_t>& ids,
                                        SearchScratch& scratch) const;
  void remove_ids(const Bitmap& ids);

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
