#include "interval_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "one_step.hpp"

namespace tovik {
namespace {

using Pairs = std::vector<std::pair<double, uint32_t>>;
using Ids = std::vector<uint32_t>;

const char* const OPS[] = {"$lt", "$lte", "$gt", "$gte"};

// The tree's answer to an operator spelled as in a filter.
Bitmap range(const IntervalTree& tree, std::string_view op, double x) {
  return tree.range_query(parse_filter_op(op).value(), x);
}

TEST(IntervalTreeTest, EmptyTreeAnswersEverythingWithTheEmptySet) {
  IntervalTree tree = IntervalTree::build({});
  EXPECT_TRUE(tree.node_values().empty());
  for (const char* op : OPS) EXPECT_TRUE(range(tree, op, 1.0).empty()) << op;
  EXPECT_TRUE(tree.exact(1.0).empty());
  EXPECT_TRUE(tree.pairs().empty());
  EXPECT_TRUE(tree.all().empty());
}

TEST(IntervalTreeTest, ListsEachIdAtItsNode) {
  IntervalTree tree = IntervalTree::build({{3.0, 1}, {1.0, 2}, {2.0, 3}, {1.0, 4}});
  EXPECT_EQ(tree.node_values(), (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(tree.pairs(), (Pairs{{1.0, 2}, {1.0, 4}, {2.0, 3}, {3.0, 1}}));
}

struct QueryCase {
  std::string op;
  double x;
  Ids expected;
};

class IntervalTreeQueryTest : public ::testing::TestWithParam<QueryCase> {};

// Pairs (3.0, 1), (1.0, 2), (2.0, 3), (1.0, 4): a bound equal to a node value is
// excluded by $lt/$gt and included by $lte/$gte.
TEST_P(IntervalTreeQueryTest, AnswersFromNodeBitmaps) {
  IntervalTree tree = IntervalTree::build({{3.0, 1}, {1.0, 2}, {2.0, 3}, {1.0, 4}});
  const QueryCase& c = GetParam();
  Bitmap got = c.op == "exact" ? tree.exact(c.x) : range(tree, c.op, c.x);
  EXPECT_EQ(got.to_vector(), c.expected) << c.op << " " << c.x;
}

INSTANTIATE_TEST_SUITE_P(Queries, IntervalTreeQueryTest,
                         ::testing::Values(QueryCase{"$lt", 2.0, {2, 4}}, QueryCase{"$lte", 2.0, {2, 3, 4}},
                                           QueryCase{"$gt", 2.0, {1}}, QueryCase{"$gte", 2.0, {1, 3}},
                                           QueryCase{"$gt", 0.5, {1, 2, 3, 4}}, QueryCase{"$lt", 0.5, {}},
                                           QueryCase{"$gte", 3.5, {}}, QueryCase{"$lte", 3.0, {1, 2, 3, 4}},
                                           QueryCase{"$lt", 1.0, {}}, QueryCase{"$gte", 1.0, {1, 2, 3, 4}},
                                           QueryCase{"$lt", INFINITY, {1, 2, 3, 4}},
                                           QueryCase{"$gt", -INFINITY, {1, 2, 3, 4}},
                                           QueryCase{"$lt", NAN, {}}, QueryCase{"$gte", NAN, {}},
                                           QueryCase{"$eq", 2.0, {}}, QueryCase{"exact", 2.0, {3}},
                                           QueryCase{"exact", 1.0, {2, 4}}, QueryCase{"exact", 3.0, {1}},
                                           QueryCase{"exact", 2.5, {}}));

TEST(IntervalTreeTest, SameIdAtSameValueIsHeldOnce) {
  IntervalTree tree = IntervalTree::build({{1.0, 7}, {1.0, 7}});
  ASSERT_EQ(tree.node_values().size(), 1u);
  EXPECT_EQ(tree.pairs(), (Pairs{{1.0, 7}}));
}

TEST(IntervalTreeTest, IdAtTwoValuesBelongsFromItsLowerValueOn) {
  IntervalTree tree = IntervalTree::build({{3.0, 7}, {1.0, 7}});
  EXPECT_EQ(range(tree, "$lt", 2.0).to_vector(), (Ids{7}));
  EXPECT_TRUE(range(tree, "$gt", 2.0).empty());
  EXPECT_TRUE(tree.exact(3.0).empty());  // node 3.0 adds nothing new
  EXPECT_EQ(tree.pairs(), (Pairs{{1.0, 7}}));
}

TEST(IntervalTreeTest, GroupsAreMeasuredFromTheirFirstValue) {
  IntervalTree chain = IntervalTree::build({{1.0000000012, 3}, {1.0, 1}, {1.0000000006, 2}});
  EXPECT_EQ(chain.pairs(), (Pairs{{1.0, 1}, {1.0, 2}, {1.0000000012, 3}}));

  IntervalTree tree = IntervalTree::build({{1.0000000005, 2}, {1.0, 1}});
  ASSERT_EQ(tree.node_values().size(), 1u);
  EXPECT_EQ(range(tree, "$lt", 1.0000000003).to_vector(), (Ids{1, 2}));
  EXPECT_EQ(tree.exact(1.0).to_vector(), (Ids{1, 2}));
  EXPECT_TRUE(tree.exact(1.0000000005).empty());
}

TEST(IntervalTreeTest, NanPairsAreLeftOutAndInfinitiesGroup) {
  IntervalTree tree = IntervalTree::build({{NAN, 1}, {INFINITY, 2}, {INFINITY, 3}, {-INFINITY, 4}});
  ASSERT_EQ(tree.node_values().size(), 2u);
  EXPECT_EQ(tree.all().to_vector(), (Ids{2, 3, 4}));
  EXPECT_EQ(tree.exact(INFINITY).to_vector(), (Ids{2, 3}));
}

// Random pairs with many near-equal values, so groups and tolerance edges occur.
Pairs random_pairs(std::mt19937& rng, size_t n) {
  std::uniform_int_distribution<int> base(0, 20);
  std::uniform_int_distribution<int> jitter(0, 3);
  std::uniform_int_distribution<uint32_t> id(0, 60);
  Pairs pairs;
  for (size_t i = 0; i < n; ++i) pairs.emplace_back(base(rng) + jitter(rng) * 4e-10, id(rng));
  return pairs;
}

// Same listing and same answer to every query at and around every node value. (A
// node that adds no id changes no answer, so the node lists themselves may differ.)
void expect_same_answers(const IntervalTree& a, const IntervalTree& b) {
  ASSERT_EQ(a.pairs(), b.pairs());
  std::vector<double> probes{-1.0, 1e9};
  for (const IntervalTree* t : {&a, &b}) {
    for (double value : t->node_values()) {
      for (double d : {-VALUE_TOLERANCE, -VALUE_TOLERANCE / 2, 0.0, VALUE_TOLERANCE / 2})
        probes.push_back(value + d);
    }
  }
  for (double x : probes) {
    for (const char* op : OPS) EXPECT_EQ(range(a, op, x), range(b, op, x)) << op << " " << x;
    EXPECT_EQ(a.exact(x), b.exact(x)) << x;
  }
}

TEST(IntervalTreeTest, NodeValuesAscendByAtLeastTheTolerance) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    IntervalTree tree = IntervalTree::build(random_pairs(rng, 200));
    const std::vector<double> values = tree.node_values();
    for (size_t i = 1; i < values.size(); ++i) EXPECT_GE(values[i] - values[i - 1], VALUE_TOLERANCE);
  }
}

TEST(IntervalTreeTest, RebuildingFromTheListingKeepsEveryAnswer) {
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    IntervalTree tree = IntervalTree::build(random_pairs(rng, 150));
    Pairs listing = tree.pairs();
    EXPECT_EQ(listing.size(), tree.all().cardinality());  // each id once
    expect_same_answers(IntervalTree::build(listing), tree);
  }
}

TEST(IntervalTreeTest, RemovingIdsEqualsRebuildingWithoutThem) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> id(0, 60);
  for (int round = 0; round < 40; ++round) {
    IntervalTree tree = IntervalTree::build(random_pairs(rng, 120));
    Bitmap removed;
    for (int k = round % 25; k > 0; --k) removed.add(id(rng));
    Pairs kept;
    for (const auto& p : tree.pairs()) {
      if (!removed.contains(p.second)) kept.push_back(p);
    }
    IntervalTree expected = IntervalTree::build(kept);
    IntervalTree one_by_one = tree;
    removed.for_each([&](uint32_t x) {
      test::remove_id(one_by_one, x);
      return true;
    });
    tree.remove_ids(removed);
    expect_same_answers(tree, expected);
    expect_same_answers(one_by_one, expected);
  }
}

