#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "stitch/stitch.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

PreparedSettings prepared_for(const pairs::PairOptions& o, std::uint8_t levels) {
  PreparedSettings p;
  p.settings.presetId = "dji-avata360";
  p.settings.presetVersion = 2;
  p.settings.renderProfileId = "dji-avata360-natural-v1";
  p.settings.outputWidth = 2048;
  p.settings.fovDegrees = o.fov_degrees;
  p.settings.seamFeatherDegrees = 2.0f;
  p.settings.up = o.up;
  p.settings.down = o.down;
  p.settings.multibandLevels = levels;
  return p;
}

// Mean absolute difference between a stitch and the true scene over the rows
// whose latitude lies in [lat_lo, lat_hi] degrees.
double stitch_error(const pairs::Pair& pair, const PreparedSettings& p, float lat_lo, float lat_hi) {
  const std::uint32_t w = 256, h = 128;
  const LinearImage truth = pairs::render_equirect({}, w, h);
  ImagePyramid up(pair.up, p.settings.multibandLevels);
  ImagePyramid down(pair.down, p.settings.multibandLevels);
  double sum = 0;
  std::size_t n = 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    const float lat = output_latitude(y, h) / kDegToRad;
    if (lat < lat_lo || lat > lat_hi) continue;
    for (std::uint32_t x = 0; x < w; ++x) {
      const Rgb c = render_pixel(up, down, p, x, y, w, h);
      for (int ch = 0; ch < 3; ++ch) {
        sum += std::fabs(c[ch] - truth.pixels[(std::size_t{y} * w + x) * 3 + ch]);
        ++n;
      }
    }
  }
  return sum / static_cast<double>(n);
}

TEST(SyntheticPair, StitchWithTrueLensesReproducesTheScene) {
  pairs::PairOptions o;
  o.size = 256;
  o.down = {0.002f, -0.002f, 1.004f, 0.6f, -0.4f};
  const pairs::Pair pair = pairs::render_pair(o);
  const PreparedSettings p = prepared_for(o, 1);
  const double err = stitch_error(pair, p, -80.0f, 80.0f);
  EXPECT_LT(err, 0.01) << err;

  PreparedSettings wrong = p;
  wrong.settings.down = {};
  const double wrong_err = stitch_error(pair, wrong, -80.0f, -10.0f);
  const double true_err = stitch_error(pair, p, -80.0f, -10.0f);
  std::printf("stitch error: all %.5f, lower true %.5f, lower wrong %.5f\n", err, true_err, wrong_err);
  EXPECT_GT(wrong_err, 2.0 * true_err) << wrong_err << " vs " << true_err;
}

double mean_abs_diff(const LinearImage& a, const LinearImage& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::fabs(a.pixels[i] - b.pixels[i]);
  return sum / static_cast<double>(a.pixels.size());
}

TEST(SyntheticPair, OptionsReachTheImages) {
  pairs::PairOptions o;
  o.size = 64;
  o.raw = true;
  o.camera = "DJI FCA188";
  o.up_iso = 200.0f;
  o.down_baseline_exposure_ev = -0.5f;
  o.down_exposure = {0.5f, 0.5f, 0.5f};
  const pairs::Pair pair = pairs::render_pair(o);
  EXPECT_EQ(pair.up.width, 64u);
  EXPECT_EQ(pair.down.pixels.size(), 64u * 64u * 3u);
  EXPECT_TRUE(pair.up.raw && pair.down.raw);
  EXPECT_EQ(pair.down.camera, o.camera);
  EXPECT_EQ(pair.up.iso, o.up_iso);
  EXPECT_FALSE(pair.down.iso.has_value());
  EXPECT_EQ(pair.down.baseline_exposure_ev, o.down_baseline_exposure_ev);
  // Corners lie outside the image circle and are black; the centre is lit.
  EXPECT_EQ(pair.up.pixels[0], 0.0f);
  const std::size_t centre = (32u * 64u + 32u) * 3u;
  EXPECT_GT(pair.up.pixels[centre + 1], 0.04f);
  // The DOWN exposure halves the DOWN image against an unscaled render.
  o.down_exposure = {1.0f, 1.0f, 1.0f};
  const pairs::Pair full = pairs::render_pair(o);
  EXPECT_NEAR(pair.down.pixels[centre], 0.5f * full.down.pixels[centre], 1e-6f);
}

