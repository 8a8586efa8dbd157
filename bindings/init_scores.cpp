// Tracking scores and the track files of the tracking benchmarks: the
// compiled halves of mirelo_utils._scores (evaluate_tracking and the MOT /
// MOTS readers and writers), and the COCO RLE conversions of one mask.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "clip.hpp"
#include "common/coco_rle.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/text.hpp"
#include "convert.hpp"
#include "pen/track_files.hpp"
#include "qc/scores.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::object doubles(std::vector<double> v) {
  const size_t n = v.size();
  return to_numpy(std::move(v), {n});
}

template <typename F>
nb::object doubles_of(size_t n, F&& f) {
  std::vector<double> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = f(k);
  return doubles(std::move(v));
}

template <typename F>
nb::object ints_of(size_t n, F&& f) {
  std::vector<int64_t> v(n);
  for (size_t k = 0; k < n; ++k) v[k] = f(k);
  return to_numpy(v);
}

template <size_t N>
nb::object array_of(const std::array<double, N>& a) {
  return doubles(std::vector<double>(a.begin(), a.end()));
}

// ------------------------------------------------------------ track files

nb::dict mot_columns(const MotTable& t) {
  nb::dict d;
  d["frame"] = to_numpy(t.frame);
  d["id"] = to_numpy(t.id);
  d["x"] = doubles(t.x);
  d["y"] = doubles(t.y);
  d["w"] = doubles(t.w);
  d["h"] = doubles(t.h);
  d["conf"] = doubles(t.conf);
  std::vector<double> extra = t.extra;
  d["extra"] = to_numpy(std::move(extra), {t.size(), t.extra_columns});
  return d;
}

nb::dict read_mot(nb::handle path) {
  const std::string p = to_path(path, "path");
  MotTable t;
  {
    nb::gil_scoped_release release;
    t = read_mot_file(p);
  }
  return mot_columns(t);
}

std::vector<double> real_column(nb::handle v, size_t n, const std::string& what) {
  std::vector<double> out = to_real_vector(v, what);
  if (out.size() != n) throw ValueError(expected_got(std::to_string(n) + " values for " + what, std::to_string(out.size())));
  return out;
}

void write_mot(nb::handle path, nb::handle frame, nb::handle id, nb::handle x, nb::handle y, nb::handle w, nb::handle h,
               nb::handle conf, nb::handle extra) {
  const std::string p = to_path(path, "path");
  MotTable t;
  t.frame = to_whole_numbers(frame, "frame");
  const size_t n = t.frame.size();
  t.id = to_whole_numbers(id, "id");
  if (t.id.size() != n) throw ValueError(expected_got(std::to_string(n) + " values for id", std::to_string(t.id.size())));
  t.x = real_column(x, n, "x");
  t.y = real_column(y, n, "y");
  t.w = real_column(w, n, "w");
  t.h = real_column(h, n, "h");
  t.conf = real_column(conf, n, "conf");
  NDArray e = to_ndarray(extra, "the columns after the seventh");
  if (e.shape.size() != 2 || e.shape[0] != static_cast<int64_t>(n) || e.shape[1] > 3)
    throw ValueError(expected_got("an N x 0..3 array of the columns after the seventh", "shape " + shape_text(e.shape)));
  t.extra_columns = static_cast<size_t>(e.shape[1]);
  t.extra.resize(static_cast<size_t>(e.size()));
  for (int64_t k = 0; k < e.size(); ++k) t.extra[static_cast<size_t>(k)] = e.get(k);
  nb::gil_scoped_release release;
  write_file_atomically(p, mot_text(t));
}

nb::tuple read_mots(nb::handle path) {
  const std::string p = to_path(path, "path");
  auto t = std::make_shared<MotsTable>();
  {
    nb::gil_scoped_release release;
    *t = read_mots_file(p);
  }
  nb::dict d;
  d["frame"] = to_numpy(t->frame);
  d["id"] = to_numpy(t->id);
  d["class"] = to_numpy(t->cls);
  nb::list masks;
  for (const RunMask& m : t->masks) masks.append(nb::cast(CompactMask(std::shared_ptr<const RunMask>(t, &m))));
  return nb::make_tuple(d, masks, nb::make_tuple(t->height, t->width));
}

