// ProductQuantizer: training the codebooks, encoding, and scoring codes directly or
// through a query's distance table.
#include "quantize.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "distance.hpp"
#include "seeded_random.hpp"

namespace tovik {

namespace {

using Centroid = std::vector<float>;
using Codebook = std::vector<Centroid>;

// 256 centroids of SUBSPACE_DIM values drawn in order from `rng`, each normalised.
Codebook draw_codebook(Lcg& rng) {
  Codebook book(CENTROIDS_PER_SUBSPACE, Centroid(SUBSPACE_DIM));
  for (Centroid& centroid : book) {
    for (float& x : centroid) x = rng.next();
    normalize_f32(centroid);
  }
  return book;
}

// The components [start, end) of v; components v does not have read as zero, so a
// training vector shorter than the first one never makes us read past its end.
Centroid cut_padded(std::span<const float> v, size_t start, size_t end) {
  Centroid sub(end - start, 0.0f);
  for (size_t i = start; i < end && i < v.size(); ++i) sub[i - start] = v[i];
  return sub;
}

// The index of the smallest distance among the centroids `usable` admits, scanning in
// index order with a strict comparison: the lowest index wins ties, and a NaN or
// infinite distance never wins (0 when none is below FLT_MAX).
template <typename Usable>
size_t nearest(const float* distance, Usable&& usable) {
  float best = FLT_MAX;
  size_t best_index = 0;
  for (size_t c = 0; c < CENTROIDS_PER_SUBSPACE; ++c) {
    if (distance[c] < best && usable(c)) {
      best = distance[c];
      best_index = c;
    }
  }
  return best_index;
}

// nearest when every centroid is usable, with the same choice: first the smallest
// distance below FLT_MAX, kept by eight independent running minima instead of one
// chain of compares, then the lowest index holding it, which is the one the scan keeps
// among equal distances. The distances are sums of squares from +0.0: +0.0, positive,
// +infinity or NaN of either sign, never negative and never -0.0. On those, comparing
// the bit patterns as unsigned integers orders them exactly as float32 `<` does below
// FLT_MAX, and puts every infinity and NaN above FLT_MAX, so neither ever wins; equal
// floats have equal bits. Integer compares need no transfer of the floating-point
// flags, which on a VFP unit costs an instruction per compare.
size_t nearest_of_all(const float* distance) {
  constexpr size_t CHAINS = 8;
  static_assert(CENTROIDS_PER_SUBSPACE % CHAINS == 0, "whole passes of chains");
  auto bits = [distance](size_t c) {
    uint32_t b;
    std::memcpy(&b, distance + c, sizeof b);
    return b;
  };
  constexpr uint32_t max_bits = std::bit_cast<uint32_t>(FLT_MAX);
  uint32_t lane[CHAINS];
#pragma GCC unroll 8
  for (uint32_t& m : lane) m = max_bits;
  for (size_t c = 0; c < CENTROIDS_PER_SUBSPACE; c += CHAINS) {
#pragma GCC unroll 8
    for (size_t j = 0; j < CHAINS; ++j) lane[j] = std::min(bits(c + j), lane[j]);
  }
  uint32_t best = max_bits;
#pragma GCC unroll 8
  for (const uint32_t m : lane) best = m < best ? m : best;
  if (best == max_bits) return 0;  // FLT_MAX itself never replaces the start
  // The first index holding best lies in a chain whose minimum is best: search those
  // chains only, each from its start, up to the first index found so far.
  size_t first = CENTROIDS_PER_SUBSPACE;
  for (size_t j = 0; j < CHAINS; ++j) {
    if (lane[j] != best) continue;
    for (size_t c = j; c < first; c += CHAINS) {
      if (bits(c) == best) {
        first = c;
        break;
      }
    }
  }
  return first;
}

// The similarity of a summed squared distance: 1 - min(0.25 * sqrt(sum), 1).
// (written out rather than std::fmin, which need not be inlined: a NaN distance gives
// min 1, exactly as fmin's choice of the number)
float score_of_sum(float sum) {
  const float distance = 0.25f * std::sqrt(sum);
  return 1.0f - (distance < 1.0f ? distance : 1.0f);
}

}  // namespace

ProductQuantizer::ProductQuantizer(uint32_t dimension)
    : num_subspaces_(static_cast<uint32_t>((uint64_t{dimension} + SUBSPACE_DIM - 1) / SUBSPACE_DIM)) {
  Lcg rng(PQ_SEED);
  codebooks_.reserve(num_subspaces_);
  for (uint32_t s = 0; s < num_subspaces_; ++s) codebooks_.push_back(draw_codebook(rng));
  lanes_.assign(size_t{num_subspaces_} * BLOCKS * BLOCK_FLOATS, 0.0f);
  min_width_.assign(num_subspaces_, 0);
  for (size_t s = 0; s < num_subspaces_; ++s) fill_lanes(s);
}

void ProductQuantizer::fill_lanes(size_t s) {
  const Codebook& book = codebooks_[s];
  float* lanes = lanes_.data() + s * BLOCKS * BLOCK_FLOATS;
  size_t narrowest = book.size() < CENTROIDS_PER_SUBSPACE ? 0 : SUBSPACE_DIM;
  for (size_t c = 0; c < CENTROIDS_PER_SUBSPACE; ++c) {
    float* block = lanes + (c / LANES) * BLOCK_FLOATS;
    const size_t length = c < book.size() ? book[c].size() : 0;
    narrowest = std::min(narrowest, length);
    for (size_t k = 0; k < SUBSPACE_DIM; ++k) block[k * LANES + c % LANES] = k < length ? book[c][k] : 0.0f;
  }
  min_width_[s] = narrowest;
}

void ProductQuantizer::subspace_distances(size_t s, const float* sub, size_t width, float* out) const {
  l2sq_lanes_f32(sub, lanes_.data() + s * BLOCKS * BLOCK_FLOATS, width, BLOCK_FLOATS, BLOCKS, out);
}

void ProductQuantizer::train(const std::vector<std::span<const float>>& training) {
  const size_t n = training.size();
  if (n == 0) return;
  const size_t step = std::max<size_t>(1, n / CENTROIDS_PER_SUBSPACE);
  const size_t samples = (n + step - 1) / step;
  const size_t taken = std::min<size_t>(CENTROIDS_PER_SUBSPACE, samples);
  const size_t first_length = training[0].size();

  // Build every replacement before touching a codebook, so a failed allocation
  // leaves the quantizer as it was.
  std::vector<Codebook> trained;
  for (size_t s = 0; s < num_subspaces_; ++s) {
    const size_t start = s * subspace_dim_;
    if (start >= first_length) break;
    const size_t end = std::min<size_t>(start + subspace_dim_, first_length);
    Codebook book;
    book.reserve(CENTROIDS_PER_SUBSPACE);
    for (size_t j = 0; j < taken; ++j) book.push_back(cut_padded(training[j * step], start, end));
    while (book.size() < CENTROIDS_PER_SUBSPACE) book.emplace_back(subspace_dim_, 0.0f);
    for (Centroid& centroid : book) normalize_f32(centroid);
    trained.push_back(std::move(book));
  }
  for (size_t s = 0; s < trained.size(); ++s) {
    codebooks_[s] = std::move(trained[s]);
    fill_lanes(s);
  }
}

std::vector<uint8_t> ProductQuantizer::encode(std::span<const float> v) const {
  std::vector<uint8_t> code(num_subspaces_, 0);
  encode_into(v, code.data());
  return code;
}

void ProductQuantizer::encode_into(std::span<const float> v, uint8_t* code) const {
  float distance[CENTROIDS_PER_SUBSPACE];
  for (size_t s = 0; s < num_subspaces_; ++s) {
    const size_t start = s * subspace_dim_;
    if (start >= v.size()) {
      code[s] = 0;
      continue;
    }
    const size_t width = std::min<size_t>(start + subspace_dim_, v.size()) - start;
    // All 256 distances first (several centroids per pass, each with the plain rule's
    // bits), then the choice in index order exactly as one centroid after another.
    subspace_distances(s, v.data() + start, width, distance);
    code[s] = static_cast<uint8_t>(
        width <= min_width_[s] ? nearest_of_all(distance)
                               : nearest(distance, [&](size_t c) { return comparable(s, c, width); }));
  }
}

DistanceTable ProductQuantizer::distance_table(std::span<const float> q) const {
  DistanceTable table;
  fill_distance_table(q, table);
  return table;
}

void ProductQuantizer::fill_distance_table(std::span<const float> q, DistanceTable& table) const {
  const size_t reached = (q.size() + subspace_dim_ - 1) / subspace_dim_;
  table.subspaces = std::min<size_t>(num_subspaces_, reached);
  table.all_comparable = true;
  table.distance.resize(table.subspaces * CENTROIDS_PER_SUBSPACE);  // keeps capacity across queries
  table.comparable.resize(table.subspaces * CENTROIDS_PER_SUBSPACE);
  for (size_t s = 0; s < table.subspaces; ++s) {
    const size_t start = s * subspace_dim_;
    const size_t width = std::min<size_t>(start + subspace_dim_, q.size()) - start;
    float* distance = table.distance.data() + s * CENTROIDS_PER_SUBSPACE;
    uint8_t* comparable = table.comparable.data() + s * CENTROIDS_PER_SUBSPACE;
    subspace_distances(s, q.data() + start, width, distance);
    if (width <= min_width_[s]) {  // every centroid is at least as wide
      std::memset(comparable, 1, CENTROIDS_PER_SUBSPACE);
      continue;
    }
    for (size_t c = 0; c < CENTROIDS_PER_SUBSPACE; ++c) {
      comparable[c] = this->comparable(s, c, width) ? 1 : 0;
      if (!comparable[c]) {
        distance[c] = 0.0f;
        table.all_comparable = false;
      }
    }
  }
}

inline float ProductQuantizer::lane_distance(size_t s, size_t c, const float* sub, size_t width) const {
  // Component k of centroid c sits k * LANES floats after its first one.
  const float* column = lanes_.data() + s * BLOCKS * BLOCK_FLOATS + (c / LANES) * BLOCK_FLOATS + c % LANES;
  float sum = 0.0f;
  if (width == SUBSPACE_DIM) {  // the usual width, unrolled: fixed offsets, no loop
#pragma GCC unroll 12
    for (size_t k = 0; k < SUBSPACE_DIM; ++k) {
      const float d = sub[k] - column[k * LANES];
      sum += d * d;
    }
    return sum;
  }
  for (size_t k = 0; k < width; ++k) {
    const float d = sub[k] - column[k * LANES];
    sum += d * d;
  }
  return sum;
}

std::optional<float> ProductQuantizer::score(std::span<const float> query, const uint8_t* code,
                                             size_t length) const {
  const size_t d = subspace_dim_;
  const size_t subspaces = std::min<size_t>(num_subspaces_, length);
  float sum = 0.0f;
  // The subspaces the query covers whole first: width 12, fixed offsets.
  const size_t whole = std::min(subspaces, query.size() / d);
  for (size_t s = 0; s < whole; ++s) {
    const uint8_t c = code[s];
    if (min_width_[s] < SUBSPACE_DIM && !comparable(s, c, SUBSPACE_DIM)) return std::nullopt;
    sum += lane_distance(s, c, query.data() + s * d, SUBSPACE_DIM);
  }
  for (size_t s = whole; s < subspaces; ++s) {
    const size_t start = s * d;
    if (start >= query.size()) break;
    const size_t width = std::min(start + d, query.size()) - start;
    const uint8_t c = code[s];
    if (!comparable(s, c, width)) return std::nullopt;
    sum += lane_distance(s, c, query.data() + start, width);
  }
  return score_of_sum(sum);
}

std::optional<float> ProductQuantizer::score(const DistanceTable& table, const uint8_t* code,
                                             size_t length) const {
  const size_t subspaces = std::min({size_t{num_subspaces_}, length, table.subspaces});
  const float* distance = table.distance.data();
  float sum = 0.0f;
  for (size_t s = 0; s < subspaces; ++s) {
    const size_t entry = s * CENTROIDS_PER_SUBSPACE + code[s];
    if (!table.comparable[entry]) return std::nullopt;
    sum += distance[entry];
  }
  return score_of_sum(sum);
}

void ProductQuantizer::score_group(const DistanceTable& table, const uint8_t* const (&codes)[CODE_GROUP],
                                   float (&scores)[CODE_GROUP]) const {
  static_assert(CODE_GROUP == 8 && TABLE_ROW == CENTROIDS_PER_SUBSPACE, "table_sums8_f32 scores the group");
  float sums[CODE_GROUP];
  table_sums8_f32(table.distance.data(), codes, group_width(table), sums);
  for (size_t j = 0; j < CODE_GROUP; ++j) scores[j] = score_of_sum(sums[j]);
}

}  // namespace tovik
