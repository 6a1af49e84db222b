// Recovery on synthetic pairs made with a known DOWN misalignment, exposure
// difference or occluder: what the preparation finds must match the truth.
//
// In this lens model yaw and roll both turn a lens about its own axis, so for
// the DOWN lens only yaw + roll is observable; the checks use that sum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "stitch/prepare.hpp"
#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

StitchSettings request() {
  StitchSettings s = requests::default_settings(4096);
  s.seamFeatherDegrees = 0.5f;
  s.multibandLevels = 1;
  return s;
}

LensTransform misaligned_down() {
  LensTransform t;
  t.yawDegrees = 0.6f;
  t.rollDegrees = -0.4f;
  t.centerX = 0.002f;
  t.centerY = 0.002f;
  t.radiusScale = 1.004f;
  return t;
}

float rotation(const LensTransform& t) { return t.yawDegrees + t.rollDegrees; }

// What a JPEG source goes through: sRGB encoding with a little sensor noise
// (sigma in 8-bit code values), rounding to 8 bits, and decoding back to
// linear light. A noise-free rendering has a cost of almost exactly zero at
// the true transform, which no search on a grid of steps can match within
// 10 %; real sources have this floor.
void as_jpeg_source(LinearImage& image, float sigma_codes, std::uint64_t seed) {
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  auto uniform = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(state >> 11) + 0.5) / static_cast<double>(1ull << 53);
  };
  for (float& v : image.pixels) {
    const double gauss = std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307 * uniform());
    const double linear = std::clamp(static_cast<double>(v), 0.0, 1.0);
    const double encoded =
        linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
    const double code = std::clamp(std::round(encoded * 255.0 + gauss * sigma_codes), 0.0, 255.0);
    const double e = code / 255.0;
    v = static_cast<float>(e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4));
  }
}

TEST(JpegAlignment, RecoversAKnownDownMisalignment) {
  pairs::PairOptions o;
  o.size = 512;
  o.down = misaligned_down();
  o.down_exposure = {0.8f, 0.8f, 0.8f};  // the cost must not care
  const pairs::Pair clean = pairs::render_pair(o);
  const StitchSettings s = request();
  const std::uint32_t w = 1024;

  for (std::uint64_t seed : {1u, 2u, 3u}) {
    pairs::Pair pair = clean;
    as_jpeg_source(pair.up, 1.5f, seed);
    as_jpeg_source(pair.down, 1.5f, seed + 100);
    const AlignmentResult fit = align_jpeg_pair(pair.up, pair.down, s, w);
    const float true_cost = jpeg_alignment_cost(pair.up, pair.down, s, o.down, w);
    const float start_cost = jpeg_alignment_cost(pair.up, pair.down, s, s.down, w);
    std::printf("seed %d: rotation (yaw+roll) %.4f (truth %.4f)\n", static_cast<int>(seed),
                rotation(fit.down), rotation(o.down));
    std::printf("  centre (%.5f, %.5f) (truth (%.5f, %.5f)), radius scale %.5f (truth %.5f)\n",
                fit.down.centerX, fit.down.centerY, o.down.centerX, o.down.centerY,
                fit.down.radiusScale, o.down.radiusScale);
    std::printf("  cost %.6f, at the truth %.6f, at the start %.6f\n", fit.cost, true_cost,
                start_cost);

    EXPECT_EQ(fit.evaluations, 190u);
    EXPECT_NEAR(rotation(fit.down), rotation(o.down), 0.1f) << "seed " << seed;
    EXPECT_LE(fit.cost, 1.1f * true_cost) << "seed " << seed;
    EXPECT_LT(fit.cost, 0.8f * start_cost) << "seed " << seed;
    EXPECT_NEAR(fit.down.radiusScale, o.down.radiusScale, 0.002f) << "seed " << seed;
    EXPECT_NEAR(fit.down.centerX, o.down.centerX, 0.001f) << "seed " << seed;
    EXPECT_NEAR(fit.down.centerY, o.down.centerY, 0.001f) << "seed " << seed;
    // The reported cost is that of the returned transform.
    EXPECT_EQ(fit.cost, jpeg_alignment_cost(pair.up, pair.down, s, fit.down, w));
    if (seed == 1) {
      // prepare applies the fit to all five DOWN members and leaves UP alone.
      const PreparedSettings p = prepare(pair.up, pair.down, s, w);
      EXPECT_EQ(p.settings.down, fit.down);
      EXPECT_EQ(p.settings.up, s.up);
    }
  }
}

