#include "lsh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "one_step.hpp"

namespace tovik {
namespace {

using Ids = std::vector<uint32_t>;
using Vec = std::vector<float>;

// The generator computed independently in double precision: the 48-bit integer and
// the scaled difference are exact in double, so each value is rounded to float once,
// as float32 arithmetic rounds it.
float reference_draw(uint64_t& state) {
  state = state * 1103515245ULL + 12345ULL;
  const double x = static_cast<double>(static_cast<float>(static_cast<double>(state >> 16)));
  return static_cast<float>(x * 0x1p-15 - 1.0);
}

TEST(LcgTest, MatchesKnownValuesAndExactReference) {
  Lcg lcg(LSH_SEED);
  EXPECT_EQ(lcg.next(), 6342.6552734375f);
  EXPECT_EQ(lcg.next(), 8113413632.0f);
  Lcg again(LSH_SEED);
  uint64_t state = LSH_SEED;
  for (int i = 0; i < 100000; ++i) {
    const float got = again.next();
    ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(reference_draw(state))) << "draw " << i;
  }
}

TEST(LshTest, HyperplanesAreFixedUnitVectors) {
  const LSH two(2);
  EXPECT_EQ(two.TEST_hyperplanes(0)[0], (Vec{0x1.a3b2cep-21f, 1.0f}));  // 7.817493e-07, 1.0

  const LSH a(768), b(768);
  ASSERT_EQ(a.TEST_hyperplanes(0).size(), NUM_HYPERPLANES);
  EXPECT_EQ(a.TEST_hyperplanes(0), b.TEST_hyperplanes(0));
  for (const Vec& plane : a.TEST_hyperplanes(0)) {
    ASSERT_EQ(plane.size(), 768u);
    double norm = 0;
    for (float x : plane) norm += double{x} * x;
    EXPECT_NEAR(norm, 1.0, 1e-5);
    EXPECT_TRUE(std::all_of(plane.begin(), plane.end(), [](float x) { return x > 0; }));
  }

  const LSH empty(0);
  ASSERT_EQ(empty.TEST_hyperplanes(0).size(), NUM_HYPERPLANES);
  EXPECT_TRUE(empty.TEST_hyperplanes(0)[31].empty());
  EXPECT_EQ(empty.signature(Vec{1, 2, 3}, 0), 0u);
}

// Every component of every hyperplane, bit for bit, against the rule computed here:
// 32 planes drawn one after another from one generator, each normalised right away.
TEST(LshTest, HyperplanesAreTheDrawnOnesBitForBit) {
  for (uint32_t dim : {1u, 7u, 768u}) {
    uint64_t state = LSH_SEED;
    const auto planes = LSH(dim).TEST_hyperplanes(0);
    ASSERT_EQ(planes.size(), NUM_HYPERPLANES);
    for (uint32_t h = 0; h < NUM_HYPERPLANES; ++h) {
      Vec expected(dim);
      float sum = -0.0f;
      for (float& x : expected) {
        x = reference_draw(state);
        const float square = x * x;
        sum += square;
      }
      if (sum > 0.0f) {
        const float r = std::sqrt(sum);
        for (float& x : expected) x /= r;
      }
      ASSERT_EQ(planes[h].size(), dim);
      for (uint32_t i = 0; i < dim; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(planes[h][i]), std::bit_cast<uint32_t>(expected[i]))
            << "dim " << dim << " plane " << h << " component " << i;
      }
    }
  }
}

struct SignatureCase {
  const char* name;
  uint32_t dimension;
  Vec v;
  uint64_t expected;
};

TEST(LshTest, SignatureSetsBitOnlyForStrictlyPositiveDot) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const uint64_t all = 0xFFFFFFFFu;
  const SignatureCase cases[] = {
      {"zero vector", 4, {0, 0, 0, 0}, 0},
      {"negative zero", 4, {-0.0f, -0.0f, -0.0f, -0.0f}, 0},
      {"all negative", 4, {-1, -2, -3, -4}, 0},
      {"all positive", 4, {1, 2, 3, 4}, all},
      {"NaN component", 4, {1, nan, 1, 1}, 0},
      {"shorter uses its own components", 4, {1}, all},
      {"shorter negative", 4, {-1}, 0},
      {"longer ignores the rest", 2, {1, 1, -1e30f, -1e30f}, all},
      {"empty vector", 4, {}, 0},
  };
  for (const auto& c : cases) {
    const LSH lsh(c.dimension);
    EXPECT_EQ(lsh.signature(c.v, 0), c.expected) << c.name;
  }
}

