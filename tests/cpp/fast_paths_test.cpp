// The fast paths against the plain rules they replace: batch distance kernels,
// interleaved LSH signatures, batch scoring (raw and through the distance table) and
// the flat slot layout. Every comparison is bit for bit, on random inputs that include
// zeros, NaN, infinities and subnormals, over many lengths.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "distance.hpp"
#include "lsh.hpp"
#include "one_step.hpp"
#include "quantize.hpp"
#include "storage.hpp"
#include "test_floats.hpp"

namespace tovik {
namespace {

using Vec = std::vector<float>;

// Identical bits, except that any NaN equals any NaN: which NaN (sign, payload) comes out
// of an operation on NaNs depends on operand order, and compilers may commute the
// operands of + and * (clang does, in the scalar reference); a NaN score ranks the same
// whatever its bits.
bool same_bits(double x, double y) {
  return (std::isnan(x) && std::isnan(y)) || std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
}
bool same_bits(float x, float y) {
  return (std::isnan(x) && std::isnan(y)) || std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y);
}

TEST(FastPathTest, BatchKernelsMatchTheScalarRules) {
  FloatSource rng(7);
  for (int round = 0; round < 3000; ++round) {
    const size_t n = round < 100 ? round % 20 : rng.next() % (round % 10 == 0 ? 800 : 40);
    const Vec a = rng.vector(n);
    Vec b[4];
    for (size_t j = 0; j < 4; ++j) {
      b[j] = rng.vector(n);
      if (static_cast<size_t>(round % 5) == j) b[j] = a;  // identical pair
      if (round % 7 == 0 && j == 3) b[j] = Vec(n, 0.0f);  // zero vector
    }
    if (round % 11 == 0) b[2] = b[1];  // a repeated candidate, as a padded group has
    const float* rows[4] = {b[0].data(), b[1].data(), b[2].data(), b[3].data()};
    const float* rows8[8] = {rows[0], rows[1], rows[2], rows[3], rows[3], rows[2], rows[1], rows[0]};
    double cos[4], cos8[8];
    const float a2 = sum_squares_f32(a.data(), n);
    cos4_f32(a.data(), a2, rows, n, cos);
    cos8_f32(a.data(), a2, rows8, n, cos8);
    for (size_t j = 0; j < 4; ++j) {
      double expected_cos = 0.0;
      cos_f32_scalar(a.data(), rows[j], n, &expected_cos);
      ASSERT_TRUE(same_bits(cos[j], expected_cos)) << "cos round " << round << " lane " << j << " n " << n;
      ASSERT_TRUE(same_bits(cos8[j], expected_cos)) << "cos8 round " << round << " lane " << j << " n " << n;
      ASSERT_TRUE(same_bits(cos8[7 - j], expected_cos)) << "cos8 round " << round << " lane " << 7 - j;
    }
  }
}

TEST(FastPathTest, InterleavedSignatureMatchesOneDotProductAfterAnother) {
  FloatSource rng(11);
  for (uint32_t dim : {0u, 1u, 3u, 12u, 37u, 384u}) {
    const LSH lsh(dim);
    for (int round = 0; round < 300; ++round) {
      const size_t n = rng.next() % (dim + 6);  // shorter, equal and longer vectors
      // Mostly ordinary values, so that both outcomes of every bit occur.
      Vec v = rng.vector(n, round % 4 == 0);
      if (round % 9 == 0) {
        for (float& x : v) x = -x;
      }
      ASSERT_EQ(lsh.signature(v, 0), lsh.TEST_plain_signature(v, 0)) << "dim " << dim << " round " << round;
    }
  }
}

// One query scratch reused across queries of two indexes, limits large and small (the
// seen set grows mid-query) and buckets holding an id twice: every answer is the one a
// fresh scratch gives, with no id twice.
TEST(FastPathTest, ReusedQueryScratchGathersWhatAFreshOneDoes) {
  FloatSource rng(8);
  LSH small(3), large(5);
  for (uint32_t id = 0; id < 3000; ++id) {
    test::lsh_insert(large, id, rng.vector(5, false));
    if (id % 3 == 0) test::lsh_insert(small, id, rng.vector(3, false));
    // Filed twice, maybe in another bucket.
    if (id % 7 == 0) test::lsh_insert(large, id, rng.vector(5, false));
  }
  LSH::QueryScratch scratch;
  std::vector<uint32_t> got;
  for (int round = 0; round < 60; ++round) {
    const LSH& lsh = round % 3 == 0 ? small : large;
    const size_t limit = std::vector<size_t>{0, 1, 7, 100, 1000, 5000}[round % 6];
    const Vec q = rng.vector(lsh.dimension(), false);
    lsh.query(q, limit, scratch, got);
    ASSERT_EQ(got, test::lsh_query(lsh, q, limit)) << "round " << round;
    ASSERT_EQ(std::set<uint32_t>(got.begin(), got.end()).size(), got.size()) << "round " << round;
  }
}

// The table sums against the plain rule, over widths around the eight-byte steps, with
// NaN, infinities and subnormals in the table and codes that repeat.
TEST(FastPathTest, TableSumsMatchThePlainRule) {
  FloatSource rng(17);
  const Vec table = rng.vector(70 * TABLE_ROW);
  for (size_t width : {0u, 1u, 7u, 8u, 9u, 16u, 31u, 32u, 33u, 64u, 70u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<std::vector<uint8_t>> codes(8, std::vector<uint8_t>(width + 1));
      for (auto& code : codes) {
        for (auto& c : code) c = static_cast<uint8_t>(rng.next());
      }
      if (round % 2 == 0) codes[5] = codes[2];
      const uint8_t* rows[8];
      for (size_t j = 0; j < 8; ++j) rows[j] = codes[j].data();
      for (auto sums8 : {table_sums8_f32, table_sums8_f32_bytes}) {
        float sums[8];
        sums8(table.data(), rows, width, sums);
        for (size_t j = 0; j < 8; ++j) {
          float expected = 0.0f;
          for (size_t s = 0; s < width; ++s) expected += table[s * TABLE_ROW + codes[j][s]];
          ASSERT_TRUE(same_bits(sums[j], expected))
              << "width " << width << " round " << round << " code " << j;
        }
      }
    }
  }
}

// What compute_similarity answers for each id, in order: the batch must equal it.
std::vector<ScoredPair> one_by_one(const VectorStorage& storage, const Vec& q,
                                   const std::vector<uint32_t>& ids) {
  std::vector<ScoredPair> out;
  for (uint32_t id : ids) {
    if (const auto s = storage.compute_similarity(q, id)) out.push_back({id, *s});
  }
  return out;
}

void expect_batch_equals_one_by_one(const VectorStorage& storage, const Vec& q,
                                    const std::vector<uint32_t>& ids, const std::string& what) {
  const std::vector<ScoredPair> expected = one_by_one(storage, q, ids);
  // Small and large batches: the quantized table is built only for the latter.
  for (size_t candidates : {size_t{1}, DISTANCE_TABLE_MIN_CANDIDATES}) {
    std::vector<ScoredPair> got;
    storage.score_many(storage.prepare(q, candidates), ids, got);
    ASSERT_EQ(got.size(), expected.size()) << what << " candidates " << candidates;
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].id, expected[i].id) << what << " at " << i;
      ASSERT_TRUE(same_bits(got[i].score, expected[i].score))
          << what << " id " << got[i].id << ": " << got[i].score << " vs " << expected[i].score;
    }
  }
}

