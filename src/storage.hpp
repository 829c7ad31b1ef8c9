// VectorStorage: the vector (or, once quantization is on, the code) of every document,
// indexed by id, and the similarity score of a query against one stored document.
//
// Raw mode: float32 vectors, scored by cosine similarity. Quantized mode (after the
// one-time switch inside add): one byte code per vector, scored from the distances to
// the centroids the code names. Slot lists grow to id + 1; an empty slot is distinct
// from a stored empty vector.
//
// Layout: vectors and codes each sit in a FlatSlots list (flat_slots.hpp: 4 bytes per
// slot plus one flat array of equal-width rows), so scoring streams through memory and
// a slot costs no allocation of its own. search scores through prepare + score_many: the query's own norm
// and, for many quantized candidates, a table of its distances to every centroid are
// computed once.
//
// Thread-safety: no locks. The database is externally synchronised (see core.hpp);
// the const scoring calls (compute_similarity, score_many) only read, so search's
// worker threads run them side by side while no writer can run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flat_slots.hpp"
#include "quantize.hpp"
#include "result.hpp"
#include "scored_pair.hpp"

namespace tovik {

constexpr uint32_t INITIAL_DIMENSION = 768;
constexpr uint32_t QUANTIZATION_THRESHOLD = 5000;
// Ids are 32-bit: no per-id table ever needs more slots than this.
constexpr uint64_t MAX_ID_SLOTS = uint64_t{1} << 32;
// From this many candidates on, quantized scoring first builds the query's distance
// table (256 distances per subspace) and then costs one look-up per subspace. Where
// the two costs meet, measured: about 320 candidates on x86-64 (AVX table, SSE2
// scoring); about 100 on 32-bit ARM (counted instructions: a table of 32 subspaces
// some 220,000, a candidate scored without it some 2,300, with it 165), which the
// other processors without an x86-64 kernel are taken to resemble.
#if defined(__x86_64__)
constexpr size_t DISTANCE_TABLE_MIN_CANDIDATES = 320;
#else
constexpr size_t DISTANCE_TABLE_MIN_CANDIDATES = 100;
#endif

class VectorStorage {
 public:
  // Writes the activation line; returns false when it could not be written.
  using Announce = std::function<bool(const std::string& line)>;

  // What a search works out once about its query, before scoring candidates. Refers
  // to the query: keep it alive while the prepared query is used.
  class PreparedQuery {
   private:
    friend class VectorStorage;
    std::span<const float> query_;
    float query_norm2_ = 0.0f;                           // sum_squares_f32(query)
    bool has_norm_ = false;                              // query_norm2_ computed (raw mode)
    std::shared_ptr<const ProductQuantizer> quantizer_;  // the one table_ was built from
    std::optional<DistanceTable> table_;
  };

  explicit VectorStorage(uint32_t dimension = INITIAL_DIMENSION,
                         uint32_t quantization_threshold = QUANTIZATION_THRESHOLD);

  // Similarity of `query` to document id; nothing when the id has no vector/code, or
  // when the query is longer than the stored vector (raw) or reaches past a centroid
  // (quantized): storage never reads past what it holds.
  std::optional<float> compute_similarity(std::span<const float> query, uint32_t id) const;

  // Prepares `query` for scoring about `candidates` ids; builds the distance table when
  // quantized and candidates >= DISTANCE_TABLE_MIN_CANDIDATES.
  // With `reuse`, the table is built in *reuse's buffers (moved in); hand them back
  // with recycle once scoring is done, so the next search allocates nothing for it.
  PreparedQuery prepare(std::span<const float> query, size_t candidates,
                        DistanceTable* reuse = nullptr) const;

  // Moves the prepared query's table (if any) into `into`, for a later prepare.
  static void recycle(PreparedQuery& prepared, DistanceTable& into);

  // Appends {id, compute_similarity(query, id)} for every id in order that has a score:
  // exactly the scores and order of one compute_similarity call per id. Only reads:
  // safe from many threads at once while nothing writes.
  void score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                  std::vector<ScoredPair>& out) const;

  // Ensures the slot list the next store writes can hold `slots` entries, and one more
  // row of the usual width, without allocating: `vectors` in raw mode, `codes` once quantized, and `codes`
  // (at least as many as there are vector slots) when the next store is the one that switches on. OutOfMemory
  // when `slots` exceeds MAX_ID_SLOTS or what size_t can count; throws std::bad_alloc when the memory cannot
  // be had. Nothing changes on either failure.
  Result<void> reserve(uint64_t slots);

  // The storage step of add: stores v raw, or as a
  // code; when the raw slot count has reached the threshold, first announces the
  // switch ("Activating quantization at 5000 vectors...\n"), trains, encodes every
  // stored vector and empties `vectors`. A failed announcement is an Internal error
  // before any training; nothing is stored then. An empty `announce` writes nothing.
  // OutOfMemory when a worker runs out while encoding; throws std::bad_alloc when a slot
  // list cannot grow to id + 1 or the switch-on runs out. The switch-on either completes
  // or leaves the storage as it was.
  Result<void> store(uint32_t id, std::span<const float> v, const Announce& announce);

  // Direct slot writes (used by store and by tests). Throw std::bad_alloc when the list cannot grow to id + 1
  // (unchanged then).
  void store_vector(uint32_t id, std::span<const float> v);
  void store_code(uint32_t id, std::span<const uint8_t> code);

  size_t vector_slot_count() const;
  size_t code_slot_count() const;
  bool quantized() const;
  uint32_t dimension() const { return dimension_; }
  uint32_t quantization_threshold() const { return quantization_threshold_; }
  // Test hooks: copies of a stored vector / code, and the installed quantizer.
  std::optional<std::vector<float>> TEST_vector_at(uint32_t id) const;
  std::optional<std::vector<uint8_t>> TEST_code_at(uint32_t id) const;
  // (null while raw)
  std::shared_ptr<const ProductQuantizer> TEST_quantizer() const;

 private:
  Result<void> switch_on();  // REQUIRES: no quantizer yet
  // Replaces codes_ by a copy holding pq's code of every stored vector (std::bad_alloc
  // leaves codes_ as it was); the encoding runs on the worker pool.
  Result<void> encode_stored(const ProductQuantizer& pq);
  std::optional<float> raw_similarity(std::span<const float> query, uint32_t id) const;
  std::optional<float> quantized_similarity(std::span<const float> query, uint32_t id) const;
  void raw_score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                      std::vector<ScoredPair>& out) const;
  void table_score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                        std::vector<ScoredPair>& out) const;

  FlatSlots<float> vectors_;
  FlatSlots<uint8_t> codes_;
  std::shared_ptr<const ProductQuantizer> quantizer_;
  uint32_t quantization_threshold_;
  uint32_t dimension_;
};

}  // namespace tovik
