// The colour transform: a literal step-by-step version kept here is the
// yardstick for the prepared pipeline, plus the documented edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "color/color.hpp"

namespace stitch {
namespace {

using Px = std::array<float, 3>;

float lum(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }
float smoothstep(float e0, float e1, float x) {
  const float u = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return u * u * (3.0f - 2.0f * u);
}
float norm(float v) { return std::clamp(v / 100.0f, -1.0f, 1.0f); }

// Every step written out as stated, nothing hoisted or skipped.
Px reference_color(Px p, const ColorAdjustments& a, const RenderProfileParams& prof) {
  const bool zero = a.exposureEv == 0 && a.brightness == 0 && a.contrast == 0 && a.highlights == 0 &&
                    a.shadows == 0 && a.saturation == 0 && a.vibrance == 0 && a.warmth == 0 &&
                    a.tint == 0 && a.clarity == 0 && a.sharpening == 0 && a.noiseReduction == 0;
  if (zero && !prof.active) return p;
  const float w = norm(a.warmth), t = norm(a.tint), h = norm(a.highlights), s = norm(a.shadows),
              b = norm(a.brightness), k = norm(a.contrast);
  const float sat = norm(a.saturation + prof.saturation_boost);
  const float vib = norm(a.vibrance + prof.vibrance_boost);
  float r = std::max(p[0], 0.0f) * std::exp2(0.5f * w + 0.125f * t);
  float g = std::max(p[1], 0.0f) * std::exp2(-0.25f * t);
  float bl = std::max(p[2], 0.0f) * std::exp2(0.125f * t - 0.5f * w);
  const float e = std::exp2(std::clamp(a.exposureEv, -3.0f, 3.0f) + prof.base_exposure_ev);
  r *= e;
  g *= e;
  bl *= e;
  if (prof.active) {
    const float y = lum(r, g, bl);
    if (y > 1e-7f) {
      const float f = y * (2.51f * y + 0.03f) / (y * (2.43f * y + 0.59f) + 0.14f);
      const float m = std::min(f, 1.0f) / y;
      r = std::max(r * m, 0.0f);
      g = std::max(g * m, 0.0f);
      bl = std::max(bl * m, 0.0f);
    }
  }
  const float y = lum(r, g, bl);
  if (y > 1e-7f) {
    const float yc = std::min(y, 1.0f);
    const float hw = smoothstep(0.45f, 1.0f, yc);
    const float sw = 1.0f - smoothstep(0.0f, 0.55f, yc);
    const float y1 = y * std::exp2(h * hw + s * sw);
    const float y2 = std::pow(std::max(y1, 0.0f), std::exp2(-0.75f * b));
    const float y3 = 0.18f * std::pow(std::max(y2, 1e-7f) / 0.18f, std::exp2(0.5f * k));
    r *= y3 / y;
    g *= y3 / y;
    bl *= y3 / y;
  }
  const float l = lum(r, g, bl);
  const float mx = std::max({r, g, bl, 0.0f});
  const float mn = std::min({r, g, bl});
  const float sv = mx > 1e-7f ? std::clamp((mx - mn) / mx, 0.0f, 1.0f) : 0.0f;
  const float v = vib >= 0 ? 1.0f + vib * (1.0f - sv) : 1.0f + vib;
  const float f = std::max((1.0f + sat) * v, 0.0f);
  r = std::max(l + (r - l) * f, 0.0f);
  g = std::max(l + (g - l) * f, 0.0f);
  bl = std::max(l + (bl - l) * f, 0.0f);
  const float m = std::max({r, g, bl});
  if (m > 1.0f) {
    r /= m;
    g /= m;
    bl /= m;
  }
  return {r, g, bl};
}

RenderProfileParams natural_profile() {
  RenderProfileParams p;
  p.base_exposure_ev = 0.7f;
  p.iso = 400.0f;
  p.saturation_boost = 4.0f;
  p.vibrance_boost = 12.0f;
  p.clarity_boost = 15.0f;
  p.sharpening_boost = 25.0f;
  p.noise_reduction = 10.0f;
  p.active = true;
  return p;
}

ColorAdjustments adj(std::initializer_list<std::pair<float ColorAdjustments::*, float>> values) {
  ColorAdjustments a;
  for (const auto& [member, value] : values) a.*member = value;
  return a;
}

struct PipelineCase {
  std::string name;
  ColorAdjustments adjustments;
  RenderProfileParams profile;
};

class PipelineMatchesReference : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(PipelineMatchesReference, OverRandomPixels) {
  const auto& c = GetParam();
  const ColorPipeline pipeline(c.adjustments, c.profile);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-0.1f, 1.6f);
  for (int i = 0; i < 20000; ++i) {
    Px p{d(rng), d(rng), d(rng)};
    if (i % 7 == 0) p = {p[0], p[0], p[0]};
    if (i % 11 == 0) p = {p[0] * 1e-4f, p[1] * 1e-4f, p[2] * 1e-4f};
    const Px want = reference_color(p, c.adjustments, c.profile);
    const Px got = pipeline.apply(p);
    const Px single = apply_color_with_profile(p, c.adjustments, c.profile);
    for (int ch = 0; ch < 3; ++ch) {
      ASSERT_NEAR(got[ch], want[ch], 2e-6f + 2e-6f * std::abs(want[ch]))
          << c.name << " pixel " << p[0] << "," << p[1] << "," << p[2] << " channel " << ch;
      ASSERT_EQ(got[ch], single[ch]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PipelineMatchesReference,
    ::testing::Values(
        PipelineCase{"neutral", {}, {}},
        PipelineCase{"natural_profile_only", {}, natural_profile()},
        PipelineCase{"exposure", adj({{&ColorAdjustments::exposureEv, 1.3f}}), {}},
        PipelineCase{"white_balance",
                     adj({{&ColorAdjustments::warmth, -40.0f}, {&ColorAdjustments::tint, 65.0f}}), {}},
        PipelineCase{"highlights_shadows",
                     adj({{&ColorAdjustments::highlights, -70.0f}, {&ColorAdjustments::shadows, 55.0f}}),
                     {}},
        PipelineCase{"brightness_contrast",
                     adj({{&ColorAdjustments::brightness, 35.0f}, {&ColorAdjustments::contrast, -60.0f}}),
                     {}},
        PipelineCase{"saturation_vibrance",
                     adj({{&ColorAdjustments::saturation, -30.0f}, {&ColorAdjustments::vibrance, 80.0f}}),
                     {}},
        PipelineCase{"negative_vibrance", adj({{&ColorAdjustments::vibrance, -45.0f}}), {}},
        PipelineCase{"out_of_range_sliders",
                     adj({{&ColorAdjustments::contrast, 250.0f},
                          {&ColorAdjustments::brightness, -300.0f},
                          {&ColorAdjustments::exposureEv, 7.0f}}),
                     {}},
        PipelineCase{"everything_natural",
                     adj({{&ColorAdjustments::exposureEv, -0.6f},
                          {&ColorAdjustments::brightness, 12.0f},
                          {&ColorAdjustments::contrast, 18.0f},
                          {&ColorAdjustments::highlights, -25.0f},
                          {&ColorAdjustments::shadows, 30.0f},
                          {&ColorAdjustments::saturation, 10.0f},
                          {&ColorAdjustments::vibrance, 20.0f},
                          {&ColorAdjustments::warmth, 8.0f},
                          {&ColorAdjustments::tint, -6.0f},
                          {&ColorAdjustments::clarity, 20.0f}}),
                     natural_profile()}),
    [](const auto& param_info) { return param_info.param.name; });

void expect_px_near(const Px& got, const Px& want, float tol = 2e-6f) {
  for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(got[ch], want[ch], tol) << "channel " << ch;
}

TEST(ColorPipeline, PassThroughKeepsValuesAboveOne) {
  const Px out = apply_color_with_profile({1.5f, 0.2f, 0.1f}, ColorAdjustments{}, RenderProfileParams{});
  EXPECT_EQ(out, (Px{1.5f, 0.2f, 0.1f}));
  EXPECT_TRUE(ColorPipeline(ColorAdjustments{}, RenderProfileParams{}).pass_through());
  EXPECT_FALSE(ColorPipeline(ColorAdjustments{}, natural_profile()).pass_through());
}

TEST(ColorPipeline, DetailOnlyMemberStillRunsEverySteps) {
  for (auto member : {&ColorAdjustments::noiseReduction, &ColorAdjustments::clarity,
                      &ColorAdjustments::sharpening}) {
    const Px out = apply_color_with_profile({1.5f, 0.2f, 0.1f}, adj({{member, 10.0f}}), {});
    expect_px_near(out, {1.0f, 2.0f / 15.0f, 1.0f / 15.0f});
  }
}

TEST(ColorPipeline, ExposureGains) {
  // Mid grey doubles; the tone step then keeps the luminance where it is.
  expect_px_near(apply_color_with_profile({0.2f, 0.2f, 0.2f}, adj({{&ColorAdjustments::exposureEv, 1.0f}}), {}),
                 {0.4f, 0.4f, 0.4f});
  RenderProfileParams darker;
  darker.base_exposure_ev = -0.5f;
  const float gain = std::exp2(2.5f);
  expect_px_near(
      apply_color_with_profile({0.05f, 0.05f, 0.05f}, adj({{&ColorAdjustments::exposureEv, 3.0f}}), darker),
      {0.05f * gain, 0.05f * gain, 0.05f * gain});
}

TEST(ColorPipeline, SaturationMinus100TurnsGrey) {
  const auto a = adj({{&ColorAdjustments::saturation, -100.0f}});
  for (const Px p : {Px{0.6f, 0.3f, 0.1f}, Px{0.05f, 0.5f, 0.9f}, Px{1.0f, 0.0f, 0.0f}}) {
    const Px out = apply_color_with_profile(p, a, {});
    const float y = lum(p[0], p[1], p[2]);
    expect_px_near(out, {y, y, y});
  }
}

TEST(ColorPipeline, Vibrance100FavoursWeakColour) {
  const auto a = adj({{&ColorAdjustments::vibrance, 100.0f}});
  // Fully saturated: F = 1, the pixel keeps its distance from the luminance.
  expect_px_near(apply_color_with_profile({0.5f, 0.2f, 0.0f}, a, {}), {0.5f, 0.2f, 0.0f});
  // Nearly grey: S = 0.02, F = 1.98.
  const Px p{0.5f, 0.49f, 0.5f};
  const Px out = apply_color_with_profile(p, a, {});
  const float l = lum(p[0], p[1], p[2]);
  const float f = 2.0f - 0.02f;
  expect_px_near(out, {l + (p[0] - l) * f, l + (p[1] - l) * f, l + (p[2] - l) * f});
  // Exactly grey stays grey.
  const Px grey = apply_color_with_profile({0.3f, 0.3f, 0.3f}, a, {});
  EXPECT_EQ(grey[0], grey[1]);
  EXPECT_EQ(grey[1], grey[2]);
  EXPECT_NEAR(grey[0], 0.3f, 2e-6f);
}

TEST(ColorPipeline, Warmth100Gains) {
  const Px out = apply_color_with_profile({0.1f, 0.1f, 0.1f}, adj({{&ColorAdjustments::warmth, 100.0f}}), {});
  const float y = lum(0.1f * std::sqrt(2.0f), 0.1f, 0.1f / std::sqrt(2.0f));
  // The tone step rescales only by Y3 / Y, which is 1 here up to rounding.
  EXPECT_NEAR(out[0] / out[1], std::sqrt(2.0f), 1e-5f);
  EXPECT_NEAR(out[2] / out[1], 1.0f / std::sqrt(2.0f), 1e-5f);
  EXPECT_NEAR(lum(out[0], out[1], out[2]), y, 1e-6f);
}

TEST(ColorPipeline, FilmicOnlyWithActiveProfile) {
  RenderProfileParams active;
  active.active = true;
  // Neutral sliders with the curve: 0.18 maps to f(0.18).
  const float y = 0.18f;
  const float f = y * (2.51f * y + 0.03f) / (y * (2.43f * y + 0.59f) + 0.14f);
  const Px out = apply_color_with_profile({y, y, y}, {}, active);
  EXPECT_NEAR(out[0], f, 1e-6f);
  // Very bright input is compressed to at most 1.
  const Px bright = apply_color_with_profile({40.0f, 30.0f, 20.0f}, {}, active);
  EXPECT_LE(std::max({bright[0], bright[1], bright[2]}), 1.0f);
}

TEST(ColorPipeline, NonFiniteInputsStayFinite) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const auto a = adj({{&ColorAdjustments::warmth, nan}, {&ColorAdjustments::contrast, 20.0f}});
  const Px out = apply_color_with_profile({0.3f, 0.2f, 0.1f}, a, {});
  for (float c : out) EXPECT_TRUE(std::isfinite(c));
  const Px out2 = apply_color_with_profile({nan, 0.2f, 0.1f}, adj({{&ColorAdjustments::contrast, 20.0f}}), {});
  for (float c : out2) EXPECT_TRUE(std::isfinite(c));
  auto ev = adj({{&ColorAdjustments::exposureEv, nan}});
  const Px out3 = apply_color_with_profile({0.3f, 0.2f, 0.1f}, ev, {});
  for (float c : out3) EXPECT_TRUE(std::isfinite(c));
}

// ---- 8-bit sRGB buffers -----------------------------------------------------

float decode_ref(std::uint8_t v) {
  const float x = v / 255.0f;
  return x <= 0.04045f ? x / 12.92f : std::pow((x + 0.055f) / 1.055f, 2.4f);
}
std::uint8_t encode_ref(float q) {
  q = std::max(q, 0.0f);
  float e = q <= 0.0031308f ? 12.92f * q : 1.055f * std::pow(q, 0.41666666f) - 0.055f;
  e = std::clamp(e, 0.0f, 1.0f);
  return static_cast<std::uint8_t>(std::clamp(std::round(e * 255.0f), 0.0f, 255.0f));
}

TEST(ColorSrgb8, TransferFunctionsRoundTripEveryByte) {
  for (int v = 0; v < 256; ++v) {
    const auto b = static_cast<std::uint8_t>(v);
    EXPECT_EQ(srgb8_to_linear(b), decode_ref(b));
    EXPECT_EQ(linear_to_srgb8(srgb8_to_linear(b)), b);
  }
  EXPECT_EQ(linear_to_srgb8(-1.0f), 0);
  EXPECT_EQ(linear_to_srgb8(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(linear_to_srgb8(std::numeric_limits<float>::infinity()), 255);
  EXPECT_EQ(linear_to_srgb8(7.0f), 255);
}

TEST(ColorSrgb8, EncoderAgreesWithTheCurveEverywhere) {
  // A strided sweep over every float in [0, 1], plus the floats next to each
  // code boundary the sweep finds.
  std::uint32_t previous_bits = 0;
  std::uint8_t previous_code = 0;
  for (std::uint64_t bits = 0; bits <= 0x3f800000u; bits += 211) {
    float x;
    const auto b32 = static_cast<std::uint32_t>(bits);
    std::memcpy(&x, &b32, sizeof x);
    const std::uint8_t code = encode_ref(x);
    ASSERT_EQ(linear_to_srgb8(x), code) << x;
    if (code != previous_code) {
      for (std::uint32_t nb = previous_bits; nb <= b32; ++nb) {
        float y;
        std::memcpy(&y, &nb, sizeof y);
        ASSERT_EQ(linear_to_srgb8(y), encode_ref(y)) << y;
      }
    }
    previous_bits = b32;
    previous_code = code;
  }
  for (float x : {1.0f, 1.0000001f, 2.0f, 1e30f, -0.0f, -1e-30f}) EXPECT_EQ(linear_to_srgb8(x), encode_ref(x)) << x;
}

TEST(ColorSrgb8, PassThroughLeavesBufferAlone) {
  std::vector<std::uint8_t> buf(3 * 50);
  std::mt19937 rng(3);
  for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
  const auto before = buf;
  apply_color_to_srgb8_with_profile(buf, ColorAdjustments{}, RenderProfileParams{});
  EXPECT_EQ(buf, before);
}

TEST(ColorSrgb8, MatchesPerPixelTransformAndKeepsPartialTriple) {
  const auto a = adj({{&ColorAdjustments::contrast, 30.0f},
                      {&ColorAdjustments::warmth, 15.0f},
                      {&ColorAdjustments::vibrance, 40.0f}});
  std::vector<std::uint8_t> buf(3 * 300 + 2);
  std::mt19937 rng(5);
  for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
  const auto before = buf;
  apply_color_to_srgb8_with_profile(buf, a, natural_profile());
  for (std::size_t i = 0; i + 2 < before.size(); i += 3) {
    const Px out = reference_color({decode_ref(before[i]), decode_ref(before[i + 1]), decode_ref(before[i + 2])},
                                   a, natural_profile());
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(buf[i + ch], encode_ref(out[ch])) << "pixel " << i / 3;
    }
  }
  EXPECT_EQ(buf[buf.size() - 2], before[before.size() - 2]);
  EXPECT_EQ(buf[buf.size() - 1], before[before.size() - 1]);
}

TEST(ColorSrgb8, ClarityOnlyKeepsBlackAndWhite) {
  std::vector<std::uint8_t> buf{0, 0, 0, 255, 255, 255};
  apply_color_to_srgb8_with_profile(buf, adj({{&ColorAdjustments::clarity, 40.0f}}), {});
  EXPECT_EQ(buf, (std::vector<std::uint8_t>{0, 0, 0, 255, 255, 255}));
}

}  // namespace
}  // namespace stitch
