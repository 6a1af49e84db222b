// The rendering drivers and raster loops, called as a library: quantisation,
// agreement with the per-pixel reference, progress, cancellation, and the
// order of the job steps.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "color/color.hpp"
#include "stitch/jobs/jobs.hpp"
#include "stitch/prepare.hpp"
#include "stitch/projection.hpp"
#include "support/fixtures.hpp"
#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

using Report = std::tuple<JobStage, int, std::string>;

struct Recorder {
  std::vector<Report> reports;
  ProgressSink sink() {
    return [this](JobStage s, std::uint8_t p, std::string_view m) {
      reports.emplace_back(s, p, std::string(m));
    };
  }
};

std::uint8_t reference_srgb8(float c) {
  float v = std::max(c, 0.0f);
  if (std::isnan(c)) v = 0.0f;
  v = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::round(std::clamp(v, 0.0f, 1.0f) * 255.0f));
}

TEST(Quantize, Srgb8MatchesTheTransferFunctionEverywhere) {
  for (int i = 0; i <= 2000000; ++i) {
    const float v = static_cast<float>(i) / 1000000.0f - 0.5f;
    ASSERT_EQ(quantize_srgb8(v), reference_srgb8(v)) << v;
  }
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(quantize_srgb8(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(quantize_srgb8(inf), 255);
  EXPECT_EQ(quantize_srgb8(-inf), 0);
  EXPECT_EQ(quantize_srgb8(1e30f), 255);
}

TEST(Quantize, Linear16RoundsHalfAwayAndClamps) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, int>> cases = {
      {0.0f, 0},     {-1.0f, 0},  {1.0f, 65535}, {2.0f, 65535}, {0.5f / 65535.0f, 1},
      {0.5f, 32768}, {inf, 65535}, {-inf, 0},     {std::numeric_limits<float>::quiet_NaN(), 0}};
  for (const auto& [in, want] : cases) EXPECT_EQ(quantize_linear16(in), want) << in;
}

class RasterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pairs::PairOptions o;
    o.size = 160;
    o.down.yawDegrees = 0.5f;
    o.down_exposure = {0.9f, 0.95f, 1.0f};
    pair_ = pairs::render_pair(o);
    StitchSettings s = requests::default_settings();
    s.color.exposureEv = 0.3f;
    s.color.saturation = 20.0f;
    prepared_ = prepare(pair_.up, pair_.down, s, 256);
  }
  pairs::Pair pair_;
  PreparedSettings prepared_;
};

TEST_F(RasterTest, BothLoopsAgreeWithThePerPixelReference) {
  const std::uint32_t w = 256, h = 128;
  CancelFlag cancel{false};
  auto rgb8 = render_rgb8(pair_.up, pair_.down, prepared_, w, h, cancel, {});
  auto rgb16 = render_rgb16(pair_.up, pair_.down, prepared_, w, h, cancel, {});
  ASSERT_TRUE(rgb8 && rgb16);
  const ImagePyramid up(pair_.up, prepared_.settings.multibandLevels);
  const ImagePyramid down(pair_.down, prepared_.settings.multibandLevels);
  int worst8 = 0, worst16 = 0;
  std::size_t off8 = 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const Rgb px = apply_color_with_profile(render_pixel(up, down, prepared_, x, y, w, h),
                                              prepared_.settings.color, prepared_.profile);
      for (int c = 0; c < 3; ++c) {
        const std::size_t i = (static_cast<std::size_t>(y) * w + x) * 3 + c;
        const int d8 = std::abs(int((*rgb8)[i]) - int(reference_srgb8(px[c])));
        const float clamped = std::isnan(px[c]) ? 0.0f : std::clamp(px[c], 0.0f, 1.0f);
        const int d16 = std::abs(int((*rgb16)[i]) - int(std::round(clamped * 65535.0f)));
        worst8 = std::max(worst8, d8);
        worst16 = std::max(worst16, d16);
        off8 += d8 != 0;
      }
    }
  }
  EXPECT_LE(worst8, 1);
  EXPECT_LE(worst16, 8);  // float rounding in the projection, in 1/65535 steps
  EXPECT_LT(off8, static_cast<std::size_t>(w) * h * 3 / 1000);
}

