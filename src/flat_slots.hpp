// FlatSlots: per-id lists of equal width in one flat array, the layout VectorStorage
// keeps vectors and codes in.
//
// Each slot costs 4 bytes (a row number or an empty/zero-length mark, zero for an
// empty slot so that unwritten slots cost no resident memory; see zeroed_array.hpp);
// the stored items sit in one flat array of equal-width rows, so a scan streams
// through memory and a slot costs no allocation of its own. Lists of another width
// than the first stored one (which add never produces once the dimension is fixed)
// are kept aside per id. Slot lists grow to id + 1; an empty slot is distinct from a
// stored empty list. A plain value type: the owner synchronises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "zeroed_array.hpp"

namespace tovik {

// A growable list of slots, each empty or holding a list of T.
template <typename T>
class FlatSlots {
 public:
  struct View {
    const T* data;  // nullptr for a stored empty list
    size_t size;
  };

  size_t size() const { return row_of_.size(); }
  // The list in slot id, or nothing when the slot is missing or empty.
  std::optional<View> at(uint32_t id) const;
  // The row in slot id when it holds a list of the usual width (see width), else
  // nullptr (a missing or empty slot, or a list kept aside: at tells them apart). Cheap
  // enough for a hot loop.
  const T* row(uint32_t id) const {
    if (id >= row_of_.size()) return nullptr;
    const uint32_t mark = row_of_[id];
    return holds_row(mark) ? rows_.data() + size_t{mark - 1} * width_ : nullptr;
  }
  // The usual width: that of the first non-empty list stored (0 until then).
  size_t width() const { return width_; }
  // Stores a copy of items in slot id (growing the list to id + 1 slots), replacing any
  // old list. Throws std::bad_alloc when memory runs out; nothing changes then.
  void store(uint32_t id, std::span<const T> items);
  // Room for `slots` slots and one more row, so that the next store of a list of the
  // usual width needs no allocation. Throws std::bad_alloc (nothing observable changes).
  void reserve(uint64_t slots);
  // Grows the list with empty slots to at least `count`. Throws std::bad_alloc
  // (unchanged then).
  void grow(uint64_t count);
  // The flat array's capacity grows geometrically, but not past `rows` rows unless
  // more are stored (0: no limit). Saves memory where the row count has a known bound.
  void expect_rows(uint32_t rows) { expected_rows_ = rows; }

 private:
  // Slot marks. A slot holding row r stores r + 1, so that 0 (what an unwritten slot
  // reads as) means empty.
  static constexpr uint32_t EMPTY = 0;                   // no list stored
  static constexpr uint32_t ZERO_LENGTH = 0xFFFFFFFFu;   // an empty list stored
  static constexpr uint32_t OTHER_WIDTH = 0xFFFFFFFEu;   // kept in other_
  static constexpr uint32_t MAX_ROWS = OTHER_WIDTH - 1;  // rows 0 .. MAX_ROWS - 1
  static bool holds_row(uint32_t mark) { return mark != EMPTY && mark <= MAX_ROWS; }

  size_t row_count() const { return width_ == 0 ? 0 : rows_.size() / width_; }
  uint64_t row_cap() const;  // soft limit of the flat array's capacity, in items

  ZeroedArray<uint32_t> row_of_;  // per slot: row index + 1 or one of the marks above
  std::vector<T> rows_;           // row r is [r * width_, (r + 1) * width_)
  std::unordered_map<uint32_t, std::vector<T>> other_;
  size_t width_ = 0;  // length of the first non-empty list stored; 0 until then
  uint32_t expected_rows_ = 0;
};

extern template class FlatSlots<float>;
extern template class FlatSlots<uint8_t>;

}  // namespace tovik
