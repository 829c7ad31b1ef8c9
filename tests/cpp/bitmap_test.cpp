#include "bitmap.hpp"

#include <gtest/gtest.h>

#include <new>
#include <vector>

namespace tovik {
namespace {

// Ids spread over several containers (array, bitmap and run) so that iteration crosses
// container boundaries.
Bitmap sample() {
  Bitmap b{3, 70000, 70001, 4000000000u};
  for (uint32_t id = 200000; id < 210000; id += 2) b.add(id);
  for (uint32_t id = 500000; id < 600000; ++id) b.add(id);
  return b;
}

TEST(BitmapTest, ForEachVisitsAscendingAndStopsWhenAsked) {
  const Bitmap b = sample();
  std::vector<uint32_t> seen;
  b.for_each([&](uint32_t id) {
    seen.push_back(id);
    return true;
  });
  EXPECT_EQ(seen, b.to_vector());
  seen.clear();
  b.for_each([&](uint32_t id) {
    seen.push_back(id);
    return seen.size() < 3;
  });
  EXPECT_EQ(seen, (std::vector<uint32_t>{3, 70000, 70001}));
}

// A callback that runs out of memory must reach the caller as std::bad_alloc, at any
// point of the iteration, and leave the bitmap intact.
TEST(BitmapTest, ForEachLetsTheCallbacksExceptionReachTheCaller) {
  const Bitmap b = sample();
  const std::vector<uint32_t> all = b.to_vector();
  for (size_t throw_at : {size_t{0}, size_t{2}, size_t{4}, size_t{5004}, all.size() - 1}) {
    size_t calls = 0;
    EXPECT_THROW(b.for_each([&](uint32_t) {
      if (calls++ == throw_at) throw std::bad_alloc();
      return true;
    }),
                 std::bad_alloc);
    EXPECT_EQ(calls, throw_at + 1);
  }
  EXPECT_EQ(b.to_vector(), all);
}

}  // namespace
}  // namespace tovik
