// The detail stage against a literal whole-image version of its three filters
// (which reads an untouched copy of each pass's input and uses the library
// exp/log), plus the documented edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "detail/detail.hpp"

namespace stitch {
namespace {

// ---- literal reference --------------------------------------------------------

float decode8(std::uint8_t s) {
  const float v = s / 255.0f;
  return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}
std::uint8_t encode8(float x) {
  x = std::clamp(x, 0.0f, 1.0f);
  const float e = x <= 0.0031308f ? 12.92f * x : 1.055f * std::pow(x, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::clamp(std::round(e * 255.0f), 0.0f, 255.0f));
}
float decode16(std::uint16_t s) { return s / 65535.0f; }
std::uint16_t encode16(float x) {
  x = std::clamp(x, 0.0f, 1.0f);
  return static_cast<std::uint16_t>(std::clamp(std::round(x * 65535.0f), 0.0f, 65535.0f));
}

struct Lin {
  float r, g, b;
};
float lum(const Lin& p) { return 0.2126f * p.r + 0.7152f * p.g + 0.0722f * p.b; }
float ss(float t) { return t * t * (3.0f - 2.0f * t); }
float c01(float v) { return std::clamp(v, 0.0f, 1.0f); }

struct Image {
  int w, h;
  std::vector<Lin> px;
  const Lin& at(int x, int y) const {
    const int xx = ((x % w) + w) % w;
    const int yy = std::clamp(y, 0, h - 1);
    return px[static_cast<std::size_t>(yy) * w + xx];
  }
};

template <typename T>
Image decode_image(const std::vector<T>& buf, int w, int h) {
  Image im{w, h, std::vector<Lin>(static_cast<std::size_t>(w) * h)};
  for (std::size_t i = 0; i < im.px.size(); ++i) {
    if constexpr (sizeof(T) == 1) {
      im.px[i] = {decode8(buf[3 * i]), decode8(buf[3 * i + 1]), decode8(buf[3 * i + 2])};
    } else {
      im.px[i] = {decode16(buf[3 * i]), decode16(buf[3 * i + 1]), decode16(buf[3 * i + 2])};
    }
  }
  return im;
}

template <typename T>
void encode_image(const std::vector<Lin>& px, std::vector<T>& buf) {
  for (std::size_t i = 0; i < px.size(); ++i) {
    const float c[3] = {px[i].r, px[i].g, px[i].b};
    for (int ch = 0; ch < 3; ++ch) {
      if constexpr (sizeof(T) == 1) {
        buf[3 * i + ch] = encode8(c[ch]);
      } else {
        buf[3 * i + ch] = encode16(c[ch]);
      }
    }
  }
}

int reference_radius(int width) {
  return std::max(1, static_cast<int>(std::round(width * 0.25 / 360.0)));
}

template <typename T>
void reference_detail(std::vector<T>& buf, int w, int h, float clarity, float sharpening, float nr) {
  clarity = std::clamp(clarity, -100.0f, 100.0f);
  sharpening = std::clamp(sharpening, 0.0f, 100.0f);
  nr = std::clamp(nr, 0.0f, 100.0f);
  const float eps = 1.1920929e-7f;
  const bool c_on = std::abs(clarity) > eps, s_on = std::abs(sharpening) > eps, n_on = std::abs(nr) > eps;
  if (c_on || n_on) {
    const Image src = decode_image(buf, w, h);
    std::vector<Lin> out(src.px.size());
    const int r = reference_radius(w);
    const float n = nr / 100.0f, k = clarity / 100.0f;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const Lin p0 = src.at(x, y);
        Lin p1 = p0;
        if (n_on) {
          const float sl = 0.012f + 0.055f * n, sc = 0.018f + 0.08f * n;
          const float y0 = lum(p0), cr0 = p0.r - y0, cb0 = p0.b - y0;
          float sr = 0, sg = 0, sb = 0, sw = 0;
          for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
              const Lin q = src.at(x + dx, y + dy);
              const float yq = lum(q);
              const float dc = (std::abs((q.r - yq) - cr0) + std::abs((q.b - yq) - cb0)) / 2.0f;
              const float range = std::exp(-std::abs(yq - y0) / sl - dc / sc);
              const float spatial = (dx == 0 && dy == 0) ? 1.0f : (dx == 0 || dy == 0) ? 0.72f : 0.52f;
              const float wgt = spatial * range;
              sr += wgt * q.r;
              sg += wgt * q.g;
              sb += wgt * q.b;
              sw += wgt;
            }
          }
          const float d = std::max(sw, 1e-6f);
          const float o = 0.62f * n;
          p1 = {o * (sr / d) + (1 - o) * p0.r, o * (sg / d) + (1 - o) * p0.g, o * (sb / d) + (1 - o) * p0.b};
        }
        if (c_on) {
          const float yc = std::max(lum(p1), 1e-5f);
          const int offs[9][3] = {{0, 0, 4},   {-r, 0, 2},  {r, 0, 2},   {0, -r, 2}, {0, r, 2},
                                  {-r, -r, 1}, {r, -r, 1}, {-r, r, 1}, {r, r, 1}};
          float acc = 0, ymin = 1e30f, ymax = -1e30f;
          for (const auto& o : offs) {
            const float yi = std::max(lum(src.at(x + o[0], y + o[1])), 1e-5f);
            acc += o[2] * std::log(yi);
            ymin = std::min(ymin, yi);
            ymax = std::max(ymax, yi);
          }
          const float mu = acc / 16.0f;
          const float q = (ymax - ymin) / std::max(ymax, 0.04f);
          const float cm = 1 - ss(c01((q - 0.1f) / 0.28f));
          const float sm = ss(c01((yc - 0.015f) / 0.065f));
          const float hm = 1 - ss(c01((yc - 0.72f) / 0.26f));
          const float amount = k * 0.72f * cm * sm * hm;
          float gain = std::exp((std::log(yc) - mu) * amount);
          gain = std::min(1.0f, yc * gain) / yc;
          p1 = {c01(p1.r * gain), c01(p1.g * gain), c01(p1.b * gain)};
        }
        out[static_cast<std::size_t>(y) * w + x] = p1;
      }
    }
    encode_image(out, buf);
  }
  if (s_on) {
    const Image src = decode_image(buf, w, h);
    std::vector<Lin> out(src.px.size());
    const float s = sharpening / 100.0f;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        float res[3];
        for (int ch = 0; ch < 3; ++ch) {
          auto v = [&](int xx, int yy) {
            const Lin& p = src.at(xx, yy);
            return ch == 0 ? p.r : ch == 1 ? p.g : p.b;
          };
          const float vc = v(x, y), vn = v(x, y - 1), vs = v(x, y + 1), vw = v(x - 1, y), ve = v(x + 1, y);
          const float mn = std::min({vc, vn, vs, vw, ve}), mx = std::max({vc, vn, vs, vw, ve});
          const float margin = (mx - mn) * 0.08f * s;
          const float amp = std::sqrt(std::min(1.0f, std::max(0.0f, std::min(mn, 1 - mx)) / std::max(mx, 1e-5f)));
          const float wgt = -amp / (8 - 3 * s);
          const float val = (vc + wgt * (vn + vs + vw + ve)) / std::max(1 + 4 * wgt, 0.25f);
          res[ch] = c01(std::clamp(val, mn - margin, mx + margin));
        }
        out[static_cast<std::size_t>(y) * w + x] = {res[0], res[1], res[2]};
      }
    }
    encode_image(out, buf);
  }
}

