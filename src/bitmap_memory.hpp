// bitmap_memory: where the bitmap library's allocations go, so that it never sees one
// fail. Used by bitmap.hpp only.
//
// The library has no allocator hooks, and several of its calls end the process (an
// assertion, a null pointer written through) or silently leave a result short when an
// allocation fails inside them. So, once per process, the library's own references to
// malloc, calloc, realloc, posix_memalign, aligned_alloc, memalign and free are pointed
// at functions here (its relocation slots rewritten in place). Each asks the system
// first; when the system refuses, the block comes from a reserve: address space mapped
// ahead of the call, handed out by a bump pointer and reset once every block taken from
// it is freed again.
//
// ensure(bytes), called before every library call that may allocate with an upper
// bound of what that call can allocate, makes sure the reserve can give that much, and
// throws std::bad_alloc when it cannot be mapped: that is the one place a bitmap
// operation fails for lack of memory, before it has changed anything. The call that
// follows then completes, its last blocks possibly from the reserve. Not thread-safe
// beyond what the database needs: one thread uses bitmaps at a time (the interpreter
// lock); the allocation functions themselves may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovik::bitmap_memory {

// Throws std::bad_alloc when `bytes` of reserve cannot be had.
void ensure(size_t bytes);

// Unmaps a current region larger than the usual one when none of its blocks is out.
void trim() noexcept;

// Whether the library's allocations come through here (false when the library could
// not be found or its relocations not rewritten: then a failed allocation inside it
// behaves as the library makes it).
bool routed();

// Test hook: every size the library has asked for (plus alignment), for tests
// checking that an operation's bound covers what its call allocates (a reallocation in
// the reserve costs its whole new size).
uint64_t TEST_requested_by_library();

}  // namespace tovik::bitmap_memory
