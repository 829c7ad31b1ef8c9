// How growing storage grows: the capacity doubles, so that a run of appends (or of
// stores at increasing ids) copies each item O(1) times on average. Shared by the
// per-id tables and the lists that gain one item at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace tovik {

// Gives a container with room for `capacity` items room for at least `count`: asks
// `grow` for twice the capacity (held to `max` and `soft_cap`) when that is more than
// count, and for exactly count when that fails or is not more. grow(items) throws
// std::bad_alloc and leaves the container unchanged when it cannot. Throws
// std::bad_alloc when count exceeds max or neither size can be had.
template <typename Grow>
void grow_geometrically(uint64_t capacity, uint64_t count, uint64_t max, uint64_t soft_cap, Grow&& grow) {
  if (count <= capacity) return;
  if (count > max) throw std::bad_alloc();
  const uint64_t doubled = std::min({capacity * 2, max, soft_cap});
  if (doubled > count) {
    try {
      grow(doubled);
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  grow(count);
}

// Room for one more push_back, so that it cannot throw: a full vector's capacity
// doubles (to 16 at least). Throws std::bad_alloc when that cannot be had.
template <typename T>
void make_room_for_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<size_t>(16, v.capacity() * 2));
}

}  // namespace tovik
