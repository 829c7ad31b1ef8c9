// Bitmap: an owned, compressed set of 32-bit document ids (Roaring format).
//
// The only place in the code that calls the bitmap library. Value semantics: copying
// a Bitmap copies the set; moving leaves the source empty but valid. No locks:
// the database is externally synchronised (see core.hpp).
//
// Running out of memory (result.hpp): every operation that allocates either completes or throws
// std::bad_alloc having changed nothing. Before each library call that may allocate,
// the operation sets aside, from an upper bound of what that call can allocate given
// the sizes of its inputs, a reserve the library's own allocations fall back on when
// the system refuses one (bitmap_memory.hpp); a reserve that cannot be had is the
// bad_alloc, thrown before the call. So the library never sees an allocation fail and
// never ends the process or leaves a result short, whatever the system's state.
// Remaining limits:
//   - the bounds rest on the library's container sizes (arrays and bitmaps hold at most
//     8 KiB of ids) and on growth by doubling; tests check them against what the
//     library asks for. A one-id add or remove is bounded by a few containers, which
//     a run container grown past 8 KiB could exceed (only compacted sets hold runs,
//     and those change by set operations, whose bound counts every container);
//   - beyond its bound, the reserve maps more on the spot, so a call that outgrew it
//     while the system refused address space too would still meet a failed
//     allocation inside the library;
//   - when the library's allocation functions could not be redirected (routed() is
//     false: the library not found, or built without relocations for them), the
//     reserve is set aside but unused and a failure inside the library behaves as the
//     library makes it (a test requires routed() on every platform built);
//   - the reserve costs address space, not resident memory, while unused: 1 MiB
//     kept, more mapped for a larger call and given back between operations;
//   - a block the library allocated from the reserve stays there until freed; the
//     region it sits in is reused only once all of its blocks are.
// Outside this file: the C++ runtime's per-thread exception state (thread_state.hpp)
// and the interpreter's own allocations, which can end the process on their own
// (PyPy's collector does when it cannot map its next arena).
#pragma once

#include <roaring/roaring.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "bitmap_memory.hpp"

// mark_range and the allocation bounds (containers) read the library's own layout (the key and container
// arrays, the array container), which the 0.2 series exposes in its header and later
// series do not: a build against another series fails here, not in obscure errors.
static_assert(ROARING_VERSION_MAJOR == 0 && ROARING_VERSION_MINOR == 2,
              "bitmap.hpp reads CRoaring 0.2's container layout");

namespace tovik {

class Bitmap {
 public:
  Bitmap() : r_(create()) {}
  Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() {
    for (uint32_t id : ids) add(id);
  }
  Bitmap(const Bitmap& other) : r_(copy_of(other.cref())) {}
  Bitmap(Bitmap&& other) noexcept : r_(other.r_) { other.r_ = nullptr; }
  Bitmap& operator=(Bitmap other) noexcept {
    std::swap(r_, other.r_);
    return *this;
  }
  ~Bitmap() {
    if (r_ != nullptr) roaring_bitmap_free(r_);
  }

  void add(uint32_t id) {
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(one_id_cost(r));
    roaring_bitmap_add(r, id);
  }
  // Adds or removes every id of [first, first + n), in any order.
  void add_many(const uint32_t* first, size_t n) {
    if (n == 0) return;
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(many_ids_cost(r, n));
    roaring_bitmap_add_many(r, n, first);
  }
  void remove_many(const uint32_t* first, size_t n) {
    if (n == 0) return;
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(many_ids_cost(r, n));
    roaring_bitmap_remove_many(r, n, first);
  }
  void remove(uint32_t id) {
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(one_id_cost(r));
    roaring_bitmap_remove(r, id);
  }
  bool contains(uint32_t id) const { return r_ != nullptr && roaring_bitmap_contains(r_, id); }
  // Cardinality is 64-bit: a full set of 2^32 ids does not fit a 32-bit size_t.
  uint64_t cardinality() const { return r_ == nullptr ? 0 : roaring_bitmap_get_cardinality(r_); }
  bool empty() const { return r_ == nullptr || roaring_bitmap_is_empty(r_); }
  void clear() {
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(one_id_cost(r));
    roaring_bitmap_clear(r);
  }

