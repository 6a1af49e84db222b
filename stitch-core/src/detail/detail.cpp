#include "detail/detail.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace stitch {
namespace {

constexpr std::uint32_t kBandRows = 64;
constexpr float kControlEpsilon = 1.1920929e-7f;

// ---------------------------------------------------------------------------
// Four-lane float arithmetic. The filters spend their time in exponentials
// and logarithms; the platform's scalar expf/logf cannot be vectorised
// portably, so these lanes carry Cephes-style polynomial versions (about one
// ulp from the library functions) through the GNU vector extensions, which
// GCC and Clang lower to SSE on x86-64 and NEON on ARM.

using vf = float __attribute__((vector_size(16)));
using vi = std::int32_t __attribute__((vector_size(16)));
constexpr int kLanes = 4;

inline vf splat(float v) { return vf{v, v, v, v}; }
inline vi splat_i(std::int32_t v) { return vi{v, v, v, v}; }
inline vf load(const float* p) {
  vf v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store(float* p, vf v) { std::memcpy(p, &v, sizeof v); }
inline vf select(vi mask, vf a, vf b) { return mask ? a : b; }
// Same operand order as std::min / std::max (the first argument wins ties),
// which is also the order of the SSE min/max instructions.
inline vf vmin(vf a, vf b) { return b < a ? b : a; }
inline vf vmax(vf a, vf b) { return a < b ? b : a; }
inline vf vsqrt(vf a) {
#if defined(__SSE__)
  return (vf)_mm_sqrt_ps((__m128)a);
#elif defined(__aarch64__)
  return (vf)vsqrtq_f32((float32x4_t)a);
#else
  for (int i = 0; i < kLanes; ++i) a[i] = std::sqrt(a[i]);
  return a;
#endif
}
inline vf vclamp(vf v, vf lo, vf hi) { return select(v < lo, lo, select(hi < v, hi, v)); }
inline vf vabs(vf a) { return (vf)((vi)a & splat_i(0x7fffffff)); }
inline vf vfloor(vf x) {
  const vf t = __builtin_convertvector(__builtin_convertvector(x, vi), vf);
  return select(x < t, t - splat(1.0f), t);
}
inline vf smoothstep01(vf t) { return t * t * (splat(3.0f) - splat(2.0f) * t); }
inline vf clamp01(vf v) { return vclamp(v, splat(0.0f), splat(1.0f)); }
inline vf luminance(vf r, vf g, vf b) {
  return splat(0.2126f) * r + splat(0.7152f) * g + splat(0.0722f) * b;
}

// e^x; arguments below -87.3 (where the result leaves the normal range)
// give 0, and exp(0) and exp(-0) are exactly 1.
inline vf vexp(vf x) {
  const vi underflow = x < splat(-87.3365447f);
  x = vmin(vmax(x, splat(-87.3365447f)), splat(88.0f));
  const vf n = vfloor(x * splat(1.44269504088896341f) + splat(0.5f));
  x = x - n * splat(0.693359375f) - n * splat(-2.12194440e-4f);
  const vf z = x * x;
  vf y = splat(1.9875691500e-4f);
  y = y * x + splat(1.3981999507e-3f);
  y = y * x + splat(8.3334519073e-3f);
  y = y * x + splat(4.1665795894e-2f);
  y = y * x + splat(1.6666665459e-1f);
  y = y * x + splat(5.0000001201e-1f);
  y = y * z + x + splat(1.0f);
  const vi bits = (__builtin_convertvector(n, vi) + splat_i(127)) << 23;
  return select(underflow, splat(0.0f), y * (vf)bits);
}

// ln x for positive normal x (callers floor their luminance at 1e-5).
inline vf vlog(vf x) {
  const vi bits = (vi)x;
  vf e = __builtin_convertvector(((bits >> 23) & splat_i(0xff)) - splat_i(126), vf);
  vf m = (vf)((bits & splat_i(0x007fffff)) | splat_i(0x3f000000));  // [0.5, 1)
  const vi small = m < splat(0.707106781186547524f);
  e = select(small, e - splat(1.0f), e);
  m = select(small, m + m, m) - splat(1.0f);
  const vf z = m * m;
  vf y = splat(7.0376836292e-2f);
  y = y * m + splat(-1.1514610310e-1f);
  y = y * m + splat(1.1676998740e-1f);
  y = y * m + splat(-1.2420140846e-1f);
  y = y * m + splat(1.4249322787e-1f);
  y = y * m + splat(-1.6668057665e-1f);
  y = y * m + splat(2.0000714765e-1f);
  y = y * m + splat(-2.4999993993e-1f);
  y = y * m + splat(3.3333331174e-1f);
  y = y * m * z;
  y = y + e * splat(-2.12194440e-4f);
  y = y + splat(-0.5f) * z;
  return m + y + e * splat(0.693359375f);
}

// ---------------------------------------------------------------------------
// Storage forms. Both decode to linear light and encode with clamping and
// rounding half away from zero.

float clamp_unit(float x) { return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f; }  // NaN -> 0

std::uint8_t encode_srgb8_exact(float x) {
  x = clamp_unit(x);
  const float e = x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::clamp(std::round(e * 255.0f), 0.0f, 255.0f));
}

// Encoding 8-bit sRGB needs a power function per sample; instead, the linear
// value where each code begins is found once by bisection over the float bit
// patterns, and a coarse table of 4096 slices points at the code a value's
// slice starts with, from where at most a step or two reaches the answer.
struct Srgb8Tables {
  static constexpr int kSlices = 4096;
  std::array<float, 256> decode{};
  std::array<float, 257> code_start{};  // smallest linear value encoding to k
  std::array<std::uint8_t, kSlices + 1> slice_code{};

