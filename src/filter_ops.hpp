// The operators of the filter language: the keys of an operator object, as in
// {"path": {"$gt": 5}}. Their spellings are read here and nowhere else; the evaluator
// (filter.cpp) and the numeric index (interval_tree) work on FilterOp.
// Pure constants and functions: safe from any thread.
#pragma once

#include <optional>
#include <string_view>

namespace tovik {

enum class FilterOp { Eq, Ne, Gt, Gte, Lt, Lte, In, Nin, Exists };

struct FilterOpSpelling {
  std::string_view text;
  FilterOp op;
};

// Every operator with its spelling (case matters).
inline constexpr FilterOpSpelling FILTER_OPS[] = {
    {"$eq", FilterOp::Eq},   {"$ne", FilterOp::Ne},   {"$gt", FilterOp::Gt},
    {"$gte", FilterOp::Gte}, {"$lt", FilterOp::Lt},   {"$lte", FilterOp::Lte},
    {"$in", FilterOp::In},   {"$nin", FilterOp::Nin}, {"$exists", FilterOp::Exists},
};

// The operator `key` spells; nothing for any other key (the evaluator skips those).
constexpr std::optional<FilterOp> parse_filter_op(std::string_view key) {
  for (const FilterOpSpelling& s : FILTER_OPS) {
    if (s.text == key) return s.op;
  }
  return std::nullopt;
}

// The numeric comparisons ($gt, $gte, $lt, $lte): the operators the numeric index
// answers by range.
constexpr bool is_comparison(FilterOp op) {
  return op == FilterOp::Gt || op == FilterOp::Gte || op == FilterOp::Lt || op == FilterOp::Lte;
}

}  // namespace tovik
