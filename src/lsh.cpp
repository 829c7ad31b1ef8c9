// LSH: drawing the hyperplanes, signatures (interleaved and plain), filing ids in
// buckets, and gathering a query's candidates.
#include "lsh.hpp"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "growth.hpp"

namespace tovik {

namespace {

// float32 dot product of v[0, n) with hyperplane h of an interleaved table, from -0.0
// in index order, each product rounded before it is added.
float dot_f32(const float* v, const float* planes, uint32_t h, size_t n) {
  float dot = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float product = v[i] * planes[i * NUM_HYPERPLANES + h];
    dot += product;
  }
  return dot;
}

// The 32 hyperplanes of a table drawn from LSH_SEED, each normalised right after it is
// drawn, stored component-major: out[i * 32 + h] is component i of hyperplane h. One
// hyperplane at a time is drawn in a scratch row, so the table is never held twice.
std::vector<float> draw_interleaved(uint32_t dimension) {
  std::vector<float> out(size_t{dimension} * NUM_HYPERPLANES);
  std::vector<float> plane(dimension);
  Lcg generator(LSH_SEED);
  for (uint32_t h = 0; h < NUM_HYPERPLANES; ++h) {
    for (float& component : plane) component = generator.next();
    normalize_f32(plane);
    for (uint32_t i = 0; i < dimension; ++i) out[size_t{i} * NUM_HYPERPLANES + h] = plane[i];
  }
  return out;
}

// Bit h set when dot_f32(v[0, n), hyperplane h) > 0, the 32 sums running side by side:
// sum h takes v[i] * plane_h[i] for i = 0, 1, ... in order, from -0.0, exactly as
// dot_f32 does (one SSE2 lane per hyperplane on x86-64).
uint64_t interleaved_signature(const float* v, const float* planes, size_t n) {
#if defined(__SSE2__)
  constexpr int GROUPS = NUM_HYPERPLANES / 4;
  __m128 dot[GROUPS];
  for (auto& d : dot) d = _mm_set1_ps(-0.0f);
  for (size_t i = 0; i < n; ++i) {
    const __m128 x = _mm_set1_ps(v[i]);
    const float* row = planes + i * NUM_HYPERPLANES;
    for (int g = 0; g < GROUPS; ++g) dot[g] = _mm_add_ps(dot[g], _mm_mul_ps(x, _mm_loadu_ps(row + 4 * g)));
  }
  uint64_t key = 0;
  for (int g = 0; g < GROUPS; ++g) {
    const int bits = _mm_movemask_ps(_mm_cmpgt_ps(dot[g], _mm_setzero_ps()));
    key |= static_cast<uint64_t>(bits) << (4 * g);
  }
  return key;
#else
  // BLOCK hyperplanes per pass over v. The unrolled inner loop lets the compiler keep
  // the sums in registers (a loop over an array of sums kept them in memory: a load and
  // a store per product); BLOCK sums, x and a product fit the 32 single-precision
  // registers of a VFP unit without spilling.
  constexpr uint32_t BLOCK = 16;
  uint64_t key = 0;
  for (uint32_t first = 0; first < NUM_HYPERPLANES; first += BLOCK) {
    float dot[BLOCK];
    for (float& d : dot) d = -0.0f;
    for (size_t i = 0; i < n; ++i) {
      const float x = v[i];
      const float* row = planes + i * NUM_HYPERPLANES + first;
#pragma GCC unroll 16
      for (uint32_t h = 0; h < BLOCK; ++h) {
        const float product = x * row[h];
        dot[h] += product;
      }
    }
    for (uint32_t h = 0; h < BLOCK; ++h) {
      if (dot[h] > 0.0f) key |= uint64_t{1} << (first + h);
    }
  }
  return key;
#endif
}

// Gathers distinct ids in first-found order into `ids` and reports when `limit` is
// reached. The ids seen so far sit in the scratch's open-addressing table: a slot is in
// use when its stamp is this query's, so starting a query clears nothing.
class Gatherer {
 public:
  using Slot = LSH::QueryScratch::Slot;

