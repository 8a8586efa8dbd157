#pragma once
// The recording catalogue: file-name parsing, folder scanning, the time-of-day
// and sampling rules of the video table, and a deterministic recursive lister.
// Texts are UTF-8 bytes as the file system gives them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/walk.hpp"

namespace mirelo {

/// The five text cells of one video-table row.
struct VideoRecord {
  std::string camera_number;  ///< group 1 of the pattern
  std::string date;           ///< group 3, as it stands
  std::string time;           ///< group 4 as HH:MM:SS
  std::string file_path;      ///< folder joined with the file name
  std::string video_name;     ///< the file name without its last four characters
};

/// The row of the recording at `path` (its "File Path") from what the match
/// of its file name gave for group 1 (the camera number), group 3 (the date)
/// and group 4 (the time, HHMMSS: "Time" becomes HH:MM:SS, cut by code
/// points). The pattern itself is the caller's, matched by the host's own
/// regular expressions.
VideoRecord recording_row(const std::string& path, std::string camera_number, std::string date,
                          const std::string& time_digits);

/// Candidate recordings of `base_dir`: for each name of `sub_dirs`, in order,
/// the entries of base_dir/name (not recursive, in directory-listing order)
/// whose names end with ".mp4", as full paths. A missing folder is skipped;
/// an existing path that cannot be listed (a file, no permission) throws OSError.
std::vector<std::string> collect_recordings(const std::string& base_dir,
                                            const std::vector<std::string>& sub_dirs);

/// Throws ValueError when `path` holds a NUL character: the operating system
/// would take the path only up to it, naming another file or folder.
void check_no_nul(const std::string& path);

/// The last component of a path (text after the last separator: '/', and
/// '\\' too on Windows).
std::string file_name_of(const std::string& path);

/// Filtering rules of the video table, in this order: "Time" strictly between
/// `filter_start` and `filter_end` (text comparison); every `sample_step`-th
/// row as a positional slice [::sample_step] (0 keeps all, negative walks
/// backwards); "Camera Number" equal to `camera_number` when given; the first
/// `top_n` rows when top_n >= 1.
struct CatalogueFilter {
  std::string filter_start = "06:00:00";
  std::string filter_end = "17:00:00";
  int64_t sample_step = 3;
  int64_t top_n = -1;
  std::optional<std::string> camera_number;
  bool camera_never_matches = false;  ///< a camera filter of a non-text value
};

/// Positions (0-based, into `rows`) of the rows that survive `filter`, in
/// result order.
std::vector<int64_t> filter_catalogue(const std::vector<VideoRecord>& rows, const CatalogueFilter& filter);

/// Full paths of the files under `directory`, pre-order: a folder's own files
/// (names sorted by code point) before its sub-folders (sorted likewise, not
/// followed when they are symbolic links). With `suffixes` non-empty, only
/// names ending with one of them. A missing or unreadable folder contributes
/// nothing.
std::vector<std::string> list_all_files(const std::string& directory, const std::vector<std::string>& suffixes);

}  // namespace mirelo
