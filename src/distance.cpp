// The distance kernels: the scalar rules, their SSE2/AVX and VFP variants, and the
// dispatch that picks one per processor.
#include "distance.hpp"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace tovik {

namespace {

// The finishing steps of the cosine rule for accumulators a2, ab, b2 over n > 0 items,
// in float64; every cosine kernel ends here.
double cos_finish(float a2, float ab, float b2) {
  if (a2 == 0.0f && b2 == 0.0f) return 0.0;
  if (ab == 0.0f) return 1.0;
  const double ra = 1.0 / std::sqrt(static_cast<double>(a2));
  const double rb = 1.0 / std::sqrt(static_cast<double>(b2));
  const double r = 1.0 - (static_cast<double>(ab) * ra) * rb;
  return r > 0.0 ? r : 0.0;  // NaN compares false and yields 0
}

}  // namespace

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
  *out = cos_finish(a2, ab, b2);
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

#if defined(__SSE2__)
// Lane j of the result holds b[j][i]: one candidate per lane.
inline __m128 gather_lanes(const float* const b[4], uint64_t i) {
  return _mm_setr_ps(b[0][i], b[1][i], b[2][i], b[3][i]);
}

// The four components i..i+3 of candidates b[0..3], one candidate per lane:
// column[k] lane j = b[j][i + k].
inline void load_columns(const float* const b[4], uint64_t i, __m128 (&column)[4]) {
  __m128 c0 = _mm_loadu_ps(b[0] + i), c1 = _mm_loadu_ps(b[1] + i);
  __m128 c2 = _mm_loadu_ps(b[2] + i), c3 = _mm_loadu_ps(b[3] + i);
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  column[0] = c0, column[1] = c1, column[2] = c2, column[3] = c3;
}

// One step of cos_f32's loop for four candidates: ab += a*b, b2 += b*b per lane.
inline void cos_step(__m128 q, __m128 b, __m128& ab, __m128& b2) {
  ab = _mm_add_ps(ab, _mm_mul_ps(q, b));
  b2 = _mm_add_ps(b2, _mm_mul_ps(b, b));
}

// Accumulates ab and b2 per lane over components [0, n) for `groups` groups of four
// candidates (b[4g..4g+3] in group g). Four components at a time are loaded row-wise
// and transposed, then added one component after another, so each lane sees exactly
// the scalar sequence of multiplies and adds.
template <int groups>
void cos_lanes(const float* a, const float* const b[], uint64_t n, __m128 (&ab)[groups],
               __m128 (&b2)[groups]) {
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128 column[groups][4];
    for (int g = 0; g < groups; ++g) load_columns(b + 4 * g, i, column[g]);
    for (int k = 0; k < 4; ++k) {
      const __m128 q = _mm_set1_ps(a[i + k]);
      for (int g = 0; g < groups; ++g) cos_step(q, column[g][k], ab[g], b2[g]);
    }
  }
  for (; i < n; ++i) {
    const __m128 q = _mm_set1_ps(a[i]);
    for (int g = 0; g < groups; ++g) cos_step(q, gather_lanes(b + 4 * g, i), ab[g], b2[g]);
  }
}
#endif

using LanesFn = void (*)(const float*, const float*, uint64_t, uint64_t, uint64_t, float*);

#if defined(__SSE2__)
// Two four-lane halves per block; each lane sees the scalar sequence sum += d * d.
void lanes_sse2(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                float* out) {
  for (uint64_t b = 0; b < count; ++b) {
    const float* block = blocks + b * stride;
    __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
    for (uint64_t k = 0; k < n; ++k) {
      const __m128 q = _mm_set1_ps(a[k]);
      const __m128 dlo = _mm_sub_ps(q, _mm_loadu_ps(block + k * LANES));
      const __m128 dhi = _mm_sub_ps(q, _mm_loadu_ps(block + k * LANES + 4));
      lo = _mm_add_ps(lo, _mm_mul_ps(dlo, dlo));
      hi = _mm_add_ps(hi, _mm_mul_ps(dhi, dhi));
    }
    _mm_storeu_ps(out + b * LANES, lo);
    _mm_storeu_ps(out + b * LANES + 4, hi);
  }
}
#else
// One block: eight independent scalar chains, written out one variable each so that
// all eight sums and the query component stay in registers (an array of sums was kept
// in memory, a load and a store per product).
inline void lanes_block_scalar(const float* a, const float* block, uint64_t n, float* out) {
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f, s4 = 0.0f, s5 = 0.0f, s6 = 0.0f, s7 = 0.0f;
  for (uint64_t k = 0; k < n; ++k) {
    const float q = a[k];
    const float* row = block + k * LANES;
    const float d0 = q - row[0], d1 = q - row[1], d2 = q - row[2], d3 = q - row[3];
    const float d4 = q - row[4], d5 = q - row[5], d6 = q - row[6], d7 = q - row[7];
    s0 += d0 * d0;
    s1 += d1 * d1;
    s2 += d2 * d2;
    s3 += d3 * d3;
    s4 += d4 * d4;
    s5 += d5 * d5;
    s6 += d6 * d6;
    s7 += d7 * d7;
  }
  out[0] = s0, out[1] = s1, out[2] = s2, out[3] = s3, out[4] = s4, out[5] = s5, out[6] = s6, out[7] = s7;
}

