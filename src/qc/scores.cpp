#include "qc/scores.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/runtime.hpp"
#include "measures/assignment.hpp"

namespace mirelo {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr int64_t kMaxFrameSpan = 10'000'000;

// One frame of the sequence after preparation: its detections (positions
// into the per-frame id lists) and its similarity matrix (gt x predicted,
// row-major, at sim_begin).
struct Frame {
  int64_t number = 0;
  size_t gt_begin = 0, gt_count = 0, pr_begin = 0, pr_count = 0, sim_begin = 0;
};

struct Prepared {
  std::vector<Frame> frames;
  std::vector<int64_t> gt_ids, pr_ids;  // per frame, concatenated; contiguous labels after relabel()
  std::vector<double> sims;
  std::vector<int64_t> gt_labels, pr_labels;  // label -> identity as written
  int64_t gt_dets = 0, pr_dets = 0;
};

void check_side(const TrackSide& s, Similarity sim, bool ground_truth) {
  const size_t n = s.frame.size();
  if (s.id.size() != n || (!s.ignore.empty() && s.ignore.size() != n))
    throw ValueError("internal: the columns of " + s.name + " differ in length");
  if (sim == Similarity::Box && s.xywh.size() != n)
    throw ValueError("box IoU needs a box for every detection of " + s.name);
  if (sim == Similarity::Mask && s.masks.size() != n)
    throw ValueError("mask IoU needs masks on both sides, and " + s.name + " holds boxes: pass iou=\"box\"");
  if (!ground_truth && !s.ignore.empty()) throw ValueError("internal: ignore regions among the predictions");
}

// Every mask of both sides has one frame size.
void check_mask_sizes(const TrackSide& gt, const TrackSide& pr) {
  const RunMask* first = nullptr;
  const std::string* first_name = nullptr;
  for (const TrackSide* s : {&gt, &pr})
    for (const RunMask* m : s->masks) {
      if (!first) {
        first = m;
        first_name = &s->name;
      } else if (!m->same_shape(*first)) {
        throw ValueError("masks of one evaluation must share a frame size: " + *first_name + " has " +
                         std::to_string(first->height()) + " x " + std::to_string(first->width()) + ", " + s->name +
                         " " + std::to_string(m->height()) + " x " + std::to_string(m->width()));
      }
    }
}

double mask_iou(const RunMask& a, const RunMask& b) {
  const int64_t inter = count_intersection(a, b);
  if (inter == 0) return 0.0;
  return static_cast<double>(inter) / static_cast<double>(a.area() + b.area() - inter);
}

// Pixels of `m` inside the union of `regions`.
int64_t count_inside(const RunMask& m, const std::vector<const RunMask*>& regions, std::vector<Run>& scratch) {
  const PixelBox& b = m.box();
  if (b.empty) return 0;
  int64_t count = 0;
  for (int64_t y = b.y_min; y <= b.y_max; ++y) {
    scratch.clear();
    for (const RunMask* r : regions) {
      const auto row = r->row(y);
      scratch.insert(scratch.end(), row.begin(), row.end());
    }
    if (scratch.empty()) continue;
    std::sort(scratch.begin(), scratch.end(), [](const Run& p, const Run& q) { return p.x_begin < q.x_begin; });
    size_t w = 0;
    for (size_t k = 1; k < scratch.size(); ++k) {
      if (scratch[k].x_begin <= scratch[w].x_end) {
        scratch[w].x_end = std::max(scratch[w].x_end, scratch[k].x_end);
      } else {
        scratch[++w] = scratch[k];
      }
    }
    const auto mine = m.row(y);
    size_t i = 0, j = 0;
    while (i < mine.size() && j <= w) {
      const int32_t lo = std::max(mine[i].x_begin, scratch[j].x_begin);
      const int32_t hi = std::min(mine[i].x_end, scratch[j].x_end);
      if (lo < hi) count += hi - lo;
      if (mine[i].x_end < scratch[j].x_end) {
        ++i;
      } else {
        ++j;
      }
    }
  }
  return count;
}

// Detection positions of a side grouped by frame (stable: file order within
// a frame), and the frames in increasing order.
std::vector<size_t> by_frame(const TrackSide& s) {
  std::vector<size_t> order(s.frame.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return s.frame[a] < s.frame[b]; });
  return order;
}

