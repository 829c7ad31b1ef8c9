// IntervalTree: the flat level with its checkpoints, merging pending pairs through the
// delta level, range and exact queries, removal.
#include "interval_tree.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>
#include <unordered_map>

namespace tovik {

namespace {

// Checkpoints cost at most about this many times the flat ids they cover.
constexpr size_t CHECKPOINT_RATIO = 4;
// Never closer than this many ids: small bitmaps are dominated by fixed overheads.
constexpr size_t MIN_CHECKPOINT_GAP = 256;
// Copying this many bytes of a bitmap costs about as much as adding one id in no
// particular order.
constexpr size_t COPY_BYTES_PER_ID = 32;
// Delta is folded into main when a merge leaves it above min(DELTA_MAX, main /
// DELTA_FRACTION): single adds fold every DELTA_MAX of them and a small tree stays
// mostly in main. A batch of at least DELTA_MAX pairs (a bulk load) lets it grow to
// BATCH_FACTOR times the batch or main / BULK_FRACTION, so bulk loads rewrite main
// geometrically rarely; the next small merge (the one before a query) folds it.
constexpr size_t DELTA_MAX = 4096;
constexpr size_t DELTA_FRACTION = 8;
constexpr size_t BATCH_FACTOR = 4;
constexpr size_t BULK_FRACTION = 4;
constexpr size_t NO_NODE = std::numeric_limits<size_t>::max();
// Merges of at most this many new pairs insert them one by one, and change delta's id
// set in place.
constexpr size_t ONE_BY_ONE = 8;

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

bool by_value(const IntervalTree::Pair& a, const IntervalTree::Pair& b) { return a.first < b.first; }

// Within VALUE_TOLERANCE of a group's first value (equal infinities, whose difference
// is NaN, included).
bool in_group(double v, double first) { return v == first || std::fabs(v - first) < VALUE_TOLERANCE; }

// Calls emit(value, main node or NO_NODE, main ids, delta pairs) once per node of the
// union of a run (whose node values are `values`) and a delta sorted by (value, id),
// in ascending value order; a value present in both gives one call with both parts.
template <typename Run, typename Emit>
void for_each_node(std::span<const double> values, const Run& run, std::span<const IntervalTree::Pair> delta,
                   Emit&& emit) {
  size_t i = 0, j = 0;
  const size_t n = values.size();
  while (i < n || j < delta.size()) {
    const bool take_main = j == delta.size() || (i < n && values[i] <= delta[j].first);
    const bool take_delta = i == n || (j < delta.size() && delta[j].first <= values[i]);
    const double value = take_main ? values[i] : delta[j].first;
    size_t end = j;
    if (take_delta) {
      while (end < delta.size() && delta[end].first == value) ++end;
    }
    emit(value, take_main ? i : NO_NODE, take_main ? run.node_ids(i) : std::span<const uint32_t>(),
         delta.subspan(j, end - j));
    if (take_main) ++i;
    j = end;
  }
}

}  // namespace

// ---- Run: the flat level ----

IntervalTree::Run IntervalTree::Run::from_nodes(std::vector<double> values, std::vector<uint32_t> offsets,
                                                std::vector<uint32_t> ids) {
  Run run;
  run.values_ = std::move(values);
  run.offsets_ = std::move(offsets);
  run.ids_ = std::move(ids);
  run.place_checkpoints();
  return run;
}

void IntervalTree::Run::place_checkpoints() {
  checkpoints_.clear();
  const size_t n = values_.size();
  if (n == 0) return;
  Bitmap running;
  size_t last = 0;
  size_t needed = MIN_CHECKPOINT_GAP;
  auto place = [this](size_t node, Bitmap ids) {
    ids.compact();
    const size_t bytes = ids.size_in_bytes();
    checkpoints_.push_back(Checkpoint{node, bytes, std::move(ids)});
  };
  // `running` takes the ids up to a node only when its size is asked: one call per
  // candidate checkpoint rather than one per node.
  size_t added = 0;
  auto catch_up = [&](size_t end) {
    running.add_many(ids_.data() + added, end - added);
    added = end;
  };
  for (size_t k = 0; k + 1 < n; ++k) {
    const size_t since = offsets_[k + 1] - last;
    if (since < needed) continue;
    catch_up(offsets_[k + 1]);
    needed = std::max(MIN_CHECKPOINT_GAP, running.size_in_bytes() / (sizeof(uint32_t) * CHECKPOINT_RATIO));
    if (since < needed) continue;
    place(k + 1, running);
    last = offsets_[k + 1];
  }
  catch_up(offsets_[n]);
  place(n, std::move(running));
}

IntervalTree::Run IntervalTree::Run::fold(const Run& run, std::span<const Relabel> relabels,
                                          const Bitmap& removed, const Pairs& delta) {
  std::vector<double> values;
  std::vector<uint32_t> offsets{0};
  std::vector<uint32_t> ids;
  values.reserve(run.node_count() + delta.size());
  offsets.reserve(run.node_count() + delta.size() + 1);
  ids.reserve(run.pair_count() + delta.size());
  const bool removing = !removed.empty();
  // Relabelled values first, so that a node meets the delta pairs of its new value.
  std::vector<double> relabelled;
  if (!relabels.empty()) {
    relabelled = run.values_;
    for (const Relabel& r : relabels) {
      if (r.main_node != NO_NODE) relabelled[r.main_node] = r.new_value;
    }
  }
  const std::vector<double>& node_values = relabels.empty() ? run.values_ : relabelled;
  for_each_node(
      node_values, run, delta,
      [&](double value, size_t, std::span<const uint32_t> main_ids, std::span<const Pair> delta_pairs) {
        const size_t start = ids.size();
        auto d = delta_pairs.begin();
        for (uint32_t id : main_ids) {
          if (removing && removed.contains(id)) continue;
          for (; d != delta_pairs.end() && d->second < id; ++d) ids.push_back(d->second);
          ids.push_back(id);
        }
        for (; d != delta_pairs.end(); ++d) ids.push_back(d->second);
        if (ids.size() == start) return;
        values.push_back(value);
        offsets.push_back(static_cast<uint32_t>(ids.size()));
      });
  return from_nodes(std::move(values), std::move(offsets), std::move(ids));
}

size_t IntervalTree::Run::prefix_cost(size_t end) const {
  size_t best = end;
  auto after = std::partition_point(checkpoints_.begin(), checkpoints_.end(),
                                    [&](const Checkpoint& c) { return offsets_[c.node] < end; });
  if (after != checkpoints_.end())
    best = std::min(best, after->bytes / COPY_BYTES_PER_ID + offsets_[after->node] - end);
  if (after != checkpoints_.begin()) {
    const Checkpoint& before = *std::prev(after);
    best = std::min(best, before.bytes / COPY_BYTES_PER_ID + end - offsets_[before.node]);
  }
  return best;
}

// The ids of positions [0, end): from nothing, or from the checkpoint before or after
// the bound, whichever costs least.
Bitmap IntervalTree::Run::prefix(size_t end) const {
  auto after = std::partition_point(checkpoints_.begin(), checkpoints_.end(),
                                    [&](const Checkpoint& c) { return offsets_[c.node] < end; });
  size_t best = end;
  const Checkpoint* from = nullptr;
  if (after != checkpoints_.end()) {
    const size_t cost = after->bytes / COPY_BYTES_PER_ID + offsets_[after->node] - end;
    if (cost < best) best = cost, from = &*after;
  }
  if (after != checkpoints_.begin()) {
    const Checkpoint& before = *std::prev(after);
    if (before.bytes / COPY_BYTES_PER_ID + end - offsets_[before.node] < best) from = &before;
  }
  if (from == nullptr) {
    Bitmap out;
    out.add_many(ids_.data(), end);
    return out;
  }
  Bitmap out = from->ids;
  const size_t at = offsets_[from->node];
  if (at < end) {
    out.add_many(ids_.data() + at, end - at);
  } else {
    out.remove_many(ids_.data() + end, at - end);  // each id sits at one position only
  }
  return out;
}

// The ids of positions [begin, size): directly, or every id minus the checkpoint
// nearest the bound, corrected by the ids between the two.
Bitmap IntervalTree::Run::suffix(size_t begin) const {
  const size_t size = ids_.size();
  auto after = std::partition_point(checkpoints_.begin(), checkpoints_.end(),
                                    [&](const Checkpoint& c) { return offsets_[c.node] < begin; });
  size_t best = size - begin;
  const Checkpoint* from = nullptr;
  auto consider = [&](const Checkpoint& c) {
    const size_t at = offsets_[c.node];
    const size_t cost = c.bytes / COPY_BYTES_PER_ID + (at < begin ? begin - at : at - begin);
    if (cost < best) best = cost, from = &c;
  };
  if (after != checkpoints_.end() && std::next(after) != checkpoints_.end()) consider(*after);
  if (after != checkpoints_.begin()) consider(*std::prev(after));
  if (from == nullptr) {
    Bitmap out;
    out.add_many(ids_.data() + begin, size - begin);
    return out;
  }
  Bitmap out = Bitmap::difference(checkpoints_.back().ids, from->ids);
  const size_t at = offsets_[from->node];
  if (at < begin) {
    out.remove_many(ids_.data() + at, begin - at);
  } else {
    out.add_many(ids_.data() + begin, at - begin);
  }
  return out;
}

Bitmap IntervalTree::Run::ids_between(size_t begin, size_t end) const {
  if (begin >= end) return Bitmap();
  if (begin == 0) return prefix(end);
  if (end == ids_.size()) return suffix(begin);
  if (end - begin <= prefix_cost(end) + prefix_cost(begin)) {
    Bitmap out;
    out.add_many(ids_.data() + begin, end - begin);
    return out;
  }
  Bitmap out = prefix(end);
  out -= prefix(begin);
  return out;
}

size_t IntervalTree::Run::node_at(size_t position) const {
  return static_cast<size_t>(std::upper_bound(offsets_.begin(), offsets_.end(), position) -
                             offsets_.begin()) -
         1;
}

std::vector<size_t> IntervalTree::Run::nodes_of(const std::vector<uint32_t>& ids) const {
  std::vector<size_t> nodes;
  nodes.reserve(ids.size());
  if (ids.size() * 64 > ids_.size()) {  // many: one pass over every position
    Bitmap wanted;
    wanted.add_many(ids.data(), ids.size());
    std::unordered_map<uint32_t, size_t> position;
    for (size_t p = 0; p < ids_.size(); ++p) {
      if (wanted.contains(ids_[p])) position.emplace(ids_[p], p);
    }
    for (uint32_t id : ids) nodes.push_back(node_at(position.at(id)));
    return nodes;
  }
  for (uint32_t id : ids) {  // few: the first checkpoint holding the id bounds its segment
    auto cp = std::partition_point(checkpoints_.begin(), checkpoints_.end(),
                                   [id](const Checkpoint& c) { return !c.ids.contains(id); });
    const size_t begin = cp == checkpoints_.begin() ? 0 : offsets_[std::prev(cp)->node];
    const auto end = ids_.begin() + static_cast<std::ptrdiff_t>(offsets_[cp->node]);
    const auto it = std::find(ids_.begin() + static_cast<std::ptrdiff_t>(begin), end, id);
    nodes.push_back(node_at(static_cast<size_t>(it - ids_.begin())));
  }
  return nodes;
}

// Everything that can fail comes first (room for the new checkpoint list, and a
// reserve covering every checkpoint's difference), so the run changes all at once or,
// with std::bad_alloc, not at all.
void IntervalTree::Run::remove_ids(const Bitmap& ids) {
  if (checkpoints_.empty() || !checkpoints_.back().ids.intersects(ids)) return;
  // Cumulative sets only grow: the checkpoints meeting `ids` are a suffix, and nothing
  // before the segment of the first of them changes.
  auto first = std::partition_point(checkpoints_.begin(), checkpoints_.end(),
                                    [&ids](const Checkpoint& c) { return !c.ids.intersects(ids); });
  std::vector<Checkpoint> distinct;
  distinct.reserve(checkpoints_.size());
  size_t room = 0;
  for (auto it = first; it != checkpoints_.end(); ++it) room += it->ids.difference_cost(ids);
  Bitmap::ensure_room(room);
  const size_t start = first == checkpoints_.begin() ? 0 : std::prev(first)->node;
  size_t c = static_cast<size_t>(first - checkpoints_.begin());
  size_t kept = start, write = offsets_[start], begin = offsets_[start];
  for (size_t k = start; k < values_.size(); ++k) {
    for (; c < checkpoints_.size() && checkpoints_[c].node == k; ++c) checkpoints_[c].node = kept;
    const size_t end = offsets_[k + 1];
    const size_t node_start = write;
    for (size_t p = begin; p < end; ++p) {
      if (!ids.contains(ids_[p])) ids_[write++] = ids_[p];
    }
    begin = end;
    if (write == node_start) continue;  // every id of the node left
    values_[kept] = values_[k];
    offsets_[++kept] = static_cast<uint32_t>(write);
  }
  for (; c < checkpoints_.size(); ++c) checkpoints_[c].node = kept;
  values_.resize(kept);
  offsets_.resize(kept + 1);
  ids_.resize(write);
  for (auto it = first; it != checkpoints_.end(); ++it) {
    it->ids -= ids;
    it->bytes = it->ids.size_in_bytes();
  }
  // Checkpoints that now mark the same prefix (or the empty one) are redundant.
  for (size_t i = 0; i < checkpoints_.size(); ++i) {
    const bool repeated = i + 1 < checkpoints_.size() && checkpoints_[i + 1].node == checkpoints_[i].node;
    if (!repeated && checkpoints_[i].node > 0) distinct.push_back(std::move(checkpoints_[i]));
  }
  checkpoints_ = std::move(distinct);
}

size_t IntervalTree::Run::memory_bytes() const {
  size_t bytes = values_.capacity() * sizeof(double) + offsets_.capacity() * sizeof(uint32_t) +
                 ids_.capacity() * sizeof(uint32_t) + checkpoints_.capacity() * sizeof(Checkpoint);
  for (const Checkpoint& c : checkpoints_) bytes += c.bytes;
  return bytes;
}

// ---- Merging ----

struct IntervalTree::MergePlan {
  Pairs grouped;                  // (group value, id) of every pending pair, in value order
  std::vector<Relabel> relabels;  // nodes whose value drops to a pending group's first value
  Pairs added;                    // pairs the listing gains, sorted by (value, id)
  Bitmap main_removed;            // ids moving from main to a smaller value
  Bitmap delta_removed;           // the same for delta