// The masks of a sequence as compact masks: CompactMask objects as they
// are, anything else converted (kept alive in `owned`).
std::vector<const RunMask*> run_masks(nb::handle masks, std::vector<std::shared_ptr<RunMask>>& owned, const std::string& what) {
  std::vector<const RunMask*> out;
  size_t k = 0;
  for (nb::handle m : masks) {
    if (const CompactMask* c = compact_mask_of(m)) {
      out.push_back(&c->runs());
    } else {
      owned.push_back(std::make_shared<RunMask>(to_run_mask(m, what + "[" + std::to_string(k) + "]")));
      out.push_back(owned.back().get());
    }
    ++k;
  }
  return out;
}

void write_mots(nb::handle path, nb::handle frame, nb::handle id, nb::handle cls, nb::handle masks) {
  const std::string p = to_path(path, "path");
  const std::vector<int64_t> f = to_whole_numbers(frame, "frame"), i = to_whole_numbers(id, "id"),
                             c = to_whole_numbers(cls, "class");
  nb::list mask_list = to_list(masks);
  std::vector<std::shared_ptr<RunMask>> owned;
  const std::vector<const RunMask*> m = run_masks(mask_list, owned, "mask");
  if (i.size() != f.size() || c.size() != f.size() || m.size() != f.size())
    throw ValueError("frame, id, class and mask must have one value per row: got " + std::to_string(f.size()) + ", " +
                     std::to_string(i.size()) + ", " + std::to_string(c.size()) + " and " + std::to_string(m.size()));
  nb::gil_scoped_release release;
  write_file_atomically(p, mots_text(f, i, c, m));
}

// ----------------------------------------------------------------- RLE

nb::dict rle_encode(nb::handle mask) {
  std::shared_ptr<RunMask> owned;
  const RunMask* m = nullptr;
  if (const CompactMask* c = compact_mask_of(mask)) {
    m = &c->runs();
  } else {
    owned = std::make_shared<RunMask>(to_run_mask(mask, "mask"));
    m = owned.get();
  }
  std::string text;
  {
    nb::gil_scoped_release release;
    text = rle_counts_text(rle_counts(*m));
  }
  nb::dict d;
  nb::list size;
  size.append(m->height());
  size.append(m->width());
  d["size"] = size;
  d["counts"] = nb::str(text.data(), text.size());
  return d;
}

CompactMask rle_decode(nb::handle rle) {
  if (!PyMapping_Check(rle.ptr()) || PyList_Check(rle.ptr()) || PyTuple_Check(rle.ptr()))
    throw TypeError(expected_got("a mapping with \"size\" and \"counts\"", py_type_name(rle)));
  nb::object size = nb::steal(PyMapping_GetItemString(rle.ptr(), "size"));
  if (!size.is_valid()) throw nb::python_error();
  nb::object counts = nb::steal(PyMapping_GetItemString(rle.ptr(), "counts"));
  if (!counts.is_valid()) throw nb::python_error();
  const std::vector<int64_t> hw = to_whole_numbers(size, "rle[\"size\"]");
  if (hw.size() != 2) throw ValueError(expected_got("rle[\"size\"] of two numbers [height, width]", std::to_string(hw.size()) + " numbers"));
  RunMask m;
  if (PyUnicode_Check(counts.ptr()) || PyBytes_Check(counts.ptr())) {
    const std::string text = PyBytes_Check(counts.ptr()) ? std::string(PyBytes_AS_STRING(counts.ptr()), PyBytes_GET_SIZE(counts.ptr()))
                                                         : utf8_of(counts);
    nb::gil_scoped_release release;
    std::vector<uint32_t> scratch;
    m = rle_text_to_run_mask(text, hw[0], hw[1], scratch);
  } else {
    std::vector<uint32_t> c;
    for (int64_t v : to_whole_numbers(counts, "rle[\"counts\"]")) {
      if (v < 0 || v > static_cast<int64_t>(UINT32_MAX))
        throw ValueError(expected_got("RLE counts from 0 to 2^32 - 1", std::to_string(v)));
      c.push_back(static_cast<uint32_t>(v));
    }
    nb::gil_scoped_release release;
    m = rle_to_run_mask(c, hw[0], hw[1]);
  }
  return CompactMask(std::make_shared<const RunMask>(std::move(m)));
}