// Ids in a scrambled order with repeats, gaps and ids past the last slot.
std::vector<uint32_t> candidate_ids(FloatSource& rng, uint32_t bound) {
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 3 * bound; ++i) ids.push_back(rng.next() % (bound + 5));
  ids.push_back(UINT32_MAX);
  return ids;
}

TEST(FastPathTest, RawBatchScoresEqualComputeSimilarity) {
  FloatSource rng(21);
  for (size_t dim : {0u, 1u, 5u, 64u, 131u}) {
    VectorStorage storage(768, 1000);
    const uint32_t slots = 60;
    for (uint32_t id = 0; id < slots; ++id) {
      switch (rng.next() % 8) {
        case 0:
          break;  // a gap
        case 1:
          storage.store_vector(id, Vec{});
          break;  // an empty vector
        case 2:
          storage.store_vector(id, rng.vector(dim + 3));
          break;  // longer: prefix path
        case 3:
          storage.store_vector(id, Vec(dim, 0.0f));
          break;
        default:
          storage.store_vector(id, rng.vector(dim, id % 3 == 0));
          break;
      }
    }
    const auto ids = candidate_ids(rng, slots);
    for (int round = 0; round < 12; ++round) {
      const size_t n = round < 3 ? dim : rng.next() % (dim + 5);
      Vec q = round == 1 ? Vec(n, 0.0f) : rng.vector(n, round % 2 == 0);
      expect_batch_equals_one_by_one(storage, q, ids,
                                     "dim " + std::to_string(dim) + " round " + std::to_string(round));
    }
  }
}

