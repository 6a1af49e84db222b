#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "stitch/stitch.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

constexpr float kHalfPi = 1.57079633f;

LinearImage image_from(std::uint32_t w, std::uint32_t h,
                       const std::function<Rgb(std::uint32_t, std::uint32_t)>& f) {
  LinearImage img;
  img.width = w;
  img.height = h;
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) {
      const Rgb c = f(x, y);
      img.pixels.insert(img.pixels.end(), c.begin(), c.end());
    }
  return img;
}

void expect_rgb_near(const Rgb& got, const Rgb& want, float tol = 1e-6f) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], tol) << "channel " << c;
}

Rgb px(const LinearImage& img, std::uint32_t x, std::uint32_t y) {
  const float* p = img.pixels.data() + (std::size_t{y} * img.width + x) * 3;
  return {p[0], p[1], p[2]};
}

PreparedSettings basic_prepared(float fov = 190.0f, std::uint8_t levels = 1) {
  PreparedSettings p;
  p.settings.presetId = "dji-avata360";
  p.settings.presetVersion = 2;
  p.settings.renderProfileId = "dji-avata360-natural-v1";
  p.settings.outputWidth = 2048;
  p.settings.fovDegrees = fov;
  p.settings.seamFeatherDegrees = 2.0f;
  p.settings.multibandLevels = levels;
  return p;
}

// ---- pyramid ------------------------------------------------------------------

TEST(DownsampleHalf, AveragesBlocksAndRepeatsTheLastOddRowAndColumn) {
  LinearImage img = image_from(5, 3, [](std::uint32_t x, std::uint32_t y) {
    const float v = static_cast<float>(y * 10 + x);
    return Rgb{v, 2 * v, -v};
  });
  img.camera = "cam";
  img.iso = 400.0f;
  img.baseline_exposure_ev = -0.5f;
  img.raw = true;
  const LinearImage half = downsample_half(img);
  ASSERT_EQ(half.width, 2u);
  ASSERT_EQ(half.height, 1u);
  ASSERT_EQ(half.pixels.size(), 6u);
  // Row 0 from rows 0 and 1; columns (0,1) and (2,3).
  EXPECT_FLOAT_EQ(px(half, 0, 0)[0], (0 + 1 + 10 + 11) * 0.25f);
  EXPECT_FLOAT_EQ(px(half, 1, 0)[0], (2 + 3 + 12 + 13) * 0.25f);
  EXPECT_FLOAT_EQ(px(half, 1, 0)[1], (2 + 3 + 12 + 13) * 0.5f);
  EXPECT_EQ(half.camera, img.camera);
  EXPECT_EQ(half.iso, img.iso);
  EXPECT_EQ(half.baseline_exposure_ev, img.baseline_exposure_ev);
  EXPECT_TRUE(half.raw);

  // A 3 x 3 image: its single output pixel reads rows/columns 0 and 1.
  const LinearImage odd = image_from(3, 3, [](std::uint32_t x, std::uint32_t y) {
    return Rgb{static_cast<float>(y * 3 + x), 0, 0};
  });
  const LinearImage odd_half = downsample_half(odd);
  ASSERT_EQ(odd_half.width, 1u);
  EXPECT_FLOAT_EQ(px(odd_half, 0, 0)[0], (0 + 1 + 3 + 4) * 0.25f);

  // One pixel wide: nothing left, nothing read out of bounds.
  const LinearImage thin = downsample_half(image_from(1, 7, [](auto, auto) { return Rgb{1, 1, 1}; }));
  EXPECT_EQ(thin.width, 0u);
  EXPECT_TRUE(thin.pixels.empty());

  // A buffer that does not match its size gives an empty image.
  LinearImage broken = img;
  broken.pixels.resize(4);
  EXPECT_TRUE(downsample_half(broken).pixels.empty());
}

TEST(ImagePyramid, LevelCountAndEarlyStop) {
  const LinearImage big = image_from(512, 256, [](auto, auto) { return Rgb{0.5f, 0.5f, 0.5f}; });
  struct Case {
    std::uint8_t levels;
    std::size_t images;
  };
  // 512 x 256 halves seven times down to 4 x 2 (the last step starts from
  // 8 x 4, which is still at least 4 pixels both ways).
  const Case cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}, {7, 7}, {8, 8}, {9, 8}, {20, 8}, {255, 8}};
  for (const Case& c : cases) {
    const ImagePyramid p(big, c.levels);
    EXPECT_EQ(p.image_count(), c.images) << int(c.levels);
    EXPECT_EQ(&p.base(), &big);
  }
  const ImagePyramid p(big, 8);
  ASSERT_EQ(p.levels().size(), 7u);
  EXPECT_EQ(p.levels()[0].width, 256u);
  EXPECT_EQ(p.levels()[0].height, 128u);
  EXPECT_EQ(p.levels()[6].width, 4u);
  EXPECT_EQ(p.levels()[6].height, 2u);

  // 6 x 6 halves once to 3 x 3, which is too small to halve again.
  LinearImage small = image_from(6, 6, [](auto, auto) { return Rgb{1, 1, 1}; });
  small.camera = "base camera";
  small.raw = true;
  const ImagePyramid ps(small, 8);
  ASSERT_EQ(ps.levels().size(), 1u);
  EXPECT_EQ(ps.levels()[0].camera, small.camera);
  EXPECT_TRUE(ps.levels()[0].raw);
  // Below 4 pixels in either dimension: no reduced levels at all.
  const LinearImage narrow = image_from(3, 100, [](auto, auto) { return Rgb{1, 1, 1}; });
  EXPECT_EQ(ImagePyramid(narrow, 8).image_count(), 1u);
  const LinearImage low = image_from(100, 3, [](auto, auto) { return Rgb{1, 1, 1}; });
  EXPECT_EQ(ImagePyramid(low, 8).image_count(), 1u);
}