// --------------------------------------------------------------- scores

// One side of an evaluation and what it reads from.
struct Side {
  TrackSide side;
  MotTable mot;
  MotsTable mots;
  std::vector<std::shared_ptr<RunMask>> owned;
  nb::object keep;  // the caller's masks
  std::string path;  // a track file to read, when not empty
};

Similarity similarity_of(const std::string& iou) {
  if (iou == "mask") return Similarity::Mask;
  if (iou == "box") return Similarity::Box;
  throw ValueError(expected_got("iou \"mask\" or \"box\"", repr_text(iou)));
}

// A mask's tight box as (x, y, width, height), inclusive pixels; masks held
// as column runs have their box turned.
std::array<double, 4> box_of(const RunMask& m, bool column_runs) {
  const PixelBox& b = m.box();
  if (b.empty) return {0, 0, 0, 0};
  std::array<double, 4> xywh{static_cast<double>(b.x_min), static_cast<double>(b.y_min),
                             static_cast<double>(b.x_max - b.x_min + 1), static_cast<double>(b.y_max - b.y_min + 1)};
  if (column_runs) {
    std::swap(xywh[0], xywh[1]);
    std::swap(xywh[2], xywh[3]);
  }
  return xywh;
}

void boxes_of_masks(TrackSide& s, bool column_runs = false) {
  s.xywh.clear();
  for (const RunMask* m : s.masks) s.xywh.push_back(box_of(*m, column_runs));
}

// Reads a track file into the side (no interpreter lock needed). MOTS masks
// stay column runs, as their RLE holds them, when `column_runs`: the other
// side's masks then come from a MOTS file too.
void load_file(Side& s, bool ground_truth, Similarity sim, bool column_runs) {
  const std::string text = read_file(s.path);
  TrackSide& t = s.side;
  switch (track_file_kind(text, s.path)) {
    case TrackFileKind::Empty:
      break;
    case TrackFileKind::Mot:
      s.mot = parse_mot(text, s.path);
      for (size_t r = 0; r < s.mot.size(); ++r) {
        // Ground-truth rows marked 0 in the seventh column (read as an
        // integer) are left out.
        if (ground_truth && std::trunc(s.mot.conf[r]) == 0) continue;
        t.frame.push_back(s.mot.frame[r]);
        t.id.push_back(s.mot.id[r]);
        t.xywh.push_back({s.mot.x[r], s.mot.y[r], s.mot.w[r], s.mot.h[r]});
      }
      break;
    case TrackFileKind::Mots:
      s.mots = parse_mots(text, s.path, column_runs);
      for (size_t r = 0; r < s.mots.size(); ++r) {
        const bool ignore = s.mots.cls[r] == kMotsIgnoreClass;
        if (ignore && !ground_truth) continue;
        t.frame.push_back(s.mots.frame[r]);
        t.id.push_back(s.mots.id[r]);
        t.masks.push_back(&s.mots.masks[r]);
        if (ground_truth) t.ignore.push_back(ignore ? 1 : 0);
      }
      if (sim == Similarity::Box) boxes_of_masks(t, column_runs);
      break;
  }
}