  // The library's own account of the set's size: the bytes of its serialized form,
  // which is also what its containers hold in memory once shrunk to fit.
  size_t size_in_bytes() const { return roaring_bitmap_size_in_bytes(cref()); }
  // Stores runs of consecutive ids as runs where that is smaller, and gives back the
  // containers' spare capacity. Changes the representation only, never the set.
  void compact() {
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(pair_cost(r, nullptr));
    roaring_bitmap_run_optimize(r);
    roaring_bitmap_shrink_to_fit(r);
  }

  // In-place set operations.
  Bitmap& operator|=(const Bitmap& o) { return in_place(o, roaring_bitmap_or_inplace); }
  Bitmap& operator&=(const Bitmap& o) { return in_place(o, roaring_bitmap_and_inplace); }
  Bitmap& operator-=(const Bitmap& o) { return in_place(o, roaring_bitmap_andnot_inplace); }
  bool intersects(const Bitmap& o) const { return roaring_bitmap_intersect(cref(), o.cref()); }

  friend Bitmap operator|(Bitmap a, const Bitmap& b) { return a |= b; }
  friend Bitmap operator&(Bitmap a, const Bitmap& b) { return a &= b; }
  friend Bitmap operator-(Bitmap a, const Bitmap& b) { return a -= b; }
  // a minus b in one pass, without copying a first.
  static Bitmap difference(const Bitmap& a, const Bitmap& b) {
    bitmap_memory::ensure(pair_cost(a.cref(), b.cref()));
    return Bitmap(checked(roaring_bitmap_andnot(a.cref(), b.cref())));
  }
  friend bool operator==(const Bitmap& a, const Bitmap& b) {
    return roaring_bitmap_equals(a.cref(), b.cref());
  }

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

  // Whether the library's allocations fall back on the reserve (see bitmap_memory.hpp).
  static bool allocations_routed() { return bitmap_memory::routed(); }

  // For a sequence of operations that must all succeed once the first has (a change
  // made in several steps): the reserve their costs add up to, set aside in one go.
  // After ensure_room(a.add_cost() + b.difference_cost(c)), a.add(id) and b -= c do
  // not fail. Throws std::bad_alloc.
  static void ensure_room(size_t bytes) { bitmap_memory::ensure(bytes); }
  size_t add_cost() const { return one_id_cost(cref()); }
  size_t difference_cost(const Bitmap& o) const { return pair_cost(cref(), o.cref()); }
  // Gives back reserve mapped beyond the usual for one large operation; called between
  // operations, never inside a sequence covered by ensure_room.
  static void trim_reserve() noexcept { bitmap_memory::trim(); }

  // How many ids of the set lie in [first, last]. Costs a look-up per container
  // touching the range, not a pass over its ids.
  uint64_t range_cardinality(uint32_t first, uint32_t last) const {
    if (r_ == nullptr || first > last) return 0;
    return roaring_bitmap_range_cardinality(r_, first, uint64_t{last} + 1);
  }

