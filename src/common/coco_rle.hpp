#pragma once
// COCO run-length encoding of binary masks, as pycocotools writes it: the
// pixels in column-major order (down the first column, then the next),
// counted in alternating runs of unset and set pixels, unset first. The
// compressed text form stores each count (from the fourth on, as the
// difference to the count two before) in 5-bit groups, least significant
// first, as characters '0' + group, with 0x20 marking that a group follows.
//
// The core holds masks as row runs (run_mask.hpp); these convert between
// the two without touching pixels: the work grows with the number of runs
// and the rows and columns of the mask's box, never with its area.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_mask.hpp"

namespace mirelo {

/// The mask turned over its diagonal: the mask of the width x height frame
/// whose row x holds the runs of column x of `m`. Turning twice gives `m`.
RunMask transposed(const RunMask& m);

/// The RLE counts of a mask of a height x width frame. Throws ValueError for
/// a frame of 2^32 pixels or more (counts are 32-bit, as in pycocotools).
std::vector<uint32_t> rle_counts(const RunMask& m);

/// The mask whose RLE counts over a height x width frame are `counts`.
/// Throws ValueError naming the problem when the counts do not cover the
/// frame exactly.
RunMask rle_to_run_mask(const std::vector<uint32_t>& counts, int64_t height, int64_t width);

/// The mask of the RLE counts as column runs: transposed(rle_to_run_mask(...)),
/// made without turning the runs over (the work follows the counts alone).
/// Masks compared with one another may all be held this way: their areas,
/// boxes (turned) and overlaps are those of the masks.
RunMask rle_to_column_runs(const std::vector<uint32_t>& counts, int64_t height, int64_t width);

/// pycocotools' compressed text of RLE counts (byte for byte its output).
std::string rle_counts_text(const std::vector<uint32_t>& counts);

/// The counts of a compressed RLE text. Throws ValueError naming the
/// position of a character outside '0'..'o', of a value cut short, of a
/// value beyond 64 bits, or of a count that comes out negative or above
/// 2^32 - 1.
std::vector<uint32_t> rle_counts_of_text(std::string_view text);

/// rle_counts_of_text then rle_to_run_mask (or rle_to_column_runs when
/// `column_runs`), reusing `scratch` for the counts.
RunMask rle_text_to_run_mask(std::string_view text, int64_t height, int64_t width, std::vector<uint32_t>& scratch,
                             bool column_runs = false);

}  // namespace mirelo