TEST(JpegAlignment, NoiseFreePairStillFindsTheRotation) {
  // Without noise the search stops on a step grid slightly off the exact
  // centre and radius, but the rotation is still found.
  pairs::PairOptions o;
  o.size = 512;
  o.down = misaligned_down();
  const pairs::Pair pair = pairs::render_pair(o);
  const AlignmentResult fit = align_jpeg_pair(pair.up, pair.down, request(), 1024);
  std::printf("noise free: rotation %.4f (truth %.4f), centre (%.5f, %.5f), radius %.5f\n",
              rotation(fit.down), rotation(o.down), fit.down.centerX, fit.down.centerY,
              fit.down.radiusScale);
  EXPECT_NEAR(rotation(fit.down), rotation(o.down), 0.1f);
  EXPECT_NEAR(fit.down.radiusScale, o.down.radiusScale, 0.003f);
}

TEST(JpegAlignment, StaysInsideItsBounds) {
  pairs::PairOptions o;
  o.size = 256;
  o.supersample = 1;
  o.down.yawDegrees = 6.0f;  // far beyond the reach of the search
  o.down.centerX = 0.02f;
  o.down.radiusScale = 1.1f;
  const pairs::Pair pair = pairs::render_pair(o);
  StitchSettings s = request();
  s.down.radiusScale = 1.2f;
  s.down.centerY = -0.01f;
  const LensTransform fit = align_jpeg_pair(pair.up, pair.down, s, 512).down;
  EXPECT_LE(std::fabs(fit.yawDegrees), 3.5f);
  EXPECT_LE(std::fabs(fit.rollDegrees), 3.5f);
  EXPECT_LE(std::fabs(fit.centerX), 0.006f);
  EXPECT_LE(std::fabs(fit.centerY - s.down.centerY), 0.006f + 1e-7f);
  EXPECT_LE(fit.radiusScale, 1.2f);
  EXPECT_GE(fit.radiusScale, 1.2f - 0.015f - 1e-6f);
}

TEST(DngAlignment, LandsOnTheNearestQuarterDegree) {
  struct Case {
    float yaw;
    float roll;
    float nearest;
  };
  for (const Case c : {Case{0.55f, 0.4f, 1.0f}, Case{-0.3f, -0.45f, -0.75f}}) {
    pairs::PairOptions o;
    o.size = 512;
    o.down.yawDegrees = c.yaw;
    o.down.rollDegrees = c.roll;
    o.raw = true;
    const pairs::Pair pair = pairs::render_pair(o);
    const StitchSettings s = request();
    const PreparedSettings p = prepare(pair.up, pair.down, s, 1024);
    const LensTransform& fit = p.settings.down;
    std::printf("grid yaw %.2f roll %.2f: sum %.2f (truth %.2f)\n", fit.yawDegrees,
                fit.rollDegrees, rotation(fit), c.yaw + c.roll);
    EXPECT_NEAR(rotation(fit), c.nearest, 1e-4f);
    // Only yaw and roll move, in quarter degrees within +-2 degrees.
    EXPECT_EQ(fit.centerX, s.down.centerX);
    EXPECT_EQ(fit.centerY, s.down.centerY);
    EXPECT_EQ(fit.radiusScale, s.down.radiusScale);
    for (float v : {fit.yawDegrees, fit.rollDegrees}) {
      EXPECT_LE(std::fabs(v), 2.0f);
      EXPECT_FLOAT_EQ(v * 4.0f, std::round(v * 4.0f));
    }
  }
}

