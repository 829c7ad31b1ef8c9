// The worker pool: its threads and queue, the fallback to the calling thread, and the
// fresh pool after fork().
#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "thread_state.hpp"

namespace tovik {
namespace {

size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

// How a piece failed; kept without allocating, since a failure may be the lack of memory.
enum class Failure { None, OutOfMemory, Other };
constexpr size_t FAILURE_TEXT = 128;

// One call's share of work: pieces still running, and the first failure seen.
struct Job {
  std::mutex mutex;
  std::condition_variable done;
  size_t remaining = 0;
  Failure failed = Failure::None;
  char failure[FAILURE_TEXT] = {};
};

struct Task {
  Job* job;
  const std::function<void(size_t, size_t, size_t)>* fn;
  size_t begin, end, piece;
};

// Runs one piece, turning any exception into the job's failure, and counts it done.
void execute(const Task& task) {
  Failure failed = Failure::None;
  // The text is copied while the exception is alive: what() points into it.
  char failure[FAILURE_TEXT] = {};
  try {
    (*task.fn)(task.begin, task.end, task.piece);
  } catch (const std::bad_alloc&) {
    failed = Failure::OutOfMemory;
  } catch (const std::exception& e) {
    failed = Failure::Other;
    std::strncpy(failure, e.what(), FAILURE_TEXT - 1);
  } catch (...) {
    failed = Failure::Other;
    std::strncpy(failure, "unknown exception in a worker", FAILURE_TEXT - 1);
  }
  std::lock_guard<std::mutex> lock(task.job->mutex);
  if (failed != Failure::None && task.job->failed == Failure::None) {
    task.job->failed = failed;
    std::memcpy(task.job->failure, failure, FAILURE_TEXT);
  }
  if (--task.job->remaining == 0) task.job->done.notify_all();
}

class Pool {
 public:
  explicit Pool(size_t threads) {
    workers_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
      // A thread that cannot be started (system_error) or whose state cannot be
      // allocated (bad_alloc): a smaller pool still works. Rethrowing with threads
      // already running would destroy them joinable, which ends the process.
      try {
        workers_.emplace_back([this] { run(); });
      } catch (const std::exception&) {
        if (workers_.empty()) throw;  // no pool at all; the caller runs the work itself
        break;
      }
    }
  }

  // Queues every task or none: workers read the queue only under mutex_, so a
  // failure part-way (bad_alloc from the deque) is rolled back before any of them can
  // see a task whose job is about to leave the caller's stack. Throws what the deque
  // threw, with the queue as it was.
  void submit(const std::vector<Task>& tasks) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const size_t before = queue_.size();
      try {
        for (const Task& t : tasks) queue_.push_back(t);
      } catch (...) {
        while (queue_.size() > before) queue_.pop_back();
        throw;
      }
    }
    wake_.notify_all();
  }

 private:
  void run() {
    prepare_thread();
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        task = queue_.front();
        queue_.pop_front();
      }
      execute(task);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  std::vector<std::thread> workers_;  // never joined: the pool lives as long as the process
};

// The pool is created on first use and never destroyed. A forked child has none of the
// parent's threads, and the parent's locks may be frozen mid-use, so the child forgets
// the old pool (leaking it on purpose) and builds a new one on its next use.
Pool* the_pool = nullptr;
std::mutex* creation_mutex = new std::mutex;

void forget_pool_in_child() {
  the_pool = nullptr;
  creation_mutex = new std::mutex;
}

Pool& pool() {
  static const bool registered = [] { return pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0; }();
  (void)registered;
  std::lock_guard<std::mutex> lock(*creation_mutex);
  if (the_pool == nullptr) the_pool = new Pool(available_processors());
  return *the_pool;
}

Result<void> outcome(const Job& job) {
  if (job.failed == Failure::OutOfMemory) return Error::oom();
  if (job.failed == Failure::Other) return Error::internal(std::string("worker failed: ") + job.failure);
  return Ok{};
}

// i * n / pieces without forming i * n, which wraps for large n on any width of
// size_t: with n = q * pieces + r it is i * q + i * r / pieces, and i * r < pieces^2.
size_t piece_start(size_t n, size_t pieces, size_t i) {
  const size_t q = n / pieces, r = n % pieces;
  return i * q + i * r / pieces;
}

}  // namespace

size_t worker_count() { return available_processors(); }

size_t piece_count(size_t n) {
  const size_t workers = worker_count();
  if (n == 0) return 1;
  return n < workers ? n : workers;
}

Result<void> parallel_chunks(size_t n, size_t pieces, const std::function<void(size_t, size_t, size_t)>& fn) {
  if (pieces == 0) return Error::internal("parallel_chunks needs at least one piece");
  Job job;
  job.remaining = pieces;
  std::vector<Task> tasks;
  tasks.reserve(pieces);
  for (size_t i = 0; i < pieces; ++i) {
    tasks.push_back(Task{&job, &fn, piece_start(n, pieces, i), piece_start(n, pieces, i + 1), i});
  }
  try {
    pool().submit(tasks);
  } catch (const std::exception&) {
    // No pool (no thread could be started, or no memory for one), or no memory to
    // queue the tasks: nothing is queued, so do the same pieces here, in order. The
    // outcome is the same, only slower.
    for (const Task& t : tasks) execute(t);
    return outcome(job);
  }
  std::unique_lock<std::mutex> lock(job.mutex);
  job.done.wait(lock, [&job] { return job.remaining == 0; });
  return outcome(job);
}

}  // namespace tovik
