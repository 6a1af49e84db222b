#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "stitch/stitch.hpp"
#include "support/job_requests.hpp"

namespace stitch {
namespace {

StitchSettings valid_settings() {
  StitchSettings s = requests::default_settings(8192);
  s.seamFeatherDegrees = 2.0f;
  return s;
}

constexpr const char* kWidth = "Output width must be between 2048 and 20000 pixels";
constexpr const char* kEven = "Output width must be an even number";
constexpr const char* kFov = "Fisheye FOV must be between 120 and 220 degrees";
constexpr const char* kFeather = "Seam feather must be between 0 and 20 degrees";
constexpr const char* kRadius = "Lens radius scale must be between 0.8 and 1.2";
constexpr const char* kCenter = "Lens center offsets must be between -0.2 and 0.2";
constexpr const char* kVersion = "Color transform version must be 2";
constexpr const char* kExposure = "Exposure must be a finite value between -3 and +3 EV";
constexpr const char* kColor = "Color adjustments must be finite values between -100 and 100";

struct Case {
  const char* name;
  std::function<void(StitchSettings&)> change;
  std::optional<std::string> message;  // absent: accepted
};

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

class ValidateSettings : public ::testing::TestWithParam<Case> {};

TEST_P(ValidateSettings, ChecksInOrderWithExactMessages) {
  const Case& c = GetParam();
  StitchSettings s = valid_settings();
  c.change(s);
  const Status status = validate_settings(s);
  if (!c.message) {
    EXPECT_TRUE(status.has_value()) << status.error().display();
    return;
  }
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), ErrorKind::InvalidSettings);
  EXPECT_EQ(status.error().code(), ErrorCode::InvalidSettings);
  EXPECT_EQ(status.error().text(), *c.message);
}