// ---- images -------------------------------------------------------------------

// Smooth gradients with structure and noise, so every mask and filter branch
// gets exercised.
template <typename T>
std::vector<T> textured(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.03f);
  std::vector<T> buf(static_cast<std::size_t>(w) * h * 3);
  const float maxv = sizeof(T) == 1 ? 255.0f : 65535.0f;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float base = 0.5f + 0.45f * std::sin(x * 0.05f) * std::cos(y * 0.11f);
      const bool edge = ((x / 17) + (y / 13)) % 5 == 0;
      for (int ch = 0; ch < 3; ++ch) {
        float v = base * (0.8f + 0.1f * ch) + noise(rng) + (edge ? 0.25f : 0.0f);
        v = std::clamp(v, 0.0f, 1.0f);
        buf[(static_cast<std::size_t>(y) * w + x) * 3 + ch] = static_cast<T>(std::round(v * maxv));
      }
    }
  }
  return buf;
}

template <typename T>
Status run(std::vector<T>& buf, std::uint32_t w, std::uint32_t h, float c, float s, float n) {
  if constexpr (sizeof(T) == 1) {
    return apply_detail_rgb8(buf, w, h, c, s, n);
  } else {
    return apply_detail_rgb16(buf, w, h, c, s, n);
  }
}

