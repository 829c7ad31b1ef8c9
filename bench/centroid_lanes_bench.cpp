// The product quantizer's per-call work, bracketed for an instruction counter: a query's
// distance table (384 floats: 32 subspaces x 256 centroids), one encode, and the centroid
// lanes of one 12-wide subspace (the dispatched kernel and the portable one).
//
// Each section sits between two marker system calls, write(1019, buf, tag), which the
// armcount plugin for qemu-user reports with its running count of guest instructions
// (bench/arm64_instructions.sh pairs them). Without the plugin fd 1019 is /dev/null and
// the program prints wall time per call instead, which under an emulator means little.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "distance.hpp"
#include "quantize.hpp"

namespace {

constexpr int MARK_FD = 1019;
constexpr uint32_t DIM = 384;
constexpr size_t CALLS = 200;

std::vector<float> random_vector(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = uniform(rng);
  return v;
}

void mark(int tag) {
  static char zeros[64] = {};
  if (write(MARK_FD, zeros, static_cast<size_t>(tag)) < 0) std::perror("marker");
}

volatile float sink;

// Runs body CALLS times between markers tag and tag + 1; prints ns per call.
template <typename F>
void section(const char* what, int tag, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  mark(tag);
  for (size_t i = 0; i < CALLS; ++i) body(i);
  mark(tag + 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
  std::printf("tag %2d %-40s %10.1f ns per call\n", tag, what, ns / CALLS);
}

}  // namespace

int main() {
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0 || dup2(null_fd, MARK_FD) < 0) return 1;
  std::mt19937 rng(42);
  std::vector<std::vector<float>> training;
  for (int i = 0; i < 256; ++i) training.push_back(random_vector(rng, DIM));
  tovik::ProductQuantizer pq(DIM);
  pq.train(std::vector<std::span<const float>>(training.begin(), training.end()));
  std::vector<std::vector<float>> inputs;
  for (size_t i = 0; i < CALLS; ++i) inputs.push_back(random_vector(rng, DIM));
  std::vector<float> codebook = random_vector(rng, 256 * 12);  // 32 blocks of 12 rows of 8
  std::vector<float> out(256);
  tovik::DistanceTable table;
  std::vector<uint8_t> code(pq.num_subspaces());

  pq.fill_distance_table(inputs[0], table);  // first use: dispatch and allocation
  section("empty (marker pair)", 1, [](size_t) {});
  section("distance table (384 floats)", 3, [&](size_t i) {
    pq.fill_distance_table(inputs[i], table);
    sink = table.distance[i];
  });
  section("encode (384 floats)", 5, [&](size_t i) {
    pq.encode_into(inputs[i], code.data());
    sink = code[i % code.size()];
  });
  section("l2sq_lanes_f32, 12 x 256 centroids", 7, [&](size_t i) {
    tovik::l2sq_lanes_f32(inputs[i].data(), codebook.data(), 12, 12 * tovik::LANES, 32, out.data());
    sink = out[i];
  });
  section("l2sq_lanes_f32_portable, 12 x 256", 9, [&](size_t i) {
    tovik::l2sq_lanes_f32_portable(inputs[i].data(), codebook.data(), 12, 12 * tovik::LANES, 32, out.data());
    sink = out[i];
  });
  return 0;
}