#if defined(__arm__) && defined(__ARM_PCS_VFP)
// The same block on a VFP unit, with one load for the eight components of a row
// (vldmia), which the compiler does not form from separate loads: per component the
// query value, one row load, eight subtractions and eight multiply-adds. vmla.f32 is
// the chained multiply-add (the product rounded before the add), the instruction the
// compiler itself emits for `s += d * d`; registers s0-s7 hold the sums.
// The assembly below is laid out by hand, one row of the rule per line.
// clang-format off
inline void lanes_block_vfp(const float* a, const float* block, uint64_t n, float* out) {
#define TOVIK_VFP_ROW                                                                                   \
  "vldmia %[a]!, {s16}\n\t"                                                                             \
  "vldmia %[row]!, {s8-s15}\n\t"                                                                        \
  "vsub.f32 s8, s16, s8\n\tvsub.f32 s9, s16, s9\n\tvsub.f32 s10, s16, s10\n\tvsub.f32 s11, s16, s11\n\t" \
  "vsub.f32 s12, s16, s12\n\tvsub.f32 s13, s16, s13\n\tvsub.f32 s14, s16, s14\n\tvsub.f32 s15, s16, s15\n\t" \
  "vmla.f32 s0, s8, s8\n\tvmla.f32 s1, s9, s9\n\tvmla.f32 s2, s10, s10\n\tvmla.f32 s3, s11, s11\n\t"     \
  "vmla.f32 s4, s12, s12\n\tvmla.f32 s5, s13, s13\n\tvmla.f32 s6, s14, s14\n\tvmla.f32 s7, s15, s15\n\t"
  uint32_t fours = static_cast<uint32_t>(n / 4), ones = static_cast<uint32_t>(n % 4);
  const uint32_t zero = 0;
  asm volatile(
      "vmov s0, %[zero]\n\t"
      "vmov.f32 s1, s0\n\tvmov.f32 s2, s0\n\tvmov.f32 s3, s0\n\t"
      "vmov.f32 s4, s0\n\tvmov.f32 s5, s0\n\tvmov.f32 s6, s0\n\tvmov.f32 s7, s0\n\t"
      "cmp %[fours], #0\n\t"
      "beq 2f\n"
      "1:\n\t" TOVIK_VFP_ROW TOVIK_VFP_ROW TOVIK_VFP_ROW TOVIK_VFP_ROW  // four rows a pass
      "subs %[fours], %[fours], #1\n\t"
      "bne 1b\n"
      "2:\n\t"
      "cmp %[ones], #0\n\t"
      "beq 4f\n"
      "3:\n\t" TOVIK_VFP_ROW
      "subs %[ones], %[ones], #1\n\t"
      "bne 3b\n"
      "4:\n\t"
      "vstmia %[out], {s0-s7}\n\t"
      : [a] "+r"(a), [row] "+r"(block), [fours] "+r"(fours), [ones] "+r"(ones)
      : [out] "r"(out), [zero] "r"(zero)
      : "s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "s9", "s10", "s11", "s12", "s13", "s14", "s15",
        "s16", "cc", "memory");
#undef TOVIK_VFP_ROW
}

