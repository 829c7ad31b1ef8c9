// Fuzz target: the filter language over a fixed small collection.
//
// The input is a filter text. apply_filter on a FilterEngine holding 20 fixed
// documents must never crash and must give exactly what a brute-force evaluator
// gives: this one reads the parsed documents directly and applies the operator table
// of the filter language, knowing nothing of the indexes. The documents' numbers are
// far apart (no two within 1e-9), so every value is its own tree node.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "filter.hpp"
#include "json.hpp"

namespace {

using tovik::json::Array;
using tovik::json::Object;
using tovik::json::Value;
using Ids = std::set<uint32_t>;
using Outcome = std::optional<Ids>;  // nullopt: "no result"

const char* const DOCUMENTS[] = {
    R"({"color":"red","n":5,"size":{"w":2,"h":3}})",
    R"({"color":"blue","n":7.5,"tags":["a","b"]})",
    R"({"color":"red","tag":[1,2],"flag":false})",
    R"({"flag":true,"n":-3})",
    R"({"flag":"true","n":"5","color":null})",
    R"({"n":100,"size":{"w":10}})",
    R"({"n":18446744073709551615,"name":"big"})",
    R"({"n":-1e300,"name":"tiny"})",
    R"({"a.b":1,"a":{"b":2}})",
    R"({"a":{"b":"x","c":{"d":0.25}}})",
    R"({"":{"b":4},"empty":{}})",
    R"({"color":"green","n":0})",
    R"({"color":"red","n":-0.5,"flag":true})",
    R"({"name":"","n":42,"color":"Red"})",
    R"({"size":{"w":2},"n":5})",
    R"([1,2,3])",
    R"("just text")",
    R"({"name":"\u00e9t\u00e9","n":1e10})",
    R"({"color":"blue","flag":"false","n":7})",
    R"({"deep":{"er":{"est":{"n":3}}},"n":3})",
};
constexpr uint32_t DOCUMENT_COUNT = sizeof(DOCUMENTS) / sizeof(DOCUMENTS[0]);

// Every (path, value) of a document, flattened as the indexes flatten it: nested
// objects give dotted paths, arrays and null are leaves.
using Flat = std::multimap<std::string, const Value*>;

void flatten(const Object& object, const std::string& prefix, Flat& out) {
  for (const auto& [key, value] : object) {
    std::string path = prefix.empty() ? key : prefix + "." + key;
    out.emplace(path, &value);
    if (value.is_object()) flatten(value.as_object(), path, out);
  }
}

struct Collection {
  std::vector<Value> documents;
  std::vector<Flat> flat;  // per id
  tovik::FilterEngine engine;

  Collection() {
    documents.reserve(DOCUMENT_COUNT);
    flat.resize(DOCUMENT_COUNT);
    for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) {
      documents.push_back(tovik::json::parse(DOCUMENTS[id]).value());
      engine.add_to_universe(id);
      if (documents[id].is_object()) {
        flatten(documents[id].as_object(), "", flat[id]);
        engine.index_object(documents[id].as_object(), "", id);
      }
    }
  }
};

Collection& collection() {
  static Collection c;
  return c;
}

// The text a string or boolean is indexed by.
std::optional<std::string> text_key(const Value& v) {
  if (v.is_string()) return v.as_string();
  if (v.is_bool()) return std::string(v.as_bool() ? "true" : "false");
  return std::nullopt;
}

// A document's values at `path` that are numbers; the smallest is the one the tree
// files the document under.
std::optional<double> smallest_number(const Flat& flat, const std::string& path) {
  std::optional<double> least;
  auto [begin, end] = flat.equal_range(path);
  for (auto it = begin; it != end; ++it) {
    if (!it->second->is_number()) continue;
    const double x = it->second->as_double();
    if (!least || x < *least) least = x;
  }
  return least;
}

