// TovikDB: the database object, and the operations the Python methods call: add,
// search, build_results, delete, clean_expired, count.
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
// universe are stored) allocates inside the filter indexes; running out there leaves
// the document stored, counted and searchable, its fields indexed up to the one that
// failed and no new expiry.
// The other operations and running out of memory: each completes or returns
// OutOfMemory, never ends the process (bitmap operations fail before they change
// anything: see bitmap.hpp). search and count change nothing but what their purge
// does; delete and the purge mark the ids deleted in one step (failing there changes
// nothing, and the purge keeps the expiries for the next one), then take them out of
// the indexes, where a failure leaves them deleted, uncounted and never returned, but
// still matched by a later delete's filter (and counted by it, as any deleted id its
// filter still matches). Every operation first allocates the calling thread's runtime
// exception state (thread_state.hpp). No operation throws: running out of memory
// inside one is its OutOfMemory error (the error rule: result.hpp).
// Nothing here knows about Python.
//
// This is the public face of the core, all the binding sees; the components behind it
// and the test hooks are in core_impl.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "scored_pair.hpp"

namespace tovik {

struct ResultTuple {
  uint32_t id;
  float score;
  std::string metadata;  // empty when metadata was not requested
};

class TovikDB {
 public:
  // Creates `path` (with parents, mode 0777) and empty components. Error: the system
  // error text.
  static Result<std::unique_ptr<TovikDB>> open(std::string path);
  ~TovikDB();
  TovikDB(const TovikDB&) = delete;
  TovikDB& operator=(const TovikDB&) = delete;

  Result<void> add(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                   std::optional<int64_t> ttl);

  Result<std::vector<ResultTuple>> search(std::span<const float> query, size_t k,
                                          std::optional<std::string_view> filter_json,
                                          bool include_metadata);

  Result<std::vector<ResultTuple>> build_results(std::vector<ScoredPair> scored, bool include_metadata) const;

  // Number of ids the filter matched.
  Result<uint64_t> delete_matching(std::string_view filter_json);

  // Purges every id whose expiry is strictly before now, in O(log n) per expired id.
  // A clock before the epoch cannot judge any expiry: nothing is purged and the call
  // still succeeds, so count and search keep working.
  Result<void> clean_expired();

  // Live ids: id_bound minus deleted ids, after a purge.
  Result<uint64_t> count();

  // Test hooks: the components and the inspection helpers (core_impl.hpp).
  struct Impl;
  Impl& impl() { return *impl_; }
  const Impl& impl() const { return *impl_; }

 private:
  explicit TovikDB(std::unique_ptr<Impl> impl);
  Result<void> add_unguarded(uint32_t id, std::span<const float> vector, std::string_view metadata_json,
                             std::optional<int64_t> ttl);
  Result<void> purge_expired();
  Result<std::vector<ResultTuple>> search_unguarded(std::span<const float> query, size_t k,
                                                    std::optional<std::string_view> filter_json,
                                                    bool include_metadata);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tovik
