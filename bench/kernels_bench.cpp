// Micro-benchmarks of the numeric core: the distance kernels, LSH signatures, the cost
// of storing a vector, and scoring in raw and quantized mode, both one candidate at a
// time (compute_similarity) and in batches (score_many, as search does).
// Build: cmake -DCMAKE_BUILD_TYPE=Release -DTOVIK_BUILD_BENCH=ON ...; run: build/.../kernels_bench
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "distance.hpp"
#include "lsh.hpp"
#include "one_step.hpp"
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

void report(const std::string& what, double ns) { std::printf("%-52s %14.1f\n", what.c_str(), ns); }

volatile double sink;

bool always_ok(const std::string&) { return true; }

// Every id of the storage scored one compute_similarity call at a time.
double per_id_scan(const tovik::VectorStorage& storage, const std::vector<float>& q,
                   const std::vector<uint32_t>& ids, size_t rounds) {
  return time_per_call(rounds, [&](size_t) {
    float total = 0.0f;
    for (uint32_t id : ids) total += storage.compute_similarity(q, id).value_or(0.0f);
    sink = total;
  });
}

#ifndef TOVIK_BENCH_PER_ID_ONLY
// The same ids scored in one batch, as search does.
double batch_scan(const tovik::VectorStorage& storage, const std::vector<float>& q,
                  const std::vector<uint32_t>& ids, size_t rounds) {
  std::vector<tovik::ScoredPair> out;
  out.reserve(ids.size());
  return time_per_call(rounds, [&](size_t) {
    out.clear();
    const auto prepared = storage.prepare(q, ids.size());
    storage.score_many(prepared, ids, out);
    sink = out.empty() ? 0.0 : out.back().score;
  });
}
#endif

std::vector<uint32_t> first_ids(uint32_t n) {
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = i;
  return ids;
}

std::vector<uint32_t> sample_ids(std::mt19937& rng, uint32_t n, uint32_t bound) {
  std::uniform_int_distribution<uint32_t> pick(0, bound - 1);
  std::vector<uint32_t> ids(n);
  for (auto& id : ids) id = pick(rng);
  return ids;
}

void bench_kernels(std::mt19937& rng) {
  for (size_t dim : {384u, 768u}) {
    auto a = random_vector(rng, dim), b = random_vector(rng, dim);
    report("cos_f32 (" + std::to_string(dim) + " floats)", time_per_call(200000, [&](size_t) {
             double d;
             tovik::cos_f32(a.data(), b.data(), dim, &d);
             sink = d;
           }));
  }
  for (uint32_t dim : {384u, 768u}) {
    tovik::LSH lsh(dim);
    auto v = random_vector(rng, dim);
    report("LSH signature (" + std::to_string(dim) + " floats)",
           time_per_call(20000, [&](size_t) { sink = static_cast<double>(lsh.signature(v, 0)); }));
  }
}

// Raw scoring over a storage whose threshold is high enough to hold every vector raw.
void bench_raw(std::mt19937& rng, uint32_t docs, uint32_t dim) {
  tovik::VectorStorage storage(768, docs + 1);
  for (uint32_t id = 0; id < docs; ++id) storage.store_vector(id, random_vector(rng, dim));
  const auto q = random_vector(rng, dim);
  const auto all = first_ids(docs);
  const auto some = sample_ids(rng, 1000, docs);
  const std::string shape = std::to_string(docs) + " x " + std::to_string(dim);
  report("raw full scan " + shape + ", per id", per_id_scan(storage, q, all, 5));
  report("raw 1000 candidates of " + shape + ", per id", per_id_scan(storage, q, some, 200));
#ifndef TOVIK_BENCH_PER_ID_ONLY
  report("raw full scan " + shape + ", batch", batch_scan(storage, q, all, 5));
  report("raw 1000 candidates of " + shape + ", batch", batch_scan(storage, q, some, 200));
#endif
}

// Quantized scoring: a small training set switches the storage on, then random codes
// fill it up to `docs` slots (encoding every one would dominate the run).
void bench_quantized(std::mt19937& rng, uint32_t docs, uint32_t dim) {
  const uint32_t trained = 300;
  tovik::VectorStorage storage(768, trained);
  for (uint32_t id = 0; id <= trained; ++id) {
    if (!storage.store(id, random_vector(rng, dim), always_ok).ok()) return;
  }
  std::uniform_int_distribution<int> byte(0, 255);
  const uint32_t m = storage.TEST_quantizer()->num_subspaces();
  for (uint32_t id = trained + 1; id < docs; ++id) {
    std::vector<uint8_t> code(m);
    for (auto& c : code) c = static_cast<uint8_t>(byte(rng));
    storage.store_code(id, code);
  }
  const auto q = random_vector(rng, dim);
  const auto all = first_ids(docs);
  const auto some = sample_ids(rng, 1000, docs);
  const std::string shape = std::to_string(docs) + " x " + std::to_string(dim);
  report("quantized full scan " + shape + ", per id", per_id_scan(storage, q, all, 5));
  report("quantized 1000 candidates of " + shape + ", per id", per_id_scan(storage, q, some, 200));
#ifndef TOVIK_BENCH_PER_ID_ONLY
  report("quantized full scan " + shape + ", batch", batch_scan(storage, q, all, 5));
  report("quantized 1000 candidates of " + shape + ", batch", batch_scan(storage, q, some, 200));
#endif
}

// The storage step and the LSH step of add, per vector.
void bench_add(std::mt19937& rng, uint32_t dim) {
  const uint32_t docs = 4000;
  std::vector<std::vector<float>> vectors;
  for (uint32_t i = 0; i < docs; ++i) vectors.push_back(random_vector(rng, dim));
  tovik::VectorStorage storage(768, 5000);
  report("storage store raw (" + std::to_string(dim) + " floats)", time_per_call(docs, [&](size_t i) {
           if (!storage.reserve(i + 1).ok() ||
               !storage.store(static_cast<uint32_t>(i), vectors[i], always_ok).ok())
             sink = -1;
         }));
  tovik::LSH lsh(dim);
  report("LSH insert (" + std::to_string(dim) + " floats)", time_per_call(docs, [&](size_t i) {
           tovik::test::lsh_insert(lsh, static_cast<uint32_t>(i), vectors[i]);
         }));
}

}  // namespace

int main() {
  std::mt19937 rng(1);
  std::printf("%-52s %14s\n", "operation", "ns/call");
  bench_kernels(rng);
  bench_add(rng, 384);
  bench_raw(rng, 100000, 384);
  bench_quantized(rng, 100000, 384);
  bench_quantized(rng, 100000, 768);
  return 0;
}