// ---- output grid and rotation ---------------------------------------------------

TEST(OutputGrid, RowsAndColumnsMapToLatitudeAndLongitude) {
  const std::uint32_t h = 512;
  EXPECT_EQ(output_latitude(h - 1, h), -kHalfPi);
  EXPECT_EQ(output_latitude(h - 1, h), -0.5f * kPi);
  EXPECT_NEAR(output_latitude(0, h), kHalfPi - kPi / h, 1e-6f);
  EXPECT_EQ(output_latitude(h / 2 - 1, h), 0.0f);
  // Rows past the bottom clamp to the bottom.
  EXPECT_EQ(output_latitude(h + 5, h), -kHalfPi);
  EXPECT_NEAR(output_longitude(0, 1024), kPi, 1e-6f);
  EXPECT_NEAR(output_longitude(512, 1024), 0.0f, 1e-6f);
  EXPECT_NEAR(output_longitude(768, 1024), -kHalfPi, 1e-6f);

  const Vec3 bottom = output_direction(7, h - 1, 2 * h, h);
  EXPECT_NEAR(bottom.y, -1.0f, 1e-7f);
  EXPECT_EQ(source_latitude(bottom), -kHalfPi);
  const Vec3 front = direction_from_lat_lon(0.0f, 0.0f);
  EXPECT_EQ(front.z, 1.0f);
  const Vec3 east = direction_from_lat_lon(0.0f, kHalfPi);
  EXPECT_NEAR(east.x, 1.0f, 1e-7f);
}

TEST(SphereRotation, AppliesTheInverseYawPitchRollInOrder) {
  const Vec3 front{0.0f, 0.0f, 1.0f};
  // Yaw 90 turns about Y by -90 degrees: +Z goes to -X.
  Vec3 v = rotate_sphere(front, {90.0f, 0.0f, 0.0f});
  EXPECT_NEAR(v.x, -1.0f, 1e-6f);
  EXPECT_NEAR(v.z, 0.0f, 1e-6f);
  // Pitch 90 turns about X by -90 degrees: +Z goes to +Y.
  v = rotate_sphere(front, {0.0f, 90.0f, 0.0f});
  EXPECT_NEAR(v.y, 1.0f, 1e-6f);
  // Roll 90 turns about Z by -90 degrees: +Y goes to +X.
  v = rotate_sphere({0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 90.0f});
  EXPECT_NEAR(v.x, 1.0f, 1e-6f);
  // Order: yaw first, then pitch. +X under yaw 90 -> +Z; under pitch 90 -> +Y.
  v = rotate_sphere({1.0f, 0.0f, 0.0f}, {90.0f, 90.0f, 0.0f});
  EXPECT_NEAR(v.y, 1.0f, 1e-6f);
  // Zero rotation leaves the direction alone.
  const Vec3 d = direction_from_lat_lon(0.3f, -1.2f);
  v = rotate_sphere(d, {});
  EXPECT_EQ(v.x, d.x);
  EXPECT_EQ(v.y, d.y);
  EXPECT_EQ(v.z, d.z);
}

TEST(SourceX, LongitudeFractionStartsAt180Degrees) {
  struct Case {
    float lon;
    float u;
  };
  const Case cases[] = {{kPi * 0.999999f, 0.0f}, {0.0f, 0.5f}, {-kHalfPi, 0.75f}, {kHalfPi, 0.25f}};
  for (const Case& c : cases) {
    EXPECT_NEAR(source_x(direction_from_lat_lon(0.2f, c.lon)), c.u, 1e-5f) << c.lon;
  }
  // Longitude exactly -pi (atan2 of -0 and -1) wraps to 0, never to 1.
  const float u = source_x(Vec3{-0.0f, 0.0f, -1.0f});
  EXPECT_GE(u, 0.0f);
  EXPECT_LT(u, 1.0f);
  // Just past longitude 180 going west: close to 1, still below it.
  const float almost_one = source_x(Vec3{-1e-3f, 0.0f, -1.0f});
  EXPECT_LT(almost_one, 1.0f);
  EXPECT_GT(almost_one, 0.9998f);
  // Closer than float resolution to 1: wraps to 0 rather than reaching 1.
  EXPECT_EQ(source_x(Vec3{-1e-8f, 0.0f, -1.0f}), 0.0f);
}

// ---- profile lookup, influence, weights --------------------------------------------

