// ScoredPair: one scored document, the unit of search's scoring, selection and
// results (and what build_results takes back from Python).
#pragma once

#include <cstdint>

namespace tovik {

struct ScoredPair {
  uint32_t id;
  float score;
};

}  // namespace tovik