  Srgb8Tables() {
    for (int i = 0; i < 256; ++i) {
      const float v = static_cast<float>(i) / 255.0f;
      decode[static_cast<std::size_t>(i)] =
          v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
    }
    code_start[0] = 0.0f;
    for (int k = 1; k < 256; ++k) {
      std::uint32_t lo = 0;            // bits of 0.0f: encodes below k
      std::uint32_t hi = 0x3f800000u;  // bits of 1.0f: encodes to 255 >= k
      while (hi - lo > 1) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        float x;
        std::memcpy(&x, &mid, sizeof x);
        if (encode_srgb8_exact(x) >= k) {
          hi = mid;
        } else {
          lo = mid;
        }
      }
      std::memcpy(&code_start[static_cast<std::size_t>(k)], &hi, sizeof(float));
    }
    code_start[256] = 2.0f;  // sentinel above every clamped value
    int code = 0;
    for (int s = 0; s <= kSlices; ++s) {
      const float x = static_cast<float>(s) / kSlices;
      while (code < 255 && x >= code_start[static_cast<std::size_t>(code + 1)]) ++code;
      slice_code[static_cast<std::size_t>(s)] = static_cast<std::uint8_t>(code);
    }
  }

  std::uint8_t encode(float x) const {
    x = clamp_unit(x);
    int code = slice_code[static_cast<std::size_t>(static_cast<int>(x * kSlices))];
    while (x >= code_start[static_cast<std::size_t>(code + 1)]) ++code;
    return static_cast<std::uint8_t>(code);
  }
};

const Srgb8Tables& srgb8_tables() {
  static const Srgb8Tables tables;
  return tables;
}

// Each form decodes a row of interleaved samples into three planes and
// encodes four values of one plane at a time.
struct Rgb8Form {
  using Sample = std::uint8_t;
  const Srgb8Tables& tables = srgb8_tables();

  void decode_row(const Sample* src, std::uint32_t width, float* r, float* g, float* b) const {
    for (std::uint32_t x = 0; x < width; ++x) {
      r[x] = tables.decode[src[3 * std::size_t{x}]];
      g[x] = tables.decode[src[3 * std::size_t{x} + 1]];
      b[x] = tables.decode[src[3 * std::size_t{x} + 2]];
    }
  }
  vi encode4(vf v) const {
    return vi{tables.encode(v[0]), tables.encode(v[1]), tables.encode(v[2]), tables.encode(v[3])};
  }
};

struct Rgb16Form {
  using Sample = std::uint16_t;

