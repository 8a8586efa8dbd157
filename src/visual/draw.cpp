#include "visual/draw.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include <opencv2/imgproc.hpp>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/runtime.hpp"
#include "visual/raster.hpp"
#include "visual/text.hpp"

namespace mirelo {
namespace {

/// MT19937 with the array library's legacy integer seeding.
class Mt19937 {
 public:
  explicit Mt19937(uint32_t seed) {
    state_[0] = seed;
    for (uint32_t i = 1; i < kN; ++i) state_[i] = 1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + i;
  }
  uint32_t next() {
    if (index_ >= kN) twist();
    uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
  }

 private:
  static constexpr uint32_t kN = 624, kM = 397;
  void twist() {
    for (uint32_t k = 0; k < kN; ++k) {
      const uint32_t y = (state_[k] & 0x80000000u) | (state_[(k + 1) % kN] & 0x7fffffffu);
      state_[k] = state_[(k + kM) % kN] ^ (y >> 1) ^ ((y & 1u) ? 0x9908b0dfu : 0u);
    }
    index_ = 0;
  }
  uint32_t state_[kN];
  uint32_t index_ = kN;
};

constexpr uint8_t kOverlayAlpha = 128;
constexpr int kBoxWidth = 3;
constexpr int kLabelPadding = 4;
constexpr int kLabelFontSize = 11;
const Rgba kWhite{255, 255, 255, 255};

/// Compositing factors of the overlay alpha over every lower alpha: the
/// per-pixel division of "over" compositing, done once.
struct OverlayFactors {
  uint32_t upper[256], lower[256];
  uint8_t alpha[256];
  OverlayFactors() {
    for (uint32_t da = 0; da < 256; ++da) {
      const uint8_t dst[4] = {0, 0, 0, static_cast<uint8_t>(da)};
      const uint8_t src[4] = {0, 0, 0, kOverlayAlpha};
      uint8_t out[4];
      composite_over(dst, src, out);
      alpha[da] = out[3];
      const uint32_t outa255 = kOverlayAlpha * 255u + da * (255u - kOverlayAlpha);
      upper[da] = kOverlayAlpha * 255u * 255u * 128u / outa255;
      lower[da] = 255u * 128u - upper[da];
    }
  }
};

const OverlayFactors& overlay_factors() {
  static const OverlayFactors f;
  return f;
}

inline uint8_t over_channel(uint32_t upper_value, uint32_t lower_value, uint32_t f_upper, uint32_t f_lower) {
  const uint32_t t = upper_value * f_upper + lower_value * f_lower + (0x80u << 7);
  return static_cast<uint8_t>((((t >> 8) + t) >> 8) >> 7);
}

/// How the base image's pixels lie in memory.
enum class Layout { Rgb, Rgba, Rgbx };

template <Layout L>
constexpr int kPixelBytes = L == Layout::Rgb ? 3 : 4;

/// One mask's overlay colour composited over base pixels: `(s, p)` writes
/// the result for base pixel `s` into `p` (RGBA).
template <Layout L>
class OverlayPaint {
 public:
  explicit OverlayPaint(const std::array<uint8_t, 3>& colour) : colour_(colour) {
    if constexpr (L != Layout::Rgba) {
      // Over an opaque base each channel's result depends on that channel's
      // value alone: one table lookup per channel.
      for (int c = 0; c < 3; ++c)
        for (uint32_t v = 0; v < 256; ++v) opaque_[c][v] = over_channel(colour[c], v, f_.upper[255], f_.lower[255]);
      opaque_alpha_ = f_.alpha[255];
    }
  }
  void operator()(const uint8_t* s, uint8_t* p) const {
    if constexpr (L == Layout::Rgba) {
      const uint8_t da = s[3];
      for (int c = 0; c < 3; ++c) p[c] = over_channel(colour_[c], s[c], f_.upper[da], f_.lower[da]);
      p[3] = f_.alpha[da];
    } else {
      for (int c = 0; c < 3; ++c) p[c] = opaque_[c][s[c]];
      p[3] = opaque_alpha_;
    }
  }

