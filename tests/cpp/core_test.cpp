#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core_impl.hpp"

namespace tovik {
namespace {

namespace fs = std::filesystem;
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tovik-core-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<uint32_t> ids_of(const std::vector<ScoredPair>& v) {
  std::vector<uint32_t> out;
  for (const auto& p : v) out.push_back(p.id);
  return out;
}

TEST(SelectBestTest, KeepsTheKBestInDescendingStableOrder) {
  struct Case {
    std::vector<ScoredPair> in;
    size_t k;
    std::vector<uint32_t> want;
  };
  const std::vector<Case> cases = {
      {{{1, 0.1f}, {2, 0.9f}, {3, 0.5f}, {4, 0.7f}}, 2, {2, 4}},
      {{{1, 0.1f}, {2, 0.9f}, {3, 0.5f}}, 10, {2, 3, 1}},
      {{{1, 0.5f}, {2, 0.5f}, {3, 0.5f}}, 3, {1, 2, 3}},  // ties keep their order
      {{{1, 0.5f}, {2, 0.9f}}, 0, {}},
      {{}, 5, {}},
  };
  for (const auto& c : cases) {
    auto v = c.in;
    select_best(v, c.k);
    EXPECT_EQ(ids_of(v), c.want);
  }
}

TEST(SelectBestTest, ManyTiesAndNaNsStayInRangeAndKeepTheBest) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<ScoredPair> v;
    const size_t n = 1 + rng() % 300;
    for (size_t i = 0; i < n; ++i) {
      const unsigned r = rng() % 10;
      v.push_back({static_cast<uint32_t>(i), r == 0 ? NaN : static_cast<float>(r % 4)});
    }
    const size_t k = 1 + rng() % n;
    auto got = v;
    select_best(got, k);
    ASSERT_EQ(got.size(), std::min(k, n));
    // No finite score left out may beat a finite score kept.
    float worst_kept = INFINITY;
    for (const auto& p : got) {
      if (!std::isnan(p.score)) worst_kept = std::min(worst_kept, p.score);
    }
    size_t better_outside = 0;
    for (const auto& p : v) {
      bool kept = false;
      for (const auto& q : got) kept = kept || q.id == p.id;
      if (!kept && !std::isnan(p.score) && p.score > worst_kept) ++better_outside;
    }
    if (std::none_of(got.begin(), got.end(), [](const ScoredPair& p) { return std::isnan(p.score); })) {
      EXPECT_EQ(better_outside, 0u);
    }
  }
}

TEST(CandidateLimitTest, SaturatesInsteadOfWrapping) {
  EXPECT_EQ(candidate_limit(0), 1000u);
  EXPECT_EQ(candidate_limit(100), 1000u);
  EXPECT_EQ(candidate_limit(101), 1010u);
  const size_t max = std::numeric_limits<size_t>::max();
  EXPECT_EQ(candidate_limit(max / 10 + 1), max);
  EXPECT_EQ(full_scan_bound(max / 2 + 1), max);
  EXPECT_EQ(full_scan_bound(3), 6u);
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = TovikDB::open(dir_.path() + "/db");
    ASSERT_TRUE(opened.ok());
    db_ = std::move(opened).value();
    db_->TEST_impl().TEST_set_clock([this]() -> Result<uint64_t> {
      if (clock_before_epoch_) return Error::internal("clock before epoch");
      return now_;
    });
    db_->TEST_impl().TEST_set_announce([this](const std::string& line) {
      announced_ += line;
      return true;
    });
  }

  void add(uint32_t id, std::vector<float> v, const std::string& meta = "{}",
           std::optional<int64_t> ttl = std::nullopt) {
    auto r = db_->add(id, v, meta, ttl);
    ASSERT_TRUE(r.ok()) << r.error().message;
  }

  uint64_t count() { return db_->count().value(); }

  TempDir dir_;
  std::unique_ptr<TovikDB> db_;
  uint64_t now_ = 1'700'000'000;
  bool clock_before_epoch_ = false;
  std::string announced_;
};

TEST_F(DatabaseTest, CountFollowsTheIdBoundAndDeletions) {
  EXPECT_EQ(count(), 0u);
  add(9, {1, 0}, R"({"x": "a"})");
  EXPECT_EQ(count(), 10u);
  add(9, {0, 1}, R"({"x": "a"})");
  EXPECT_EQ(count(), 10u);
  auto deleted = db_->delete_matching(R"({"x": {"$eq": "a"}})");
  ASSERT_TRUE(deleted.ok());
  EXPECT_EQ(deleted.value(), 1u);  // id 9 was the only member of the universe
  EXPECT_EQ(count(), 9u);
  add(9, {1, 1});
  EXPECT_EQ(count(), 9u);  // a deleted id stays deleted
}