struct Controls {
  const char* name;
  float clarity, sharpening, noise;
};
const Controls kControlCases[] = {
    {"clarity", 60.0f, 0.0f, 0.0f},          {"negative_clarity", -100.0f, 0.0f, 0.0f},
    {"sharpening", 0.0f, 70.0f, 0.0f},       {"noise", 0.0f, 0.0f, 55.0f},
    {"all", 35.0f, 40.0f, 25.0f},            {"all_max", 100.0f, 100.0f, 100.0f},
    {"out_of_range", 300.0f, 150.0f, 180.0f},
};

struct Dim {
  int w, h;
};

// Last-bit differences of exp/log may flip a rounding in either pass; the
// sharpening pass can amplify a flipped pass-1 sample up to four times.
template <typename T>
int tolerance(const Controls& c) {
  const bool both = (c.clarity != 0 || c.noise != 0) && c.sharpening > 0;
  return sizeof(T) == 2 && both ? 6 : 1;
}

template <typename T>
void compare_with_reference(int w, int h, const Controls& c) {
  auto buf = textured<T>(w, h, static_cast<unsigned>(w * 31 + h));
  auto want = buf;
  ASSERT_TRUE(run(buf, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), c.clarity, c.sharpening,
                  c.noise));
  reference_detail(want, w, h, c.clarity, c.sharpening, c.noise);
  std::size_t differ = 0;
  for (std::size_t i = 0; i < buf.size(); ++i) {
    const int d = std::abs(static_cast<int>(buf[i]) - static_cast<int>(want[i]));
    ASSERT_LE(d, tolerance<T>(c)) << c.name << " " << w << "x" << h << " sample " << i << " (pixel "
                            << (i / 3) % w << "," << (i / 3) / w << ")";
    differ += d != 0;
  }
  EXPECT_LE(differ, buf.size() / 100 + 2) << c.name;
}

TEST(DetailReference, Rgb16) {
  // 150 rows: three bands, the last one short. 2200 columns: radius 2.
  for (const Dim d : {Dim{97, 150}, Dim{2200, 24}}) {
    for (const auto& c : kControlCases) compare_with_reference<std::uint16_t>(d.w, d.h, c);
  }
}

TEST(DetailReference, Rgb8) {
  for (const Dim d : {Dim{97, 150}, Dim{2200, 24}}) {
    for (const auto& c : kControlCases) compare_with_reference<std::uint8_t>(d.w, d.h, c);
  }
}

TEST(DetailReference, TinyImages) {
  // Widths below the reach and single rows or columns still wrap and clamp.
  for (const Dim d : {Dim{1, 1}, Dim{1, 5}, Dim{5, 1}, Dim{2, 3}, Dim{3, 130}}) {
    for (const auto& c : kControlCases) {
      compare_with_reference<std::uint16_t>(d.w, d.h, c);
      compare_with_reference<std::uint8_t>(d.w, d.h, c);
    }
  }
}