  // Sets bit (id - first) of `words` (bit b is bit b % 32 of words[b / 32]) for every id
  // of the set in [first, last]; the other bits are left alone. REQUIRES: `words` holds
  // at least (last - first) / 32 + 1 words. Costs about the ids in the range (plus a
  // search for its start in each container). Allocates nothing.
  void mark_range(uint32_t first, uint32_t last, uint32_t* words) const {
    if (r_ == nullptr || first > last) return;
    const roaring_array_t& ra = r_->high_low_container;
    const uint16_t* keys = ra.keys;
    const uint16_t last_key = static_cast<uint16_t>(last >> 16);
    for (const uint16_t* key = std::lower_bound(keys, keys + ra.size, static_cast<uint16_t>(first >> 16));
         key != keys + ra.size && *key <= last_key; ++key) {
      const size_t i = static_cast<size_t>(key - keys);
      const uint32_t base = uint32_t{*key} << 16;
      const uint32_t from = std::max(first, base), to = std::min(last, base | 0xFFFFu);
      uint8_t type = ra.typecodes[i];
      const void* container = container_unwrap_shared(ra.containers[i], &type);
      if (type == ARRAY_CONTAINER_TYPE_CODE) {
        mark_array(*static_cast<const array_container_t*>(container), base, from, to, first, words);
      } else {
        mark_iterated(from, to, first, words);
      }
    }
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
  static roaring_bitmap_t* create() {
    bitmap_memory::ensure(EMPTY_COST);
    return checked(roaring_bitmap_create());
  }
  static roaring_bitmap_t* copy_of(const roaring_bitmap_t* r) {
    bitmap_memory::ensure(pair_cost(r, nullptr));
    return checked(roaring_bitmap_copy(r));
  }
  // A moved-from Bitmap is re-armed on first use.
  roaring_bitmap_t* raw() {
    if (r_ == nullptr) r_ = create();
    return r_;
  }
  template <typename Op>
  Bitmap& in_place(const Bitmap& o, Op op) {
    roaring_bitmap_t* r = raw();
    bitmap_memory::ensure(pair_cost(r, o.cref()));
    op(r, o.cref());
    return *this;
  }

  // mark_range within one container: an array container's ids are read in place (the
  // library's own layout, of the version this is built against); the others through
  // the library's iterator, in bulk.
  static void mark_array(const array_container_t& a, uint32_t base, uint32_t from, uint32_t to,
                         uint32_t first, uint32_t* words) {
    const uint16_t* begin = a.array;
    const uint16_t* end = a.array + a.cardinality;
    begin = std::lower_bound(begin, end, static_cast<uint16_t>(from - base));
    end = std::upper_bound(begin, end, static_cast<uint16_t>(to - base));
    const uint32_t offset = base - first;  // id - first = low 16 bits + offset (mod 2^32)
    for (const uint16_t* low = begin; low != end; ++low) {
      const uint32_t bit = *low + offset;
      words[bit >> 5] |= uint32_t{1} << (bit & 31);
    }
  }
  void mark_iterated(uint32_t from, uint32_t to, uint32_t first, uint32_t* words) const {
    roaring_uint32_iterator_t it;
    roaring_init_iterator(r_, &it);
    if (!roaring_move_uint32_iterator_equalorlarger(&it, from)) return;
    constexpr uint32_t CHUNK = 256;
    uint32_t chunk[CHUNK];
    while (it.has_value) {
      const uint32_t n = roaring_read_uint32_iterator(&it, chunk, CHUNK);
      for (uint32_t i = 0; i < n; ++i) {
        if (chunk[i] > to) return;
        const uint32_t bit = chunk[i] - first;
        words[bit >> 5] |= uint32_t{1} << (bit & 31);
      }
    }
  }

  // Upper bounds of what one library call allocates, in bytes. A container holds at
  // most CONTAINER bytes of ids as an array or a bitmap; each also costs a header, its
  // slot in the key arrays (which grow by doubling) and allocator overhead; a block
  // regrown by doubling costs at most twice its final size (in the reserve, where a
  // freed block is not reused until the whole region is free, the sum of the sizes).
  static constexpr size_t CONTAINER = 8192;
  static constexpr size_t PER_CONTAINER = 96;
  static constexpr size_t SLACK = 64 * 1024;
  static constexpr size_t EMPTY_COST = 4096;
  static size_t containers(const roaring_bitmap_t* r) {
    return r == nullptr ? 0 : static_cast<size_t>(r->high_low_container.size);
  }
  // Adding or removing one id: one container created, grown (by doubling), converted
  // or split, and the key arrays regrown.
  static size_t one_id_cost(const roaring_bitmap_t* r) { return 4 * CONTAINER + 64 * containers(r) + 4096; }
  // Adding or removing n ids: every container rewritten at most twice over, at most
  // 12 bytes per new id in arrays regrown by doubling, a header per new container.
  static size_t many_ids_cost(const roaring_bitmap_t* r, size_t n) {
    return 2 * roaring_bitmap_portable_size_in_bytes(r) + 12 * n +
           PER_CONTAINER * (containers(r) + std::min<size_t>(n, size_t{1} << 16)) + 4 * CONTAINER + SLACK;
  }
  // A set operation, copy or recompression of a (with b): the result's containers are
  // at most those of both inputs, each written at most twice.
  static size_t pair_cost(const roaring_bitmap_t* a, const roaring_bitmap_t* b) {
    size_t bytes = 2 * roaring_bitmap_portable_size_in_bytes(a) + PER_CONTAINER * containers(a);
    if (b != nullptr) bytes += 2 * roaring_bitmap_portable_size_in_bytes(b) + PER_CONTAINER * containers(b);
    return bytes + 4 * CONTAINER + SLACK;
  }
  const roaring_bitmap_t* cref() const {
    static const Bitmap empty_set{};
    return r_ != nullptr ? r_ : empty_set.r_;
  }

  roaring_bitmap_t* r_;
};

}  // namespace tovik
