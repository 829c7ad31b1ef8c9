// Counts at the top of size_t: on the 32-bit target 2 * n already wraps, so every
// derived size must be computed wider or saturated.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "core_impl.hpp"
#include "worker_pool.hpp"

namespace tovik {
namespace {

constexpr size_t MAX = std::numeric_limits<size_t>::max();

struct Range {
  size_t begin = 0, end = 0;
  bool seen = false;
};

// The pieces parallel_chunks hands out for n items, without touching the items.
std::vector<Range> pieces_for(size_t n) {
  std::vector<Range> ranges(piece_count(n));
  std::mutex mutex;
  auto run = parallel_chunks(n, ranges.size(), [&](size_t begin, size_t end, size_t piece) {
    std::lock_guard<std::mutex> lock(mutex);
    ranges.at(piece) = {begin, end, true};
  });
  EXPECT_TRUE(run.ok());
  return ranges;
}

TEST(SizeLimitsTest, WorkerPiecesTileTheWholeRangeAtTheTopOfSizeT) {
  for (size_t n : {MAX, MAX - 1, MAX / 2 + 1, MAX / 3, size_t{UINT32_MAX}}) {
    const std::vector<Range> ranges = pieces_for(n);
    ASSERT_FALSE(ranges.empty());
    size_t expected_begin = 0;
    for (size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_TRUE(ranges[i].seen) << "n=" << n << " piece " << i;
      EXPECT_EQ(ranges[i].begin, expected_begin) << "n=" << n << " piece " << i;
      EXPECT_LT(ranges[i].begin, ranges[i].end) << "n=" << n << " piece " << i;
      expected_begin = ranges[i].end;
    }
    EXPECT_EQ(expected_begin, n) << "n=" << n;
  }
}

TEST(SizeLimitsTest, LargestKKeepsEveryCandidateInOrder) {
  // k = SIZE_MAX must neither wrap k - 1 nor drop anything.
  std::vector<ScoredPair> scored = {{1, 0.5f}, {2, 0.75f}, {3, 0.25f}, {4, 0.75f}};
  select_best(scored, MAX);
  ASSERT_EQ(scored.size(), 4u);
  const uint32_t order[] = {2, 4, 1, 3};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(scored[i].id, order[i]) << i;
  EXPECT_EQ(candidate_limit(MAX), MAX);
  EXPECT_EQ(full_scan_bound(MAX), MAX);
}

}  // namespace
}  // namespace tovik
