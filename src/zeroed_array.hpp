// ZeroedArray: the backing of every table indexed by document id (vector and code
// slots, metadata records, expiry times).
//
// Ids are the caller's, so a table must be able to reach slot 4294967294 after a
// handful of documents without paying for the slots in between. Memory therefore comes
// from anonymous private mappings: the kernel hands out a page zero-filled on its first
// touch, so reserved and never-written slots cost address space only, not resident
// memory, and an element nobody wrote reads as all-zero bytes. Callers choose element
// encodings in which all-zero means "empty". Growth doubles the reservation (a run of
// adds at increasing ids costs amortised O(1) each) and moves the pages with mremap
// instead of copying them.
//
// Every allocation failure (the address space or a limit on it running out) throws
// std::bad_alloc and leaves the array exactly as it was. No locks:
// the database is externally synchronised (see core.hpp); const reads only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "growth.hpp"

namespace tovik {
namespace detail {

// A page-granular block of bytes that reads as zero until written.
class ZeroedBlock {
 public:
  ZeroedBlock() = default;
  ZeroedBlock(const ZeroedBlock& other);  // copies the first used_bytes of other; throws std::bad_alloc
  ZeroedBlock(ZeroedBlock&& other) noexcept { swap(other); }
  ZeroedBlock& operator=(ZeroedBlock other) noexcept {
    swap(other);
    return *this;
  }
  ~ZeroedBlock();

  std::byte* data() const { return data_; }
  size_t capacity() const { return capacity_; }
  // Bytes the owner has written at most (copies and zeroing stop there).
  size_t used_bytes() const { return used_; }
  void set_used_bytes(size_t used) { used_ = used; }

  // Capacity for at least `bytes`, rounded up to whole pages; bytes past the old
  // capacity read as zero. Throws std::bad_alloc (unchanged then).
  void grow(size_t bytes);
  // Makes [from, used_bytes) read as zero again and used_bytes = from.
  void zero_from(size_t from) noexcept;

  void swap(ZeroedBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
    std::swap(used_, other.used_);
  }

 private:
  std::byte* data_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

}  // namespace detail

// A growable array of trivially copyable T whose unwritten elements are all-zero bytes.
template <typename T>
class ZeroedArray {
  static_assert(std::is_trivially_copyable_v<T>, "elements are moved as raw bytes");

 public:
  static constexpr uint64_t MAX_SIZE = SIZE_MAX / sizeof(T);

  ZeroedArray() = default;
  ZeroedArray(const ZeroedArray&) = default;  // throws std::bad_alloc
  ZeroedArray(ZeroedArray&& other) noexcept { swap(other); }
  ZeroedArray& operator=(ZeroedArray other) noexcept {
    swap(other);
    return *this;
  }
  void swap(ZeroedArray& other) noexcept {
    block_.swap(other.block_);
    std::swap(size_, other.size_);
  }

  size_t size() const { return size_; }
  size_t capacity() const { return block_.capacity() / sizeof(T); }
  const T* data() const { return reinterpret_cast<const T*>(block_.data()); }

  // REQUIRES: i < size().
  const T& operator[](size_t i) const { return data()[i]; }
  void set(size_t i, const T& value) { std::memcpy(block_.data() + i * sizeof(T), &value, sizeof(T)); }

  // Capacity for at least `count` elements: twice the old capacity when that can be
  // had, else exactly `count` (grow_geometrically). Throws std::bad_alloc when neither
  // fits (unchanged then).
  void reserve(uint64_t count) {
    grow_geometrically(capacity(), count, MAX_SIZE, MAX_SIZE,
                       [this](uint64_t items) { block_.grow(static_cast<size_t>(items) * sizeof(T)); });
  }

  // Sets the size; new elements read as zero. Growing reserves first (std::bad_alloc
  // leaves the array unchanged); shrinking zeroes the dropped elements.
  void resize(uint64_t count) {
    if (count > size_) {
      reserve(count);
      size_ = static_cast<size_t>(count);
      block_.set_used_bytes(size_ * sizeof(T));
    } else {
      size_ = static_cast<size_t>(count);
      block_.zero_from(size_ * sizeof(T));
    }
  }

 private:
  detail::ZeroedBlock block_;
  size_t size_ = 0;
};

}  // namespace tovik