  double relabeled(double value) const {
    if (relabels.empty()) return value;
    auto it = std::lower_bound(relabels.begin(), relabels.end(), value,
                               [](const Relabel& r, double v) { return r.old_value < v; });
    return it != relabels.end() && same_bits(it->old_value, value) ? it->new_value : value;
  }
};

// Groups the pending pairs (sorted by value) as a rebuild from "pending, then listing"
// would. Only listing values next to a pending value can change or steer a group:
// consecutive listing values are at least the tolerance apart, so any other one starts
// its own group and keeps its value. Each pending value's two neighbours in main and
// in delta cover its neighbours in the listing; a node that joins a pending group
// follows a pending value, so it is such a neighbour on both levels, and its new value
// lies between its old one and the previous listing value (order is kept).
void IntervalTree::plan_groups(const Pairs& pending, MergePlan& plan) const {
  struct Anchor {
    double value;
    size_t main_node;
  };
  // Each pending value's neighbours in main and in delta, ascending, one per value.
  const std::vector<double>& values = main_.values();
  std::vector<Anchor> from_main;
  std::vector<double> from_delta;
  for (const auto& [v, id] : pending) {
    const size_t i = static_cast<size_t>(std::lower_bound(values.begin(), values.end(), v) - values.begin());
    for (size_t node : {i - 1, i}) {  // i - 1 wraps when i is 0
      if (node < values.size() && (from_main.empty() || from_main.back().main_node < node)) {
        from_main.push_back({values[node], node});
      }
    }
    const size_t j = delta_lower(v);
    for (size_t at : {j - 1, j}) {
      if (at < delta_.size() && (from_delta.empty() || from_delta.back() < delta_[at].first)) {
        from_delta.push_back(delta_[at].first);
      }
    }
  }
  std::vector<Anchor> anchors;
  anchors.reserve(from_main.size() + from_delta.size());
  size_t m = 0;
  for (double v : from_delta) {
    for (; m < from_main.size() && from_main[m].value < v; ++m) anchors.push_back(from_main[m]);
    if (m < from_main.size() && from_main[m].value == v) {
      anchors.push_back(from_main[m++]);
      continue;
    }
    const auto node = std::lower_bound(values.begin(), values.end(), v);  // a node of both levels
    anchors.push_back(
        {v, node != values.end() && *node == v ? static_cast<size_t>(node - values.begin()) : NO_NODE});
  }
  anchors.insert(anchors.end(), from_main.begin() + static_cast<std::ptrdiff_t>(m), from_main.end());

  bool started = false;
  double first = 0.0;
  auto step = [&](double v) {
    if (!started || !in_group(v, first)) first = v, started = true;
  };
  size_t a = 0;
  auto take_anchor = [&] {
    step(anchors[a].value);
    if (!same_bits(first, anchors[a].value))
      plan.relabels.push_back({anchors[a].main_node, anchors[a].value, first});
    ++a;
  };
  plan.grouped.reserve(pending.size());
  for (const auto& [v, id] : pending) {
    while (a < anchors.size() && anchors[a].value < v) take_anchor();  // ties: pending first
    step(v);
    plan.grouped.emplace_back(first, id);
  }
  while (a < anchors.size()) take_anchor();
}

// Keeps, per id, its smallest new value, and only where it is below the id's value
// in the tree (after this merge's relabels); such ids leave their old place.
void IntervalTree::plan_new_pairs(MergePlan& plan) const {
  Pairs candidates = plan.grouped;
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Pair& a, const Pair& b) { return a.second < b.second; });
  candidates.erase(std::unique(candidates.begin(), candidates.end(),
                               [](const Pair& a, const Pair& b) { return a.second == b.second; }),
                   candidates.end());
  std::vector<uint32_t> in_main;
  for (const auto& [v, id] : candidates) {
    if (main_.contains(id)) in_main.push_back(id);
  }
  const std::vector<size_t> main_nodes = main_.nodes_of(in_main);
  size_t next_main = 0;
  for (const auto& [v, id] : candidates) {
    double existing;
    Bitmap* leaving;
    if (next_main < in_main.size() && in_main[next_main] == id) {
      existing = plan.relabeled(main_.values()[main_nodes[next_main++]]);
      leaving = &plan.main_removed;
    } else if (delta_ids_.contains(id)) {
      auto at = std::find_if(delta_.begin(), delta_.end(),
                             [wanted = id](const Pair& p) { return p.second == wanted; });
      existing = plan.relabeled(at->first);
      leaving = &plan.delta_removed;
    } else {
      plan.added.emplace_back(v, id);
      continue;
    }
    if (existing <= v) continue;
    leaving->add(id);
    plan.added.emplace_back(v, id);
  }
  std::sort(plan.added.begin(), plan.added.end());
}