TEST_F(RasterTest, ProgressAfterEveryBlock) {
  CancelFlag cancel{false};
  Recorder preview, exported;
  ASSERT_TRUE(render_rgb8(pair_.up, pair_.down, prepared_, 128, 64, cancel, preview.sink(),
                          RasterProgress::Preview));
  ASSERT_TRUE(render_rgb16(pair_.up, pair_.down, prepared_, 128, 64, cancel, exported.sink()));
  EXPECT_EQ(preview.reports, (std::vector<Report>{
                                 {JobStage::Project, 74, "Projecting preview on CPU"},
                                 {JobStage::Project, 91, "Projecting preview on CPU"}}));
  EXPECT_EQ(exported.reports, (std::vector<Report>{{JobStage::Project, 50, "Projecting panorama"},
                                                   {JobStage::Project, 61, "Projecting panorama"},
                                                   {JobStage::Project, 71, "Projecting panorama"},
                                                   {JobStage::Project, 82, "Projecting panorama"}}));
}

TEST_F(RasterTest, CancellationStopsBeforeTheNextBlock) {
  CancelFlag cancel{false};
  int reports = 0;
  ProgressSink sink = [&](JobStage, std::uint8_t, std::string_view) {
    ++reports;
    cancel = true;
  };
  auto out = render_rgb8(pair_.up, pair_.down, prepared_, 256, 128, cancel, sink);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(reports, 1);
}

TEST_F(RasterTest, AFailureInsideARowTaskReachesTheCaller) {
  CancelFlag cancel{false};
  JobOptions options;
  options.row_hook = [](std::uint32_t row) {
    if (row == 40) throw std::runtime_error("row task failed");
  };
  EXPECT_THROW(
      (void)render_rgb8(pair_.up, pair_.down, prepared_, 128, 64, cancel, {}, RasterProgress::Export,
                        options),
      std::runtime_error);
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pairs::PairOptions o;
    o.size = 256;
    auto written = pairs::write_pair_jpg(dir_.path(), pairs::render_pair(o));
    ASSERT_TRUE(written);
    paths_ = *written;
  }
  fixtures::TempDir dir_;
  pairs::PairPaths paths_;
  JobOptions cpu_only() {
    JobOptions o;
    o.try_gpu = false;
    return o;
  }
};

TEST_F(DriverTest, PreviewStepsAndResult) {
  CancelFlag cancel{false};
  Recorder rec;
  StitchSettings s = requests::default_settings(8000);
  const auto dest = dir_.path() / "preview.jpg";
  auto info = render_preview(paths_.up, paths_.down, dest, s, false, cancel, rec.sink(), cpu_only());
  ASSERT_TRUE(info) << info.error().display();
  EXPECT_EQ(info->width, 1024u);
  EXPECT_EQ(info->height, 512u);
  EXPECT_FALSE(info->usedGpu);
  EXPECT_EQ(info->renderProfileId, "neutral-v1");
  EXPECT_EQ(info->path, dest.string());
  EXPECT_TRUE(info->suggestedColor.has_value());
  EXPECT_TRUE(std::filesystem::exists(dest));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / ".preview.jpg.part"));
  std::vector<Report> want = {{JobStage::Decode, 5, "Developing source images"},
                              {JobStage::Decode, 35, "Developing DOWN image"},
                              {JobStage::Align, 45, "Optimizing overlap alignment"},
                              {JobStage::Project, 58, "Projecting preview"}};
  for (int block = 1; block <= 16; ++block) {
    const int p = static_cast<int>(std::round(block * 32 / 512.0 * 100));
    want.emplace_back(JobStage::Project, 58 + p / 3, "Projecting preview on CPU");
  }
  want.emplace_back(JobStage::Encode, 94, "Encoding preview");
  want.emplace_back(JobStage::Complete, 100, "Preview ready");
  EXPECT_EQ(rec.reports, want);
}

TEST_F(DriverTest, DeferredPreviewKeepsTheNeutralStitch) {
  CancelFlag cancel{false};
  StitchSettings s = requests::default_settings();
  s.color.exposureEv = 2.0f;
  const auto plain = dir_.path() / "plain.jpg";
  const auto deferred = dir_.path() / "deferred.jpg";
  auto a = render_preview(paths_.up, paths_.down, plain, s, false, cancel, {}, cpu_only());
  auto b = render_preview(paths_.up, paths_.down, deferred, s, true, cancel, {}, cpu_only());
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(b->suggestedColor.has_value());
  EXPECT_EQ(a->suggestedColor, b->suggestedColor);
  EXPECT_NE(fixtures::read_bytes(plain).value(), fixtures::read_bytes(deferred).value());
}

