#pragma once
// Label text: TrueType fonts through FreeType, found the way the host's
// imaging library finds them, and a font compiled into the library for when
// none can be loaded. Measuring and placing follow the imaging library's
// left/ascender anchor: the point given is the left end of the line at the
// height of the font's ascender, so ink usually starts below it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "visual/raster.hpp"

namespace mirelo {

/// Box of a line of text, pixels, [x1, x2) x [y1, y2).
struct TextBox {
  int64_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

/// A font at one pixel size. Thread-safe; cheap to share.
class Font {
 public:
  class Source;
  explicit Font(std::shared_ptr<Source> source);

  /// Box of `utf8` drawn with its anchor at (x, y): from the smaller of x and
  /// the leftmost ink to the larger of the pen's end and the rightmost ink;
  /// from the ascender line, or higher ink, down to the baseline, or lower
  /// ink. Empty text gives (x, y, x, y). Anchors beyond +-2^40 are clamped
  /// to it (no image reaches that far).
  TextBox text_bbox(std::string_view utf8, int64_t x, int64_t y) const;

  /// Draws `utf8` anchored at (x, y) in `ink` on `rgba` (CV_8UC4, RGBA),
  /// anti-aliased; ink outside the image is skipped.
  void draw_text(cv::Mat& rgba, std::string_view utf8, int64_t x, int64_t y, const Rgba& ink) const;

  /// The font file, or "<builtin>" for the compiled-in font.
  const std::string& origin() const;

 private:
  std::shared_ptr<Source> source_;
};

/// The TrueType/OpenType font `name` at `size` pixels, looked up as the
/// imaging library does: `name` as a path (relative to the current folder),
/// else a file of that base name (matching the stem, with ".ttf" preferred,
/// when `name` has no extension) anywhere below the user's and the system's
/// font folders. Loaded once per file and size for the life of the process.
/// Throws OSError when nothing loads.
std::shared_ptr<const Font> load_truetype_font(const std::string& name, int size);

/// The compiled-in font (DejaVu Sans at 11 pixels); always available.
std::shared_ptr<const Font> builtin_font();

/// "arial.ttf" at `size` pixels when it can be loaded, else the built-in font.
std::shared_ptr<const Font> label_font(int size = 11);

}  // namespace mirelo
