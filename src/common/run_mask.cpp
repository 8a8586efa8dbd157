#include "common/run_mask.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/errors.hpp"
#include "common/memory.hpp"

namespace mirelo {
namespace {

// Blocks from this size on are mapped from the system directly: the
// allocator would hand out reused memory and have to clear it first.
constexpr size_t kMapThreshold = size_t{1} << 20;

void require_frame(int64_t height, int64_t width) {
  if (height < 0 || width < 0 || width > INT32_MAX)
    throw ValueError(expected_got("a mask of 0 to " + std::to_string(INT32_MAX) + " columns and at least 0 rows",
                                  std::to_string(height) + " x " + std::to_string(width)));
}

// The non-zero test of an element as a bit test: integers and booleans are
// set when any bit is, reals when any bit but the sign is (so -0.0 is unset
// and NaN set, as the array library's non-zero test has it).
template <typename U>
struct SetBits {
  U mask;
  // Element x of a row; arrays may be unaligned, so it is copied out.
  bool operator()(const uint8_t* row, int64_t x) const {
    U v;
    std::memcpy(&v, row + x * static_cast<int64_t>(sizeof(U)), sizeof(U));
    return (v & mask) != 0;
  }
};

#if defined(__SSE2__)
template <typename U>
__m128i broadcast(U mask) {
  if constexpr (sizeof(U) == 1) return _mm_set1_epi8(static_cast<char>(mask));
  if constexpr (sizeof(U) == 2) return _mm_set1_epi16(static_cast<short>(mask));
  if constexpr (sizeof(U) == 4) return _mm_set1_epi32(static_cast<int>(mask));
  if constexpr (sizeof(U) == 8) return _mm_set1_epi64x(static_cast<long long>(mask));
}
#endif

// First element at or after x (below n) that is set, or n. Masks are mostly
// empty, so stretches of 64 bytes are skipped with one test.
template <typename U>
int64_t next_set(const uint8_t* p, int64_t x, int64_t n, SetBits<U> set) {
#if defined(__SSE2__)
  constexpr int64_t per = 16 / sizeof(U);
  const __m128i bits = broadcast(set.mask), zero = _mm_setzero_si128();
  auto load = [&](int64_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at * int64_t{sizeof(U)})); };
  for (; x + 4 * per <= n; x += 4 * per) {
    const __m128i v = _mm_or_si128(_mm_or_si128(load(x), load(x + per)), _mm_or_si128(load(x + 2 * per), load(x + 3 * per)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, bits), zero)) != 0xFFFF) break;
  }
  for (; x + per <= n; x += per)
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(load(x), bits), zero)) != 0xFFFF) break;
#endif
  while (x < n && !set(p, x)) ++x;
  return x;
}

// First element at or after x (below n) that is not set, or n.
template <typename U>
int64_t next_unset(const uint8_t* p, int64_t x, int64_t n, SetBits<U> set) {
#if defined(__SSE2__)
  if constexpr (sizeof(U) == 1) {
    const __m128i bits = broadcast(set.mask), zero = _mm_setzero_si128();
    for (; x + 16 <= n; x += 16) {
      const __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x)), bits);
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)) != 0) break;
    }
  }
#endif
  while (x < n && set(p, x)) ++x;
  return x;
}

template <typename U>
void add_row(RunMaskBuilder& b, int64_t y, const uint8_t* p, int64_t n, int64_t x0, SetBits<U> set) {
  for (int64_t x = next_set(p, 0, n, set); x < n; x = next_set(p, x, n, set)) {
    const int64_t end = next_unset(p, x + 1, n, set);
    b.add(y, x0 + x, x0 + end);
    x = end;
  }
}

template <typename U>
RunMask plane_runs(const PlaneView& p, U mask) {
  RunMaskBuilder b(p.height, p.width);
  if (p.width > 0)
    for (int64_t y = 0; y < p.height; ++y)
      add_row(b, y, p.row(y), p.width, 0, SetBits<U>{mask});
  return b.finish();
}

}  // namespace

RunMask::RunMask(int64_t height, int64_t width) : height_(height), width_(width) { require_frame(height, width); }

void RunMask::paint(uint8_t* plane, int64_t row_stride, uint8_t value) const {
  if (box_.empty) return;
  for (int64_t y = box_.y_min; y <= box_.y_max; ++y) {
    uint8_t* r = plane + y * row_stride;
    for (const Run& run : row(y)) std::memset(r + run.x_begin, value, static_cast<size_t>(run.x_end - run.x_begin));
  }
}

RunMaskBuilder::RunMaskBuilder(int64_t height, int64_t width) : mask_(height, width) {}

void RunMaskBuilder::fail(const char* what) { throw ValueError(std::string("internal: ") + what); }

void RunMaskBuilder::reserve(size_t runs, size_t rows) {
  mask_.runs_.reserve(runs);
  mask_.row_start_.reserve(rows + 1);
}

