// ProductQuantizer: compresses vectors into one byte per 12-component subspace.
//
// Each subspace has 256 centroids: unit-length sub-vectors sampled from the stored
// vectors at switch-on (zero centroids where samples run out; seeded pseudo-random
// unit vectors for subspaces the data does not reach). encode picks, per subspace,
// the centroid with the smallest float32 squared distance, lowest index on ties;
// NaN or infinite distances never win. Immutable once built: safe to share between
// threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "distance.hpp"

namespace tovik {

constexpr uint32_t SUBSPACE_DIM = 12;
constexpr uint32_t CENTROIDS_PER_SUBSPACE = 256;
constexpr uint64_t PQ_SEED = 54321;
// Codes scored side by side by score_group: enough independent chains of adds to keep
// the processor busy while each chain waits on its previous add.
constexpr size_t CODE_GROUP = 8;

// One query's distances to every centroid, for scoring many codes against it. Entry
// [s * 256 + c] is l2sq_f32 of the query's sub-vector s and the first `width` components
// of centroid c, narrowed to float32: exactly what scoring a code adds for byte c in
// subspace s. Only the subspaces the query reaches have entries.
struct DistanceTable {
  size_t subspaces = 0;             // min(num_subspaces, subspaces starting before len(q))
  std::vector<float> distance;      // subspaces * 256 entries
  std::vector<uint8_t> comparable;  // 0 where the centroid is missing or shorter than the sub-vector
  bool all_comparable = true;       // every entry comparable: no per-entry check needed
};

class ProductQuantizer {
 public:
  // Initial codebooks for a storage of `dimension`: ceil(dimension / 12) subspaces of
  // 256 normalised centroids drawn from PQ_SEED.
  explicit ProductQuantizer(uint32_t dimension);

  // Replaces codebooks from the training vectors (in slot order, empty slots skipped):
  // the samples are vectors 0, step, 2*step, ... (step = max(1, n / 256)), at most 256,
  // then zero centroids of 12 components up to 256, all normalised. Subspace s covers
  // [12s, min(12s + 12, L0)) of the first vector's length L0; subspaces at or beyond L0
  // keep their initial codebooks. A sample shorter than L0 reads as zero past its end.
  // An empty training set changes nothing. Strong guarantee if allocation fails.
  void train(const std::vector<std::span<const float>>& training);

  // One byte per subspace; byte s is 0 when subspace s starts at or beyond len(v).
  // Otherwise the index of the nearest centroid (float32 squared distance over the
  // sub-vector's width), lowest index on ties; a centroid shorter than that width is
  // never chosen, and 0 stands when no distance is below FLT_MAX (all NaN or infinite).
  std::vector<uint8_t> encode(std::span<const float> v) const;

  // The same code written to code[0, num_subspaces()), allocating nothing: safe on any
  // number of threads at once. REQUIRES: code holds num_subspaces() bytes.
  void encode_into(std::span<const float> v, uint8_t* code) const;

  // The distance table of query q (256 distance computations per subspace it reaches).
  DistanceTable distance_table(std::span<const float> q) const;

  // The same into `table`, reusing its buffers: no allocation once they have grown to
  // the quantizer's size.
  void fill_distance_table(std::span<const float> q, DistanceTable& table) const;

  // Scoring a code against a query: the summed float32 squared distance from each
  // reached sub-vector of the query to the centroid the code names, over subspaces
  // [0, min(num_subspaces, len(code))) that start before len(query), in order; the
  // score is 1 - min(0.25 * sqrt(sum), 1). Nothing when a named centroid is missing or
  // shorter than the sub-vector.

  // The plain rule, from the codebooks. REQUIRES: code holds `length` bytes.
  std::optional<float> score(std::span<const float> query, const uint8_t* code, size_t length) const;

  // The same from the query's distance table, bit for bit: one look-up per subspace.
  // REQUIRES: table was filled by this quantizer; code holds `length` bytes.
  std::optional<float> score(const DistanceTable& table, const uint8_t* code, size_t length) const;

  // How long a code must be to be scored in a group against `table`.
  size_t group_width(const DistanceTable& table) const {
    return std::min<size_t>(num_subspaces_, table.subspaces);
  }

  // scores[j] = *score(table, codes[j], length) for CODE_GROUP codes side by side, each
  // summed in subspace order. REQUIRES: table.all_comparable; every code holds at least
  // group_width(table) bytes (codes may repeat).
  void score_group(const DistanceTable& table, const uint8_t* const (&codes)[CODE_GROUP],
                   float (&scores)[CODE_GROUP]) const;

  uint32_t num_subspaces() const { return num_subspaces_; }
  uint32_t subspace_dim() const { return subspace_dim_; }
  const std::vector<std::vector<std::vector<float>>>& codebooks() const { return codebooks_; }

 private:
  static constexpr size_t BLOCKS = CENTROIDS_PER_SUBSPACE / LANES;  // centroid blocks per subspace
  static constexpr size_t BLOCK_FLOATS = SUBSPACE_DIM * LANES;      // one block: 12 rows of 8

  // Copies codebook s into its centroid lanes (zero past a centroid's end) and records
  // its narrowest centroid. Allocates nothing.
  void fill_lanes(size_t s);

  // out[c] = the narrowed l2sq_f32 of `sub` (width floats) and the first `width`
  // components of centroid c of subspace s; meaningful only where comparable(s, c, width).
  void subspace_distances(size_t s, const float* sub, size_t width, float* out) const;

  // The narrowed l2sq_f32 of `sub` (width floats) and the first `width` components of
  // centroid c of subspace s, read from the lanes (one float32 sum in index order, as
  // the plain rule). REQUIRES: comparable(s, c, width); width <= SUBSPACE_DIM.
  float lane_distance(size_t s, size_t c, const float* sub, size_t width) const;

  // Centroid c of subspace s exists and is at least `width` components long.
  bool comparable(size_t s, size_t c, size_t width) const {
    return width <= min_width_[s] || (c < codebooks_[s].size() && codebooks_[s][c].size() >= width);
  }

  std::vector<std::vector<std::vector<float>>> codebooks_;  // [subspace][centroid][component]
  // The same centroids in blocks of LANES, component-major (see distance.hpp):
  // [subspace][block][component][lane], 48 KiB per subspace.
  std::vector<float> lanes_;
  std::vector<size_t> min_width_;  // per subspace: the shortest centroid's length (0 if one is missing)
  uint32_t num_subspaces_;
  uint32_t subspace_dim_ = SUBSPACE_DIM;
};

}  // namespace tovik
