#include "filter.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "one_step.hpp"
#include "siphash.hpp"

namespace tovik {
namespace {

using Ids = std::vector<uint32_t>;
using Pairs = std::vector<std::pair<double, uint32_t>>;
using Outcome = std::optional<Ids>;  // std::nullopt: "no result"

// The insert pipeline's part: the id joins the universe, an object is indexed.
void add(FilterEngine& engine, uint32_t id, std::string_view metadata) {
  engine.add_to_universe(id);
  Result<json::Value> doc = json::parse(metadata);
  ASSERT_TRUE(doc.ok()) << metadata;
  if (doc->is_object()) engine.index_object(doc->as_object(), "", id);
}

Outcome run(FilterEngine& engine, std::string_view filter) {
  Result<FilterResult> r = engine.apply_filter(filter);
  EXPECT_TRUE(r.ok()) << filter << ": " << (r.ok() ? "" : r.error().message);
  if (!r.ok() || !r.value()) return std::nullopt;
  return r.value()->to_vector();
}

TEST(HashValueTest, MatchesKnownValueKeys) {
  EXPECT_EQ(hash_value(""), 3476900567878811119ULL);
  EXPECT_EQ(hash_value("red"), 1465750171794556056ULL);
  EXPECT_EQ(hash_value("true"), 2326242343701258586ULL);
  // The trailing 0xFF is part of the message: hashing it explicitly agrees.
  const uint8_t red[] = {'r', 'e', 'd', 0xFF};
  EXPECT_EQ(siphash13(red, sizeof red, 0, 0), hash_value("red"));
  EXPECT_NE(siphash13(red, 3, 0, 0), hash_value("red"));
}

// ---- The filter language over five documents ----

struct FilterCase {
  std::string filter;
  Outcome expected;
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.filter; }

class FilterLanguageTest : public ::testing::TestWithParam<FilterCase> {
 protected:
  void SetUp() override {
    add(engine_, 1, R"({"color": "red", "n": 5})");
    add(engine_, 2, R"({"color": "blue", "n": 7.5})");
    add(engine_, 3, R"({"color": "red", "tag": [1, 2]})");
    add(engine_, 4, R"({"flag": true})");
    add(engine_, 5, R"({"flag": "true", "n": "5"})");
  }
  FilterEngine engine_;
};

TEST_P(FilterLanguageTest, Evaluates) { EXPECT_EQ(run(engine_, GetParam().filter), GetParam().expected); }

const Outcome NONE = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    FiveDocuments, FilterLanguageTest,
    ::testing::Values(
        FilterCase{R"({"color": {"$eq": "red"}})", Ids{1, 3}}, FilterCase{R"({"color": "red"})", NONE},
        FilterCase{R"({"color": {"$ne": "red"}})", Ids{2, 4, 5}},
        FilterCase{R"({"color": {"$ne": "green"}})", NONE}, FilterCase{R"({"color": {"$ne": null}})", NONE},
        FilterCase{R"({"n": {"$eq": 5}})", Ids{1}}, FilterCase{R"({"n": {"$eq": 5.0}})", Ids{1}},
        FilterCase{R"({"n": {"$eq": 5e0}})", Ids{1}}, FilterCase{R"({"n": {"$eq": 6}})", Ids{}},
        FilterCase{R"({"n": {"$eq": "5"}})", Ids{5}}, FilterCase{R"({"n": {"$eq": null}})", NONE},
        FilterCase{R"({"flag": {"$eq": true}})", Ids{4, 5}},
        FilterCase{R"({"flag": {"$eq": "true"}})", Ids{4, 5}},
        FilterCase{R"({"flag": {"$eq": false}})", NONE}, FilterCase{R"({"n": {"$gt": 5}})", Ids{2}},
        FilterCase{R"({"n": {"$gte": 5, "$lt": 7.5}})", Ids{1}},
        FilterCase{R"({"n": {"$lte": 7.5}})", Ids{1, 2}}, FilterCase{R"({"n": {"$gt": "5"}})", NONE},
        FilterCase{R"({"n": {"$gt": 6, "$lt": "9"}})", Ids{2}}, FilterCase{R"({"color": {"$gt": 0}})", NONE},
        FilterCase{R"({"tag": {"$eq": 1}})", NONE}, FilterCase{R"({"tag": {"$eq": [1, 2]}})", NONE},
        FilterCase{R"({"tag": {"$exists": true}})", Ids{3}},
        FilterCase{R"({"missing": {"$exists": false}})", NONE},
        FilterCase{R"({"color": {"$exists": false}})", Ids{4, 5}},
        FilterCase{R"({"color": {"$exists": "yes"}})", NONE},
        FilterCase{R"({"color": {"$exists": true, "$ne": "blue"}})", Ids{1, 3}},
        FilterCase{R"({"color": {"$in": ["red", "green"]}})", Ids{1, 3}},
        FilterCase{R"({"color": {"$in": []}})", Ids{}},
        FilterCase{R"({"color": {"$in": ["green", null]}})", Ids{}},
        FilterCase{R"({"color": {"$in": "red"}})", NONE},
        FilterCase{R"({"color": {"$eq": "blue", "$in": "red"}})", Ids{2}},
        FilterCase{R"({"n": {"$in": [5, 7.5, "5"]}})", Ids{1, 2, 5}},
        FilterCase{R"({"color": {"$nin": []}})", Ids{1, 2, 3, 4, 5}},
        FilterCase{R"({"color": {"$nin": ["red", "green"]}})", Ids{2, 4, 5}},
        FilterCase{R"({"color": {"$nin": "red"}})", NONE},
        FilterCase{R"({"color": {"$eq": "red"}, "n": {"$gt": 6}})", Ids{1, 3}},
        FilterCase{R"({"$and": [{"color": {"$eq": "green"}}, {"n": {"$gt": 6}}]})", Ids{2}},
        FilterCase{R"({"$and": [{"n": {"$eq": 6}}, {"color": {"$eq": "red"}}]})", Ids{}},
        FilterCase{R"({"$and": [{"color": {"$eq": "red"}}, {"n": {"$exists": true}}]})", Ids{1}},
        FilterCase{R"({"$and": [5, {"color": "red"}]})", NONE}, FilterCase{R"({"$and": []})", NONE},
        FilterCase{R"({"$and": {"color": {"$eq": "red"}}})", NONE},
        FilterCase{R"({"$or": [{"color": {"$eq": "green"}}, {"n": {"$lt": 6}}]})", Ids{1}},
        FilterCase{R"({"$or": [{"color": {"$eq": "blue"}}, {"flag": {"$exists": true}}]})", Ids{2, 4, 5}},
        FilterCase{R"({"$or": [{"color": "red"}]})", Ids{}}, FilterCase{R"({"$or": []})", Ids{}},
        FilterCase{R"({"$or": 5})", NONE}, FilterCase{R"({"$not": {"color": {"$eq": "red"}}})", Ids{2, 4, 5}},
        FilterCase{R"({"$not": {"color": {"$eq": "green"}}})", NONE},
        FilterCase{R"({"$not": {"$not": {"n": {"$gt": 5}}}})", Ids{2}},
        FilterCase{R"({"$and": [{"color": {"$eq": "red"}}], "$or": [{"n": {"$gt": 0}}]})", Ids{1, 3}},
        FilterCase{R"({"$or": [{"n": {"$gt": 0}}], "color": {"$eq": "red"}})", Ids{1, 2}},
        FilterCase{R"({"color": {"$regex": "r"}})", NONE},
        FilterCase{R"({"color": {"$regex": "r", "$eq": "blue"}})", Ids{2}},
        FilterCase{R"({"color": {"$EQ": "red"}})", NONE}, FilterCase{R"({"n": {"$LT": 9}})", NONE},
        FilterCase{R"({"n": {}})", NONE}, FilterCase{R"({})", NONE}, FilterCase{"5", NONE},
        FilterCase{R"("color")", NONE}, FilterCase{R"([{"color": {"$eq": "red"}}])", NONE}));

TEST(FilterTest, DottedPathsReachNestedKeys) {
  FilterEngine engine;
  add(engine, 1, R"({"address": {"city": "Oslo", "zip": 150}})");
  add(engine, 2, R"({"address.city": "Oslo", "address": {"zip": 9}})");
  add(engine, 3, R"({"address": "Oslo"})");
  EXPECT_EQ(run(engine, R"({"address.city": {"$eq": "Oslo"}})"), (Ids{1, 2}));
  EXPECT_EQ(run(engine, R"({"address.zip": {"$lt": 100}})"), (Ids{2}));
  EXPECT_EQ(run(engine, R"({"address": {"$exists": true}})"), (Ids{1, 2, 3}));
  EXPECT_EQ(run(engine, R"({"address": {"$eq": "Oslo"}})"), (Ids{3}));
}

TEST(FilterTest, ParseErrorsAreReportedAfterTheFlush) {
  FilterEngine engine;
  add(engine, 1, R"({"n": 1})");
  Result<FilterResult> r = engine.apply_filter("{\"n\": {\"$gt\": 0}");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "EOF while parsing an object at line 1 column 16");
  EXPECT_TRUE(engine.TEST_pending_pairs("n").empty());
  EXPECT_EQ(engine.TEST_tree_pairs("n"), (Pairs{{1.0, 1}}));
  EXPECT_EQ(engine.apply_filter("x").error().message, "expected value at line 1 column 1");
}

