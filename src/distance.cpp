#include "distance.hpp"

#include <atomic>
#include <cmath>

namespace tovik {

void cos_f32_scalar(const float* a, const float* b, uint64_t n, double* out) {
  if (n == 0) {
    *out = 0.0;
    return;
  }
  float ab = 0.0f, a2 = 0.0f, b2 = 0.0f;
  for (uint64_t i = 0; i < n; ++i) {
    a2 += a[i] * a[i];
    ab += a[i] * b[i];
    b2 += b[i] * b[i];
  }
  if (a2 == 0.0f && b2 == 0.0f) {
    *out = 0.0;
    return;
  }
  if (ab == 0.0f) {
    *out = 1.0;
    return;
  }
  const double ra = 1.0 / std::sqrt(static_cast<double>(a2));
  const double rb = 1.0 / std::sqrt(static_cast<double>(b2));
  const double r = 1.0 - (static_cast<double>(ab) * ra) * rb;
  *out = r > 0.0 ? r : 0.0;  // NaN compares false and yields 0
}

void l2sq_f32_scalar(const float* a, const float* b, uint64_t n, double* out) {
  float sum = 0.0f;
  for (uint64_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  *out = static_cast<double>(sum);
}

namespace {

// Picks the implementation for this processor. Only the scalar rules exist for now;
// any faster variant must reproduce their bits exactly.
KernelFn choose_cos() { return cos_f32_scalar; }
KernelFn choose_l2sq() { return l2sq_f32_scalar; }

std::atomic<KernelFn> cos_slot{nullptr};
std::atomic<KernelFn> l2sq_slot{nullptr};

KernelFn resolve(std::atomic<KernelFn>& slot, KernelFn (*choose)()) {
  KernelFn fn = slot.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = choose();
    slot.store(fn, std::memory_order_release);
  }
  return fn;
}

}  // namespace

void cos_f32(const float* a, const float* b, uint64_t n, double* out) {
  resolve(cos_slot, choose_cos)(a, b, n, out);
}

void l2sq_f32(const float* a, const float* b, uint64_t n, double* out) {
  resolve(l2sq_slot, choose_l2sq)(a, b, n, out);
}

}  // namespace tovik
