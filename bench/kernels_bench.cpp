// Micro-benchmarks of the numeric core: the cosine kernel, an LSH signature, and
// compute_similarity per candidate in raw and quantized mode.
// Build: cmake -DTOVIK_BUILD_BENCH=ON ...; run: build/host/kernels_bench
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "distance.hpp"
#include "lsh.hpp"
#include "storage.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<float> random_vector(std::mt19937& rng, size_t n) {
  std::normal_distribution<float> gauss;
  std::vector<float> v(n);
  for (auto& x : v) x = gauss(rng);
  return v;
}

// Runs body `iterations` times and returns nanoseconds per iteration.
template <typename F>
double time_per_call(size_t iterations, F&& body) {
  const auto start = Clock::now();
  for (size_t i = 0; i < iterations; ++i) body(i);
  const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  return ns / static_cast<double>(iterations);
}

volatile double sink;

}  // namespace

int main() {
  std::mt19937 rng(1);
  std::printf("%-44s %12s\n", "operation", "ns/call");
  for (size_t dim : {384u, 768u}) {
    auto a = random_vector(rng, dim), b = random_vector(rng, dim);
    const double ns = time_per_call(200000, [&](size_t) {
      double d;
      tovik::cos_f32(a.data(), b.data(), dim, &d);
      sink = d;
    });
    std::printf("cos_f32 (%zu floats)%*s %12.1f\n", dim, dim < 1000 ? 25 : 24, "", ns);
  }
  for (uint32_t dim : {384u, 768u}) {
    tovik::LSH lsh(dim);
    auto v = random_vector(rng, dim);
    const double ns = time_per_call(20000, [&](size_t) { sink = static_cast<double>(lsh.signature(v, 0)); });
    std::printf("LSH signature (%u floats)%*s %12.1f\n", dim, 19, "", ns);
  }
  for (uint32_t dim : {384u, 768u}) {
    for (bool quantized : {false, true}) {
      const uint32_t docs = 6000;
      tovik::VectorStorage storage(768, 5000);
      for (uint32_t id = 0; id < docs; ++id) {
        auto v = random_vector(rng, dim);
        auto stored = storage.store(id, v, [](const std::string&) { return true; });
        if (!stored.ok()) return 1;
        if (!quantized && id == 4998) break;
      }
      auto q = random_vector(rng, dim);
      const uint32_t n = quantized ? docs : 4999;
      const double ns = time_per_call(200000, [&](size_t i) {
        sink = storage.compute_similarity(q, static_cast<uint32_t>(i % n)).value_or(0.0f);
      });
      std::printf("compute_similarity %-9s (%u floats)%*s %12.1f\n", quantized ? "quantized" : "raw", dim, 4,
                  "", ns);
    }
  }
  return 0;
}
