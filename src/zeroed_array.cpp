// ZeroedBlock: page-granular anonymous mappings that grow with mremap and hand zeroed
// pages back to the system.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // mremap
#endif

#include "zeroed_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace tovik {
namespace detail {
namespace {

// Below this many bytes, zeroing writes the bytes; above, whole pages are handed back.
constexpr size_t MADVISE_MIN_BYTES = size_t{1} << 16;

size_t page_size() {
  static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// `bytes` rounded up to whole pages; std::bad_alloc when that overflows.
size_t whole_pages(size_t bytes) {
  const size_t page = page_size();
  if (bytes > SIZE_MAX - (page - 1)) throw std::bad_alloc();
  return (bytes + page - 1) / page * page;
}

// A fresh zero-filled private mapping. MAP_NORESERVE: the untouched part of a large
// reservation is not charged against the commit limit, only the pages written.
std::byte* map_zeroed(size_t bytes) {
  void* p =
      ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return static_cast<std::byte*>(p);
}

}  // namespace

ZeroedBlock::ZeroedBlock(const ZeroedBlock& other) {
  if (other.used_ == 0) return;
  const size_t bytes = whole_pages(other.used_);
  data_ = map_zeroed(bytes);
  capacity_ = bytes;
  used_ = other.used_;
  std::memcpy(data_, other.data_, used_);
}

ZeroedBlock::~ZeroedBlock() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

void ZeroedBlock::grow(size_t bytes) {
  if (bytes <= capacity_) return;
  const size_t wanted = whole_pages(bytes);
  if (data_ == nullptr) {
    data_ = map_zeroed(wanted);
    capacity_ = wanted;
    return;
  }
  // The pages move with their contents; the new tail is fresh zero pages. On failure
  // the old mapping stays where it was.
  void* p = ::mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::byte*>(p);
  capacity_ = wanted;
}

void ZeroedBlock::zero_from(size_t from) noexcept {
  if (from >= used_) {
    used_ = std::min(used_, from);
    return;
  }
  const size_t page = page_size();
  const size_t first_page = (from + page - 1) / page * page;
  const size_t end_page = used_ / page * page;
  if (used_ - from >= MADVISE_MIN_BYTES && first_page < end_page &&
      ::madvise(data_ + first_page, end_page - first_page, MADV_DONTNEED) == 0) {
    // Private anonymous pages handed back read as zero on their next touch.
    std::memset(data_ + from, 0, first_page - from);
    std::memset(data_ + end_page, 0, used_ - end_page);
  } else {
    std::memset(data_ + from, 0, used_ - from);
  }
  used_ = from;
}

}  // namespace detail
}  // namespace tovik