IntervalTree::Pairs IntervalTree::merged_delta(const MergePlan& plan) const {
  Pairs kept;
  kept.reserve(delta_.size());
  for (const auto& [v, id] : delta_) {
    if (!plan.delta_removed.contains(id)) kept.emplace_back(plan.relabeled(v), id);
  }
  Pairs out;
  out.reserve(kept.size() + plan.added.size());
  std::merge(kept.begin(), kept.end(), plan.added.begin(), plan.added.end(), std::back_inserter(out));
  return out;
}

void IntervalTree::merge(std::span<const Pair> pairs) {
  Pairs pending;
  pending.reserve(pairs.size());
  for (const Pair& p : pairs) {
    if (!std::isnan(p.first)) pending.push_back(p);
  }
  if (pending.empty()) return;
  std::stable_sort(pending.begin(), pending.end(), by_value);
  MergePlan plan;
  plan_groups(pending, plan);
  plan_new_pairs(plan);
  const size_t delta_size =
      delta_.size() - static_cast<size_t>(plan.delta_removed.cardinality()) + plan.added.size();
  size_t limit = std::min(DELTA_MAX, main_.pair_count() / DELTA_FRACTION);
  if (pending.size() >= DELTA_MAX) {
    limit = std::max({limit, BATCH_FACTOR * pending.size(), main_.pair_count() / BULK_FRACTION});
  }
  if (delta_size > limit || !plan.main_removed.empty()) {
    replace_main(plan, delta_size > limit);
    return;
  }
  if (delta_size > delta_.capacity()) delta_.reserve(std::max(delta_size, 2 * delta_.capacity()));
  // Delta's new id set: for a few ids, room set aside for changing it in place, for
  // more a copy changed ahead (delta is small). Either way nothing below can fail, and
  // the tree changes all at once or not at all.
  const bool in_place = plan.added.size() <= ONE_BY_ONE;
  Bitmap delta_ids;
  if (in_place) {
    Bitmap::ensure_room(delta_ids_.difference_cost(plan.delta_removed) +
                        (plan.added.size() + 1) * delta_ids_.add_cost());
  } else {
    delta_ids = delta_ids_;
    delta_ids -= plan.delta_removed;
    for (const Pair& p : plan.added) delta_ids.add(p.second);
  }
  for (const Relabel& r : plan.relabels) {
    if (r.main_node != NO_NODE) main_.value(r.main_node) = r.new_value;  // order kept: see plan_groups
  }
  update_delta(plan);
  if (in_place) {
    if (!plan.delta_removed.empty()) delta_ids_ -= plan.delta_removed;
    for (const Pair& p : plan.added) delta_ids_.add(p.second);
  } else {
    delta_ids_ = std::move(delta_ids);
  }
}