// ---- Indexing ----

TEST(FilterIndexTest, RecordsExistenceForEveryKeyAndNumbersAsPending) {
  FilterEngine engine;
  add(engine, 7, R"({"a": {"b": 1}, "c": null, "d": [1, 2], "e": {}})");
  for (const char* path : {"a", "a.b", "c", "d", "e"})
    EXPECT_EQ(engine.TEST_exists_bitmap(path), Bitmap{7}) << path;
  EXPECT_FALSE(engine.TEST_exists_bitmap("d.0"));
  EXPECT_FALSE(engine.TEST_exists_bitmap("b"));
  EXPECT_EQ(engine.TEST_pending_pairs("a.b"), (Pairs{{1.0, 7}}));
  EXPECT_TRUE(engine.TEST_pending_pairs("d").empty());
  EXPECT_FALSE(engine.TEST_tree_pairs("a.b"));  // not merged before an evaluation
  EXPECT_FALSE(engine.TEST_inverted_bitmap("c", hash_value("null")));
}

TEST(FilterIndexTest, DottedKeysAndNestingShareAPath) {
  FilterEngine engine;
  add(engine, 1, R"({"a.b": "x"})");
  add(engine, 2, R"({"a": {"b": "x"}})");
  add(engine, 3, R"({"": {"b": 1}})");
  add(engine, 7, R"({"a.b": 1, "a": {"b": 2}})");
  EXPECT_EQ(engine.TEST_inverted_bitmap("a.b", hash_value("x")), (Bitmap{1, 2}));
  EXPECT_EQ(engine.TEST_exists_bitmap(""), Bitmap{3});
  EXPECT_EQ(engine.TEST_pending_pairs("b"), (Pairs{{1.0, 3}}));
  // "a" sorts before "a.b", so the nested value arrives first.
  EXPECT_EQ(engine.TEST_pending_pairs("a.b"), (Pairs{{2.0, 7}, {1.0, 7}}));
}