const Case kCases[] = {
    {"defaults", [](StitchSettings&) {}, std::nullopt},
    {"width_2048", [](StitchSettings& s) { s.outputWidth = 2048; }, std::nullopt},
    {"width_20000", [](StitchSettings& s) { s.outputWidth = 20000; }, std::nullopt},
    {"width_2047", [](StitchSettings& s) { s.outputWidth = 2047; }, kWidth},
    {"width_2046", [](StitchSettings& s) { s.outputWidth = 2046; }, kWidth},
    {"width_20001_range_first", [](StitchSettings& s) { s.outputWidth = 20001; }, kWidth},
    {"width_20002", [](StitchSettings& s) { s.outputWidth = 20002; }, kWidth},
    {"width_0", [](StitchSettings& s) { s.outputWidth = 0; }, kWidth},
    {"width_2049_odd", [](StitchSettings& s) { s.outputWidth = 2049; }, kEven},
    {"width_before_fov",
     [](StitchSettings& s) {
       s.outputWidth = 3;
       s.fovDegrees = 0;
     },
     kWidth},
    {"fov_120", [](StitchSettings& s) { s.fovDegrees = 120.0f; }, std::nullopt},
    {"fov_220", [](StitchSettings& s) { s.fovDegrees = 220.0f; }, std::nullopt},
    {"fov_below", [](StitchSettings& s) { s.fovDegrees = 119.99f; }, kFov},
    {"fov_above", [](StitchSettings& s) { s.fovDegrees = 220.01f; }, kFov},
    {"fov_nan", [](StitchSettings& s) { s.fovDegrees = kNan; }, kFov},
    {"fov_before_feather",
     [](StitchSettings& s) {
       s.fovDegrees = 300;
       s.seamFeatherDegrees = -1;
     },
     kFov},
    {"feather_0", [](StitchSettings& s) { s.seamFeatherDegrees = 0.0f; }, std::nullopt},
    {"feather_20", [](StitchSettings& s) { s.seamFeatherDegrees = 20.0f; }, std::nullopt},
    {"feather_negative", [](StitchSettings& s) { s.seamFeatherDegrees = -0.001f; }, kFeather},
    {"feather_above", [](StitchSettings& s) { s.seamFeatherDegrees = 20.001f; }, kFeather},
    {"feather_nan", [](StitchSettings& s) { s.seamFeatherDegrees = kNan; }, kFeather},
    {"up_radius_0.8", [](StitchSettings& s) { s.up.radiusScale = 0.8f; }, std::nullopt},
    {"up_radius_1.2", [](StitchSettings& s) { s.up.radiusScale = 1.2f; }, std::nullopt},
    {"up_radius_low", [](StitchSettings& s) { s.up.radiusScale = 0.79f; }, kRadius},
    {"up_radius_high", [](StitchSettings& s) { s.up.radiusScale = 1.21f; }, kRadius},
    {"up_radius_nan", [](StitchSettings& s) { s.up.radiusScale = kNan; }, kRadius},
    {"up_center_-0.2", [](StitchSettings& s) { s.up.centerX = -0.2f; }, std::nullopt},
    {"up_center_0.2",
     [](StitchSettings& s) {
       s.up.centerX = 0.2f;
       s.up.centerY = -0.2f;
     },
     std::nullopt},
    {"up_center_x_out", [](StitchSettings& s) { s.up.centerX = 0.21f; }, kCenter},
    {"up_center_y_out", [](StitchSettings& s) { s.up.centerY = -0.21f; }, kCenter},
    {"up_center_inf", [](StitchSettings& s) { s.up.centerY = kInf; }, kCenter},
    {"up_radius_before_center",
     [](StitchSettings& s) {
       s.up.radiusScale = 2.0f;
       s.up.centerX = 1.0f;
     },
     kRadius},
    {"up_center_before_down_radius",
     [](StitchSettings& s) {
       s.up.centerX = 1.0f;
       s.down.radiusScale = 2.0f;
     },
     kCenter},
    {"down_radius_0.8", [](StitchSettings& s) { s.down.radiusScale = 0.8f; }, std::nullopt},
    {"down_radius_1.2", [](StitchSettings& s) { s.down.radiusScale = 1.2f; }, std::nullopt},
    {"down_radius_high", [](StitchSettings& s) { s.down.radiusScale = 1.3f; }, kRadius},
    {"down_center_x_-0.2", [](StitchSettings& s) { s.down.centerX = -0.2f; }, std::nullopt},
    {"down_center_x_out", [](StitchSettings& s) { s.down.centerX = -0.3f; }, kCenter},
    {"down_center_y_nan", [](StitchSettings& s) { s.down.centerY = kNan; }, kCenter},
    {"down_center_before_version",
     [](StitchSettings& s) {
       s.down.centerY = 0.5f;
       s.color.version = 1;
     },
     kCenter},
    {"angles_not_validated",
     [](StitchSettings& s) {
       s.up.yawDegrees = 1000.0f;
       s.down.rollDegrees = -720.0f;
       s.sphere = {500.0f, -400.0f, 9999.0f};
       s.multibandLevels = 255;
       s.autoAlign = false;
       s.exposureMatch = false;
     },
     std::nullopt},
    {"color_version_1", [](StitchSettings& s) { s.color.version = 1; }, kVersion},
    {"color_version_3", [](StitchSettings& s) { s.color.version = 3; }, kVersion},
    {"exposure_-3", [](StitchSettings& s) { s.color.exposureEv = -3.0f; }, std::nullopt},
    {"exposure_3", [](StitchSettings& s) { s.color.exposureEv = 3.0f; }, std::nullopt},
    {"exposure_above", [](StitchSettings& s) { s.color.exposureEv = 3.001f; }, kExposure},
    {"exposure_nan", [](StitchSettings& s) { s.color.exposureEv = kNan; }, kExposure},
    {"exposure_inf", [](StitchSettings& s) { s.color.exposureEv = -kInf; }, kExposure},
    {"version_before_exposure",
     [](StitchSettings& s) {
       s.color.version = 0;
       s.color.exposureEv = 9;
     },
     kVersion},
    {"exposure_before_colors",
     [](StitchSettings& s) {
       s.color.exposureEv = 9;
       s.color.brightness = 900;
     },
     kExposure},
    {"colors_at_limits",
     [](StitchSettings& s) {
       ColorAdjustments& c = s.color;
       c.brightness = 100;
       c.contrast = -100;
       c.highlights = 100;
       c.shadows = -100;
       c.saturation = 100;
       c.vibrance = -100;
       c.warmth = 100;
       c.tint = -100;
       c.clarity = 100;
       c.sharpening = 100;
       c.noiseReduction = -100;
     },
     std::nullopt},
    {"brightness_out", [](StitchSettings& s) { s.color.brightness = -100.5f; }, kColor},
    {"contrast_nan", [](StitchSettings& s) { s.color.contrast = kNan; }, kColor},
    {"highlights_out", [](StitchSettings& s) { s.color.highlights = 101.0f; }, kColor},
    {"shadows_out", [](StitchSettings& s) { s.color.shadows = -101.0f; }, kColor},
    {"saturation_inf", [](StitchSettings& s) { s.color.saturation = kInf; }, kColor},
    {"vibrance_out", [](StitchSettings& s) { s.color.vibrance = 150.0f; }, kColor},
    {"warmth_out", [](StitchSettings& s) { s.color.warmth = -150.0f; }, kColor},
    {"tint_out", [](StitchSettings& s) { s.color.tint = 100.01f; }, kColor},
    {"clarity_just_above", [](StitchSettings& s) { s.color.clarity = std::nextafter(100.0f, 200.0f); },
     kColor},
    {"sharpening_out", [](StitchSettings& s) { s.color.sharpening = 200.0f; }, kColor},
    {"noise_reduction_-100", [](StitchSettings& s) { s.color.noiseReduction = -100.0f; },
     std::nullopt},
    {"noise_reduction_out", [](StitchSettings& s) { s.color.noiseReduction = -100.5f; }, kColor},
    {"colors_before_profile",
     [](StitchSettings& s) {
       s.color.tint = 1000;
       s.renderProfileId = "x";
     },
     kColor},
    {"neutral_profile_rejected", [](StitchSettings& s) { s.renderProfileId = "neutral-v1"; },
     "Unsupported render profile neutral-v1"},
    {"empty_profile", [](StitchSettings& s) { s.renderProfileId = ""; },
     "Unsupported render profile "},
    {"profile_before_preset",
     [](StitchSettings& s) {
       s.renderProfileId = "vivid";
       s.presetId = "other";
     },
     "Unsupported render profile vivid"},
    {"preset_other", [](StitchSettings& s) { s.presetId = "gopro-max"; },
     "Unsupported stitch preset gopro-max version 2"},
    {"preset_version_0", [](StitchSettings& s) { s.presetVersion = 0; },
     "Unsupported stitch preset dji-avata360 version 0"},
    {"preset_version_1", [](StitchSettings& s) { s.presetVersion = 1; }, std::nullopt},
    {"preset_version_3", [](StitchSettings& s) { s.presetVersion = 3; },
     "Unsupported stitch preset dji-avata360 version 3"},
    {"preset_version_65535", [](StitchSettings& s) { s.presetVersion = 65535; },
     "Unsupported stitch preset dji-avata360 version 65535"},
    {"preset_case_sensitive", [](StitchSettings& s) { s.presetId = "DJI-AVATA360"; },
     "Unsupported stitch preset DJI-AVATA360 version 2"},
};

