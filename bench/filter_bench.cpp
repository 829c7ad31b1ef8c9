// Filter engine benchmark: indexing 100,000 metadata documents, evaluating filters of
// each kind over them, and removing 10% of them per id and in one batch.
//
// Build with -DTOVIK_BUILD_BENCH=ON; run build/<dir>/filter_bench [documents].
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
#include "one_step.hpp"

namespace {

using bench::Clock;
using bench::rss_kib;
using tovik::Bitmap;
using tovik::FilterEngine;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char* const CATEGORIES[] = {"books", "music", "film",   "games",  "garden", "kitchen", "toys",
                                  "tools", "sport", "health", "beauty", "auto",   "office",  "pets",
                                  "baby",  "food",  "drink",  "travel", "art",    "misc"};

// A product-like document: three strings of growing cardinality (20, 500, 5000 values),
// prices over 2000 distinct values, a rating, a year, a stock count, a nested object
// with two numbers, a boolean, an array of tags, and an optional discount.
std::string make_document(std::mt19937& rng) {
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::string d = "{\"category\":\"" + std::string(CATEGORIES[pick(20)]) + "\"";
  d += ",\"brand\":\"brand-" + std::to_string(pick(500)) + "\"";
  d += ",\"author\":\"author-" + std::to_string(pick(5000)) + "\"";
  d += ",\"price\":" + std::to_string(1 + pick(2000)) + ".99";
  d += ",\"rating\":" + std::to_string(1 + pick(5)) + "." + std::to_string(pick(10));
  d += ",\"year\":" + std::to_string(1990 + pick(35));
  d += ",\"stock\":" + std::to_string(pick(501));
  d += ",\"dims\":{\"w\":" + std::to_string(1 + pick(100)) + ",\"h\":" + std::to_string(1 + pick(100)) + "}";
  d += std::string(",\"in_stock\":") + (pick(4) != 0 ? "true" : "false");
  d += ",\"tags\":[\"t" + std::to_string(pick(50)) + "\",\"t" + std::to_string(pick(50)) + "\"]";
  if (pick(5) == 0) d += ",\"discount\":" + std::to_string(5 * (1 + pick(10)));
  d += "}";
  return d;
}

struct Row {
  std::string name;
  double ms;
  std::string note;
};

void print(const std::vector<Row>& rows) {
  std::printf("%-34s %14s  %s\n", "operation", "time", "");
  for (const Row& r : rows) std::printf("%-34s %11.3f ms  %s\n", r.name.c_str(), r.ms, r.note.c_str());
}

// Parses and indexes every document as the insert pipeline does; returns the time spent.
double index_all(FilterEngine& engine, const std::vector<std::string>& docs) {
  auto start = Clock::now();
  for (uint32_t id = 0; id < docs.size(); ++id) {
    engine.add_to_universe(id);
    tovik::Result<tovik::json::Value> doc = tovik::json::parse(docs[id]);
    if (doc.ok() && doc->is_object()) engine.index_object(doc->as_object(), "", id);
  }
  return ms_since(start);
}

uint64_t count_of(FilterEngine& engine, const char* filter) {
  auto r = engine.apply_filter(filter);
  if (!r.ok()) {
    std::fprintf(stderr, "filter failed: %s: %s\n", filter, r.error().message.c_str());
    std::exit(1);
  }
  return r.value() ? r.value()->cardinality() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  std::mt19937 rng(42);
  std::vector<std::string> docs;
  docs.reserve(n);
  for (size_t i = 0; i < n; ++i) docs.push_back(make_document(rng));
  std::vector<Row> rows;

  auto start = Clock::now();
  size_t parsed = 0;
  for (const std::string& d : docs) parsed += tovik::json::parse(d).ok() ? 1 : 0;
  double parse_ms = ms_since(start);
  char note[128];
  std::snprintf(note, sizeof note, "%.2f us per document", 1000.0 * parse_ms / static_cast<double>(parsed));
  rows.push_back({"parse only (no indexing)", parse_ms, note});

  const long rss_before = rss_kib();
  auto engine = std::make_unique<FilterEngine>();
  double index_ms = index_all(*engine, docs);
  std::snprintf(note, sizeof note, "%.2f us per document", 1000.0 * index_ms / static_cast<double>(n));
  rows.push_back({"parse + index " + std::to_string(n) + " documents", index_ms, note});

  start = Clock::now();
  engine->flush_pending_numeric();
  rows.push_back({"flush remaining pending numbers", ms_since(start), ""});
  std::snprintf(note, sizeof note, "+%ld MiB resident", (rss_kib() - rss_before) / 1024);
  rows.back().note = note;

  const std::pair<const char*, const char*> filters[] = {
      {"equality (string)", R"({"category": {"$eq": "books"}})"},
      {"equality (number)", R"({"year": {"$eq": 2020}})"},
      {"range", R"({"price": {"$gte": 100, "$lt": 500}})"},
      {"range (nested path)", R"({"dims.w": {"$gt": 50}})"},
      {"$in of 10 values",
       R"({"brand": {"$in": ["brand-1","brand-2","brand-3","brand-4","brand-5","brand-6","brand-7","brand-8","brand-9","brand-10"]}})"},
      {"$nin of 10 values",
       R"({"brand": {"$nin": ["brand-1","brand-2","brand-3","brand-4","brand-5","brand-6","brand-7","brand-8","brand-9","brand-10"]}})"},
      {"$and of three",
       R"({"$and": [{"category": {"$eq": "books"}}, {"price": {"$lt": 1000}}, {"in_stock": {"$eq": true}}]})"},
      {"$or of three",
       R"({"$or": [{"category": {"$eq": "books"}}, {"rating": {"$gte": 5}}, {"author": {"$eq": "author-7"}}]})"},
      {"$not", R"({"$not": {"category": {"$eq": "books"}}})"},
      {"$ne", R"({"category": {"$ne": "books"}})"},
      {"$exists true", R"({"discount": {"$exists": true}})"},
      {"$exists false", R"({"discount": {"$exists": false}})"},
  };
  constexpr int REPEAT = 20;
  for (const auto& [name, filter] : filters) {
    uint64_t hits = count_of(*engine, filter);  // warm-up
    start = Clock::now();
    for (int i = 0; i < REPEAT; ++i) hits = count_of(*engine, filter);
    std::snprintf(note, sizeof note, "%llu matches", static_cast<unsigned long long>(hits));
    rows.push_back({std::string("filter ") + name, ms_since(start) / REPEAT, note});
  }

  // Removal of 10% of the documents: one engine per strategy, both fully merged.
  Bitmap removed;
  std::vector<uint32_t> removed_ids;
  for (uint32_t id = 0; id < n; ++id) {
    if (rng() % 10 == 0) {
      removed.add(id);
      removed_ids.push_back(id);
    }
  }
  auto batch_engine = std::make_unique<FilterEngine>();
  index_all(*batch_engine, docs);
  batch_engine->flush_pending_numeric();

  start = Clock::now();
  for (uint32_t id : removed_ids) tovik::test::remove_document(*engine, id);
  double per_id_ms = ms_since(start);
  std::snprintf(note, sizeof note, "%zu ids, %.1f us per id", removed_ids.size(),
                1000.0 * per_id_ms / static_cast<double>(removed_ids.size()));
  rows.push_back({"remove 10% one id at a time", per_id_ms, note});

  start = Clock::now();
  batch_engine->remove_documents(removed);
  rows.push_back({"remove 10% in one batch", ms_since(start), ""});

  for (const auto& [name, filter] : filters) {
    if (count_of(*engine, filter) != count_of(*batch_engine, filter)) {
      std::fprintf(stderr, "per-id and batch removal disagree on %s\n", name);
      return 1;
    }
  }
  print(rows);
  return 0;
}