void check_unique(const TrackSide& s, const std::vector<size_t>& order) {
  for (size_t k = 0; k < order.size();) {
    size_t e = k;
    while (e < order.size() && s.frame[order[e]] == s.frame[order[k]]) ++e;
    std::vector<int64_t> ids;
    for (size_t q = k; q < e; ++q)
      if (s.ignore.empty() || !s.ignore[order[q]]) ids.push_back(s.id[order[q]]);
    std::sort(ids.begin(), ids.end());
    const auto dup = std::adjacent_find(ids.begin(), ids.end());
    if (dup != ids.end())
      throw ValueError("identity " + std::to_string(*dup) + " appears twice in frame " + std::to_string(s.frame[order[k]]) +
                       " of " + s.name);
    k = e;
  }
}

Prepared prepare(const TrackSide& gt, const TrackSide& pr, Similarity sim) {
  const auto go = by_frame(gt), po = by_frame(pr);
  check_unique(gt, go);
  check_unique(pr, po);
  Prepared p;
  if (go.empty() && po.empty()) return p;
  int64_t first = std::numeric_limits<int64_t>::max(), last = std::numeric_limits<int64_t>::min();
  if (!go.empty()) {
    first = std::min(first, gt.frame[go.front()]);
    last = std::max(last, gt.frame[go.back()]);
  }
  if (!po.empty()) {
    first = std::min(first, pr.frame[po.front()]);
    last = std::max(last, pr.frame[po.back()]);
  }
  if (static_cast<double>(last) - static_cast<double>(first) >= static_cast<double>(kMaxFrameSpan))
    throw ValueError(expected_got("frame numbers spanning fewer than 10^7 frames",
                                  std::to_string(first) + " to " + std::to_string(last)));
  LinearAssignment lsa;
  std::vector<double> matching;
  std::vector<const RunMask*> ignore;
  std::vector<size_t> gi, pi;
  std::vector<Run> scratch;
  size_t a = 0, b = 0;
  for (int64_t f = first;; ++f) {
    if ((f - first) % 1024 == 1023) check_interrupt();
    Frame fr;
    fr.number = f;
    gi.clear();
    pi.clear();
    ignore.clear();
    for (; a < go.size() && gt.frame[go[a]] == f; ++a) {
      if (!gt.ignore.empty() && gt.ignore[go[a]]) {
        if (sim == Similarity::Mask) ignore.push_back(gt.masks[go[a]]);
      } else {
        gi.push_back(go[a]);
      }
    }
    for (; b < po.size() && pr.frame[po[b]] == f; ++b) pi.push_back(po[b]);
    const size_t G = gi.size();
    std::vector<double> s(G * pi.size());
    for (size_t r = 0; r < G; ++r)
      for (size_t c = 0; c < pi.size(); ++c)
        s[r * pi.size() + c] = sim == Similarity::Box ? box_iou(gt.xywh[gi[r]], pr.xywh[pi[c]])
                                                      : mask_iou(*gt.masks[gi[r]], *pr.masks[pi[c]]);
    if (!ignore.empty() && !pi.empty()) {
      // Predictions matching no ground truth (at the fixed 0.5 of the
      // reference) that lie mostly inside the ignore regions are left out.
      const size_t T = pi.size();
      std::vector<char> matched(T, 0);
      if (G > 0) {
        matching.resize(G * T);
        for (size_t k = 0; k < G * T; ++k) matching[k] = -(s[k] < 0.5 - kEps ? -10000.0 : s[k]);
        lsa.solve(matching.data(), G, T);
        for (size_t k = 0; k < lsa.row_of().size(); ++k) {
          const size_t r = static_cast<size_t>(lsa.row_of()[k]), c = static_cast<size_t>(lsa.col_of()[k]);
          if (-matching[r * T + c] > 0 + kEps) matched[c] = 1;
        }
      }
      std::vector<size_t> keep;
      for (size_t c = 0; c < T; ++c) {
        const RunMask& m = *pr.masks[pi[c]];
        const double inside =
            matched[c] || m.area() == 0 ? 0.0
                                        : static_cast<double>(count_inside(m, ignore, scratch)) / static_cast<double>(m.area());
        if (!(inside > 0.5 + kEps)) keep.push_back(c);
      }
      if (keep.size() < T) {
        std::vector<double> kept(G * keep.size());
        for (size_t r = 0; r < G; ++r)
          for (size_t k = 0; k < keep.size(); ++k) kept[r * keep.size() + k] = s[r * T + keep[k]];
        s.swap(kept);
        std::vector<size_t> kept_pi;
        for (size_t c : keep) kept_pi.push_back(pi[c]);
        pi.swap(kept_pi);
      }
    }
    fr.gt_begin = p.gt_ids.size();
    fr.gt_count = G;
    fr.pr_begin = p.pr_ids.size();
    fr.pr_count = pi.size();
    fr.sim_begin = p.sims.size();
    for (size_t g : gi) p.gt_ids.push_back(gt.id[g]);
    for (size_t c : pi) p.pr_ids.push_back(pr.id[c]);
    p.sims.insert(p.sims.end(), s.begin(), s.end());
    p.gt_dets += static_cast<int64_t>(G);
    p.pr_dets += static_cast<int64_t>(pi.size());
    p.frames.push_back(fr);
    if (f == last) break;
  }
  // Identities become 0..n-1 in increasing order, as the reference relabels them.
  auto relabel = [](std::vector<int64_t>& ids, std::vector<int64_t>& labels) {
    labels = ids;
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    for (int64_t& id : ids) id = std::lower_bound(labels.begin(), labels.end(), id) - labels.begin();
  };
  relabel(p.gt_ids, p.gt_labels);
  relabel(p.pr_ids, p.pr_labels);
  return p;
}

