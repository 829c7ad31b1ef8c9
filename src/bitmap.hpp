// Bitmap: an owned, compressed set of 32-bit document ids (Roaring format).
//
// The only place in the code that calls the bitmap library. Value semantics: copying
// a Bitmap copies the set; moving leaves the source empty but valid. No locks:
// the database is externally synchronised (see core.hpp).
// Memory exhaustion inside the library ends the process (the library gives no error
// channel for it); Bitmap itself throws std::bad_alloc when it cannot create a set.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

namespace tovik {

class Bitmap {
 public:
  Bitmap() : r_(checked(roaring_bitmap_create())) {}
  Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() {
    for (uint32_t id : ids) add(id);
  }
  Bitmap(const Bitmap& other) : r_(checked(roaring_bitmap_copy(other.r_))) {}
  Bitmap(Bitmap&& other) noexcept : r_(other.r_) { other.r_ = nullptr; }
  Bitmap& operator=(Bitmap other) noexcept {
    std::swap(r_, other.r_);
    return *this;
  }
  ~Bitmap() {
    if (r_ != nullptr) roaring_bitmap_free(r_);
  }

  void add(uint32_t id) { roaring_bitmap_add(raw(), id); }
  // Adds or removes every id of [first, first + n), in any order.
  void add_many(const uint32_t* first, size_t n) {
    if (n > 0) roaring_bitmap_add_many(raw(), n, first);
  }
  void remove_many(const uint32_t* first, size_t n) {
    if (n > 0) roaring_bitmap_remove_many(raw(), n, first);
  }
  void remove(uint32_t id) { roaring_bitmap_remove(raw(), id); }
  bool contains(uint32_t id) const { return r_ != nullptr && roaring_bitmap_contains(r_, id); }
  // Cardinality is 64-bit: a full set of 2^32 ids does not fit a 32-bit size_t.
  uint64_t cardinality() const { return r_ == nullptr ? 0 : roaring_bitmap_get_cardinality(r_); }
  bool empty() const { return r_ == nullptr || roaring_bitmap_is_empty(r_); }
  void clear() { roaring_bitmap_clear(raw()); }

  // The library's own account of the set's size: the bytes of its serialized form,
  // which is also what its containers hold in memory once shrunk to fit.
  size_t size_in_bytes() const { return roaring_bitmap_size_in_bytes(cref()); }
  // Stores runs of consecutive ids as runs where that is smaller, and gives back the
  // containers' spare capacity. Changes the representation only, never the set.
  void compact() {
    roaring_bitmap_run_optimize(raw());
    roaring_bitmap_shrink_to_fit(raw());
  }

  // In-place set operations.
  Bitmap& operator|=(const Bitmap& o) { roaring_bitmap_or_inplace(raw(), o.cref()); return *this; }
  Bitmap& operator&=(const Bitmap& o) { roaring_bitmap_and_inplace(raw(), o.cref()); return *this; }
  Bitmap& operator-=(const Bitmap& o) { roaring_bitmap_andnot_inplace(raw(), o.cref()); return *this; }
  bool intersects(const Bitmap& o) const { return roaring_bitmap_intersect(cref(), o.cref()); }

  friend Bitmap operator|(Bitmap a, const Bitmap& b) { return a |= b; }
  friend Bitmap operator&(Bitmap a, const Bitmap& b) { return a &= b; }
  friend Bitmap operator-(Bitmap a, const Bitmap& b) { return a -= b; }
  // a minus b in one pass, without copying a first.
  static Bitmap difference(const Bitmap& a, const Bitmap& b) {
    return Bitmap(checked(roaring_bitmap_andnot(a.cref(), b.cref())));
  }
  friend bool operator==(const Bitmap& a, const Bitmap& b) { return roaring_bitmap_equals(a.cref(), b.cref()); }

  // Calls f(id) for every id in ascending order; f returns false to stop early. An
  // exception from f propagates to the caller (the iteration stops there): f is called
  // from this frame, never from inside the library, so nothing unwinds through C code.
  template <typename F>
  void for_each(F&& f) const {
    if (r_ == nullptr) return;
    roaring_uint32_iterator_t it;
    roaring_init_iterator(r_, &it);
    while (it.has_value && f(it.current_value)) roaring_advance_uint32_iterator(&it);
  }

  // The ids in ascending order.
  std::vector<uint32_t> to_vector() const {
    std::vector<uint32_t> out(static_cast<size_t>(cardinality()));
    if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
    return out;
  }

 private:
  explicit Bitmap(roaring_bitmap_t* r) : r_(r) {}
  static roaring_bitmap_t* checked(roaring_bitmap_t* r) {
    if (r == nullptr) throw std::bad_alloc();
    return r;
  }
  // A moved-from Bitmap is re-armed on first use.
  roaring_bitmap_t* raw() {
    if (r_ == nullptr) r_ = checked(roaring_bitmap_create());
    return r_;
  }
  const roaring_bitmap_t* cref() const {
    static const Bitmap empty_set{};
    return r_ != nullptr ? r_ : empty_set.r_;
  }

  roaring_bitmap_t* r_;
};

}  // namespace tovik