RunMask RunMaskBuilder::finish() {
  RunMask& m = mask_;
  if (last_row_ < 0) {
    m.box_ = PixelBox{};
    return std::move(m);
  }
  // Rows are recorded only when a run is added, so the last one holds runs.
  m.row_start_.push_back(static_cast<uint32_t>(m.runs_.size()));
  BoxGrowth box;
  for (size_t r = 0; r + 1 < m.row_start_.size(); ++r) {
    if (m.row_start_[r] == m.row_start_[r + 1]) continue;
    box.add_row(m.box_.y_min + static_cast<int64_t>(r), m.runs_[m.row_start_[r]].x_begin,
                m.runs_[m.row_start_[r + 1] - 1].x_end - 1);
  }
  for (const Run& run : m.runs_) m.area_ += run.x_end - run.x_begin;
  m.box_ = box.box();
  m.runs_.shrink_to_fit();
  m.row_start_.shrink_to_fit();
  last_row_ = -1;
  return std::move(m);
}

RunMask runs_of(const MaskView& m) { return runs_of(m, 0, 0, m.height, m.width); }

RunMask runs_of(const MaskView& m, int64_t x0, int64_t y0, int64_t height, int64_t width) {
  RunMaskBuilder b(height, width);
  if (m.width <= 0 || m.height <= 0) return b.finish();
  if (x0 < 0 || y0 < 0 || x0 + m.width > width || y0 + m.height > height)
    throw ValueError("internal: mask region outside the frame");
  for (int64_t y = 0; y < m.height; ++y) add_row(b, y0 + y, m.row(y), m.width, x0, SetBits<uint8_t>{0xFF});
  return b.finish();
}

RunMask runs_of(const PlaneView& p) {
  switch (p.dtype) {
    case DType::UInt16:
    case DType::Int16: return plane_runs<uint16_t>(p, 0xFFFF);
    case DType::UInt32:
    case DType::Int32: return plane_runs<uint32_t>(p, 0xFFFFFFFFu);
    case DType::Float32: return plane_runs<uint32_t>(p, 0x7FFFFFFFu);
    case DType::UInt64:
    case DType::Int64: return plane_runs<uint64_t>(p, ~uint64_t{0});
    case DType::Float64: return plane_runs<uint64_t>(p, ~uint64_t{0} >> 1);
    default: return plane_runs<uint8_t>(p, 0xFF);
  }
}

namespace {

// Calls fn(y, lo, hi) for every stretch [lo, hi) of row y set in both masks,
// rows top to bottom, stretches left to right.
template <typename F>
void for_each_overlap(const RunMask& a, const RunMask& b, F&& fn) {
  if (!a.same_shape(b))
    throw ValueError("masks must have the same shape: expected (" + std::to_string(a.height()) + ", " +
                     std::to_string(a.width()) + "), got (" + std::to_string(b.height()) + ", " +
                     std::to_string(b.width()) + ")");
  const PixelBox &ba = a.box(), &bb = b.box();
  if (ba.empty || bb.empty || ba.x_max < bb.x_min || bb.x_max < ba.x_min) return;
  for (int64_t y = std::max(ba.y_min, bb.y_min), end = std::min(ba.y_max, bb.y_max); y <= end; ++y) {
    const auto ra = a.row(y), rb = b.row(y);
    size_t i = 0, j = 0;
    while (i < ra.size() && j < rb.size()) {
      const int32_t lo = std::max(ra[i].x_begin, rb[j].x_begin);
      const int32_t hi = std::min(ra[i].x_end, rb[j].x_end);
      if (lo < hi) fn(y, lo, hi);
      if (ra[i].x_end < rb[j].x_end) {
        ++i;
      } else {
        ++j;
      }
    }
  }
}

}  // namespace

RunMask intersect(const RunMask& a, const RunMask& b) {
  RunMaskBuilder out(a.height(), a.width());
  for_each_overlap(a, b, [&](int64_t y, int32_t lo, int32_t hi) { out.add(y, lo, hi); });
  return out.finish();
}

int64_t count_intersection(const RunMask& a, const RunMask& b) {
  int64_t count = 0;
  for_each_overlap(a, b, [&](int64_t, int32_t lo, int32_t hi) { count += hi - lo; });
  return count;
}

void BlockRelease::operator()(uint8_t* p) const {
  if (mapped > 0) {
    ::munmap(p, mapped);
  } else {
    std::free(p);
  }
}

MaskStack paint_stack(const std::vector<const RunMask*>& masks, int64_t height, int64_t width) {
  require_frame(height, width);
  MaskStack s;
  s.layers = static_cast<int64_t>(masks.size());
  s.height = height;
  s.width = width;
  for (const RunMask* m : masks)
    if (m->height() != height || m->width() != width)
      throw ValueError(expected_got("masks of " + std::to_string(height) + " x " + std::to_string(width) + " pixels",
                                    std::to_string(m->height()) + " x " + std::to_string(m->width())));
  const uint64_t plane = static_cast<uint64_t>(height) * static_cast<uint64_t>(width);
  const uint64_t layers = static_cast<uint64_t>(masks.size());
  require_allocatable(layers, plane, [&] { return "a stack of " + std::to_string(layers) + " masks"; });
  const size_t bytes = static_cast<size_t>(layers * plane);
  if (bytes >= kMapThreshold) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    s.data = std::unique_ptr<uint8_t, BlockRelease>(static_cast<uint8_t*>(p), BlockRelease{bytes});
  } else {
    // One byte even for an empty stack, so that the block is never null.
    s.data.reset(static_cast<uint8_t*>(std::calloc(std::max<size_t>(bytes, 1), 1)));
    if (!s.data) throw std::bad_alloc();
  }
  for (size_t k = 0; k < masks.size(); ++k)
    masks[k]->paint(s.data.get() + k * plane, width);
  return s;
}

}  // namespace mirelo