// ---- edge cases -----------------------------------------------------------------

TEST(Detail, AllOffIsBitIdentical) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& c : {Controls{"zero", 0, 0, 0}, Controls{"negative_zero", -0.0f, -0.0f, -0.0f},
                        Controls{"below_epsilon", 1e-7f, 1e-7f, -1e-7f}, Controls{"nan", nan, nan, nan},
                        Controls{"negative_only", 0.0f, -20.0f, -20.0f}}) {
    auto b8 = textured<std::uint8_t>(40, 20, 1);
    const auto b8_before = b8;
    ASSERT_TRUE(apply_detail_rgb8(b8, 40, 20, c.clarity, c.sharpening, c.noise));
    EXPECT_EQ(b8, b8_before) << c.name;
    auto b16 = textured<std::uint16_t>(40, 20, 2);
    const auto b16_before = b16;
    ASSERT_TRUE(apply_detail_rgb16(b16, 40, 20, c.clarity, c.sharpening, c.noise));
    EXPECT_EQ(b16, b16_before) << c.name;
  }
}

TEST(Detail, UniformImageUnchanged) {
  for (const auto& c : kControlCases) {
    for (const std::uint8_t v : {std::uint8_t{0}, std::uint8_t{3}, std::uint8_t{40}, std::uint8_t{118},
                                 std::uint8_t{200}, std::uint8_t{255}}) {
      std::vector<std::uint8_t> b8(30 * 70 * 3, v);
      ASSERT_TRUE(apply_detail_rgb8(b8, 30, 70, c.clarity, c.sharpening, c.noise));
      for (auto s : b8) ASSERT_EQ(s, v) << c.name << " value " << int(v);
    }
    for (const std::uint16_t v : {std::uint16_t{0}, std::uint16_t{500}, std::uint16_t{13107},
                                  std::uint16_t{40000}, std::uint16_t{65535}}) {
      std::vector<std::uint16_t> b16(30 * 70 * 3, v);
      ASSERT_TRUE(apply_detail_rgb16(b16, 30, 70, c.clarity, c.sharpening, c.noise));
      for (auto s : b16) ASSERT_EQ(s, v) << c.name << " value " << v;
    }
  }
}

template <typename T>
std::vector<T> shift_columns(const std::vector<T>& buf, int w, int h, int k) {
  std::vector<T> out(buf.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int to = (x + k) % w;
      for (int ch = 0; ch < 3; ++ch) {
        out[(static_cast<std::size_t>(y) * w + to) * 3 + ch] = buf[(static_cast<std::size_t>(y) * w + x) * 3 + ch];
      }
    }
  }
  return out;
}

TEST(Detail, WrapsHorizontally) {
  // Rolling the panorama sideways and filtering gives the filtered panorama
  // rolled: no column is an edge.
  const int w = 2200, h = 12;
  for (const auto& c : kControlCases) {
    auto a = textured<std::uint16_t>(w, h, 9);
    auto b = shift_columns(a, w, h, 5);
    ASSERT_TRUE(apply_detail_rgb16(a, w, h, c.clarity, c.sharpening, c.noise));
    ASSERT_TRUE(apply_detail_rgb16(b, w, h, c.clarity, c.sharpening, c.noise));
    EXPECT_EQ(shift_columns(a, w, h, 5), b) << c.name;
  }
}

TEST(Detail, ColumnZeroSeesLastColumn) {
  // Flat 0.5 with a darker last column: sharpening changes column 0 (its left
  // neighbour) and column w - 2, nothing in between.
  const int w = 16, h = 4;
  std::vector<std::uint16_t> buf(w * h * 3, 32768);
  for (int y = 0; y < h; ++y)
    for (int ch = 0; ch < 3; ++ch) buf[(y * w + w - 1) * 3 + ch] = 13107;
  ASSERT_TRUE(apply_detail_rgb16(buf, w, h, 0, 100, 0));
  for (int y = 0; y < h; ++y) {
    EXPECT_NE(buf[(y * w + 0) * 3], 32768) << "row " << y;
    EXPECT_NE(buf[(y * w + w - 2) * 3], 32768) << "row " << y;
    for (int x = 1; x < w - 2; ++x) EXPECT_EQ(buf[(y * w + x) * 3], 32768) << x << "," << y;
  }
}

