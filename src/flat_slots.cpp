// FlatSlots: storing and reading rows of equal width, one per id.
#include "flat_slots.hpp"

#include <algorithm>
#include <new>

#include "growth.hpp"

namespace tovik {

namespace {

// Capacity for at least `count` items (see grow_geometrically); doubling stops at
// `soft_cap` items. Neither size passes max_size(), so reserve never throws
// std::length_error. Throws std::bad_alloc when neither can be had.
template <typename T>
void reserve_at_least(std::vector<T>& v, uint64_t count, uint64_t soft_cap) {
  grow_geometrically(v.capacity(), count, v.max_size(), soft_cap,
                     [&v](uint64_t items) { v.reserve(static_cast<size_t>(items)); });
}

}  // namespace

template <typename T>
std::optional<typename FlatSlots<T>::View> FlatSlots<T>::at(uint32_t id) const {
  if (id >= row_of_.size()) return std::nullopt;
  const uint32_t row = row_of_[id];
  if (row == EMPTY) return std::nullopt;
  if (row == ZERO_LENGTH) return View{nullptr, 0};
  if (row == OTHER_WIDTH) {
    const std::vector<T>& items = other_.at(id);
    return View{items.data(), items.size()};
  }
  return View{rows_.data() + size_t{row - 1} * width_, width_};
}

template <typename T>
void FlatSlots<T>::grow(uint64_t count) {
  if (count <= row_of_.size()) return;
  row_of_.resize(count);  // new slots read as EMPTY
}

template <typename T>
uint64_t FlatSlots<T>::row_cap() const {
  if (expected_rows_ == 0 || width_ == 0) return UINT64_MAX;
  return uint64_t{expected_rows_} * width_;
}

template <typename T>
void FlatSlots<T>::reserve(uint64_t slots) {
  row_of_.reserve(slots);
  if (width_ != 0) reserve_at_least(rows_, uint64_t{rows_.size()} + width_, row_cap());
}

template <typename T>
void FlatSlots<T>::store(uint32_t id, std::span<const T> items) {
  const uint32_t old_row = id < row_of_.size() ? row_of_[id] : EMPTY;
  if (items.empty()) {
    grow(uint64_t{id} + 1);
    row_of_.set(id, ZERO_LENGTH);
    other_.erase(id);
    return;
  }
  if (width_ == 0 || items.size() == width_) {
    if (holds_row(old_row)) {  // overwrite the slot's own row in place
      std::copy(items.begin(), items.end(), rows_.begin() + size_t{old_row - 1} * width_);
      return;
    }
    if (row_count() >= MAX_ROWS) throw std::bad_alloc();
    const size_t old_width = width_, old_rows = rows_.size();
    const uint32_t row = static_cast<uint32_t>(row_count());
    try {
      reserve_at_least(rows_, uint64_t{old_rows} + items.size(), row_cap());
      rows_.insert(rows_.end(), items.begin(), items.end());
      width_ = items.size();
      grow(uint64_t{id} + 1);
    } catch (...) {
      rows_.resize(old_rows);
      width_ = old_width;
      throw;
    }
    row_of_.set(id, row + 1);
    other_.erase(id);
    return;
  }
  // Another width: kept aside. A row the slot held before stays unused.
  const size_t old_size = row_of_.size();
  grow(uint64_t{id} + 1);
  try {
    std::vector<T> copy(items.begin(), items.end());
    other_.insert_or_assign(id, std::move(copy));
  } catch (...) {
    row_of_.resize(old_size);
    throw;
  }
  row_of_.set(id, OTHER_WIDTH);
}

template class FlatSlots<float>;
template class FlatSlots<uint8_t>;

}  // namespace tovik
