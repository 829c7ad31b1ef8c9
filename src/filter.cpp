// FilterEngine: indexing metadata, removing ids from every index, and evaluating the
// filter language.
#include "filter.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "siphash.hpp"

namespace tovik {

namespace {

// Intersects `next` into the accumulator; the first bitmap becomes it.
void intersect_into(FilterResult& acc, Bitmap next) {
  if (acc) {
    *acc &= next;
  } else {
    acc = std::move(next);
  }
}

// Adds `id` to the set stored under `key`, creating the set if it is new. A set created
// here is taken out again when the add runs out of memory: an empty set would read as
// "nothing matches" where a path or value never seen must read as "no result".
template <typename Map, typename Key>
void add_id_under(Map& map, const Key& key, uint32_t id) {
  auto [it, created] = map.try_emplace(key);
  try {
    it->second.add(id);
  } catch (...) {
    if (created) map.erase(it);
    throw;
  }
}

}  // namespace

// ---- Indexing ----

void FilterEngine::add_to_universe(uint32_t id) { all_ids_.add(id); }

void FilterEngine::index_object(const json::Object& object, std::string_view prefix, uint32_t id) {
  index_fields(object, prefix.empty() ? FieldPaths::ROOT : paths_.intern(prefix), id);
}

void FilterEngine::index_fields(const json::Object& object, Path parent, uint32_t id) {
  for (const auto& [key, value] : object) {
    const Path path = paths_.child(parent, key);
    add_id_under(field_exists_, path, id);
    if (value.is_string()) {
      add_value_key(path, hash_value(value.as_string()), id);
    } else if (value.is_bool()) {
      add_value_key(path, hash_value(value.as_bool() ? "true" : "false"), id);
    } else if (value.is_number()) {
      add_number(path, value.as_double(), id);
    } else if (value.is_object()) {
      index_fields(value.as_object(), path, id);
    }
    // Arrays and null: existence only; array elements are not indexed.
  }
}

void FilterEngine::add_value_key(Path path, uint64_t value_key, uint32_t id) {
  add_id_under(inverted_index_[path], value_key, id);
}

void FilterEngine::add_number(Path path, double value, uint32_t id) {
  Pairs& list = pending_numeric_[path];
  list.emplace_back(value, id);
  if (list.size() < PENDING_NUMERIC_LIMIT) return;
  merge_into_tree(path, list);
  Pairs().swap(list);  // the list stays in the map, empty
}

void FilterEngine::merge_into_tree(Path path, const Pairs& pairs) {
  auto it = numeric_index_.find(path);
  if (it == numeric_index_.end()) {
    IntervalTree tree;
    tree.merge(pairs);
    numeric_index_.emplace(path, std::move(tree));
    return;
  }
  it->second.merge(pairs);
}

void FilterEngine::flush_pending_numeric() {
  for (auto& [path, pairs] : pending_numeric_) {
    if (pairs.empty()) continue;
    merge_into_tree(path, pairs);
    Pairs().swap(pairs);
  }
  pending_numeric_.clear();
  for (auto& [path, tree] : numeric_index_) tree.settle();  // after bulk merges
}

// ---- Removal ----

void FilterEngine::remove_documents(const Bitmap& ids) {
  if (ids.empty()) return;
  all_ids_ -= ids;
  for (auto& [path, values] : inverted_index_) {
    for (auto& [value_key, bitmap] : values) bitmap -= ids;
  }
  for (auto& [path, bitmap] : field_exists_) bitmap -= ids;
  for (auto& [path, pairs] : pending_numeric_) {
    std::erase_if(pairs, [&ids](const auto& p) { return ids.contains(p.second); });
  }
  for (auto& [path, tree] : numeric_index_) tree.remove_ids(ids);
}

// ---- Evaluation ----

Result<FilterResult> FilterEngine::apply_filter(std::string_view text) {
  flush_pending_numeric();
  Result<json::Value> filter = json::parse(text);
  if (!filter.ok()) return std::move(filter).error();
  return eval_filter(filter.value());
}

FilterResult FilterEngine::eval_filter(const json::Value& filter) const {
  if (!filter.is_object() || filter.as_object().empty()) return std::nullopt;
  const auto& [key, value] = *filter.as_object().begin();
  if (key == "$or") return eval_or(value);
  if (key == "$and") return eval_and(value);
  if (key == "$not") return eval_not(value);
  if (!value.is_object()) return std::nullopt;
  return eval_field(key, value.as_object());
}

FilterResult FilterEngine::eval_or(const json::Value& elements) const {
  if (!elements.is_array()) return std::nullopt;
  Bitmap united;
  for (const json::Value& element : elements.as_array()) {
    if (FilterResult r = eval_filter(element)) united |= *r;
  }
  return united;
}

FilterResult FilterEngine::eval_and(const json::Value& elements) const {
  if (!elements.is_array() || elements.as_array().empty()) return std::nullopt;
  FilterResult acc;
  for (const json::Value& element : elements.as_array()) {
    FilterResult r = eval_filter(element);
    if (!r) continue;
    intersect_into(acc, std::move(*r));
    if (acc->empty()) break;  // nothing later can add ids back
  }
  return acc;
}

FilterResult FilterEngine::eval_not(const json::Value& inner) const {
  FilterResult r = eval_filter(inner);
  if (!r) return std::nullopt;
  return universe() - *r;
}

FilterResult FilterEngine::eval_field(std::string_view path, const json::Object& ops) const {
  FilterResult acc;
  for (const auto& [key, operand] : ops) {
    const std::optional<FilterOp> op = parse_filter_op(key);
    if (!op) continue;  // not an operator of the language: contributes nothing
    if (FilterResult r = eval_operator(path, *op, operand)) intersect_into(acc, std::move(*r));
  }
  return acc;
}

// std::nullopt here means "contributes nothing": no result, or a wrong-kind operand.
FilterResult FilterEngine::eval_operator(std::string_view path, FilterOp op,
                                         const json::Value& operand) const {
  switch (op) {
    case FilterOp::Eq:
      return eval_eq(path, operand);
    case FilterOp::Ne: {
      FilterResult eq = eval_eq(path, operand);
      if (!eq) return std::nullopt;
      return universe() - *eq;
    }
    case FilterOp::Gt:
    case FilterOp::Gte:
    case FilterOp::Lt:
    case FilterOp::Lte:
      if (!operand.is_number()) return std::nullopt;
      return numeric_range(path, op, operand.as_double());
    case FilterOp::In:
      if (!operand.is_array()) return std::nullopt;
      return eval_in(path, operand.as_array());
    case FilterOp::Nin:
      if (!operand.is_array()) return std::nullopt;
      return universe() - *eval_in(path, operand.as_array());
    case FilterOp::Exists:
      if (!operand.is_bool()) return std::nullopt;
      return eval_exists(path, operand.as_bool());
  }
  return std::nullopt;
}

FilterResult FilterEngine::eval_in(std::string_view path, const json::Array& values) const {
  Bitmap united;
  for (const json::Value& v : values) {
    if (FilterResult r = eval_eq(path, v)) united |= *r;
  }
  return united;
}

template <typename Map>
const typename Map::mapped_type* FilterEngine::find_path(const Map& map, std::string_view path) const {
  const std::optional<Path> node = paths_.find(path);
  if (!node) return nullptr;
  const auto it = map.find(*node);
  return it == map.end() ? nullptr : &it->second;
}

FilterResult FilterEngine::eval_exists(std::string_view path, bool wanted) const {
  const Bitmap* ids = find_path(field_exists_, path);
  if (ids == nullptr) return std::nullopt;
  if (wanted) return *ids;
  return all_ids_ - *ids;
}

FilterResult FilterEngine::eval_eq(std::string_view path, const json::Value& value) const {
  if (value.is_number()) {
    const IntervalTree* tree = find_path(numeric_index_, path);
    if (tree == nullptr) return std::nullopt;
    return tree->exact(value.as_double());
  }
  if (!value.is_string() && !value.is_bool()) return std::nullopt;
  const uint64_t value_key =
      value.is_string() ? hash_value(value.as_string()) : hash_value(value.as_bool() ? "true" : "false");
  return value_ids(path, value_key);
}

FilterResult FilterEngine::value_ids(std::string_view path, uint64_t value_key) const {
  const auto* values = find_path(inverted_index_, path);
  if (values == nullptr) return std::nullopt;
  auto bitmap = values->find(value_key);
  if (bitmap == values->end()) return std::nullopt;
  return bitmap->second;
}

FilterResult FilterEngine::numeric_range(std::string_view path, FilterOp op, double x) const {
  const IntervalTree* tree = find_path(numeric_index_, path);
  if (tree == nullptr) return std::nullopt;
  return tree->range_query(op, x);
}

Bitmap FilterEngine::universe() const { return all_ids_; }

// ---- Read-only views for tests ----

Bitmap FilterEngine::TEST_all_ids() const { return universe(); }

FilterResult FilterEngine::TEST_exists_bitmap(std::string_view path) const {
  const Bitmap* ids = find_path(field_exists_, path);
  if (ids == nullptr) return std::nullopt;
  return *ids;
}

FilterResult FilterEngine::TEST_inverted_bitmap(std::string_view path, uint64_t value_key) const {
  return value_ids(path, value_key);
}

std::vector<std::pair<double, uint32_t>> FilterEngine::TEST_pending_pairs(std::string_view path) const {
  const Pairs* pairs = find_path(pending_numeric_, path);
  if (pairs == nullptr) return {};
  return *pairs;
}

std::optional<std::vector<std::pair<double, uint32_t>>> FilterEngine::TEST_tree_pairs(
    std::string_view path) const {
  const IntervalTree* tree = find_path(numeric_index_, path);
  if (tree == nullptr) return std::nullopt;
  return tree->pairs();
}

}  // namespace tovik
