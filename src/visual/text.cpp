#include "visual/text.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"

namespace mirelo {
namespace {

namespace fs = std::filesystem;

struct BuiltinGlyph {
  char32_t code;
  int left, top, width, rows;
  int64_t advance;  // 1/64 pixel
  size_t offset;    // into kBuiltinPixels
};

#include "visual/builtin_font.inc"

/// A rendered glyph: coverage bytes placed relative to the pen on the baseline.
struct Glyph {
  int left = 0;  // columns from the pen to the first coverage column
  int top = 0;   // rows from the first coverage row down to the baseline
  int width = 0, rows = 0;
  int64_t advance = 0;  // 1/64 pixel
  const uint8_t* pixels = nullptr;
  std::vector<uint8_t> own;
};

int64_t floor_div64(int64_t v) { return v >> 6; }  // arithmetic shift: floor
int64_t ceil_div64(int64_t v) { return (v + 63) >> 6; }

}  // namespace

/// Where glyphs come from: a FreeType face or the compiled-in table.
class Font::Source {
 public:
  virtual ~Source() = default;
  /// Pixels from the ascender line down to the baseline.
  virtual int ascender() const = 0;
  /// The glyph for `code`; sets `index` to its glyph id (0 when missing).
  /// The reference stays valid for the life of the source.
  virtual const Glyph& glyph(char32_t code, uint32_t& index) = 0;
  /// Pen adjustment, in 1/64 pixel, between two glyph ids.
  virtual int64_t kerning(uint32_t left, uint32_t right) = 0;
  virtual const std::string& origin() const = 0;
};

namespace {

class BuiltinSource final : public Font::Source {
 public:
  BuiltinSource() {
    for (const BuiltinGlyph& b : kBuiltinGlyphs) {
      Glyph g;
      g.left = b.left, g.top = b.top, g.width = b.width, g.rows = b.rows, g.advance = b.advance;
      g.pixels = kBuiltinPixels + b.offset;
      glyphs_.push_back(std::move(g));
    }
  }
  int ascender() const override { return kBuiltinAscender; }
  const Glyph& glyph(char32_t code, uint32_t& index) override {
    const auto* begin = std::begin(kBuiltinGlyphs);
    const auto* end = std::end(kBuiltinGlyphs);
    const auto* it = std::lower_bound(begin, end, code,
                                      [](const BuiltinGlyph& g, char32_t c) { return g.code < c; });
    index = (it != end && it->code == code) ? static_cast<uint32_t>(it - begin) : 0;
    return glyphs_[index];
  }
  int64_t kerning(uint32_t, uint32_t) override { return 0; }
  const std::string& origin() const override { return origin_; }

 private:
  std::vector<Glyph> glyphs_;
  std::string origin_ = "<builtin>";
};

/// One FreeType library for the process; creating and destroying faces is
/// serialised through its mutex, glyph work through each face's own. It and
/// the font caches are never destroyed: faces may be released during static
/// destruction, in any order, after the library would be gone.
struct FreeTypeLibrary {
  FT_Library lib = nullptr;
  std::mutex mu;
  FreeTypeLibrary() {
    if (FT_Init_FreeType(&lib) != 0) lib = nullptr;
  }
  ~FreeTypeLibrary() {
    if (lib) FT_Done_FreeType(lib);
  }
  static FreeTypeLibrary& get() {
    static FreeTypeLibrary* instance = new FreeTypeLibrary;
    return *instance;
  }
};

class FreeTypeSource final : public Font::Source {
 public:
  FreeTypeSource(const std::string& path, int size) : origin_(path) {
    FreeTypeLibrary& ft = FreeTypeLibrary::get();
    std::lock_guard<std::mutex> lock(ft.mu);
    if (!ft.lib) throw OSError("cannot start the font engine");
    // The bytes are read here, not by FreeType: its own file access takes
    // paths in the system's narrow encoding, which on Windows is not UTF-8.
    try {
      bytes_ = read_file(path);
    } catch (const std::exception&) {
      throw OSError("cannot open font file " + path);
    }
    if (FT_New_Memory_Face(ft.lib, reinterpret_cast<const FT_Byte*>(bytes_.data()),
                           static_cast<FT_Long>(bytes_.size()), 0, &face_) != 0) {
      face_ = nullptr;
      throw OSError("cannot open font file " + path);
    }
    if (FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(size)) != 0) {
      FT_Done_Face(face_);
      face_ = nullptr;
      throw OSError("cannot set font size " + std::to_string(size) + " for " + path);
    }
    // The size metrics are rounded outward to whole pixels by FreeType.
    ascender_ = static_cast<int>(ceil_div64(face_->size->metrics.ascender));
  }
  ~FreeTypeSource() override {
    FreeTypeLibrary& ft = FreeTypeLibrary::get();
    std::lock_guard<std::mutex> lock(ft.mu);
    if (face_) FT_Done_Face(face_);
  }
  int ascender() const override { return ascender_; }