 private:
  const OverlayFactors& f_ = overlay_factors();
  std::array<uint8_t, 3> colour_;
  uint8_t opaque_[3][256] = {};
  uint8_t opaque_alpha_ = 0;
};

/// Paints one mask's overlay colour over `src` into `out` (pixels of `src`
/// read, never those of `out`, so a later mask replaces an earlier one) and
/// returns the tight box of all its set pixels, inside the image or not.
template <Layout L>
PixelBox paint_overlay(const cv::Mat& src, const MaskView& m, const std::array<uint8_t, 3>& colour, cv::Mat& out) {
  if (m.width <= 0) return PixelBox{};  // no pixels, however many rows
  const OverlayPaint<L> paint(colour);
  BoxGrowth box;
  for (int64_t y = 0; y < m.height; ++y) {
    const uint8_t* r = m.row(y);
    const bool inside = y < out.rows;
    const uint8_t* s = inside ? src.ptr<uint8_t>(static_cast<int>(y)) : nullptr;
    uint8_t* o = inside ? out.ptr<uint8_t>(static_cast<int>(y)) : nullptr;
    const int64_t paint_end = inside ? std::min<int64_t>(m.width, out.cols) : 0;
    int64_t first = -1, last = -1;
    const auto visit = [&](int64_t x) {
      if (first < 0) first = x;
      last = x;
      if (x < paint_end) paint(s + kPixelBytes<L> * x, o + 4 * x);
    };
    int64_t x = 0;
    // Masks are mostly empty: skip eight bytes at a time.
    for (; x + 8 <= m.width; x += 8) {
      uint64_t word;
      std::memcpy(&word, r + x, 8);
      if (word == 0) continue;
      for (int k = 0; k < 8; ++k)
        if (r[x + k]) visit(x + k);
    }
    for (; x < m.width; ++x)
      if (r[x]) visit(x);
    if (first >= 0) box.add_row(y, first, last);
  }
  return box.box();
}

/// The same for a mask held as runs; only its runs inside the image are
/// visited.
template <Layout L>
PixelBox paint_overlay(const cv::Mat& src, const RunMask& m, const std::array<uint8_t, 3>& colour, cv::Mat& out) {
  const PixelBox& b = m.box();
  if (b.empty) return b;
  const OverlayPaint<L> paint(colour);
  for (int64_t y = b.y_min, end = std::min<int64_t>(b.y_max, int64_t{out.rows} - 1); y <= end; ++y) {
    const uint8_t* s = src.ptr<uint8_t>(static_cast<int>(y));
    uint8_t* o = out.ptr<uint8_t>(static_cast<int>(y));
    for (const Run& run : m.row(y))
      for (int64_t x = run.x_begin, x_end = std::min<int64_t>(run.x_end, out.cols); x < x_end; ++x)
        paint(s + kPixelBytes<L> * x, o + 4 * x);
  }
  return b;
}

Layout layout_of(const DrawingBase& base) {
  const cv::Mat& image = base.pixels;
  if (image.type() != CV_8UC4 && image.type() != CV_8UC3)
    throw ValueError(expected_got("an RGBA or RGB image with 8 bits per channel",
                                  std::to_string(image.channels()) + " channel(s) of depth " +
                                      std::to_string(image.depth())));
  if (image.channels() == 3) {
    if (base.padded) throw ValueError("internal: padded RGB pixels take four bytes");
    return Layout::Rgb;
  }
  return base.padded ? Layout::Rgbx : Layout::Rgba;
}

/// The base image as opaque-or-not RGBA in `out`, every pixel written.
void write_base(const DrawingBase& base, Layout layout, cv::Mat& out) {
  const cv::Mat& image = base.pixels;
  if (out.type() != CV_8UC4 || out.rows != image.rows || out.cols != image.cols)
    throw ValueError("internal: the drawing's pixels must be RGBA of the image's size");
  if (image.empty()) return;
  switch (layout) {
    case Layout::Rgb: cv::cvtColor(image, out, cv::COLOR_RGB2RGBA); break;
    case Layout::Rgba: image.copyTo(out); break;
    case Layout::Rgbx: {
      uint32_t opaque;
      const uint8_t alpha_byte[4] = {0, 0, 0, 255};
      std::memcpy(&opaque, alpha_byte, 4);
      const auto n = static_cast<size_t>(image.cols);
      for (int y = 0; y < image.rows; ++y) {
        const uint8_t* s = image.ptr<uint8_t>(y);
        uint8_t* o = out.ptr<uint8_t>(y);
        for (size_t x = 0; x < n; ++x) {
          uint32_t v;
          std::memcpy(&v, s + 4 * x, 4);
          v |= opaque;
          std::memcpy(o + 4 * x, &v, 4);
        }
      }
      break;
    }
  }
}

/// The base and the overlays in `out`, with the box of each mask.
template <typename MaskT>
std::vector<PixelBox> paint_all(const DrawingBase& base, const std::vector<MaskT>& masks, cv::Mat& out) {
  const Layout layout = layout_of(base);
  write_base(base, layout, out);
  std::vector<PixelBox> boxes;
  boxes.reserve(masks.size());
  for (size_t k = 0; k < masks.size(); ++k) {
    check_interrupt();
    const auto colour = mask_color(static_cast<int64_t>(k) + 42);
    const auto& m = [&]() -> const auto& {
      if constexpr (std::is_pointer_v<MaskT>) {
        return *masks[k];
      } else {
        return masks[k];
      }
    }();
    switch (layout) {
      case Layout::Rgb: boxes.push_back(paint_overlay<Layout::Rgb>(base.pixels, m, colour, out)); break;
      case Layout::Rgba: boxes.push_back(paint_overlay<Layout::Rgba>(base.pixels, m, colour, out)); break;
      case Layout::Rgbx: boxes.push_back(paint_overlay<Layout::Rgbx>(base.pixels, m, colour, out)); break;
    }
  }
  return boxes;
}

cv::Mat new_drawing(const cv::Mat& image) { return cv::Mat(image.rows, image.cols, CV_8UC4); }

void draw_boxes_and_labels(cv::Mat& out, const std::vector<std::string>& keys, const std::vector<PixelBox>& boxes) {
  const std::shared_ptr<const Font> font = label_font(kLabelFontSize);
  for (size_t k = 0; k < keys.size(); ++k) {
    const PixelBox& b = boxes[k];
    const int64_t x0 = b.empty ? 0 : b.x_min, y0 = b.empty ? 0 : b.y_min;
    const int64_t x1 = b.empty ? 0 : b.x_max, y1 = b.empty ? 0 : b.y_max;
    const auto c = mask_color(static_cast<int64_t>(k) + 42);
    const Rgba colour{c[0], c[1], c[2], 255};
    draw_rectangle_outline(out, x0, y0, x1, y1, colour, kBoxWidth);
    const std::string& label = keys[k];
    const TextBox t = font->text_bbox(label, x0, y0);
    const int64_t text_width = t.x2 - t.x1, text_height = t.y2 - t.y1;
    // The label sits on the box's upper-left corner, outside the box.
    fill_rectangle(out, x0, y0 - text_height - kLabelPadding, x0 + text_width + kLabelPadding, y0, colour);
    font->draw_text(out, label, x0 + 2, y0 - text_height - kLabelPadding, kWhite);
  }
}

void require_keys(const std::vector<std::string>& keys, size_t masks) {
  if (keys.size() != masks)
    throw ValueError(expected_got(std::to_string(masks) + " mask keys", std::to_string(keys.size())));
}

// One pass over a plane: its pixels above zero as 0/1 bytes into `dst`, and
// the tight box of its non-zero pixels (NaN is non-zero, never above zero).
template <typename T>
PixelBox paint_plane(const PlaneView& p, uint8_t* dst) {
  if (p.width <= 0) return PixelBox{};  // no pixels, however many rows
  BoxGrowth box;
  for (int64_t y = 0; y < p.height; ++y) {
    const T* src = reinterpret_cast<const T*>(p.row(y));
    uint8_t* out = dst + y * p.width;
    int64_t first = -1, last = -1;
    for (int64_t x = 0; x < p.width; ++x) {
      const T v = src[x];
      out[x] = v > T(0);
      if (v != T(0)) {
        if (first < 0) first = x;
        last = x;
      }
    }
    if (first >= 0) box.add_row(y, first, last);
  }
  return box.box();
}

// Typed masks as the drawing reads them: the painted pixels of each as a
// byte mask, and, where it can differ from the painted pixels' box, the box
// of its set pixels.
struct DrawnMasks {
  std::vector<MaskView> painted;
  std::vector<std::optional<PixelBox>> set_box;
  std::vector<std::vector<uint8_t>> bytes;

