#include "segment/last_frame.hpp"

#include "common/errors.hpp"
#include "common/runtime.hpp"
#include "measures/overlap.hpp"

namespace mirelo {

namespace {
constexpr double kMaxOverlapShare = 50;  // percent of a mask covered by another
}  // namespace

bool frame_usable(const std::vector<RunMask>& masks, const HostNumber& min_area, int64_t n_track) {
  bool large_enough = true;
  int64_t non_empty = 0;
  for (const RunMask& m : masks) {
    large_enough = large_enough && min_area < HostNumber::integer(m.area());
    non_empty += m.area() > 0;
  }
  // The table is built whatever the areas say: masks of different sizes are
  // an error in any frame that is examined.
  const std::vector<double> table = intersection_table(masks);
  bool apart = true;
  for (double cell : table) apart = apart && cell < kMaxOverlapShare;
  return large_enough && non_empty >= n_track && apart;
}

std::optional<LastFrame> find_best_last_frame(FrameRecords& records, const LastFrameOptions& options) {
  const int64_t count = records.size();
  for (int64_t attempts = 0; HostNumber::integer(attempts) < options.max_attempts; ++attempts) {
    check_interrupt();
    const int64_t pos = count - 1 - attempts;
    if (pos < 0) throw IndexError("list index out of range");
    std::vector<RunMask> masks = records.masks(pos);
    if (!frame_usable(masks, options.min_area, options.n_track)) continue;
    if (!records.is_regular_last(pos))
      print_line("Switched to frame key " + records.key_text(pos) + " due to small mask area in later frames.");
    return LastFrame{pos, std::move(masks)};
  }
  auto text_of = [](const std::string& given, const HostNumber& n) { return given.empty() ? n.text() : given; };
  print_line("No valid frame found with all masks area > " + text_of(options.min_area_text, options.min_area) +
             " in the last " + text_of(options.max_attempts_text, options.max_attempts) + " frames for " +
             std::to_string(options.n_track) + " tracks.");
  return std::nullopt;
}

}  // namespace mirelo
