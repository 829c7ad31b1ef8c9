// ExpiryIndex: the expiry heap and the per-id current expiry times.
#include "expiry_index.hpp"

#include <algorithm>

#include "growth.hpp"

namespace tovik {
namespace {

// Stale entries are dropped in bulk once they are this many more than the live ones.
constexpr size_t STALE_SLACK = 64;

}  // namespace

void ExpiryIndex::reserve_for(uint32_t id) {
  current_.reserve(uint64_t{id} + 1);
  make_room_for_one(heap_);
}

void ExpiryIndex::set(uint32_t id, uint64_t expiry) noexcept {
  if (id >= current_.size()) current_.resize(uint64_t{id} + 1);  // within the reserved capacity
  if (current_[id] == expiry + 1) return;                        // its entry is in the heap already
  if (current_[id] == 0) ++live_;
  current_.set(id, expiry + 1);  // expiry <= 2^63 - 1: no wrap
  if (heap_.size() > 2 * live_ + STALE_SLACK) drop_stale();
  heap_.push_back({expiry, id});  // within the reserved capacity
  std::push_heap(heap_.begin(), heap_.end(), later);
}

std::optional<uint64_t> ExpiryIndex::expiry_of(uint32_t id) const {
  if (id >= current_.size() || current_[id] == 0) return std::nullopt;
  return current_[id] - 1;
}

ExpiryIndex::Taken ExpiryIndex::take_before(uint64_t now) {
  Taken taken;
  try {
    while (may_have_before(now)) {
      const Entry top = heap_.front();
      // Recorded before it leaves the heap; stale entries just go.
      if (is_current(top)) taken.entries.emplace_back(top.expiry, top.id);
      std::pop_heap(heap_.begin(), heap_.end(), later);
      heap_.pop_back();
    }
    std::vector<uint32_t> ids;
    ids.reserve(taken.entries.size());
    for (const auto& [expiry, id] : taken.entries) ids.push_back(id);
    taken.ids.add_many(ids.data(), ids.size());
  } catch (...) {
    put_back(taken);
    throw;
  }
  return taken;
}

void ExpiryIndex::forget(const Taken& taken) noexcept {
  for (const auto& [expiry, id] : taken.entries) {
    if (!is_current({expiry, id})) continue;  // an id taken twice (set back to an earlier expiry)
    current_.set(id, 0);
    --live_;
  }
}

void ExpiryIndex::put_back(const Taken& taken) noexcept {
  for (const auto& [expiry, id] : taken.entries) {
    heap_.push_back({expiry, id});  // within the capacity the pops left
    std::push_heap(heap_.begin(), heap_.end(), later);
  }
}

void ExpiryIndex::drop_stale() noexcept {
  std::erase_if(heap_, [this](const Entry& e) { return !is_current(e); });
  std::make_heap(heap_.begin(), heap_.end(), later);
}

}  // namespace tovik