// Switches a storage on with `trained` vectors of `length` components, then fills
// `slots` slots with codes that differ from `base` in a few bytes (so that queries
// near the base's centroids get scores inside (0, 1), where any change in the sum
// shows), some codes shorter than the quantizer's, and gaps.
std::unique_ptr<VectorStorage> quantized_storage(FloatSource& rng, size_t length, uint32_t trained,
                                                 uint32_t slots, std::vector<uint8_t>& base) {
  auto owned = std::make_unique<VectorStorage>(768, trained);
  VectorStorage& storage = *owned;
  for (uint32_t id = 0; id <= trained; ++id) {
    const Result<void> r = storage.store(id, rng.vector(length, false), nullptr);
    EXPECT_TRUE(r.ok());
  }
  const uint32_t m = storage.TEST_quantizer()->num_subspaces();
  base.resize(m);
  for (auto& c : base) c = static_cast<uint8_t>(rng.next() % trained);
  for (uint32_t id = trained + 1; id < slots; ++id) {
    const uint32_t kind = rng.next() % 10;
    if (kind == 0) continue;
    std::vector<uint8_t> code(base.begin(), base.begin() + (kind == 1 ? rng.next() % m : m));
    for (uint32_t changed = rng.next() % 4; changed > 0 && !code.empty(); --changed) {
      code[rng.next() % code.size()] = static_cast<uint8_t>(rng.next());
    }
    storage.store_code(id, code);
  }
  return owned;
}

// n components near the centroids `code` names (zero where a centroid is missing).
Vec query_near(FloatSource& rng, const ProductQuantizer& pq, const std::vector<uint8_t>& code, size_t n) {
  Vec q(n, 0.0f);
  for (size_t i = 0; i < n; ++i) {
    const size_t s = i / 12;
    if (s >= code.size()) break;
    const Vec& centroid = pq.codebooks()[s][code[s]];
    const float noise = static_cast<float>(static_cast<int32_t>(rng.next() % 2001) - 1000) / 20000.0f;
    if (i % 12 < centroid.size()) q[i] = centroid[i % 12] + noise;
  }
  return q;
}

TEST(FastPathTest, QuantizedBatchScoresEqualComputeSimilarity) {
  FloatSource rng(33);
  // 768 covers every subspace; 100 leaves the last trained subspace's centroids 4 wide,
  // so longer queries reach past them and get no score there.
  for (size_t length : {768u, 100u, 30u}) {
    std::vector<uint8_t> base;
    const auto owned = quantized_storage(rng, length, 40, 200, base);
    const VectorStorage& storage = *owned;
    const auto ids = candidate_ids(rng, 200);
    for (int round = 0; round < 10; ++round) {
      const size_t n = round == 0 ? length : round == 1 ? 0 : rng.next() % 780;
      Vec q = query_near(rng, *storage.TEST_quantizer(), base, n);
      if (round % 3 == 0 && n > 0) q[rng.next() % n] = rng.value();  // maybe a special value
      expect_batch_equals_one_by_one(storage, q, ids,
                                     "length " + std::to_string(length) + " query " + std::to_string(n));
    }
  }
}

