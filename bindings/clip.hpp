#pragma once
// A clip opened compactly (mirelo_utils.open_clip): the core's records behind
// the package's read-only Mapping of frame records (mirelo_utils._clip), and
// the one-mask view CompactMask. The operations on frame records recognise
// the package's record and mask mappings here and read the runs behind them
// instead of dense masks.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/run_mask.hpp"
#include "segment/annotation_data.hpp"

namespace nb = nanobind;

namespace mirelo::py {

/// One mask in compact form: its runs, shared with the clip it comes from
/// or owned.
class CompactMask {
 public:
  explicit CompactMask(std::shared_ptr<const RunMask> runs) : runs_(std::move(runs)) {}
  const RunMask& runs() const { return *runs_; }

 private:
  std::shared_ptr<const RunMask> runs_;
};

/// The records of an opened clip, shared by every Python object made from it.
class ClipHandle {
 public:
  explicit ClipHandle(CompactClip&& clip) : clip_(std::make_shared<const CompactClip>(std::move(clip))) {}
  const CompactClip& clip() const { return *clip_; }
  /// The record at `index` (0 .. size - 1); IndexError otherwise.
  const FrameRecord& record(int64_t index) const;
  /// Mask `k` of record `index`, sharing the clip's memory.
  CompactMask mask(int64_t index, size_t k) const;

 private:
  std::shared_ptr<const CompactClip> clip_;
};

/// A record's frame number ("frame_index") as a Python int.
nb::object frame_number(const FrameRecord& r);

/// The compact mask `obj` holds, or nullptr when it is something else.
const CompactMask* compact_mask_of(nb::handle obj);

/// A mask painted into a fresh height x width uint8 numpy array (0 or 1);
/// large arrays are fresh zero pages, touched only where the mask is.
nb::object dense_mask(const RunMask& m);

/// A frame record of an opened clip as the operations on frame records read
/// it: the core's record, and which of its values the record has already
/// handed to the caller (those are read as the caller may have changed them).
struct ClipRecordRef {
  nb::object handle;  ///< keeps the clip alive
  const FrameRecord* record = nullptr;
  nb::object handed_out;  ///< dict of the values handed out, by record key

  bool handed(const char* name) const;
  /// The record's mask keys, as texts.
  nb::list keys() const;
  /// Mask key -> area (int), a new dict.
  nb::dict areas() const;
};

/// The clip record `record` is, when it is one of an opened clip.
std::optional<ClipRecordRef> clip_record_of(nb::handle record);

/// The entries of a "masks_dict" in order. A mask mapping of an opened clip
/// gives its masks not read yet as CompactMask objects (to_mask and
/// to_run_mask take them) instead of painting them; any other mapping gives
/// its items. `expected` as for mapping_items.
std::vector<std::pair<nb::object, nb::object>> mask_entries(nb::handle masks_dict, const std::string& expected);

/// Entry `key` of a "masks_dict" (raising what the mapping raises): a mask
/// of an opened clip not read yet comes as its CompactMask.
nb::object mask_entry(nb::handle masks_dict, nb::handle key);

/// Removes `key` from a "masks_dict" when it is there, as pop(key, None)
/// does, without painting the mask of an opened clip.
void discard_mask(nb::handle masks_dict, nb::handle key);

/// Registers _Clip, CompactMask and the helpers of mirelo_utils._clip.
void init_clip(nb::module_& m);

}  // namespace mirelo::py
