#include "bitmap.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <random>
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

// mark_range and range_cardinality against contains, id by id, over windows that start,
// end or cross inside array, bitmap and run containers and at both ends of the id space.
TEST(BitmapTest, MarkRangeAndRangeCardinalityAgreeWithContains) {
  const Bitmap plain = sample();
  Bitmap compacted = sample();
  compacted.compact();
  const Bitmap ends{0, 1, 31, 32, 4294967295u};
  const std::pair<uint32_t, uint32_t> windows[] = {{0, 31},
                                                   {3, 3},
                                                   {64, 70031},
                                                   {69984, 70100},
                                                   {199968, 212000},
                                                   {499968, 500100},
                                                   {599936, 600100},
                                                   {3999999968u, 4000000031u},
                                                   {4294967264u, 4294967295u},
                                                   {0, 200},
                                                   {10, 5}};
  for (const Bitmap* b : std::vector<const Bitmap*>{&plain, &compacted, &ends}) {
    for (const auto& [first, last] : windows) {
      const size_t words = first > last ? 1 : (last - first) / 32 + 1;
      std::vector<uint32_t> marks(words);
      for (size_t w = 0; w < words; ++w) marks[w] = static_cast<uint32_t>(w * 0x9E3779B1u) & 0x01010101u;
      const std::vector<uint32_t> before = marks;
      b->mark_range(first, last, marks.data());
      uint64_t in_range = 0;
      for (uint64_t bit = 0; bit < 32 * uint64_t{words}; ++bit) {
        const uint64_t id = uint64_t{first} + bit;
        const bool inside = first <= last && id <= last && b->contains(static_cast<uint32_t>(id));
        in_range += inside;
        const bool was = (before[bit / 32] >> (bit % 32)) & 1u;
        ASSERT_EQ((marks[bit / 32] >> (bit % 32)) & 1u, was || inside)
            << first << ".." << last << " bit " << bit;
      }
      EXPECT_EQ(b->range_cardinality(first, last), in_range) << first << ".." << last;
    }
  }
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

// The reserve each operation sets aside must cover everything its library call asks
// for: on shapes that make every container kind, grow, convert and split, the bytes
// asked for (each reallocation counted whole, as the reserve pays it) stay within
// the operation's bound.
TEST(BitmapTest, EveryOperationsBoundCoversWhatTheLibraryAsksFor) {
  ASSERT_TRUE(Bitmap::allocations_routed());
  std::mt19937 rng(11);
  auto shape = [&](int kind) {
    Bitmap b;
    const uint32_t base = (rng() % 8) << 16;
    for (int i = 0; i < 20000; ++i) {
      switch (kind) {
        case 0:
          b.add(base + rng() % 300000);
          break;  // bitmaps and arrays
        case 1:
          b.add(base + static_cast<uint32_t>(i) * 37);
          break;  // sparse arrays
        default:
          b.add(base + static_cast<uint32_t>(i));
          break;  // runs once compacted
      }
    }
    if (kind == 2) b.compact();
    return b;
  };
  auto within = [](const char* what, size_t bound, const std::function<void()>& op) {
    const uint64_t before = bitmap_memory::TEST_requested_by_library();
    op();
    EXPECT_LE(bitmap_memory::TEST_requested_by_library() - before, bound) << what;
  };
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      const Bitmap x = shape(a), y = shape(b);
      Bitmap t = x;
      within("or", t.difference_cost(y), [&] { t |= y; });
      t = x;
      within("and", t.difference_cost(y), [&] { t &= y; });
      t = x;
      within("andnot", t.difference_cost(y), [&] { t -= y; });
      within("difference", x.difference_cost(y), [&] { (void)Bitmap::difference(x, y); });
      within("copy", x.difference_cost(Bitmap()), [&] { Bitmap copy = x; });
      t = x;
      for (uint32_t id : {0u, 65535u, 65536u * 3 + 17, 4000000000u})
        within("add", t.add_cost(), [&] { t.add(id); });
    }
  }
}

}  // namespace
}  // namespace tovik
