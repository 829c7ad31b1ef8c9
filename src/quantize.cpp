#include "quantize.hpp"

#include <algorithm>
#include <cfloat>

#include "distance.hpp"
#include "lsh.hpp"

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

}  // namespace

ProductQuantizer::ProductQuantizer(uint32_t dimension)
    : num_subspaces_(static_cast<uint32_t>((uint64_t{dimension} + SUBSPACE_DIM - 1) / SUBSPACE_DIM)) {
  Lcg rng(PQ_SEED);
  codebooks_.reserve(num_subspaces_);
  for (uint32_t s = 0; s < num_subspaces_; ++s) codebooks_.push_back(draw_codebook(rng));
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
  for (size_t s = 0; s < trained.size(); ++s) codebooks_[s] = std::move(trained[s]);
}

std::vector<uint8_t> ProductQuantizer::encode(std::span<const float> v) const {
  std::vector<uint8_t> code(num_subspaces_, 0);
  for (size_t s = 0; s < num_subspaces_; ++s) {
    const size_t start = s * subspace_dim_;
    if (start >= v.size()) continue;
    const size_t width = std::min<size_t>(start + subspace_dim_, v.size()) - start;
    const Codebook& book = codebooks_[s];
    const size_t count = std::min<size_t>(book.size(), CENTROIDS_PER_SUBSPACE);
    float best = FLT_MAX;
    size_t best_index = 0;
    for (size_t c = 0; c < count; ++c) {
      if (book[c].size() < width) continue;  // cannot be compared without reading past it
      double distance = 0.0;
      l2sq_f32(v.data() + start, book[c].data(), width, &distance);
      const float narrowed = static_cast<float>(distance);
      if (narrowed < best) {  // strictly: lowest index wins ties; NaN never wins
        best = narrowed;
        best_index = c;
      }
    }
    code[s] = static_cast<uint8_t>(best_index);
  }
  return code;
}

DistanceTable ProductQuantizer::distance_table(std::span<const float> q) const {
  DistanceTable table;
  const size_t reached = (q.size() + subspace_dim_ - 1) / subspace_dim_;
  table.subspaces = std::min<size_t>(num_subspaces_, reached);
  table.distance.assign(table.subspaces * CENTROIDS_PER_SUBSPACE, 0.0f);
  table.comparable.assign(table.subspaces * CENTROIDS_PER_SUBSPACE, 0);
  for (size_t s = 0; s < table.subspaces; ++s) {
    const size_t start = s * subspace_dim_;
    const size_t width = std::min<size_t>(start + subspace_dim_, q.size()) - start;
    const Codebook& book = codebooks_[s];
    float* distance = table.distance.data() + s * CENTROIDS_PER_SUBSPACE;
    uint8_t* comparable = table.comparable.data() + s * CENTROIDS_PER_SUBSPACE;
    // Comparable centroids go through the four-at-a-time kernel; a partial group
    // repeats its first centroid and drops the extra results.
    size_t group[4];
    size_t grouped = 0;
    auto flush = [&] {
      if (grouped == 0) return;
      const float* rows[4];
      for (size_t j = 0; j < 4; ++j) rows[j] = book[group[j < grouped ? j : 0]].data();
      double d[4];
      l2sq4_f32(q.data() + start, rows, width, d);
      for (size_t j = 0; j < grouped; ++j) distance[group[j]] = static_cast<float>(d[j]);
      grouped = 0;
    };
    for (size_t c = 0; c < CENTROIDS_PER_SUBSPACE; ++c) {
      if (c >= book.size() || book[c].size() < width) {
        table.all_comparable = false;
        continue;
      }
      comparable[c] = 1;
      group[grouped++] = c;
      if (grouped == 4) flush();
    }
    flush();
  }
  return table;
}

}  // namespace tovik
