// VectorStorage: raw and quantized slots, the switch to quantization, and scoring one
// id or many.
#include "storage.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "distance.hpp"
#include "worker_pool.hpp"

namespace tovik {

namespace {

// Cosine similarity over the first q.size() components of a longer stored vector,
// entirely in float32; 0 when either side is all zero. Not clamped.
float prefix_similarity(std::span<const float> q, const float* v) {
  float vv = 0.0f, dot = 0.0f, qq = 0.0f;
  for (size_t i = 0; i < q.size(); ++i) {
    vv += v[i] * v[i];
    dot += q[i] * v[i];
    qq += q[i] * q[i];
  }
  if (vv == 0.0f || qq == 0.0f) return 0.0f;
  return dot / (std::sqrt(vv) * std::sqrt(qq));
}

// Candidates scored side by side (raw vectors through cos8_f32, codes through the
// quantizer's score_group).
constexpr size_t GROUP = CODE_GROUP;

// Collects up to GROUP items, then hands them to `score` as one group; a partial group
// is padded by repeating its first item. Keeps output in the order items were added.
template <typename Item>
class Group {
 public:
  bool add(uint32_t id, Item item) {
    ids_[count_] = id;
    items_[count_++] = item;
    return count_ == GROUP;
  }
  // score(const Item (&)[GROUP], float (&)[GROUP]) fills the scores.
  template <typename Score>
  void flush(std::vector<ScoredPair>& out, Score&& score) {
    if (count_ == 0) return;
    for (size_t j = count_; j < GROUP; ++j) items_[j] = items_[0];
    float scores[GROUP];
    score(items_, scores);
    for (size_t j = 0; j < count_; ++j) out.push_back({ids_[j], scores[j]});
    count_ = 0;
  }

 private:
  uint32_t ids_[GROUP];
  Item items_[GROUP];
  size_t count_ = 0;
};

}  // namespace

VectorStorage::VectorStorage(uint32_t dimension, uint32_t quantization_threshold)
    : quantization_threshold_(quantization_threshold), dimension_(dimension) {
  // Raw vectors normally stop at the threshold (the switch-on frees them): growing the
  // flat array past it would only hold unused capacity.
  vectors_.expect_rows(quantization_threshold);
}

std::optional<float> VectorStorage::compute_similarity(std::span<const float> query, uint32_t id) const {
  if (quantizer_) return quantized_similarity(query, id);
  return raw_similarity(query, id);
}

std::optional<float> VectorStorage::raw_similarity(std::span<const float> query, uint32_t id) const {
  const auto v = vectors_.at(id);
  if (!v) return std::nullopt;
  if (query.size() > v->size) return std::nullopt;  // no components to compare against
  if (query.size() < v->size) return prefix_similarity(query, v->data);
  double distance = 0.0;
  cos_f32(query.data(), v->data, query.size(), &distance);
  return static_cast<float>(1.0 - distance);
}

std::optional<float> VectorStorage::quantized_similarity(std::span<const float> query, uint32_t id) const {
  const auto code = codes_.at(id);
  if (!code) return std::nullopt;
  return quantizer_->score(query, code->data, code->size);
}

VectorStorage::PreparedQuery VectorStorage::prepare(std::span<const float> query, size_t candidates,
                                                    DistanceTable* reuse) const {
  PreparedQuery prepared;
  prepared.query_ = query;
  if (!quantizer_) {
    prepared.query_norm2_ = sum_squares_f32(query.data(), query.size());
    prepared.has_norm_ = true;
  } else if (candidates >= DISTANCE_TABLE_MIN_CANDIDATES) {
    prepared.quantizer_ = quantizer_;
    prepared.table_.emplace(reuse != nullptr ? std::move(*reuse) : DistanceTable{});
    quantizer_->fill_distance_table(query, *prepared.table_);
  }
  return prepared;
}

void VectorStorage::recycle(PreparedQuery& prepared, DistanceTable& into) {
  if (prepared.table_) into = std::move(*prepared.table_);
  prepared.table_.reset();
}

void VectorStorage::score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                               std::vector<ScoredPair>& out) const {
  if (!quantizer_) {
    raw_score_many(prepared, ids, out);
    return;
  }
  if (prepared.table_ && prepared.quantizer_ == quantizer_) {
    table_score_many(prepared, ids, out);
    return;
  }
  for (uint32_t id : ids) {
    const auto code = codes_.at(id);
    if (!code) continue;
    if (const auto s = quantizer_->score(prepared.query_, code->data, code->size)) out.push_back({id, *s});
  }
}

void VectorStorage::raw_score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                                   std::vector<ScoredPair>& out) const {
  const std::span<const float> q = prepared.query_;
  // prepare computed the norm unless it found the storage quantized, which it then
  // stays: this is only a safeguard.
  const float q2 = prepared.has_norm_ ? prepared.query_norm2_ : sum_squares_f32(q.data(), q.size());
  Group<const float*> group;
  auto cosine = [&](const float* const(&rows)[GROUP], float(&scores)[GROUP]) {
    double distance[GROUP];
    cos8_f32(q.data(), q2, rows, q.size(), distance);
    for (size_t j = 0; j < GROUP; ++j) scores[j] = static_cast<float>(1.0 - distance[j]);
  };
  for (uint32_t id : ids) {
    const auto v = vectors_.at(id);
    if (!v || q.size() > v->size) continue;
    if (q.size() == v->size) {
      if (group.add(id, v->data)) group.flush(out, cosine);
      continue;
    }
    group.flush(out, cosine);  // keep candidate order
    out.push_back({id, prefix_similarity(q, v->data)});
  }
  group.flush(out, cosine);
}

