// Render profile rules, the ISO noise curve and the small numeric helpers of
// the preparation.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "stitch/prepare.hpp"

namespace stitch {
namespace {

struct ExposureCase {
  std::optional<float> up;
  std::optional<float> down;
  float expected;
};

class BaselineExposureTest : public ::testing::TestWithParam<ExposureCase> {};

TEST_P(BaselineExposureTest, FollowsThePairRule) {
  const ExposureCase c = GetParam();
  EXPECT_FLOAT_EQ(pair_baseline_exposure_ev(c.up, c.down), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BaselineExposureTest,
    ::testing::Values(ExposureCase{-0.5f, -0.3f, -0.4f},    // close: the mean
                      ExposureCase{-1.0f, -0.5f, -1.0f},    // apart: the darker
                      ExposureCase{-0.5f, -1.0f, -1.0f},    // either order
                      ExposureCase{0.25f, 0.0f, 0.125f},    // 0.25 apart still averages
                      ExposureCase{-7.0f, -7.0f, -5.0f},    // clamped
                      ExposureCase{6.0f, 6.2f, 5.0f},       // clamped above
                      ExposureCase{-0.7f, std::nullopt, 0.0f},
                      ExposureCase{std::nullopt, -0.7f, 0.0f},
                      ExposureCase{std::nullopt, std::nullopt, 0.0f}));

struct IsoCase {
  float iso;
  float expected;
};

class IsoNoiseTest : public ::testing::TestWithParam<IsoCase> {};

TEST_P(IsoNoiseTest, PiecewiseLinearCurve) {
  EXPECT_FLOAT_EQ(iso_noise_reduction(GetParam().iso), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Curve, IsoNoiseTest,
                         ::testing::Values(IsoCase{0.0f, 0.0f}, IsoCase{100.0f, 0.0f},
                                           IsoCase{250.0f, 5.0f}, IsoCase{400.0f, 10.0f},
                                           IsoCase{800.0f, 15.0f}, IsoCase{1600.0f, 25.0f},
                                           IsoCase{2400.0f, 32.5f}, IsoCase{3200.0f, 40.0f},
                                           IsoCase{6400.0f, 40.0f},
                                           IsoCase{NAN, 0.0f},
                                           IsoCase{INFINITY, 0.0f}));

TEST(PairIso, MeanOrTheOneKnownValue) {
  EXPECT_FLOAT_EQ(pair_iso(100.0f, 300.0f), 200.0f);
  EXPECT_FLOAT_EQ(pair_iso(400.0f, std::nullopt), 400.0f);
  EXPECT_FLOAT_EQ(pair_iso(std::nullopt, 800.0f), 800.0f);
  EXPECT_FLOAT_EQ(pair_iso(std::nullopt, std::nullopt), 0.0f);
  EXPECT_FLOAT_EQ(pair_iso(-50.0f, std::nullopt), 0.0f);
  EXPECT_FLOAT_EQ(pair_iso(NAN, NAN), 0.0f);
}

LinearImage tiny(bool raw, std::optional<std::string> camera, std::optional<float> iso,
                 std::optional<float> baseline) {
  LinearImage image;
  image.width = 2;
  image.height = 2;
  image.pixels.assign(12, 0.5f);
  image.raw = raw;
  image.camera = std::move(camera);
  image.iso = iso;
  image.baseline_exposure_ev = baseline;
  return image;
}

StitchSettings natural_request() {
  StitchSettings s;
  s.presetId = "dji-avata360";
  s.presetVersion = 2;
  s.renderProfileId = "dji-avata360-natural-v1";
  s.fovDegrees = 190.0f;
  return s;
}

TEST(RenderProfile, ActiveForAnAvata360DngPair) {
  const LinearImage up = tiny(true, "DJI FCA188", 200.0f, -0.5f);
  const LinearImage down = tiny(true, "dji fca188 v2", 600.0f, -0.3f);
  const RenderProfileParams p = render_profile(up, down, natural_request());
  EXPECT_TRUE(p.active);
  EXPECT_FLOAT_EQ(p.base_exposure_ev, -0.4f);
  EXPECT_FLOAT_EQ(p.iso, 400.0f);
  EXPECT_FLOAT_EQ(p.noise_reduction, 10.0f);
  EXPECT_EQ(p.saturation_boost, 4.0f);
  EXPECT_EQ(p.vibrance_boost, 12.0f);
  EXPECT_EQ(p.clarity_boost, 15.0f);
  EXPECT_EQ(p.sharpening_boost, 25.0f);
  EXPECT_EQ(p.id(), "dji-avata360-natural-v1");
}

TEST(RenderProfile, NeutralUnlessEveryConditionHolds) {
  const RenderProfileParams neutral{};
  const LinearImage avata_dng = tiny(true, "DJI FCA188", 200.0f, 0.0f);
  const LinearImage other_dng = tiny(true, "Other Camera", 200.0f, 0.0f);
  const LinearImage avata_jpg = tiny(false, "DJI FCA188", 200.0f, 0.0f);
  const LinearImage no_camera = tiny(true, std::nullopt, 200.0f, 0.0f);
  EXPECT_EQ(render_profile(other_dng, other_dng, natural_request()), neutral);
  EXPECT_EQ(render_profile(avata_dng, avata_jpg, natural_request()), neutral);
  EXPECT_EQ(render_profile(avata_dng, no_camera, natural_request()), neutral);
  StitchSettings other_profile = natural_request();
  other_profile.renderProfileId = "neutral-v1";
  EXPECT_EQ(render_profile(avata_dng, avata_dng, other_profile), neutral);
  EXPECT_EQ(render_profile(avata_dng, avata_dng, other_profile).id(), "neutral-v1");
}

TEST(Median, UpperMiddleForEvenCounts) {
  std::vector<float> odd{5.0f, 1.0f, 3.0f};
  EXPECT_EQ(median_f32(odd), 3.0f);
  std::vector<float> even{4.0f, 1.0f, 3.0f, 2.0f};
  EXPECT_EQ(median_f32(even), 3.0f);
  std::vector<float> one{7.0f};
  EXPECT_EQ(median_f32(one), 7.0f);
  std::vector<float> none;
  EXPECT_EQ(median_f32(none), 0.0f);
}

TEST(CircularFilters, WrapAroundTheEnds) {
  const std::vector<float> values{10.0f, 0.0f, 0.0f, 0.0f, 0.0f, 9.0f};
  const std::vector<float> median = circular_median_filter(values, 1);
  // Entry 0 sees {9, 10, 0}, entry 5 sees {0, 9, 10}.
  EXPECT_EQ(median, (std::vector<float>{9.0f, 0.0f, 0.0f, 0.0f, 0.0f, 9.0f}));
  const std::vector<float> mean = circular_moving_average(values, 1);
  EXPECT_FLOAT_EQ(mean[0], 19.0f / 3.0f);
  EXPECT_FLOAT_EQ(mean[1], 10.0f / 3.0f);
  EXPECT_FLOAT_EQ(mean[5], 19.0f / 3.0f);
  // A radius larger than the list still reads circularly.
  const std::vector<float> wide = circular_moving_average(std::vector<float>{1.0f, 2.0f}, 2);
  EXPECT_FLOAT_EQ(wide[0], (1.0f + 2.0f + 1.0f + 2.0f + 1.0f) / 5.0f);
  EXPECT_TRUE(circular_median_filter({}, 3).empty());
}

TEST(ExposureGains, SplitOrDownOnly) {
  const ExposureGains split = exposure_gains_from_ratio({1.5f, 1.0f, 0.0f}, true);
  EXPECT_FLOAT_EQ(split.up[0], 1.0f / std::sqrt(1.5f));
  EXPECT_FLOAT_EQ(split.down[0], std::sqrt(1.5f));
  EXPECT_FLOAT_EQ(split.up[1], 1.0f);
  EXPECT_FLOAT_EQ(split.down[2], 0.1f);  // the ratio is floored at 0.01
  const ExposureGains down_only = exposure_gains_from_ratio({1.5f, 0.8f, 1.0f}, false);
  EXPECT_EQ(down_only.up, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(down_only.down, (std::array<float, 3>{1.5f, 0.8f, 1.0f}));
}

struct BandCase {
  float fov;
  std::uint16_t version;
  float band;
};

class SeamBandTest : public ::testing::TestWithParam<BandCase> {};

TEST_P(SeamBandTest, HalfHeight) {
  EXPECT_FLOAT_EQ(seam_band_degrees(GetParam().fov, GetParam().version), GetParam().band);
}

INSTANTIATE_TEST_SUITE_P(Lenses, SeamBandTest,
                         ::testing::Values(BandCase{180.0f, 2, 1.0f}, BandCase{180.0f, 1, 1.0f},
                                           BandCase{190.0f, 2, 4.5f}, BandCase{190.0f, 1, 1.5f},
                                           BandCase{200.0f, 2, 9.5f}, BandCase{200.0f, 1, 1.5f},
                                           BandCase{220.0f, 2, 9.5f}, BandCase{120.0f, 2, 1.0f}));

TEST(SeamWindow, KnotsAndInterpolation) {
  EXPECT_FLOAT_EQ(seam_window_low_degrees(0.0f), -6.3f);
  EXPECT_FLOAT_EQ(seam_window_high_degrees(0.0f), 6.3f);
  EXPECT_FLOAT_EQ(seam_window_low_degrees(0.55f), -2.0f);
  EXPECT_FLOAT_EQ(seam_window_high_degrees(0.55f), 3.0f);
  EXPECT_NEAR(seam_window_low_degrees(0.265f), (-6.3f - 3.5f) / 2.0f, 1e-4f);
  EXPECT_NEAR(seam_window_high_degrees(0.245f), (6.3f + 5.0f) / 2.0f, 1e-4f);
  EXPECT_FLOAT_EQ(seam_window_low_degrees(0.95f), -6.3f);
  EXPECT_FLOAT_EQ(seam_window_high_degrees(0.999f), 6.3f);
  EXPECT_EQ(seam_grid_rows(2), 129u);
  EXPECT_EQ(seam_grid_rows(1), 65u);
}

TEST(AnalysisGrid, ColumnZeroLooksAtLongitude180) {
  const Vec3 d = analysis_direction(0.0f, 0.0f);
  EXPECT_NEAR(d.z, -1.0f, 1e-6f);
  EXPECT_NEAR(d.x, 0.0f, 1e-6f);
  const Vec3 q = analysis_direction(0.25f, 0.0f);  // longitude +90 degrees
  EXPECT_NEAR(q.x, 1.0f, 1e-6f);
  const Vec3 n = analysis_direction(0.5f, 90.0f);
  EXPECT_NEAR(n.y, 1.0f, 1e-6f);
}

}  // namespace
}  // namespace stitch