  Gatherer(size_t limit, std::vector<Slot>& slots, uint32_t stamp, std::vector<uint32_t>& ids)
      : limit_(limit), slots_(slots), stamp_(stamp), ids_(ids) {
    ids_.clear();
  }

  bool full() const { return ids_.size() >= limit_; }
  size_t size() const { return ids_.size(); }

  // Adds the bucket's new ids in bucket order; false once the limit is reached. The
  // count and the table's place stay in locals, reloaded only when the table grows.
  bool take(const std::vector<uint32_t>& bucket) {
    size_t count = ids_.size();
    size_t table = slots_.size();
    Slot* slots = slots_.data();
    for (const uint32_t id : bucket) {
      if (count >= limit_) return false;
      if (2 * (count + 1) > table) {
        grow();
        table = slots_.size();
        slots = slots_.data();
      }
      if (file(slots, table - 1, id)) {
        ids_.push_back(id);
        ++count;
      }
    }
    return count < limit_;
  }

 private:
  static size_t hash(uint32_t id) {
    uint32_t h = id * 0x9E3779B1u;
    return h ^ (h >> 16);
  }

  // Adds id to the seen set (the table at `slots`, mask + 1 slots); false when it was
  // there already.
  bool file(Slot* slots, size_t mask, uint32_t id) const {
    const uint32_t stamp = stamp_;
    for (size_t i = hash(id) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots[i];
      if (slot.stamp != stamp) {
        slot = {stamp, id};
        return true;
      }
      if (slot.id == id) return false;
    }
  }

  // Doubles the table and files the ids gathered so far (every seen id is in ids_).
  void grow() {
    slots_.assign(std::max<size_t>(64, slots_.size() * 2), Slot{0, 0});
    const size_t mask = slots_.size() - 1;
    for (uint32_t id : ids_) {
      size_t i = hash(id) & mask;
      while (slots_[i].stamp == stamp_) i = (i + 1) & mask;
      slots_[i] = {stamp_, id};
    }
  }

  size_t limit_;
  std::vector<Slot>& slots_;
  uint32_t stamp_;  // never 0, the stamp of a fresh slot
  std::vector<uint32_t>& ids_;
};

}  // namespace

LSH::LSH(uint32_t dimension) : dimension_(dimension) {
  interleaved_.push_back(draw_interleaved(dimension));
  tables_.resize(num_tables_);
}

std::vector<std::vector<float>> LSH::TEST_hyperplanes(uint32_t table) const {
  std::vector<std::vector<float>> planes(NUM_HYPERPLANES, std::vector<float>(dimension_));
  for (uint32_t h = 0; h < NUM_HYPERPLANES; ++h) {
    for (uint32_t i = 0; i < dimension_; ++i)
      planes[h][i] = interleaved_[table][size_t{i} * NUM_HYPERPLANES + h];
  }
  return planes;
}

uint64_t LSH::signature(std::span<const float> v, uint32_t table) const {
  const size_t n = std::min<size_t>(v.size(), dimension_);
  return interleaved_signature(v.data(), interleaved_[table].data(), n);
}

uint64_t LSH::TEST_plain_signature(std::span<const float> v, uint32_t table) const {
  const size_t n = std::min<size_t>(v.size(), dimension_);
  uint64_t key = 0;
  for (uint32_t h = 0; h < NUM_HYPERPLANES; ++h) {
    if (dot_f32(v.data(), interleaved_[table].data(), h, n) > 0.0f) key |= uint64_t{1} << h;
  }
  return key;
}

const std::vector<uint32_t>* LSH::Table::find(uint64_t key) const {
  auto it = slot.find(key);
  return it == slot.end() ? nullptr : &buckets[it->second];
}