TEST(LshTest, VectorOrthogonalToAHyperplaneLeavesItsBitClear) {
  const LSH lsh(2);
  for (uint32_t h = 0; h < NUM_HYPERPLANES; ++h) {
    const Vec p = lsh.TEST_hyperplanes(0)[h];
    const Vec orthogonal{p[1], -p[0]};  // dot = p1*p0 - p0*p1 = +0 exactly
    const Vec tilted{p[1], -p[0] * 0.5f};
    EXPECT_EQ(lsh.signature(orthogonal, 0) >> h & 1, 0u) << h;
    EXPECT_EQ(lsh.signature(tilted, 0) >> h & 1, 1u) << h;
  }
}

// Vectors of dimension 4 with distinct signatures, found by a fixed-seed search
// (integer components, so the search is the same on every platform).
class SignaturePool {
 public:
  explicit SignaturePool(const LSH& lsh) {
    std::mt19937 gen(7);
    for (int i = 0; i < 20000; ++i) {
      Vec v(4);
      for (float& x : v) x = static_cast<float>(static_cast<int>(gen() % 2001) - 1000);
      by_signature_.emplace(lsh.signature(v, 0), v);
    }
  }
  bool has(uint64_t sig) const { return by_signature_.count(sig) > 0; }
  const Vec& vector_of(uint64_t sig) const { return by_signature_.at(sig); }
  const std::map<uint64_t, Vec>& all() const { return by_signature_; }

 private:
  std::map<uint64_t, Vec> by_signature_;
};

// Whether a query with signature q probes the bucket of signature s.
bool probed(uint64_t q, uint64_t s) {
  const uint64_t d = q ^ s;
  return d == 0 || (std::has_single_bit(d) && d < (uint64_t{1} << PROBE_BITS));
}

TEST(LshTest, InsertFilesDuplicatesButQueryReturnsOnce) {
  LSH lsh(4);
  const Vec v{1, 2, 3, 4};
  test::lsh_insert(lsh, 7, v);
  test::lsh_insert(lsh, 7, v);
  test::lsh_insert(lsh, 8, v);
  EXPECT_EQ(lsh.TEST_filed_count(), 3u);
  EXPECT_EQ(lsh.TEST_bucket_count(), 1u);
  EXPECT_EQ(test::lsh_query(lsh, v, 1000), (Ids{7, 8}));
  EXPECT_TRUE(test::lsh_query(LSH(4), v, 1000).empty());
}

TEST(LshTest, QueryStopsAtLimitInBucketOrder) {
  LSH lsh(4);
  const Vec v{1, 2, 3, 4};
  Ids order(1500);
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i * 7919 % 1500;  // a permutation
  for (uint32_t id : order) test::lsh_insert(lsh, id, v);
  test::lsh_insert(lsh, 5000, Vec{-1, -1, -1, -1});  // another bucket, never reached
  const Ids got = test::lsh_query(lsh, v, 1000);
  EXPECT_EQ(got, Ids(order.begin(), order.begin() + 1000));
  EXPECT_EQ(test::lsh_query(lsh, v, 1), Ids{order[0]});
  EXPECT_TRUE(test::lsh_query(lsh, v, 0).empty());
}

TEST(LshTest, QueryProbesOwnBucketThenLowBitNeighboursInBitOrder) {
  const SignaturePool pool(LSH(4));
  // A query signature with neighbours at two low bits, plus a high-bit neighbour and
  // a two-bit neighbour that are not probed.
  for (const auto& [q, qv] : pool.all()) {
    std::vector<uint32_t> low_bits;
    for (uint32_t b = 0; b < PROBE_BITS; ++b) {
      if (pool.has(q ^ (uint64_t{1} << b))) low_bits.push_back(b);
    }
    uint64_t far = 0;
    bool have_far = false;
    for (const auto& [s, sv] : pool.all()) {
      if (!probed(q, s) && std::popcount(q ^ s) <= 2) {
        far = s;
        have_far = true;
        break;
      }
    }
    if (low_bits.size() < 2 || !have_far) continue;

    LSH lsh(4);
    const uint64_t first = q ^ (uint64_t{1} << low_bits[0]);
    const uint64_t second = q ^ (uint64_t{1} << low_bits[1]);
    test::lsh_insert(lsh, 3, pool.vector_of(far));
    test::lsh_insert(lsh, 2, pool.vector_of(second));  // created before `first`, probed after it
    test::lsh_insert(lsh, 1, pool.vector_of(first));
    test::lsh_insert(lsh, 0, qv);
    // Three ids found by probing: no fallback while 3 >= limit / 2.
    EXPECT_EQ(test::lsh_query(lsh, qv, 6), (Ids{0, 1, 2}));
    EXPECT_EQ(test::lsh_query(lsh, qv, 2), (Ids{0, 1}));
    // With limit 8 the fallback adds the unprobed bucket.
    EXPECT_EQ(test::lsh_query(lsh, qv, 8), (Ids{0, 1, 2, 3}));
    return;
  }
  FAIL() << "no suitable signatures in the pool";
}