TEST(FastPathTest, TableEntriesAreThePlainNarrowedDistances) {
  FloatSource rng(5);
  const ProductQuantizer pq(40);  // 4 subspaces; the initial centroids are 12 wide
  for (size_t n : {0u, 7u, 12u, 40u, 48u, 60u}) {
    const Vec q = rng.vector(n);
    const DistanceTable table = pq.distance_table(q);
    ASSERT_EQ(table.subspaces, std::min<size_t>(4, (n + 11) / 12)) << n;
    for (size_t s = 0; s < table.subspaces; ++s) {
      const size_t width = std::min<size_t>(12, n - 12 * s);
      for (size_t c = 0; c < CENTROIDS_PER_SUBSPACE; ++c) {
        double d = 0.0;
        l2sq_f32_scalar(q.data() + 12 * s, pq.codebooks()[s][c].data(), width, &d);
        ASSERT_TRUE(table.comparable[s * 256 + c]);
        ASSERT_TRUE(same_bits(table.distance[s * 256 + c], static_cast<float>(d)))
            << n << " " << s << " " << c;
      }
    }
  }
}

TEST(FastPathTest, CentroidLanesMatchTheScalarRule) {
  FloatSource rng(11);
  using LanesFn = void (*)(const float*, const float*, uint64_t, uint64_t, uint64_t, float*);
  for (LanesFn lanes : {l2sq_lanes_f32, l2sq_lanes_f32_portable}) {
    for (int round = 0; round < 2000; ++round) {
      const size_t n = round % 13, count = 1 + rng.next() % 5, stride = n * LANES + rng.next() % 3;
      const Vec a = rng.vector(n);
      Vec blocks = rng.vector(stride * count);
      if (round % 4 == 0 && n > 0) blocks[rng.next() % n * LANES] = a[0];  // ties and exact matches
      Vec out(count * LANES);
      lanes(a.data(), blocks.data(), n, stride, count, out.data());
      for (size_t c = 0; c < count * LANES; ++c) {
        Vec centroid(n);
        for (size_t k = 0; k < n; ++k) centroid[k] = blocks[c / LANES * stride + k * LANES + c % LANES];
        double expected = 0.0;
        l2sq_f32_scalar(a.data(), centroid.data(), n, &expected);
        ASSERT_TRUE(same_bits(out[c], static_cast<float>(expected)))
            << "round " << round << " centroid " << c;
      }
    }
  }
}

// Components of 1e-20 and below give subnormal squares and sums: a unit that flushed them to zero
// (or fused the multiply and the add) would change these sums. Each case must produce
// subnormal sums, so it cannot pass without reaching them; no NaN here, so the bits
// must match exactly.
TEST(FastPathTest, CentroidLanesKeepSubnormalSums) {
  FloatSource rng(29);
  using LanesFn = void (*)(const float*, const float*, uint64_t, uint64_t, uint64_t, float*);
  for (LanesFn lanes : {l2sq_lanes_f32, l2sq_lanes_f32_portable}) {
    for (const float scale : {1.0e-23f, 1.0e-24f, 1.0e-25f}) {
      for (const size_t n : {12u, 7u}) {
        const size_t count = 5, stride = n * LANES;  // back to back, as the quantizer keeps them
        auto tiny = [&](size_t size) {               // integers from -1000 to 1000 times the scale
          Vec v(size);
          for (float& x : v) x = static_cast<float>(static_cast<int32_t>(rng.next() % 2001) - 1000) * scale;
          return v;
        };
        const Vec a = tiny(n), blocks = tiny(stride * count);
        Vec out(count * LANES);
        lanes(a.data(), blocks.data(), n, stride, count, out.data());
        size_t subnormal = 0;
        for (size_t c = 0; c < count * LANES; ++c) {
          float expected = 0.0f;
          for (size_t k = 0; k < n; ++k) {
            const float d = a[k] - blocks[c / LANES * stride + k * LANES + c % LANES];
            expected += d * d;
          }
          ASSERT_EQ(std::bit_cast<uint32_t>(out[c]), std::bit_cast<uint32_t>(expected))
              << "scale " << scale << " n " << n << " centroid " << c;
          subnormal += std::fpclassify(expected) == FP_SUBNORMAL;
        }
        ASSERT_GT(subnormal, 0u) << "scale " << scale << " n " << n;
      }
    }
  }
}