  explicit DrawnMasks(const std::vector<PlaneView>& planes) {
    for (const PlaneView& p : planes) {
      check_interrupt();
      if (p.dtype == DType::Bool || p.dtype == DType::UInt8) {
        painted.push_back(MaskView{p.data, p.height, p.width, p.row_stride});
        set_box.emplace_back();
        continue;
      }
      int64_t n = 0;
      if (__builtin_mul_overflow(std::max<int64_t>(p.height, 0), std::max<int64_t>(p.width, 0), &n)) throw std::bad_alloc();
      std::vector<uint8_t>& b = bytes.emplace_back(static_cast<size_t>(n));
      const PixelBox box = visit_dtype(p.dtype, [&](auto tag) { return paint_plane<decltype(tag)>(p, b.data()); });
      painted.push_back(MaskView{b.data(), p.height, p.width, p.width});
      set_box.push_back(paints_set_pixels(p.dtype) ? std::nullopt : std::optional<PixelBox>(box));
    }
  }
};

}  // namespace

bool paints_set_pixels(DType t) {
  switch (t) {
    case DType::Bool:
    case DType::UInt8:
    case DType::UInt16:
    case DType::UInt32:
    case DType::UInt64: return true;
    default: return false;
  }
}

std::array<uint8_t, 3> mask_color(int64_t seed) {
  if (seed < 0 || seed > int64_t{0xFFFFFFFF})
    throw ValueError(expected_got("a colour seed from 0 to 2**32 - 1", std::to_string(seed)));
  Mt19937 gen(static_cast<uint32_t>(seed));
  // Drawing from [0, 256) keeps the low eight bits of each 32-bit output.
  std::array<uint8_t, 3> c{};
  for (auto& v : c) v = static_cast<uint8_t>(gen.next() & 0xFFu);
  return c;
}

cv::Mat draw_masks_on_image(const cv::Mat& rgba, const std::vector<MaskView>& masks) {
  cv::Mat out = new_drawing(rgba);
  paint_all(DrawingBase{rgba}, masks, out);
  return out;
}

cv::Mat img_bbx_drawing(const cv::Mat& rgba, const MaskMap& masks) {
  std::vector<MaskView> views;
  std::vector<std::string> keys;
  views.reserve(masks.size());
  keys.reserve(masks.size());
  for (const auto& [key, view] : masks) {
    keys.push_back(key);
    views.push_back(view);
  }
  cv::Mat out = new_drawing(rgba);
  const std::vector<PixelBox> boxes = paint_all(DrawingBase{rgba}, views, out);
  draw_boxes_and_labels(out, keys, boxes);
  return out;
}

cv::Mat draw_masks_on_image(const cv::Mat& rgba, const std::vector<PlaneView>& masks) {
  cv::Mat out = new_drawing(rgba);
  draw_masks_on_image(DrawingBase{rgba}, masks, out);
  return out;
}

cv::Mat img_bbx_drawing(const cv::Mat& rgba, const std::vector<std::string>& keys,
                        const std::vector<PlaneView>& masks) {
  cv::Mat out = new_drawing(rgba);
  img_bbx_drawing(DrawingBase{rgba}, keys, masks, out);
  return out;
}

void draw_masks_on_image(const DrawingBase& base, const std::vector<PlaneView>& masks, cv::Mat& out) {
  const DrawnMasks read(masks);
  paint_all(base, read.painted, out);
}

void img_bbx_drawing(const DrawingBase& base, const std::vector<std::string>& keys,
                     const std::vector<PlaneView>& masks, cv::Mat& out) {
  require_keys(keys, masks.size());
  const DrawnMasks read(masks);
  std::vector<PixelBox> boxes = paint_all(base, read.painted, out);
  for (size_t k = 0; k < masks.size(); ++k)
    if (read.set_box[k]) boxes[k] = *read.set_box[k];
  draw_boxes_and_labels(out, keys, boxes);
}

void img_bbx_drawing(const DrawingBase& base, const std::vector<std::string>& keys,
                     const std::vector<const RunMask*>& masks, cv::Mat& out) {
  require_keys(keys, masks.size());
  const std::vector<PixelBox> boxes = paint_all(base, masks, out);
  draw_boxes_and_labels(out, keys, boxes);
}

cv::Mat enhance_dark_text(const cv::Mat& rgb, double gamma) {
  if (gamma == 0.0) throw ZeroDivisionError("float division by zero");
  if (!(gamma > 0.0)) throw ValueError(expected_got("a positive gamma", format_float(gamma)));
  if (rgb.empty()) return cv::Mat(rgb.rows, rgb.cols, CV_8UC1);
  if (rgb.type() != CV_8UC3)
    throw ValueError(expected_got("an RGB image with 8 bits per channel",
                                  std::to_string(rgb.channels()) + " channel(s) of depth " +
                                      std::to_string(rgb.depth())));
  const double inv_gamma = 1.0 / gamma;
  cv::Mat table(1, 256, CV_8UC1);
  for (int i = 0; i < 256; ++i) {
    // Truncation toward zero, as the array library's cast to 8 bits does.
    table.at<uint8_t>(i) = static_cast<uint8_t>(std::pow(i / 255.0, inv_gamma) * 255.0);
  }
  cv::Mat gray, adjusted, equalized;
  cv::cvtColor(rgb, gray, cv::COLOR_RGB2GRAY);
  cv::LUT(gray, table, adjusted);
  cv::equalizeHist(adjusted, equalized);
  return equalized;
}

}  // namespace mirelo