TEST(Detail, Radius) {
  struct Case {
    std::uint32_t width, radius;
  };
  for (const Case c : {Case{0, 1}, Case{1, 1}, Case{1000, 1}, Case{2048, 1}, Case{4096, 3}, Case{8192, 6},
                       Case{20000, 14}}) {
    EXPECT_EQ(detail_radius(c.width), c.radius) << c.width;
  }
}

TEST(Detail, SharpeningExample) {
  // A checkerboard of 0.2 and 0.8: every neighbourhood spans 0.2 .. 0.8, so
  // the weight is -0.1, the divisor 0.6, and the results (1.2 and -0.2) are
  // clipped to 0.8 + 0.048 and 0.2 - 0.048.
  const int w = 8, h = 8;
  std::vector<std::uint16_t> buf(w * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int ch = 0; ch < 3; ++ch) buf[(y * w + x) * 3 + ch] = (x + y) % 2 ? 52428 : 13107;
  ASSERT_TRUE(apply_detail_rgb16(buf, w, h, 0, 100, 0));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int want = (x + y) % 2 ? 55574 : 9961;  // round(0.848 * 65535), round(0.152 * 65535)
      EXPECT_NEAR(buf[(y * w + x) * 3], want, 1) << x << "," << y;
    }
  }
}

TEST(Detail, ClarityMasks) {
  auto grey_texture = [](float lo, float hi, int w, int h) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<std::uint16_t> buf(static_cast<std::size_t>(w) * h * 3);
    for (std::size_t i = 0; i < buf.size(); i += 3) {
      const auto v = static_cast<std::uint16_t>(std::round(d(rng) * 65535.0f));
      buf[i] = buf[i + 1] = buf[i + 2] = v;
    }
    return buf;
  };
  // Highlights (Yc >= 0.98) and deep shadows (Yc <= 0.015) are left alone.
  for (auto [lo, hi] : {std::pair{0.985f, 1.0f}, std::pair{0.0f, 0.014f}}) {
    auto buf = grey_texture(lo, hi, 50, 30);
    const auto before = buf;
    ASSERT_TRUE(apply_detail_rgb16(buf, 50, 30, 100, 0, 0));
    EXPECT_EQ(buf, before) << lo;
  }
  // Strong edges (local contrast q >= 0.38) are left alone: alternating
  // columns of 0.2 and 0.5 give q = 0.6 everywhere.
  std::vector<std::uint16_t> stripes(40 * 10 * 3);
  for (std::size_t i = 0; i < stripes.size(); ++i) stripes[i] = (i / 3) % 2 ? 32768 : 13107;
  const auto before = stripes;
  ASSERT_TRUE(apply_detail_rgb16(stripes, 40, 10, 100, 0, 0));
  EXPECT_EQ(stripes, before);
}

double luminance_spread(const std::vector<std::uint16_t>& buf) {
  double sum = 0, sq = 0;
  const double n = static_cast<double>(buf.size() / 3);
  for (std::size_t i = 0; i < buf.size(); i += 3) {
    const double y = (0.2126 * buf[i] + 0.7152 * buf[i + 1] + 0.0722 * buf[i + 2]) / 65535.0;
    sum += y;
    sq += y * y;
  }
  return std::sqrt(sq / n - (sum / n) * (sum / n));
}

