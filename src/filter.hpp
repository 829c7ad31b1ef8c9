// FilterEngine: everything known about documents' metadata for filtering, and the
// filter language evaluated over it.
//
// Five components, the four maps keyed by field path (interned in a FieldPaths table,
// so that a path's text is held once, split into segments, however deep it lies):
//   inverted_index  path -> (hash_value of string/bool -> ids)
//   numeric_index   path -> IntervalTree of merged numeric values
//   pending_numeric path -> (value, id) pairs not merged yet (merged at 5000 per path
//                   or by the next evaluation)
//   field_exists    path -> ids of documents having the path
//   all_ids         the ids of all live documents (the universe of negations)
// Thread-safety: no locks; the database is externally synchronised (see core.hpp).
// apply_filter flushes pending pairs, so it writes; it runs before search's workers.
//
// A filter evaluates to a bitmap or to "no result" (std::nullopt), which callers treat
// as the empty bitmap. Removed ids leave every structure, numeric ones included, so a
// numeric condition never yields an id removed since it was indexed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bitmap.hpp"
#include "field_paths.hpp"
#include "filter_ops.hpp"
#include "interval_tree.hpp"
#include "json.hpp"
#include "result.hpp"

namespace tovik {

constexpr size_t PENDING_NUMERIC_LIMIT = 5000;

using FilterResult = std::optional<Bitmap>;

class FilterEngine {
 public:
  FilterEngine() = default;

  // Adds id to all_ids.
  void add_to_universe(uint32_t id);
  // The reserve that makes the next add_to_universe certain (Bitmap::ensure_room).
  size_t universe_add_cost() const { return all_ids_.add_cost(); }

  // Records every path of `object` (ascending key order, dotted paths under `prefix`)
  // for id: existence always; strings and booleans by value key; numbers as float64
  // pending pairs, merged into the path's tree when PENDING_NUMERIC_LIMIT of them have
  // gathered. Arrays and null record existence only. Pairs a failed merge could not
  // take stay pending.
  void index_object(const json::Object& object, std::string_view prefix, uint32_t id);

  // Merges every pending numeric pair into its path's tree, then lets each tree fold
  // what bulk merges left in its small level, so that queries stay fast. When memory runs out
  // (std::bad_alloc), the paths merged so far are merged and the others, the failing
  // one included, keep their pending pairs.
  void flush_pending_numeric();

  // Takes every id of `ids` out of all_ids, every inverted and existence bitmap, the
  // pending pairs and the trees (each tree holding one of them becomes the tree built
  // from its pair listing without them). Paths and value keys stay; ids never indexed
  // are a no-op. Every bitmap is swept once with the whole set; the outcome equals
  // removing the ids one by one.
  void remove_documents(const Bitmap& ids);

  // Flushes pending numbers, parses `text` and evaluates it. Error: the parser's
  // message (description + " at line L column C").
  Result<FilterResult> apply_filter(std::string_view text);

  // Evaluates one filter over the indexes as they stand (pending numbers are not
  // seen: apply_filter flushes them first). Only the first key of an object counts;
  // $and/$or/$not combine, any other key is a field path with an operator object.
  // Constructs that cannot be decided give std::nullopt, which $and and operator
  // objects skip, $or ignores, and $not/$ne pass on.
  FilterResult eval_filter(const json::Value& filter) const;
  // Equality on a path: strings and booleans by value key, numbers by the tree's
  // exact lookup (empty when no node has the value); nullopt when the path has no
  // such key or no tree, and for null, arrays and objects.
  FilterResult eval_eq(std::string_view path, const json::Value& value) const;

  // Test hooks: read-only views (copies) for tests and the fuzz targets' consistency
  // checks.
  Bitmap TEST_all_ids() const;
  FilterResult TEST_exists_bitmap(std::string_view path) const;
  FilterResult TEST_inverted_bitmap(std::string_view path, uint64_t value_key) const;
  std::vector<std::pair<double, uint32_t>> TEST_pending_pairs(std::string_view path) const;
  std::optional<std::vector<std::pair<double, uint32_t>>> TEST_tree_pairs(std::string_view path) const;

 private:
  using Path = FieldPaths::Node;
  template <typename V>
  using PathMap = std::unordered_map<Path, V>;
  using Pairs = std::vector<std::pair<double, uint32_t>>;
  using InvertedIndex = PathMap<std::unordered_map<uint64_t, Bitmap>>;
  using NumericIndex = PathMap<IntervalTree>;
  using PendingNumeric = PathMap<Pairs>;
  using FieldExists = PathMap<Bitmap>;

  // index_object below the path `parent`.
  void index_fields(const json::Object& object, Path parent, uint32_t id);
  void add_value_key(Path path, uint64_t value_key, uint32_t id);
  void add_number(Path path, double value, uint32_t id);
  // Merges pairs into the path's tree (creating it), in time linear in the pairs and
  // the part of the tree rewritten. Throws std::bad_alloc with the tree unchanged; the
  // callers then keep the pairs pending.
  void merge_into_tree(Path path, const Pairs& pairs);
  // The entry of an existing path text in `map`, or nullptr.
  template <typename Map>
  const typename Map::mapped_type* find_path(const Map& map, std::string_view path) const;

  FilterResult eval_or(const json::Value& elements) const;
  FilterResult eval_and(const json::Value& elements) const;
  FilterResult eval_not(const json::Value& inner) const;
  FilterResult eval_field(std::string_view path, const json::Object& ops) const;
  FilterResult eval_operator(std::string_view path, FilterOp op, const json::Value& operand) const;
  FilterResult eval_in(std::string_view path, const json::Array& values) const;
  FilterResult eval_exists(std::string_view path, bool wanted) const;
  // The ids under a string or boolean value key of a path; nullopt when there are none.
  FilterResult value_ids(std::string_view path, uint64_t value_key) const;
  FilterResult numeric_range(std::string_view path, FilterOp op, double x) const;
  Bitmap universe() const;

  FieldPaths paths_;
  InvertedIndex inverted_index_;
  NumericIndex numeric_index_;
  PendingNumeric pending_numeric_;
  FieldExists field_exists_;
  Bitmap all_ids_;
};

}  // namespace tovik