template <typename T>
std::vector<T> dense(size_t rows, size_t cols, const char* what) {
  require_allocatable(rows, cols * sizeof(T), [&] { return std::string(what); });
  return std::vector<T>(rows * cols, T{});
}

void score_identity(const Prepared& p, double threshold, TrackingScores& out) {
  const size_t G = p.gt_labels.size(), T = p.pr_labels.size();
  std::vector<double> pmc = dense<double>(G, T, "the identity scores' table of identities");
  std::vector<double> gc(G, 0.0), tc(T, 0.0);
  for (const Frame& f : p.frames) {
    for (size_t r = 0; r < f.gt_count; ++r)
      for (size_t c = 0; c < f.pr_count; ++c)
        if (p.sims[f.sim_begin + r * f.pr_count + c] >= threshold)
          pmc[static_cast<size_t>(p.gt_ids[f.gt_begin + r]) * T + static_cast<size_t>(p.pr_ids[f.pr_begin + c])] += 1;
    for (size_t r = 0; r < f.gt_count; ++r) gc[static_cast<size_t>(p.gt_ids[f.gt_begin + r])] += 1;
    for (size_t c = 0; c < f.pr_count; ++c) tc[static_cast<size_t>(p.pr_ids[f.pr_begin + c])] += 1;
  }
  const size_t N = G + T;
  std::vector<double> fn = dense<double>(N, N, "the identity assignment"), fp = dense<double>(N, N, "the identity assignment");
  for (size_t g = 0; g < G; ++g)
    for (size_t t = T; t < N; ++t) fn[g * N + t] = 1e10;
  for (size_t r = G; r < N; ++r)
    for (size_t t = 0; t < T; ++t) fp[r * N + t] = 1e10;
  for (size_t g = 0; g < G; ++g) {
    for (size_t t = 0; t < T; ++t) fn[g * N + t] = gc[g];
    fn[g * N + T + g] = gc[g];
  }
  for (size_t t = 0; t < T; ++t) {
    for (size_t g = 0; g < G; ++g) fp[g * N + t] = tc[t];
    fp[(t + G) * N + t] = tc[t];
  }
  for (size_t g = 0; g < G; ++g)
    for (size_t t = 0; t < T; ++t) {
      fn[g * N + t] -= pmc[g * T + t];
      fp[g * N + t] -= pmc[g * T + t];
    }
  std::vector<double> cost(N * N);
  for (size_t k = 0; k < N * N; ++k) cost[k] = fn[k] + fp[k];
  LinearAssignment lsa;
  lsa.solve(cost.data(), N, N);
  double idfn = 0, idfp = 0;
  for (size_t k = 0; k < N; ++k) {
    const size_t r = static_cast<size_t>(lsa.row_of()[k]), c = static_cast<size_t>(lsa.col_of()[k]);
    idfn += fn[r * N + c];
    idfp += fp[r * N + c];
    if (r < G) {
      IdentityScores& row = out.identities[r];
      if (c < T) {
        row.has_partner = true;
        row.partner = p.pr_labels[c];
        row.idtp = static_cast<int64_t>(pmc[r * T + c]);
        row.idfp = static_cast<int64_t>(tc[c]) - row.idtp;
      }
      row.idfn = static_cast<int64_t>(gc[r]) - row.idtp;
      row.idf1 = static_cast<double>(row.idtp) /
                 std::max(1.0, static_cast<double>(row.idtp) + 0.5 * static_cast<double>(row.idfp) +
                                   0.5 * static_cast<double>(row.idfn));
    }
  }
  double gsum = 0;
  for (double v : gc) gsum += v;
  out.idfn = static_cast<int64_t>(idfn);
  out.idfp = static_cast<int64_t>(idfp);
  out.idtp = static_cast<int64_t>(gsum - idfn);
  const double tp = static_cast<double>(out.idtp), fnv = static_cast<double>(out.idfn), fpv = static_cast<double>(out.idfp);
  out.IDR = tp / std::max(1.0, tp + fnv);
  out.IDP = tp / std::max(1.0, tp + fpv);
  out.IDF1 = tp / std::max(1.0, tp + 0.5 * fpv + 0.5 * fnv);
}