  const Glyph& glyph(char32_t code, uint32_t& index) override {
    std::lock_guard<std::mutex> lock(mu_);
    index = FT_Get_Char_Index(face_, static_cast<FT_ULong>(code));
    auto found = cache_.find(index);
    if (found != cache_.end()) return found->second;
    Glyph g;
    if (FT_Load_Glyph(face_, index, FT_LOAD_DEFAULT) == 0) {
      FT_GlyphSlot slot = face_->glyph;
      g.advance = slot->metrics.horiAdvance;
      if (slot->format == FT_GLYPH_FORMAT_BITMAP || FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) == 0)
        copy_bitmap(slot, g);
    }
    g.pixels = g.own.data();
    return cache_.emplace(index, std::move(g)).first->second;
  }

  int64_t kerning(uint32_t left, uint32_t right) override {
    if (!FT_HAS_KERNING(face_) || left == 0 || right == 0) return 0;
    std::lock_guard<std::mutex> lock(mu_);
    FT_Vector delta{0, 0};
    if (FT_Get_Kerning(face_, left, right, FT_KERNING_DEFAULT, &delta) != 0) return 0;
    // The imaging library's basic layout adds the whole-pixel kerning to a
    // pen kept in 1/64 pixel, so a kerned pair moves by 1/64 pixel at most;
    // matching it keeps text measures and placement identical.
    return ceil_div64(delta.x);
  }
  const std::string& origin() const override { return origin_; }

