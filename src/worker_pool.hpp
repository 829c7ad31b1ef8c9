// The process-wide worker pool used by search to score large candidate lists.
//
// Created on first use with one thread per processor available to the process
// (sched_getaffinity). parallel_chunks splits [0, n) into the contiguous pieces its
// caller asks for, runs fn(begin, end, piece_index) for each on the pool, and returns
// once every piece has finished; callers concatenate per-piece results left to right,
// so the outcome equals a sequential run. The calling thread only waits, unless the
// pool cannot take the work: then it runs the pieces itself, in order. An exception
// thrown by fn is caught and reported: std::bad_alloc as OutOfMemory, anything else as
// an Internal error; it never reaches std::terminate. Each worker allocates its
// runtime exception state when it starts (thread_state.hpp).
// After fork() the child gets a fresh pool on its next use instead of waiting on the
// parent's threads, which do not exist in the child.
// Thread-safety: callers may run parallel_chunks from several threads at once.
#pragma once

#include <cstddef>
#include <functional>

#include "result.hpp"

namespace tovik {

// The number of processors available to the process now (sched_getaffinity), at
// least 1: what the pool is sized by when it is created. It may differ from the
// threads of a pool created earlier.
size_t worker_count();

// The number of pieces to split n items into: min(worker_count(), n), at least 1.
// The processors available can change between two calls, so a caller asks once and
// passes the answer to parallel_chunks along with anything it sized by it.
size_t piece_count(size_t n);

// Runs fn once for every piece index in [0, pieces); piece i covers
// [i*n/pieces, (i+1)*n/pieces) (empty when pieces > n). Fails when pieces is 0
// (Internal) or fn threw (OutOfMemory for std::bad_alloc, Internal otherwise). When
// the pool or room in its queue cannot be had, the pieces run on the calling thread
// instead. Throws std::bad_alloc only when its own bookkeeping
// cannot be allocated, and never leaves a task queued when it does.
// REQUIRES: fn writes only to state owned by its own piece index.
Result<void> parallel_chunks(size_t n, size_t pieces,
                             const std::function<void(size_t begin, size_t end, size_t piece)>& fn);

}  // namespace tovik
