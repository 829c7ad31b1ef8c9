#include "storage.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "distance.hpp"
#include "seeded_random.hpp"

namespace tovik {
namespace {

using Vec = std::vector<float>;
constexpr float QUIET_NAN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

// Records every announcement; answers with `ok`.
struct Announcer {
  std::vector<std::string> lines;
  bool ok = true;
  VectorStorage::Announce callback() {
    return [this](const std::string& line) {
      lines.push_back(line);
      return ok;
    };
  }
};

void must_store(VectorStorage& storage, uint32_t id, const Vec& v, Announcer& announcer) {
  const Result<void> r = storage.store(id, v, announcer.callback());
  ASSERT_TRUE(r.ok()) << r.error().message;
}

// The prefix path written out independently: float32 throughout.
float prefix_reference(const Vec& q, const Vec& v) {
  float vv = 0.0f, dot = 0.0f, qq = 0.0f;
  for (size_t i = 0; i < q.size(); ++i) {
    const float a = v[i] * v[i], b = q[i] * v[i], c = q[i] * q[i];
    vv = vv + a;
    dot = dot + b;
    qq = qq + c;
  }
  if (vv == 0.0f || qq == 0.0f) return 0.0f;
  const float denominator = std::sqrt(vv) * std::sqrt(qq);
  return dot / denominator;
}

struct RawCase {
  const char* name;
  Vec stored, query;
  std::optional<float> expected;
};

class RawScores : public ::testing::TestWithParam<RawCase> {};

TEST_P(RawScores, ScoreTheStoredVector) {
  const RawCase& c = GetParam();
  VectorStorage storage;
  storage.store_vector(3, c.stored);
  const std::optional<float> got = storage.compute_similarity(c.query, 3);
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.name;
  if (got) {
    EXPECT_EQ(*got, *c.expected) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Storage, RawScores,
    ::testing::Values(RawCase{"identical", {1, 5}, {1, 5}, 1.0f}, RawCase{"orthogonal", {1, 0}, {0, 1}, 0.0f},
                      RawCase{"negation", {1, 5}, {-1, -5}, -1.0f},
                      RawCase{"both_zero", {0, 0, 0}, {0, 0, 0}, 1.0f},
                      RawCase{"zero_query", {1, 2, 3}, {0, 0, 0}, 0.0f}, RawCase{"both_empty", {}, {}, 1.0f},
                      RawCase{"prefix_identical", {3, 4, 100}, {3, 4}, 1.0f},
                      RawCase{"prefix_zero_stored_part", {0, 0, 5}, {1, 1}, 0.0f},
                      RawCase{"prefix_opposite", {3, 4, 1}, {-3, -4}, -1.0f},
                      RawCase{"empty_query", {1, 2}, {}, 0.0f},
                      RawCase{"query_longer_than_stored", {1, 2}, {1, 2, 3}, std::nullopt},
                      RawCase{"nan_query", {1, 2}, {QUIET_NAN, 1}, 1.0f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StorageTest, RawScoresMatchThePlainFormulasBitForBit) {
  VectorStorage storage;
  uint32_t state = 99;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<int32_t>(state >> 12) % 20001 - 10000) / 1024.0f;
  };
  Vec stored(768);
  for (uint32_t id = 0; id < 40; ++id) {
    for (float& x : stored) x = next();
    storage.store_vector(id, stored);
    const size_t length = id % 2 == 0 ? 768 : 1 + (id * 37) % 767;
    Vec query(length);
    for (float& x : query) x = next();
    double distance = 0.0;  // the equal-length path goes through the (separately tested) kernel
    if (length == 768) cos_f32_scalar(query.data(), stored.data(), 768, &distance);
    const float expected =
        length == 768 ? static_cast<float>(1.0 - distance) : prefix_reference(query, stored);
    const std::optional<float> got = storage.compute_similarity(query, id);
    ASSERT_TRUE(got.has_value());
    ASSERT_EQ(std::bit_cast<uint32_t>(*got), std::bit_cast<uint32_t>(expected)) << "id " << id;
  }
}

TEST(StorageTest, MissingIdsHaveNoScoreInEitherMode) {
  Announcer announcer;
  VectorStorage storage(24, 3);
  must_store(storage, 0, Vec(24, 1.0f), announcer);
  must_store(storage, 2, Vec(24, 1.0f), announcer);
  const Vec q(24, 1.0f);
  for (int mode = 0; mode < 2; ++mode) {
    EXPECT_TRUE(storage.compute_similarity(q, 0).has_value()) << mode;
    EXPECT_FALSE(storage.compute_similarity(q, 1).has_value()) << mode;  // gap
    EXPECT_FALSE(storage.compute_similarity(q, 5).has_value()) << mode;  // beyond the slots
    EXPECT_FALSE(storage.compute_similarity(q, UINT32_MAX).has_value()) << mode;
    must_store(storage, 4, Vec(24, 1.0f), announcer);  // 3 slots reached: switches on
    ASSERT_TRUE(storage.quantized());
  }
}

Vec two_hot(size_t a, size_t b, float value = 1.0f) {
  Vec v(24, 0.0f);
  v[a] = value;
  v[b] = value;
  return v;
}

TEST(StorageTest, SwitchOnAtTheThresholdEncodesEverythingAndDropsRawVectors) {
  Announcer announcer;
  VectorStorage storage(24, 2);
  must_store(storage, 0, two_hot(0, 12), announcer);
  must_store(storage, 1, two_hot(1, 13), announcer);
  EXPECT_TRUE(announcer.lines.empty());
  EXPECT_FALSE(storage.quantized());
  must_store(storage, 2, two_hot(2, 14), announcer);
  EXPECT_EQ(announcer.lines, std::vector<std::string>{"Activating quantization at 2 vectors...\n"});
  ASSERT_TRUE(storage.quantized());
  EXPECT_EQ(storage.vector_slot_count(), 0u);
  EXPECT_EQ(storage.code_slot_count(), 3u);
  // Centroids per subspace: e0, e1 (the samples), then zeros; id 2 is nearest a zero
  // centroid, the first of which is index 2.
  EXPECT_EQ(storage.TEST_code_at(0), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(storage.TEST_code_at(1), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(storage.TEST_code_at(2), (std::vector<uint8_t>{2, 2}));
  must_store(storage, 7, two_hot(1, 13), announcer);
  EXPECT_EQ(announcer.lines.size(), 1u);
  EXPECT_EQ(storage.TEST_code_at(7), (std::vector<uint8_t>{1, 1}));
  EXPECT_EQ(storage.vector_slot_count(), 0u);
}

struct QuantizedCase {
  const char* name;
  Vec query;
  uint32_t id;
  std::optional<float> expected;
};

class QuantizedScores : public ::testing::TestWithParam<QuantizedCase> {};

TEST_P(QuantizedScores, ScoreFromTheNamedCentroids) {
  Announcer announcer;
  VectorStorage storage(24, 2);
  must_store(storage, 0, two_hot(0, 12), announcer);
  must_store(storage, 1, two_hot(1, 13), announcer);
  must_store(storage, 2, two_hot(2, 14), announcer);
  const QuantizedCase& c = GetParam();
  const std::optional<float> got = storage.compute_similarity(c.query, c.id);
  ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.name;
  if (got) {
    EXPECT_EQ(*got, *c.expected) << c.name;
  }
}

Vec head(Vec v, size_t n) {
  v.resize(n);
  return v;
}

// Squared distance 2 per mismatched subspace: sqrt(4) / 4 = 0.5, sqrt(2) / 4 otherwise.
const float ONE_MISMATCH = 1.0f - 0.25f * std::sqrt(2.0f);

INSTANTIATE_TEST_SUITE_P(
    Storage, QuantizedScores,
    ::testing::Values(QuantizedCase{"on_the_centroids", two_hot(1, 13), 1, 1.0f},
                      QuantizedCase{"both_subspaces_off", two_hot(1, 13), 0, 0.5f},
                      QuantizedCase{"against_zero_centroids", two_hot(1, 13), 2, ONE_MISMATCH},
                      QuantizedCase{"far_away", two_hot(1, 13, 10.0f), 1, 0.0f},
                      QuantizedCase{"empty_query", {}, 0, 1.0f},
                      QuantizedCase{"first_subspace_only", head(two_hot(1, 13), 12), 0, ONE_MISMATCH},
                      QuantizedCase{"longer_query_tail_ignored",
                                    [] {
                                      Vec v = two_hot(1, 13);
                                      v.resize(40, 7.0f);
                                      return v;
                                    }(),
                                    1, 1.0f},
                      QuantizedCase{"nan_query", Vec(24, QUIET_NAN), 1, 0.0f},
                      QuantizedCase{"infinite_query", Vec(24, INF), 1, 0.0f},
                      QuantizedCase{"missing_id", two_hot(1, 13), 5, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StorageTest, QuantizedQueryReachingPastAShortCentroidHasNoScore) {
  // Vectors of 20 components under dimension 24: subspace 1's sampled centroid has 8
  // components, its zero centroids 12.
  Announcer announcer;
  VectorStorage storage(24, 1);
  Vec unit(20, 0.0f);
  unit[0] = 1.0f;
  unit[12] = 1.0f;
  must_store(storage, 0, unit, announcer);
  must_store(storage, 1, Vec(20, 0.0f), announcer);
  ASSERT_EQ(storage.TEST_code_at(0), (std::vector<uint8_t>{0, 0}));
  ASSERT_EQ(storage.TEST_code_at(1), (std::vector<uint8_t>{1, 1}));
  Vec long_query = unit;
  long_query.resize(24, 0.0f);
  EXPECT_EQ(storage.compute_similarity(unit, 0), 1.0f);
  EXPECT_FALSE(storage.compute_similarity(long_query, 0).has_value());
  EXPECT_TRUE(storage.compute_similarity(long_query, 1).has_value());  // zero centroid has 12
}

TEST(StorageTest, FailedAnnouncementStoresNothingAndDoesNotSwitch) {
  Announcer announcer;
  VectorStorage storage(24, 1);
  must_store(storage, 0, Vec(24, 1.0f), announcer);
  announcer.ok = false;
  const Result<void> r = storage.store(1, Vec(24, 2.0f), announcer.callback());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Internal);
  EXPECT_FALSE(storage.quantized());
  EXPECT_EQ(storage.vector_slot_count(), 1u);
  EXPECT_EQ(storage.code_slot_count(), 0u);
  EXPECT_EQ(storage.TEST_vector_at(0), Vec(24, 1.0f));
  announcer.ok = true;
  must_store(storage, 1, Vec(24, 2.0f), announcer);
  EXPECT_TRUE(storage.quantized());
  EXPECT_EQ(announcer.lines.size(), 2u);
  EXPECT_EQ(storage.code_slot_count(), 2u);
}

TEST(StorageTest, GapsBringTheSwitchEarlierWithOneTrainingVector) {
  Announcer announcer;
  VectorStorage storage(24, 5);
  const Vec only = two_hot(3, 20, 2.0f);
  must_store(storage, 4, only, announcer);
  EXPECT_FALSE(storage.quantized());
  must_store(storage, 0, two_hot(0, 12), announcer);
  ASSERT_TRUE(storage.quantized());
  const auto pq = storage.TEST_quantizer();
  Vec sub0(only.begin(), only.begin() + 12), sub1(only.begin() + 12, only.end());
  normalize_f32(sub0);
  normalize_f32(sub1);
  EXPECT_EQ(pq->codebooks()[0][0], sub0);
  EXPECT_EQ(pq->codebooks()[1][0], sub1);
  EXPECT_EQ(pq->codebooks()[0][1], Vec(12, 0.0f));
  EXPECT_EQ(storage.code_slot_count(), 5u);
  EXPECT_FALSE(storage.TEST_code_at(2).has_value());
}

TEST(StorageTest, ThresholdZeroSwitchesOnEmptyAndKeepsInitialCodebooks) {
  Announcer announcer;
  VectorStorage storage(24, 0);
  must_store(storage, 3, Vec(24, 1.0f), announcer);
  EXPECT_EQ(announcer.lines, std::vector<std::string>{"Activating quantization at 0 vectors...\n"});
  ASSERT_TRUE(storage.quantized());
  EXPECT_EQ(storage.TEST_quantizer()->codebooks(), ProductQuantizer(24).codebooks());
  EXPECT_EQ(storage.code_slot_count(), 4u);
  EXPECT_EQ(storage.TEST_code_at(3), ProductQuantizer(24).encode(Vec(24, 1.0f)));
}

// Reserve in each of the three states storage can be in: raw, about to switch on,
// quantized. An impossible size fails with OutOfMemory and nothing changes.
TEST(StorageTest, ReserveFailsCleanlyWhenTheSlotsCannotExist) {
  Announcer announcer;
  VectorStorage storage(24, 2);
  const Vec v(24, 1.0f);
  for (uint32_t id = 0; id < 4; ++id) {
    ASSERT_TRUE(storage.reserve(id + 1).ok()) << id;
    const Result<void> huge = storage.reserve(1ULL << 40);
    ASSERT_FALSE(huge.ok()) << id;
    EXPECT_EQ(huge.error().kind, ErrorKind::OutOfMemory) << id;
    EXPECT_FALSE(storage.reserve(UINT64_MAX).ok()) << id;
    EXPECT_EQ(storage.vector_slot_count() + storage.code_slot_count(), id) << id;
    must_store(storage, id, v, announcer);
    EXPECT_TRUE(storage.compute_similarity(v, id).has_value()) << id;
  }
  EXPECT_TRUE(storage.quantized());
}

TEST(StorageTest, HighestIdOnA32BitDeviceIsOutOfMemoryNotACrash) {
  if constexpr (SIZE_MAX > UINT32_MAX) {
    GTEST_SKIP() << "2^32 slots are addressable here";
  } else {
    Announcer announcer;
    VectorStorage storage(24, 5000);
    must_store(storage, 1, Vec(24, 1.0f), announcer);
    EXPECT_THROW((void)storage.store(UINT32_MAX, Vec(24, 1.0f), announcer.callback()), std::bad_alloc);
    EXPECT_EQ(storage.vector_slot_count(), 2u);
    EXPECT_EQ(storage.compute_similarity(Vec(24, 1.0f), 1), 1.0f);
  }
}

// The switch-on encodes on the worker pool: every stored vector's code must be the one
// encode gives it alone, across gaps, empty vectors and vectors of other lengths.
TEST(StorageTest, SwitchOnCodesAreThoseOfEncodeOneByOne) {
  Announcer announcer;
  VectorStorage storage(48, 300);
  std::map<uint32_t, Vec> stored;
  uint32_t state = 9;
  for (uint32_t id = 0; id < 300; id += id < 290 ? 1 + id % 3 : 1) {  // gaps, then every id up to 299
    Vec v(id % 17 == 0 ? 0 : id % 13 == 0 ? 30 : 48);
    for (float& x : v) {
      state = state * 1664525u + 1013904223u;
      x = static_cast<float>(static_cast<int32_t>(state >> 16) % 2001 - 1000) / 256.0f;
    }
    must_store(storage, id, v, announcer);
    stored[id] = v;
  }
  must_store(storage, 300, Vec(48, 0.5f), announcer);
  ASSERT_TRUE(storage.quantized());
  stored[300] = Vec(48, 0.5f);
  for (uint32_t id = 0; id <= 300; ++id) {
    const auto it = stored.find(id);
    ASSERT_EQ(storage.TEST_code_at(id),
              it == stored.end() ? std::nullopt : std::optional(storage.TEST_quantizer()->encode(it->second)))
        << id;
  }
}

// The real sizes: 5000 vectors of 768 components, the 5001st add switches on.
TEST(StorageTest, SwitchOnAtFiveThousandSamplesEveryNineteenth) {
  Announcer announcer;
  VectorStorage storage;
  std::vector<Vec> stored(5001, Vec(768));
  uint32_t state = 5;
  for (Vec& v : stored) {
    for (float& x : v) {
      state = state * 1664525u + 1013904223u;
      x = static_cast<float>(static_cast<int32_t>(state >> 16) % 2001 - 1000) / 256.0f;
    }
  }
  for (uint32_t id = 0; id < 5000; ++id) must_store(storage, id, stored[id], announcer);
  EXPECT_TRUE(announcer.lines.empty());
  EXPECT_FALSE(storage.quantized());
  must_store(storage, 5000, stored[5000], announcer);
  EXPECT_EQ(announcer.lines, std::vector<std::string>{"Activating quantization at 5000 vectors...\n"});
  ASSERT_TRUE(storage.quantized());
  EXPECT_EQ(storage.vector_slot_count(), 0u);
  EXPECT_EQ(storage.code_slot_count(), 5001u);

  const auto pq = storage.TEST_quantizer();
  ASSERT_EQ(pq->num_subspaces(), 64u);
  for (size_t j = 0; j < 256; ++j) {
    for (size_t s : {size_t{0}, size_t{63}}) {
      Vec sub(stored[19 * j].begin() + 12 * s, stored[19 * j].begin() + 12 * s + 12);
      normalize_f32(sub);
      ASSERT_EQ(pq->codebooks()[s][j], sub) << "subspace " << s << " centroid " << j;
    }
  }
  for (uint32_t id : {0u, 19u, 4999u, 5000u}) {
    const auto code = storage.TEST_code_at(id);
    ASSERT_TRUE(code.has_value()) << id;
    ASSERT_EQ(code->size(), 64u);
    for (size_t s = 0; s < 64; ++s) {
      // Nearest centroid by explicit float32 loops, lowest index on ties.
      size_t best = 0;
      float best_distance = FLT_MAX;
      for (size_t c = 0; c < 256; ++c) {
        float sum = 0.0f;
        for (size_t i = 0; i < 12; ++i) {
          const float d = stored[id][12 * s + i] - pq->codebooks()[s][c][i];
          const float sq = d * d;
          sum = sum + sq;
        }
        if (sum < best_distance) {
          best_distance = sum;
          best = c;
        }
      }
      ASSERT_EQ((*code)[s], best) << id << "/" << s;
    }
  }
}

}  // namespace
}  // namespace tovik