TEST(IntervalTreeTest, RemovingEveryIdLeavesAnEmptyTree) {
  IntervalTree tree = IntervalTree::build({{1.0, 1}, {2.0, 2}});
  IntervalTree one_by_one = tree;
  tree.remove_ids(Bitmap{1, 2, 3});
  EXPECT_TRUE(tree.node_values().empty());
  test::remove_id(one_by_one, 2);
  test::remove_id(one_by_one, 1);
  EXPECT_TRUE(one_by_one.node_values().empty());
  EXPECT_TRUE(range(tree, "$gte", 0.0).empty());
}

// ---- Differential: the tree against a plain model of its listing ----

// The listing as sorted pairs: a merge stable-sorts "pending, then listing" by value
// and regroups from each group's first value; every answer is a scan.
struct ReferenceTree {
  Pairs listing;

  void merge(Pairs pending) {
    std::erase_if(pending, [](const auto& p) { return std::isnan(p.first); });
    auto by_value = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::stable_sort(pending.begin(), pending.end(), by_value);
    Pairs all;
    std::merge(pending.begin(), pending.end(), listing.begin(), listing.end(), std::back_inserter(all),
               by_value);
    listing.clear();
    std::set<uint32_t> seen;
    for (size_t i = 0; i < all.size();) {
      const double first = all[i].first;
      std::set<uint32_t> group;
      for (; i < all.size() && (all[i].first == first || std::fabs(all[i].first - first) < VALUE_TOLERANCE);
           ++i) {
        if (seen.insert(all[i].second).second) group.insert(all[i].second);
      }
      for (uint32_t id : group) listing.emplace_back(first, id);
    }
  }
  void remove(const Bitmap& ids) {
    std::erase_if(listing, [&ids](const auto& p) { return ids.contains(p.second); });
  }
  Ids query(const std::string& op, double x) const {
    Ids out;
    for (const auto& [v, id] : listing) {
      const bool hit = op == "$lt"    ? v < x
                       : op == "$lte" ? v <= x
                       : op == "$gt"  ? v > x
                       : op == "$gte" ? v >= x
                                      : v == x;
      if (hit) out.push_back(id);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
};

// Values that exercise groups: repeated bases, near-ties within and beyond the
// tolerance, both zeros, infinities, NaN, and arbitrary doubles.
double awkward_value(std::mt19937& rng) {
  const double bases[] = {-3.5, -1.0, 0.0, 1.0, 2.0, 1e6, 1.7e9};
  switch (rng() % 8) {
    case 0:
      return (rng() % 2) ? 0.0 : -0.0;
    case 1: {
      const double specials[] = {INFINITY, -INFINITY, NAN, std::numeric_limits<double>::denorm_min()};
      return specials[rng() % 4];
    }
    case 2:
    case 3:
      return std::uniform_real_distribution<double>(-1e3, 1e3)(rng);
    default:
      return bases[rng() % 7] + static_cast<double>(static_cast<int>(rng() % 9) - 4) * 3e-10;
  }
}

bool same_listing(const Pairs& a, const Pairs& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return std::bit_cast<uint64_t>(x.first) == std::bit_cast<uint64_t>(y.first) && x.second == y.second;
  });
}

