// TovikDB::Impl: the database behind core.hpp's TovikDB. It owns every component
// (LSH, vector storage, metadata store, filter indexes, expiry index) and runs the
// operations TovikDB forwards to it; the contracts (threading, running out of
// memory) are core.hpp's. Included by core.cpp and by tests, never by the binding.
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

// Seconds since the Unix epoch, or an Internal error for a clock before it.
using Clock = std::function<Result<uint64_t>()>;
Result<uint64_t> system_clock_seconds();

// Saturating helpers for sizes derived from k (size_t is 32-bit on the target).
size_t candidate_limit(size_t k);
size_t full_scan_bound(size_t k);  // 2 * k, saturated

// Steps 11-12 of search: keep the k best (unstable selection) then stable-sort by
// descending score; NaN scores are unordered against everything.
void select_best(std::vector<ScoredPair>& scored, size_t k);

class TovikDB::Impl {
 public:
  explicit Impl(std::string path);

  // The operations TovikDB forwards; their contracts are in core.hpp.
  Result<void> add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                   std::optional<int64_t> ttl);

  Result<std::vector<ResultTuple>> search(std::span<const float> query, size_t k,
                                          std::optional<std::string_view> filter_json,
                                          bool include_metadata);

  std::vector<ResultTuple> build_results(std::vector<ScoredPair> scored, bool include_metadata) const;

  Result<uint64_t> delete_matching(std::string_view filter_json);
  Result<void> clean_expired();
  Result<uint64_t> count();

  // Test hooks: not used by the binding (which sees only core.hpp); they let tests
  // fix the clock, capture the activation line and inspect the components.
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
  struct PreparedAdd;
  // The allocations of add, made before it changes anything. OutOfMemory when one
  // fails; nothing has changed then.
  Result<void> prepare_add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                           bool has_ttl, PreparedAdd& prepared);
  // Buffers a search works in, kept between searches so that, once grown, scoring
  // allocates nothing for them (the distance table alone is tens of kilobytes).
  struct SearchScratch {
    DistanceTable table;
    std::vector<ScoredPair> piece;                // scores of a search on one thread
    std::vector<std::vector<ScoredPair>> pieces;  // one per worker piece; each worker writes only its own
  };

  // Scores in candidate order; on the worker pool above PARALLEL_THRESHOLD candidates.
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
