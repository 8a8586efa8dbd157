#pragma once
// What the exchange formats' harnesses share: a clip read from a file is
// written again and read back, and must come back as it was read (COCO)
// or covered by what comes back (CVAT's outlines fill holes).
#include <cstdlib>

#include "common/run_mask.hpp"
#include "pen/exchange.hpp"

namespace mirelo::fuzz {

/// The clip as the writers take it, when it is small enough to write again.
inline bool writable(const ClipMasks& clip, ClipMasksView& view) {
  if (clip.frames.empty() || clip.frames.size() > 64 || clip.height * clip.width > (1 << 20)) return false;
  view.height = clip.height, view.width = clip.width;
  for (size_t f = 0; f < clip.frames.size(); ++f) {
    FrameMasksView v;
    v.frame = static_cast<int64_t>(f);
    v.ids = clip.frames[f].ids;
    for (const RunMask& m : clip.frames[f].masks) v.masks.push_back(&m);
    view.frames.push_back(std::move(v));
  }
  return true;
}

/// Every pixel of `read` is in `again` (exactly its pixels when `exact`).
inline void require_covered(const ClipMasks& read, const ClipMasks& again, bool exact) {
  for (size_t f = 0; f < read.frames.size(); ++f) {
    const FrameMasks& a = read.frames[f];
    for (size_t k = 0; k < a.ids.size(); ++k) {
      if (a.masks[k].area() == 0 && !exact) continue;
      if (f >= again.frames.size()) std::abort();
      const FrameMasks& b = again.frames[f];
      size_t j = 0;
      while (j < b.ids.size() && b.ids[j] != a.ids[k]) ++j;
      if (j == b.ids.size()) std::abort();
      if (count_intersection(a.masks[k], b.masks[j]) != a.masks[k].area()) std::abort();
      if (exact && b.masks[j].area() != a.masks[k].area()) std::abort();
    }
  }
}

}  // namespace mirelo::fuzz
