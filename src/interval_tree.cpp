#include "interval_tree.hpp"

#include <algorithm>
#include <cmath>

namespace tovik {

IntervalTree IntervalTree::build(std::vector<std::pair<double, uint32_t>> pairs) {
  std::erase_if(pairs, [](const auto& p) { return std::isnan(p.first); });
  auto by_value = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (!std::is_sorted(pairs.begin(), pairs.end(), by_value)) std::stable_sort(pairs.begin(), pairs.end(), by_value);
  IntervalTree tree;
  Bitmap running;
  size_t i = 0;
  while (i < pairs.size()) {
    const double first = pairs[i].first;
    Bitmap group;
    // Distances are measured from the group's first value, so groups never chain.
    // (v == first also keeps equal infinities together, whose difference is NaN.)
    for (; i < pairs.size(); ++i) {
      const double v = pairs[i].first;
      if (!(v == first || std::fabs(v - first) < VALUE_TOLERANCE)) break;
      group.add(pairs[i].second);
    }
    running |= group;
    tree.nodes_.push_back(Node{first, running});
  }
  return tree;
}

Bitmap IntervalTree::range_query(std::string_view op, double x) const {
  if (nodes_.empty() || std::isnan(x)) return Bitmap();
  auto count_below = [this](double bound, bool inclusive) {
    auto it = inclusive ? std::upper_bound(nodes_.begin(), nodes_.end(), bound,
                                           [](double b, const Node& n) { return b < n.value; })
                        : std::lower_bound(nodes_.begin(), nodes_.end(), bound,
                                           [](const Node& n, double b) { return n.value < b; });
    return static_cast<size_t>(it - nodes_.begin());
  };
  auto prefix = [this](size_t c) { return c == 0 ? Bitmap() : nodes_[c - 1].ids; };
  if (op == "$lt") return prefix(count_below(x, false));
  if (op == "$lte") return prefix(count_below(x, true));
  if (op == "$gt") return all() - prefix(count_below(x, true));
  if (op == "$gte") return all() - prefix(count_below(x, false));
  return Bitmap();
}

Bitmap IntervalTree::exact(double x) const {
  auto it = std::lower_bound(nodes_.begin(), nodes_.end(), x, [](const Node& n, double b) { return n.value < b; });
  if (it == nodes_.end() || it->value != x) return Bitmap();
  if (it == nodes_.begin()) return it->ids;
  return it->ids - std::prev(it)->ids;
}

std::vector<std::pair<double, uint32_t>> IntervalTree::pairs() const {
  std::vector<std::pair<double, uint32_t>> out;
  out.reserve(static_cast<size_t>(all().cardinality()));
  const Bitmap* previous = nullptr;
  for (const Node& node : nodes_) {
    const Bitmap added = previous == nullptr ? node.ids : node.ids - *previous;
    added.for_each([&](uint32_t id) {
      out.emplace_back(node.value, id);
      return true;
    });
    previous = &node.ids;
  }
  return out;
}

const Bitmap& IntervalTree::all() const {
  static const Bitmap empty_set;
  return nodes_.empty() ? empty_set : nodes_.back().ids;
}

void IntervalTree::remove_ids(const Bitmap& ids) {
  // Cumulative sets only grow, so the nodes meeting `ids` are a suffix.
  auto first = std::partition_point(nodes_.begin(), nodes_.end(),
                                    [&ids](const Node& n) { return !n.ids.intersects(ids); });
  if (first == nodes_.end()) return;
  uint64_t previous_count = first == nodes_.begin() ? 0 : std::prev(first)->ids.cardinality();
  auto kept = first;
  for (auto it = first; it != nodes_.end(); ++it) {
    it->ids -= ids;
    // A node adds ids exactly when its set is larger than its predecessor's.
    const uint64_t count = it->ids.cardinality();
    if (count > previous_count) {
      if (kept != it) *kept = std::move(*it);
      ++kept;
    }
    previous_count = count;
  }
  nodes_.erase(kept, nodes_.end());
}

void IntervalTree::remove_id(uint32_t id) {
  auto first = std::partition_point(nodes_.begin(), nodes_.end(), [id](const Node& n) { return !n.ids.contains(id); });
  if (first == nodes_.end()) return;
  for (auto it = first; it != nodes_.end(); ++it) it->ids.remove(id);
  const bool adds = first == nodes_.begin() ? !first->ids.empty()
                                            : first->ids.cardinality() > std::prev(first)->ids.cardinality();
  if (!adds) nodes_.erase(first);
}

}  // namespace tovik