// Every block of a full 12-component subspace in one pass: the twelve query values
// stay in s16-s27 across the blocks, and the first row's squares start the sums
// (vmul: d * d is +0.0 or more, or NaN, so it has the bits of 0.0f + d * d).
// REQUIRES: count >= 1; each block holds 12 rows of LANES floats.
#define TOVIK_VFP_ROW12(q, op)                                                                     \
  "vldmia %[blk]!, {s8-s15}\n\t"                                                                   \
  "vsub.f32 s8, " q ", s8\n\tvsub.f32 s9, " q ", s9\n\tvsub.f32 s10, " q ", s10\n\t"              \
  "vsub.f32 s11, " q ", s11\n\tvsub.f32 s12, " q ", s12\n\tvsub.f32 s13, " q ", s13\n\t"          \
  "vsub.f32 s14, " q ", s14\n\tvsub.f32 s15, " q ", s15\n\t"                                      \
  op " s0, s8, s8\n\t" op " s1, s9, s9\n\t" op " s2, s10, s10\n\t" op " s3, s11, s11\n\t"         \
  op " s4, s12, s12\n\t" op " s5, s13, s13\n\t" op " s6, s14, s14\n\t" op " s7, s15, s15\n\t"
inline void lanes12_vfp(const float* a, const float* blocks, uint64_t stride, uint32_t count, float* out) {
  const uint32_t skip = static_cast<uint32_t>((stride - 12 * LANES) * sizeof(float));  // past a block's rows
  asm volatile(
      "vldmia %[a], {s16-s27}\n"
      "1:\n\t" TOVIK_VFP_ROW12("s16", "vmul.f32") TOVIK_VFP_ROW12("s17", "vmla.f32")
          TOVIK_VFP_ROW12("s18", "vmla.f32") TOVIK_VFP_ROW12("s19", "vmla.f32") TOVIK_VFP_ROW12("s20", "vmla.f32")
              TOVIK_VFP_ROW12("s21", "vmla.f32") TOVIK_VFP_ROW12("s22", "vmla.f32")
                  TOVIK_VFP_ROW12("s23", "vmla.f32") TOVIK_VFP_ROW12("s24", "vmla.f32")
                      TOVIK_VFP_ROW12("s25", "vmla.f32") TOVIK_VFP_ROW12("s26", "vmla.f32")
                          TOVIK_VFP_ROW12("s27", "vmla.f32")
      "vstmia %[out]!, {s0-s7}\n\t"
      "add %[blk], %[blk], %[skip]\n\t"
      "subs %[count], %[count], #1\n\t"
      "bne 1b\n\t"
      : [blk] "+r"(blocks), [out] "+r"(out), [count] "+r"(count)
      : [a] "r"(a), [skip] "r"(skip)
      : "s0", "s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8", "s9", "s10", "s11", "s12", "s13", "s14", "s15",
        "s16", "s17", "s18", "s19", "s20", "s21", "s22", "s23", "s24", "s25", "s26", "s27", "cc", "memory");
}
#undef TOVIK_VFP_ROW12
// clang-format on
#endif

