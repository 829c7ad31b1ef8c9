// Allocation failure injection for the C++ test binary: while armed, operator new
// counts down on the arming thread and throws std::bad_alloc when the count passes
// zero, once. Sanitizer runtimes bring their own operator new, so there the plain one
// stays in place and ALLOC_FAULTS_INJECTABLE is false: tests that arm it skip.
#pragma once

namespace tovik::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOVIK_INJECT_ALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
#define TOVIK_INJECT_ALLOC 0
#endif
#endif
#ifndef TOVIK_INJECT_ALLOC
#define TOVIK_INJECT_ALLOC 1
#endif

constexpr bool ALLOC_FAULTS_INJECTABLE = TOVIK_INJECT_ALLOC;

// The allocation (0 = the next one) on this thread that fails; negative: disarmed.
// Reads negative again once the failure has been thrown.
extern thread_local long alloc_countdown;

}  // namespace tovik::test
