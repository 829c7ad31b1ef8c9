// IntervalTree: the numeric index of one field path.
//
// Nodes in strictly ascending value order; a node groups every value less than 1e-9
// above its own (the group's first value), and carries the cumulative bitmap of all
// ids of itself and every earlier node. A range query is one binary search and at
// most one bitmap difference. Immutable after build; guarded by its owner's lock.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "bitmap.hpp"

namespace tovik {

constexpr double VALUE_TOLERANCE = 1e-9;

class IntervalTree {
 public:
  struct Node {
    double value;
    Bitmap ids;  // cumulative
  };

  IntervalTree() = default;

  // Builds from (value, id) pairs (taken over; stable-sorted by value). A NaN value
  // satisfies no comparison, so its pair is left out.
  static IntervalTree build(std::vector<std::pair<double, uint32_t>> pairs);

  // op is "$lt", "$lte", "$gt" or "$gte", compared against node values; any other
  // text, or a NaN bound, gives the empty bitmap.
  Bitmap range_query(std::string_view op, double x) const;

  // Ids the node whose value equals x exactly (not within tolerance) adds to its
  // predecessor; empty when there is no such node.
  Bitmap exact(double x) const;

  // For each node in order, (node value, id) for every id the node adds.
  std::vector<std::pair<double, uint32_t>> pairs() const;

  // Every id in the tree (the last node's bitmap; an empty set for no nodes).
  const Bitmap& all() const;

  // Takes `ids` out of the tree, in place: every node loses them, and when any was
  // present, nodes left adding nothing to their predecessor are dropped. The tree
  // then lists the pairs and answers every query exactly as build(pairs() without
  // those ids) would, at the cost of one bitmap difference per node and no sort.
  void remove_ids(const Bitmap& ids);
  // The same for one id; the nodes holding it are a suffix found by binary search,
  // and only the first of them can be left adding nothing.
  void remove_id(uint32_t id);

  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  std::vector<Node> nodes_;
};

}  // namespace tovik