TEST(ProfileLookup, CircularLinearInterpolation) {
  const std::vector<float> list{0.0f, 1.0f, 2.0f, 3.0f};
  struct Case {
    float u;
    float expected;
  };
  const Case cases[] = {
      {0.0f, 0.0f},  {0.125f, 0.5f}, {0.5f, 2.0f}, {0.75f, 3.0f},
      {0.9f, 1.2f},  // between the last entry (3) and entry 0 (0): 0.4 * 3
      {0.999999f, 3.0f * (1.0f - (0.999999f * 4 - 3))},
  };
  for (const Case& c : cases) EXPECT_NEAR(lookup_profile(list, c.u), c.expected, 1e-5f) << c.u;
  // A single entry is constant.
  EXPECT_EQ(lookup_profile(std::vector<float>{0.25f}, 0.7f), 0.25f);
  // Out-of-range positions still read valid entries.
  EXPECT_TRUE(std::isfinite(lookup_profile(list, 1.0f)));
  EXPECT_TRUE(std::isfinite(lookup_profile(list, -0.1f)));
  EXPECT_EQ(lookup_profile(list, std::nanf("")), 0.0f);
}

TEST(LocalInfluence, FullUpTo10DegreesNoneBeyond28) {
  struct Case {
    float degrees;
    float expected;
  };
  const Case cases[] = {{0.0f, 1.0f}, {10.0f, 1.0f}, {-9.0f, 1.0f}, {19.0f, 0.5f},
                        {-19.0f, 0.5f}, {28.0f, 0.0f}, {45.0f, 0.0f}, {-90.0f, 0.0f}};
  for (const Case& c : cases) {
    EXPECT_NEAR(local_influence(c.degrees * kDegToRad), c.expected, 1e-5f) << c.degrees;
  }
  const std::vector<float> gains{1.2f};
  EXPECT_NEAR(local_gain_factor(gains, 0.3f, 0.5f), 1.1f, 1e-6f);
  EXPECT_EQ(local_gain_factor({}, 0.3f, 1.0f), 1.0f);
}

TEST(SeamWeight, SmoothstepAcrossTheFeather) {
  const float f = 0.01f;
  EXPECT_EQ(seam_weight(0.0f, f), 0.5f);
  EXPECT_EQ(seam_weight(f, f), 1.0f);
  EXPECT_EQ(seam_weight(-f, f), 0.0f);
  EXPECT_EQ(seam_weight(2 * f, f), 1.0f);
  EXPECT_NEAR(seam_weight(0.5f * f, f), 0.84375f, 1e-6f);  // t = 0.75
  EXPECT_EQ(smoothstep(0.0f, 1.0f, 0.5f), 0.5f);
  EXPECT_EQ(smoothstep(0.2f, 0.4f, 0.1f), 0.0f);
  EXPECT_EQ(smoothstep(0.2f, 0.4f, 0.9f), 1.0f);

  StitchSettings s;
  s.seamFeatherDegrees = 0.0f;
  EXPECT_EQ(fallback_feather(s), kMinFeatherRadians);
  s.seamFeatherDegrees = 2.0f;
  EXPECT_NEAR(fallback_feather(s), 2.0f * kDegToRad, 1e-9f);
}

// ---- lens projection ------------------------------------------------------------

TEST(FisheyeProjection, LensAxisMapsToTheCentre) {
  const LensTransform lenses[] = {{}, {0.1f, -0.05f, 1.1f, 30.0f, -12.0f}, {-0.2f, 0.2f, 0.8f, -3.0f, 7.0f}};
  for (const LensTransform& lens : lenses) {
    for (float sign : {1.0f, -1.0f}) {
      const std::uint32_t w = 400, h = 300;
      const auto p = project_to_fisheye({0.0f, sign, 0.0f}, lens, sign, 190.0f, w, h);
      ASSERT_TRUE(p.has_value());
      EXPECT_FLOAT_EQ(p->x, (w - 1) * 0.5f + lens.centerX * w);
      EXPECT_FLOAT_EQ(p->y, (h - 1) * 0.5f + lens.centerY * h);
    }
  }
  // The lens axis of the other lens is far outside this one.
  EXPECT_FALSE(project_to_fisheye({0.0f, -1.0f, 0.0f}, {}, 1.0f, 190.0f, 100, 100));
}

TEST(FisheyeProjection, HalfFieldOfViewLimitAndEdgeRadius) {
  const float fov = 190.0f;
  const float half = fov * 0.5f * kDegToRad;
  const std::uint32_t size = 501;  // max radius 250
  for (float sign : {1.0f, -1.0f}) {
    for (float eps : {-1e-3f, 1e-3f}) {
      const float theta = half + eps;
      // theta off the lens axis towards longitude 0.
      const Vec3 d{0.0f, sign * std::cos(theta), std::sin(theta)};
      const auto p = project_to_fisheye(d, {}, sign, fov, size, size);
      EXPECT_EQ(p.has_value(), eps < 0) << sign << " " << eps;
    }
  }
  // The equator of a 180-degree lens lies on the edge circle; UP sees
  // longitude 0 at the top of its image and +90 degrees on the right, DOWN
  // sees longitude 0 at the bottom.
  struct Case {
    Vec3 d;
    float sign;
    float x, y;
  };
  const float c = 250.0f, r = 250.0f;
  const Case cases[] = {
      {{0, 0, 1}, 1.0f, c, c - r},  {{1, 0, 0}, 1.0f, c + r, c}, {{0, 0, -1}, 1.0f, c, c + r},
      {{0, 0, 1}, -1.0f, c, c + r}, {{1, 0, 0}, -1.0f, c + r, c},
  };
  for (const Case& k : cases) {
    const auto p = project_to_fisheye(k.d, {}, k.sign, 180.0f, size, size);
    ASSERT_TRUE(p.has_value());
    EXPECT_NEAR(p->x, k.x, 1e-3f);
    EXPECT_NEAR(p->y, k.y, 1e-3f);
  }
  // Equidistant: half way to the edge angle is half way to the edge radius,
  // scaled by radiusScale.
  LensTransform scaled;
  scaled.radiusScale = 1.1f;
  const float theta = half * 0.5f;
  const auto p = project_to_fisheye({0.0f, std::cos(theta), std::sin(theta)}, scaled, 1.0f, fov, size, size);
  ASSERT_TRUE(p.has_value());
  EXPECT_NEAR(c - p->y, r * 0.5f * 1.1f, 1e-3f);
}