// Eight independent scalar chains per block fill a pipeline without a vector unit.
void lanes_scalar(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                  float* out) {
#if defined(__arm__) && defined(__ARM_PCS_VFP)
  if (n == 12 && count >= 1 && count <= UINT32_MAX && stride >= 12 * LANES &&
      stride - 12 * LANES <= UINT32_MAX / 4) {
    lanes12_vfp(a, blocks, stride, static_cast<uint32_t>(count), out);
    return;
  }
  if (n / 4 <= UINT32_MAX) {
    for (uint64_t b = 0; b < count; ++b) lanes_block_vfp(a, blocks + b * stride, n, out + b * LANES);
    return;
  }
#endif
  for (uint64_t b = 0; b < count; ++b) lanes_block_scalar(a, blocks + b * stride, n, out + b * LANES);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// Eight lanes per block, `blocks` blocks per pass to hide the latency of each chain of
// adds. Built for AVX whatever the build's baseline; only called when the processor has it.
template <int blocks>
__attribute__((target("avx"), always_inline)) inline void lanes_avx_pass(const float* a, const float* first,
                                                                         uint64_t n, uint64_t stride,
                                                                         float* out) {
  // Fully unrolled over the blocks, so that every sum stays in a register.
  __m256 sum[blocks];
#pragma GCC unroll 8
  for (int j = 0; j < blocks; ++j) sum[j] = _mm256_setzero_ps();
  for (uint64_t k = 0; k < n; ++k) {
    const __m256 q = _mm256_set1_ps(a[k]);
#pragma GCC unroll 8
    for (int j = 0; j < blocks; ++j) {
      const __m256 d = _mm256_sub_ps(q, _mm256_loadu_ps(first + j * stride + k * LANES));
      sum[j] = _mm256_add_ps(sum[j], _mm256_mul_ps(d, d));
    }
  }
#pragma GCC unroll 8
  for (int j = 0; j < blocks; ++j) _mm256_storeu_ps(out + j * LANES, sum[j]);
}

__attribute__((target("avx"))) void lanes_avx(const float* a, const float* blocks, uint64_t n,
                                              uint64_t stride, uint64_t count, float* out) {
  uint64_t b = 0;
  for (; b + 4 <= count; b += 4) lanes_avx_pass<4>(a, blocks + b * stride, n, stride, out + b * LANES);
  for (; b + 2 <= count; b += 2) lanes_avx_pass<2>(a, blocks + b * stride, n, stride, out + b * LANES);
  if (b < count) lanes_sse2(a, blocks + b * stride, n, stride, count - b, out + b * LANES);
}
#endif

#if defined(__aarch64__)
// Advanced SIMD on aarch64: a block's eight centroids are two four-lane vectors, and each
// lane sees the scalar sequence d = q - c, sum = sum + d * d (separate multiply and add,
// never the fused instructions; AArch64 Linux keeps subnormals and NaN payloads, and the
// vector instructions propagate NaNs by the same operand rule as the scalar ones). The
// first component's squares start the sums: d * d is +0.0 or more, or NaN, which has
// the bits of 0.0f + d * d. `blocks` blocks a pass hide the latency of each chain of adds.
template <int blocks>
inline void lanes_neon_pass(const float* a, const float* first, uint64_t n, uint64_t stride, float* out) {
  float32x4_t lo[blocks], hi[blocks];
  const float32x4_t q = vld1q_dup_f32(a);
#pragma GCC unroll 4
  for (int j = 0; j < blocks; ++j) {
    const float32x4_t dlo = vsubq_f32(q, vld1q_f32(first + j * stride));
    const float32x4_t dhi = vsubq_f32(q, vld1q_f32(first + j * stride + 4));
    lo[j] = vmulq_f32(dlo, dlo);
    hi[j] = vmulq_f32(dhi, dhi);
  }
  for (uint64_t k = 1; k < n; ++k) {
    const float32x4_t qk = vld1q_dup_f32(a + k);
#pragma GCC unroll 4
    for (int j = 0; j < blocks; ++j) {
      const float* row = first + j * stride + k * LANES;
      const float32x4_t dlo = vsubq_f32(qk, vld1q_f32(row));
      const float32x4_t dhi = vsubq_f32(qk, vld1q_f32(row + 4));
      lo[j] = vaddq_f32(lo[j], vmulq_f32(dlo, dlo));
      hi[j] = vaddq_f32(hi[j], vmulq_f32(dhi, dhi));
    }
  }
#pragma GCC unroll 4
  for (int j = 0; j < blocks; ++j) {
    vst1q_f32(out + j * LANES, lo[j]);
    vst1q_f32(out + j * LANES + 4, hi[j]);
  }
}

// The same for a full 12-component subspace whose blocks lie back to back (the
// quantizer's codebooks), with the twelve query values held in registers across all
// blocks and the rows unrolled at fixed offsets: per block and component one load of the
// row, two subtractions, two multiplies and two adds.
constexpr uint64_t ROWS12 = 12 * LANES;
template <int blocks>
inline void lanes12_neon_pass(const float32x4_t (&q)[12], const float* first, float* out) {
  float32x4_t lo[blocks], hi[blocks];
#pragma GCC unroll 4
  for (int j = 0; j < blocks; ++j) {
    const float32x4_t dlo = vsubq_f32(q[0], vld1q_f32(first + j * ROWS12));
    const float32x4_t dhi = vsubq_f32(q[0], vld1q_f32(first + j * ROWS12 + 4));
    lo[j] = vmulq_f32(dlo, dlo);
    hi[j] = vmulq_f32(dhi, dhi);
  }
#pragma GCC unroll 12
  for (uint64_t k = 1; k < 12; ++k) {
#pragma GCC unroll 4
    for (int j = 0; j < blocks; ++j) {
      const float* row = first + j * ROWS12 + k * LANES;
      const float32x4_t dlo = vsubq_f32(q[k], vld1q_f32(row));
      const float32x4_t dhi = vsubq_f32(q[k], vld1q_f32(row + 4));
      lo[j] = vaddq_f32(lo[j], vmulq_f32(dlo, dlo));
      hi[j] = vaddq_f32(hi[j], vmulq_f32(dhi, dhi));
    }
  }
#pragma GCC unroll 4
  for (int j = 0; j < blocks; ++j) {
    vst1q_f32(out + j * LANES, lo[j]);
    vst1q_f32(out + j * LANES + 4, hi[j]);
  }
}

void lanes_neon(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                float* out) {
  if (n == 0) {  // empty sums: +0.0 for every centroid
    for (uint64_t c = 0; c < count * LANES; ++c) out[c] = 0.0f;
    return;
  }
  uint64_t b = 0;
  if (n == 12 && stride == ROWS12) {
    float32x4_t q[12];
#pragma GCC unroll 12
    for (int k = 0; k < 12; ++k) q[k] = vdupq_n_f32(a[k]);
    for (; b + 2 <= count; b += 2) lanes12_neon_pass<2>(q, blocks + b * ROWS12, out + b * LANES);
    if (b < count) lanes12_neon_pass<1>(q, blocks + b * ROWS12, out + b * LANES);
    return;
  }
  for (; b + 2 <= count; b += 2) lanes_neon_pass<2>(a, blocks + b * stride, n, stride, out + b * LANES);
  if (b < count) lanes_neon_pass<1>(a, blocks + b * stride, n, stride, out + b * LANES);
}
#endif

LanesFn portable_lanes() {
#if defined(__SSE2__)
  return lanes_sse2;
#else
  return lanes_scalar;
#endif
}

LanesFn choose_lanes() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx")) return lanes_avx;
#endif
#if defined(__aarch64__)
  return lanes_neon;  // the armv8-a baseline has Advanced SIMD, as every AArch64 Linux system does
#else
  return portable_lanes();
#endif
}

