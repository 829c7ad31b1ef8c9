// LSH: the candidate index, a random-hyperplane locality-sensitive hash.
//
// Every vector gets a 32-bit signature (bit h set when the dot product with hyperplane
// h is > 0) and its id is filed in that signature's bucket. A query gathers the ids of
// its own bucket, of the 16 buckets one low bit away, and, when that yields fewer than
// limit / 2, of the first 20 buckets of the table. Hyperplanes come from a fixed-seed
// generator, so the same dimension always gives the same index.
//
// Thread-safety: no locks; the database is externally synchronised (see core.hpp).
// Hyperplanes are immutable; const calls only read.
// Iteration orders (buckets of a table, ids of a query result) are insertion orders,
// so results are the same on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "bitmap.hpp"
#include "seeded_random.hpp"

namespace tovik {

constexpr uint64_t LSH_SEED = 12345;
constexpr uint32_t NUM_HYPERPLANES = 32;
constexpr uint32_t NUM_TABLES = 1;
constexpr uint32_t PROBE_BITS = 16;
constexpr uint32_t FALLBACK_BUCKETS = 20;

class LSH {
 public:
  // Builds 32 hyperplanes of `dimension` components (drawn from LSH_SEED, each
  // normalised) and one empty table. Throws std::bad_alloc if memory runs out.
  explicit LSH(uint32_t dimension);

  uint32_t dimension() const { return dimension_; }
  uint32_t num_bits() const { return num_bits_; }
  // Test hook: the 32 hyperplanes of a table as drawn, copied out of the interleaved
  // form (the only one kept).
  std::vector<std::vector<float>> TEST_hyperplanes(uint32_t table) const;

  // Signature of v for table t: only bits 0..31 can be set. Uses min(len(v), dimension)
  // components. The 32 dot products run interleaved, each in its own index order.
  uint64_t signature(std::span<const float> v, uint32_t table) const;
  // Test hook: the same signature from one dot product after another, the plain rule
  // the interleaved one is tested against.
  uint64_t TEST_plain_signature(std::span<const float> v, uint32_t table) const;

  // An insertion whose memory is already allocated (see prepare_insert).
  class PreparedInsert {
   private:
    friend class LSH;
    struct Part {
      uint32_t bucket;                                         // index of the bucket in its table
      std::unordered_map<uint64_t, uint32_t>::node_type node;  // the new bucket's key, when there is none yet
      std::vector<uint32_t> fresh;                             // the new bucket, holding only the id
    };
    std::vector<Part> parts_;  // one per table
    uint32_t id_ = 0;
  };

  // Files id under v's signature in every table (a second insert files it again), in
  // two steps, so that a caller can allocate everything before changing anything:
  // prepare_insert computes the signatures and allocates what filing id needs (throws
  // std::bad_alloc, nothing observable changes); commit_insert files it and cannot
  // fail. REQUIRES: no other change to this LSH in between.
  PreparedInsert prepare_insert(uint32_t id, std::span<const float> v);
  void commit_insert(PreparedInsert&& prepared) noexcept;

  // What a query works in: the set of ids already gathered, an open-addressing table
  // kept between queries (it grows to twice the most ids one query gathered and never
  // shrinks), so that a query with the same scratch allocates nothing once it has grown.
  // Any LSH may use any scratch; one query at a time per scratch.
  class QueryScratch {
   public:
    struct Slot {
      uint32_t stamp;  // the slot holds `id` for the query whose stamp this is
      uint32_t id;
    };

    // Frees the table when it has grown past room for `ids` ids, so that one query that
    // gathered a great many does not hold on to their room for good.
    void trim(size_t ids) {
      if (slots_.size() > 2 * ids) std::vector<Slot>().swap(slots_);
    }

   private:
    friend class LSH;
    std::vector<Slot> slots_;  // size 0 or a power of two
    uint32_t stamp_ = 0;
  };

  // At most `limit` distinct ids, in first-found order (see the class comment), into
  // `out` (cleared first), working in `scratch`.
  void query(std::span<const float> q, size_t limit, QueryScratch& scratch, std::vector<uint32_t>& out) const;

  // Removes every occurrence of every id in `ids` from every bucket; emptied buckets
  // stay.
  void remove_many(const Bitmap& ids);

  // Test hooks: the total number of filed ids (duplicates counted) and of buckets
  // (emptied ones included).
  size_t TEST_filed_count() const;
  size_t TEST_bucket_count() const;

 private:
  struct Table {
    std::vector<uint64_t> keys;                   // bucket keys in creation order
    std::vector<std::vector<uint32_t>> buckets;   // buckets[i] is the bucket of keys[i]
    std::unordered_map<uint64_t, uint32_t> slot;  // key -> index into buckets

    // The bucket of key, or nullptr.
    const std::vector<uint32_t>* find(uint64_t key) const;
  };

  // The hyperplanes, interleaved: [table][component * 32 + hyperplane], so that a
  // signature computes the 32 dot products side by side in one pass over the vector.
  // The only copy kept: 128 bytes per dimension.
  std::vector<std::vector<float>> interleaved_;
  std::vector<Table> tables_;
  uint32_t num_tables_ = NUM_TABLES;
  uint32_t num_bits_ = NUM_HYPERPLANES;
  uint32_t dimension_;
};

}  // namespace tovik
