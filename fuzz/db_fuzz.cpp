// Fuzz target: metadata indexing by `add` and removal by `delete` on a database.
//
// The input is a program of small steps: adds of generated metadata documents under
// ids 0..23 and deletes by generated filters. After every step the counts and the
// filter indexes must agree with what was added and removed:
//   count() == id_bound - |deleted_ids|, and id_bound is one past the highest id;
//   delete returns the size of the filter's result just before it, and exactly those
//   ids join deleted_ids;
//   all_ids holds the added ids except those removed since their last add;
//   a removed id (not added again) is in no existence, value or numeric structure,
//   and no numeric range yields it.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core_impl.hpp"
#include "filter_ops.hpp"
#include "json.hpp"
#include "json_serialize.hpp"
#include "siphash.hpp"

namespace {

using tovik::json::Array;
using tovik::json::Object;
using tovik::json::Value;
using Ids = std::set<uint32_t>;

constexpr uint32_t ID_RANGE = 24;
constexpr size_t MAX_STEPS = 40;
const char* const KEYS[] = {"a", "b", "n", "a.x"};
const char* const TEXTS[] = {"red", "blue", "true", ""};
const double NUMBERS[] = {1.0, 2.5, -4.0, 100.0, 1e9};
const char* const PATHS[] = {"a", "b", "n", "a.x", "b.x", "n.x", "a.x.x"};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "db_fuzz: %s\n", what.c_str());
  std::abort();
}