// Paths are interned in segments; every answer must be what whole dotted texts, built by
// the flattening rule, would give. Random documents over keys full of dots and empty
// segments, checked path by path against a model keyed by the texts themselves.
TEST(FilterIndexTest, InternedPathsAnswerLikeWholeTexts) {
  const char* keys[] = {"", ".", "a", "a.", ".a", "a..b", "b", "a.b", "..", "b.a"};
  std::mt19937 gen(5);
  std::function<std::string(int)> object = [&](int depth) {
    std::string text = "{";
    for (int n = static_cast<int>(gen() % 4); n > 0; --n) {
      text += std::string("\"") + keys[gen() % std::size(keys)] + "\": ";
      const unsigned kind = depth > 0 ? gen() % 4 : gen() % 3;
      text += kind == 0   ? "\"x\""
              : kind == 1 ? std::to_string(gen() % 3)
              : kind == 2 ? "null"
                          : object(depth - 1);
      if (n > 1) text += ", ";
    }
    return text + "}";
  };
  std::map<std::string, std::set<uint32_t>> exists, strings;
  std::map<std::string, Pairs> numbers;
  std::function<void(const json::Object&, const std::string&, uint32_t)> model =
      [&](const json::Object& o, const std::string& prefix, uint32_t id) {
        for (const auto& [key, value] : o) {
          const std::string path = prefix.empty() ? key : prefix + "." + key;
          exists[path].insert(id);
          if (value.is_string()) strings[path].insert(id);
          if (value.is_number()) numbers[path].emplace_back(value.as_double(), id);
          if (value.is_object()) model(value.as_object(), path, id);
        }
      };
  FilterEngine engine;
  for (uint32_t id = 0; id < 300; ++id) {
    const std::string text = object(3);
    add(engine, id, text);
    model(json::parse(text)->as_object(), "", id);
  }
  auto ids_of = [](const FilterResult& r) { return r ? Outcome(r->to_vector()) : std::nullopt; };
  auto model_ids = [](const std::map<std::string, std::set<uint32_t>>& m, const std::string& path) {
    const auto it = m.find(path);
    return it == m.end() ? std::nullopt : Outcome(Ids(it->second.begin(), it->second.end()));
  };
  std::set<std::string> probes = {"c", "a.c", "...", "a.b.a.b.a.b.a.b", "b..a"};
  for (const auto& [path, ids] : exists) probes.insert(path);
  for (const std::string& path : probes) {
    EXPECT_EQ(ids_of(engine.TEST_exists_bitmap(path)), model_ids(exists, path)) << '"' << path << '"';
    EXPECT_EQ(ids_of(engine.TEST_inverted_bitmap(path, hash_value("x"))), model_ids(strings, path)) << path;
    EXPECT_EQ(engine.TEST_pending_pairs(path), numbers[path]) << path;
  }
  EXPECT_GT(exists.size(), 50u);  // the documents did reach deep, odd paths
}

