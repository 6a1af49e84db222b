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

}  // namespace
}  // namespace stitch