void check(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  unsigned next(unsigned range) { return pos_ < size_ ? data_[pos_++] % range : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

Value leaf(Input& in) {
  switch (in.next(6)) {
    case 0:
      return Value(TEXTS[in.next(4)]);
    case 1:
      return Value(in.next(2) == 1);
    case 2:
      return Value(NUMBERS[in.next(5)]);
    case 3:
      return Value(static_cast<int>(in.next(5)) - 2);
    case 4:
      return Value(tovik::json::Null{});
    default:
      return Value(Array{Value(1), Value("red")});
  }
}

Value document(Input& in) {
  Object doc;
  const unsigned fields = in.next(4);
  for (unsigned i = 0; i < fields; ++i) {
    const char* key = KEYS[in.next(4)];
    doc[key] = in.next(4) == 0 ? Value(Object{{"x", leaf(in)}}) : leaf(in);
  }
  return doc;
}

Value condition(Input& in) {
  const std::string op(tovik::FILTER_OPS[in.next(std::size(tovik::FILTER_OPS))].text);
  Value operand = op == "$exists"               ? Value(in.next(2) == 1)
                  : op == "$in" || op == "$nin" ? Value(Array{leaf(in), leaf(in)})
                                                : leaf(in);
  return Object{{PATHS[in.next(7)], Object{{op, operand}}}};
}

Value filter(Input& in) {
  switch (in.next(5)) {
    case 0:
      return Object{{"$not", condition(in)}};
    case 1:
      return Object{{"$or", Array{condition(in), condition(in)}}};
    case 2:
      return Object{{"$and", Array{condition(in), condition(in)}}};
    default:
      return condition(in);
  }
}

Ids to_set(const tovik::Bitmap& b) {
  const std::vector<uint32_t> v = b.to_vector();
  return Ids(v.begin(), v.end());
}

// One scratch directory per process, removed at exit; each input starts on an empty
// metadata file, since the store appends to whatever is there.
std::string database_path() {
  static const std::string base = [] {
    char tmpl[] = "/tmp/tovik_db_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) fail("mkdtemp failed");
    return std::string(tmpl);
  }();
  static const bool cleanup_registered = [] {
    return std::atexit([] {
             std::error_code ignored;
             std::filesystem::remove_all(base, ignored);
           }) == 0;
  }();
  (void)cleanup_registered;
  std::filesystem::remove(base + "/db/metadata.bin");
  return base + "/db";
}

struct Model {
  Ids added;    // every id added so far
  Ids removed;  // ids removed by a delete and not added since
  Ids deleted;  // every id a delete matched
  uint64_t id_bound = 0;
};

void check_removed_ids_are_gone(const tovik::TovikDB& db, const Model& m) {
  const Ids all = to_set(db.TEST_impl().TEST_filter().TEST_all_ids());
  Ids expected_all;
  for (uint32_t id : m.added) {
    if (m.removed.count(id) == 0) expected_all.insert(id);
  }
  check(all == expected_all, "all_ids differs from the added ids minus the removed ones");
  for (const char* path : PATHS) {
    if (auto e = db.TEST_impl().TEST_filter().TEST_exists_bitmap(path)) {
      for (uint32_t id : m.removed)
        check(!e->contains(id), std::string("removed id in field_exists of ") + path);
    }
    for (const char* text : TEXTS) {
      if (auto b = db.TEST_impl().TEST_filter().TEST_inverted_bitmap(path, tovik::hash_value(text))) {
        for (uint32_t id : m.removed)
          check(!b->contains(id), std::string("removed id in inverted_index of ") + path);
      }
    }
    for (const auto& [value, id] : db.TEST_impl().TEST_filter().TEST_pending_pairs(path)) {
      check(m.removed.count(id) == 0, std::string("removed id pending under ") + path);
    }
    if (auto pairs = db.TEST_impl().TEST_filter().TEST_tree_pairs(path)) {
      for (const auto& [value, id] : *pairs)
        check(m.removed.count(id) == 0, std::string("removed id in the tree of ") + path);
    }
    const Value range = Object{{path, Object{{"$gte", Value(-1e300)}}}};
    if (auto r = db.TEST_impl().TEST_filter().eval_filter(range)) {
      for (uint32_t id : m.removed)
        check(!r->contains(id), std::string("a range on ") + path + " yields a removed id");
    }
  }
}

void check_counts(tovik::TovikDB& db, const Model& m) {
  check(db.TEST_impl().TEST_id_bound() == m.id_bound, "id_bound is not one past the highest id");
  check(to_set(db.TEST_impl().TEST_deleted_ids()) == m.deleted,
        "deleted_ids differs from the ids deletes matched");
  auto count = db.count();
  check(count.ok(), "count failed");
  check(count.value() == m.id_bound - m.deleted.size(), "count is not id_bound minus the deleted ids");
}

void run_delete(tovik::TovikDB& db, Model& m, Input& in) {
  const std::string text = tovik::json::serialize(filter(in));
  // A filter that is no construct flushes pending numbers without removing anything,
  // so that eval_filter below sees what apply_filter will see.
  auto flushed = db.delete_matching("{}");
  check(flushed.ok() && flushed.value() == 0, "the empty filter removed something");
  const tovik::FilterResult before =
      db.TEST_impl().TEST_filter().eval_filter(tovik::json::parse(text).value());
  const Ids matched = before ? to_set(*before) : Ids{};
  auto n = db.delete_matching(text);
  check(n.ok(), "delete failed on " + text);
  check(n.value() == matched.size(), "delete did not report the filter's match count for " + text);
  m.removed.insert(matched.begin(), matched.end());
  m.deleted.insert(matched.begin(), matched.end());
}

void run_add(tovik::TovikDB& db, Model& m, Input& in) {
  const uint32_t id = in.next(ID_RANGE);
  const std::string metadata = tovik::json::serialize(document(in));
  const float vector[2] = {1.0f, static_cast<float>(id)};
  check(db.add(id, vector, metadata, std::nullopt).ok(), "add failed for " + metadata);
  m.added.insert(id);
  m.removed.erase(id);
  m.id_bound = std::max<uint64_t>(m.id_bound, uint64_t{id} + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto opened = tovik::TovikDB::open(database_path());
  check(opened.ok(), "open failed");
  tovik::TovikDB& db = *opened.value();
  Model m;
  Input in(data, size);
  for (size_t step = 0; step < MAX_STEPS && !in.done(); ++step) {
    if (in.next(4) == 3) {
      run_delete(db, m, in);
    } else {
      run_add(db, m, in);
    }
    check_counts(db, m);
    check_removed_ids_are_gone(db, m);
  }
  return 0;
}