void score_clear(const Prepared& p, double threshold, TrackingScores& out) {
  const size_t G = p.gt_labels.size();
  std::vector<double> gt_count(G, 0.0), matched_count(G, 0.0), frag_count(G, 0.0);
  constexpr double none = std::numeric_limits<double>::quiet_NaN();
  // The identity last matched to each ground truth, at any earlier frame
  // (switches), and at the last frame that had both ground truth and
  // predictions (the bonus that keeps matches going).
  std::vector<double> prev(G, none), prev_step(G, none);
  std::vector<double> score;
  LinearAssignment lsa;
  double motp_sum = 0;
  int64_t tp = 0, fn = 0, fp = 0, idsw = 0;
  for (size_t k = 0; k < p.frames.size(); ++k) {
    const Frame& f = p.frames[k];
    FrameScores& row = out.frames[k];
    const int64_t* gids = p.gt_ids.data() + f.gt_begin;
    const int64_t* pids = p.pr_ids.data() + f.pr_begin;
    if (f.gt_count == 0) {
      fp += static_cast<int64_t>(f.pr_count);
      row.false_positives = static_cast<int64_t>(f.pr_count);
      continue;
    }
    if (f.pr_count == 0) {
      fn += static_cast<int64_t>(f.gt_count);
      row.misses = static_cast<int64_t>(f.gt_count);
      for (size_t r = 0; r < f.gt_count; ++r) gt_count[static_cast<size_t>(gids[r])] += 1;
      continue;
    }
    const double* s = p.sims.data() + f.sim_begin;
    const size_t R = f.gt_count, C = f.pr_count;
    score.resize(R * C);
    for (size_t r = 0; r < R; ++r)
      for (size_t c = 0; c < C; ++c) {
        const double sim = s[r * C + c];
        const bool kept_on = static_cast<double>(pids[c]) == prev_step[static_cast<size_t>(gids[r])];
        score[r * C + c] = sim < threshold - kEps ? 0.0 : 1000.0 * (kept_on ? 1.0 : 0.0) + sim;
      }
    std::vector<double> neg(R * C);
    for (size_t q = 0; q < R * C; ++q) neg[q] = -score[q];
    lsa.solve(neg.data(), R, C);
    std::vector<std::pair<size_t, size_t>> matches;
    for (size_t q = 0; q < lsa.row_of().size(); ++q) {
      const size_t r = static_cast<size_t>(lsa.row_of()[q]), c = static_cast<size_t>(lsa.col_of()[q]);
      if (score[r * C + c] > 0 + kEps) matches.emplace_back(r, c);
    }
    for (const auto& [r, c] : matches) {
      const size_t g = static_cast<size_t>(gids[r]);
      if (!std::isnan(prev[g]) && prev[g] != static_cast<double>(pids[c])) {
        ++idsw;
        ++row.switches;
        ++out.identities[g].switches;
        out.switches.push_back({f.number, p.gt_labels[g], p.pr_labels[static_cast<size_t>(prev[g])],
                                p.pr_labels[static_cast<size_t>(pids[c])]});
      }
    }
    for (size_t r = 0; r < R; ++r) gt_count[static_cast<size_t>(gids[r])] += 1;
    std::vector<char> was_tracked(G);
    for (size_t g = 0; g < G; ++g) was_tracked[g] = !std::isnan(prev_step[g]);
    std::fill(prev_step.begin(), prev_step.end(), none);
    for (const auto& [r, c] : matches) {
      const size_t g = static_cast<size_t>(gids[r]);
      matched_count[g] += 1;
      prev[g] = static_cast<double>(pids[c]);
      prev_step[g] = static_cast<double>(pids[c]);
    }
    for (size_t g = 0; g < G; ++g)
      if (!was_tracked[g] && !std::isnan(prev_step[g])) frag_count[g] += 1;
    const int64_t n = static_cast<int64_t>(matches.size());
    tp += n;
    fn += static_cast<int64_t>(R) - n;
    fp += static_cast<int64_t>(C) - n;
    row.matches = n;
    row.misses = static_cast<int64_t>(R) - n;
    row.false_positives = static_cast<int64_t>(C) - n;
    if (n > 0) {
      double frame_sum = 0;
      for (const auto& [r, c] : matches) frame_sum += s[r * C + c];
      motp_sum += frame_sum;
      row.iou_sum = frame_sum;
    }
  }
  int64_t mt = 0, pt = 0;
  for (size_t g = 0; g < G; ++g) {
    IdentityScores& id = out.identities[g];
    id.frames_tracked = static_cast<int64_t>(matched_count[g]);
    id.fragmentations = frag_count[g] > 0 ? static_cast<int64_t>(frag_count[g]) - 1 : 0;
    if (gt_count[g] > 0) {
      const double ratio = matched_count[g] / gt_count[g];
      if (ratio > 0.8) {
        ++mt;
      } else if (ratio >= 0.2) {
        ++pt;
      }
    }
    out.Frag += id.fragmentations;
  }
  out.MT = mt;
  out.PT = pt;
  out.ML = static_cast<int64_t>(G) - mt - pt;
  out.IDSW = idsw;
  out.clr_tp = tp;
  out.clr_fn = fn;
  out.clr_fp = fp;
  const double denom = std::max(1.0, static_cast<double>(tp + fn));
  out.MOTA = static_cast<double>(tp - fp - idsw) / denom;
  out.MOTP = motp_sum / std::max(1.0, static_cast<double>(tp));
}

