// Per-id tables, the expiry index and add's all-or-nothing allocation: each checked
// against a plain model, and add under an allocation failure injected at every step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "alloc_fault.hpp"
#include "core_impl.hpp"
#include "expiry_index.hpp"
#include "zeroed_array.hpp"

namespace tovik {
namespace {

TEST(ZeroedArrayTest, MatchesAZeroFilledVectorThroughGrowthShrinkingAndCopies) {
  std::mt19937 rng(11);
  ZeroedArray<uint64_t> array;
  std::vector<uint64_t> model;
  for (int step = 0; step < 4000; ++step) {
    const uint32_t op = rng() % 10;
    if (op < 6 && !model.empty()) {
      const size_t i = rng() % model.size();
      model[i] = rng() | 1;
      array.set(i, model[i]);
    } else if (op < 8) {
      const size_t n = model.size() + rng() % (step % 500 == 0 ? 200000 : 300);
      model.resize(n, 0);
      array.resize(n);
    } else if (op < 9) {
      const size_t n = model.empty() ? 0 : rng() % model.size();
      model.resize(n);
      array.resize(n);  // the dropped tail must read as zero when it comes back
    } else {
      ZeroedArray<uint64_t> copy = array;
      array = std::move(copy);
    }
    ASSERT_EQ(array.size(), model.size());
    ASSERT_GE(array.capacity(), array.size());
    if (step % 97 == 0 || op == 8) {
      ASSERT_TRUE(std::equal(model.begin(), model.end(), array.data())) << step;
    }
  }
}

TEST(ZeroedArrayTest, ImpossibleReservationsThrowAndChangeNothing) {
  ZeroedArray<uint32_t> array;
  array.resize(10);
  array.set(9, 7);
  for (uint64_t count : {ZeroedArray<uint32_t>::MAX_SIZE + 1, uint64_t{UINT64_MAX}}) {
    EXPECT_THROW(array.reserve(count), std::bad_alloc);
    EXPECT_EQ(array.size(), 10u);
    EXPECT_EQ(array[9], 7u);
  }
}

TEST(ExpiryIndexTest, PurgesExactlyWhatAPlainMapWouldAcrossReplacementsAndPutBacks) {
  std::mt19937 rng(5);
  ExpiryIndex index;
  std::map<uint32_t, uint64_t> model;
  uint64_t now = 100;
  for (int step = 0; step < 20000; ++step) {
    if (rng() % 4 != 0) {
      const uint32_t id = rng() % 300;
      const uint64_t expiry = now - 5 + rng() % 40;  // some already past, many replaced
      index.reserve_for(id);
      index.set(id, expiry);
      model[id] = expiry;
    } else {
      now += rng() % 3;
      std::vector<uint32_t> want;
      for (const auto& [id, expiry] : model) {
        if (expiry < now) want.push_back(id);
      }
      ExpiryIndex::Taken taken = index.take_before(now);
      ASSERT_EQ(taken.ids.to_vector(), want) << step;
      if (rng() % 3 == 0) {  // a purge that could not remove them: nothing taken
        index.put_back(taken);
      } else {
        index.forget(taken);
        for (uint32_t id : want) model.erase(id);
      }
    }
    ASSERT_EQ(index.size(), model.size());
    const uint32_t probe = rng() % 300;
    const auto it = model.find(probe);
    ASSERT_EQ(index.expiry_of(probe), it == model.end() ? std::nullopt : std::optional<uint64_t>(it->second));
  }
}

class TempDb {
 public:
  TempDb() {
    char tmpl[] = "/tmp/tovik-perid-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    db = std::move(TovikDB::open(path_).value());
    db->TEST_impl().TEST_set_clock([] { return Result<uint64_t>(uint64_t{1000}); });
    db->TEST_impl().TEST_set_announce({});
  }
  ~TempDb() { std::filesystem::remove_all(path_); }
  std::unique_ptr<TovikDB> db;