// Relabels and thins delta in place, then inserts the new pairs; the caller replaces
// delta's id set. REQUIRES: capacity for them reserved.
void IntervalTree::update_delta(const MergePlan& plan) {
  if (!plan.relabels.empty() || !plan.delta_removed.empty()) {
    size_t kept = 0;
    for (const auto& [v, id] : delta_) {
      if (!plan.delta_removed.contains(id)) delta_[kept++] = {plan.relabeled(v), id};
    }
    delta_.resize(kept);
  }
  if (plan.added.size() <= ONE_BY_ONE) {
    for (const Pair& p : plan.added) delta_.insert(std::upper_bound(delta_.begin(), delta_.end(), p), p);
  } else {
    const auto middle = static_cast<std::ptrdiff_t>(delta_.size());
    delta_.insert(delta_.end(), plan.added.begin(), plan.added.end());
    std::inplace_merge(delta_.begin(), delta_.begin() + middle, delta_.end());
  }
}

// Rewrites main with this merge applied, and delta folded into it when `fold`.
void IntervalTree::replace_main(const MergePlan& plan, bool fold) {
  Pairs delta = merged_delta(plan);
  const Pairs none;
  Run main = Run::fold(main_, plan.relabels, plan.main_removed, fold ? delta : none);
  Bitmap delta_ids;
  if (!fold) {
    delta_ids = delta_ids_;
    delta_ids -= plan.delta_removed;
    for (const auto& [v, id] : plan.added) delta_ids.add(id);
  }
  main_ = std::move(main);  // no allocation from here on
  delta_ = fold ? Pairs() : std::move(delta);
  delta_ids_ = std::move(delta_ids);
}