TEST(FilterIndexTest, BooleansShareStringKeysAndNumbersAreFloats) {
  FilterEngine engine;
  add(engine, 1, R"({"flag": true, "n": 5})");
  add(engine, 2, R"({"flag": "true", "n": 5.0})");
  add(engine, 3, R"({"flag": false, "n": 5e0})");
  add(engine, 4, R"({"n": "5"})");
  EXPECT_EQ(engine.TEST_inverted_bitmap("flag", hash_value("true")), (Bitmap{1, 2}));
  EXPECT_EQ(engine.TEST_inverted_bitmap("flag", hash_value("false")), Bitmap{3});
  EXPECT_EQ(engine.TEST_pending_pairs("n"), (Pairs{{5.0, 1}, {5.0, 2}, {5.0, 3}}));
  EXPECT_EQ(engine.TEST_inverted_bitmap("n", hash_value("5")), Bitmap{4});
}

TEST(FilterIndexTest, IndexingAnIdAgainKeepsItsOldValues) {
  FilterEngine engine;
  add(engine, 1, R"({"color": "red", "n": 1})");
  add(engine, 1, R"({"color": "blue", "n": 3})");
  EXPECT_EQ(run(engine, R"({"color": {"$eq": "red"}})"), (Ids{1}));
  EXPECT_EQ(run(engine, R"({"color": {"$eq": "blue"}})"), (Ids{1}));
  EXPECT_EQ(run(engine, R"({"n": {"$lt": 2}})"), (Ids{1}));
  EXPECT_EQ(run(engine, R"({"n": {"$gt": 2}})"), (Ids{}));  // 1 is at its smallest value
}

TEST(FilterIndexTest, PathsMergeIntoTheirTreeAtTheLimit) {
  FilterEngine engine;
  const uint32_t limit = static_cast<uint32_t>(PENDING_NUMERIC_LIMIT);
  auto index_n = [&](uint32_t id) { engine.index_object(json::Object{{"n", id}, {"m", id}}, "", id); };
  for (uint32_t id = 0; id < limit - 1; ++id) index_n(id);
  EXPECT_EQ(engine.TEST_pending_pairs("n").size(), limit - 1);
  EXPECT_FALSE(engine.TEST_tree_pairs("n"));
  index_n(limit - 1);
  EXPECT_TRUE(engine.TEST_pending_pairs("n").empty());
  EXPECT_EQ(engine.TEST_tree_pairs("n")->size(), limit);
  for (uint32_t id = limit; id < 2 * limit; ++id) index_n(id);
  EXPECT_TRUE(engine.TEST_pending_pairs("n").empty());
  Pairs merged = *engine.TEST_tree_pairs("n");
  ASSERT_EQ(merged.size(), 2 * limit);  // the earlier merge is kept
  EXPECT_EQ(merged.front(), (std::pair<double, uint32_t>{0.0, 0}));
  EXPECT_EQ(merged.back(), (std::pair<double, uint32_t>{2.0 * limit - 1, 2 * limit - 1}));
  EXPECT_TRUE(engine.TEST_pending_pairs("m").empty());
}

