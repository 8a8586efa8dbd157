#pragma once
// Random masks for the tests that compare the run-based code with a
// pixel-by-pixel count.

#include <cstdint>
#include <random>

#include "common/mask.hpp"
#include "common/run_mask.hpp"

namespace mirelo {

/// An h x w mask whose pixels are set with probability p, as runs.
inline RunMask random_runs(std::mt19937& gen, int64_t h, int64_t w, double p) {
  Mask m(h, w);
  std::bernoulli_distribution set(p);
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) m.row(y)[x] = set(gen);
  return runs_of(m.view());
}

}  // namespace mirelo