  void decode_row(const Sample* src, std::uint32_t width, float* r, float* g, float* b) const {
    const vf scale = splat(65535.0f);
    std::uint32_t x = 0;
    for (; x + kLanes <= width; x += kLanes) {
      const Sample* p = src + 3 * std::size_t{x};
      store(r + x, __builtin_convertvector((vi{p[0], p[3], p[6], p[9]}), vf) / scale);
      store(g + x, __builtin_convertvector((vi{p[1], p[4], p[7], p[10]}), vf) / scale);
      store(b + x, __builtin_convertvector((vi{p[2], p[5], p[8], p[11]}), vf) / scale);
    }
    for (; x < width; ++x) {
      r[x] = static_cast<float>(src[3 * std::size_t{x}]) / 65535.0f;
      g[x] = static_cast<float>(src[3 * std::size_t{x} + 1]) / 65535.0f;
      b[x] = static_cast<float>(src[3 * std::size_t{x} + 2]) / 65535.0f;
    }
  }
  // Clamp to [0, 1] (NaN to 0), scale, round halves up: the value is never
  // negative, and below 2^23 the fraction after truncation is exact.
  vi encode4(vf v) const {
    v = select(v > splat(0.0f), vmin(v, splat(1.0f)), splat(0.0f)) * splat(65535.0f);
    const vi whole = __builtin_convertvector(v, vi);
    const vi up = (v - __builtin_convertvector(whole, vf)) >= splat(0.5f);
    return whole - up;  // `up` is -1 where true
  }
};

// ---------------------------------------------------------------------------
// Copies of a pass's input rows, decoded to linear planes (R, G, B,
// luminance and, for clarity, ln of the floored luminance), each row padded
// on both sides with the columns it wraps to, so that filters read
// neighbours with plain offsets. The window only ever moves down: rows it
// already holds were copied before their band was modified and are kept.

enum Plane : std::uint32_t { kR = 0, kG = 1, kB = 2, kY = 3, kLogY = 4 };

class StripWindow {
 public:
  StripWindow(std::uint32_t width, std::uint32_t height, std::uint32_t reach, std::uint32_t planes)
      : width_(width),
        height_(height),
        pad_(reach),
        planes_(planes),
        stride_(std::size_t{width} + 2 * std::size_t{reach} + kLanes),
        row_floats_(stride_ * planes),
        data_(row_floats_ * std::min<std::size_t>(height, kBandRows + 2 * std::size_t{reach}), 0.0f) {}

  // Holds rows [lo, hi) afterwards; rows not held before are decoded from
  // `buffer`, which must not have been modified there yet.
  template <typename Form>
  void advance(const Form& form, const typename Form::Sample* buffer, std::uint32_t lo,
               std::uint32_t hi) {
    std::uint32_t first_new = lo;
    if (hi_ > lo) {
      const std::size_t kept = hi_ - lo;
      std::memmove(data_.data(), data_.data() + (lo - lo_) * row_floats_,
                   kept * row_floats_ * sizeof(float));
      first_new = hi_;
    }
    lo_ = lo;
    hi_ = hi;
    if (first_new >= hi) return;
    tbb::parallel_for(tbb::blocked_range<std::uint32_t>(first_new, hi),
                      [&](const tbb::blocked_range<std::uint32_t>& rows) {
                        for (std::uint32_t y = rows.begin(); y != rows.end(); ++y) {
                          decode_row(form, buffer + std::size_t{y} * width_ * 3, y);
                        }
                      });
  }

  // Column 0 of `plane` in row y, with y clamped to the image.
  const float* row(std::uint32_t plane, std::int64_t y) const {
    const std::int64_t clamped = std::clamp<std::int64_t>(y, 0, std::int64_t{height_} - 1);
    return data_.data() + (static_cast<std::size_t>(clamped) - lo_) * row_floats_ + plane * stride_ +
           pad_;
  }

 private:
  float* mutable_row(std::uint32_t plane, std::uint32_t y) {
    return data_.data() + std::size_t{y - lo_} * row_floats_ + plane * stride_ + pad_;
  }

  template <typename Form>
  void decode_row(const Form& form, const typename Form::Sample* src, std::uint32_t y) {
    float* r = mutable_row(kR, y);
    float* g = mutable_row(kG, y);
    float* b = mutable_row(kB, y);
    form.decode_row(src, width_, r, g, b);
    if (planes_ <= kY) {
      pad_row(y);
      return;
    }
    float* lum = mutable_row(kY, y);
    for (std::uint32_t x = 0; x < width_; ++x) {
      lum[x] = 0.2126f * r[x] + 0.7152f * g[x] + 0.0722f * b[x];
    }
    if (planes_ > kLogY) {
      float* log_y = mutable_row(kLogY, y);
      for (std::uint32_t x = 0; x < width_; x += kLanes) {
        store(log_y + x, vlog(vmax(load(lum + x), splat(1e-5f))));
      }
    }
    pad_row(y);
  }