struct DifferentialCase {
  uint32_t ids;      // ids are drawn from [0, ids)
  size_t max_batch;  // pairs per merge, from 1 up
  int steps;
};

class IntervalTreeDifferentialTest : public ::testing::TestWithParam<DifferentialCase> {};

// Random merges and removals, checked after every step: the listing bit for bit, and
// every operator at every node value, next to it, and at the awkward bounds.
TEST_P(IntervalTreeDifferentialTest, AnswersLikeTheReference) {
  const DifferentialCase& c = GetParam();
  std::mt19937 rng(c.ids * 31 + static_cast<uint32_t>(c.max_batch));
  IntervalTree tree;
  ReferenceTree reference;
  for (int step = 0; step < c.steps; ++step) {
    if (rng() % 4 == 0) {
      Bitmap removed;
      for (size_t k = rng() % (c.max_batch / 4 + 2); k > 0; --k)
        removed.add(static_cast<uint32_t>(rng() % c.ids));
      if (removed.cardinality() == 1) {
        test::remove_id(tree, removed.to_vector()[0]);
      } else {
        tree.remove_ids(removed);
      }
      reference.remove(removed);
    } else {
      Pairs batch(1 + rng() % c.max_batch);
      for (auto& p : batch) p = {awkward_value(rng), static_cast<uint32_t>(rng() % c.ids)};
      tree.merge(batch);
      reference.merge(batch);
    }
    ASSERT_TRUE(same_listing(tree.pairs(), reference.listing)) << "step " << step;
    std::vector<double> probes{NAN, INFINITY, -INFINITY, 0.0, -0.0, 1.0};
    for (size_t k = 0; k < 24 && !reference.listing.empty(); ++k) {
      const double v = reference.listing[rng() % reference.listing.size()].first;
      probes.push_back(v);
      probes.push_back(v + VALUE_TOLERANCE / 2);
      probes.push_back(std::nextafter(v, -INFINITY));
    }
    for (double x : probes) {
      for (const char* op : OPS)
        ASSERT_EQ(range(tree, op, x).to_vector(), reference.query(op, x)) << op << " " << x;
      ASSERT_EQ(tree.exact(x).to_vector(), reference.query("exact", x)) << x;
    }
  }
}