class BruteForce {
 public:
  explicit BruteForce(const Collection& c) : c_(c) {
    for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) all_.insert(id);
  }

  Outcome filter(const Value& f) const {
    if (!f.is_object() || f.as_object().empty()) return std::nullopt;
    const auto& [key, value] = *f.as_object().begin();
    if (key == "$or") return any_of(value);
    if (key == "$and") return every_of(value);
    if (key == "$not") {
      Outcome inner = filter(value);
      if (!inner) return std::nullopt;
      return minus(all_, *inner);
    }
    if (!value.is_object()) return std::nullopt;
    Outcome acc;
    for (const auto& [op, operand] : value.as_object()) {
      Outcome r = apply_operator(key, op, operand);
      if (!r) continue;
      acc = acc ? intersect(*acc, *r) : *r;
    }
    return acc;
  }

 private:
  Outcome any_of(const Value& v) const {
    if (!v.is_array()) return std::nullopt;
    Ids out;
    for (const Value& e : v.as_array()) {
      if (Outcome r = filter(e)) out.insert(r->begin(), r->end());
    }
    return out;
  }

  Outcome every_of(const Value& v) const {
    if (!v.is_array() || v.as_array().empty()) return std::nullopt;
    Outcome acc;
    for (const Value& e : v.as_array()) {
      Outcome r = filter(e);
      if (!r) continue;
      acc = acc ? intersect(*acc, *r) : *r;
    }
    return acc;
  }

  Outcome apply_operator(const std::string& path, const std::string& op, const Value& operand) const {
    if (op == "$eq") return eq(path, operand);
    if (op == "$ne") {
      Outcome e = eq(path, operand);
      if (!e) return std::nullopt;
      return minus(all_, *e);
    }
    if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
      if (!operand.is_number()) return std::nullopt;
      return compare(path, op, operand.as_double());
    }
    if (op == "$in" || op == "$nin") {
      if (!operand.is_array()) return std::nullopt;
      Ids in;
      for (const Value& e : operand.as_array()) {
        if (Outcome r = eq(path, e)) in.insert(r->begin(), r->end());
      }
      return op == "$in" ? in : minus(all_, in);
    }
    if (op == "$exists") {
      if (!operand.is_bool()) return std::nullopt;
      Ids having;
      for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) {
        if (c_.flat[id].count(path) > 0) having.insert(id);
      }
      if (having.empty()) return std::nullopt;
      return operand.as_bool() ? having : minus(all_, having);
    }
    return std::nullopt;
  }

  Outcome eq(const std::string& path, const Value& v) const {
    if (auto wanted = text_key(v)) {
      Ids out;
      for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) {
        auto [begin, end] = c_.flat[id].equal_range(path);
        for (auto it = begin; it != end; ++it) {
          if (text_key(*it->second) == wanted) out.insert(id);
        }
      }
      if (out.empty()) return std::nullopt;  // no such value key at the path
      return out;
    }
    if (!v.is_number()) return std::nullopt;
    if (!has_numbers(path)) return std::nullopt;
    Ids out;
    for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) {
      if (smallest_number(c_.flat[id], path) == v.as_double()) out.insert(id);
    }
    return out;
  }

  Outcome compare(const std::string& path, const std::string& op, double x) const {
    if (!has_numbers(path)) return std::nullopt;
    Ids out;
    for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) {
      const std::optional<double> least = smallest_number(c_.flat[id], path);
      if (!least) continue;
      const bool in = op == "$lt"    ? *least < x
                      : op == "$lte" ? *least <= x
                      : op == "$gt"  ? *least > x
                                     : *least >= x;
      if (in) out.insert(id);
    }
    return out;
  }

  bool has_numbers(const std::string& path) const {
    for (uint32_t id = 0; id < DOCUMENT_COUNT; ++id) {
      if (smallest_number(c_.flat[id], path)) return true;
    }
    return false;
  }

  static Ids intersect(const Ids& a, const Ids& b) {
    Ids out;
    for (uint32_t id : a) {
      if (b.count(id) > 0) out.insert(id);
    }
    return out;
  }
  static Ids minus(const Ids& a, const Ids& b) {
    Ids out;
    for (uint32_t id : a) {
      if (b.count(id) == 0) out.insert(id);
    }
    return out;
  }

  const Collection& c_;
  Ids all_;
};

std::string describe(const Outcome& o) {
  if (!o) return "no result";
  std::string s = "{";
  for (uint32_t id : *o) s += std::to_string(id) + ",";
  return s + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Collection& c = collection();
  auto got = c.engine.apply_filter(text);
  auto parsed = tovik::json::parse(text);
  if (got.ok() != parsed.ok()) {
    std::fprintf(stderr, "filter_fuzz: apply_filter and parse disagree on %.*s\n", static_cast<int>(size),
                 text.data());
    std::abort();
  }
  if (!parsed.ok()) return 0;
  Outcome engine;
  if (got.value()) {
    const std::vector<uint32_t> ids = got.value()->to_vector();
    engine = Ids(ids.begin(), ids.end());
  }
  const Outcome expected = BruteForce(c).filter(parsed.value());
  if (engine != expected) {
    std::fprintf(stderr, "filter_fuzz: %.*s\nengine: %s\nexpected: %s\n", static_cast<int>(size), text.data(),
                 describe(engine).c_str(), describe(expected).c_str());
    std::abort();
  }
  return 0;
}
