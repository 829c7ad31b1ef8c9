// Helpers shared by the C++ benchmark programs: a steady clock and the process's
// resident memory.
#pragma once

#include <chrono>
#include <fstream>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;

// Resident memory of this process in KiB (VmRSS), or -1 when it cannot be read.
inline long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

}  // namespace bench
