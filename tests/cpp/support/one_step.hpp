// One-step forms of component operations that the product runs only in two steps or
// over sets of ids. Tests and benchmarks drive a component directly through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bitmap.hpp"
#include "filter.hpp"
#include "interval_tree.hpp"
#include "lsh.hpp"

namespace tovik::test {

// Files id under v's signature in every table (prepare_insert, then commit_insert).
inline void lsh_insert(LSH& lsh, uint32_t id, std::span<const float> v) {
  lsh.commit_insert(lsh.prepare_insert(id, v));
}

// The query's candidates in a fresh vector, through a fresh scratch.
inline std::vector<uint32_t> lsh_query(const LSH& lsh, std::span<const float> q, size_t limit) {
  LSH::QueryScratch scratch;
  std::vector<uint32_t> out;
  lsh.query(q, limit, scratch, out);
  return out;
}

// remove_many of one id.
inline void lsh_remove(LSH& lsh, uint32_t id) { lsh.remove_many(Bitmap{id}); }

// remove_documents of one id.
inline void remove_document(FilterEngine& engine, uint32_t id) { engine.remove_documents(Bitmap{id}); }

// remove_ids of one id.
inline void remove_id(IntervalTree& tree, uint32_t id) { tree.remove_ids(Bitmap{id}); }

}  // namespace tovik::test
