// Pair inspection: warnings, width proposal, DNG eligibility, the levelling
// sphere from the gimbal attitude, and error order.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "stitch/jobs/jobs.hpp"
#include "support/fixtures.hpp"

namespace stitch {
namespace {

namespace fx = fixtures;
namespace fs = std::filesystem;

const std::string kReversed = "The selected filenames appear to be reversed. Use Swap before stitching.";
const std::string kUpManual = "The UP role was assigned manually because its filename has no _UP marker.";
const std::string kDownManual =
    "The DOWN role was assigned manually because its filename has no _DOWN marker.";
const std::string kMixed =
    "Mixed JPG/DNG sources can be stitched, but the result is limited by the 8-bit JPG source and "
    "Linear DNG export is disabled.";
const std::string kSizes = "The two source dimensions differ; output resolution uses the smaller fisheye.";
const std::string kCameras = "The two DNG files report different camera models.";

std::string exposure_warning(const char* up, const char* down) {
  return std::string("The DNG BaselineExposure values differ (") + up + " and " + down +
         " EV). The smaller value will be used to protect highlights.";
}

// Only the header of a PNG: enough for inspection, which decodes nothing.
fx::Bytes png_header(std::uint32_t w, std::uint32_t h) {
  fx::Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (const std::uint32_t v : {w, h})
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  b.insert(b.end(), {8, 2, 0, 0, 0, 0, 0, 0, 0});
  return b;
}

LinearImage grey(std::uint32_t w, std::uint32_t h) {
  return synthetic(w, h, [](std::uint32_t, std::uint32_t) { return Rgb{0.25f, 0.25f, 0.25f}; });
}

// A described source written into the test's directory.
struct Source {
  std::string name;
  std::uint32_t w = 32;
  std::uint32_t h = 32;
  std::string model = "Avata 360";       // DNG only
  std::optional<float> baseline = 0.0f;  // DNG only
  std::optional<std::string> xmp;
};

fs::path write_source(const fx::TempDir& dir, const Source& s) {
  const fs::path path = dir.file(s.name);
  if (path.extension() == ".dng" || path.extension() == ".DNG") {
    fx::DngFixtureOptions o;
    o.model = s.model;
    o.baseline_exposure = s.baseline;
    o.xmp = s.xmp;
    EXPECT_TRUE(fx::write_dng_fixture(path, grey(s.w, s.h), o));
  } else {
    EXPECT_TRUE(fx::write_jpeg_fixture(path, grey(s.w, s.h), {.quality = 80, .xmp = s.xmp}));
  }
  return path;
}

TEST(InspectPair, WarningsInOrder) {
  struct Case {
    const char* label;
    Source up;
    Source down;
    std::vector<std::string> warnings;
  };
  const std::vector<Case> cases = {
      {"clean jpg pair", {"a_up.jpg"}, {"a_down.jpg"}, {}},
      {"clean dng pair", {"a_up.dng"}, {"a_down.dng"}, {}},
      {"both named up", {"a_up.jpg"}, {"b_up.jpg"}, {kReversed}},
      {"both named down", {"a_down.jpg"}, {"b_down.jpg"}, {kReversed}},
      {"swapped", {"a_down.jpg"}, {"a_up.jpg"}, {kReversed}},
      {"up without marker", {"a.jpg"}, {"a_down.jpg"}, {kUpManual}},
      {"down without marker", {"a_up.jpg"}, {"b.jpg"}, {kDownManual}},
      {"no markers", {"a.jpg"}, {"b.jpg"}, {kUpManual, kDownManual}},
      {"mixed formats", {"a_up.jpg"}, {"a_down.dng"}, {kMixed}},
      {"sizes differ", {"a_up.jpg", 32, 32}, {"a_down.jpg", 32, 40}, {kSizes}},
      {"cameras differ", {"a_up.dng"}, {"a_down.dng", 32, 32, "Other"}, {kCameras}},
      {"exposures 0.5 / 0.75", {"a_up.dng", 32, 32, "Avata 360", 0.5f},
       {"a_down.dng", 32, 32, "Avata 360", 0.75f}, {}},
      {"exposures 0.5 / 1.0", {"a_up.dng", 32, 32, "Avata 360", 0.5f},
       {"a_down.dng", 32, 32, "Avata 360", 1.0f}, {exposure_warning("0.5", "1.0")}},
      {"exposures -0.25 / 0.05", {"a_up.dng", 32, 32, "Avata 360", -0.25f},
       {"a_down.dng", 32, 32, "Avata 360", 0.05f}, {exposure_warning("-0.2", "0.1")}},
      {"one exposure missing", {"a_up.dng", 32, 32, "Avata 360", std::nullopt},
       {"a_down.dng", 32, 32, "Avata 360", 3.0f}, {}},
      {"1 2 4 5", {"x.jpg", 32, 32}, {"y_up.dng", 40, 32}, {kReversed, kUpManual, kMixed, kSizes}},
      {"1 3 4 5", {"a_down.dng", 32, 32}, {"b.jpg", 48, 48}, {kReversed, kDownManual, kMixed, kSizes}},
      {"1 6 7", {"a_down.dng", 32, 32, "One", 0.0f}, {"a_up.dng", 32, 32, "Two", 1.0f},
       {kReversed, kCameras, exposure_warning("0.0", "1.0")}},
  };
  for (const Case& c : cases) {
    fx::TempDir dir;
    const fs::path up = write_source(dir, c.up);
    const fs::path down = write_source(dir, c.down);
    const Result<PairInfo> r = inspect_pair(up, down);
    ASSERT_TRUE(r) << c.label << ": " << r.error().display();
    EXPECT_EQ(r->warnings, c.warnings) << c.label;
  }
}

TEST(InspectPair, SourceInfosAndEligibility) {
  fx::TempDir dir;
  const fs::path jup = write_source(dir, {"j_up.jpg", 40, 30});
  const fs::path jdown = write_source(dir, {"j_down.jpg", 40, 30});
  const fs::path dup = write_source(dir, {"d_up.dng", 40, 30});
  const fs::path ddown = write_source(dir, {"d_down.dng", 40, 30});

  const Result<PairInfo> jpg = inspect_pair(jup, jdown);
  ASSERT_TRUE(jpg);
  EXPECT_FALSE(jpg->dngEligible);
  EXPECT_EQ(jpg->up.path, jup.string());
  EXPECT_EQ(jpg->down.path, jdown.string());
  EXPECT_EQ(jpg->up.role, FisheyeRole::Up);
  EXPECT_EQ(jpg->down.role, FisheyeRole::Down);
  EXPECT_EQ(jpg->up.width, 40u);
  EXPECT_EQ(jpg->down.height, 30u);

  const Result<PairInfo> dng = inspect_pair(dup, ddown);
  ASSERT_TRUE(dng);
  EXPECT_TRUE(dng->dngEligible);
  EXPECT_EQ(dng->up.format, SourceFormat::Dng);
  EXPECT_EQ(dng->up.camera, "DJI Avata 360");
  EXPECT_TRUE(dng->up.rawCapable);

  for (const auto& [u, d] : {std::pair{jup, ddown}, std::pair{dup, jdown}}) {
    const Result<PairInfo> mixed = inspect_pair(u, d);
    ASSERT_TRUE(mixed);
    EXPECT_FALSE(mixed->dngEligible);
  }
}

TEST(InspectPair, RecommendedWidth) {
  struct Case {
    std::uint32_t up_w, up_h, down_w, down_h;
    std::uint32_t width;
  };
  const Case cases[] = {
      {1000, 1000, 1000, 1000, 2048},   {1, 1, 1, 1, 2048},
      {1024, 1024, 1024, 1024, 2048},   {1088, 1088, 1088, 1088, 2304},
      {2900, 2900, 2900, 2900, 5888},   {3000, 3000, 3000, 3000, 5888},
      {3064, 3064, 3064, 3064, 6144},   {4000, 4000, 4000, 4000, 7936},
      {9999, 9999, 9999, 9999, 19968},  {10000, 10000, 10000, 10000, 20000},
      {60000, 60000, 60000, 60000, 20000},
      {4000, 3000, 5000, 2900, 5888},   // the smallest of all four dimensions
      {12000, 12000, 12000, 3064, 6144},
  };
  for (const Case& c : cases) {
    fx::TempDir dir;
    ASSERT_TRUE(fx::write_bytes(dir.file("p_up.jpg"), png_header(c.up_w, c.up_h)));
    ASSERT_TRUE(fx::write_bytes(dir.file("p_down.jpg"), png_header(c.down_w, c.down_h)));
    const Result<PairInfo> r = inspect_pair(dir.file("p_up.jpg"), dir.file("p_down.jpg"));
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->recommendedWidth, c.width) << c.up_w << "x" << c.up_h << " / " << c.down_w << "x" << c.down_h;
    EXPECT_EQ(r->recommendedWidth % 2, 0u);
  }
}

TEST(InspectPair, SuggestedSphereFromGimbalAttitude) {
  struct Pose {
    float yaw, pitch, roll;
  };
  struct Case {
    const char* label;
    Pose up;
    Pose down;
    std::optional<SphereRotation> sphere;
  };
  const Case cases[] = {
      {"level", {10, 0, 0}, {10, 0, 0}, SphereRotation{0, -0.0f, 0}},
      {"tilted", {30, -10, 4}, {30, -10, 4}, SphereRotation{0, 10, -4}},
      {"mean of close angles", {30, -10.5f, 2}, {30.5f, -10, 2.5f}, SphereRotation{0, 10.25f, -2.25f}},
      {"yaw across north", {359.6f, 0, 0}, {0.3f, 0, 0}, SphereRotation{0, -0.0f, 0}},
      {"pitch clamped", {0, -90, 0}, {0, -89.8f, 0}, SphereRotation{0, 89, 0}},
      {"pitch clamped up", {0, 90, 0}, {0, 90, 0}, SphereRotation{0, -89, 0}},
      {"roll across 180", {0, 0, 179.8f}, {0, 0, -179.6f}, SphereRotation{0, 0, 179.9f}},
      {"roll of 180", {0, 0, 180}, {0, 0, 180}, SphereRotation{0, 0, -180}},
      {"roll of -180", {0, 0, -180}, {0, 0, -180}, SphereRotation{0, 0, -180}},
      {"yaw disagrees", {10, 0, 0}, {11.5f, 0, 0}, std::nullopt},
      {"pitch disagrees", {0, -10, 0}, {0, -11.01f, 0}, std::nullopt},
      {"roll disagrees", {0, 0, 0}, {0, 0, 1.5f}, std::nullopt},
      {"difference of exactly 1", {0, 0, 0}, {0, 1, 0}, SphereRotation{0, -0.5f, 0}},
  };
  for (const bool dng : {false, true})
    for (const Case& c : cases) {
      fx::TempDir dir;
      const char* ext = dng ? ".dng" : ".jpg";
      const fs::path up = write_source(
          dir, {std::string("s_up") + ext, 32, 32, "Avata 360", 0.0f, fx::dji_xmp(c.up.yaw, c.up.pitch, c.up.roll)});
      const fs::path down = write_source(dir, {std::string("s_down") + ext, 32, 32, "Avata 360", 0.0f,
                                               fx::dji_xmp(c.down.yaw, c.down.pitch, c.down.roll)});
      const Result<PairInfo> r = inspect_pair(up, down);
      ASSERT_TRUE(r) << r.error().display();
      ASSERT_EQ(r->suggestedSphere.has_value(), c.sphere.has_value()) << c.label;
      if (c.sphere) {
        EXPECT_EQ(r->suggestedSphere->yawDegrees, 0.0f) << c.label;
        EXPECT_NEAR(r->suggestedSphere->pitchDegrees, c.sphere->pitchDegrees, 1e-4f) << c.label;
        EXPECT_NEAR(r->suggestedSphere->rollDegrees, c.sphere->rollDegrees, 1e-4f) << c.label;
      }
    }
}

TEST(InspectPair, NoSphereWithoutAttitudeOnBothFiles) {
  fx::TempDir dir;
  const fs::path with = write_source(dir, {"w_up.jpg", 32, 32, "", 0.0f, fx::dji_xmp(0, -5, 0)});
  const fs::path without = write_source(dir, {"n_down.jpg"});
  const fs::path other = write_source(dir, {"o_down.dng", 32, 32, "Avata 360", 0.0f, fx::dji_xmp(0, -5, 0)});
  EXPECT_FALSE(inspect_pair(with, without)->suggestedSphere);
  EXPECT_FALSE(inspect_pair(without, with)->suggestedSphere);
  // A JPG and a DNG of the same shot agree.
  ASSERT_TRUE(inspect_pair(with, other)->suggestedSphere);
  EXPECT_FLOAT_EQ(inspect_pair(with, other)->suggestedSphere->pitchDegrees, 5.0f);
}

TEST(InspectPair, FreshRandomV4PairIds) {
  fx::TempDir dir;
  const fs::path up = write_source(dir, {"a_up.jpg"});
  const fs::path down = write_source(dir, {"a_down.jpg"});
  std::set<std::string> seen;
  for (int i = 0; i < 8; ++i) {
    const Result<PairInfo> r = inspect_pair(up, down);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->pairId.bytes[6] >> 4, 4);
    EXPECT_EQ(r->pairId.bytes[8] & 0xC0, 0x80);
    seen.insert(r->pairId.to_string());
  }
  EXPECT_EQ(seen.size(), 8u);
}

TEST(InspectPair, FirstFailingSourceDecides) {
  fx::TempDir dir;
  const fs::path good = write_source(dir, {"a_up.jpg"});
  ASSERT_TRUE(fx::write_bytes(dir.file("bad_down.dng"), {'n', 'o'}));
  const fs::path missing = dir.file("missing_up.jpg");
  const fs::path png = dir.file("x_down.png");

  const Result<PairInfo> up_missing = inspect_pair(missing, dir.file("bad_down.dng"));
  ASSERT_FALSE(up_missing);
  EXPECT_EQ(up_missing.error().kind(), ErrorKind::Io);

  const Result<PairInfo> down_bad = inspect_pair(good, dir.file("bad_down.dng"));
  ASSERT_FALSE(down_bad);
  EXPECT_EQ(down_bad.error().kind(), ErrorKind::DngDecode);

  const Result<PairInfo> unsupported = inspect_pair(good, png);
  ASSERT_FALSE(unsupported);
  EXPECT_EQ(unsupported.error().display(), "Unsupported input format: " + png.string());
}

}  // namespace
}  // namespace stitch