TEST(FisheyeProjection, YawAndRollTurnAboutTheLensAxis) {
  const Vec3 d = direction_from_lat_lon(0.05f, 0.7f);
  auto at = [&](float yaw, float roll, float sign) {
    LensTransform l;
    l.yawDegrees = yaw;
    l.rollDegrees = roll;
    return *project_to_fisheye(d, l, sign, 190.0f, 512, 512);
  };
  // UP: only roll - yaw matters; DOWN: only roll + yaw.
  const FisheyePoint up_a = at(10.0f, 0.0f, 1.0f), up_b = at(0.0f, -10.0f, 1.0f);
  EXPECT_NEAR(up_a.x, up_b.x, 2e-3f);
  EXPECT_NEAR(up_a.y, up_b.y, 2e-3f);
  const FisheyePoint dn_a = at(10.0f, 0.0f, -1.0f), dn_b = at(0.0f, 10.0f, -1.0f);
  EXPECT_NEAR(dn_a.x, dn_b.x, 2e-3f);
  EXPECT_NEAR(dn_a.y, dn_b.y, 2e-3f);
  // The precomputed lens gives exactly the same points.
  LensTransform l{0.01f, -0.02f, 1.03f, 1.5f, -0.7f};
  const FisheyeLens lens(l, -1.0f, 190.0f, 512, 400);
  for (float lon = -3.0f; lon < 3.0f; lon += 0.37f) {
    const Vec3 v = direction_from_lat_lon(-0.04f, lon);
    const auto a = lens.project(v);
    const auto b = project_to_fisheye(v, l, -1.0f, 190.0f, 512, 400);
    ASSERT_EQ(a.has_value(), b.has_value());
    EXPECT_EQ(a->x, b->x);
    EXPECT_EQ(a->y, b->y);
  }
}

