#include "common/mask.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/errors.hpp"

namespace mirelo {
namespace {

// Byte kernels. Masks are memory-bound: with SSE2 (every x86-64) sixteen
// bytes are tested per instruction and summed with psadbw; elsewhere plain
// loops that the compiler vectorises.
#if defined(__SSE2__)
inline int64_t hsum(__m128i v) {
  return _mm_cvtsi128_si64(v) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v));
}
#endif

inline int64_t count_row(const uint8_t* p, int64_t n) {
  int64_t c = 0, i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  __m128i acc = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i set = _mm_andnot_si128(_mm_cmpeq_epi8(v, zero), one);
    acc = _mm_add_epi64(acc, _mm_sad_epu8(set, zero));
  }
  c = hsum(acc);
#endif
  for (; i < n; ++i) c += (p[i] != 0);
  return c;
}

inline int64_t count_row_and(const uint8_t* a, const uint8_t* b, int64_t n) {
  int64_t c = 0, i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  __m128i acc = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i either_zero = _mm_or_si128(_mm_cmpeq_epi8(va, zero), _mm_cmpeq_epi8(vb, zero));
    acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_andnot_si128(either_zero, one), zero));
  }
  c = hsum(acc);
#endif
  for (; i < n; ++i) c += ((a[i] != 0) & (b[i] != 0));
  return c;
}

// Position of the first set byte of p[0..n), or n when none is set.
inline int64_t first_set(const uint8_t* p, int64_t n) {
  int64_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  // Empty stretches, the most of a mask, are skipped 64 bytes per test.
  for (; i + 64 <= n; i += 64) {
    const __m128i* q = reinterpret_cast<const __m128i*>(p + i);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                     _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) != 0xFFFF) break;
  }
  for (; i + 16 <= n; i += 16) {
    const int zeros = _mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero));
    if (zeros != 0xFFFF) return i + __builtin_ctz(~zeros & 0xFFFF);
  }
#endif
  for (; i < n; ++i)
    if (p[i]) return i;
  return n;
}

// Position of the last set byte of p[0..n), or -1 when none is set.
inline int64_t last_set(const uint8_t* p, int64_t n) {
  int64_t i = n;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i >= 16; i -= 16) {
    const int zeros = _mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 16)), zero));
    if (zeros != 0xFFFF) return i - 16 + (31 - __builtin_clz(~zeros & 0xFFFF));
  }
#endif
  for (; i > 0; --i)
    if (p[i - 1]) return i - 1;
  return -1;
}

// Widens the box by the set pixels of row y (known to hold at least one);
// only the parts of the row outside the current box are scanned.
inline void extend_box(const uint8_t* r, int64_t width, int64_t y, int64_t& x_min, int64_t& x_max,
                       int64_t& y_min, int64_t& y_max) {
  if (y_min < 0) y_min = y;
  y_max = y;
  x_min = std::min(x_min, first_set(r, x_min));
  const int64_t from = x_max + 1;
  const int64_t hi = last_set(r + from, width - from);
  if (hi >= 0) x_max = from + hi;
}

void require_same_shape(const MaskView& a, const MaskView& b) {
  if (!a.same_shape(b)) {
    throw ValueError("masks must have the same shape: expected (" + std::to_string(a.height) +
                     ", " + std::to_string(a.width) + "), got (" + std::to_string(b.height) +
                     ", " + std::to_string(b.width) + ")");
  }
}

}  // namespace

size_t total_pixels(const std::vector<MaskView>& masks, size_t start) {
  size_t n = start;
  for (const MaskView& m : masks) {
    const size_t px = m.pixel_count();
    n = px > SIZE_MAX - n ? SIZE_MAX : n + px;
  }
  return n;
}

int64_t count_nonzero(const MaskView& m) {
  int64_t c = 0;
  // A mask without columns has no pixels however many rows it claims; its
  // rows are not walked one by one.
  if (m.width <= 0) return 0;
  for (int64_t y = 0; y < m.height; ++y) c += count_row(m.row(y), m.width);
  return c;
}

