// The parts of the exchange formats they share: checks of a clip, joined
// masks, the MOTChallenge and MOTS rows, and the annotation files written
// from what a file holds.
#include "pen/exchange.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "common/runtime.hpp"
#include "pen/annotation.hpp"

namespace mirelo {
namespace {

std::string frame_object(int64_t frame, int64_t id) {
  return "object " + std::to_string(id) + " of frame " + std::to_string(frame);
}

void require_frame(int64_t frame, const std::string& name, const std::string& where) {
  if (frame < 0 || frame >= kMaxExchangeFrames)
    throw ValueError(name + ": " + where + ": expected a frame from 0 to " + std::to_string(kMaxExchangeFrames - 1) +
                     ", got " + std::to_string(frame));
}

}  // namespace

RunMask box_mask(double x0, double y0, double x1, double y1, int64_t height, int64_t width) {
  RunMaskBuilder out(height, width);
  auto clip = [](double v, int64_t hi) { return static_cast<int64_t>(std::clamp(v, 0.0, static_cast<double>(hi))); };
  const int64_t c0 = clip(std::floor(x0), width), c1 = clip(std::ceil(x1), width);
  const int64_t r0 = clip(std::floor(y0), height), r1 = clip(std::ceil(y1), height);
  if (c1 > c0 && r1 > r0) {
    require_allocatable(static_cast<uint64_t>(r1 - r0), sizeof(Run) + sizeof(uint32_t), [] { return std::string("the rows of a box"); });
    out.reserve(static_cast<size_t>(r1 - r0), static_cast<size_t>(r1 - r0));
    for (int64_t y = r0; y < r1; ++y) out.add(y, c0, c1);
  }
  return out.finish();
}

RunMask united(const RunMask& a, const RunMask& b) {
  if (!a.same_shape(b))
    throw ValueError(expected_got("masks of one frame size", std::to_string(b.height()) + " x " +
                                                                 std::to_string(b.width()) + " beside " +
                                                                 std::to_string(a.height()) + " x " +
                                                                 std::to_string(a.width())));
  if (a.box().empty) return b;
  if (b.box().empty) return a;
  RunMaskBuilder out(a.height(), a.width());
  const int64_t y0 = std::min(a.box().y_min, b.box().y_min), y1 = std::max(a.box().y_max, b.box().y_max);
  std::vector<Run> merged;
  for (int64_t y = y0; y <= y1; ++y) {
    const auto ra = a.row(y), rb = b.row(y);
    merged.assign(ra.begin(), ra.end());
    merged.insert(merged.end(), rb.begin(), rb.end());
    std::sort(merged.begin(), merged.end(), [](const Run& p, const Run& q) { return p.x_begin < q.x_begin; });
    int32_t begin = 0, end = -1;
    for (const Run& r : merged) {
      if (end >= 0 && r.x_begin <= end) {
        end = std::max(end, r.x_end);
        continue;
      }
      if (end >= 0) out.add(y, begin, end);
      begin = r.x_begin, end = r.x_end;
    }
    if (end >= 0) out.add(y, begin, end);
  }
  return out.finish();
}

void check_clip_masks(const ClipMasksView& clip) {
  int64_t previous = -1;
  for (const FrameMasksView& f : clip.frames) {
    if (f.frame < 0 || f.frame >= kMaxExchangeFrames)
      throw ValueError(expected_got("frames from 0 to " + std::to_string(kMaxExchangeFrames - 1),
                                    "frame " + std::to_string(f.frame)));
    if (f.frame <= previous)
      throw ValueError(expected_got("each frame once, in increasing order",
                                    "frame " + std::to_string(f.frame) + " after frame " + std::to_string(previous)));
    previous = f.frame;
    if (f.ids.size() != f.masks.size())
      throw ValueError(expected_got("one mask per object id in frame " + std::to_string(f.frame),
                                    std::to_string(f.masks.size()) + " masks for " + std::to_string(f.ids.size()) +
                                        " ids"));
    for (size_t k = 0; k < f.ids.size(); ++k) {
      if (std::find(f.ids.begin(), f.ids.begin() + static_cast<std::ptrdiff_t>(k), f.ids[k]) !=
          f.ids.begin() + static_cast<std::ptrdiff_t>(k))
        throw ValueError(expected_got("each object once per frame", frame_object(f.frame, f.ids[k]) + " twice"));
      const RunMask& m = *f.masks[k];
      if (m.height() != clip.height || m.width() != clip.width)
        throw ValueError(expected_got("masks of the clip's frame size " + std::to_string(clip.height) + " x " +
                                          std::to_string(clip.width),
                                      std::to_string(m.height()) + " x " + std::to_string(m.width()) + " for " +
                                          frame_object(f.frame, f.ids[k])));
    }
  }
}

ClipMasks every_object_in_every_frame(SparseMasks&& sparse) {
  std::vector<int64_t> ids;
  for (const auto& e : sparse.entries) ids.push_back(e.id);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  // Every object in every frame: a file of a few objects stating a million
  // frames asks for as many masks, refused before anything is allocated
  // when that cannot fit.
  require_allocatable(static_cast<uint64_t>(sparse.frames) * std::max<uint64_t>(ids.size(), 1),
                      sizeof(RunMask) + sizeof(int64_t) + sizeof(FrameMasks), [&] {
                        return "the masks of " + std::to_string(ids.size()) + " objects in " +
                               std::to_string(sparse.frames) + " frames";
                      });
  ClipMasks out;
  out.height = sparse.height, out.width = sparse.width;
  out.frames.resize(static_cast<size_t>(sparse.frames));
  for (FrameMasks& f : out.frames) f.ids = ids;
  // (frame, object) -> mask, filled in once every object is known.
  std::map<std::pair<int64_t, int64_t>, RunMask> given;
  for (auto& e : sparse.entries) {
    auto [it, fresh] = given.try_emplace({e.frame, e.id}, std::move(e.mask));
    if (!fresh) it->second = united(it->second, e.mask);
  }
  for (FrameMasks& f : out.frames) f.masks.reserve(ids.size());
  for (int64_t frame = 0; frame < sparse.frames; ++frame) {
    FrameMasks& f = out.frames[static_cast<size_t>(frame)];
    for (int64_t id : ids) {
      auto it = given.find({frame, id});
      f.masks.push_back(it == given.end() ? RunMask(sparse.height, sparse.width) : std::move(it->second));
    }
  }
  return out;
}

MotTable mot_rows(const ClipMasksView& clip, int64_t frame_offset) {
  check_clip_masks(clip);
  MotTable t;
  t.extra_columns = 2;
  for (const FrameMasksView& f : clip.frames) {
    for (size_t k = 0; k < f.ids.size(); ++k) {
      const PixelBox& b = f.masks[k]->box();
      if (b.empty) continue;
      t.frame.push_back(f.frame + frame_offset);
      t.id.push_back(f.ids[k]);
      t.x.push_back(static_cast<double>(b.x_min));
      t.y.push_back(static_cast<double>(b.y_min));
      t.w.push_back(static_cast<double>(b.x_max - b.x_min + 1));
      t.h.push_back(static_cast<double>(b.y_max - b.y_min + 1));
      t.conf.push_back(1.0);
      t.extra.insert(t.extra.end(), {1.0, 1.0});
    }
  }
  return t;
}

std::string mots_text_of(const ClipMasksView& clip, int64_t frame_offset) {
  check_clip_masks(clip);
  std::vector<int64_t> frame, id, cls;
  std::vector<const RunMask*> masks;
  for (const FrameMasksView& f : clip.frames) {
    for (size_t k = 0; k < f.ids.size(); ++k) {
      if (f.masks[k]->box().empty) continue;
      frame.push_back(f.frame + frame_offset);
      id.push_back(f.ids[k]);
      cls.push_back(1);
      masks.push_back(f.masks[k]);
    }
  }
  return mots_text(frame, id, cls, masks);
}

namespace {

// The frame of row k of a track file, with the file's offset taken off.
int64_t clip_frame(int64_t written, int64_t frame_offset, int64_t line, const std::string& name) {
  const int64_t frame = written - frame_offset;
  if (written < frame_offset)
    throw ValueError(name + ", line " + std::to_string(line) + ": frame " + std::to_string(written) +
                     " comes before the first frame, " + std::to_string(frame_offset) +
                     " (frames are counted from the frame offset; give the file's own)");
  require_frame(frame, name, "line " + std::to_string(line));
  return frame;
}

}  // namespace

ClipMasks masks_of_mot(const MotTable& table, int64_t height, int64_t width, int64_t frame_offset,
                       const std::string& name) {
  SparseMasks sparse;
  sparse.height = height, sparse.width = width;
  for (size_t k = 0; k < table.size(); ++k) {
    if (k % 4096 == 4095) check_interrupt();
    const int64_t frame = clip_frame(table.frame[k], frame_offset, table.line[k], name);
    sparse.frames = std::max(sparse.frames, frame + 1);
    sparse.entries.push_back({frame, table.id[k],
                              box_mask(table.x[k], table.y[k], table.x[k] + table.w[k], table.y[k] + table.h[k],
                                       height, width)});
  }
  return every_object_in_every_frame(std::move(sparse));
}

ClipMasks masks_of_mots(MotsTable&& table, int64_t frame_offset, const std::string& name) {
  SparseMasks sparse;
  sparse.height = table.height, sparse.width = table.width;
  for (size_t k = 0; k < table.size(); ++k) {
    if (table.cls[k] == kMotsIgnoreClass) continue;
    const int64_t frame = clip_frame(table.frame[k], frame_offset, table.line[k], name);
    sparse.frames = std::max(sparse.frames, frame + 1);
    sparse.entries.push_back({frame, table.id[k], std::move(table.masks[k])});
  }
  return every_object_in_every_frame(std::move(sparse));
}

std::vector<std::string> write_annotation_files(const ClipMasks& clip, const std::string& folder,
                                                const std::vector<std::string>& image_paths,
                                                std::string_view class_name, unsigned threads) {
  if (image_paths.size() != clip.frames.size())
    throw ValueError(expected_got("an image path for each of the " + std::to_string(clip.frames.size()) + " frames",
                                  std::to_string(image_paths.size())));
  const std::filesystem::path dir(folder);
  std::vector<std::string> paths(clip.frames.size());
  for (size_t f = 0; f < paths.size(); ++f) paths[f] = (dir / ("output_pp_" + std::to_string(f) + ".json")).string();
  remove_stale_temporaries(folder, [](std::string_view n) {
    return n.substr(0, 10) == "output_pp_" && n.size() > 15 && n.substr(n.size() - 5) == ".json";
  });
  // The files are made again from the source file when lost: no flush per file.
  AtomicWriteOptions options;
  options.sync = false;
  options.clear_stale = false;
  for_each_in_parallel(clip.frames.size(), threads, [&](size_t f) {
    const FrameMasks& frame = clip.frames[f];
    std::vector<MaskOutline> outlines;
    outlines.reserve(frame.masks.size());
    for (const RunMask& m : frame.masks) outlines.push_back(mask_outline(m));
    write_file_atomically(paths[f], annotation_file_text(image_paths[f], class_name, frame.ids, outlines), options);
  });
  return paths;
}

}  // namespace mirelo
