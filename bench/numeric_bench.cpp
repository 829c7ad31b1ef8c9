// Numeric index benchmark: one numeric field per document, values either correlated
// with the ids (timestamps) or random. Reports, per collection size and value kind:
// live heap and resident bytes per (value, id) pair, indexing time per document (merges
// included), range-query latency at 0.1 %, 10 % and 50 % selectivity, and the
// interleaved case (one add with a new value, then one filtered evaluation, repeated)
// beside the same evaluation with nothing pending.
//
// Build with -DTOVIK_BUILD_BENCH=ON; run build/<dir>/numeric_bench N [N...] [--kinds=ts,random].
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "filter.hpp"
#include "json.hpp"

namespace {

using bench::Clock;
using bench::rss_kib;
using tovik::FilterEngine;

double us_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

size_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;  // small blocks in use plus mmapped ones
}

struct Values {
  bool correlated;
  std::mt19937_64 rng{42};
  double at(size_t i) {
    if (correlated) return 1.7e9 + 0.37 * static_cast<double>(i);
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  }
  // The bound below which a fraction q of n values lie.
  double quantile(double q, size_t n) const {
    return correlated ? 1.7e9 + 0.37 * q * static_cast<double>(n) : q;
  }
};

void index_one(FilterEngine& engine, uint32_t id, double v) {
  engine.add_to_universe(id);
  engine.index_object(tovik::json::Object{{"v", v}}, "", id);
}

uint64_t evaluate(FilterEngine& engine, const std::string& filter) {
  auto r = engine.apply_filter(filter);
  if (!r.ok() || !r.value()) {
    std::fprintf(stderr, "filter failed: %s\n", filter.c_str());
    std::exit(1);
  }
  return r.value()->cardinality();
}

std::string range(const char* op, double x) {
  char text[96];
  std::snprintf(text, sizeof text, "{\"v\": {\"%s\": %.17g}}", op, x);
  return text;
}

// Median latency of `reps` evaluations, in microseconds.
double median_us(FilterEngine& engine, const std::string& filter, int reps, uint64_t& hits) {
  std::vector<double> times;
  for (int i = 0; i < reps; ++i) {
    auto start = Clock::now();
    hits = evaluate(engine, filter);
    times.push_back(us_since(start));
  }
  std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
  return times[reps / 2];
}

void run(size_t n, bool correlated) {
  const char* kind = correlated ? "ts" : "random";
  Values values{correlated};
  malloc_trim(0);
  const size_t heap_before = heap_in_use();
  const long rss_before = rss_kib();
  auto engine = std::make_unique<FilterEngine>();
  auto start = Clock::now();
  for (uint32_t id = 0; id < n; ++id) index_one(*engine, id, values.at(id));
  engine->flush_pending_numeric();
  const double build_us = us_since(start);
  malloc_trim(0);
  const double heap_per_pair = static_cast<double>(heap_in_use() - heap_before) / static_cast<double>(n);
  const double rss_per_pair = 1024.0 * static_cast<double>(rss_kib() - rss_before) / static_cast<double>(n);
  std::printf("%-7s %8zu  build %7.2f us/doc  heap %7.1f B/pair  rss %7.1f B/pair\n", kind, n,
              build_us / static_cast<double>(n), heap_per_pair, rss_per_pair);
  std::fflush(stdout);

  for (double s : {0.001, 0.1, 0.5}) {
    uint64_t lt_hits = 0, gt_hits = 0;
    const double lt = median_us(*engine, range("$lt", values.quantile(s, n)), 101, lt_hits);
    const double gt = median_us(*engine, range("$gt", values.quantile(1.0 - s, n)), 101, gt_hits);
    std::printf("%-7s %8zu  range %5.1f %%  $lt %9.2f us (%llu ids)  $gt %9.2f us (%llu ids)\n", kind, n,
                100.0 * s, lt, static_cast<unsigned long long>(lt_hits), gt,
                static_cast<unsigned long long>(gt_hits));
  }

  // Interleaved: each evaluation first merges the one value added before it.
  const std::string filter = range("$lt", values.quantile(0.1, n));
  // Up to 20,000 rounds, or fewer when they take more than 10 s in all.
  constexpr int ROUNDS = 20000;
  constexpr double BUDGET_US = 10e6;
  uint64_t hits = 0;
  start = Clock::now();
  for (int r = 0; r < ROUNDS; ++r) hits = evaluate(*engine, filter);
  const double plain = us_since(start) / ROUNDS;
  start = Clock::now();
  int rounds = 0;
  while (rounds < ROUNDS && us_since(start) < BUDGET_US) {
    const uint32_t id = static_cast<uint32_t>(n + static_cast<size_t>(rounds));
    index_one(*engine, id, values.at(id));
    hits = evaluate(*engine, filter);
    ++rounds;
  }
  const double interleaved = us_since(start) / rounds;
  std::printf(
      "%-7s %8zu  interleaved add+query %9.2f us/round  query alone %9.2f us  (%.1fx, %llu ids, %d rounds)\n",
      kind, n, interleaved, plain, interleaved / plain, static_cast<unsigned long long>(hits), rounds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  std::string kinds = "ts,random";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--kinds=", 0) == 0) {
      kinds = arg.substr(8);
    } else {
      sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    }
  }
  if (sizes.empty()) sizes = {100000, 1000000};
  for (size_t n : sizes) {
    if (kinds.find("ts") != std::string::npos) run(n, true);
    if (kinds.find("random") != std::string::npos) run(n, false);
  }
  return 0;
}