std::atomic<LanesFn> lanes_slot{nullptr};

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

float sum_squares_f32(const float* a, uint64_t n) {
  float a2 = 0.0f;
  for (uint64_t i = 0; i < n; ++i) a2 += a[i] * a[i];
  return a2;
}

void cos4_f32(const float* a, float a2, const float* const b[4], uint64_t n, double out[4]) {
  if (n == 0) {
    for (int j = 0; j < 4; ++j) out[j] = 0.0;
    return;
  }
  float ab[4], b2[4];
#if defined(__SSE2__)
  __m128 ab_lanes[1] = {_mm_setzero_ps()}, b2_lanes[1] = {_mm_setzero_ps()};
  cos_lanes<1>(a, b, n, ab_lanes, b2_lanes);
  _mm_storeu_ps(ab, ab_lanes[0]);
  _mm_storeu_ps(b2, b2_lanes[0]);
#else
  float ab0 = 0.0f, ab1 = 0.0f, ab2 = 0.0f, ab3 = 0.0f;
  float bb0 = 0.0f, bb1 = 0.0f, bb2 = 0.0f, bb3 = 0.0f;
  const float *b0 = b[0], *b1 = b[1], *b2p = b[2], *b3 = b[3];
  for (uint64_t i = 0; i < n; ++i) {
    const float q = a[i];
    ab0 += q * b0[i];
    bb0 += b0[i] * b0[i];
    ab1 += q * b1[i];
    bb1 += b1[i] * b1[i];
    ab2 += q * b2p[i];
    bb2 += b2p[i] * b2p[i];
    ab3 += q * b3[i];
    bb3 += b3[i] * b3[i];
  }
  ab[0] = ab0, ab[1] = ab1, ab[2] = ab2, ab[3] = ab3;
  b2[0] = bb0, b2[1] = bb1, b2[2] = bb2, b2[3] = bb3;
#endif
  for (int j = 0; j < 4; ++j) out[j] = cos_finish(a2, ab[j], b2[j]);
}