TEST(Detail, ClarityDirectionAndCeiling) {
  // Gentle texture around mid grey.
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> d(0.3f, 0.4f);
  std::vector<std::uint16_t> base(60 * 30 * 3);
  for (std::size_t i = 0; i < base.size(); i += 3) {
    const auto v = static_cast<std::uint16_t>(std::round(d(rng) * 65535.0f));
    base[i] = base[i + 1] = base[i + 2] = v;
  }
  auto flatter = base, punchier = base;
  ASSERT_TRUE(apply_detail_rgb16(flatter, 60, 30, -100, 0, 0));
  ASSERT_TRUE(apply_detail_rgb16(punchier, 60, 30, 100, 0, 0));
  EXPECT_LT(luminance_spread(flatter), luminance_spread(base));
  EXPECT_GT(luminance_spread(punchier), luminance_spread(base));

  // Clarity 100 on bright texture never lifts luminance past 1.
  std::uniform_real_distribution<float> bright(0.6f, 1.0f);
  std::vector<std::uint16_t> hi(60 * 30 * 3);
  for (auto& s : hi) s = static_cast<std::uint16_t>(std::round(bright(rng) * 65535.0f));
  ASSERT_TRUE(apply_detail_rgb16(hi, 60, 30, 100, 0, 0));
  for (std::size_t i = 0; i < hi.size(); i += 3) {
    const double y = (0.2126 * hi[i] + 0.7152 * hi[i + 1] + 0.0722 * hi[i + 2]) / 65535.0;
    ASSERT_LE(y, 1.0 + 1e-6);
  }
}

TEST(Detail, NoiseReductionSmoothsNoise) {
  std::mt19937 rng(12);
  std::normal_distribution<float> d(0.4f, 0.01f);
  std::vector<std::uint16_t> buf(60 * 30 * 3);
  for (std::size_t i = 0; i < buf.size(); i += 3) {
    const auto v = static_cast<std::uint16_t>(std::round(std::clamp(d(rng), 0.0f, 1.0f) * 65535.0f));
    buf[i] = buf[i + 1] = buf[i + 2] = v;
  }
  const double before = luminance_spread(buf);
  ASSERT_TRUE(apply_detail_rgb16(buf, 60, 30, 0, 0, 80));
  EXPECT_LT(luminance_spread(buf), before * 0.8);
}

TEST(Detail, BufferLengthMessage) {
  std::vector<std::uint16_t> b16(299, 7);
  const Status s16 = apply_detail_rgb16(b16, 10, 10, 10, 10, 10);
  ASSERT_FALSE(s16.has_value());
  EXPECT_EQ(s16.error().kind(), ErrorKind::Export);
  EXPECT_EQ(s16.error().code(), ErrorCode::WriteFailed);
  EXPECT_EQ(s16.error().text(), "Invalid detail buffer length: expected 300, received 299");
  EXPECT_EQ(b16, std::vector<std::uint16_t>(299, 7));

  std::vector<std::uint8_t> b8(301, 7);
  const Status s8 = apply_detail_rgb8(b8, 10, 10, 0, 0, 0);
  ASSERT_FALSE(s8.has_value());
  EXPECT_EQ(s8.error().text(), "Invalid detail buffer length: expected 300, received 301");
  EXPECT_EQ(b8, std::vector<std::uint8_t>(301, 7));

  // The expected count does not wrap around for huge sizes.
  const Status huge = apply_detail_rgb8(b8, 100000, 100000, 0, 0, 0);
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error().text(), "Invalid detail buffer length: expected 30000000000, received 301");
}

TEST(Detail, EmptyImagesSucceed) {
  std::vector<std::uint8_t> none;
  EXPECT_TRUE(apply_detail_rgb8(none, 0, 0, 50, 50, 50));
  EXPECT_TRUE(apply_detail_rgb8(none, 0, 12, 50, 50, 50));
  std::vector<std::uint16_t> none16;
  EXPECT_TRUE(apply_detail_rgb16(none16, 12, 0, 50, 50, 50));
}

}  // namespace
}  // namespace stitch