  // Wrapped columns on both sides; the modulo also covers reaches wider than
  // the image.
  void pad_row(std::uint32_t y) {
    const std::int64_t w = width_;
    for (std::uint32_t p = 0; p < planes_; ++p) {
      float* row_p = mutable_row(p, y);
      for (std::int64_t j = 1; j <= static_cast<std::int64_t>(pad_); ++j) {
        row_p[-j] = row_p[((-j % w) + w) % w];
        row_p[w - 1 + j] = row_p[(w - 1 + j) % w];
      }
    }
  }

  std::uint32_t width_;
  std::uint32_t height_;
  std::uint32_t pad_;
  std::uint32_t planes_;
  std::size_t stride_;
  std::size_t row_floats_;
  std::vector<float> data_;
  std::uint32_t lo_ = 0;
  std::uint32_t hi_ = 0;
};

// Runs one pass over the buffer band by band. Every read goes through the
// window, which was filled before the rows it holds were modified, so the
// pass computes what a filter over an untouched copy of its input would,
// while holding only a band's rows plus the reach above and below it.
// `kernel(window, y, out)` computes row y into `out` (planar R, G, B of
// width rounded up to the lane count).
template <typename Form, typename Kernel>
void process_strips(const Form& form, typename Form::Sample* buffer, std::uint32_t width,
                    std::uint32_t height, std::uint32_t reach, std::uint32_t planes,
                    const Kernel& kernel) {
  StripWindow window(width, height, reach, planes);
  // One planar output row per band row, reused from band to band.
  const std::size_t lanes = (std::size_t{width} + kLanes - 1) / kLanes * kLanes;
  std::vector<float> out(std::min<std::size_t>(height, kBandRows) * 3 * lanes);
  for (std::uint32_t band = 0; band < height; band += kBandRows) {
    const std::uint32_t band_end = std::min(height, band + kBandRows);
    const std::uint32_t lo = band >= reach ? band - reach : 0;
    const std::uint32_t hi = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(height, std::uint64_t{band_end} + reach));
    window.advance(form, buffer, lo, hi);
    tbb::parallel_for(
        tbb::blocked_range<std::uint32_t>(band, band_end, 1),
        [&](const tbb::blocked_range<std::uint32_t>& rows) {
          for (std::uint32_t y = rows.begin(); y != rows.end(); ++y) {
            float* row_out = out.data() + std::size_t{y - band} * 3 * lanes;
            kernel(window, y, row_out, lanes);
            typename Form::Sample* dst = buffer + std::size_t{y} * width * 3;
            for (std::uint32_t x = 0; x < width; x += kLanes) {
              const vi r = form.encode4(load(row_out + x));
              const vi g = form.encode4(load(row_out + lanes + x));
              const vi b = form.encode4(load(row_out + 2 * lanes + x));
              const std::uint32_t n = std::min<std::uint32_t>(kLanes, width - x);
              for (std::uint32_t i = 0; i < n; ++i) {
                typename Form::Sample* p = dst + 3 * (std::size_t{x} + i);
                p[0] = static_cast<typename Form::Sample>(r[i]);
                p[1] = static_cast<typename Form::Sample>(g[i]);
                p[2] = static_cast<typename Form::Sample>(b[i]);
              }
            }
          }
        },
        tbb::simple_partitioner());
  }
}

// NaN counts as off; everything else is limited to the control's range.
float clamp_control(float v, float lo, float hi) { return std::isnan(v) ? 0.0f : std::clamp(v, lo, hi); }

bool control_on(float v) { return std::abs(v) > kControlEpsilon; }