void cos8_f32(const float* a, float a2, const float* const b[8], uint64_t n, double out[8]) {
#if defined(__SSE2__)
  if (n == 0) {
    for (int j = 0; j < 8; ++j) out[j] = 0.0;
    return;
  }
  __m128 ab_lanes[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
  __m128 b2_lanes[2] = {_mm_setzero_ps(), _mm_setzero_ps()};
  cos_lanes<2>(a, b, n, ab_lanes, b2_lanes);
  float ab[8], b2[8];
  for (int g = 0; g < 2; ++g) {
    _mm_storeu_ps(ab + 4 * g, ab_lanes[g]);
    _mm_storeu_ps(b2 + 4 * g, b2_lanes[g]);
  }
  for (int j = 0; j < 8; ++j) out[j] = cos_finish(a2, ab[j], b2[j]);
#else
  // Without a vector unit four scalar chains already fill the pipeline.
  cos4_f32(a, a2, b, n, out);
  cos4_f32(a, a2, b + 4, n, out + 4);
#endif
}

void l2sq_lanes_f32(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                    float* out) {
  LanesFn fn = lanes_slot.load(std::memory_order_acquire);
  if (fn == nullptr) {
    fn = choose_lanes();
    lanes_slot.store(fn, std::memory_order_release);
  }
  fn(a, blocks, n, stride, count, out);
}

void l2sq_lanes_f32_portable(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                             float* out) {
  portable_lanes()(a, blocks, n, stride, count, out);
}

void cos_f32(const float* a, const float* b, uint64_t n, double* out) {
  resolve(cos_slot, choose_cos)(a, b, n, out);
}

void l2sq_f32(const float* a, const float* b, uint64_t n, double* out) {
  resolve(l2sq_slot, choose_l2sq)(a, b, n, out);
}

namespace {

// Eight scalar chains, fully unrolled so that every sum stays in a register; on a
// little-endian 64-bit processor eight code bytes come in one load, taken apart in
// order. (AVX2 gathers measured slower than this on x86-64.)
void table_sums8_words(const float* table, const uint8_t* const codes[8], uint64_t width, float sums[8]) {
  float sum[8] = {};
  uint64_t s = 0;
  for (; s + 8 <= width; s += 8) {
    uint64_t word[8];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) std::memcpy(&word[j], codes[j] + s, 8);
#pragma GCC unroll 8
    for (uint64_t b = 0; b < 8; ++b) {
      const float* row = table + (s + b) * TABLE_ROW;
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) {
        sum[j] += row[word[j] & 0xFF];  // byte b of the word: subspace s + b
        word[j] >>= 8;
      }
    }
  }
  for (; s < width; ++s) {
    const float* row = table + s * TABLE_ROW;
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) sum[j] += row[codes[j][s]];
  }
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) sums[j] = sum[j];
}

}  // namespace

// One byte at a time, each code and sum in a variable of its own: with 32-bit
// registers the eight 64-bit words above do not fit and spill to memory, while here a
// look-up is a byte load, an address, a float load and an add.
void table_sums8_f32_bytes(const float* table, const uint8_t* const codes[8], uint64_t width, float sums[8]) {
  const uint8_t *c0 = codes[0], *c1 = codes[1], *c2 = codes[2], *c3 = codes[3];
  const uint8_t *c4 = codes[4], *c5 = codes[5], *c6 = codes[6], *c7 = codes[7];
  float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f, s4 = 0.0f, s5 = 0.0f, s6 = 0.0f, s7 = 0.0f;
  const float* row = table;
  for (uint64_t s = 0; s < width; ++s, row += TABLE_ROW) {
    s0 += row[c0[s]];
    s1 += row[c1[s]];
    s2 += row[c2[s]];
    s3 += row[c3[s]];
    s4 += row[c4[s]];
    s5 += row[c5[s]];
    s6 += row[c6[s]];
    s7 += row[c7[s]];
  }
  sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3, sums[4] = s4, sums[5] = s5, sums[6] = s6,
  sums[7] = s7;
}

void table_sums8_f32(const float* table, const uint8_t* const codes[8], uint64_t width, float sums[8]) {
  if constexpr (std::endian::native == std::endian::little && sizeof(void*) == 8) {
    table_sums8_words(table, codes, width, sums);
  } else {
    table_sums8_f32_bytes(table, codes, width, sums);
  }
}

}  // namespace tovik