TEST(SyntheticPair, OccluderDarkensTheDownLensOnly) {
  pairs::Occluder occ;
  occ.longitude_degrees = 90.0f;
  occ.width_degrees = 40.0f;
  occ.top_latitude_degrees = 3.0f;
  EXPECT_TRUE(pairs::occluded(occ, direction_from_lat_lon(0.0f, 90.0f * kDegToRad)));
  EXPECT_TRUE(pairs::occluded(occ, direction_from_lat_lon(-40.0f * kDegToRad, 75.0f * kDegToRad)));
  EXPECT_FALSE(pairs::occluded(occ, direction_from_lat_lon(4.0f * kDegToRad, 90.0f * kDegToRad)));
  EXPECT_FALSE(pairs::occluded(occ, direction_from_lat_lon(0.0f, 115.0f * kDegToRad)));
  // Wraps across longitude 180.
  occ.longitude_degrees = 175.0f;
  EXPECT_TRUE(pairs::occluded(occ, direction_from_lat_lon(0.0f, -175.0f * kDegToRad)));

  pairs::PairOptions o;
  o.size = 128;
  const pairs::Pair clear = pairs::render_pair(o);
  o.occluder = pairs::Occluder{};
  const pairs::Pair blocked = pairs::render_pair(o);
  EXPECT_EQ(clear.up.pixels, blocked.up.pixels);
  // Where DOWN sees the occluded equator (longitude 0: the bottom of its
  // image circle's rim) the image is dark.
  const Vec3 d = direction_from_lat_lon(0.0f, 0.0f);
  const auto dark = sample_fisheye(blocked.down, d, {}, -1.0f, 190.0f);
  const auto lit = sample_fisheye(clear.down, d, {}, -1.0f, 190.0f);
  ASSERT_TRUE(dark && lit);
  EXPECT_LT((*dark)[1], 0.1f * (*lit)[1]);
}

TEST(SyntheticPair, WritesJpgAndDngPairsThatLoadBack) {
  pairs::PairOptions o;
  o.size = 96;
  const pairs::Pair pair = pairs::render_pair(o);
  fixtures::TempDir dir;

  const auto jpg = pairs::write_pair_jpg(dir.path(), pair);
  ASSERT_TRUE(jpg.has_value()) << jpg.error().display();
  EXPECT_EQ(jpg->up.filename(), "SYNTH_0001_UP.jpg");
  EXPECT_EQ(jpg->down.filename(), "SYNTH_0001_DOWN.jpg");
  const auto up = load_source(jpg->up);
  const auto down = load_source(jpg->down);
  ASSERT_TRUE(up.has_value() && down.has_value());
  EXPECT_FALSE(up->raw);
  EXPECT_EQ(up->width, 96u);
  EXPECT_LT(mean_abs_diff(*up, pair.up), 0.01);
  EXPECT_LT(mean_abs_diff(*down, pair.down), 0.01);

  pairs::Pair raw_pair = pair;
  raw_pair.up.iso = 400.0f;
  raw_pair.down.baseline_exposure_ev = -0.5f;
  fixtures::DngFixtureOptions dng_options;
  dng_options.model = "FCA188";
  const auto dng = pairs::write_pair_dng(dir.path(), raw_pair, dng_options);
  ASSERT_TRUE(dng.has_value()) << dng.error().display();
  EXPECT_EQ(dng->down.filename(), "SYNTH_0001_DOWN.dng");
  const auto raw_up = load_source(dng->up);
  const auto raw_down = load_source(dng->down);
  ASSERT_TRUE(raw_up.has_value()) << raw_up.error().display();
  ASSERT_TRUE(raw_down.has_value()) << raw_down.error().display();
  EXPECT_TRUE(raw_up->raw);
  EXPECT_TRUE(is_avata360(raw_up->camera)) << raw_up->camera.value_or("<none>");
  EXPECT_EQ(raw_up->iso, 400.0f);
  ASSERT_TRUE(raw_down->baseline_exposure_ev.has_value());
  EXPECT_NEAR(*raw_down->baseline_exposure_ev, -0.5f, 1e-6f);
  // Demosaicing blurs the fine texture a little.
  EXPECT_LT(mean_abs_diff(*raw_up, pair.up), 0.03);
}

}  // namespace
}  // namespace stitch
