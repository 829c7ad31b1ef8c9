// thread_state: the C++ runtime's per-thread exception state, allocated up front.
//
// The runtime keeps each thread's exception state in thread-local storage that the
// system allocates lazily, on the thread's first exception; when that allocation fails
// (memory already exhausted: the very moment a std::bad_alloc is thrown) the process
// is ended. Calling prepare_thread() while memory is still there makes every later
// throw on that thread safe. It runs when the module is loaded (on the importing
// thread), at the start of every database operation (the first call from any other
// thread) and when a worker thread starts. Cheap after the first call on a thread.
#pragma once

namespace tovik {

void prepare_thread() noexcept;

}  // namespace tovik
