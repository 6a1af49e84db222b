// The automatic colour suggestion on small synthetic equirectangular images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "color/color.hpp"

namespace stitch {
namespace {

std::vector<std::uint8_t> uniform(std::uint32_t w, std::uint32_t h, std::uint8_t r, std::uint8_t g,
                                  std::uint8_t b) {
  std::vector<std::uint8_t> v(std::size_t{w} * h * 3);
  for (std::size_t i = 0; i < v.size(); i += 3) {
    v[i] = r;
    v[i + 1] = g;
    v[i + 2] = b;
  }
  return v;
}

std::optional<ColorAdjustments> suggest(const std::vector<std::uint8_t>& px, std::uint32_t w, std::uint32_t h,
                                        bool active = false, float iso = 0.0f, bool nr = true) {
  return suggest_auto_from_srgb8_with_profile(px, w, h, nr, iso, active);
}

TEST(Suggest, UniformGrey118Neutral) {
  const auto s = suggest(uniform(64, 32, 118, 118, 118), 64, 32);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->version, 2);
  EXPECT_FLOAT_EQ(s->exposureEv, 0.0f);
  EXPECT_FLOAT_EQ(s->brightness, 0.0f);
  EXPECT_FLOAT_EQ(s->contrast, 25.0f);
  EXPECT_FLOAT_EQ(s->highlights, 20.0f);
  EXPECT_FLOAT_EQ(s->shadows, -20.0f);
  EXPECT_FLOAT_EQ(s->saturation, 8.0f);
  EXPECT_FLOAT_EQ(s->vibrance, 28.0f);
  EXPECT_FLOAT_EQ(s->warmth, 0.0f);
  EXPECT_FLOAT_EQ(s->tint, 0.0f);
  EXPECT_FLOAT_EQ(s->clarity, 10.0f);
  EXPECT_FLOAT_EQ(s->sharpening, 12.0f);
  EXPECT_FLOAT_EQ(s->noiseReduction, 0.0f);
  // No negative zeros leak into the wire values.
  EXPECT_FALSE(std::signbit(s->exposureEv));
  EXPECT_FALSE(std::signbit(s->warmth));
  EXPECT_FALSE(std::signbit(s->tint));
}

struct SizeCase {
  std::uint32_t w, h;
  std::ptrdiff_t length_delta;
  bool present;
};

class SuggestSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SuggestSizes, EnoughPixelsAndMatchingBuffer) {
  const auto& c = GetParam();
  auto px = uniform(c.w, c.h, 118, 118, 118);
  if (c.length_delta < 0) px.resize(px.size() - static_cast<std::size_t>(-c.length_delta));
  if (c.length_delta > 0) px.resize(px.size() + static_cast<std::size_t>(c.length_delta), 118);
  EXPECT_EQ(suggest(px, c.w, c.h).has_value(), c.present);
}

INSTANTIATE_TEST_SUITE_P(Cases, SuggestSizes,
                         ::testing::Values(SizeCase{32, 32, 0, true},    // 1024 pixels
                                           SizeCase{31, 33, 0, false},   // 1023 pixels
                                           SizeCase{0, 512, 0, false},
                                           SizeCase{512, 0, 0, false},
                                           SizeCase{32, 32, -1, false},  // one byte short
                                           SizeCase{32, 32, 1, false}));

TEST(Suggest, AllBlackAndTooDarkGiveNothing) {
  EXPECT_FALSE(suggest(uniform(64, 32, 0, 0, 0), 64, 32).has_value());
  // Byte 0 decodes to exactly 0; a mostly-black image with only a few lit
  // pixels is not judged either.
  auto px = uniform(64, 32, 0, 0, 0);
  for (std::size_t i = 0; i < 3 * 1000; ++i) px[i] = 120;
  EXPECT_FALSE(suggest(px, 64, 32).has_value());
}

// The luminance histogram value a uniform grey lands on.
double uniform_percentile(std::uint8_t v) {
  const float x = v / 255.0f;
  const float lin = x <= 0.04045f ? x / 12.92f : std::pow((x + 0.055f) / 1.055f, 2.4f);
  const float y = 0.2126f * lin + 0.7152f * lin + 0.0722f * lin;
  const float pos = std::clamp((std::log2(y) + 12.0f) / 12.0f, 0.0f, 1.0f);
  const int bin = std::min(static_cast<int>(std::round(pos * 383.0f)), 383);
  return std::exp2(bin / 383.0 * 12.0 - 12.0);
}

double filmic(double x) { return std::min(1.0, x * (2.51 * x + 0.03) / (x * (2.43 * x + 0.59) + 0.14)); }
double inv(double target) {
  double lo = 0, hi = 64;
  for (int i = 0; i < 24; ++i) {
    const double mid = (lo + hi) / 2;
    if (filmic(std::max(mid, 0.0)) < target) lo = mid; else hi = mid;
  }
  return (lo + hi) / 2;
}
double natural_ev_before_dead_zone(std::uint8_t v) {
  const double p = uniform_percentile(v);
  const double a = std::log2(inv(0.18) / std::max(inv(std::min(p, 0.999)), 1e-5));
  const double b = std::log2(inv(0.98) / std::max(inv(std::min(p, 0.999)), 1e-5));
  return std::clamp(std::min(a, b), -1.5, 1.5);
}