void score_hota(const Prepared& p, TrackingScores& out) {
  const size_t G = p.gt_labels.size(), T = p.pr_labels.size();
  std::vector<double> pmc = dense<double>(G, T, "HOTA's table of identities");
  std::vector<double> gc(G, 0.0), tc(T, 0.0), colsum, rowsum;
  for (const Frame& f : p.frames) {
    const size_t R = f.gt_count, C = f.pr_count;
    const double* s = p.sims.data() + f.sim_begin;
    const int64_t* gids = p.gt_ids.data() + f.gt_begin;
    const int64_t* pids = p.pr_ids.data() + f.pr_begin;
    if (R > 0 && C > 0) {
      // numpy sums a column down the rows one by one, except for a single
      // column, which it sums pairwise like a row.
      colsum.assign(C, 0.0);
      if (C == 1) {
        colsum[0] = numpy_sum(s, R, 1);
      } else {
        for (size_t r = 0; r < R; ++r)
          for (size_t c = 0; c < C; ++c) colsum[c] += s[r * C + c];
      }
      rowsum.resize(R);
      for (size_t r = 0; r < R; ++r) rowsum[r] = numpy_sum(s + r * C, C, 1);
      for (size_t r = 0; r < R; ++r)
        for (size_t c = 0; c < C; ++c) {
          const double denom = colsum[c] + rowsum[r] - s[r * C + c];
          const double v = denom > 0 + kEps ? s[r * C + c] / denom : 0.0;
          pmc[static_cast<size_t>(gids[r]) * T + static_cast<size_t>(pids[c])] += v;
        }
    }
    for (size_t r = 0; r < R; ++r) gc[static_cast<size_t>(gids[r])] += 1;
    for (size_t c = 0; c < C; ++c) tc[static_cast<size_t>(pids[c])] += 1;
  }
  std::vector<double> gas = dense<double>(G, T, "HOTA's alignment table");
  for (size_t g = 0; g < G; ++g)
    for (size_t t = 0; t < T; ++t) gas[g * T + t] = pmc[g * T + t] / (gc[g] + tc[t] - pmc[g * T + t]);

  const auto alphas = hota_alphas();
  std::vector<int32_t> matches = dense<int32_t>(kAlphaCount, G * T, "HOTA's match counts");
  std::array<double, kAlphaCount> htp{}, hfn{}, hfp{}, loca{};
  std::vector<double> neg;
  LinearAssignment lsa;
  for (const Frame& f : p.frames) {
    const size_t R = f.gt_count, C = f.pr_count;
    if (R == 0) {
      for (int a = 0; a < kAlphaCount; ++a) hfp[a] += static_cast<double>(C);
      continue;
    }
    if (C == 0) {
      for (int a = 0; a < kAlphaCount; ++a) hfn[a] += static_cast<double>(R);
      continue;
    }
    const double* s = p.sims.data() + f.sim_begin;
    const int64_t* gids = p.gt_ids.data() + f.gt_begin;
    const int64_t* pids = p.pr_ids.data() + f.pr_begin;
    neg.resize(R * C);
    for (size_t r = 0; r < R; ++r)
      for (size_t c = 0; c < C; ++c)
        neg[r * C + c] = -(gas[static_cast<size_t>(gids[r]) * T + static_cast<size_t>(pids[c])] * s[r * C + c]);
    lsa.solve(neg.data(), R, C);
    const auto& rows = lsa.row_of();
    const auto& cols = lsa.col_of();
    for (int a = 0; a < kAlphaCount; ++a) {
      int64_t n = 0;
      double frame_sum = 0;
      for (size_t q = 0; q < rows.size(); ++q) {
        const size_t r = static_cast<size_t>(rows[q]), c = static_cast<size_t>(cols[q]);
        if (s[r * C + c] >= alphas[a] - kEps) {
          ++n;
          frame_sum += s[r * C + c];
          ++matches[static_cast<size_t>(a) * G * T + static_cast<size_t>(gids[r]) * T + static_cast<size_t>(pids[c])];
        }
      }
      htp[a] += static_cast<double>(n);
      hfn[a] += static_cast<double>(static_cast<int64_t>(R) - n);
      hfp[a] += static_cast<double>(static_cast<int64_t>(C) - n);
      if (n > 0) loca[a] += frame_sum;
    }
  }
  std::vector<double> weighted(G * T);
  for (int a = 0; a < kAlphaCount; ++a) {
    const int32_t* mc = matches.data() + static_cast<size_t>(a) * G * T;
    for (size_t g = 0; g < G; ++g)
      for (size_t t = 0; t < T; ++t) {
        const double m = mc[g * T + t];
        weighted[g * T + t] = m * (m / std::max(1.0, gc[g] + tc[t] - m));
      }
    const double assa = numpy_sum(weighted.data(), weighted.size()) / std::max(1.0, htp[a]);
    const double deta = htp[a] / std::max(1.0, htp[a] + hfn[a] + hfp[a]);
    out.assa[a] = assa;
    out.deta[a] = deta;
    out.hota[a] = std::sqrt(deta * assa);
    out.loca[a] = std::max(1e-10, loca[a]) / std::max(1e-10, htp[a]);
  }
}

