// Preparation of featureless pairs: exact exposure ratios, neutral fallbacks
// and the shape of the result.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "stitch/prepare.hpp"

namespace stitch {
namespace {

LinearImage uniform(std::uint32_t size, Rgb value, bool raw) {
  LinearImage image;
  image.width = size;
  image.height = size;
  image.pixels.resize(std::size_t{size} * size * 3);
  for (std::size_t i = 0; i < image.pixels.size(); i += 3) {
    image.pixels[i] = value[0];
    image.pixels[i + 1] = value[1];
    image.pixels[i + 2] = value[2];
  }
  image.raw = raw;
  return image;
}

StitchSettings request(bool auto_align, bool exposure_match, std::uint16_t version = 2) {
  StitchSettings s;
  s.presetId = "dji-avata360";
  s.presetVersion = version;
  s.renderProfileId = "dji-avata360-natural-v1";
  s.outputWidth = 4096;
  s.fovDegrees = 190.0f;
  s.seamFeatherDegrees = 0.3f;
  s.autoAlign = auto_align;
  s.exposureMatch = exposure_match;
  s.color.version = 2;
  s.down.yawDegrees = 0.3f;
  s.down.rollDegrees = -0.2f;
  s.down.centerX = 0.001f;
  s.down.radiusScale = 1.01f;
  return s;
}

TEST(UniformPair, FourNinthsJpegSplitsTheClampedRatio) {
  const LinearImage up = uniform(96, {0.45f, 0.45f, 0.45f}, false);
  const LinearImage down = uniform(96, {0.2f, 0.2f, 0.2f}, false);
  const PreparedSettings p = prepare(up, down, request(false, true), 512);
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_FLOAT_EQ(p.up_gain[c], 1.0f / std::sqrt(1.5f));
    EXPECT_FLOAT_EQ(p.down_gain[c], std::sqrt(1.5f));
  }
  // What the global gains leave (a ratio of 1.5) is beyond the local clamp.
  ASSERT_EQ(p.up_local_gains.size(), 512u);
  EXPECT_FLOAT_EQ(p.up_local_gains[100], 1.0f / std::sqrt(1.22f));
  EXPECT_FLOAT_EQ(p.down_local_gains[100], std::sqrt(1.22f));
}

TEST(UniformPair, FourNinthsDngBringsDownToUp) {
  const LinearImage up = uniform(96, {0.45f, 0.45f, 0.45f}, true);
  const LinearImage down = uniform(96, {0.2f, 0.2f, 0.2f}, true);
  const PreparedSettings p = prepare(up, down, request(false, true), 512);
  EXPECT_EQ(p.up_gain, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(p.down_gain, (std::array<float, 3>{1.5f, 1.5f, 1.5f}));
  EXPECT_EQ(p.up_local_gains, std::vector<float>(512, 1.0f));
  EXPECT_EQ(p.down_local_gains, std::vector<float>(512, 1.0f));
}

TEST(UniformPair, RatioPerChannel) {
  const LinearImage up = uniform(96, {0.3f, 0.4f, 0.5f}, false);
  const LinearImage down = uniform(96, {0.3f, 0.5f, 0.4f}, false);
  const std::array<float, 3> g = estimate_pair_gain_ratio(up, down, request(false, true), 512);
  EXPECT_FLOAT_EQ(g[0], 1.0f);
  EXPECT_FLOAT_EQ(g[1], 0.8f);
  EXPECT_FLOAT_EQ(g[2], 1.25f);
}

TEST(UniformPair, NoUsableSamplesLeaveGainsAtOne) {
  // Too bright for the gain window in one lens, too dark in the other.
  const LinearImage up = uniform(96, {0.99f, 0.99f, 0.99f}, false);
  const LinearImage down = uniform(96, {0.005f, 0.005f, 0.005f}, false);
  const PreparedSettings p = prepare(up, down, request(true, true), 512);
  EXPECT_EQ(p.up_gain, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(p.down_gain, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
  // Too little evidence for any alignment trial: the requested lens stays.
  EXPECT_EQ(p.settings.down, request(true, true).down);
}

TEST(UniformPair, ExposureMatchOffGivesNeutralGains) {
  const LinearImage up = uniform(96, {0.45f, 0.45f, 0.45f}, false);
  const LinearImage down = uniform(96, {0.2f, 0.2f, 0.2f}, false);
  const PreparedSettings p = prepare(up, down, request(false, false), 600);
  EXPECT_EQ(p.up_gain, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(p.down_gain, (std::array<float, 3>{1.0f, 1.0f, 1.0f}));
  EXPECT_EQ(p.up_local_gains, std::vector<float>(600, 1.0f));
  EXPECT_EQ(p.down_local_gains, std::vector<float>(600, 1.0f));
}

TEST(UniformPair, AutoAlignOffKeepsTheRequestedLens) {
  for (bool raw : {false, true}) {
    const LinearImage up = uniform(64, {0.4f, 0.4f, 0.4f}, raw);
    const LinearImage down = uniform(64, {0.3f, 0.3f, 0.3f}, raw);
    const StitchSettings s = request(false, true);
    const PreparedSettings p = prepare(up, down, s, 512);
    EXPECT_EQ(p.settings, s) << "raw " << raw;
  }
}

TEST(UniformPair, EveryListHasExactlyWEntries) {
  const LinearImage up = uniform(64, {0.4f, 0.4f, 0.4f}, false);
  const LinearImage down = uniform(64, {0.4f, 0.4f, 0.4f}, false);
  for (std::uint32_t w : {512u, 777u, 1024u}) {
    for (std::uint16_t version : {1, 2}) {
      const PreparedSettings p = prepare(up, down, request(false, true, version), w);
      EXPECT_EQ(p.up_local_gains.size(), w);
      EXPECT_EQ(p.down_local_gains.size(), w);
      EXPECT_EQ(p.seam_latitudes.size(), w);
      EXPECT_EQ(p.seam_feathers.size(), w);
    }
  }
}

TEST(UniformPair, DegenerateInputsNeverFail) {
  const LinearImage broken = [] {
    LinearImage b = uniform(16, {0.4f, 0.4f, 0.4f}, false);
    b.pixels.resize(5);  // fewer samples than its size promises
    return b;
  }();
  const LinearImage empty;
  const LinearImage fine = uniform(16, {0.4f, 0.4f, 0.4f}, false);
  for (const LinearImage* a : {&broken, &empty, &fine}) {
    for (const LinearImage* b : {&broken, &empty}) {
      const PreparedSettings p = prepare(*a, *b, request(true, true), 512);
      EXPECT_EQ(p.settings.down, request(true, true).down);
      EXPECT_EQ(p.seam_feathers.size(), 512u);
      for (float f : p.seam_feathers) EXPECT_GT(f, 0.0f);
    }
  }
  const PreparedSettings none = prepare(fine, fine, request(true, true), 0);
  EXPECT_TRUE(none.seam_latitudes.empty());
  const PreparedSettings narrow = prepare(fine, fine, request(true, true), 7);
  EXPECT_EQ(narrow.seam_latitudes.size(), 7u);
}

TEST(UniformPair, FeatherLimits) {
  const LinearImage up = uniform(64, {0.4f, 0.4f, 0.4f}, false);
  StitchSettings s = request(false, false);
  s.seamFeatherDegrees = 0.0f;
  for (float f : prepare(up, up, s, 512).seam_feathers) EXPECT_FLOAT_EQ(f, 0.00087266462f);
  s.seamFeatherDegrees = 3.0f;
  for (float f : prepare(up, up, s, 512).seam_feathers) EXPECT_LE(f, 0.0087266462f);
}

}  // namespace
}  // namespace stitch
