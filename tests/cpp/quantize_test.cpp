#include "quantize.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "seeded_random.hpp"

namespace tovik {
namespace {

using Vec = std::vector<float>;
constexpr float QUIET_NAN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

std::vector<std::span<const float>> spans(const std::vector<Vec>& vs) {
  return std::vector<std::span<const float>>(vs.begin(), vs.end());
}

Vec normalized(Vec v) {
  normalize_f32(v);
  return v;
}

Vec one_hot(size_t length, size_t at, float value = 1.0f) {
  Vec v(length, 0.0f);
  v[at] = value;
  return v;
}

TEST(QuantizeTest, FirstDrawFromTheQuantizerSeed) {
  Lcg rng(PQ_SEED);
  EXPECT_EQ(rng.next(), 27912.625f);
}

TEST(QuantizeTest, SubspaceCountAndCodebookShape) {
  const struct {
    uint32_t dimension, subspaces;
  } cases[] = {{768, 64}, {0, 0}, {1, 1}, {12, 1}, {13, 2}, {100, 9}};
  for (const auto& c : cases) {
    ProductQuantizer pq(c.dimension);
    EXPECT_EQ(pq.num_subspaces(), c.subspaces) << c.dimension;
    ASSERT_EQ(pq.codebooks().size(), c.subspaces);
    for (const auto& book : pq.codebooks()) ASSERT_EQ(book.size(), 256u);
  }
}

TEST(QuantizeTest, InitialCodebooksDrawInSubspaceThenCentroidOrder) {
  ProductQuantizer pq(768);
  Lcg rng(PQ_SEED);
  for (uint32_t s = 0; s < 64; ++s) {
    for (uint32_t c = 0; c < 256; ++c) {
      Vec drawn(12);
      for (float& x : drawn) x = rng.next();
      ASSERT_EQ(pq.codebooks()[s][c], normalized(drawn)) << s << "/" << c;
    }
  }
  // The draws are huge and positive, so each centroid is (close to) a unit vector.
  float norm2 = 0.0f;
  for (float x : pq.codebooks()[0][0]) norm2 += x * x;
  EXPECT_NEAR(norm2, 1.0f, 1e-6f);
}

// Training vector i of `count`, length `length`: recognisable, non-unit content.
std::vector<Vec> numbered_vectors(size_t count, size_t length) {
  std::vector<Vec> vs(count, Vec(length));
  for (size_t i = 0; i < count; ++i)
    for (size_t k = 0; k < length; ++k) vs[i][k] = static_cast<float>(i + 1) + 0.5f * static_cast<float>(k);
  return vs;
}

struct SamplingCase {
  size_t n;
  size_t step;
  size_t samples;  // sampled centroids before the zero padding
};

class TrainSampling : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(TrainSampling, TakesEveryStepthVectorThenZeros) {
  const SamplingCase& c = GetParam();
  const std::vector<Vec> training = numbered_vectors(c.n, 24);
  ProductQuantizer pq(24);
  pq.train(spans(training));
  for (size_t s = 0; s < 2; ++s) {
    const auto& book = pq.codebooks()[s];
    ASSERT_EQ(book.size(), 256u);
    for (size_t j = 0; j < c.samples; ++j) {
      const Vec& source = training[j * c.step];
      const Vec sub(source.begin() + 12 * s, source.begin() + 12 * s + 12);
      ASSERT_EQ(book[j], normalized(sub)) << "subspace " << s << " centroid " << j;
    }
    for (size_t j = c.samples; j < 256; ++j) ASSERT_EQ(book[j], Vec(12, 0.0f)) << j;
  }
}

INSTANTIATE_TEST_SUITE_P(Quantize, TrainSampling,
                         ::testing::Values(SamplingCase{1, 1, 1}, SamplingCase{100, 1, 100},
                                           SamplingCase{256, 1, 256}, SamplingCase{300, 1, 256},
                                           SamplingCase{511, 1, 256}, SamplingCase{512, 2, 256},
                                           SamplingCase{600, 2, 256}, SamplingCase{1000, 3, 256}),
                         // append, not "n" + ...: GCC 12 at -O3 warns (-Wrestrict) falsely
                         // about the insert that the latter inlines.
                         [](const auto& info) {
                           return std::string("n").append(std::to_string(info.param.n));
                         });

TEST(QuantizeTest, EmptyTrainingSetOrEmptyFirstVectorKeepsInitialCodebooks) {
  const ProductQuantizer initial(24);
  ProductQuantizer untouched(24);
  untouched.train({});
  EXPECT_EQ(untouched.codebooks(), initial.codebooks());

  const std::vector<Vec> led_by_empty = {Vec{}, Vec(24, 1.0f)};
  ProductQuantizer pq(24);
  pq.train(spans(led_by_empty));
  EXPECT_EQ(pq.codebooks(), initial.codebooks());
}

TEST(QuantizeTest, FirstVectorLengthBoundsTheTrainedSubspaces) {
  const ProductQuantizer initial(36);
  // L0 = 20: subspace 0 full, subspace 1 trained over 8 components, subspace 2 initial.
  const std::vector<Vec> training = numbered_vectors(3, 20);
  ProductQuantizer pq(36);
  pq.train(spans(training));
  EXPECT_EQ(pq.codebooks()[0][1].size(), 12u);
  EXPECT_EQ(pq.codebooks()[1][2], normalized(Vec(training[2].begin() + 12, training[2].end())));
  EXPECT_EQ(pq.codebooks()[1][3], Vec(12, 0.0f));  // padding centroids keep 12 components
  EXPECT_EQ(pq.codebooks()[2], initial.codebooks()[2]);
}

TEST(QuantizeTest, ShortLaterTrainingVectorsReadAsZeroPastTheirEnd) {
  const std::vector<Vec> training = {Vec(24, 2.0f), Vec{}, Vec{3, 4, 0, 0, 0}};
  ProductQuantizer pq(24);
  pq.train(spans(training));
  EXPECT_EQ(pq.codebooks()[0][1], Vec(12, 0.0f));
  Vec expected(12, 0.0f);
  expected[0] = 0.6f;
  expected[1] = 0.8f;
  EXPECT_EQ(pq.codebooks()[0][2], expected);
  EXPECT_EQ(pq.codebooks()[1][2], Vec(12, 0.0f));
}

// Quantizer over 12 components whose centroids are e0..e11, then 244 zero centroids.
ProductQuantizer one_hot_quantizer() {
  std::vector<Vec> training;
  for (size_t k = 0; k < 12; ++k) training.push_back(one_hot(12, k));
  ProductQuantizer pq(12);
  pq.train(spans(training));
  return pq;
}

struct EncodeCase {
  const char* name;
  Vec v;
  uint8_t expected;
};

class EncodeOneSubspace : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeOneSubspace, PicksTheNearestLowestIndexCentroid) {
  static const ProductQuantizer pq = one_hot_quantizer();
  EXPECT_EQ(pq.encode(GetParam().v), std::vector<uint8_t>{GetParam().expected});
}

Vec prefix(const Vec& v, size_t n) { return Vec(v.begin(), v.begin() + n); }
Vec with_tail(Vec v, size_t extra) {
  v.resize(v.size() + extra, 9.0f);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Quantize, EncodeOneSubspace,
    ::testing::Values(EncodeCase{"exact_centroid", one_hot(12, 3), 3},
                      EncodeCase{"scaled_centroid", one_hot(12, 7, 2.0f), 7},
                      EncodeCase{"zero_takes_first_zero_centroid", Vec(12, 0.0f), 12},
                      EncodeCase{"empty", {}, 0}, EncodeCase{"all_nan", Vec(12, QUIET_NAN), 0},
                      EncodeCase{"infinite", one_hot(12, 5, INF), 0},
                      // Only the first 5 components count: e5..e11 all look like zero there,
                      // and e5 is the lowest index among them.
                      EncodeCase{"short_prefix_hit", prefix(one_hot(12, 3), 5), 3},
                      EncodeCase{"short_prefix_tie", prefix(one_hot(12, 9), 5), 5},
                      EncodeCase{"longer_ignores_tail", with_tail(one_hot(12, 4), 8), 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuantizeTest, SubspacesBeyondTheVectorEncodeAsZero) {
  ProductQuantizer pq(768);
  EXPECT_EQ(pq.encode({}), std::vector<uint8_t>(64, 0));
  const std::vector<uint8_t> code = pq.encode(Vec(12, 1.0f));
  ASSERT_EQ(code.size(), 64u);
  for (size_t s = 1; s < 64; ++s) EXPECT_EQ(code[s], 0) << s;
}

TEST(QuantizeTest, CentroidsShorterThanTheSubVectorAreNeverChosen) {
  // L0 = 20: centroid 0 of subspace 1 has 8 components, the zero centroids 12.
  std::vector<Vec> training = {Vec(20, 0.0f)};
  training[0][12] = 1.0f;
  ProductQuantizer pq(24);
  pq.train(spans(training));
  ASSERT_EQ(pq.codebooks()[1][0].size(), 8u);
  // Centroid 0 is nearer than any zero centroid over the components it has (81 < 100),
  // so it would win a 12-wide comparison if its missing components were read.
  Vec v(24, 0.0f);
  v[12] = 10.0f;
  EXPECT_EQ(pq.encode(prefix(v, 20))[1], 0);  // 8-wide sub-vector: centroid 0 fits
  EXPECT_EQ(pq.encode(v)[1], 1);              // 12-wide: centroid 0 is skipped
}

}  // namespace
}  // namespace tovik