 private:
  static void copy_bitmap(FT_GlyphSlot slot, Glyph& g) {
    const FT_Bitmap& bm = slot->bitmap;
    if (bm.pixel_mode != FT_PIXEL_MODE_GRAY && bm.pixel_mode != FT_PIXEL_MODE_MONO) return;
    g.left = slot->bitmap_left;
    g.top = slot->bitmap_top;
    g.width = static_cast<int>(bm.width);
    g.rows = static_cast<int>(bm.rows);
    g.own.assign(static_cast<size_t>(g.width) * g.rows, 0);
    const int grays = bm.num_grays > 1 ? bm.num_grays - 1 : 255;
    for (int y = 0; y < g.rows; ++y) {
      const unsigned char* src = bm.pitch >= 0 ? bm.buffer + static_cast<ptrdiff_t>(y) * bm.pitch
                                               : bm.buffer + static_cast<ptrdiff_t>(g.rows - 1 - y) * -bm.pitch;
      uint8_t* dst = g.own.data() + static_cast<size_t>(y) * g.width;
      for (int x = 0; x < g.width; ++x) {
        if (bm.pixel_mode == FT_PIXEL_MODE_MONO)
          dst[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        else
          dst[x] = static_cast<uint8_t>(grays == 255 ? src[x] : src[x] * 255 / grays);
      }
    }
  }

  std::string bytes_;  // the font file, which the face reads from
  FT_Face face_ = nullptr;
  int ascender_ = 0;
  std::mutex mu_;
  std::unordered_map<uint32_t, Glyph> cache_;
  std::string origin_;
};

struct Placed {
  const Glyph* glyph;
  int64_t x;  // first coverage column, relative to the anchor
};

struct Layout {
  std::vector<Placed> glyphs;
  TextBox box;  // relative to the anchor
  int ascender = 0;
};

Layout lay_out(Font::Source& src, std::string_view utf8) {
  Layout l;
  l.ascender = src.ascender();
  // Malformed bytes become U+FFFD, one per byte; lone surrogates stay
  // themselves (and find no glyph).
  const std::u32string codes = decode_utf8(utf8, Utf8Errors::Replace, true);
  if (codes.empty()) return l;
  int64_t pen = 0, x_min = 0, x_max = 0, top = 0, bottom = 0;
  uint32_t prev = 0;
  for (char32_t c : codes) {
    uint32_t index = 0;
    const Glyph& g = src.glyph(c, index);
    pen += src.kerning(prev, index);
    const int64_t gx = floor_div64(pen + 32) + g.left;
    if (g.width > 0 && g.rows > 0) {
      x_min = std::min(x_min, gx);
      x_max = std::max(x_max, gx + g.width);
      top = std::max<int64_t>(top, g.top);
      bottom = std::min<int64_t>(bottom, g.top - g.rows);
      l.glyphs.push_back(Placed{&g, gx});
    }
    pen += g.advance;
    prev = index;
  }
  x_max = std::max(x_max, ceil_div64(pen));
  l.box = TextBox{x_min, l.ascender - top, x_max, l.ascender - bottom};
  return l;
}

}  // namespace

Font::Font(std::shared_ptr<Source> source) : source_(std::move(source)) {}

const std::string& Font::origin() const { return source_->origin(); }

namespace {

// Anchors further out than this cannot bring text onto an image; clamping
// them keeps the sums below int64 overflow.
constexpr int64_t kFarAnchor = int64_t{1} << 40;

int64_t clamp_anchor(int64_t v) { return std::clamp(v, -kFarAnchor, kFarAnchor); }

}  // namespace

TextBox Font::text_bbox(std::string_view utf8, int64_t x, int64_t y) const {
  x = clamp_anchor(x), y = clamp_anchor(y);
  const Layout l = lay_out(*source_, utf8);
  return TextBox{x + l.box.x1, y + l.box.y1, x + l.box.x2, y + l.box.y2};
}

void Font::draw_text(cv::Mat& rgba, std::string_view utf8, int64_t x, int64_t y, const Rgba& ink) const {
  if (rgba.type() != CV_8UC4) throw ValueError("expected an RGBA image with 8 bits per channel for text");
  x = clamp_anchor(x), y = clamp_anchor(y);
  const Layout l = lay_out(*source_, utf8);
  // Coverage is built only for the part of the text box inside the image;
  // overlapping glyphs keep the larger coverage.
  const int64_t bx0 = std::max<int64_t>(x + l.box.x1, 0), by0 = std::max<int64_t>(y + l.box.y1, 0);
  const int64_t bx1 = std::min<int64_t>(x + l.box.x2, rgba.cols), by1 = std::min<int64_t>(y + l.box.y2, rgba.rows);
  if (bx0 >= bx1 || by0 >= by1) return;
  cv::Mat coverage = cv::Mat::zeros(static_cast<int>(by1 - by0), static_cast<int>(bx1 - bx0), CV_8UC1);
  for (const Placed& p : l.glyphs) {
    const Glyph& g = *p.glyph;
    const int64_t gx = x + p.x, gy = y + l.ascender - g.top;
    const int64_t ya = std::max(gy, by0), yb = std::min<int64_t>(gy + g.rows, by1);
    const int64_t xa = std::max(gx, bx0), xb = std::min<int64_t>(gx + g.width, bx1);
    for (int64_t yy = ya; yy < yb; ++yy) {
      const uint8_t* s = g.pixels + (yy - gy) * g.width;
      uint8_t* d = coverage.ptr<uint8_t>(static_cast<int>(yy - by0));
      for (int64_t xx = xa; xx < xb; ++xx) d[xx - bx0] = std::max(d[xx - bx0], s[xx - gx]);
    }
  }
  fill_through_coverage(rgba, coverage, bx0, by0, ink);
}