double mean19(const std::array<double, kAlphaCount>& v) { return numpy_sum(v.data(), v.size()) / kAlphaCount; }

}  // namespace

std::array<double, kAlphaCount> hota_alphas() {
  std::array<double, kAlphaCount> a{};
  // numpy's arange: start + i * (second - first).
  const double delta = (0.05 + 0.05) - 0.05;
  for (int i = 0; i < kAlphaCount; ++i) a[i] = 0.05 + i * delta;
  return a;
}

double numpy_sum(const double* a, size_t n, size_t stride) {
  if (n < 8) {
    double res = 0.0;
    for (size_t i = 0; i < n; ++i) res += a[i * stride];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = a[j * stride];
    size_t i = 8;
    for (; i < n - (n % 8); i += 8)
      for (size_t j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i * stride];
    return res;
  }
  size_t n2 = n / 2;
  n2 -= n2 % 8;
  return numpy_sum(a, n2, stride) + numpy_sum(a + n2 * stride, n - n2, stride);
}

double box_iou(const std::array<double, 4>& a, const std::array<double, 4>& b) {
  const double ax1 = a[0] + a[2], ay1 = a[1] + a[3], bx1 = b[0] + b[2], by1 = b[1] + b[3];
  const double iw = std::max(std::min(ax1, bx1) - std::max(a[0], b[0]), 0.0);
  const double ih = std::max(std::min(ay1, by1) - std::max(a[1], b[1]), 0.0);
  const double inter = iw * ih;
  const double area1 = (ax1 - a[0]) * (ay1 - a[1]);
  const double area2 = (bx1 - b[0]) * (by1 - b[1]);
  const double uni = area1 + area2 - inter;
  if (area1 <= 0 + kEps || area2 <= 0 + kEps || uni <= 0 + kEps) return 0.0;
  return inter / uni;
}

