// The fast raster loops against straightforward implementations of the same
// per-pixel maths on small images: column tiles and the table quantiser must
// give exactly what a plain row-by-row loop with the transfer-function
// formula gives, and stay within float rounding of the per-pixel reference
// stitch, with and without a sphere rotation and at widths that end in a
// partial tile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "color/color.hpp"
#include "stitch/jobs/jobs.hpp"
#include "stitch/prepare.hpp"
#include "stitch/projection.hpp"
#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

std::uint8_t formula_srgb8(float c) {
  float v = c > 0.0f ? c : 0.0f;
  v = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::round(std::clamp(v, 0.0f, 1.0f) * 255.0f));
}

std::uint16_t formula_linear16(float c) {
  const float v = c > 0.0f ? std::min(c, 1.0f) : 0.0f;
  return static_cast<std::uint16_t>(std::round(v * 65535.0f));
}

struct Case {
  const char* name;
  std::uint32_t width;
  SphereRotation sphere;
  bool colour;
};

class PerfReference : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    pairs::PairOptions o;
    o.size = 200;
    o.down.yawDegrees = 0.7f;
    o.down.rollDegrees = -0.4f;
    o.down_exposure = {0.92f, 0.96f, 1.0f};
    pair_ = new pairs::Pair(pairs::render_pair(o));
  }
  static void TearDownTestSuite() {
    delete pair_;
    pair_ = nullptr;
  }

  PreparedSettings prepared() const {
    StitchSettings s = requests::default_settings();
    s.sphere = GetParam().sphere;
    if (GetParam().colour) {
      s.color.exposureEv = 0.4f;
      s.color.contrast = 15.0f;
      s.color.highlights = -20.0f;
      s.color.shadows = 10.0f;
      s.color.saturation = 12.0f;
      s.color.vibrance = 8.0f;
      s.color.warmth = 6.0f;
      s.color.tint = -4.0f;
    }
    return prepare(pair_->up, pair_->down, s, 256);
  }

  static pairs::Pair* pair_;
};

pairs::Pair* PerfReference::pair_ = nullptr;

// Row by row, pixel by pixel, in the order the per-row context was designed
// for, with the pow-based quantisers.
template <typename Sample, typename Quantize>
std::vector<Sample> plain_loop(const LinearImage& up_image, const LinearImage& down_image,
                               const PreparedSettings& p, std::uint32_t w, std::uint32_t h,
                               Quantize quantize) {
  const ImagePyramid up(up_image, p.settings.multibandLevels);
  const ImagePyramid down(down_image, p.settings.multibandLevels);
  const RenderContext context(up, down, p, w, h);
  std::vector<Sample> out(static_cast<std::size_t>(w) * h * 3);
  std::vector<Rgb> line(w);
  for (std::uint32_t y = 0; y < h; ++y) {
    context.render_row(y, line);
    for (std::uint32_t x = 0; x < w; ++x) {
      const Rgb c = apply_color_with_profile(line[x], p.settings.color, p.profile);
      for (int k = 0; k < 3; ++k) {
        out[(static_cast<std::size_t>(y) * w + x) * 3 + static_cast<std::size_t>(k)] = quantize(c[k]);
      }
    }
  }
  return out;
}

TEST_P(PerfReference, TiledLoopsEqualThePlainRowLoop) {
  const PreparedSettings p = prepared();
  const std::uint32_t w = GetParam().width, h = w / 2;
  CancelFlag cancel{false};
  auto fast8 = render_rgb8(pair_->up, pair_->down, p, w, h, cancel, {});
  auto fast16 = render_rgb16(pair_->up, pair_->down, p, w, h, cancel, {});
  ASSERT_TRUE(fast8 && fast16);
  EXPECT_EQ(*fast8, plain_loop<std::uint8_t>(pair_->up, pair_->down, p, w, h, formula_srgb8));
  EXPECT_EQ(*fast16, plain_loop<std::uint16_t>(pair_->up, pair_->down, p, w, h, formula_linear16));
}

TEST_P(PerfReference, TiledLoopsStayWithinRoundingOfThePerPixelStitch) {
  const PreparedSettings p = prepared();
  const std::uint32_t w = GetParam().width, h = w / 2;
  CancelFlag cancel{false};
  auto fast8 = render_rgb8(pair_->up, pair_->down, p, w, h, cancel, {});
  auto fast16 = render_rgb16(pair_->up, pair_->down, p, w, h, cancel, {});
  ASSERT_TRUE(fast8 && fast16);
  const ImagePyramid up(pair_->up, p.settings.multibandLevels);
  const ImagePyramid down(pair_->down, p.settings.multibandLevels);
  int worst8 = 0, worst16 = 0;
  std::size_t off8 = 0;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const Rgb c = apply_color_with_profile(render_pixel(up, down, p, x, y, w, h),
                                             p.settings.color, p.profile);
      for (int k = 0; k < 3; ++k) {
        const std::size_t i = (static_cast<std::size_t>(y) * w + x) * 3 + static_cast<std::size_t>(k);
        const int d8 = std::abs(int((*fast8)[i]) - int(formula_srgb8(c[k])));
        worst8 = std::max(worst8, d8);
        worst16 = std::max(worst16, std::abs(int((*fast16)[i]) - int(formula_linear16(c[k]))));
        off8 += d8 != 0;
      }
    }
  }
  EXPECT_LE(worst8, 1);
  EXPECT_LE(worst16, 8);  // float rounding of the projection, in 1/65535 steps
  EXPECT_LT(off8, static_cast<std::size_t>(w) * h * 3 / 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, PerfReference,
    ::testing::Values(Case{"one_partial_tile", 200, {}, true},
                      Case{"tiles_and_a_remainder", 600, {}, true},
                      Case{"rotated_sphere", 600, {12.0f, -7.5f, 3.0f}, true},
                      Case{"neutral_colour", 520, {}, false},
                      Case{"rotated_neutral", 520, {-30.0f, 4.0f, 0.0f}, false}),
    [](const ::testing::TestParamInfo<Case>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace stitch