TEST(FisheyeSampling, PyramidEntriesAndBorders) {
  const LinearImage img = image_from(64, 64, [](std::uint32_t x, std::uint32_t y) {
    return Rgb{static_cast<float>(x), static_cast<float>(y), 1.0f};
  });
  const ImagePyramid single(img, 1);
  const ImagePyramid multi(img, 3);
  const Vec3 axis{0.0f, 1.0f, 0.0f};
  const auto one = sample_fisheye_pyramid(single, axis, {}, 1.0f, 190.0f);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->count, 1);
  EXPECT_FLOAT_EQ(one->entries[0][0], 31.5f);
  EXPECT_FLOAT_EQ(one->entries[0][1], 31.5f);
  const auto three = sample_fisheye_pyramid(multi, axis, {}, 1.0f, 190.0f);
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(three->count, 3);
  // Level k of a linear ramp, sampled at the mapped centre, is the ramp
  // value at the centre again.
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(three->entries[k][0], 31.5f, 1e-4f) << k;
  // Base-only sampling agrees with entry 0.
  const auto base = sample_fisheye(img, axis, {}, 1.0f, 190.0f);
  ASSERT_TRUE(base.has_value());
  EXPECT_EQ((*base)[0], three->entries[0][0]);

  // The base sample is the image module's bilinear sample at the projected
  // point, bit for bit.
  const pairs::Pair pair = pairs::render_pair({.size = 96});
  const LensTransform lens{0.01f, -0.02f, 1.05f, 3.0f, -2.0f};
  std::size_t compared = 0;
  for (float lat = -1.5f; lat < 1.5f; lat += 0.05f) {
    for (float lon = -3.1f; lon < 3.1f; lon += 0.3f) {
      const Vec3 d = direction_from_lat_lon(lat, lon);
      for (float sign : {1.0f, -1.0f}) {
        const LinearImage& image = sign > 0 ? pair.up : pair.down;
        const auto got = sample_fisheye(image, d, lens, sign, 200.0f);
        const auto point = project_to_fisheye(d, lens, sign, 200.0f, image.width, image.height);
        const auto want = point ? sample_bilinear(image, point->x, point->y) : std::nullopt;
        ASSERT_EQ(got.has_value(), want.has_value());
        if (got) {
          EXPECT_EQ(*got, *want);
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 1000u);

  // A lens centre pushed so far that the axis lands outside the image.
  LensTransform off;
  off.centerX = 0.6f;
  EXPECT_FALSE(sample_fisheye_pyramid(single, axis, off, 1.0f, 190.0f).has_value());
  // Just inside the last column of the base, a reduced level is already out.
  LensTransform edge;
  edge.centerX = (63.0f - 31.5f - 0.1f) / 64.0f;  // axis at x = 62.9
  EXPECT_TRUE(sample_fisheye_pyramid(single, axis, edge, 1.0f, 190.0f).has_value());
  EXPECT_FALSE(sample_fisheye_pyramid(multi, axis, edge, 1.0f, 190.0f).has_value());
}

// ---- render_pixel ------------------------------------------------------------------

// A pair of flat lenses (UP all `up`, DOWN all `down`).
struct FlatPair {
  LinearImage up, down;
  FlatPair(Rgb u, Rgb d, std::uint32_t size = 64) {
    up = image_from(size, size, [u](auto, auto) { return u; });
    down = image_from(size, size, [d](auto, auto) { return d; });
  }
};

TEST(RenderPixel, PolesTakeOneLensAndTheSeamBlendsEvenly) {
  const FlatPair flat({0.8f, 0.6f, 0.4f}, {0.2f, 0.3f, 0.4f});
  const ImagePyramid up(flat.up, 1), down(flat.down, 1);
  PreparedSettings p = basic_prepared();
  const std::uint32_t w = 512, h = 256;
  const Rgb top = render_pixel(up, down, p, 10, 0, w, h);
  expect_rgb_near(top, {0.8f, 0.6f, 0.4f});
  const Rgb bottom = render_pixel(up, down, p, 10, h - 1, w, h);
  expect_rgb_near(bottom, {0.2f, 0.3f, 0.4f});
  // Row h/2 - 1 is exactly on the equator: weight 0.5 with empty lists.
  const Rgb mid = render_pixel(up, down, p, 10, h / 2 - 1, w, h);
  EXPECT_NEAR(mid[0], 0.5f, 1e-6f);
  EXPECT_NEAR(mid[1], 0.45f, 1e-6f);
  // Gains multiply each lens.
  p.up_gain = {0.5f, 1.0f, 2.0f};
  p.down_gain = {2.0f, 1.0f, 0.5f};
  expect_rgb_near(render_pixel(up, down, p, 10, 0, w, h), {0.4f, 0.6f, 0.8f});
  expect_rgb_near(render_pixel(up, down, p, 10, h - 1, w, h), {0.4f, 0.3f, 0.2f});
}

TEST(RenderPixel, SeenByNeitherLensIsBlack) {
  const FlatPair flat({0.8f, 0.6f, 0.4f}, {0.2f, 0.3f, 0.4f});
  const ImagePyramid up(flat.up, 1), down(flat.down, 1);
  const PreparedSettings p = basic_prepared(120.0f);  // each lens sees 60 degrees
  EXPECT_EQ(render_pixel(up, down, p, 3, 127, 512, 256), (Rgb{0.0f, 0.0f, 0.0f}));
  expect_rgb_near(render_pixel(up, down, p, 3, 0, 512, 256), {0.8f, 0.6f, 0.4f});
  // Degenerate sizes give black rather than dividing by zero.
  EXPECT_EQ(render_pixel(up, down, p, 0, 0, 0, 0), (Rgb{0.0f, 0.0f, 0.0f}));
}

// The UP weight of a pixel between two flat lenses of values 1 and 0.
float up_weight_at(const PreparedSettings& p, std::uint32_t x, std::uint32_t y, std::uint32_t w,
                   std::uint32_t h) {
  static const FlatPair flat({1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f});
  static const ImagePyramid up(flat.up, 1), down(flat.down, 1);
  return render_pixel(up, down, p, x, y, w, h)[0];
}

TEST(RenderPixel, EmptyListsUseTheEquatorAndTheFallbackFeather) {
  const std::uint32_t w = 2048, h = 1024;
  for (float feather_deg : {0.0f, 0.5f, 2.0f}) {
    PreparedSettings p = basic_prepared();
    p.settings.seamFeatherDegrees = feather_deg;
    const float f = std::max(feather_deg, 0.05f) * kDegToRad;
    for (std::uint32_t y = h / 2 - 20; y < h / 2 + 20; ++y) {
      const float lat = source_latitude(output_direction(100, y, w, h));
      EXPECT_NEAR(up_weight_at(p, 100, y, w, h), seam_weight(lat, f), 2e-5f)
          << feather_deg << " row " << y;
    }
    // 0 degrees still blends over 0.05: the equator row is half and half.
    EXPECT_NEAR(up_weight_at(p, 100, h / 2 - 1, w, h), 0.5f, 1e-6f);
  }
  // Rows a quarter of a row beyond 0.05 degrees are already one lens only.
  PreparedSettings p = basic_prepared();
  p.settings.seamFeatherDegrees = 0.0f;
  EXPECT_NEAR(up_weight_at(p, 100, h / 2 - 2, w, h), 1.0f, 1e-6f);
  EXPECT_NEAR(up_weight_at(p, 100, h / 2, w, h), 0.0f, 1e-6f);
}

TEST(RenderPixel, SeamAndFeatherListsAreReadPerLongitude) {
  const std::uint32_t w = 1024, h = 512;
  PreparedSettings p = basic_prepared();
  // Seam at +2 degrees on one half of the circle, -2 on the other.
  p.seam_latitudes = {2.0f * kDegToRad, 2.0f * kDegToRad, -2.0f * kDegToRad, -2.0f * kDegToRad};
  p.seam_feathers = {0.3f * kDegToRad};
  const std::uint32_t equator = h / 2 - 1;
  // Column 0 reads entry 0 (u = 0): the equator lies 2 degrees below the seam.
  EXPECT_NEAR(up_weight_at(p, 0, equator, w, h), 0.0f, 1e-6f);
  // Column w/2 reads entry 2 (u = 0.5): 2 degrees above the seam.
  EXPECT_NEAR(up_weight_at(p, w / 2, equator, w, h), 1.0f, 1e-6f);
  // Wrap-around: u close to 1 lies between entry 3 and entry 0, which
  // differ, so it interpolates back towards entry 0.
  p.seam_latitudes = {0.0f, 5.0f * kDegToRad, 5.0f * kDegToRad, 5.0f * kDegToRad};
  p.seam_feathers = {2.0f * kDegToRad};
  EXPECT_NEAR(up_weight_at(p, 0, equator, w, h), 0.5f, 1e-6f);  // u = 0: seam 0
  // Column w - 1 has u = 1 - 1/1024: 0.4 % of entry 3 (5 degrees) and the
  // rest from entry 0 (0 degrees), not the 5 degrees of entry 3 alone.
  const float last = up_weight_at(p, w - 1, equator, w, h);
  EXPECT_GT(last, 0.48f);
  EXPECT_LT(last, 0.5f);
  // A list of different length from the others is read at its own length.
  p.seam_latitudes = {0.0f};
  p.seam_feathers = {1.0f * kDegToRad, 0.1f * kDegToRad};
  const std::uint32_t one_deg_above = equator - 1;  // ~0.35 degrees above
  EXPECT_GT(up_weight_at(p, 0, one_deg_above, w, h), 0.7f);
  EXPECT_LT(up_weight_at(p, 0, one_deg_above, w, h), 1.0f);
  EXPECT_NEAR(up_weight_at(p, w / 2, one_deg_above, w, h), 1.0f, 1e-6f);
}

TEST(RenderPixel, LocalGainsApplyNearTheEquatorOnly) {
  const FlatPair flat({0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f});
  const ImagePyramid up(flat.up, 1), down(flat.down, 1);
  PreparedSettings p = basic_prepared();
  p.up_local_gains = {1.2f};
  p.down_local_gains = {0.8f};
  const std::uint32_t w = 720, h = 360;  // half a degree per row
  struct Case {
    std::uint32_t y;
    float expected;
  };
  // Row y has latitude 90 - (y + 1) / 2 degrees.
  const Case cases[] = {
      {159, 0.5f * 1.2f},                       // +10 degrees, UP side, full influence
      {199, 0.5f * 0.8f},                       // -10 degrees, DOWN side
      {141, 0.5f * (1.0f + 0.2f * 0.5f)},       // +19 degrees: half influence
      {103, 0.5f},                              // +38 degrees: none
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(render_pixel(up, down, p, 5, c.y, w, h)[1], c.expected, 1e-4f) << c.y;
  }
}

// Literal multiband blend of two sample lists, as the test's own statement
// of the band rule.
Rgb expected_blend(const SampleList& u, const SampleList& d, float delta, float feather) {
  const std::size_t levels = std::min(u.count, d.count);
  Rgb out{0, 0, 0};
  if (levels <= 1) {
    const float w = seam_weight(delta, feather);
    for (int c = 0; c < 3; ++c) out[c] = d.entries[0][c] * (1 - w) + u.entries[0][c] * w;
    return out;
  }
  const float cap = feather > 0.0087266462f ? 2.0f : 1.0f;
  for (std::size_t k = 0; k + 1 < levels; ++k) {
    const float w = seam_weight(delta, feather * std::min(std::pow(2.0f, float(k)), cap));
    for (int c = 0; c < 3; ++c)
      out[c] += (d.entries[k][c] - d.entries[k + 1][c]) * (1 - w) +
                (u.entries[k][c] - u.entries[k + 1][c]) * w;
  }
  const float w = seam_weight(delta, feather * std::min(std::pow(2.0f, float(levels - 1)), cap));
  for (int c = 0; c < 3; ++c) out[c] += d.entries[levels - 1][c] * (1 - w) + u.entries[levels - 1][c] * w;
  return out;
}

pairs::Pair small_pair(float fov = 190.0f) {
  pairs::PairOptions o;
  o.size = 256;
  o.fov_degrees = fov;
  o.down = {0.003f, -0.002f, 1.01f, 0.5f, -0.3f};
  o.down_exposure = {0.9f, 0.8f, 0.85f};
  return pairs::render_pair(o);
}

TEST(RenderPixel, CoarseBandsBlendTwiceAsWideOnlyAboveHalfADegree) {
  // A 200-degree pair leaves room at the image border for reduced levels.
  const pairs::Pair pair = small_pair(200.0f);
  const ImagePyramid up(pair.up, 4), down(pair.down, 4);
  const ImagePyramid up1(pair.up, 1), down1(pair.down, 1);
  const std::uint32_t w = 1440, h = 720;  // quarter-degree rows
  struct Case {
    float feather_deg;
    bool fallback;
    bool wide;
  };
  const Case cases[] = {{0.3f, false, false}, {0.5f, false, false}, {0.5f, true, false},
                        {0.6f, false, true},  {2.0f, true, true},   {3.0f, false, true}};
  for (const Case& c : cases) {
    PreparedSettings p = basic_prepared(200.0f, 4);
    p.settings.down = {0.003f, -0.002f, 1.01f, 0.5f, -0.3f};
    p.down_gain = {1.1f, 1.2f, 1.15f};
    if (c.fallback) {
      p.settings.seamFeatherDegrees = c.feather_deg;
    } else {
      p.seam_feathers = {c.feather_deg * kDegToRad};
    }
    const float feather = c.feather_deg * kDegToRad;
    EXPECT_EQ(feather > kCoarseBandFeatherLimit, c.wide);
    double wide_vs_single = 0;
    std::size_t checked = 0;
    for (std::uint32_t y = h / 2 - 12; y < h / 2 + 12; ++y) {
      for (std::uint32_t x = 0; x < w; x += 97) {
        const Vec3 v = output_direction(x, y, w, h);
        auto su = sample_fisheye_pyramid(up, v, p.settings.up, 1.0f, 200.0f);
        auto sd = sample_fisheye_pyramid(down, v, p.settings.down, -1.0f, 200.0f);
        ASSERT_TRUE(su && sd);
        ASSERT_EQ(su->count, 4);
        ++checked;
        for (std::size_t k = 0; k < sd->count; ++k)
          for (int ch = 0; ch < 3; ++ch) sd->entries[k][ch] *= p.down_gain[ch];
        const Rgb expected = expected_blend(*su, *sd, source_latitude(v), feather);
        const Rgb got = render_pixel(up, down, p, x, y, w, h);
        PreparedSettings single = p;
        single.settings.multibandLevels = 1;
        const Rgb plain = render_pixel(up1, down1, single, x, y, w, h);
        for (int ch = 0; ch < 3; ++ch) {
          EXPECT_NEAR(got[ch], expected[ch], 1e-5f) << c.feather_deg << " " << x << "," << y;
          wide_vs_single = std::max(wide_vs_single, double(std::fabs(got[ch] - plain[ch])));
        }
      }
    }
    EXPECT_GT(checked, 300u);
    // At or below half a degree every band shares the fine weight and the
    // band sum collapses to the single-band blend.
    if (!c.wide) {
      EXPECT_LT(wide_vs_single, 2e-5) << c.feather_deg;
    } else {
      EXPECT_GT(wide_vs_single, 1e-3) << c.feather_deg;
    }
  }
}

TEST(RenderPixel, MultibandWithEqualLensesEqualsThePlainSample) {
  // Columns constant down the image: on the equator both lenses then read
  // the same values at every level, whatever the weights.
  const LinearImage img = image_from(256, 256, [](std::uint32_t x, std::uint32_t) {
    const float t = static_cast<float>(x) / 255.0f;
    return Rgb{0.2f + 0.6f * t * t, 0.5f + 0.3f * std::sin(t * 20.0f), 0.9f - 0.5f * t};
  });
  const ImagePyramid up8(img, 8), down8(img, 8);
  ASSERT_EQ(up8.image_count(), 8u);
  const std::uint32_t w = 1024, h = 512, equator = h / 2 - 1;
  // A small image circle keeps every level's sample inside its image.
  LensTransform lens;
  lens.radiusScale = 0.4f;
  for (float feather_deg : {0.2f, 2.0f, 10.0f}) {
    PreparedSettings p = basic_prepared(190.0f, 8);
    p.settings.up = lens;
    p.settings.down = lens;
    p.settings.seamFeatherDegrees = feather_deg;
    p.seam_latitudes = {0.3f * kDegToRad, -0.2f * kDegToRad};
    for (std::uint32_t x = 0; x < w; x += 7) {
      const Rgb multi = render_pixel(up8, down8, p, x, equator, w, h);
      const auto plain = sample_fisheye(img, output_direction(x, equator, w, h), lens, 1.0f, 190.0f);
      ASSERT_TRUE(plain.has_value());
      for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(multi[ch], (*plain)[ch], 2e-6f) << x;
    }
  }
}

// ---- the per-row renderer against the reference ----------------------------------------

struct FastCase {
  const char* name;
  std::uint8_t levels;
  SphereRotation sphere;
  bool lists;
  float feather_deg;
};

TEST(RenderContext, AgreesWithRenderPixel) {
  const pairs::Pair pair = small_pair();
  const FastCase cases[] = {
      {"single, identity, empty lists", 1, {}, false, 2.0f},
      {"single, identity, lists", 1, {}, true, 2.0f},
      {"4 levels, identity, lists", 4, {}, true, 2.0f},
      {"8 levels, identity, lists", 8, {}, true, 2.0f},
      {"8 levels, identity, wide fallback", 8, {}, false, 3.0f},
      {"single, rotated, lists", 1, {30.0f, -20.0f, 10.0f}, true, 0.5f},
      {"8 levels, rotated, lists", 8, {-140.0f, 5.0f, -3.0f}, true, 1.0f},
      {"4 levels, pitch 90", 4, {0.0f, 90.0f, 0.0f}, false, 1.0f},
  };
  const std::uint32_t w = 384, h = 192;
  for (const FastCase& c : cases) {
    const ImagePyramid up(pair.up, c.levels), down(pair.down, c.levels);
    PreparedSettings p = basic_prepared(190.0f, c.levels);
    p.settings.down = {0.003f, -0.002f, 1.01f, 0.5f, -0.3f};
    p.settings.up = {-0.001f, 0.001f, 0.995f, -0.2f, 0.1f};
    p.settings.sphere = c.sphere;
    p.settings.seamFeatherDegrees = c.feather_deg;
    p.up_gain = {0.95f, 1.0f, 1.05f};
    p.down_gain = {1.1f, 1.2f, 1.15f};
    if (c.lists) {
      const std::size_t n = 97;  // deliberately not the output width
      for (std::size_t i = 0; i < n; ++i) {
        const float t = static_cast<float>(i) / n * 6.2831853f;
        p.seam_latitudes.push_back(2.5f * std::sin(3 * t) * kDegToRad);
        p.seam_feathers.push_back((0.3f + 0.2f * std::cos(t)) * kDegToRad);
        p.up_local_gains.push_back(1.0f + 0.1f * std::sin(t));
        p.down_local_gains.push_back(1.0f - 0.08f * std::cos(2 * t));
      }
      p.seam_feathers.resize(60);
    }
    const RenderContext ctx(up, down, p, w, h);
    std::vector<Rgb> row(w);
    std::size_t mismatches = 0;
    double max_diff = 0;
    for (std::uint32_t y = 0; y < h; ++y) {
      ctx.render_row(y, row);
      for (std::uint32_t x = 0; x < w; ++x) {
        const Rgb ref = render_pixel(up, down, p, x, y, w, h);
        double d = 0;
        for (int ch = 0; ch < 3; ++ch) d = std::max(d, double(std::fabs(ref[ch] - row[x][ch])));
        if (d > 1e-4) ++mismatches;  // a border sample decided the other way
        else max_diff = std::max(max_diff, d);
      }
    }
    std::printf("%-36s max diff %.2e, %zu border flips\n", c.name, max_diff, mismatches);
    EXPECT_LE(mismatches, std::size_t{w} * h / 2000) << c.name;
    EXPECT_LT(max_diff, 1e-4) << c.name;
  }
}

// ---- occlusion arcs -------------------------------------------------------------------

std::vector<bool> mask_of(const char* pattern) {
  std::vector<bool> out;
  for (const char* p = pattern; *p; ++p) out.push_back(*p == '#');
  return out;
}

TEST(OcclusionArcMask, HysteresisAroundTheCircle) {
  struct Case {
    const char* name;
    std::vector<float> scores;
    const char* expected;
  };
  const float S = 0.02f;   // strong
  const float W = 0.003f;  // weak
  const Case cases[] = {
      {"empty", {}, ""},
      {"nothing", std::vector<float>(16, 0.001f), "................"},
      {"weak only", std::vector<float>(16, W), "................"},
      // A seed's own score widens, so it grows two entries each way even
      // through zero scores (16 entries: two passes).
      {"strong at the threshold", {0.01f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "###...........##"},
      {"just below strong", {0.0099f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "................"},
      // A seed grows through weak entries (and the widening around them),
      // one entry per side per pass, for three passes (24 entries).
      {"grows", {0, 0, 0, 0, 0, 0, S, W, W, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "....######.............."},
      {"weak threshold", {0, 0, 0, 0, S, 0.0025f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "..######................"},
      {"just below weak", {0, 0, 0, 0, S, 0.00249f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "..#####................."},
      // Growth wraps from the last entry to the first.
      {"wraps", {W, W, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, W, S},
       "###.................####"},
  };
  for (const Case& c : cases) {
    const std::vector<bool> got = connected_occlusion_arc_mask(c.scores);
    EXPECT_EQ(got, mask_of(c.expected)) << c.name;
  }
  // Growth stops after ceil(n / 8) passes: 16 entries, all weak, one seed.
  std::vector<float> long_weak(16, W);
  long_weak[0] = S;
  const std::vector<bool> grown = connected_occlusion_arc_mask(long_weak);
  // Two passes: two entries on each side of the seed.
  EXPECT_EQ(grown, mask_of("###...........##"));
  // 17 entries: three passes.
  std::vector<float> longer(17, W);
  longer[8] = S;
  EXPECT_EQ(connected_occlusion_arc_mask(longer), mask_of(".....#######....."));
  // Tiny circles: widening and neighbours wrap onto themselves.
  EXPECT_EQ(connected_occlusion_arc_mask(std::vector<float>{S}), mask_of("#"));
  EXPECT_EQ(connected_occlusion_arc_mask(std::vector<float>{S, 0.0f}), mask_of("##"));
  EXPECT_EQ(connected_occlusion_arc_mask(std::vector<float>{0.0f, std::nanf("")}), mask_of(".."));
}

}  // namespace
}  // namespace stitch
