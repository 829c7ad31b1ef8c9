// VectorStorage: the vector (or, once quantization is on, the code) of every document,
// indexed by id, and the similarity score of a query against one stored document.
//
// Raw mode: float32 vectors, scored by cosine similarity. Quantized mode (after the
// one-time switch inside add): one byte code per vector, scored from the distances to
// the centroids the code names. Slot lists grow to id + 1; an empty slot is distinct
// from a stored empty vector.
//
// Layout: each slot list keeps 4 bytes per slot (a row number or an empty/zero-length
// mark, zero for an empty slot so that unwritten slots cost no resident memory; see
// zeroed_array.hpp) and the stored items in one flat array of equal-width rows, so scoring streams
// through memory and a slot costs no allocation of its own. Items of another width
// than the first stored one (which add never produces once the dimension is fixed) are
// kept aside per id. search scores through prepare + score_many: the query's own norm
// and, for many quantized candidates, a table of its distances to every centroid are
// computed once, and the read locks are taken once per batch.
//
// Locks: `quantizer`, `codes` and `vectors` each have a reader-writer lock, always taken
// quantizer first, then codes before vectors when both are held. compute_similarity
// takes only read locks and is safe from many threads at once; writers are serialized
// by the caller (add has exclusive access to the database).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <string>
#include <vector>

#include "quantize.hpp"
#include "result.hpp"
#include "zeroed_array.hpp"

namespace tovik {

constexpr uint32_t INITIAL_DIMENSION = 768;
constexpr uint32_t QUANTIZATION_THRESHOLD = 5000;
// Ids are 32-bit: no per-id table ever needs more slots than this.
constexpr uint64_t MAX_ID_SLOTS = uint64_t{1} << 32;
// From this many candidates on, quantized scoring first builds the query's distance
// table (256 distances per subspace) and then costs one look-up per subspace.
constexpr size_t DISTANCE_TABLE_MIN_CANDIDATES = 320;

// One scored document.
struct ScoredId {
  uint32_t id;
  float score;
};

namespace detail {

// A growable list of slots, each empty or holding a list of T, stored as described in
// the storage comment above. Not thread-safe; VectorStorage guards each with its lock.
template <typename T>
class FlatSlots {
 public:
  struct View {
    const T* data;  // nullptr for a stored empty list
    size_t size;
  };

  size_t size() const { return row_of_.size(); }
  // The list in slot id, or nothing when the slot is missing or empty.
  std::optional<View> at(uint32_t id) const;
  // Stores a copy of items in slot id (growing the list to id + 1 slots), replacing any
  // old list. Throws std::bad_alloc when memory runs out; nothing changes then.
  void store(uint32_t id, std::span<const T> items);
  // Room for `slots` slots and one more row, so that the next store of a list of the
  // usual width needs no allocation. Throws std::bad_alloc (nothing observable changes).
  void reserve(uint64_t slots);
  // Grows the list with empty slots to at least `count`. Throws std::bad_alloc
  // (unchanged then).
  void grow(uint64_t count);
  // The flat array's capacity grows geometrically, but not past `rows` rows unless
  // more are stored (0: no limit). Saves memory where the row count has a known bound.
  void expect_rows(uint32_t rows) { expected_rows_ = rows; }

 private:
  // Slot marks. A slot holding row r stores r + 1, so that 0 (what an unwritten slot
  // reads as) means empty.
  static constexpr uint32_t EMPTY = 0;                   // no list stored
  static constexpr uint32_t ZERO_LENGTH = 0xFFFFFFFFu;   // an empty list stored
  static constexpr uint32_t OTHER_WIDTH = 0xFFFFFFFEu;   // kept in other_
  static constexpr uint32_t MAX_ROWS = OTHER_WIDTH - 1;  // rows 0 .. MAX_ROWS - 1
  static bool holds_row(uint32_t mark) { return mark != EMPTY && mark <= MAX_ROWS; }