void IntervalTree::settle() {
  if (delta_.size() <= std::min(DELTA_MAX, main_.pair_count() / DELTA_FRACTION)) return;
  Run main = Run::fold(main_, {}, Bitmap(), delta_);
  main_ = std::move(main);
  delta_ = Pairs();
  delta_ids_ = Bitmap();
}

IntervalTree IntervalTree::build(Pairs pairs) {
  IntervalTree tree;
  tree.merge(pairs);
  tree.settle();
  return tree;
}

// ---- Queries ----

size_t IntervalTree::delta_lower(double x) const {
  return static_cast<size_t>(
      std::lower_bound(delta_.begin(), delta_.end(), x, [](const Pair& p, double b) { return p.first < b; }) -
      delta_.begin());
}

size_t IntervalTree::delta_upper(double x) const {
  return static_cast<size_t>(
      std::upper_bound(delta_.begin(), delta_.end(), x, [](double b, const Pair& p) { return b < p.first; }) -
      delta_.begin());
}

void IntervalTree::delta_add_range(Bitmap& out, size_t begin, size_t end) const {
  std::vector<uint32_t> ids;
  ids.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) ids.push_back(delta_[i].second);
  out.add_many(ids.data(), ids.size());
}

Bitmap IntervalTree::range_query(FilterOp op, double x) const {
  const bool below = op == FilterOp::Lt || op == FilterOp::Lte;
  const bool inclusive = op == FilterOp::Lte || op == FilterOp::Gt;
  if (std::isnan(x) || !is_comparison(op)) return Bitmap();
  const std::vector<double>& values = main_.values();
  const auto c = inclusive ? std::upper_bound(values.begin(), values.end(), x)
                           : std::lower_bound(values.begin(), values.end(), x);
  const size_t at = main_.offset(static_cast<size_t>(c - values.begin()));
  const size_t d = inclusive ? delta_upper(x) : delta_lower(x);
  Bitmap out = below ? main_.ids_between(0, at) : main_.ids_between(at, main_.pair_count());
  if (below) {
    delta_add_range(out, 0, d);
  } else {
    delta_add_range(out, d, delta_.size());
  }
  return out;
}

