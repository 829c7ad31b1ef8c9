// Allocating a thread's C++ exception state ahead of need.
#include "thread_state.hpp"

#include <cxxabi.h>

namespace tovik {

void prepare_thread() noexcept {
  // The result is unused: keep the call (the function is declared without side effects).
  void* volatile state = abi::__cxa_get_globals();
  (void)state;
}

namespace {
const bool prepared_at_load = (prepare_thread(), true);
}  // namespace

}  // namespace tovik
