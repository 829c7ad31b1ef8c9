#include "alloc_fault.hpp"

#include <cstdlib>
#include <new>

namespace tovik::test {
thread_local long alloc_countdown = -1;
}  // namespace tovik::test

#if TOVIK_INJECT_ALLOC
#if defined(__GNUC__) && !defined(__clang__)
// These operators pair malloc with free themselves; GCC cannot see that through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  long& countdown = tovik::test::alloc_countdown;
  if (countdown >= 0 && countdown-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif
