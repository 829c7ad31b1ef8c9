#include "worker_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "alloc_fault.hpp"

namespace tovik {
namespace {

// Squares of [0, n), computed in contiguous pieces and concatenated left to right.
std::vector<uint64_t> squares_in_pieces(size_t n) {
  std::vector<std::vector<uint64_t>> pieces(piece_count(n));
  auto run = parallel_chunks(n, pieces.size(), [&](size_t begin, size_t end, size_t piece) {
    for (size_t i = begin; i < end; ++i) pieces[piece].push_back(uint64_t{i} * i);
  });
  EXPECT_TRUE(run.ok());
  std::vector<uint64_t> out;
  for (auto& p : pieces) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(WorkerPoolTest, PiecesCoverTheRangeInOrder) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{1001}, size_t{65537}}) {
    std::vector<uint64_t> expected(n);
    for (size_t i = 0; i < n; ++i) expected[i] = uint64_t{i} * i;
    EXPECT_EQ(squares_in_pieces(n), expected) << "n=" << n;
  }
}

TEST(WorkerPoolTest, ExceptionInAWorkerBecomesAnInternalError) {
  auto run = parallel_chunks(100, piece_count(100), [](size_t begin, size_t, size_t) {
    if (begin == 0) throw std::runtime_error("boom");
  });
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, ErrorKind::Internal);
  EXPECT_NE(run.error().message.find("boom"), std::string::npos);
  // The pool still works afterwards.
  EXPECT_EQ(squares_in_pieces(10).back(), 81u);
}

TEST(WorkerPoolTest, ZeroPiecesIsRefused) {
  auto run = parallel_chunks(10, 0, [](size_t, size_t, size_t) {});
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, ErrorKind::Internal);
}

// Running out of memory at any allocation of a call: the call either throws
// std::bad_alloc having run no piece, or succeeds having run every piece exactly once
// (on the calling thread when the queue could not take them). Nothing stays queued
// to run later against the call's finished stack frame.
TEST(WorkerPoolTest, AllocationFailureNeverLeavesTasksBehind) {
  if (!test::ALLOC_FAULTS_INJECTABLE) GTEST_SKIP() << "the sanitizer's operator new is in place";
  constexpr size_t PIECES = 1024;
  std::vector<std::atomic<int>> runs(PIECES);
  const std::thread::id caller = std::this_thread::get_id();
  bool ran_here = false, ran_on_pool = false;
  for (long failure_at = 0; failure_at < 200; ++failure_at) {
    for (auto& r : runs) r = 0;
    std::atomic<bool> on_caller{false};
    bool threw = false;
    test::alloc_countdown = failure_at;
    try {
      auto run = parallel_chunks(PIECES, PIECES, [&](size_t, size_t, size_t piece) {
        ++runs[piece];
        if (std::this_thread::get_id() == caller) on_caller = true;
      });
      EXPECT_TRUE(run.ok()) << failure_at;
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    test::alloc_countdown = -1;
    EXPECT_EQ(squares_in_pieces(64).size(), 64u);  // later work gets the pool to itself
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (size_t p = 0; p < PIECES; ++p) ASSERT_EQ(runs[p].load(), threw ? 0 : 1) << failure_at << " " << p;
    if (!threw) (on_caller ? ran_here : ran_on_pool) = true;
  }
  EXPECT_TRUE(ran_here);     // some failure hit the queueing itself
  EXPECT_TRUE(ran_on_pool);  // and the sweep went past the last allocation
}

TEST(WorkerPoolTest, ConcurrentCallersEachGetTheirOwnResult) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      const size_t n = 5000 + static_cast<size_t>(t);
      auto got = squares_in_pieces(n);
      if (got.size() != n || got.back() != uint64_t{n - 1} * (n - 1)) ++wrong;
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerPoolTest, ForkedChildGetsAWorkingPool) {
  // qemu's user-mode emulation cannot start threads in the child of a threaded process
  // (it asserts inside the emulator), so this runs on real processors only.
  if (std::getenv("TOVIK_UNDER_QEMU") != nullptr) GTEST_SKIP() << "fork with threads is not emulated";
  ASSERT_EQ(squares_in_pieces(1000).size(), 1000u);  // the parent's pool exists now
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    const auto got = squares_in_pieces(4096);
    _exit(got.size() == 4096 && got[4095] == 4095ull * 4095ull ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tovik