TEST_F(DatabaseTest, TopIdCountsWithoutOverflow) {
  auto r = db_->add(4294967295u, std::vector<float>{1.0f}, "{}", std::nullopt);
  if (!r.ok()) {
    // Not enough memory for 2^32 slots here: nothing may have changed.
    EXPECT_EQ(r.error().kind, ErrorKind::OutOfMemory);
    EXPECT_EQ(db_->TEST_impl().TEST_id_bound(), 0u);
    EXPECT_EQ(db_->TEST_impl().TEST_dim(), 0u);
    add(1, {1.0f});
    EXPECT_EQ(count(), 2u);
    return;
  }
  EXPECT_EQ(db_->TEST_impl().TEST_id_bound(), 4294967296ull);
  EXPECT_EQ(count(), 4294967296ull);
}

TEST_F(DatabaseTest, DimensionMismatchChangesNothing) {
  add(0, std::vector<float>(4, 1.0f));
  auto r = db_->add(1, std::vector<float>(3, 1.0f), "{}", std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Message);
  EXPECT_EQ(r.error().message, "Dimension mismatch: expected 4, got 3");
  EXPECT_EQ(count(), 1u);
}

TEST_F(DatabaseTest, EmptyVectorLeavesTheDimensionOpen) {
  add(0, {});
  EXPECT_EQ(db_->TEST_impl().TEST_dim(), 0u);
  add(1, {1, 2, 3});
  EXPECT_EQ(db_->TEST_impl().TEST_dim(), 3u);
  EXPECT_EQ(db_->TEST_impl().TEST_lsh().dimension(), 3u);
}

TEST_F(DatabaseTest, InvalidMetadataIsStoredButNotIndexed) {
  auto r = db_->add(3, std::vector<float>{1, 0}, "{\"a\": ", std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Message);
  EXPECT_TRUE(db_->TEST_impl().TEST_filter().TEST_all_ids().contains(3));
  EXPECT_EQ(db_->TEST_impl().TEST_metadata().read_metadata(3).value(), "{\"a\": ");
  EXPECT_TRUE(db_->TEST_impl().TEST_storage().TEST_vector_at(3).has_value());
}

TEST_F(DatabaseTest, ExpiryIsStrictlyBeforeNowAndSaturates) {
  add(0, {1, 0}, "{}", 0);
  add(1, {0, 1}, "{}", std::numeric_limits<int64_t>::min());
  add(2, {1, 1}, "{}", std::numeric_limits<int64_t>::max());
  EXPECT_EQ(db_->TEST_impl().TEST_expiry_of(1).value(), 0u);
  EXPECT_EQ(db_->TEST_impl().TEST_expiry_of(2).value(),
            static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(count(), 2u);  // id 1 expired at once; id 0 lives through its own second
  now_ += 1;
  EXPECT_EQ(count(), 1u);
  EXPECT_TRUE(db_->TEST_impl().TEST_deleted_ids().contains(0));
  EXPECT_FALSE(db_->TEST_impl().TEST_expiry_of(0).has_value());
  now_ = uint64_t{1} << 62;  // far beyond any real clock
  EXPECT_EQ(count(), 1u);    // the saturated expiry has not passed
}

TEST_F(DatabaseTest, ClockBeforeEpochPurgesNothingAndFailsTtlAdds) {
  add(0, {1, 0}, "{}", -5);
  clock_before_epoch_ = true;
  EXPECT_EQ(count(), 1u);
  EXPECT_TRUE(db_->clean_expired().ok());
  auto r = db_->add(1, std::vector<float>{0, 1}, "{}", 10);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Internal);
  clock_before_epoch_ = false;
  EXPECT_EQ(count(), 1u);  // id 0 purged now, id 1 counts (stored before the clock step)
}