TEST_F(DriverTest, InvalidSettingsFailBeforeAnythingHappens) {
  CancelFlag cancel{false};
  Recorder rec;
  StitchSettings s = requests::default_settings();
  s.outputWidth = 2049;
  const auto dest = dir_.path() / "out" / "p.jpg";
  auto info = render_preview(paths_.up, paths_.down, dest, s, false, cancel, rec.sink(), cpu_only());
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().display(), "Invalid stitch settings: Output width must be an even number");
  ExportRequest ex{(dir_.path() / "e.jpg").string(), OutputFormat::Jpg, 90, true, ""};
  Status st = run_export(paths_.up, paths_.down, s, ex, cancel, rec.sink(), cpu_only());
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidSettings);
  EXPECT_TRUE(rec.reports.empty());
  EXPECT_FALSE(std::filesystem::exists(dest));
  EXPECT_FALSE(std::filesystem::exists(ex.destination));
}

TEST_F(DriverTest, LinearDngNeedsTwoDngSources) {
  CancelFlag cancel{false};
  Recorder rec;
  ExportRequest ex{(dir_.path() / "e.dng").string(), OutputFormat::Dng, 90, true, ""};
  Status st = run_export(paths_.up, paths_.down, requests::default_settings(), ex, cancel,
                         rec.sink(), cpu_only());
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().display(),
            "Invalid stitch settings: Linear DNG export requires two DNG sources");
  EXPECT_TRUE(rec.reports.empty());
}

TEST_F(DriverTest, MissingUpSourceIsReportedEvenWhenDownIsMissingToo) {
  CancelFlag cancel{false};
  Recorder rec;
  auto info = render_preview(dir_.path() / "nope_UP.jpg", dir_.path() / "nope_DOWN.dng",
                             dir_.path() / "p.jpg", requests::default_settings(), false, cancel,
                             rec.sink(), cpu_only());
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().kind(), ErrorKind::Io);
  EXPECT_EQ(rec.reports.size(), 1u);
}

TEST_F(DriverTest, ExportStepsForJpgAndDng) {
  CancelFlag cancel{false};
  Recorder rec;
  ExportRequest ex{(dir_.path() / "pano.jpg").string(), OutputFormat::Jpg, 85, true, ""};
  Status st = run_export(paths_.up, paths_.down, requests::default_settings(), ex, cancel,
                         rec.sink(), cpu_only());
  ASSERT_TRUE(st) << st.error().display();
  std::vector<Report> want = {{JobStage::Decode, 2, "Developing UP source"},
                              {JobStage::Decode, 18, "Developing DOWN source"},
                              {JobStage::Align, 35, "Optimizing alignment and exposure"}};
  for (int block = 1; block <= 32; ++block) {
    const int p = static_cast<int>(std::round(block * 32 / 1024.0 * 100));
    want.emplace_back(JobStage::Project, 40 + p * 42 / 100, "Projecting panorama");
  }
  want.emplace_back(JobStage::Blend, 83, "Applying clarity and adaptive detail");
  want.emplace_back(JobStage::Encode, 92, "Writing output file");
  want.emplace_back(JobStage::Complete, 100, "Export complete");
  EXPECT_EQ(rec.reports, want);
  EXPECT_GT(std::filesystem::file_size(ex.destination), 1000u);

  // A DNG pair exports without the detail stage.
  pairs::PairOptions o;
  o.size = 192;
  o.raw = true;
  std::filesystem::create_directories(dir_.path() / "dng");
  auto dng = pairs::write_pair_dng(dir_.path() / "dng", pairs::render_pair(o));
  ASSERT_TRUE(dng) << dng.error().display();
  Recorder dng_rec;
  ExportRequest dng_ex{(dir_.path() / "pano.dng").string(), OutputFormat::Dng, 90, false, ""};
  st = run_export(dng->up, dng->down, requests::default_settings(), dng_ex, cancel,
                  dng_rec.sink(), cpu_only());
  ASSERT_TRUE(st) << st.error().display();
  for (const auto& r : dng_rec.reports) EXPECT_NE(std::get<0>(r), JobStage::Blend);
  EXPECT_EQ(std::get<2>(dng_rec.reports.back()), "Export complete");
}

}  // namespace
}  // namespace stitch