  size_t row_count() const { return width_ == 0 ? 0 : rows_.size() / width_; }
  uint64_t row_cap() const;  // soft limit of the flat array's capacity, in items

  ZeroedArray<uint32_t> row_of_;  // per slot: row index + 1 or one of the marks above
  std::vector<T> rows_;           // row r is [r * width_, (r + 1) * width_)
  std::unordered_map<uint32_t, std::vector<T>> other_;
  size_t width_ = 0;  // length of the first non-empty list stored; 0 until then
  uint32_t expected_rows_ = 0;
};

extern template class FlatSlots<float>;
extern template class FlatSlots<uint8_t>;

}  // namespace detail

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
  PreparedQuery prepare(std::span<const float> query, size_t candidates, DistanceTable* reuse = nullptr) const;

  // Moves the prepared query's table (if any) into `into`, for a later prepare.
  static void recycle(PreparedQuery& prepared, DistanceTable& into);

  // Appends {id, compute_similarity(query, id)} for every id in order that has a score:
  // exactly the scores and order of one compute_similarity call per id. Takes the read
  // locks once (quantizer, then codes or vectors); safe from many threads at once.
  void score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids, std::vector<ScoredId>& out) const;

  // Ensures the slot list the next store writes can hold `slots` entries, and one more
  // row of the usual width, without allocating: `vectors` in raw mode, `codes` once quantized, and `codes` (at least
  // as many as there are vector slots) when the next store is the one that switches
  // on. OutOfMemory when it cannot (also when `slots` exceeds MAX_ID_SLOTS or what
  // size_t can count); nothing changes then.
  Result<void> reserve(uint64_t slots);

  // The storage step of add: under the quantizer write lock, stores v raw, or as a
  // code; when the raw slot count has reached the threshold, first announces the
  // switch ("Activating quantization at 5000 vectors...\n"), trains, encodes every
  // stored vector and empties `vectors`. A failed announcement is an Internal error
  // before any training; nothing is stored then. An empty `announce` writes nothing.
  // OutOfMemory when a slot list cannot grow to id + 1; the switch-on either completes
  // or leaves the storage as it was.
  Result<void> store(uint32_t id, std::span<const float> v, const Announce& announce);

  // Direct slot writes (used by store and by tests), each under its own list's lock
  // only. Throw std::bad_alloc when the list cannot grow to id + 1 (unchanged then).
  void store_vector(uint32_t id, std::span<const float> v);
  void store_code(uint32_t id, std::span<const uint8_t> code);

  size_t vector_slot_count() const;
  size_t code_slot_count() const;
  bool quantized() const;
  uint32_t dimension() const { return dimension_; }
  uint32_t quantization_threshold() const { return quantization_threshold_; }
  // Copy of a stored vector / code, for tests.
  std::optional<std::vector<float>> vector_at(uint32_t id) const;
  std::optional<std::vector<uint8_t>> code_at(uint32_t id) const;
  // The installed quantizer (null while raw), for tests.
  std::shared_ptr<const ProductQuantizer> quantizer() const;

 private:
  void switch_on_locked();  // REQUIRES: quantizer_mutex_ held exclusively, no quantizer yet
  // REQUIRES: quantizer_mutex_ held (shared or exclusive).
  std::optional<float> raw_similarity_locked(std::span<const float> query, uint32_t id) const;
  std::optional<float> quantized_similarity_locked(std::span<const float> query, uint32_t id) const;
  void raw_score_many_locked(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                             std::vector<ScoredId>& out) const;
  void table_score_many_locked(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                               std::vector<ScoredId>& out) const;

  mutable std::shared_mutex vectors_mutex_;
  detail::FlatSlots<float> vectors_;
  mutable std::shared_mutex codes_mutex_;
  detail::FlatSlots<uint8_t> codes_;
  mutable std::shared_mutex quantizer_mutex_;
  std::shared_ptr<const ProductQuantizer> quantizer_;
  uint32_t quantization_threshold_;
  uint32_t dimension_;
};

}  // namespace tovik
