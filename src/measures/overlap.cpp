#include "measures/overlap.hpp"

#include <algorithm>
#include <cmath>

#include "common/errors.hpp"
#include "common/runtime.hpp"

namespace mirelo {
namespace {

// Integer box arithmetic in 128 bits: any int64 coordinates give exact areas.
using Wide = __int128;

bool all_int(const HostNumber (&a)[4], const HostNumber (&b)[4]) {
  for (int k = 0; k < 4; ++k)
    if (!a[k].is_int || !b[k].is_int) return false;
  return true;
}

void require_same_shapes(const std::vector<MaskView>& a, const std::vector<MaskView>& b) {
  const MaskView& ref = a.empty() ? b.front() : a.front();
  for (const auto* list : {&a, &b})
    for (const auto& m : *list)
      if (!m.same_shape(ref))
        throw ValueError("all masks must have the same shape: expected (" +
                         std::to_string(ref.height) + ", " + std::to_string(ref.width) +
                         "), got (" + std::to_string(m.height) + ", " +
                         std::to_string(m.width) + ")");
}

// The table of n masks from the overlap count of each pair: each unordered
// pair once, skipped when the later mask's area is at most 1.
template <typename CountPair>
std::vector<double> table_of(size_t n, const std::vector<double>& areas, CountPair&& count_pair) {
  if (areas.size() != n) throw ValueError(expected_got(std::to_string(n) + " areas", std::to_string(areas.size())));
  std::vector<double> table(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    if (areas[i] <= 1) continue;
    for (size_t j = 0; j < i; ++j) {
      const int64_t inter = count_pair(i, j);
      table[i * n + j] = percentage_of(inter, areas[i]).as_double();
      table[j * n + i] = percentage_of(inter, areas[j]).as_double();
    }
    check_interrupt();
  }
  return table;
}

}  // namespace

HostNumber box_iou_exact(const HostNumber (&b1)[4], const HostNumber (&b2)[4]) {
  if (all_int(b1, b2)) {
    const Wide xl = std::max(b1[0].i, b2[0].i), yt = std::max(b1[1].i, b2[1].i);
    const Wide xr = std::min(b1[2].i, b2[2].i), yb = std::min(b1[3].i, b2[3].i);
    const Wide inter = (xl < xr && yt < yb) ? (xr - xl) * (yb - yt) : 0;
    const Wide a1 = (Wide(b1[2].i) - b1[0].i) * (Wide(b1[3].i) - b1[1].i);
    const Wide a2 = (Wide(b2[2].i) - b2[0].i) * (Wide(b2[3].i) - b2[1].i);
    const Wide uni = a1 + a2 - inter;
    if (uni > 0) return HostNumber::real(static_cast<double>(inter) / static_cast<double>(uni));
    return HostNumber::integer(0);
  }
  const double xl = std::max(b1[0].as_double(), b2[0].as_double());
  const double yt = std::max(b1[1].as_double(), b2[1].as_double());
  const double xr = std::min(b1[2].as_double(), b2[2].as_double());
  const double yb = std::min(b1[3].as_double(), b2[3].as_double());
  const double inter = (xl < xr && yt < yb) ? (xr - xl) * (yb - yt) : 0.0;
  const double a1 = (b1[2].as_double() - b1[0].as_double()) * (b1[3].as_double() - b1[1].as_double());
  const double a2 = (b2[2].as_double() - b2[0].as_double()) * (b2[3].as_double() - b2[1].as_double());
  const double uni = a1 + a2 - inter;
  if (uni > 0) return HostNumber::real(inter / uni);
  return HostNumber::integer(0);
}

HostNumber percentage_of(int64_t intersection, double area) {
  if (area > 0) return HostNumber::real(static_cast<double>(intersection) / area * 100.0);
  return HostNumber::integer(0);
}

std::vector<double> intersection_table(const std::vector<MaskView>& masks,
                                       const std::vector<double>& areas) {
  // Boxes first (one pass per mask), then each unordered pair once, counted
  // inside the overlap of the two boxes only.
  std::vector<PixelBox> boxes(masks.size());
  for (size_t k = 0; k < masks.size(); ++k) {
    boxes[k] = mask_box(masks[k]);
    check_interrupt();
  }
  return intersection_table(masks, areas, boxes);
}

std::vector<double> intersection_table(const std::vector<MaskView>& masks, const std::vector<double>& areas,
                                       const std::vector<PixelBox>& boxes) {
  const size_t n = masks.size();
  if (boxes.size() != n) throw ValueError(expected_got(std::to_string(n) + " boxes", std::to_string(boxes.size())));
  if (n > 0) require_same_shapes(masks, masks);
  return table_of(n, areas, [&](size_t i, size_t j) { return count_intersection(masks[i], boxes[i], masks[j], boxes[j]); });
}

std::vector<double> intersection_table(const std::vector<const RunMask*>& masks, const std::vector<double>& areas) {
  const size_t n = masks.size();
  for (const RunMask* m : masks)
    if (!m->same_shape(*masks.front()))
      throw ValueError("all masks must have the same shape: expected (" + std::to_string(masks.front()->height()) +
                       ", " + std::to_string(masks.front()->width()) + "), got (" + std::to_string(m->height()) +
                       ", " + std::to_string(m->width()) + ")");
  return table_of(n, areas, [&](size_t i, size_t j) { return count_intersection(*masks[i], *masks[j]); });
}

std::vector<double> intersection_table(const std::vector<RunMask>& masks) {
  std::vector<const RunMask*> ptrs;
  std::vector<double> areas;
  for (const RunMask& m : masks) {
    ptrs.push_back(&m);
    areas.push_back(static_cast<double>(m.area()));
  }
  return intersection_table(ptrs, areas);
}

std::vector<double> intersection_table(const std::vector<MaskView>& masks) {
  // Areas and boxes in one pass per mask.
  std::vector<double> areas(masks.size());
  std::vector<PixelBox> boxes(masks.size());
  for (size_t k = 0; k < masks.size(); ++k) {
    const MaskStats s = mask_stats(masks[k]);
    areas[k] = static_cast<double>(s.area);
    boxes[k] = s.box;
    check_interrupt();
  }
  return intersection_table(masks, areas, boxes);
}

std::vector<double> iou_matrix(const std::vector<MaskView>& masks_new,
                               const std::vector<MaskView>& masks_old) {
  const size_t nn = masks_new.size(), no = masks_old.size();
  std::vector<double> out(nn * no, 0.0);
  if (nn == 0 || no == 0) return out;
  require_same_shapes(masks_new, masks_old);
  auto stats_of = [](const std::vector<MaskView>& list) {
    std::vector<MaskStats> s(list.size());
    for (size_t k = 0; k < list.size(); ++k) {
      s[k] = mask_stats(list[k]);
      check_interrupt();
    }
    return s;
  };
  const auto sn = stats_of(masks_new), so = stats_of(masks_old);
  for (size_t i = 0; i < nn; ++i) {
    for (size_t j = 0; j < no; ++j) {
      const int64_t inter = count_intersection(masks_new[i], sn[i].box, masks_old[j], so[j].box);
      const int64_t uni = sn[i].area + so[j].area - inter;
      out[i * no + j] = static_cast<double>(inter) / (static_cast<double>(uni) + 1e-6);
    }
    check_interrupt();
  }
  return out;
}

}  // namespace mirelo
