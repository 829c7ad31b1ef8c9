#include "result.hpp"

#include <gtest/gtest.h>

#include "bitmap.hpp"

namespace tovik {
namespace {

TEST(ResultTest, CarriesValueOrError) {
  Result<int> good = 7;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 7);
  Result<int> bad = Error::msg("nope");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, ErrorKind::Message);
  EXPECT_EQ(bad.error().message, "nope");
  Result<void> oom = Error::oom();
  EXPECT_EQ(oom.error().kind, ErrorKind::OutOfMemory);
}

TEST(BitmapTest, SetOperationsAndOrder) {
  Bitmap a{5, 1, 4294967295u};
  Bitmap b{1, 2};
  EXPECT_EQ((a | b).to_vector(), (std::vector<uint32_t>{1, 2, 5, 4294967295u}));
  EXPECT_EQ((a & b).to_vector(), (std::vector<uint32_t>{1}));
  EXPECT_EQ((a - b).to_vector(), (std::vector<uint32_t>{5, 4294967295u}));
  EXPECT_EQ(a.cardinality(), 3u);
  Bitmap moved = std::move(a);
  EXPECT_TRUE(a.empty());  // NOLINT: moved-from stays usable
  a.add(9);
  EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{9}));
  std::vector<uint32_t> seen;
  moved.for_each([&](uint32_t id) {
    seen.push_back(id);
    return id < 5;
  });
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 5}));
}

}  // namespace
}  // namespace tovik