namespace {

/// Top-down walk that does not follow links to folders: each folder's files
/// first, then its subfolders, in listing order.
bool walk_for(const fs::path& dir, const fs::path& wanted, bool match_stem, fs::path& found,
              std::optional<fs::path>& other_extension, int depth = 0) {
  if (depth > 64) return false;
  std::error_code ec;
  fs::directory_iterator it(dir, ec), end;
  if (ec) return false;
  std::vector<fs::path> subdirs;
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& e = *it;
    std::error_code ec2;
    if (e.is_directory(ec2)) {
      if (!e.is_symlink(ec2)) subdirs.push_back(e.path());
      continue;
    }
    const fs::path name = e.path().filename();
    if (!match_stem) {
      if (name == wanted) {
        found = e.path();
        return true;
      }
    } else if (name.stem() == wanted) {
      if (name.extension() == ".ttf") {
        found = e.path();
        return true;
      }
      if (!other_extension) other_extension = e.path();
    }
  }
  for (const fs::path& sub : subdirs)
    if (walk_for(sub, wanted, match_stem, found, other_extension, depth + 1)) return true;
  return false;
}

std::optional<fs::path> search_font_folders(const std::string& base) {
  static std::mutex mu;
  static auto* memo = new std::map<std::string, std::optional<fs::path>>;
  std::lock_guard<std::mutex> lock(mu);
  auto it = memo->find(base);
  if (it != memo->end()) return it->second;
  const bool match_stem = platform::fs_path(base).extension().empty();
  std::optional<fs::path> result, other;
  for (const fs::path& dir : platform::font_folders()) {
    fs::path found;
    if (walk_for(dir, platform::fs_path(base), match_stem, found, other)) {
      result = found;
      break;
    }
  }
  if (!result) result = other;
  memo->emplace(base, result);
  return result;
}

std::shared_ptr<const Font> open_cached(const fs::path& path, int size) {
  static std::mutex mu;
  static auto* cache = new std::map<std::pair<std::string, int>, std::shared_ptr<const Font>>;
  std::error_code ec;
  fs::path key = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) key = path;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache->find({platform::utf8_path(key), size});
  if (it != cache->end()) return it->second;
  auto font = std::make_shared<const Font>(std::make_shared<FreeTypeSource>(platform::utf8_path(path), size));
  cache->emplace(std::make_pair(platform::utf8_path(key), size), font);
  return font;
}

}  // namespace

std::shared_ptr<const Font> load_truetype_font(const std::string& name, int size) {
  if (size < 1 || size > 4096) throw ValueError(expected_got("a font size from 1 to 4096 pixels", std::to_string(size)));
  std::string first_error = "cannot open resource";
  std::error_code ec;
  const fs::path path = platform::fs_path(name);
  if (!name.empty() && fs::is_regular_file(path, ec)) {
    try {
      return open_cached(path, size);
    } catch (const OSError& e) {
      first_error = e.what();
    }
  }
  const std::string base = platform::utf8_path(path.filename());
  if (!base.empty()) {
    if (std::optional<fs::path> found = search_font_folders(base)) return open_cached(*found, size);
  }
  throw OSError(first_error);
}

std::shared_ptr<const Font> builtin_font() {
  static const auto* font = new std::shared_ptr<const Font>(std::make_shared<const Font>(std::make_shared<BuiltinSource>()));
  return *font;
}

std::shared_ptr<const Font> label_font(int size) {
  try {
    return load_truetype_font("arial.ttf", size);
  } catch (const std::exception&) {
    return builtin_font();
  }
}

}  // namespace mirelo
