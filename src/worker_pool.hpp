// The process-wide worker pool used by search to score large candidate lists.
//
// Created on first use with one thread per processor available to the process
// (sched_getaffinity). parallel_chunks splits [0, n) into contiguous pieces, runs
// fn(begin, end, piece_index) for each on the pool, and returns once every piece has
// finished; callers concatenate per-piece results left to right, so the outcome equals
// a sequential run. The calling thread only waits. An exception thrown by fn is caught
// in the worker and reported as an Internal error; it never reaches std::terminate.
// After fork() the child gets a fresh pool on its next use instead of waiting on the
// parent's threads, which do not exist in the child.
// Thread-safety: callers may run parallel_chunks from several threads at once.
#pragma once

#include <cstddef>
#include <functional>

#include "result.hpp"

namespace tovik {

// Number of threads the pool has (or will have when created).
size_t worker_count();

// Number of pieces parallel_chunks will use for n items: min(worker_count(), n), at
// least 1. Piece i covers [i*n/p, (i+1)*n/p).
size_t piece_count(size_t n);

// REQUIRES: fn writes only to state owned by its own piece index.
Result<void> parallel_chunks(size_t n, const std::function<void(size_t begin, size_t end, size_t piece)>& fn);

}  // namespace tovik
