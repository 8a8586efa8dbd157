#pragma once
// Track files of the tracking benchmarks, read and written as tables:
//
//   MOTChallenge boxes: one detection per line, comma-separated (or
//     blank-separated) numbers "frame,id,x,y,w,h,conf[,more]": the box's
//     left, top, width and height in pixels, a confidence (in ground truth,
//     0 marks a row to leave out), and up to three more columns (the world
//     position, or the class and visibility of ground truth).
//   MOTS masks: one detection per line, "frame id class height width rle",
//     blank-separated, the mask in COCO RLE's compressed text (coco_rle.hpp);
//     class 10 marks an ignore region.
//
// Frames and identities are whole numbers, as written. Bad input raises
// ValueError naming the file and the line.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_mask.hpp"

namespace mirelo {

/// The rows of a MOTChallenge box file, in file order.
struct MotTable {
  std::vector<int64_t> frame, id;
  std::vector<double> x, y, w, h, conf;
  /// Columns beyond the seventh in the widest row (0 to 3), row-major in
  /// `extra` (rows x extra_columns), NaN where a row is shorter.
  size_t extra_columns = 0;
  std::vector<double> extra;
  /// The line of each row (1-based), for messages about the rows.
  std::vector<int64_t> line;
  size_t size() const { return frame.size(); }
};

/// The rows of a MOTS file, in file order; every mask has the frame size
/// height x width of the file (0 x 0 for a file without rows).
struct MotsTable {
  std::vector<int64_t> frame, id, cls;
  int64_t height = 0, width = 0;
  /// Each row's mask: its row runs, or with `column_runs` its column runs
  /// (coco_rle.hpp's rle_to_column_runs, a width x height mask).
  std::vector<RunMask> masks;
  bool column_runs = false;
  std::vector<int64_t> line;
  size_t size() const { return frame.size(); }
};

/// The class of MOTS rows that are ignore regions rather than objects.
constexpr int64_t kMotsIgnoreClass = 10;

/// What a track file holds, judged by its first row: commas, or seven or
/// more numbers, make a MOTChallenge file; six fields whose last is not a
/// number make a MOTS file. `Empty` for a file without rows.
enum class TrackFileKind { Empty, Mot, Mots };

/// The kind of `text`, a file named `name` (for the message when its first
/// row is neither kind: ValueError).
TrackFileKind track_file_kind(std::string_view text, const std::string& name);

/// Parses MOTChallenge text. `name` names the file in messages. Rows need 7
/// to 10 numbers; frames and identities whole; the box finite with a width
/// and height of at least 0; an identity appears once per frame. Blank lines
/// are skipped, a trailing comma is allowed.
MotTable parse_mot(std::string_view text, const std::string& name);

/// Parses MOTS text. Frames, identities, classes and sizes whole; every row
/// of the frame size of the first; the RLE a valid compressed text covering
/// the frame; an identity appears once per frame (ignore regions aside).
/// `column_runs` keeps the masks as column runs, as the RLE holds them.
MotsTable parse_mots(std::string_view text, const std::string& name, bool column_runs = false);

/// The table as MOTChallenge text: numbers in their shortest exact form,
/// frames and identities as integers, a row's trailing NaN columns left out.
/// Throws ValueError for a frame or identity that is not whole, a NaN before
/// a number in a row, or a non-finite value.
std::string mot_text(const MotTable& t);

/// MOTS rows as text: each mask's frame size and compressed RLE.
std::string mots_text(const std::vector<int64_t>& frame, const std::vector<int64_t>& id,
                      const std::vector<int64_t>& cls, const std::vector<const RunMask*>& masks);

/// read_file then parse_mot / parse_mots, the path naming the file.
MotTable read_mot_file(const std::string& path);
MotsTable read_mots_file(const std::string& path, bool column_runs = false);

}  // namespace mirelo