TEST(ExposureMatch, RecoversAKnownRatio) {
  pairs::PairOptions o;
  o.size = 384;
  o.down_exposure = {0.8f, 0.9f, 1.1f};
  const std::array<float, 3> truth{1.0f / 0.8f, 1.0f / 0.9f, 1.0f / 1.1f};
  StitchSettings s = request();
  s.autoAlign = false;
  for (bool raw : {false, true}) {
    o.raw = raw;
    const pairs::Pair pair = pairs::render_pair(o);
    const std::array<float, 3> g = estimate_pair_gain_ratio(pair.up, pair.down, s, 1024);
    const PreparedSettings p = prepare(pair.up, pair.down, s, 1024);
    for (std::size_t c = 0; c < 3; ++c) {
      EXPECT_NEAR(g[c], truth[c], 0.01f * truth[c]) << "channel " << c;
      // After the gains both lenses read the same.
      EXPECT_NEAR(p.down_gain[c] / p.up_gain[c], truth[c], 0.01f * truth[c]) << "channel " << c;
    }
    if (raw) {
      EXPECT_EQ(p.up_gain, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
    } else {
      // What is left for the local gains is close to nothing.
      for (float v : p.up_local_gains) EXPECT_NEAR(v, 1.0f, 0.01f);
    }
  }
}

// Column position of a longitude, in [0, 1).
float longitude_u(float longitude_degrees) {
  const float u = 0.5f - longitude_degrees / 360.0f;
  return u - std::floor(u);
}

TEST(Seam, KeepsAwayFromADarkOccluderInTheDownLens) {
  pairs::PairOptions o;
  o.size = 512;
  o.supersample = 1;
  pairs::Occluder occluder;
  occluder.longitude_degrees = 150.0f;  // u about 0.083, where the window is wide
  occluder.width_degrees = 30.0f;
  occluder.top_latitude_degrees = 3.0f;
  occluder.darkness = 0.04f;
  o.occluder = occluder;
  StitchSettings s = request();
  s.autoAlign = false;
  const pairs::Pair pair = pairs::render_pair(o);
  const std::uint32_t w = 1024;
  const PreparedSettings p = prepare(pair.up, pair.down, s, w);
  const float band = seam_band_degrees(s.fovDegrees, s.presetVersion) * kDegToRad;
  const float f_max = 0.5f * kDegToRad;
  const float f_min = 0.1f * kDegToRad;

  const float centre = longitude_u(occluder.longitude_degrees);
  const float far = longitude_u(occluder.longitude_degrees + 90.0f);  // u about 0.83
  const float clear = longitude_u(-150.0f);                          // u about 0.92
  const auto column = [&](float u) {
    return std::min(static_cast<std::size_t>(u * static_cast<float>(w)), std::size_t{w} - 1);
  };
  // Over the middle of the occluder the seam goes to the bottom of the band,
  // so the UP lens covers as much of the dark region as it can.
  for (float du = -0.03f; du <= 0.03f; du += 0.01f) {
    const std::size_t i = column(centre + du);
    EXPECT_LT(p.seam_latitudes[i], -0.8f * band) << "column " << i;
    EXPECT_NEAR(p.seam_feathers[i], f_min, 1e-6f) << "column " << i;
  }
  // Far from it the seam stays near the equator with the full feather.
  const std::size_t j = column(clear);
  EXPECT_NEAR(p.seam_latitudes[j], 0.0f, 0.2f * band);
  EXPECT_NEAR(p.seam_feathers[j], f_max, 1e-6f);
  EXPECT_LT(p.seam_latitudes[column(centre)], p.seam_latitudes[column(far)]);
}

TEST(Seam, IdenticalEvenlyLitLensesGiveTheEquator) {
  for (std::uint16_t version : {2, 1}) {
    pairs::PairOptions o;
    o.size = 256;
    o.supersample = 1;
    o.scene = pairs::flat_scene({0.3f, 0.4f, 0.5f});
    const pairs::Pair pair = pairs::render_pair(o);
    StitchSettings s = request();
    s.presetVersion = version;
    s.autoAlign = false;
    s.seamFeatherDegrees = 0.4f;
    const std::uint32_t w = 720;
    const PreparedSettings p = prepare(pair.up, pair.down, s, w);
    const float f_max = 0.4f * kDegToRad;
    ASSERT_EQ(p.seam_latitudes.size(), w);
    ASSERT_EQ(p.seam_feathers.size(), w);
    for (std::uint32_t i = 0; i < w; ++i) {
      const float u = static_cast<float>(i) / static_cast<float>(w);
      EXPECT_EQ(p.seam_latitudes[i], 0.0f) << "column " << i;
      const bool narrow = version == 2 && (seam_window_low_degrees(u) > -5.0f ||
                                           seam_window_high_degrees(u) < 5.0f);
      if (narrow) {
        EXPECT_LE(p.seam_feathers[i], 0.1f * kDegToRad) << "column " << i;
      } else {
        EXPECT_FLOAT_EQ(p.seam_feathers[i], f_max) << "column " << i;
      }
    }
  }
}

TEST(Seam, FinerPresetKeepsTheSeamInsideItsWindow) {
  pairs::PairOptions o;
  o.size = 384;
  o.supersample = 1;
  pairs::Occluder occluder;
  occluder.longitude_degrees = -18.0f;  // u = 0.55, the tightest part of the window
  occluder.width_degrees = 40.0f;
  o.occluder = occluder;
  StitchSettings s = request();
  s.autoAlign = false;
  const pairs::Pair pair = pairs::render_pair(o);
  const std::uint32_t w = 512;
  const PreparedSettings p = prepare(pair.up, pair.down, s, w);
  for (std::uint32_t i = 0; i < w; ++i) {
    const float u = static_cast<float>(i) / static_cast<float>(w);
    const float lat = p.seam_latitudes[i] / kDegToRad;
    const float step = 2.0f * 4.5f / 128.0f;
    EXPECT_GE(lat, seam_window_low_degrees(u) - step) << "column " << i;
    EXPECT_LE(lat, seam_window_high_degrees(u) + step) << "column " << i;
    if (u >= 0.30f && u <= 0.80f) {
      EXPECT_LE(p.seam_feathers[i], 0.1f * kDegToRad + 1e-9f) << "column " << i;
    }
  }
}

}  // namespace
}  // namespace stitch