INSTANTIATE_TEST_SUITE_P(Table, ValidateSettings, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           std::string name = param.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(ValidateSettings, DisplayCarriesThePrefix) {
  StitchSettings s = valid_settings();
  s.outputWidth = 2049;
  const Status status = validate_settings(s);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().display(), "Invalid stitch settings: Output width must be an even number");
}

struct CameraCase {
  std::optional<std::string> camera;
  bool expected;
};

TEST(IsAvata360, RecognisesTheModelCodeInAnyCase) {
  const CameraCase cases[] = {
      {"FCA188", true},
      {"fca188", true},
      {"DJI FcA188", true},
      {"DJI FCA188 (Avata 360)", true},
      {"xxfca188yy", true},
      {"FCA18", false},
      {"DJI FCA18 8", false},
      {"FCA189", false},
      {"", false},
      {std::nullopt, false},
      {"DJI Avata 360", false},
  };
  for (const CameraCase& c : cases) {
    EXPECT_EQ(is_avata360(c.camera), c.expected) << (c.camera ? *c.camera : "<absent>");
  }
}

TEST(NeutralCopy, ZeroesColourAndProfileAndLeavesTheOriginal) {
  PreparedSettings p;
  p.settings = valid_settings();
  ColorAdjustments& c = p.settings.color;
  c.exposureEv = 1;
  c.brightness = 2;
  c.contrast = 3;
  c.highlights = 4;
  c.shadows = 5;
  c.saturation = 6;
  c.vibrance = 7;
  c.warmth = 8;
  c.tint = 9;
  c.clarity = 10;
  c.sharpening = 11;
  c.noiseReduction = 12;
  p.up_local_gains = {1.1f, 0.9f};
  p.down_local_gains = {0.95f};
  p.seam_latitudes = {0.01f, -0.01f, 0.0f};
  p.seam_feathers = {0.002f};
  p.profile = {-0.5f, 800.0f, 4.0f, 12.0f, 15.0f, 25.0f, 15.0f, true};
  p.up_gain = {1.1f, 1.0f, 0.9f};
  p.down_gain = {0.9f, 1.0f, 1.1f};
  const PreparedSettings original = p;

  const PreparedSettings n = neutral_copy(p);
  EXPECT_EQ(p, original);
  EXPECT_EQ(n.settings.color, ColorAdjustments{});
  EXPECT_EQ(n.settings.color.version, 2);
  EXPECT_EQ(n.profile, RenderProfileParams{});
  EXPECT_FALSE(n.profile.active);
  EXPECT_EQ(n.profile.id(), "neutral-v1");
  EXPECT_EQ(p.profile.id(), "dji-avata360-natural-v1");
  // Everything else is carried over, deeply.
  EXPECT_EQ(n.up_local_gains, p.up_local_gains);
  EXPECT_EQ(n.seam_latitudes, p.seam_latitudes);
  EXPECT_EQ(n.up_gain, p.up_gain);
  EXPECT_EQ(n.settings.outputWidth, p.settings.outputWidth);
  EXPECT_NE(n.seam_latitudes.data(), p.seam_latitudes.data());

  // A colour version other than 2 is reset too.
  p.settings.color.version = 7;
  EXPECT_EQ(neutral_copy(p).settings.color.version, 2);
}

}  // namespace
}  // namespace stitch
