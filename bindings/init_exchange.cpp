// The compiled halves of mirelo_utils._exchange: a clip's masks written in
// the annotation tools' formats, and those files read back into masks and
// annotation files.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "clip.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "convert.hpp"
#include "pen/exchange.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

// The clip as the writers read it: the compact masks it reads kept alive,
// converted ones owned beside it.
struct ClipInput {
  ClipMasksView view;
  std::vector<nb::object> held;
  std::vector<std::unique_ptr<RunMask>> owned;
};

// records: one (frame, image name, ids, masks) tuple per frame.
ClipInput clip_input(nb::handle records, int64_t height, int64_t width) {
  ClipInput in;
  in.view.height = height, in.view.width = width;
  for (nb::handle r : to_list(records)) {
    nb::list fields = to_list(r);
    if (fields.size() != 4) throw ValueError(expected_got("(frame, image, ids, masks) per frame", std::to_string(fields.size()) + " values"));
    FrameMasksView f;
    f.frame = to_integer(fields[0], "a frame");
    f.image = utf8_surrogatepass(fields[1]);
    f.ids = to_whole_numbers(fields[2], "the object ids of frame " + std::to_string(f.frame));
    size_t k = 0;
    for (nb::handle m : to_list(fields[3])) {
      if (const CompactMask* c = compact_mask_of(m)) {
        in.held.push_back(nb::borrow(m));
        f.masks.push_back(&c->runs());
      } else {
        const std::string what = "the mask of object " + (k < f.ids.size() ? std::to_string(f.ids[k]) : std::string("?")) +
                                 " in frame " + std::to_string(f.frame);
        in.owned.push_back(std::make_unique<RunMask>(to_run_mask(m, what)));
        f.masks.push_back(in.owned.back().get());
      }
      ++k;
    }
    in.view.frames.push_back(std::move(f));
  }
  return in;
}

nb::dict export_tracks(nb::handle path, const std::string& format, nb::handle records, int64_t height, int64_t width,
                       double tolerance, double simplify, const std::string& label, const std::string& name, int64_t frame_offset,
                       unsigned threads) {
  const std::string target = to_path(path, "path");
  const ClipInput in = clip_input(records, height, width);
  nb::dict out;
  std::string text;
  CvatDocument cvat;
  {
    nb::gil_scoped_release release;
    if (format == "cvat") {
      CvatOptions o;
      o.tolerance = tolerance, o.simplify = simplify, o.label = label, o.task_name = name, o.threads = threads;
      cvat = cvat_video_xml(in.view, o);
      text = std::move(cvat.text);
    } else if (format == "coco") {
      text = coco_video_json(in.view, name, label);
    } else if (format == "mot") {
      text = mot_text(mot_rows(in.view, frame_offset));
    } else if (format == "mots") {
      text = mots_text_of(in.view, frame_offset);
    } else {
      throw ValueError(expected_got("the format \"cvat\", \"coco\", \"mot\" or \"mots\"", repr_text(format)));
    }
    write_file_atomically(target, text);
  }
  out["bytes"] = text.size();
  if (format == "cvat") {
    out["tracks"] = cvat.tracks;
    out["shapes"] = cvat.shapes;
    out["outside_shapes"] = cvat.outside_shapes;
    out["animal_frames"] = cvat.animal_frames;
  }
  return out;
}

// What a file holds, shared by the Python objects made from it.
class TracksHandle {
 public:
  explicit TracksHandle(ClipMasks&& clip) : clip_(std::make_shared<ClipMasks>(std::move(clip))) {}
  const ClipMasks& clip() const { return *clip_; }

  const FrameMasks& frame(int64_t f) const {
    if (f < 0 || f >= static_cast<int64_t>(clip_->frames.size()))
      throw IndexError("frame " + std::to_string(f) + " is not among the file's frames 0 to " +
                       std::to_string(static_cast<int64_t>(clip_->frames.size()) - 1));
    return clip_->frames[static_cast<size_t>(f)];
  }

  nb::dict masks(int64_t f) const {
    const FrameMasks& fr = frame(f);
    nb::dict out;
    for (size_t k = 0; k < fr.ids.size(); ++k)
      out[nb::int_(fr.ids[k])] = nb::cast(CompactMask(std::shared_ptr<const RunMask>(clip_, &fr.masks[k])));
    return out;
  }