// encode as the plain rule states it: one centroid after another, strict improvement.
std::vector<uint8_t> encode_one_by_one(const ProductQuantizer& pq, const Vec& v) {
  std::vector<uint8_t> code(pq.num_subspaces(), 0);
  for (size_t s = 0; s < pq.num_subspaces() && 12 * s < v.size(); ++s) {
    const size_t width = std::min<size_t>(12, v.size() - 12 * s);
    float best = std::numeric_limits<float>::max();
    for (size_t c = 0; c < 256; ++c) {
      const Vec& centroid = pq.codebooks()[s][c];
      if (centroid.size() < width) continue;
      double d = 0.0;
      l2sq_f32_scalar(v.data() + 12 * s, centroid.data(), width, &d);
      if (static_cast<float>(d) < best) best = static_cast<float>(d), code[s] = static_cast<uint8_t>(c);
    }
  }
  return code;
}

TEST(FastPathTest, EncodeMatchesOneCentroidAfterAnother) {
  FloatSource rng(19);
  // 100 and 30 leave the last trained subspace's centroids short; few samples leave
  // equal zero centroids (ties); specials in training give NaN and infinite distances.
  for (size_t length : {96u, 100u, 30u}) {
    for (size_t samples : {1u, 40u, 300u}) {
      ProductQuantizer pq(static_cast<uint32_t>(length));
      std::vector<Vec> training;
      for (size_t i = 0; i < samples; ++i) training.push_back(rng.vector(length, i % 5 == 0));
      if (samples > 2) training[2] = training[1];  // duplicate centroids
      pq.train(std::vector<std::span<const float>>(training.begin(), training.end()));
      for (int round = 0; round < 60; ++round) {
        const size_t n = round % 3 == 0 ? length : rng.next() % (length + 20);
        Vec v = round % 4 == 1 && samples > 1 ? training[1] : rng.vector(n, round % 2 == 0);
        ASSERT_EQ(pq.encode(v), encode_one_by_one(pq, v)) << length << " " << samples << " " << round;
        // The plain score of a random code against the centroids, read from the codebooks.
        std::vector<uint8_t> code(pq.num_subspaces());
        for (uint8_t& b : code) b = static_cast<uint8_t>(rng.next());
        std::optional<float> expected = 0.0f;
        for (size_t s = 0; s < code.size() && 12 * s < v.size() && expected; ++s) {
          const size_t width = std::min<size_t>(12, v.size() - 12 * s);
          const Vec& centroid = pq.codebooks()[s][code[s]];
          double d = 0.0;
          if (centroid.size() >= width) l2sq_f32_scalar(v.data() + 12 * s, centroid.data(), width, &d);
          expected =
              centroid.size() >= width ? std::optional(*expected + static_cast<float>(d)) : std::nullopt;
        }
        if (expected) {
          const float distance = 0.25f * std::sqrt(*expected);
          expected = 1.0f - (distance < 1.0f ? distance : 1.0f);  // a NaN distance counts as 1
        }
        const auto got = pq.score(v, code.data(), code.size());
        ASSERT_EQ(got.has_value(), expected.has_value()) << round;
        ASSERT_TRUE(!got || same_bits(*got, *expected)) << round;
        const DistanceTable table = pq.distance_table(v);
        for (size_t e = 0; e < table.distance.size(); ++e) {
          const size_t s = e / 256, width = std::min<size_t>(12, v.size() - 12 * s);
          const Vec& centroid = pq.codebooks()[s][e % 256];
          ASSERT_EQ(table.comparable[e] != 0, centroid.size() >= width) << e;
          double d = 0.0;
          if (table.comparable[e]) l2sq_f32_scalar(v.data() + 12 * s, centroid.data(), width, &d);
          ASSERT_TRUE(!table.comparable[e] || same_bits(table.distance[e], static_cast<float>(d))) << e;
        }
      }
    }
  }
}

