// IntervalTree: the numeric index of one field path.
//
// What it answers is defined by its pair listing: (node value, id) pairs in ascending
// value order, each id exactly once, at the smallest node value it was merged at.
// Node values ascend by at least VALUE_TOLERANCE; a node groups every merged value less
// than 1e-9 above its own (the group's first value, so groups never chain). Merging
// pending pairs gives exactly the tree built from "pending pairs, then the listing";
// removing ids drops their pairs. "$lt x" is the ids whose value is below x, and so on.
//
// Memory is linear in the pairs. Two levels, both in listing order:
//   main   node values, per-node offsets and the ids each node adds, in one flat
//          array, plus cumulative bitmaps at checkpoints only; a checkpoint is placed
//          once the ids added since the previous one take CHECKPOINT_RATIO times fewer
//          bytes in the flat array than the cumulative bitmap takes, so together the
//          checkpoints cost at most about that factor times the flat array.
//   delta  a short sorted pair list that a merge edits; it is folded into main once
//          it holds more than min(4096, main / 8) pairs (bulk batches let it grow to
//          main / 4 first, and settle() folds it before the next query), so a merge
//          costs about what it adds, not what the tree holds.
// A range query takes the nearest checkpoint (or none) and adds or removes the few ids
// between it and the bound, then adds delta's ids: O(log n + answer size).
// No locks: the database is externally synchronised (see core.hpp); queries only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "bitmap.hpp"
#include "filter_ops.hpp"

namespace tovik {

constexpr double VALUE_TOLERANCE = 1e-9;

class IntervalTree {
 public:
  using Pair = std::pair<double, uint32_t>;
  using Pairs = std::vector<Pair>;

  IntervalTree() = default;

  // The tree of these (value, id) pairs, all in main. A NaN value satisfies no
  // comparison, so its pair is left out.
  static IntervalTree build(Pairs pairs);

  // Merges pairs as if the tree were rebuilt from "pairs, then pairs()" with a stable
  // sort by value. Linear in the pairs given and the part of the tree rewritten
  // (delta, or all of it when delta is folded in). Throws std::bad_alloc with the
  // tree unchanged.
  void merge(std::span<const Pair> pairs);

  // Folds delta into main when a bulk merge left it larger than queries should scan
  // (what the next small merge would do anyway). Throws std::bad_alloc with the tree
  // unchanged.
  void settle();

  // The ids whose node value compares with x as op says ($lt, $lte, $gt, $gte); an
  // operator that is not a comparison, or a NaN bound, gives the empty bitmap.
  Bitmap range_query(FilterOp op, double x) const;

  // Ids at the node whose value equals x exactly (not within tolerance); empty when
  // there is no such node.
  Bitmap exact(double x) const;

  // The pair listing: node values ascending, ids ascending within a node.
  Pairs pairs() const;
  // Every id in the tree.
  Bitmap all() const;
  // The distinct node values, ascending.
  std::vector<double> node_values() const;
  size_t pair_count() const { return main_.pair_count() + delta_.size(); }

  // Takes ids out of the tree: their pairs leave the listing, nodes left empty go.
  // Linear in the part of main from the first checkpoint segment holding one of them.
  // Throws std::bad_alloc with the tree unchanged, or with the ids out of the main
  // level only (a tree whose listing still holds some of them, otherwise intact).
  void remove_ids(const Bitmap& ids);

  // Bytes held: array capacities plus every checkpoint's own size accounting.
  size_t memory_bytes() const;

 private:
  // A node whose value drops to the first value of a pending group it joins.
  struct Relabel {
    size_t main_node;  // SIZE_MAX when the value has no main node
    double old_value;
    double new_value;
  };
  struct MergePlan;

  // The flat level: nodes in ascending value order, each adding at least one id.
  class Run {
   public:
    struct Checkpoint {
      size_t node;  // the bitmap holds the ids of nodes [0, node)
      size_t bytes;
      Bitmap ids;
    };

    // Runs built from node values, offsets (one more than values) and ids.
    static Run from_nodes(std::vector<double> values, std::vector<uint32_t> offsets,
                          std::vector<uint32_t> ids);
    // This run with its nodes relabelled, the ids of `removed` dropped and the sorted
    // pairs of `delta` merged in (no id in both).
    static Run fold(const Run& run, std::span<const Relabel> relabels, const Bitmap& removed,
                    const Pairs& delta);

    size_t node_count() const { return values_.size(); }
    size_t pair_count() const { return ids_.size(); }
    const std::vector<double>& values() const { return values_; }
    double& value(size_t node) { return values_[node]; }
    std::span<const uint32_t> node_ids(size_t node) const {
      return {ids_.data() + offsets_[node], offsets_[node + 1] - offsets_[node]};
    }
    size_t offset(size_t node) const { return offsets_[node]; }
    bool contains(uint32_t id) const { return !checkpoints_.empty() && checkpoints_.back().ids.contains(id); }
    const Bitmap* all() const { return checkpoints_.empty() ? nullptr : &checkpoints_.back().ids; }

    // The ids at flat positions [begin, end), node-aligned.
    Bitmap ids_between(size_t begin, size_t end) const;
    // The node holding each id (all present), in the order given.
    std::vector<size_t> nodes_of(const std::vector<uint32_t>& ids) const;
    void remove_ids(const Bitmap& ids);
    size_t memory_bytes() const;

   private:
    void place_checkpoints();
    size_t prefix_cost(size_t end) const;
    Bitmap prefix(size_t end) const;
    Bitmap suffix(size_t begin) const;
    size_t node_at(size_t position) const;

    std::vector<double> values_;
    std::vector<uint32_t> offsets_{0};
    std::vector<uint32_t> ids_;
    std::vector<Checkpoint> checkpoints_;  // ascending; the last one is every id
  };

  void plan_groups(const Pairs& pending, MergePlan& plan) const;
  void plan_new_pairs(MergePlan& plan) const;
  Pairs merged_delta(const MergePlan& plan) const;
  void update_delta(const MergePlan& plan);
  void replace_main(const MergePlan& plan, bool fold);
  void delta_add_range(Bitmap& out, size_t begin, size_t end) const;
  size_t delta_lower(double x) const;
  size_t delta_upper(double x) const;

  Run main_;
  Pairs delta_;       // sorted by (value, id); no id also in main_
  Bitmap delta_ids_;  // the ids of delta_
};

}  // namespace tovik