// A side from the host: a path, or (frames, ids, masks) of a clip.
void side_of(nb::handle given, const std::string& name, Side& s, Similarity sim) {
  s.side.name = name;
  if (nb::isinstance<nb::tuple>(given)) {
    nb::tuple t = nb::borrow<nb::tuple>(given);
    s.side.frame = to_whole_numbers(t[0], name + " frames");
    s.side.id = to_whole_numbers(t[1], name + " identities");
    s.keep = to_list(t[2]);
    s.side.masks = run_masks(s.keep, s.owned, name + " masks");
    if (s.side.id.size() != s.side.frame.size() || s.side.masks.size() != s.side.frame.size())
      throw ValueError("internal: the columns of " + name + " differ in length");
    if (sim == Similarity::Box) boxes_of_masks(s.side);
  } else {
    s.path = to_path(given, name);
    s.side.name = s.path;
  }
}

nb::dict scores_dict(const TrackingScores& r) {
  nb::dict summary;
  summary["HOTA"] = r.HOTA;
  summary["DetA"] = r.DetA;
  summary["AssA"] = r.AssA;
  summary["LocA"] = r.LocA;
  summary["IDF1"] = r.IDF1;
  summary["IDP"] = r.IDP;
  summary["IDR"] = r.IDR;
  summary["MOTA"] = r.MOTA;
  summary["MOTP"] = r.MOTP;
  summary["IDSW"] = static_cast<double>(r.IDSW);
  summary["Frag"] = static_cast<double>(r.Frag);
  summary["MT"] = static_cast<double>(r.MT);
  summary["PT"] = static_cast<double>(r.PT);
  summary["ML"] = static_cast<double>(r.ML);
  nb::dict counts;
  counts["CLR_TP"] = r.clr_tp;
  counts["CLR_FN"] = r.clr_fn;
  counts["CLR_FP"] = r.clr_fp;
  counts["IDTP"] = r.idtp;
  counts["IDFN"] = r.idfn;
  counts["IDFP"] = r.idfp;
  nb::dict alpha;
  alpha["alpha"] = array_of(r.alpha);
  alpha["HOTA"] = array_of(r.hota);
  alpha["DetA"] = array_of(r.deta);
  alpha["AssA"] = array_of(r.assa);
  alpha["LocA"] = array_of(r.loca);
  const auto& I = r.identities;
  nb::dict ids;
  ids["id"] = ints_of(I.size(), [&](size_t k) { return I[k].id; });
  ids["frames"] = ints_of(I.size(), [&](size_t k) { return I[k].frames; });
  ids["frames_tracked"] = ints_of(I.size(), [&](size_t k) { return I[k].frames_tracked; });
  ids["switches"] = ints_of(I.size(), [&](size_t k) { return I[k].switches; });
  ids["fragmentations"] = ints_of(I.size(), [&](size_t k) { return I[k].fragmentations; });
  ids["idtp"] = ints_of(I.size(), [&](size_t k) { return I[k].idtp; });
  ids["idfn"] = ints_of(I.size(), [&](size_t k) { return I[k].idfn; });
  ids["idfp"] = ints_of(I.size(), [&](size_t k) { return I[k].idfp; });
  ids["idf1"] = doubles_of(I.size(), [&](size_t k) { return I[k].idf1; });
  nb::list partners;
  for (const auto& i : I) partners.append(i.has_partner ? nb::object(nb::int_(i.partner)) : nb::none());
  ids["partner"] = partners;
  const auto& F = r.frames;
  nb::dict frames;
  frames["frame"] = ints_of(F.size(), [&](size_t k) { return F[k].frame; });
  frames["ground_truth"] = ints_of(F.size(), [&](size_t k) { return F[k].ground_truth; });
  frames["predicted"] = ints_of(F.size(), [&](size_t k) { return F[k].predicted; });
  frames["matches"] = ints_of(F.size(), [&](size_t k) { return F[k].matches; });
  frames["misses"] = ints_of(F.size(), [&](size_t k) { return F[k].misses; });
  frames["false_positives"] = ints_of(F.size(), [&](size_t k) { return F[k].false_positives; });
  frames["switches"] = ints_of(F.size(), [&](size_t k) { return F[k].switches; });
  frames["iou_sum"] = doubles_of(F.size(), [&](size_t k) { return F[k].iou_sum; });
  const auto& S = r.switches;
  nb::dict switches;
  switches["frame"] = ints_of(S.size(), [&](size_t k) { return S[k].frame; });
  switches["ground_truth"] = ints_of(S.size(), [&](size_t k) { return S[k].ground_truth; });
  switches["previous"] = ints_of(S.size(), [&](size_t k) { return S[k].previous; });
  switches["current"] = ints_of(S.size(), [&](size_t k) { return S[k].current; });
  nb::dict out;
  out["summary"] = summary;
  out["counts"] = counts;
  out["per_alpha"] = alpha;
  out["per_animal"] = ids;
  out["per_frame"] = frames;
  out["switches"] = switches;
  return out;
}