TrackingScores score_tracking(const TrackSide& ground_truth, const TrackSide& predicted, Similarity similarity,
                              double threshold) {
  if (!(threshold >= 0.0 && threshold <= 1.0))
    throw ValueError(expected_got("a threshold from 0 to 1", std::to_string(threshold)));
  check_side(ground_truth, similarity, true);
  check_side(predicted, similarity, false);
  if (similarity == Similarity::Mask) check_mask_sizes(ground_truth, predicted);
  const Prepared p = prepare(ground_truth, predicted, similarity);

  TrackingScores out;
  out.alpha = hota_alphas();
  out.frames.resize(p.frames.size());
  for (size_t k = 0; k < p.frames.size(); ++k) {
    out.frames[k].frame = p.frames[k].number;
    out.frames[k].ground_truth = static_cast<int64_t>(p.frames[k].gt_count);
    out.frames[k].predicted = static_cast<int64_t>(p.frames[k].pr_count);
  }
  out.identities.resize(p.gt_labels.size());
  for (size_t g = 0; g < p.gt_labels.size(); ++g) out.identities[g].id = p.gt_labels[g];
  for (size_t k = 0; k < p.frames.size(); ++k)
    for (size_t r = 0; r < p.frames[k].gt_count; ++r)
      ++out.identities[static_cast<size_t>(p.gt_ids[p.frames[k].gt_begin + r])].frames;

  if (p.pr_dets == 0 || p.gt_dets == 0) {
    // The reference's early answers for an empty side: its fields keep
    // their starting values (0), localisation accuracy is 1.
    out.loca.fill(1.0);
    out.clr_fn = p.gt_dets;
    out.clr_fp = p.pr_dets;
    out.idfn = p.gt_dets;
    out.idfp = p.pr_dets;
    out.ML = p.pr_dets == 0 ? static_cast<int64_t>(p.gt_labels.size()) : 0;
    for (auto& id : out.identities) id.idfn = id.frames;
    for (size_t k = 0; k < p.frames.size(); ++k) {
      out.frames[k].misses = out.frames[k].ground_truth;
      out.frames[k].false_positives = out.frames[k].predicted;
    }
  } else {
    score_identity(p, threshold, out);
    score_clear(p, threshold, out);
    score_hota(p, out);
  }
  out.HOTA = mean19(out.hota);
  out.DetA = mean19(out.deta);
  out.AssA = mean19(out.assa);
  out.LocA = mean19(out.loca);
  return out;
}

}  // namespace mirelo