// ---- Removal ----

TEST(FilterRemovalTest, RemovedIdLeavesEveryIndexButPathsStay) {
  FilterEngine engine;
  add(engine, 7, R"({"color": "red", "n": 1, "a": {"m": 2}})");
  add(engine, 8, R"({"color": "red", "m": 3})");
  engine.flush_pending_numeric();
  add(engine, 7, R"({"late": 4})");  // still pending when removed
  test::remove_document(engine, 7);
  EXPECT_EQ(engine.TEST_all_ids(), Bitmap{8});
  EXPECT_EQ(engine.TEST_inverted_bitmap("color", hash_value("red")), Bitmap{8});
  EXPECT_EQ(engine.TEST_exists_bitmap("n"), Bitmap{});  // path kept, set empty
  EXPECT_EQ(engine.TEST_tree_pairs("n"), Pairs{});      // tree kept, now empty
  EXPECT_TRUE(engine.TEST_pending_pairs("late").empty());
  EXPECT_EQ(run(engine, R"({"n": {"$lt": 5}})"), Ids{});
  EXPECT_EQ(run(engine, R"({"a.m": {"$eq": 2}})"), Ids{});
  EXPECT_EQ(run(engine, R"({"late": {"$gt": 0}})"), NONE);  // its only value was dropped unmerged
  EXPECT_EQ(run(engine, R"({"color": {"$ne": "blue"}})"), NONE);
  EXPECT_EQ(run(engine, R"({"n": {"$exists": false}})"), (Ids{8}));
  EXPECT_EQ(run(engine, R"({"$not": {"m": {"$gt": 0}}})"), (Ids{}));
}

TEST(FilterRemovalTest, RemovingAnUnknownIdChangesNothing) {
  FilterEngine engine;
  add(engine, 1, R"({"c": "x", "n": 1})");
  test::remove_document(engine, 99);
  engine.remove_documents(Bitmap{98, 99});
  engine.remove_documents(Bitmap{});
  EXPECT_EQ(engine.TEST_all_ids(), Bitmap{1});
  EXPECT_EQ(engine.TEST_pending_pairs("n"), (Pairs{{1.0, 1}}));
  EXPECT_EQ(run(engine, R"({"c": {"$eq": "x"}})"), (Ids{1}));
}

TEST(FilterRemovalTest, ANumericDeleteRunTwiceFindsNothingTheSecondTime) {
  FilterEngine engine;
  for (uint32_t id = 0; id < 20; ++id) add(engine, id, "{\"price\": " + std::to_string(id) + "}");
  const char* filter = R"({"price": {"$gte": 15}})";
  Result<FilterResult> first = engine.apply_filter(filter);
  ASSERT_TRUE(first.ok() && first.value());
  EXPECT_EQ(first.value()->cardinality(), 5u);
  engine.remove_documents(*first.value());
  EXPECT_EQ(run(engine, filter), Ids{});
  EXPECT_EQ(engine.TEST_all_ids().cardinality(), 15u);
}

// A random collection with well-separated numbers, so that the values a tree keeps
// for an id never depend on other documents' values within the tolerance.
std::vector<std::string> random_documents(std::mt19937& rng, size_t count) {
  const char* colors[] = {"red", "green", "blue"};
  std::uniform_int_distribution<int> pick(0, 5);
  std::vector<std::string> docs;
  for (size_t i = 0; i < count; ++i) {
    std::string d = "{";
    if (pick(rng) > 0) d += R"("color": ")" + std::string(colors[pick(rng) % 3]) + "\",";
    if (pick(rng) > 1) d += "\"n\": " + std::to_string(pick(rng) * 0.5) + ",";
    if (pick(rng) > 2) d += R"("s": {"k": )" + std::to_string(pick(rng)) + R"(, "on": true},)";
    if (pick(rng) == 0) d += R"("only": "rare",)";
    d += R"("tag": [1]})";
    docs.push_back(d);
  }
  return docs;
}

