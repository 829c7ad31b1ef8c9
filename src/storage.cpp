#include "storage.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>

#include "distance.hpp"

namespace tovik {

namespace {

template <typename T>
using SlotList = std::vector<std::optional<std::vector<T>>>;

// Grows `slots` with empty entries to at least `count`. Throws std::bad_alloc when
// that many slots cannot exist (more than size_t can count, e.g. id + 1 = 2^32 on a
// 32-bit device), and leaves the list unchanged whenever it throws.
template <typename T>
void grow_to(SlotList<T>& slots, uint64_t count) {
  if (count <= slots.size()) return;
  if (count > slots.max_size()) throw std::bad_alloc();
  slots.resize(static_cast<size_t>(count));
}

template <typename T>
void reserve_slots(SlotList<T>& slots, uint64_t count) {
  if (count > slots.max_size()) throw std::bad_alloc();
  slots.reserve(static_cast<size_t>(count));
}

// Cosine similarity over the first q.size() components of a longer stored vector,
// entirely in float32; 0 when either side is all zero. Not clamped.
float prefix_similarity(std::span<const float> q, const std::vector<float>& v) {
  float vv = 0.0f, dot = 0.0f, qq = 0.0f;
  for (size_t i = 0; i < q.size(); ++i) {
    vv += v[i] * v[i];
    dot += q[i] * v[i];
    qq += q[i] * q[i];
  }
  if (vv == 0.0f || qq == 0.0f) return 0.0f;
  return dot / (std::sqrt(vv) * std::sqrt(qq));
}

}  // namespace

VectorStorage::VectorStorage(uint32_t dimension, uint32_t quantization_threshold)
    : quantization_threshold_(quantization_threshold), dimension_(dimension) {}

std::optional<float> VectorStorage::compute_similarity(std::span<const float> query, uint32_t id) const {
  std::shared_lock quantizer_lock(quantizer_mutex_);
  if (quantizer_) return quantized_similarity_locked(query, id);
  return raw_similarity_locked(query, id);
}

std::optional<float> VectorStorage::raw_similarity_locked(std::span<const float> query, uint32_t id) const {
  std::shared_lock lock(vectors_mutex_);
  if (id >= vectors_.size() || !vectors_[id]) return std::nullopt;
  const std::vector<float>& v = *vectors_[id];
  if (query.size() > v.size()) return std::nullopt;  // no components to compare against
  if (query.size() < v.size()) return prefix_similarity(query, v);
  double distance = 0.0;
  cos_f32(query.data(), v.data(), query.size(), &distance);
  return static_cast<float>(1.0 - distance);
}

std::optional<float> VectorStorage::quantized_similarity_locked(std::span<const float> query,
                                                                uint32_t id) const {
  std::shared_lock lock(codes_mutex_);
  if (id >= codes_.size() || !codes_[id]) return std::nullopt;
  const std::vector<uint8_t>& code = *codes_[id];
  const ProductQuantizer& pq = *quantizer_;
  const size_t d = pq.subspace_dim();
  const size_t subspaces = std::min<size_t>(pq.num_subspaces(), code.size());
  float sum = 0.0f;
  for (size_t s = 0; s < subspaces; ++s) {
    const size_t start = s * d;
    if (start >= query.size()) break;
    const size_t width = std::min(start + d, query.size()) - start;
    const auto& book = pq.codebooks()[s];
    if (code[s] >= book.size() || book[code[s]].size() < width) return std::nullopt;
    double distance = 0.0;
    l2sq_f32(query.data() + start, book[code[s]].data(), width, &distance);
    sum += static_cast<float>(distance);
  }
  return 1.0f - std::fmin(0.25f * std::sqrt(sum), 1.0f);
}

Result<void> VectorStorage::reserve(uint64_t slots) {
  std::unique_lock quantizer_lock(quantizer_mutex_);
  try {
    if (quantizer_) {
      std::unique_lock lock(codes_mutex_);
      reserve_slots(codes_, slots);
      return Ok{};
    }
    const uint64_t vector_slots = vector_slot_count();
    if (vector_slots >= quantization_threshold_) {  // the next store switches on
      std::unique_lock lock(codes_mutex_);
      reserve_slots(codes_, std::max(slots, vector_slots));
      return Ok{};
    }
    std::unique_lock lock(vectors_mutex_);
    reserve_slots(vectors_, slots);
    return Ok{};
  } catch (const std::bad_alloc&) {
    return Error::oom();
  } catch (const std::length_error&) {
    return Error::oom();
  }
}

Result<void> VectorStorage::store(uint32_t id, std::span<const float> v, const Announce& announce) {
  std::unique_lock quantizer_lock(quantizer_mutex_);
  try {
    if (!quantizer_) {
      if (vector_slot_count() < quantization_threshold_) {
        store_vector(id, std::vector<float>(v.begin(), v.end()));
        return Ok{};
      }
      const std::string line =
          "Activating quantization at " + std::to_string(quantization_threshold_) + " vectors...\n";
      if (announce && !announce(line)) {
        return Error::internal("could not write the quantization activation line to standard output");
      }
      switch_on_locked();
    }
    store_code(id, quantizer_->encode(v));
    return Ok{};
  } catch (const std::bad_alloc&) {
    return Error::oom();
  } catch (const std::length_error&) {
    return Error::oom();
  }
}

void VectorStorage::switch_on_locked() {
  auto pq = std::make_shared<ProductQuantizer>(dimension_);
  {
    std::shared_lock lock(vectors_mutex_);
    std::vector<std::span<const float>> training;
    for (const auto& slot : vectors_) {
      if (slot) training.emplace_back(*slot);
    }
    pq->train(training);
  }
  {
    std::unique_lock codes_lock(codes_mutex_);
    std::shared_lock vectors_lock(vectors_mutex_);
    // Encode everything first; codes_ is touched only once nothing can fail.
    SlotList<uint8_t> encoded(vectors_.size());
    for (size_t i = 0; i < vectors_.size(); ++i) {
      if (vectors_[i]) encoded[i] = pq->encode(*vectors_[i]);
    }
    grow_to(codes_, encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
      if (encoded[i]) codes_[i] = std::move(encoded[i]);
    }
    codes_lock.unlock();
  }
  {
    std::unique_lock lock(vectors_mutex_);
    SlotList<float>().swap(vectors_);  // frees every vector and the slot list itself
  }
  quantizer_ = std::move(pq);
}

void VectorStorage::store_vector(uint32_t id, std::vector<float> v) {
  std::unique_lock lock(vectors_mutex_);
  grow_to(vectors_, uint64_t{id} + 1);
  vectors_[id] = std::move(v);
}

void VectorStorage::store_code(uint32_t id, std::vector<uint8_t> code) {
  std::unique_lock lock(codes_mutex_);
  grow_to(codes_, uint64_t{id} + 1);
  codes_[id] = std::move(code);
}

size_t VectorStorage::vector_slot_count() const {
  std::shared_lock lock(vectors_mutex_);
  return vectors_.size();
}

size_t VectorStorage::code_slot_count() const {
  std::shared_lock lock(codes_mutex_);
  return codes_.size();
}

bool VectorStorage::quantized() const {
  std::shared_lock lock(quantizer_mutex_);
  return quantizer_ != nullptr;
}

std::optional<std::vector<float>> VectorStorage::vector_at(uint32_t id) const {
  std::shared_lock lock(vectors_mutex_);
  if (id >= vectors_.size()) return std::nullopt;
  return vectors_[id];
}

std::optional<std::vector<uint8_t>> VectorStorage::code_at(uint32_t id) const {
  std::shared_lock lock(codes_mutex_);
  if (id >= codes_.size()) return std::nullopt;
  return codes_[id];
}

std::shared_ptr<const ProductQuantizer> VectorStorage::quantizer() const {
  std::shared_lock lock(quantizer_mutex_);
  return quantizer_;
}

}  // namespace tovik