LSH::PreparedInsert LSH::prepare_insert(uint32_t id, std::span<const float> v) {
  PreparedInsert prepared;
  prepared.id_ = id;
  prepared.parts_.reserve(num_tables_);
  for (uint32_t t = 0; t < num_tables_; ++t) {
    Table& table = tables_[t];
    const uint64_t key = signature(v, t);
    PreparedInsert::Part part{};
    if (const auto it = table.slot.find(key); it != table.slot.end()) {
      part.bucket = it->second;
      make_room_for_one(table.buckets[it->second]);
    } else {
      // A new bucket: room in the key and bucket lists, a slot map that will not
      // rehash, and the map node itself, made in a scratch map and carried over.
      make_room_for_one(table.keys);
      make_room_for_one(table.buckets);
      table.slot.reserve(table.slot.size() + 1);
      part.bucket = static_cast<uint32_t>(table.buckets.size());
      std::unordered_map<uint64_t, uint32_t> scratch;
      scratch.emplace(key, part.bucket);
      part.node = scratch.extract(key);
      part.fresh.push_back(id);
    }
    prepared.parts_.push_back(std::move(part));
  }
  return prepared;
}

void LSH::commit_insert(PreparedInsert&& prepared) noexcept {
  for (uint32_t t = 0; t < num_tables_; ++t) {
    Table& table = tables_[t];
    PreparedInsert::Part& part = prepared.parts_[t];
    if (part.node.empty()) {
      // Capacity reserved by prepare_insert: this push_back does not allocate.
      table.buckets[part.bucket].push_back(prepared.id_);
      continue;
    }
    table.keys.push_back(part.node.key());
    table.slot.insert(std::move(part.node));
    table.buckets.push_back(std::move(part.fresh));
  }
}

void LSH::query(std::span<const float> q, size_t limit, QueryScratch& scratch,
                std::vector<uint32_t>& out) const {
  if (++scratch.stamp_ == 0) {  // stamps wrapped: forget every old one
    std::fill(scratch.slots_.begin(), scratch.slots_.end(), QueryScratch::Slot{0, 0});
    scratch.stamp_ = 1;
  }
  Gatherer found(limit, scratch.slots_, scratch.stamp_, out);
  if (found.full()) return;
  for (uint32_t t = 0; t < num_tables_; ++t) {
    // The query's bucket, then those one low bit away. All are looked up before any is
    // taken, so that the look-ups' cache misses overlap.
    const uint64_t key = signature(q, t);
    const std::vector<uint32_t>* probed[1 + PROBE_BITS];
    probed[0] = tables_[t].find(key);
    for (uint32_t b = 0; b < PROBE_BITS; ++b) probed[1 + b] = tables_[t].find(key ^ (uint64_t{1} << b));
    for (const auto* bucket : probed) {
      if (bucket != nullptr && !found.take(*bucket)) return;
    }
  }
  if (found.size() < limit / 2) {
    for (uint32_t t = 0; t < num_tables_; ++t) {
      const auto& buckets = tables_[t].buckets;
      const size_t visited = std::min<size_t>(FALLBACK_BUCKETS, buckets.size());
      for (size_t i = 0; i < visited; ++i) {
        if (!found.take(buckets[i])) return;
      }
    }
  }
}

void LSH::remove_many(const Bitmap& ids) {
  if (ids.empty()) return;
  for (auto& table : tables_) {
    for (auto& bucket : table.buckets) {
      std::erase_if(bucket, [&](uint32_t id) { return ids.contains(id); });
    }
  }
}

size_t LSH::TEST_filed_count() const {
  size_t total = 0;
  for (const auto& table : tables_) {
    for (const auto& bucket : table.buckets) total += bucket.size();
  }
  return total;
}

size_t LSH::TEST_bucket_count() const {
  size_t total = 0;
  for (const auto& table : tables_) total += table.buckets.size();
  return total;
}

}  // namespace tovik
