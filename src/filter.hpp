// FilterEngine: everything known about documents' metadata for filtering, and the
// filter language evaluated over it.
//
// Five components, each behind its own reader-writer lock:
//   inverted_index  path -> (hash_value of string/bool -> ids)
//   numeric_index   path -> IntervalTree of merged numeric values
//   pending_numeric path -> (value, id) pairs not merged yet (merged at 5000 per path
//                   or by the next evaluation)
//   field_exists    path -> ids of documents having the path
//   all_ids         the ids of all live documents (the universe of negations)
// Lock order where two are held: pending_numeric before numeric_index; field_exists
// before all_ids (both shared). Otherwise one lock at a time.
//
// A filter evaluates to a bitmap or to "no result" (std::nullopt), which callers treat
// as the empty bitmap. Removed ids leave every structure, numeric ones included, so a
// numeric condition never yields an id removed since it was indexed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bitmap.hpp"
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

  // Records every path of `object` (ascending key order, dotted paths under `prefix`)
  // for id: existence always; strings and booleans by value key; numbers as float64
  // pending pairs. Arrays and null record existence only.
  void index_object(const json::Object& object, std::string_view prefix, uint32_t id);

  // Merges every pending numeric pair into its path's tree.
  void flush_pending_numeric();

  // Takes id (or every id of `ids`) out of all_ids, every inverted and existence
  // bitmap, the pending pairs and the trees. Paths and value keys stay.
  void remove_document(uint32_t id);
  void remove_documents(const Bitmap& ids);

  // Flushes pending numbers, parses `text` and evaluates it. Error: the parser's
  // message (description + " at line L column C").
  Result<FilterResult> apply_filter(std::string_view text);

  FilterResult eval_filter(const json::Value& filter) const;
  FilterResult eval_eq(std::string_view path, const json::Value& value) const;

  // Read-only views for tests and consistency checks (copies, under the locks).
  Bitmap all_ids() const;
  FilterResult exists_bitmap(std::string_view path) const;
  FilterResult inverted_bitmap(std::string_view path, uint64_t value_key) const;
  std::vector<std::pair<double, uint32_t>> pending_pairs(std::string_view path) const;
  std::optional<std::vector<std::pair<double, uint32_t>>> tree_pairs(std::string_view path) const;

 private:
  using InvertedIndex = std::unordered_map<std::string, std::unordered_map<uint64_t, Bitmap>>;
  using NumericIndex = std::unordered_map<std::string, IntervalTree>;
  using PendingNumeric = std::unordered_map<std::string, std::vector<std::pair<double, uint32_t>>>;
  using FieldExists = std::unordered_map<std::string, Bitmap>;

  void merge_into_tree(const std::string& path, std::vector<std::pair<double, uint32_t>> pairs);
  FilterResult eval_field(std::string_view path, const json::Object& ops) const;
  FilterResult numeric_range(std::string_view path, std::string_view op, double x) const;
  Bitmap universe() const;

  mutable std::shared_mutex inverted_mutex_;
  InvertedIndex inverted_index_;
  mutable std::shared_mutex numeric_mutex_;
  NumericIndex numeric_index_;
  mutable std::shared_mutex pending_mutex_;
  PendingNumeric pending_numeric_;
  mutable std::shared_mutex exists_mutex_;
  FieldExists field_exists_;
  mutable std::shared_mutex all_ids_mutex_;
  Bitmap all_ids_;
};

}  // namespace tovik