TEST_F(DatabaseTest, FullScanTakesLiveIdsInAscendingOrder) {
  // Empty vectors leave the dimension open, so every add replaces the LSH: it ends up
  // holding only the last id and can never supply 2k candidates.
  for (uint32_t id = 0; id < 5000; ++id) add(id, {}, R"({"n": )" + std::to_string(id) + "}");
  ASSERT_EQ(db_->delete_matching(R"({"n": {"$lt": 10}})").value(), 10u);
  Bitmap everything;
  for (uint32_t id = 0; id < 5000; ++id) everything.add(id);

  const auto filtered = db_->TEST_impl().TEST_candidates({}, 5, everything);
  ASSERT_EQ(filtered.size(), 1000u);  // capped at the candidate limit
  EXPECT_EQ(filtered.front(), 10u);   // deleted ids skipped
  EXPECT_EQ(filtered.back(), 1009u);

  const auto unfiltered = db_->TEST_impl().TEST_candidates({}, 5, std::nullopt);
  ASSERT_EQ(unfiltered.size(), 4990u);  // no cap without a filter
  EXPECT_EQ(unfiltered.front(), 10u);
  EXPECT_EQ(unfiltered.back(), 4999u);
}

// The filtered candidates through the bit marks must be those, in the same order, of a
// set look-up per candidate; where the marks would cost more, nothing may change.
TEST_F(DatabaseTest, AdmittedCandidatesThroughMarksEqualLookUps) {
  std::mt19937 rng(7);
  auto draw = [&](uint32_t lo, uint32_t hi, size_t n) {
    std::vector<uint32_t> ids;
    std::uniform_int_distribution<uint32_t> pick(lo, hi);
    for (size_t i = 0; i < n; ++i) ids.push_back(pick(rng));
    return ids;
  };
  auto every = [](uint32_t lo, uint32_t hi, uint32_t step) {
    Bitmap b;
    for (uint64_t id = lo; id <= hi; id += step) b.add(static_cast<uint32_t>(id));
    return b;
  };
  Bitmap runs = every(60000, 70000, 1) | every(4294960000u, 4294967295u, 1);
  runs.compact();
  const std::vector<uint32_t> top = {4294967295u, 4294967264u, 4294967200u, 4294967295u, 4294967263u};
  struct Case {
    std::vector<uint32_t> ids;
    Bitmap admissible;
    bool marks;  // whether the marks are cheaper here
  };
  const std::vector<Case> cases = {
      {draw(0, 39999, 1000), every(3, 39999, 10), true},
      {draw(0, 39999, 1000), every(0, 39999, 1), false},     // too many filter ids in the range
      {draw(64000, 67000, 500), every(0, 131071, 3), true},  // across a container boundary
      {draw(64000, 67000, 500), runs, true},
      {draw(4294960000u, 4294967295u, 1000), runs, true},
      {top, every(4294967263u, 4294967295u, 32), true},  // the last id of all
      {top, Bitmap{}, true},
      {{0, 4000000000u, 17}, every(0, 100, 1), false},  // a range far wider than the candidates
      {{12345}, Bitmap{12345}, true},
  };
  for (const bool with_deleted : {false, true}) {
    for (size_t c = 0; c < cases.size(); ++c) {
      const Case& tc = cases[c];
      Bitmap deleted;
      if (with_deleted) {
        for (size_t i = 0; i < tc.ids.size(); i += 3) deleted.add(tc.ids[i]);
      }
      std::vector<uint32_t> want = tc.ids;
      std::erase_if(want, [&](uint32_t id) { return deleted.contains(id) || !tc.admissible.contains(id); });
      std::vector<uint32_t> ids = tc.ids;
      std::vector<uint32_t> marks(3, 0xFFFFFFFFu);  // stale bits from an earlier search
      const bool used = db_->TEST_impl().TEST_keep_admitted(tc.admissible, ids, marks, deleted);
      EXPECT_EQ(used, tc.marks) << "case " << c;
      EXPECT_EQ(ids, used ? want : tc.ids) << "case " << c << (with_deleted ? " with deletions" : "");
    }
  }
}

// search's batched, parallel scoring must give exactly the scores and order of one
// compute_similarity per id (a full scan: ascending ids before selection).
void expect_search_equals_one_by_one(TovikDB& db, const std::vector<float>& q, uint32_t docs) {
  auto results = db.search(q, docs, std::nullopt, false);
  ASSERT_TRUE(results.ok());
  ASSERT_EQ(results->size(), docs);  // full scan: the LSH cannot supply 2 * docs
  std::vector<ScoredPair> sequential;
  for (uint32_t id = 0; id < docs; ++id)
    sequential.push_back({id, *db.TEST_impl().TEST_storage().compute_similarity(q, id)});
  select_best(sequential, docs);
  for (size_t i = 0; i < sequential.size(); ++i) {
    ASSERT_EQ((*results)[i].id, sequential[i].id) << i;
    ASSERT_EQ(std::memcmp(&(*results)[i].score, &sequential[i].score, sizeof(float)), 0) << i;
  }
}

