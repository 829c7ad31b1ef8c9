#include "interval_tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace tovik {
namespace {

using Pairs = std::vector<std::pair<double, uint32_t>>;
using Ids = std::vector<uint32_t>;

const char* const OPS[] = {"$lt", "$lte", "$gt", "$gte"};

TEST(IntervalTreeTest, EmptyTreeAnswersEverythingWithTheEmptySet) {
  IntervalTree tree = IntervalTree::build({});
  EXPECT_TRUE(tree.nodes().empty());
  for (const char* op : OPS) EXPECT_TRUE(tree.range_query(op, 1.0).empty()) << op;
  EXPECT_TRUE(tree.exact(1.0).empty());
  EXPECT_TRUE(tree.pairs().empty());
  EXPECT_TRUE(tree.all().empty());
}

TEST(IntervalTreeTest, NodesAreCumulative) {
  IntervalTree tree = IntervalTree::build({{3.0, 1}, {1.0, 2}, {2.0, 3}, {1.0, 4}});
  ASSERT_EQ(tree.nodes().size(), 3u);
  EXPECT_EQ(tree.nodes()[0].value, 1.0);
  EXPECT_EQ(tree.nodes()[0].ids.to_vector(), (Ids{2, 4}));
  EXPECT_EQ(tree.nodes()[1].value, 2.0);
  EXPECT_EQ(tree.nodes()[1].ids.to_vector(), (Ids{2, 3, 4}));
  EXPECT_EQ(tree.nodes()[2].value, 3.0);
  EXPECT_EQ(tree.nodes()[2].ids.to_vector(), (Ids{1, 2, 3, 4}));
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
  Bitmap got = c.op == "exact" ? tree.exact(c.x) : tree.range_query(c.op, c.x);
  EXPECT_EQ(got.to_vector(), c.expected) << c.op << " " << c.x;
}

INSTANTIATE_TEST_SUITE_P(
    Queries, IntervalTreeQueryTest,
    ::testing::Values(QueryCase{"$lt", 2.0, {2, 4}}, QueryCase{"$lte", 2.0, {2, 3, 4}},
                      QueryCase{"$gt", 2.0, {1}}, QueryCase{"$gte", 2.0, {1, 3}},
                      QueryCase{"$gt", 0.5, {1, 2, 3, 4}}, QueryCase{"$lt", 0.5, {}},
                      QueryCase{"$gte", 3.5, {}}, QueryCase{"$lte", 3.0, {1, 2, 3, 4}},
                      QueryCase{"$lt", 1.0, {}}, QueryCase{"$gte", 1.0, {1, 2, 3, 4}},
                      QueryCase{"$lt", INFINITY, {1, 2, 3, 4}}, QueryCase{"$gt", -INFINITY, {1, 2, 3, 4}},
                      QueryCase{"$lt", NAN, {}}, QueryCase{"$gte", NAN, {}},
                      QueryCase{"$eq", 2.0, {}}, QueryCase{"$LT", 2.0, {}},
                      QueryCase{"exact", 2.0, {3}}, QueryCase{"exact", 1.0, {2, 4}},
                      QueryCase{"exact", 3.0, {1}}, QueryCase{"exact", 2.5, {}}));

TEST(IntervalTreeTest, SameIdAtSameValueIsHeldOnce) {
  IntervalTree tree = IntervalTree::build({{1.0, 7}, {1.0, 7}});
  ASSERT_EQ(tree.nodes().size(), 1u);
  EXPECT_EQ(tree.pairs(), (Pairs{{1.0, 7}}));
}

TEST(IntervalTreeTest, IdAtTwoValuesBelongsFromItsLowerValueOn) {
  IntervalTree tree = IntervalTree::build({{3.0, 7}, {1.0, 7}});
  EXPECT_EQ(tree.range_query("$lt", 2.0).to_vector(), (Ids{7}));
  EXPECT_TRUE(tree.range_query("$gt", 2.0).empty());
  EXPECT_TRUE(tree.exact(3.0).empty());  // node 3.0 adds nothing new
  EXPECT_EQ(tree.pairs(), (Pairs{{1.0, 7}}));
}

TEST(IntervalTreeTest, GroupsAreMeasuredFromTheirFirstValue) {
  IntervalTree chain = IntervalTree::build({{1.0000000012, 3}, {1.0, 1}, {1.0000000006, 2}});
  ASSERT_EQ(chain.nodes().size(), 2u);
  EXPECT_EQ(chain.nodes()[0].value, 1.0);
  EXPECT_EQ(chain.nodes()[0].ids.to_vector(), (Ids{1, 2}));
  EXPECT_EQ(chain.nodes()[1].value, 1.0000000012);

  IntervalTree tree = IntervalTree::build({{1.0000000005, 2}, {1.0, 1}});
  ASSERT_EQ(tree.nodes().size(), 1u);
  EXPECT_EQ(tree.range_query("$lt", 1.0000000003).to_vector(), (Ids{1, 2}));
  EXPECT_EQ(tree.exact(1.0).to_vector(), (Ids{1, 2}));
  EXPECT_TRUE(tree.exact(1.0000000005).empty());
}

TEST(IntervalTreeTest, NanPairsAreLeftOutAndInfinitiesGroup) {
  IntervalTree tree = IntervalTree::build({{NAN, 1}, {INFINITY, 2}, {INFINITY, 3}, {-INFINITY, 4}});
  ASSERT_EQ(tree.nodes().size(), 2u);
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
    for (const auto& node : t->nodes()) {
      for (double d : {-VALUE_TOLERANCE, -VALUE_TOLERANCE / 2, 0.0, VALUE_TOLERANCE / 2}) probes.push_back(node.value + d);
    }
  }
  for (double x : probes) {
    for (const char* op : OPS) EXPECT_EQ(a.range_query(op, x), b.range_query(op, x)) << op << " " << x;
    EXPECT_EQ(a.exact(x), b.exact(x)) << x;
  }
}

TEST(IntervalTreeTest, NodeValuesAscendByAtLeastTheTolerance) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    IntervalTree tree = IntervalTree::build(random_pairs(rng, 200));
    const auto& nodes = tree.nodes();
    for (size_t i = 1; i < nodes.size(); ++i) {
      EXPECT_GE(nodes[i].value - nodes[i - 1].value, VALUE_TOLERANCE);
      EXPECT_TRUE((nodes[i - 1].ids - nodes[i].ids).empty());  // cumulative: earlier sets included
    }
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
      one_by_one.remove_id(x);
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
  EXPECT_TRUE(tree.nodes().empty());
  one_by_one.remove_id(2);
  one_by_one.remove_id(1);
  EXPECT_TRUE(one_by_one.nodes().empty());
  EXPECT_TRUE(tree.range_query("$gte", 0.0).empty());
}

}  // namespace
}  // namespace tovik