 private:
  std::shared_ptr<ClipMasks> clip_;
};

TracksHandle read_tracks(nb::handle path, const std::string& format, int64_t height, int64_t width,
                         int64_t frame_offset) {
  const std::string p = to_path(path, "path");
  nb::gil_scoped_release release;
  if (format == "cvat") return TracksHandle(parse_cvat_video_xml(read_file(p), p, height, width));
  if (format == "coco") return TracksHandle(parse_coco_video_json(read_file(p), p));
  if (format == "mot") {
    if (height < 1 || width < 1)
      throw ValueError(p + ": a MOTChallenge box file states no frame size: give the frames it was tracked on");
    return TracksHandle(masks_of_mot(read_mot_file(p), height, width, frame_offset, p));
  }
  if (format == "mots") return TracksHandle(masks_of_mots(read_mots_file(p), frame_offset, p));
  throw ValueError(expected_got("the format \"cvat\", \"coco\", \"mot\" or \"mots\"", repr_text(format)));
}

nb::list write_files(const TracksHandle& h, nb::handle folder, nb::handle image_paths, const std::string& class_name,
                     unsigned threads) {
  const std::string dir = to_path(folder, "folder");
  std::vector<std::string> images;
  for (nb::handle p : to_list(image_paths)) {
    (void)to_path(p, "an image path");  // refuses what no file can be named
    nb::object text = nb::steal(PyOS_FSPath(p.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    images.push_back(utf8_surrogatepass(text));
  }
  std::vector<std::string> written;
  {
    nb::gil_scoped_release release;
    written = write_annotation_files(h.clip(), dir, images, class_name, threads);
  }
  nb::list out;
  for (const std::string& w : written) out.append(path_str(w));
  return out;
}

}  // namespace

void init_exchange(nb::module_& m) {
  nb::class_<TracksHandle>(m, "_Tracks", "The masks a track file holds (see mirelo_utils.read_tracks).")
      .def("__len__", [](const TracksHandle& h) { return h.clip().frames.size(); })
      .def_prop_ro("height", [](const TracksHandle& h) { return h.clip().height; })
      .def_prop_ro("width", [](const TracksHandle& h) { return h.clip().width; })
      .def("masks", &TracksHandle::masks, "frame"_a,
           nb::sig("def masks(self, frame: int) -> dict[int, mirelo_utils._core.CompactMask]"),
           "Object id -> CompactMask of one frame, in the file's order.")
      .def("write_annotation_files", &write_files, "folder"_a, "image_paths"_a, "class_name"_a, "threads"_a,
           nb::sig("def write_annotation_files(self, folder: str | os.PathLike[str], "
                   "image_paths: collections.abc.Sequence[str | os.PathLike[str]], class_name: str, threads: int) "
                   "-> list[str]"),
           "Writes output_pp_<frame>.json for every frame; returns their paths.");
  m.def("_export_tracks", &export_tracks, "path"_a, "format"_a, "records"_a, "height"_a, "width"_a, "tolerance"_a,
        "simplify"_a, "label"_a, "name"_a, "frame_offset"_a, "threads"_a,
        nb::sig("def _export_tracks(path: str | os.PathLike[str], format: str, "
                "records: collections.abc.Sequence[tuple[int, str, collections.abc.Sequence[int], "
                "collections.abc.Sequence[typing.Any]]], height: int, width: int, tolerance: float, simplify: float, label: str, "
                "name: str, frame_offset: int, threads: int) -> dict[str, int]"),
        "Writes the clip's masks in a track format (see mirelo_utils.export_tracks).");
  m.def("_read_tracks", &read_tracks, "path"_a, "format"_a, "height"_a, "width"_a, "frame_offset"_a,
        nb::sig("def _read_tracks(path: str | os.PathLike[str], format: str, height: int, width: int, "
                "frame_offset: int) -> mirelo_utils._core._Tracks"),
        "Reads a track file's masks (see mirelo_utils.read_tracks).");
}

}  // namespace mirelo::py
