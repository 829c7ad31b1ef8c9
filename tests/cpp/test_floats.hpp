// The pseudo-random float source the bit-exactness tests share: the same sequence on
// every platform, ordinary values with NaN, infinities, signed zeros, subnormals and
// values that overflow when squared mixed in.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace tovik {

// Deterministic on every platform: floats built from integers only, with special
// values mixed in.
class FloatSource {
 public:
  explicit FloatSource(uint32_t seed) : s_(seed) {}
  uint32_t next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 17;
    s_ ^= s_ << 5;
    return s_;
  }
  float value() {
    const uint32_t r = next();
    switch (r % 50) {
      case 0:
        return std::numeric_limits<float>::quiet_NaN();
      case 1:
        return std::numeric_limits<float>::infinity();
      case 2:
        return -std::numeric_limits<float>::infinity();
      case 3:
      case 4:
        return 0.0f;
      case 5:
        return -0.0f;
      case 6:
        return std::bit_cast<float>(r >> 9);  // positive subnormal
      case 7:
        return -std::bit_cast<float>(r >> 9);  // negative subnormal
      case 8:
        return static_cast<float>(r % 1000) * 1.0e30f;  // overflow when squared
      default:
        return static_cast<float>(static_cast<int32_t>(r % 200001) - 100000) / 997.0f;
    }
  }
  // Mostly ordinary values, specials only in the given share (out of 50).
  std::vector<float> vector(std::size_t n, bool specials = true) {
    std::vector<float> v(n);
    for (float& x : v) {
      x = value();
      if (!specials) {
        while (!(x == x) || x - x != 0.0f) x = value();  // finite only
      }
    }
    return v;
  }

 private:
  uint32_t s_;
};

}  // namespace tovik