TEST_F(DatabaseTest, ParallelScoringEqualsSequential) {
  std::mt19937 rng(42);
  std::normal_distribution<float> gauss;
  for (uint32_t id = 0; id < 3000; ++id) {
    std::vector<float> v(16);
    for (auto& x : v) x = gauss(rng);
    add(id, v);
  }
  std::vector<float> q(16);
  for (auto& x : q) x = gauss(rng);
  expect_search_equals_one_by_one(*db_, q, 3000);
}

// Search's kept buffers (candidates, scores, seen-id table, worker pieces), once freed,
// grow again from nothing and give the same results, small k and parallel alike.
TEST_F(DatabaseTest, SearchAfterItsBuffersWereFreedFindsTheSame) {
  std::mt19937 rng(44);
  std::normal_distribution<float> gauss;
  auto vector = [&] {
    std::vector<float> v(16);
    for (auto& x : v) x = gauss(rng);
    return v;
  };
  for (uint32_t id = 0; id < 3000; ++id) add(id, vector());
  const std::vector<float> q = vector();
  for (size_t k : {size_t{10}, size_t{3000}}) {
    const auto kept = db_->search(q, k, std::nullopt, false).value();
    EXPECT_EQ(db_->TEST_impl().TEST_trim_scratch(0), 0u);
    const auto fresh = db_->search(q, k, std::nullopt, false).value();
    ASSERT_EQ(kept.size(), fresh.size());
    for (size_t i = 0; i < kept.size(); ++i) {
      EXPECT_EQ(kept[i].id, fresh[i].id) << k << " " << i;
      EXPECT_EQ(std::memcmp(&kept[i].score, &fresh[i].score, sizeof(float)), 0) << k << " " << i;
    }
  }
}

TEST_F(DatabaseTest, QuantizedParallelScoringEqualsSequential) {
  std::mt19937 rng(43);
  // Short vectors near the unit centroids, so that scores spread over (0, 1).
  std::normal_distribution<float> gauss(0.0f, 0.15f);
  const uint32_t docs = QUANTIZATION_THRESHOLD + 600;
  for (uint32_t id = 0; id < docs; ++id) {
    std::vector<float> v(24);
    for (auto& x : v) x = gauss(rng);
    add(id, v);
  }
  ASSERT_TRUE(db_->TEST_impl().TEST_storage().quantized());
  std::vector<float> q(24);
  for (auto& x : q) x = gauss(rng);
  expect_search_equals_one_by_one(*db_, q, docs);
}

TEST_F(DatabaseTest, QuantizationSwitchesAtTheThresholdAndAnnouncesOnce) {
  std::vector<float> v(768, 0.5f);
  for (uint32_t id = 0; id < 5000; ++id) add(id, v);
  EXPECT_EQ(announced_, "");
  add(5000, v);
  EXPECT_EQ(announced_, "Activating quantization at 5000 vectors...\n");
  EXPECT_TRUE(db_->TEST_impl().TEST_storage().quantized());
  add(5001, v);
  EXPECT_EQ(announced_, "Activating quantization at 5000 vectors...\n");
}

TEST_F(DatabaseTest, DeletedDocumentsNeverComeBack) {
  for (uint32_t id = 0; id < 5; ++id)
    add(id, {1.0f, static_cast<float>(id)}, R"({"n": )" + std::to_string(id) + "}");
  auto deleted = db_->delete_matching(R"({"n": {"$gte": 3}})");
  ASSERT_TRUE(deleted.ok());
  EXPECT_EQ(deleted.value(), 2u);
  EXPECT_EQ(db_->delete_matching(R"({"n": {"$gte": 3}})").value(), 0u);
  auto results = db_->search(std::vector<float>{1, 1}, 10, std::nullopt, true);
  ASSERT_TRUE(results.ok());
  std::vector<uint32_t> ids;
  for (const auto& r : *results) ids.push_back(r.id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(count(), 3u);
}

TEST(DatabaseOpenTest, CreatesParentsAndRefusesAFile) {
  TempDir dir;
  auto nested = TovikDB::open(dir.path() + "/a/b/c/");
  ASSERT_TRUE(nested.ok());
  EXPECT_TRUE(fs::is_directory(dir.path() + "/a/b/c"));
  EXPECT_EQ(nested.value()->TEST_impl().TEST_metadata().file_path(), dir.path() + "/a/b/c/metadata.bin");
  const std::string file = dir.path() + "/plain";
  { std::ofstream(file) << "x"; }
  auto refused = TovikDB::open(file);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "File exists (os error 17)");
}

}  // namespace
}  // namespace tovik
