#include "worker_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace tovik {
namespace {

// Squares of [0, n), computed in contiguous pieces and concatenated left to right.
std::vector<uint64_t> squares_in_pieces(size_t n) {
  std::vector<std::vector<uint64_t>> pieces(piece_count(n));
  auto run = parallel_chunks(n, [&](size_t begin, size_t end, size_t piece) {
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
  auto run = parallel_chunks(100, [](size_t begin, size_t, size_t) {
    if (begin == 0) throw std::runtime_error("boom");
  });
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, ErrorKind::Internal);
  EXPECT_NE(run.error().message.find("boom"), std::string::npos);
  // The pool still works afterwards.
  EXPECT_EQ(squares_in_pieces(10).back(), 81u);
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