// Inputs chosen to land on the edges of the choice: every distance NaN (of either
// sign) or infinite, the first centroid's NaN or infinite while later ones are finite,
// ties between equal centroids, and distances that underflow to zero or are subnormal.
TEST(FastPathTest, EncodeEdgeCasesMatchOneCentroidAfterAnother) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const float tiny = std::numeric_limits<float>::denorm_min(), sub = 1.0e-39f;
  struct Case {
    const char* name;
    Vec first_sample;  // sample 0 of the training set (centroid 0 of every subspace)
    Vec v;
  };
  const Case cases[] = {
      {"all NaN", Vec(24, 1.0f), Vec(24, nan)},
      {"all negative NaN", Vec(24, 1.0f), Vec(24, -nan)},
      {"all infinite", Vec(24, 1.0f), Vec(24, 1.0e30f)},
      {"first NaN", Vec(24, nan), Vec(24, 0.5f)},
      {"first infinite", Vec(24, inf), Vec(24, 0.5f)},
      {"first negative NaN", Vec(24, -nan), Vec(24, -0.25f)},
      {"subnormal input", Vec(24, 1.0f), Vec(24, sub)},
      {"denorm_min input", Vec(24, 0.0f), Vec(24, tiny)},
      {"signed zeros", Vec(24, -0.0f), Vec(24, 0.0f)},
  };
  FloatSource rng(23);
  for (const Case& c : cases) {
    for (size_t samples : {1u, 3u, 200u}) {  // 1: 255 equal zero centroids; 3: a repeated sample
      std::vector<Vec> training{c.first_sample};
      while (training.size() < samples)
        training.push_back(training.size() == 2 ? training[1] : rng.vector(24));
      ProductQuantizer pq(24);
      pq.train(std::vector<std::span<const float>>(training.begin(), training.end()));
      ASSERT_EQ(pq.encode(c.v), encode_one_by_one(pq, c.v)) << c.name << " " << samples;
      Vec mixed = c.v;  // one special component among ordinary ones
      mixed[rng.next() % mixed.size()] = rng.value();
      ASSERT_EQ(pq.encode(mixed), encode_one_by_one(pq, mixed)) << c.name << " mixed " << samples;
    }
  }
}

// Centroids that differ from the vector only by components of about 1e-21, whose squares
// are subnormal: the nearest one is told apart by subnormal distances alone (flushed to
// zero they would all tie and centroid 0 would win).
TEST(FastPathTest, EncodeChoosesBySubnormalDistances) {
  std::vector<Vec> training;
  for (int i = 0; i < 9; ++i) {
    Vec sample(24, static_cast<float>(i + 1) * 1.0e-21f);
    sample[0] = sample[12] = 1.0f;
    training.push_back(sample);
  }
  ProductQuantizer pq(24);
  pq.train(std::vector<std::span<const float>>(training.begin(), training.end()));
  for (const float near : {5.3e-21f, 2.2e-21f, 8.9e-21f}) {
    Vec v(24, near);
    v[0] = v[12] = 1.0f;
    const std::vector<uint8_t> code = pq.encode(v);
    ASSERT_EQ(code, encode_one_by_one(pq, v)) << near;
    const uint8_t nearest = static_cast<uint8_t>(std::lround(near / 1.0e-21f) - 1);
    ASSERT_EQ(code, std::vector<uint8_t>(2, nearest)) << near;
  }
}

// The flat layout against a plain model of slots: what is stored is what comes back.
TEST(FastPathTest, FlatSlotsKeepWhatWasStored) {
  FloatSource rng(3);
  VectorStorage storage(768, 1000);
  std::map<uint32_t, Vec> model;
  uint32_t slot_count = 0;
  for (int step = 0; step < 400; ++step) {
    const uint32_t id = rng.next() % 50;
    const uint32_t kind = rng.next() % 10;
    // Mostly the usual width; some empty and some of other widths, overwriting each other.
    const Vec v = kind == 0 ? Vec{} : rng.vector(kind == 1 ? 1 + rng.next() % 9 : 16, false);
    storage.store_vector(id, v);
    model[id] = v;
    slot_count = std::max(slot_count, id + 1);
  }
  ASSERT_EQ(storage.vector_slot_count(), slot_count);
  for (uint32_t id = 0; id < slot_count + 2; ++id) {
    const auto got = storage.TEST_vector_at(id);
    const auto it = model.find(id);
    ASSERT_EQ(got.has_value(), it != model.end()) << id;
    if (got) {
      ASSERT_EQ(got->size(), it->second.size()) << id;
      for (size_t i = 0; i < got->size(); ++i) ASSERT_TRUE(same_bits((*got)[i], it->second[i])) << id;
    }
  }
}

}  // namespace
}  // namespace tovik
