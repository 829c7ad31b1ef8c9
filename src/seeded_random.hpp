// The seeded pseudo-random values the LSH hyperplanes and the quantizer's initial
// codebooks are drawn from, and the float32 normalisation both apply to them. Part of
// the bit-exact contract: the same seed gives the same bits on every platform.
// Pure value types and functions: no shared state.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

namespace tovik {

// The 64-bit linear congruential generator shared by the LSH and the quantizer:
// s = s * 1103515245 + 12345 (mod 2^64); value = float(s >> 16) * 2^-15 - 1 in float32.
class Lcg {
 public:
  explicit Lcg(uint64_t seed) : state_(seed) {}
  float next() {
    state_ = state_ * 1103515245ULL + 12345ULL;
    const float x = static_cast<float>(state_ >> 16);  // the whole 48-bit value, rounded once
    return x * 0x1p-15f - 1.0f;
  }

 private:
  uint64_t state_;
};

// Normalises v in place: sum of squares in float32 from -0.0 in index order; when the
// sum is > 0 (NaN is not) every component is divided by its float32 square root.
inline void normalize_f32(std::span<float> v) {
  float sum = -0.0f;
  for (float x : v) sum += x * x;
  if (sum > 0.0f) {
    const float r = std::sqrt(sum);
    for (float& x : v) x /= r;
  }
}

}  // namespace tovik