 private:
  std::string path_;
};

TEST(FullScanTest, VisitsOnlyStoredLiveIds) {
  TempDb t;
  for (uint32_t id : {3u, 70000u, 100000000u})
    ASSERT_TRUE(t.db->add(id, std::vector<float>{1, 0}, "{\"d\": 1}", {}).ok());
  EXPECT_EQ(t.db->TEST_impl().TEST_candidates(std::vector<float>{1, 0}, 10, std::nullopt),
            (std::vector<uint32_t>{3, 70000, 100000000}));
  ASSERT_TRUE(t.db->add(5, std::vector<float>{1, 0}, "{}", -1).ok());  // expires at the purge
  ASSERT_EQ(t.db->delete_matching(R"({"d": {"$eq": 1}})").value(), 3u);
  ASSERT_TRUE(t.db->clean_expired().ok());
  EXPECT_TRUE(t.db->TEST_impl().TEST_candidates(std::vector<float>{1, 0}, 10, std::nullopt).empty());
}

#if TOVIK_INJECT_ALLOC
// Everything a caller can observe of the database.
struct Snapshot {
  uint64_t id_bound, count, filed;
  uint32_t dim;
  bool quantized;
  std::vector<std::tuple<uint32_t, float, std::string>> found;
  std::optional<uint64_t> expiry;
  uintmax_t file_size;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(TovikDB& db, const std::string& dir, uint32_t id) {
  std::error_code missing;  // no file before the first add
  const uintmax_t size = std::filesystem::file_size(dir + "/metadata.bin", missing);
  Snapshot s{db.TEST_impl().TEST_id_bound(),
             db.count().value(),
             db.TEST_impl().TEST_lsh().TEST_filed_count(),
             db.TEST_impl().TEST_dim(),
             db.TEST_impl().TEST_storage().quantized(),
             {},
             db.TEST_impl().TEST_expiry_of(id),
             missing ? 0 : size};
  const std::vector<float> query(4, 1.0f);
  for (const std::optional<std::string_view> filter :
       {std::optional<std::string_view>(), std::optional<std::string_view>(R"({"k": {"$gte": 0}})")}) {
    auto found = db.search(query, 3, filter, true);
    EXPECT_TRUE(found.ok());
    if (!found.ok()) continue;
    for (const ResultTuple& r : found.value()) s.found.emplace_back(r.id, r.score, r.metadata);
  }
  return s;
}

// Runs add(id) with the n-th allocation failing, for every n until add succeeds (or,
// with a stride, a sample of them). A failure must change nothing, except the one
// documented case: running out inside field indexing, after the document is stored.
void fail_each_allocation_of_add(uint32_t preloaded, uint32_t id, long stride) {
  for (long n = 0;; n += stride) {
    TempDb t;
    std::string dir = std::filesystem::path(t.db->TEST_impl().TEST_metadata().file_path()).parent_path();
    for (uint32_t i = 0; i < preloaded; ++i) {
      ASSERT_TRUE(t.db->add(i, std::vector<float>{1, float(i % 7), 0, 1}, "{\"k\": 1}", 3600).ok());
    }
    const Snapshot before = snapshot(*t.db, dir, id);
    const std::vector<float> vector{1, 1, 1, 1};
    test::alloc_countdown = n;
    const Result<void> r = t.db->add(id, vector, R"({"k": 2, "s": "x", "a": [1, {"b": 2}]})", 60);
    const bool injected = test::alloc_countdown < 0;
    test::alloc_countdown = -1;
    if (!injected) {
      ASSERT_TRUE(r.ok()) << n;
      return;  // add needed fewer allocations than n: all of them were tried
    }
    if (r.ok()) continue;  // the failure hit an allocation add could do without
    ASSERT_EQ(r.error().kind, ErrorKind::OutOfMemory) << n << ": " << r.error().message;
    const Snapshot after = snapshot(*t.db, dir, id);
    if (after.file_size != before.file_size) {  // field indexing: stored and counted, no new expiry
      EXPECT_TRUE(t.db->TEST_impl().TEST_stored_ids().contains(id)) << n;
      EXPECT_EQ(after.expiry, before.expiry) << n;
      continue;
    }
    EXPECT_TRUE(after == before) << "allocation " << n;
  }
}

TEST(AddAllocationFailureTest, FirstAddLeavesAFreshDatabaseEmpty) { fail_each_allocation_of_add(0, 7, 1); }
TEST(AddAllocationFailureTest, NewIdAndReplacedIdLeaveTheDatabaseUnchanged) {
  fail_each_allocation_of_add(40, 60, 1);
  fail_each_allocation_of_add(40, 12, 1);
}
TEST(AddAllocationFailureTest, FailedSwitchToQuantizationLeavesTheDatabaseUnchanged) {
  // The switch allocates some 20,000 times (training, encoding): a spread sample.
  fail_each_allocation_of_add(QUANTIZATION_THRESHOLD, QUANTIZATION_THRESHOLD, 2729);
}
#endif

}  // namespace
}  // namespace tovik
