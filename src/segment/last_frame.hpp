#pragma once
// Last-frame selection: the latest frame of a tracked clip whose masks are
// all large enough, numerous enough and not overlapping much, the starting
// point of the next clip's hand-over.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/number.hpp"
#include "common/run_mask.hpp"

namespace mirelo {

/// A clip's frame records as the search reads them: positions 0 .. size() - 1
/// follow the ascending order of the frame keys.
class FrameRecords {
 public:
  virtual ~FrameRecords() = default;
  virtual int64_t size() = 0;
  /// The masks of the record at `pos`, in the order of its "masks_dict".
  virtual std::vector<RunMask> masks(int64_t pos) = 0;
  /// The record's key as the host prints it ("598").
  virtual std::string key_text(int64_t pos) = 0;
  /// Whether the key is 599, the last frame of a full clip.
  virtual bool is_regular_last(int64_t pos) = 0;
};

/// Settings of the search; the defaults are the host's.
struct LastFrameOptions {
  HostNumber min_area = HostNumber::integer(10);      ///< every mask must be larger
  HostNumber max_attempts = HostNumber::integer(10);  ///< frames examined, back from the last
  int64_t n_track = 10;                               ///< non-empty masks a frame needs
  /// min_area and max_attempts as the caller's host prints them (a float32
  /// 0.1 as "0.1", True as "True"); empty: the numbers' own decimal text.
  std::string min_area_text, max_attempts_text;
};

/// The frame found, and its masks as computed for the test.
struct LastFrame {
  int64_t position = -1;
  std::vector<RunMask> masks;
};

/// Whether a frame with these masks is usable: every area above `min_area`
/// (strictly; true for no masks), at least `n_track` non-empty masks, and
/// every cell of their intersection table below 50 (strictly). Throws
/// ValueError for masks of different frame sizes.
bool frame_usable(const std::vector<RunMask>& masks, const HostNumber& min_area, int64_t n_track);

/// Examines the records from the last one backwards, at most max_attempts
/// of them, and returns the first usable one; prints "Switched to frame key
/// <key> due to small mask area in later frames." when it is not the regular
/// last frame. With none found, prints "No valid frame found with all masks
/// area > <min_area> in the last <max_attempts> frames for <n_track>
/// tracks." and returns nullopt. Throws IndexError("list index out of range")
/// when the scan runs past the first record.
std::optional<LastFrame> find_best_last_frame(FrameRecords& records, const LastFrameOptions& options);

}  // namespace mirelo