template <typename Form>
Status apply_detail(std::span<typename Form::Sample> pixels, std::uint32_t width,
                    std::uint32_t height, float clarity, float sharpening, float noise_reduction) {
  const std::uint64_t expected = std::uint64_t{width} * 3 * height;
  if (pixels.size() != expected) {
    return Err(StitchError::export_failed("Invalid detail buffer length: expected " +
                                          std::to_string(expected) + ", received " +
                                          std::to_string(pixels.size())));
  }
  if (width == 0 || height == 0) return {};
  clarity = clamp_control(clarity, -100.0f, 100.0f);
  sharpening = clamp_control(sharpening, 0.0f, 100.0f);
  noise_reduction = clamp_control(noise_reduction, 0.0f, 100.0f);
  const bool clarity_on = control_on(clarity);
  const bool sharpen_on = control_on(sharpening);
  const bool denoise_on = control_on(noise_reduction);
  if (!clarity_on && !sharpen_on && !denoise_on) return {};

  const Form form{};
  typename Form::Sample* buffer = pixels.data();

  if (clarity_on || denoise_on) {
    // Noise reduction only looks one pixel away, so without clarity the
    // window needs no more.
    const std::uint32_t reach = clarity_on ? detail_radius(width) : 1;
    const std::int64_t r = reach;
    const float n = noise_reduction / 100.0f;
    // Reciprocals: a multiply instead of a division per neighbour, within
    // the last bit of the quotient.
    const vf inv_sigma_l = splat(1.0f / (0.012f + 0.055f * n));
    const vf inv_sigma_c = splat(1.0f / (0.018f + 0.08f * n));
    const vf keep = splat(1.0f - 0.62f * n);
    const vf mix = splat(0.62f * n);
    const float k072 = clarity / 100.0f * 0.72f;

    auto kernel = [&](const StripWindow& win, std::uint32_t y, float* out, std::size_t lanes) {
      const std::int64_t yy = y;
      const float* rows_r[3];
      const float* rows_g[3];
      const float* rows_b[3];
      const float* rows_y[3];
      for (int d = 0; d < 3; ++d) {
        rows_r[d] = win.row(kR, yy + d - 1);
        rows_g[d] = win.row(kG, yy + d - 1);
        rows_b[d] = win.row(kB, yy + d - 1);
        rows_y[d] = win.row(kY, yy + d - 1);
      }
      const float* log_up = clarity_on ? win.row(kLogY, yy - r) : nullptr;
      const float* log_mid = clarity_on ? win.row(kLogY, yy) : nullptr;
      const float* log_down = clarity_on ? win.row(kLogY, yy + r) : nullptr;
      const float* lum_up = win.row(kY, yy - r);
      const float* lum_down = win.row(kY, yy + r);
      const float* lum_mid = rows_y[1];

      for (std::size_t x = 0; x < lanes; x += kLanes) {
        const vf r0 = load(rows_r[1] + x);
        const vf g0 = load(rows_g[1] + x);
        const vf b0 = load(rows_b[1] + x);
        const vf y0 = load(lum_mid + x);
        vf r1 = r0, g1 = g0, b1 = b0;

        if (denoise_on) {
          const vf cr0 = r0 - y0;
          const vf cb0 = b0 - y0;
          vf sr = splat(0.0f), sg = splat(0.0f), sb = splat(0.0f), sw = splat(0.0f);
          // Written out neighbour by neighbour, in row-major order, so that
          // the spatial weights are constants and nothing branches.
          const auto add = [&](int dy, std::ptrdiff_t dx, float spatial) __attribute__((always_inline)) {
            const std::size_t i = x + dx;
            const vf rq = load(rows_r[dy] + i);
            const vf gq = load(rows_g[dy] + i);
            const vf bq = load(rows_b[dy] + i);
            const vf yq = load(rows_y[dy] + i);
            const vf dc = (vabs((rq - yq) - cr0) + vabs((bq - yq) - cb0)) * splat(0.5f);
            const vf w = splat(spatial) * vexp(-vabs(yq - y0) * inv_sigma_l - dc * inv_sigma_c);
            sr += w * rq;
            sg += w * gq;
            sb += w * bq;
            sw += w;
          };
          add(0, -1, 0.52f);
          add(0, 0, 0.72f);
          add(0, 1, 0.52f);
          add(1, -1, 0.72f);
          // The centre: distance 0, so its weight is exactly exp(0) = 1.
          sr += r0;
          sg += g0;
          sb += b0;
          sw += splat(1.0f);
          add(1, 1, 0.72f);
          add(2, -1, 0.52f);
          add(2, 0, 0.72f);
          add(2, 1, 0.52f);
          const vf norm = vmax(sw, splat(1e-6f));
          r1 = mix * (sr / norm) + keep * r0;
          g1 = mix * (sg / norm) + keep * g0;
          b1 = mix * (sb / norm) + keep * b0;
        }

        if (clarity_on) {
          const vf yc = vmax(luminance(r1, g1, b1), splat(1e-5f));
          const vf log_yc = denoise_on ? vlog(yc) : load(log_mid + x);
          const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(r);
          const vf mu = (splat(4.0f) * load(log_mid + x) + splat(2.0f) * load(log_mid + x - o) +
                         splat(2.0f) * load(log_mid + x + o) + splat(2.0f) * load(log_up + x) +
                         splat(2.0f) * load(log_down + x) + load(log_up + x - o) +
                         load(log_up + x + o) + load(log_down + x - o) + load(log_down + x + o)) /
                        splat(16.0f);
          const vf floor_y = splat(1e-5f);
          const vf s[9] = {
              vmax(load(lum_mid + x), floor_y),      vmax(load(lum_mid + x - o), floor_y),
              vmax(load(lum_mid + x + o), floor_y),  vmax(load(lum_up + x), floor_y),
              vmax(load(lum_down + x), floor_y),     vmax(load(lum_up + x - o), floor_y),
              vmax(load(lum_up + x + o), floor_y),   vmax(load(lum_down + x - o), floor_y),
              vmax(load(lum_down + x + o), floor_y)};
          vf y_min = s[0], y_max = s[0];
          for (int i = 1; i < 9; ++i) {
            y_min = vmin(y_min, s[i]);
            y_max = vmax(y_max, s[i]);
          }
          const vf q = (y_max - y_min) / vmax(y_max, splat(0.04f));
          const vf contrast_mask = splat(1.0f) - smoothstep01(clamp01((q - splat(0.1f)) / splat(0.28f)));
          const vf shadow_mask = smoothstep01(clamp01((yc - splat(0.015f)) / splat(0.065f)));
          const vf highlight_mask =
              splat(1.0f) - smoothstep01(clamp01((yc - splat(0.72f)) / splat(0.26f)));
          const vf amount = splat(k072) * contrast_mask * shadow_mask * highlight_mask;
          vf gain = vexp((log_yc - mu) * amount);
          // Never lift the luminance above 1.
          gain = vmin(splat(1.0f), yc * gain) / yc;
          r1 = clamp01(r1 * gain);
          g1 = clamp01(g1 * gain);
          b1 = clamp01(b1 * gain);
        }
        store(out + x, r1);
        store(out + lanes + x, g1);
        store(out + 2 * lanes + x, b1);
      }
    };
    process_strips(form, buffer, width, height, reach, clarity_on ? 5u : 4u, kernel);
  }

  if (sharpen_on) {
    const float s = sharpening / 100.0f;
    const vf margin_scale = splat(0.08f * s);
    const vf divisor = splat(8.0f - 3.0f * s);
    auto kernel = [&](const StripWindow& win, std::uint32_t y, float* out, std::size_t lanes) {
      const std::int64_t yy = y;
      for (std::uint32_t c = 0; c < 3; ++c) {
        const float* up = win.row(c, yy - 1);
        const float* mid = win.row(c, yy);
        const float* down = win.row(c, yy + 1);
        float* dst = out + c * lanes;
        for (std::size_t x = 0; x < lanes; x += kLanes) {
          const vf vc = load(mid + x);
          const vf vn = load(up + x);
          const vf vs = load(down + x);
          const vf vw = load(mid + x - 1);
          const vf ve = load(mid + x + 1);
          const vf mn = vmin(vmin(vmin(vmin(vc, vn), vs), vw), ve);
          const vf mx = vmax(vmax(vmax(vmax(vc, vn), vs), vw), ve);
          // Overshoot stays within 8 % x s of the local range.
          const vf margin = (mx - mn) * margin_scale;
          const vf lo = mn - margin;
          const vf hi = mx + margin;
          const vf headroom = vmin(splat(1.0f), vmax(splat(0.0f), vmin(mn, splat(1.0f) - mx)) /
                                                    vmax(mx, splat(1e-5f)));
          const vf amp = vsqrt(headroom);
          const vf weight = -amp / divisor;
          const vf v =
              (vc + weight * (vn + vs + vw + ve)) / vmax(splat(1.0f) + splat(4.0f) * weight, splat(0.25f));
          store(dst + x, clamp01(vclamp(v, lo, hi)));
        }
      }
    };
    process_strips(form, buffer, width, height, 1, 3, kernel);
  }
  return {};
}

}  // namespace

std::uint32_t detail_radius(std::uint32_t width) {
  const double r = std::round(static_cast<double>(width) * 0.25 / 360.0);
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(r));
}

Status apply_detail_rgb8(std::span<std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
                         float clarity, float sharpening, float noise_reduction) {
  return apply_detail<Rgb8Form>(pixels, width, height, clarity, sharpening, noise_reduction);
}

Status apply_detail_rgb16(std::span<std::uint16_t> pixels, std::uint32_t width, std::uint32_t height,
                          float clarity, float sharpening, float noise_reduction) {
  return apply_detail<Rgb16Form>(pixels, width, height, clarity, sharpening, noise_reduction);
}

}  // namespace stitch
