// The fast paths of the preparation (batched lens reads, the interleaved
// yaw/roll grid, the reordered alignment cost) must give exactly what the
// plain per-sample definitions give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "stitch/prepare.hpp"
#include "stitch/prepare_sampling.hpp"
#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

StitchSettings request() {
  StitchSettings s = requests::default_settings(0);
  s.seamFeatherDegrees = 0.5f;
  s.multibandLevels = 0;
  return s;
}

pairs::Pair small_pair() {
  pairs::PairOptions o;
  o.size = 200;
  o.supersample = 1;
  o.down.yawDegrees = 0.7f;
  o.down.rollDegrees = 0.3f;
  o.down.centerX = -0.003f;
  o.down.radiusScale = 0.995f;
  return pairs::render_pair(o);
}

TEST(Exactness, BatchedReadsEqualTheLensSample) {
  const pairs::Pair pair = small_pair();
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<Vec3> directions;
  for (int k = 0; k < 4000; ++k) {
    // Mostly near the equator, where both lenses see, plus anywhere.
    const float lat = k % 4 == 0 ? 90.0f * unit(rng) : 12.0f * unit(rng);
    directions.push_back(analysis_direction(0.5f * (unit(rng) + 1.0f), lat));
  }
  for (const LinearImage* image : {&pair.up, &pair.down}) {
    const float sign = image == &pair.up ? 1.0f : -1.0f;
    LensTransform lens;
    lens.yawDegrees = 1.3f;
    lens.rollDegrees = -0.7f;
    lens.centerY = 0.004f;
    lens.radiusScale = 1.01f;
    const FisheyeLens fisheye(lens, sign, 190.0f, image->width, image->height);
    prepare_detail::BatchSampler sampler(*image);
    std::vector<Rgb> out(directions.size());
    std::vector<std::uint8_t> present(directions.size());
    sampler.sample(fisheye, directions, out, present);
    std::size_t seen = 0;
    for (std::size_t k = 0; k < directions.size(); ++k) {
      const auto expected = fisheye.sample(*image, directions[k]);
      ASSERT_EQ(present[k] != 0, expected.has_value()) << k;
      if (expected) {
        ASSERT_EQ(out[k], *expected) << k;
        ++seen;
      }
    }
    EXPECT_GT(seen, directions.size() / 2);
  }
}

TEST(Exactness, InterleavedGridEqualsScoringEachCandidate) {
  pairs::Pair pair = small_pair();
  pair.up.raw = pair.down.raw = true;
  const StitchSettings s = request();
  const std::uint32_t w = 512;
  float best = std::numeric_limits<float>::infinity();
  LensTransform expected = s.down;
  for (int dy = -8; dy <= 8; ++dy) {
    for (int dr = -8; dr <= 8; ++dr) {
      LensTransform trial = s.down;
      trial.yawDegrees = s.down.yawDegrees + static_cast<float>(dy) * 0.25f;
      trial.rollDegrees = s.down.rollDegrees + static_cast<float>(dr) * 0.25f;
      const auto score = yaw_roll_score(pair.up, pair.down, s, trial, w);
      if (score && *score < best) {
        best = *score;
        expected = trial;
      }
    }
  }
  EXPECT_EQ(align_yaw_roll_grid(pair.up, pair.down, s, w), expected);
  EXPECT_NEAR(expected.yawDegrees + expected.rollDegrees, 1.0f, 0.26f);
}

// The cost straight from its definition: columns, latitudes, pairs, logs,
// median and median absolute deviation, one sample at a time.
float plain_cost(const pairs::Pair& pair, const StitchSettings& s, const LensTransform& trial,
                 std::uint32_t w) {
  std::vector<float> values;
  const std::uint32_t step = std::max<std::uint32_t>(w / 192, 1);
  for (std::uint32_t x = 0; x < w; x += step) {
    const float u = static_cast<float>(x) / static_cast<float>(w);
    for (float lat : {-6.0f, -4.0f, -2.0f, 0.0f, 2.0f, 4.0f, 6.0f}) {
      const Vec3 d = analysis_direction(u, lat);
      const auto a = sample_fisheye(pair.up, d, s.up, 1.0f, s.fovDegrees);
      const auto b = sample_fisheye(pair.down, d, trial, -1.0f, s.fovDegrees);
      if (!a || !b) continue;
      const float yu = luminance(*a);
      const float yd = luminance(*b);
      if (yu > 0.015f && yu < 0.92f && yd > 0.015f && yd < 0.92f) {
        values.push_back(std::log(yu) - std::log(yd));
      }
    }
  }
  if (values.size() < 128) return std::numeric_limits<float>::infinity();
  const float m = median_f32(values);
  for (float& v : values) v = std::fabs(v - m);
  return median_f32(values);
}

TEST(Exactness, AlignmentCostEqualsItsDefinition) {
  const pairs::Pair pair = small_pair();
  const StitchSettings s = request();
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (std::uint32_t w : {512u, 1024u, 100u}) {
    for (int k = 0; k < 8; ++k) {
      LensTransform trial;
      trial.yawDegrees = 2.0f * unit(rng);
      trial.rollDegrees = 2.0f * unit(rng);
      trial.centerX = 0.006f * unit(rng);
      trial.centerY = 0.006f * unit(rng);
      trial.radiusScale = 1.0f + 0.015f * unit(rng);
      EXPECT_EQ(jpeg_alignment_cost(pair.up, pair.down, s, trial, w), plain_cost(pair, s, trial, w))
          << "W " << w << " trial " << k;
    }
  }
}

}  // namespace
}  // namespace stitch