std::vector<std::string> probe_filters() {
  std::vector<std::string> f = {R"({"only": {"$exists": false}})",
                                R"({"only": {"$ne": "rare"}})",
                                R"({"tag": {"$exists": false}})",
                                R"({"$not": {"s.on": {"$eq": true}}})",
                                R"({"color": {"$nin": ["red"]}})",
                                R"({"$or": [{"n": {"$gt": 1}}, {"color": {"$in": ["blue"]}}]})",
                                R"({"$and": [{"s.k": {"$gte": 2}}, {"color": {"$ne": "green"}}]})"};
  for (const char* op : {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte"}) {
    for (const char* x : {"0", "1", "1.5", "2.5", "9"}) {
      f.push_back(std::string(R"({"n": {")") + op + "\": " + x + "}}");
      f.push_back(std::string(R"({"s.k": {")") + op + "\": " + x + "}}");
    }
  }
  return f;
}

// Removal must leave the engine answering as if the removed documents had never been
// added, per id and in one batch. (No result and the empty set both match nothing;
// the collection is large enough that every path and value probed survives in some
// document, since keys only ever seen in removed documents stay known.)
TEST(FilterRemovalTest, RemovalAnswersLikeNeverHavingIndexed) {
  std::mt19937 rng(3);
  for (int round = 0; round < 6; ++round) {
    std::vector<std::string> docs = random_documents(rng, 300);
    Bitmap removed;
    for (uint32_t id = 0; id < docs.size(); ++id) {
      if (rng() % 3 == 0) removed.add(id);
    }
    FilterEngine per_id, batch, survivors;
    for (uint32_t id = 0; id < docs.size(); ++id) {
      add(per_id, id, docs[id]);
      add(batch, id, docs[id]);
      if (!removed.contains(id)) add(survivors, id, docs[id]);
      if (id == 150 && round % 2 == 0) {  // half the rounds remove some merged values
        per_id.flush_pending_numeric();
        batch.flush_pending_numeric();
      }
    }
    removed.for_each([&](uint32_t id) {
      test::remove_document(per_id, id);
      return true;
    });
    batch.remove_documents(removed);
    for (const std::string& filter : probe_filters()) {
      const Ids expected = run(survivors, filter).value_or(Ids{});
      EXPECT_EQ(run(per_id, filter).value_or(Ids{}), expected) << filter;
      EXPECT_EQ(run(batch, filter), run(per_id, filter)) << filter;
    }
    EXPECT_EQ(batch.TEST_tree_pairs("n"), per_id.TEST_tree_pairs("n"));
    EXPECT_EQ(batch.TEST_tree_pairs("s.k"), per_id.TEST_tree_pairs("s.k"));
  }
}

// Reads interleaved with writes (one call at a time: the engine is externally
// synchronised); the end state must be the one the writes describe.
TEST(FilterInterleavingTest, ReadsBetweenWritesLeaveTheWrittenState) {
  FilterEngine engine;
  constexpr uint32_t N = 3000;
  const char* filters[] = {R"({"c": {"$exists": false}})", R"({"n": {"$gte": 50}})",
                           R"({"$not": {"c": {"$eq": "odd"}}})", R"({"c": {"$nin": ["even"]}})"};
  for (uint32_t id = 0; id < N; ++id) {
    add(engine, id,
        "{\"n\": " + std::to_string(id % 100) + ", \"c\": \"" + (id % 2 ? "odd" : "even") + "\"}");
    if (id % 10 == 9) test::remove_document(engine, id);
    if (id % 15 == 0) {
      ASSERT_TRUE(engine.apply_filter(filters[id / 15 % 4]).ok());
    }
  }
  Outcome high = run(engine, R"({"n": {"$gte": 50}})");
  ASSERT_TRUE(high);
  EXPECT_EQ(high->size(), N / 2 - N / 20);  // half have n >= 50; a tenth of those removed
  for (uint32_t id : *high) EXPECT_TRUE(id % 100 >= 50 && id % 10 != 9) << id;
}

}  // namespace
}  // namespace tovik