void VectorStorage::table_score_many(const PreparedQuery& prepared, std::span<const uint32_t> ids,
                                     std::vector<ScoredPair>& out) const {
  const DistanceTable& table = *prepared.table_;
  const ProductQuantizer& pq = *quantizer_;
  const size_t width = pq.group_width(table);
  auto score_group = [&](const uint8_t* const(&codes)[GROUP], float(&scores)[GROUP]) {
    pq.score_group(table, codes, scores);
  };
  // Rows of the usual width go straight to the group; anything else takes the slow path.
  const bool rows_fit = table.all_comparable && codes_.width() >= width;
  constexpr size_t AHEAD = 8;  // candidates whose codes are fetched ahead of scoring
  Group<const uint8_t*> group;
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint32_t id = ids[i];
    if (i + AHEAD < ids.size()) {
      if (const uint8_t* next = codes_.row(ids[i + AHEAD])) __builtin_prefetch(next);
    }
    if (const uint8_t* row = rows_fit ? codes_.row(id) : nullptr) {
      if (group.add(id, row)) group.flush(out, score_group);
      continue;
    }
    const auto code = codes_.at(id);
    if (!code) continue;
    if (table.all_comparable && code->size >= width) {
      if (group.add(id, code->data)) group.flush(out, score_group);
      continue;
    }
    group.flush(out, score_group);  // keep candidate order
    if (const auto score = pq.score(table, code->data, code->size)) out.push_back({id, *score});
  }
  group.flush(out, score_group);
}

Result<void> VectorStorage::reserve(uint64_t slots) {
  if (slots > MAX_ID_SLOTS) return Error::oom();  // more slots than there are ids
  if (quantizer_) {
    codes_.reserve(slots);
    return Ok{};
  }
  const uint64_t vector_slots = vector_slot_count();
  if (vector_slots >= quantization_threshold_) {  // the next store switches on
    codes_.reserve(std::max(slots, vector_slots));
    return Ok{};
  }
  vectors_.reserve(slots);
  return Ok{};
}

Result<void> VectorStorage::store(uint32_t id, std::span<const float> v, const Announce& announce) {
  if (!quantizer_) {
    if (vector_slot_count() < quantization_threshold_) {
      store_vector(id, v);
      return Ok{};
    }
    const std::string line =
        "Activating quantization at " + std::to_string(quantization_threshold_) + " vectors...\n";
    if (announce && !announce(line)) {
      return Error::internal("could not write the quantization activation line to standard output");
    }
    if (auto r = switch_on(); !r) return r;
  }
  store_code(id, quantizer_->encode(v));
  return Ok{};
}

Result<void> VectorStorage::encode_stored(const ProductQuantizer& pq) {
  // Encode into a copy; codes_ is replaced only once nothing can fail. The codes are
  // worked out on the worker pool, in pieces of consecutive stored vectors, into one
  // flat buffer (a row per stored vector, in slot order; encode_into allocates
  // nothing, so no piece can fail), then stored in slot order on this thread. Every
  // allocation happens here, before or after the pieces: when one fails, nothing has
  // changed.
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < vectors_.size(); ++i) {
    if (vectors_.at(static_cast<uint32_t>(i))) ids.push_back(static_cast<uint32_t>(i));
  }
  const size_t m = pq.num_subspaces();
  std::vector<uint8_t> flat(ids.size() * m);
  auto run = parallel_chunks(ids.size(), piece_count(ids.size()), [&](size_t begin, size_t end, size_t) {
    for (size_t j = begin; j < end; ++j) {
      const auto v = vectors_.at(ids[j]);
      pq.encode_into(std::span<const float>(v->data, v->size), flat.data() + j * m);
    }
  });
  if (!run) return run;
  FlatSlots<uint8_t> encoded = codes_;
  encoded.grow(vectors_.size());
  for (size_t j = 0; j < ids.size(); ++j)
    encoded.store(ids[j], std::span<const uint8_t>(flat.data() + j * m, m));
  std::swap(codes_, encoded);
  return Ok{};
}

Result<void> VectorStorage::switch_on() {
  auto pq = std::make_shared<ProductQuantizer>(dimension_);
  {  // the training views are freed before the encoding allocates
    std::vector<std::span<const float>> training;
    for (size_t i = 0; i < vectors_.size(); ++i) {
      if (const auto v = vectors_.at(static_cast<uint32_t>(i))) training.emplace_back(v->data, v->size);
    }
    pq->train(training);
  }
  if (auto r = encode_stored(*pq); !r) return r;
  vectors_ = FlatSlots<float>();  // frees every vector and the slot list itself
  vectors_.expect_rows(quantization_threshold_);
  quantizer_ = std::move(pq);
  return Ok{};
}

void VectorStorage::store_vector(uint32_t id, std::span<const float> v) { vectors_.store(id, v); }

void VectorStorage::store_code(uint32_t id, std::span<const uint8_t> code) { codes_.store(id, code); }

size_t VectorStorage::vector_slot_count() const { return vectors_.size(); }

size_t VectorStorage::code_slot_count() const { return codes_.size(); }

bool VectorStorage::quantized() const { return quantizer_ != nullptr; }

std::optional<std::vector<float>> VectorStorage::TEST_vector_at(uint32_t id) const {
  const auto v = vectors_.at(id);
  if (!v) return std::nullopt;
  return std::vector<float>(v->data, v->data + v->size);
}

std::optional<std::vector<uint8_t>> VectorStorage::TEST_code_at(uint32_t id) const {
  const auto code = codes_.at(id);
  if (!code) return std::nullopt;
  return std::vector<uint8_t>(code->data, code->data + code->size);
}

std::shared_ptr<const ProductQuantizer> VectorStorage::TEST_quantizer() const { return quantizer_; }

}  // namespace tovik