TEST(Suggest, NaturalProfileExposureDeadZone) {
  int small_positive = 0, clearly_negative = 0;
  for (int v = 20; v < 256; ++v) {
    const auto b = static_cast<std::uint8_t>(v);
    const double ev = natural_ev_before_dead_zone(b);
    const auto s = suggest(uniform(64, 32, b, b, b), 64, 32, /*active=*/true);
    ASSERT_TRUE(s.has_value());
    if (ev > 0.05 && ev <= 0.25) {
      ++small_positive;
      EXPECT_FLOAT_EQ(s->exposureEv, 0.0f) << "grey " << v << " ev " << ev;
    } else if (ev >= -0.95 && ev < -0.76) {
      ++clearly_negative;
      EXPECT_FLOAT_EQ(s->exposureEv, static_cast<float>(std::round(ev * 10) / 10)) << "grey " << v;
      EXPECT_LT(s->exposureEv, -0.75f);
    } else if (ev >= -0.75 && ev <= 0.25) {
      EXPECT_FLOAT_EQ(s->exposureEv, 0.0f) << "grey " << v;
    }
  }
  EXPECT_GT(small_positive, 0);
  EXPECT_GT(clearly_negative, 0);
}

TEST(Suggest, NeutralProfileKeepsSmallExposure) {
  // A grey one stop under mid grey asks for about +1 EV with the neutral profile.
  const auto s = suggest(uniform(64, 32, 84, 84, 84), 64, 32);
  ASSERT_TRUE(s.has_value());
  const double p = uniform_percentile(84);
  const double ev = std::clamp(std::min(std::log2(0.18 / p), std::log2(0.95 / p)), -1.5, 1.5);
  EXPECT_FLOAT_EQ(s->exposureEv, static_cast<float>(std::round(ev * 10) / 10));
  EXPECT_GT(s->exposureEv, 0.5f);
}

TEST(Suggest, ColourfulSceneSaturation) {
  // Linear saturation about 0.67: the neutral profile asks for -8, the
  // natural profile never lowers saturation.
  const auto px = uniform(64, 32, 200, 120, 120);
  const auto neutral = suggest(px, 64, 32, false);
  const auto natural = suggest(px, 64, 32, true);
  ASSERT_TRUE(neutral && natural);
  EXPECT_FLOAT_EQ(neutral->saturation, -8.0f);
  EXPECT_FLOAT_EQ(natural->saturation, 0.0f);
  EXPECT_FLOAT_EQ(natural->vibrance, 0.0f);
}

struct IsoCase {
  float iso;
  bool flag;
  float expected;
};
class SuggestNoise : public ::testing::TestWithParam<IsoCase> {};
TEST_P(SuggestNoise, FromIso) {
  const auto& c = GetParam();
  const auto s = suggest(uniform(32, 32, 118, 118, 118), 32, 32, false, c.iso, c.flag);
  ASSERT_TRUE(s.has_value());
  EXPECT_FLOAT_EQ(s->noiseReduction, c.expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, SuggestNoise,
                         ::testing::Values(IsoCase{1600, true, 3.8f}, IsoCase{0, true, 0.0f},
                                           IsoCase{100, true, 0.0f}, IsoCase{400, true, 1.5f},
                                           IsoCase{6400, true, 6.0f}, IsoCase{1600, false, 0.0f},
                                           IsoCase{std::numeric_limits<float>::infinity(), true, 0.0f},
                                           IsoCase{std::numeric_limits<float>::quiet_NaN(), true, 0.0f}));

TEST(Suggest, WhiteBalanceUndoesACast) {
  // Neutral grey seen through warmth +10 (red up 2^0.05, blue down): the
  // suggestion asks for warmth -10 to bring it back.
  const float lin = 0.2f;
  auto enc = [](float q) {
    const float e = q <= 0.0031308f ? 12.92f * q : 1.055f * std::pow(q, 1.0f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::round(std::clamp(e, 0.0f, 1.0f) * 255.0f));
  };
  const auto px = uniform(64, 32, enc(lin * std::exp2(0.05f)), enc(lin), enc(lin * std::exp2(-0.05f)));
  const auto s = suggest(px, 64, 32);
  ASSERT_TRUE(s.has_value());
  EXPECT_NEAR(s->warmth, -10.0f, 1.0f);
  EXPECT_NEAR(s->tint, 0.0f, 1.5f);
}

TEST(Suggest, TextureLowersClarityAndSharpening) {
  // Alternating columns: large left-neighbour differences.
  std::vector<std::uint8_t> px(64 * 32 * 3);
  for (std::size_t i = 0; i < px.size(); i += 3) {
    const std::uint8_t v = (i / 3) % 2 ? 90 : 160;
    px[i] = px[i + 1] = px[i + 2] = v;
  }
  const auto s = suggest(px, 64, 32);
  ASSERT_TRUE(s.has_value());
  EXPECT_FLOAT_EQ(s->clarity, -5.0f);
  EXPECT_FLOAT_EQ(s->sharpening, -5.0f);
}

TEST(Suggest, ValuesHaveOneDecimal) {
  std::vector<std::uint8_t> px(96 * 48 * 3);
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>((i * 37 + i / 7) % 256);
  const auto s = suggest(px, 96, 48, true, 800.0f);
  ASSERT_TRUE(s.has_value());
  for (float v : {s->exposureEv, s->contrast, s->highlights, s->shadows, s->saturation, s->vibrance,
                  s->warmth, s->tint, s->clarity, s->sharpening, s->noiseReduction}) {
    EXPECT_NEAR(v * 10.0f, std::round(v * 10.0f), 1e-3f) << v;
  }
}

}  // namespace
}  // namespace stitch