MaskStats mask_stats(const MaskView& m) {
  MaskStats s;
  if (m.width <= 0) return s;
  int64_t x_min = m.width, x_max = -1, y_min = -1, y_max = -1;
  for (int64_t y = 0; y < m.height; ++y) {
    const uint8_t* r = m.row(y);
    const int64_t c = count_row(r, m.width);
    if (c == 0) continue;
    s.area += c;
    extend_box(r, m.width, y, x_min, x_max, y_min, y_max);
  }
  if (s.area > 0) s.box = PixelBox{x_min, y_min, x_max, y_max, false};
  return s;
}

PixelBox mask_box(const MaskView& m) {
  if (m.width <= 0) return PixelBox{};
  BoxGrowth g;
  for (int64_t y = 0; y < m.height; ++y) {
    const uint8_t* r = m.row(y);
    const int64_t lo = first_set(r, m.width);
    if (lo < m.width) g.add_row(y, lo, lo + last_set(r + lo, m.width - lo));
  }
  return g.box();
}

MaskMoments mask_moments(const MaskView& m) {
  // Exact integer sums; only the columns between a row's first and last
  // set byte are weighed.
  unsigned __int128 s00 = 0, s10 = 0, s01 = 0;
  if (m.width <= 0) return {};
  for (int64_t y = 0; y < m.height; ++y) {
    const uint8_t* r = m.row(y);
    const int64_t lo = first_set(r, m.width);
    if (lo == m.width) continue;
    const int64_t hi = lo + last_set(r + lo, m.width - lo);
    uint64_t row = 0;
    if (m.width < (int64_t{1} << 24)) {  // x * 255 * width stays below 2^64
      // 32-bit sums over blocks of 4096 columns, weighed by the column
      // within the block (at most 255 * 4096 * 4095 / 2 < 2^32), so the
      // inner loop vectorises; the block's start is added once.
      uint64_t row_x = 0;
      constexpr int64_t kBlock = 4096;
      for (int64_t x0 = lo; x0 <= hi; x0 += kBlock) {
        const int64_t n = std::min(kBlock, hi - x0 + 1);
        const uint8_t* b = r + x0;
        uint32_t sum = 0, weighed = 0;
        for (int64_t k = 0; k < n; ++k) {
          sum += b[k];
          weighed += static_cast<uint32_t>(k) * b[k];
        }
        row += sum;
        row_x += static_cast<uint64_t>(x0) * sum + weighed;
      }
      s10 += row_x;
    } else {
      for (int64_t x = lo; x <= hi; ++x) {
        row += r[x];
        s10 += static_cast<unsigned __int128>(static_cast<uint64_t>(x) * r[x]);
      }
    }
    s00 += row;
    s01 += static_cast<unsigned __int128>(row) * static_cast<uint64_t>(y);
  }
  return MaskMoments{static_cast<double>(s00), static_cast<double>(s10), static_cast<double>(s01)};
}

int64_t count_intersection(const MaskView& a, const PixelBox& a_box, const MaskView& b,
                           const PixelBox& b_box) {
  require_same_shape(a, b);
  if (a_box.empty || b_box.empty) return 0;
  const int64_t x0 = std::max(a_box.x_min, b_box.x_min);
  const int64_t x1 = std::min(a_box.x_max, b_box.x_max);
  const int64_t y0 = std::max(a_box.y_min, b_box.y_min);
  const int64_t y1 = std::min(a_box.y_max, b_box.y_max);
  if (x0 > x1 || y0 > y1) return 0;
  int64_t c = 0;
  for (int64_t y = y0; y <= y1; ++y) c += count_row_and(a.row(y) + x0, b.row(y) + x0, x1 - x0 + 1);
  return c;
}

int64_t count_intersection(const MaskView& a, const MaskView& b) {
  require_same_shape(a, b);
  int64_t c = 0;
  if (a.width <= 0) return 0;
  for (int64_t y = 0; y < a.height; ++y) c += count_row_and(a.row(y), b.row(y), a.width);
  return c;
}

}  // namespace mirelo
