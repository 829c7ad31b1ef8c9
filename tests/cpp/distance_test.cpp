#include "distance.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "test_floats.hpp"

namespace tovik {
namespace {

using Vec = std::vector<float>;
constexpr float QUIET_NAN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

double cos_of(const Vec& a, const Vec& b) {
  double out = -1.0;
  cos_f32(a.data(), b.data(), a.size(), &out);
  return out;
}

double l2sq_of(const Vec& a, const Vec& b) {
  double out = -1.0;
  l2sq_f32(a.data(), b.data(), a.size(), &out);
  return out;
}

// The cosine rule written out independently, without the final clamp.
double unclamped_cos_reference(const Vec& a, const Vec& b) {
  float a2 = 0.0f, ab = 0.0f, b2 = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    const float aa = a[i] * a[i];
    const float abp = a[i] * b[i];
    const float bb = b[i] * b[i];
    a2 = a2 + aa;
    ab = ab + abp;
    b2 = b2 + bb;
  }
  if (a.empty() || (a2 == 0.0f && b2 == 0.0f)) return 0.0;
  if (ab == 0.0f) return 1.0;
  const double ra = 1.0 / std::sqrt(double{a2});
  const double rb = 1.0 / std::sqrt(double{b2});
  const double scaled = double{ab} * ra;
  return 1.0 - scaled * rb;
}

double cos_reference(const Vec& a, const Vec& b) {
  const double r = unclamped_cos_reference(a, b);
  return r > 0.0 ? r : 0.0;
}

double l2sq_reference(const Vec& a, const Vec& b) {
  float sum = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    const float d = a[i] - b[i];
    const float sq = d * d;
    sum = sum + sq;
  }
  return sum;
}

struct CosCase {
  const char* name;
  Vec a, b;
  double expected;
};

class CosEdgeCases : public ::testing::TestWithParam<CosCase> {};

TEST_P(CosEdgeCases, GivesTheRuleValue) {
  const CosCase& c = GetParam();
  const double got = cos_of(c.a, c.b);
  EXPECT_EQ(got, c.expected) << c.name;
  EXPECT_FALSE(std::signbit(got)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Distance, CosEdgeCases,
                         ::testing::Values(CosCase{"empty", {}, {}, 0.0},
                                           CosCase{"two_zero", {0, 0, 0}, {0, 0, 0}, 0.0},
                                           CosCase{"zero_and_nonzero", {0, 0}, {3, 4}, 1.0},
                                           CosCase{"nonzero_and_zero", {3, 4}, {0, 0}, 1.0},
                                           CosCase{"orthogonal", {1, 0}, {0, 1}, 1.0},
                                           CosCase{"orthogonal_by_cancellation", {1, 1}, {1, -1}, 1.0},
                                           CosCase{"nan_component", {QUIET_NAN, 1}, {1, 1}, 0.0},
                                           CosCase{"inf_component", {INF, 1}, {1, 1}, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DistanceTest, SelfDistanceIsClampedWhenRoundingGoesNegative) {
  const Vec a = {1, 5};                           // 1 - 1.0000000000000002
  ASSERT_LT(unclamped_cos_reference(a, a), 0.0);  // the case really exercises the clamp
  const double got = cos_of(a, a);
  EXPECT_EQ(got, 0.0);
  EXPECT_FALSE(std::signbit(got));
}

TEST(DistanceTest, OppositeVectorsAreTwoApart) {
  EXPECT_NEAR(cos_of({1, 5}, {-1, -5}), 2.0, 1e-15);
  EXPECT_NEAR(cos_of({0.25f, -3, 7}, {-0.25f, 3, -7}), 2.0, 1e-15);
}

TEST(DistanceTest, SquaredEuclidean) {
  EXPECT_EQ(l2sq_of({1, 2}, {4, 6}), 25.0);
  EXPECT_EQ(l2sq_of({}, {}), 0.0);
}

bool same_bits(double x, double y) { return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y); }
// Against the written-out rule: equal bits, or NaN on both sides. The rule does not fix
// a NaN's sign, and the reference's own NaN follows whichever operand order the
// optimiser gives its additions (at -O3 it differs from -O2).
bool same_as_rule(double x, double y) { return (std::isnan(x) && std::isnan(y)) || same_bits(x, y); }

TEST(DistanceTest, DispatchedKernelsMatchThePlainRuleBitForBit) {
  FloatSource rng(2024);
  for (int round = 0; round < 2000; ++round) {
    const size_t n = rng.next() % 40;
    Vec a(n), b(n);
    for (size_t i = 0; i < n; ++i) {
      a[i] = rng.value();
      b[i] = round % 3 == 0 ? a[i] : rng.value();
    }
    double got = 0.0, scalar = 0.0;
    cos_f32(a.data(), b.data(), n, &got);
    cos_f32_scalar(a.data(), b.data(), n, &scalar);
    ASSERT_TRUE(same_as_rule(got, cos_reference(a, b))) << "cos round " << round;
    ASSERT_TRUE(same_bits(scalar, got)) << "cos scalar round " << round;
    l2sq_f32(a.data(), b.data(), n, &got);
    l2sq_f32_scalar(a.data(), b.data(), n, &scalar);
    ASSERT_TRUE(same_as_rule(got, l2sq_reference(a, b))) << "l2sq round " << round;
    ASSERT_TRUE(same_bits(scalar, got)) << "l2sq scalar round " << round;
  }
}

}  // namespace
}  // namespace tovik