Bitmap IntervalTree::exact(double x) const {
  const std::vector<double>& values = main_.values();
  const size_t i = static_cast<size_t>(std::lower_bound(values.begin(), values.end(), x) - values.begin());
  Bitmap out;
  if (i < values.size() && values[i] == x) out = main_.ids_between(main_.offset(i), main_.offset(i + 1));
  const size_t begin = delta_lower(x);
  size_t end = begin;
  while (end < delta_.size() && delta_[end].first == x) ++end;
  delta_add_range(out, begin, end);
  return out;
}

IntervalTree::Pairs IntervalTree::pairs() const {
  Pairs out;
  out.reserve(pair_count());
  for_each_node(
      main_.values(), main_, delta_,
      [&](double value, size_t, std::span<const uint32_t> main_ids, std::span<const Pair> delta_pairs) {
        const size_t start = out.size();
        for (uint32_t id : main_ids) out.emplace_back(value, id);
        for (const Pair& p : delta_pairs) out.emplace_back(value, p.second);
        if (!main_ids.empty() && !delta_pairs.empty()) {
          std::inplace_merge(out.begin() + static_cast<std::ptrdiff_t>(start),
                             out.begin() + static_cast<std::ptrdiff_t>(start + main_ids.size()), out.end());
        }
      });
  return out;
}

Bitmap IntervalTree::all() const {
  Bitmap out = main_.all() != nullptr ? *main_.all() : Bitmap();
  out |= delta_ids_;
  return out;
}

std::vector<double> IntervalTree::node_values() const {
  std::vector<double> out;
  for_each_node(
      main_.values(), main_, delta_,
      [&](double value, size_t, std::span<const uint32_t>, std::span<const Pair>) { out.push_back(value); });
  return out;
}

// ---- Removal ----

// Main and delta hold different ids, so either level alone may change: a failure in
// delta's leaves main's removal done and delta as it was.
void IntervalTree::remove_ids(const Bitmap& ids) {
  main_.remove_ids(ids);
  if (delta_ids_.intersects(ids)) {
    delta_ids_ -= ids;  // first: the only step that can fail
    std::erase_if(delta_, [&ids](const Pair& p) { return ids.contains(p.second); });
  }
}

size_t IntervalTree::memory_bytes() const {
  return main_.memory_bytes() + delta_.capacity() * sizeof(Pair) + delta_ids_.size_in_bytes();
}

}  // namespace tovik