// Small trees (every path of a merge, delta folds, shadowed ids), then trees large
// enough for checkpoints and ranges answered from them.
INSTANTIATE_TEST_SUITE_P(Shapes, IntervalTreeDifferentialTest,
                         ::testing::Values(DifferentialCase{8, 3, 300}, DifferentialCase{60, 12, 300},
                                           DifferentialCase{400, 40, 200}, DifferentialCase{6000, 1500, 24},
                                           DifferentialCase{20000, 6000, 8}));

// ---- Size: linear in the pairs ----

// Checks the tree's own byte count (array capacities plus the bitmaps' size accounting)
// per pair, once built in one go and once merged in batches.
void expect_linear_size(bool correlated, size_t n) {
  std::mt19937_64 rng(9);
  Pairs pairs(n);
  for (uint32_t id = 0; id < n; ++id) {
    const double v = correlated ? 1.7e9 + 0.37 * id : std::uniform_real_distribution<double>(0, 1)(rng);
    pairs[id] = {v, id};
  }
  IntervalTree merged;  // in batches that fold the delta level into main now and then
  const size_t batch = n / 20;
  for (size_t at = 0; at < n; at += batch) {
    merged.merge(std::span<const IntervalTree::Pair>(pairs).subspan(at, std::min(batch, n - at)));
  }
  constexpr size_t MAX_BYTES_PER_PAIR = 48;
  EXPECT_LE(merged.memory_bytes(), MAX_BYTES_PER_PAIR * n) << (correlated ? "correlated" : "random");
  EXPECT_EQ(merged.pair_count(), n);
  IntervalTree built = IntervalTree::build(pairs);
  EXPECT_LE(built.memory_bytes(), MAX_BYTES_PER_PAIR * n) << (correlated ? "correlated" : "random");
  // A few answers, against the sorted values.
  std::vector<double> sorted(n);
  for (size_t i = 0; i < n; ++i) sorted[i] = pairs[i].first;
  std::sort(sorted.begin(), sorted.end());
  for (size_t rank : {n / 1000, n / 10, n / 2}) {
    const double x = sorted[rank];
    EXPECT_EQ(range(built, "$lt", x).cardinality(), rank);
    EXPECT_EQ(range(merged, "$gte", x).cardinality(), n - rank);
    EXPECT_EQ(range(merged, "$lte", x), range(built, "$lte", x));
  }
}

TEST(IntervalTreeSizeTest, AMillionDistinctValuesTakeAFixedNumberOfBytesEach) {
#if defined(__arm__)
  const size_t n = 200000;  // the armhf build runs under an emulator; same bound per pair
#else
  const size_t n = 1000000;
#endif
  expect_linear_size(true, n);
  expect_linear_size(false, n);
}

}  // namespace
}  // namespace tovik