nb::dict score(nb::handle ground_truth, nb::handle predicted, const std::string& iou, double threshold) {
  const Similarity sim = similarity_of(iou);
  Side gt, pr;
  side_of(ground_truth, "the ground truth", gt, sim);
  side_of(predicted, "the predictions", pr, sim);
  TrackingScores r;
  {
    nb::gil_scoped_release release;
    // Two files compare their masks as column runs; a clip's masks are row
    // runs, and a file compared with one turns its masks over.
    const bool columns = !gt.path.empty() && !pr.path.empty();
    if (!gt.path.empty()) load_file(gt, true, sim, columns);
    if (!pr.path.empty()) load_file(pr, false, sim, columns);
    r = score_tracking(gt.side, pr.side, sim, threshold);
  }
  return scores_dict(r);
}

}  // namespace

void init_scores(nb::module_& m) {
  m.def("_read_mot", &read_mot, "path"_a, "The columns of a MOTChallenge box file (see mirelo_utils.read_mot).");
  m.def("_write_mot", &write_mot, "path"_a, "frame"_a, "id"_a, "x"_a, "y"_a, "w"_a, "h"_a, "conf"_a, "extra"_a,
        "Writes MOTChallenge rows (see mirelo_utils.write_mot).");
  m.def("_read_mots", &read_mots, "path"_a,
        "The columns, compact masks and frame size of a MOTS file (see mirelo_utils.read_mots).");
  m.def("_write_mots", &write_mots, "path"_a, "frame"_a, "id"_a, "cls"_a, "masks"_a,
        "Writes MOTS rows (see mirelo_utils.write_mots).");
  m.def("_score_tracking", &score, "ground_truth"_a, "predicted"_a, "iou"_a, "threshold"_a,
        "The tracking scores as columns (see mirelo_utils.evaluate_tracking).");
  m.def("rle_encode", &rle_encode, "mask"_a,
        nb::sig("def rle_encode(mask: numpy.ndarray | mirelo_utils._core.CompactMask) -> dict[str, typing.Any]"),
        R"(The COCO run-length encoding of a mask, as pycocotools writes it.

The counts run down the columns (column-major order), unset pixels first,
in pycocotools' compressed text: the same text as
``pycocotools.mask.encode(numpy.asfortranarray(mask))["counts"].decode()``.
The work follows the mask's runs, not its pixels.

Args:
    mask: A CompactMask, or a 2-D (or 1 x H x W) array of any numeric or
        bool dtype; non-zero is set.

Returns:
    {"size": [height, width], "counts": text}.

Raises:
    TypeError: not a mask.
    ValueError: not a 2-D mask, or a frame of 2^32 pixels or more.
)");
  m.def("rle_decode", &rle_decode, "rle"_a,
        nb::sig("def rle_decode(rle: collections.abc.Mapping[str, typing.Any]) -> mirelo_utils._core.CompactMask"),
        R"(The mask of a COCO run-length encoding, in compact form.

Args:
    rle: A mapping with "size" ([height, width]) and "counts": the
        compressed text (str or bytes, as pycocotools gives it) or the
        uncompressed list of counts (COCO's form for crowd regions).

Returns:
    The mask as a CompactMask (its runs made from the counts without
    painting pixels).

Raises:
    KeyError: "size" or "counts" missing.
    TypeError: not a mapping.
    ValueError: a malformed text (naming the character), counts that do
        not cover height x width pixels exactly, or a bad size.
)");
}

}  // namespace mirelo::py