// Signatures from the pool that a query with signature q does not probe.
std::vector<uint64_t> unprobed_signatures(const SignaturePool& pool, uint64_t q, size_t n) {
  std::vector<uint64_t> out;
  for (const auto& [s, v] : pool.all()) {
    if (!probed(q, s) && out.size() < n) out.push_back(s);
  }
  return out;
}

TEST(LshTest, FallbackVisitsFirstTwentyBucketsInCreationOrderEmptyOnesIncluded) {
  LSH lsh(4);
  const SignaturePool pool(lsh);
  const Vec q{-1, -1, -1, -1};  // signature 0, no bucket of its own
  const auto sigs = unprobed_signatures(pool, lsh.signature(q, 0), 21);
  ASSERT_EQ(sigs.size(), 21u);
  for (uint32_t i = 0; i < 21; ++i) test::lsh_insert(lsh, 100 + i, pool.vector_of(sigs[i]));

  Ids first_twenty(20);
  for (uint32_t i = 0; i < 20; ++i) first_twenty[i] = 100 + i;
  EXPECT_EQ(test::lsh_query(lsh, q, 1000), first_twenty);
  EXPECT_EQ(test::lsh_query(lsh, q, 5), Ids(first_twenty.begin(), first_twenty.begin() + 5));

  // The emptied first bucket stays and still counts towards the twenty.
  test::lsh_remove(lsh, 100);
  EXPECT_EQ(lsh.TEST_bucket_count(), 21u);
  EXPECT_EQ(test::lsh_query(lsh, q, 1000), Ids(first_twenty.begin() + 1, first_twenty.end()));
}

TEST(LshTest, FallbackDoesNotRepeatProbedIds) {
  LSH lsh(4);
  const SignaturePool pool(lsh);
  const Vec q{1, 2, 3, 4};
  const uint64_t qsig = lsh.signature(q, 0);
  const auto others = unprobed_signatures(pool, qsig, 3);
  test::lsh_insert(lsh, 1, pool.vector_of(others[0]));
  test::lsh_insert(lsh, 2, q);  // the query's bucket is second in creation order
  test::lsh_insert(lsh, 3, pool.vector_of(others[1]));
  test::lsh_insert(lsh, 2, pool.vector_of(others[2]));
  EXPECT_EQ(test::lsh_query(lsh, q, 1000), (Ids{2, 1, 3}));
}

// Fills an index with ids under random vectors, some ids filed twice or under two
// signatures.
void fill(LSH& lsh, const SignaturePool& pool) {
  std::vector<const Vec*> vectors;
  for (const auto& [s, v] : pool.all()) vectors.push_back(&v);
  std::mt19937 gen(11);
  for (uint32_t i = 0; i < 3000; ++i) {
    const uint32_t id = gen() % 400;
    test::lsh_insert(lsh, id, *vectors[gen() % vectors.size()]);
  }
}

TEST(LshTest, RemoveManyMatchesRemovingOneByOne) {
  LSH one_by_one(4), swept(4);
  const SignaturePool pool(swept);
  fill(one_by_one, pool);
  fill(swept, pool);
  const size_t buckets = swept.TEST_bucket_count();

  Bitmap gone;
  for (uint32_t id = 0; id < 400; id += 3) gone.add(id);
  gone.add(100000);  // never filed
  gone.for_each([&](uint32_t id) {
    test::lsh_remove(one_by_one, id);
    return true;
  });
  swept.remove_many(gone);

  EXPECT_EQ(swept.TEST_bucket_count(), buckets);
  EXPECT_EQ(swept.TEST_filed_count(), one_by_one.TEST_filed_count());
  EXPECT_LT(swept.TEST_filed_count(), 3000u);
  for (const auto& [s, v] : pool.all()) {
    const Ids got = test::lsh_query(swept, v, 1000);
    ASSERT_EQ(got, test::lsh_query(one_by_one, v, 1000));
    for (uint32_t id : got) ASSERT_FALSE(gone.contains(id)) << id;
  }
  swept.remove_many(Bitmap{});
  EXPECT_EQ(swept.TEST_filed_count(), one_by_one.TEST_filed_count());
}

}  // namespace
}  // namespace tovik
