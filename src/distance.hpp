// Distance kernels over float32 arrays: the arithmetic every score and centroid
// choice rests on, fixed bit for bit.
//
// Accumulation is in float32, in index order, each product rounded before its add
// (no fused multiply-add); the finishing steps are in float64. Three kernels go through
// an atomic dispatch slot filled on first use: cos_f32 and l2sq_f32 (the scalar rule
// on every processor today) and l2sq_lanes_f32 (AVX where the processor has it). The
// others take their variant when compiled (SSE2 on x86-64, scalar code shaped for the
// VFP registers on 32-bit ARM). Every variant gives exactly the scalar rule's bits.
// Pure functions: safe from any number of threads.
#pragma once

#include <cstdint>

namespace tovik {

using KernelFn = void (*)(const float* a, const float* b, uint64_t n, double* out);

// Cosine distance in [0, 2], clamped below at 0; two zero vectors give 0, one zero
// vector (or a zero dot product) gives 1. REQUIRES: a and b hold n floats each.
void cos_f32(const float* a, const float* b, uint64_t n, double* out);

// Sum of squared differences, accumulated in float32, widened to float64.
// REQUIRES: a and b hold n floats each.
void l2sq_f32(const float* a, const float* b, uint64_t n, double* out);

// The plain scalar rules, always available; faster variants are tested against them.
void cos_f32_scalar(const float* a, const float* b, uint64_t n, double* out);
void l2sq_f32_scalar(const float* a, const float* b, uint64_t n, double* out);

// Batch kernels: several candidates against one query at once. Each candidate keeps
// its own accumulators, summed in index order exactly as the single-pair kernels do;
// only independent candidates are interleaved (one SSE2 lane per candidate on x86-64,
// plain scalar interleaving elsewhere), so every result has the single kernel's bits.

// The query's squared norm as cos_f32 accumulates it: float32, index order, from 0.
// It depends only on the query, so a search computes it once.
float sum_squares_f32(const float* a, uint64_t n);

// out[j] = cos_f32(a, b[j], n) for j = 0..3, bit for bit.
// REQUIRES: a2 == sum_squares_f32(a, n); a and every b[j] hold n floats (the b[j] may
// repeat).
void cos4_f32(const float* a, float a2, const float* const b[4], uint64_t n, double out[4]);

// out[j] = cos_f32(a, b[j], n) for j = 0..7: two groups of four side by side, which
// hides the latency of each candidate's chain of adds. Same requirements.
void cos8_f32(const float* a, float a2, const float* const b[8], uint64_t n, double out[8]);

// Centroid lanes: blocks of LANES centroids stored component-major, so that one load
// reads component k of every centroid of a block (block[k * LANES + j] is component k of
// centroid j). The product quantizer keeps its codebooks in this layout as well.
constexpr uint64_t LANES = 8;

// out[b * LANES + j] = float(l2sq_f32(a, centroid j of block b, n)) for every block
// b < blocks, bit for bit: each centroid keeps its own float32 sum in index order, only
// independent centroids share a pass (one SIMD lane each: AVX where the processor has
// it, SSE2 otherwise on x86-64, Advanced SIMD on aarch64; eight interleaved scalar chains
// elsewhere).
// REQUIRES: a holds n floats; block b starts at blocks + b * stride and holds n rows of
// LANES floats.
void l2sq_lanes_f32(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                    float* out);

// The same without the processor-specific variant (SSE2 on x86-64, scalar elsewhere,
// aarch64 included), so that tests can compare both with the plain rule.
void l2sq_lanes_f32_portable(const float* a, const float* blocks, uint64_t n, uint64_t stride, uint64_t count,
                             float* out);

// Distance-table look-ups, the product quantizer's scoring of codes: a table holds
// TABLE_ROW floats per subspace, and sums[j] is the float32 sum, from +0.0 in subspace
// order, of table[s * TABLE_ROW + codes[j][s]] over s < width, for j = 0..7: eight
// interleaved scalar chains, each with the bits of its plain sum.
// REQUIRES: the table holds width * TABLE_ROW floats; every codes[j] holds width bytes
// (the codes may repeat).
constexpr uint64_t TABLE_ROW = 256;
void table_sums8_f32(const float* table, const uint8_t* const codes[8], uint64_t width, float sums[8]);

// The same one code byte at a time, the variant for 32-bit processors (table_sums8_f32
// takes eight bytes per load on 64-bit ones), so that tests can compare both.
void table_sums8_f32_bytes(const float* table, const uint8_t* const codes[8], uint64_t width, float sums[8]);

}  // namespace tovik
