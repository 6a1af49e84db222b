#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gpu/gpu.hpp"
#include "stitch/projection.hpp"

namespace stitch {
namespace {

// An image whose pixel (x, y) is (x, y, x + y): bilinear samples of it are
// exact, so a reduced copy shows exactly where each sample was taken.
LinearImage coordinate_image(std::uint32_t width, std::uint32_t height) {
  LinearImage image;
  image.width = width;
  image.height = height;
  image.pixels.reserve(static_cast<std::size_t>(width) * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      image.pixels.push_back(static_cast<float>(x));
      image.pixels.push_back(static_cast<float>(y));
      image.pixels.push_back(static_cast<float>(x + y));
    }
  }
  return image;
}

TEST(ProxySize, KeepsSmallSourcesAndScalesLargeOnes) {
  struct Case {
    std::uint32_t w, h, limit, want_w, want_h;
  };
  const Case cases[] = {
      {1500, 1500, 2048, 1500, 1500}, {2048, 1024, 2048, 2048, 1024},
      {4000, 3000, 2048, 2048, 1536}, {3000, 4000, 2048, 1536, 2048},
      {5760, 5760, 2048, 2048, 2048}, {100000, 3, 2048, 2048, 1},
      {10, 5, 4, 4, 2},               {7, 5, 4, 4, 3},  // 5 * 4/7 = 2.86 -> 3
  };
  for (const Case& c : cases) {
    const ProxySize got = proxy_size(c.w, c.h, c.limit);
    EXPECT_EQ(got.width, c.want_w) << c.w << "x" << c.h;
    EXPECT_EQ(got.height, c.want_h) << c.w << "x" << c.h;
  }
  EXPECT_EQ(kProxyLimit, 2048u);
}

TEST(ProxyImage, SourceWithinLimitIsCopiedUnchanged) {
  LinearImage source = coordinate_image(1500, 1500);
  source.camera = "DJI FCA188";
  source.iso = 400.0f;
  source.baseline_exposure_ev = 0.5f;
  source.raw = true;
  const LinearImage proxy = proxy_image(source);
  EXPECT_EQ(proxy.width, 1500u);
  EXPECT_EQ(proxy.height, 1500u);
  EXPECT_EQ(proxy.pixels, source.pixels);
  EXPECT_EQ(proxy.camera, source.camera);
  EXPECT_EQ(proxy.iso, source.iso);
  EXPECT_EQ(proxy.baseline_exposure_ev, source.baseline_exposure_ev);
  EXPECT_TRUE(proxy.raw);
}

TEST(ProxyImage, ReducesCornerToCornerAndKeepsMetadata) {
  // 400 x 300 with a limit of 128 behaves like 4000 x 3000 with 2048 would,
  // at a size a test can afford.
  LinearImage source = coordinate_image(400, 300);
  source.camera = "cam";
  source.iso = 100.0f;
  source.raw = true;
  const LinearImage proxy = proxy_image(source, 128);
  ASSERT_EQ(proxy.width, 128u);
  ASSERT_EQ(proxy.height, 96u);
  ASSERT_EQ(proxy.pixels.size(), 128u * 96u * 3u);
  EXPECT_EQ(proxy.camera, source.camera);
  EXPECT_EQ(proxy.iso, source.iso);
  EXPECT_FALSE(proxy.baseline_exposure_ev.has_value());
  EXPECT_TRUE(proxy.raw);
  for (std::uint32_t y = 0; y < proxy.height; ++y) {
    for (std::uint32_t x = 0; x < proxy.width; ++x) {
      const float* p = &proxy.pixels[(static_cast<std::size_t>(y) * proxy.width + x) * 3];
      const float sx = 399.0f * static_cast<float>(x) / 127.0f;
      const float sy = 299.0f * static_cast<float>(y) / 95.0f;
      ASSERT_NEAR(p[0], sx, 1e-3f) << x << "," << y;
      ASSERT_NEAR(p[1], sy, 1e-3f) << x << "," << y;
    }
  }
  // Corners land exactly on corners: no black edge from a sample just past it.
  const auto at = [&](std::uint32_t x, std::uint32_t y, int c) {
    return proxy.pixels[(static_cast<std::size_t>(y) * proxy.width + x) * 3 + c];
  };
  EXPECT_EQ(at(127, 95, 0), 399.0f);
  EXPECT_EQ(at(127, 95, 1), 299.0f);
  EXPECT_EQ(at(0, 95, 1), 299.0f);
  EXPECT_EQ(at(127, 0, 0), 399.0f);
  EXPECT_EQ(at(0, 0, 2), 0.0f);
}

TEST(ProxyImage, InconsistentSourceGivesBlackProxy) {
  LinearImage source = coordinate_image(400, 300);
  source.pixels.resize(10);
  const LinearImage proxy = proxy_image(source, 128);
  ASSERT_EQ(proxy.pixels.size(), 128u * 96u * 3u);
  for (float v : proxy.pixels) ASSERT_EQ(v, 0.0f);
}

TEST(PackSeamProfiles, EmptyListsGiveOneNeutralEntry) {
  const float f = 0.0123f;
  const std::vector<SeamProfileEntry> packed = pack_seam_profiles({}, {}, {}, {}, f);
  ASSERT_EQ(packed.size(), 1u);
  EXPECT_EQ(packed[0], (SeamProfileEntry{0.0f, f, 1.0f, 1.0f}));
  // Feathers or gains without seam latitudes change nothing.
  const std::vector<float> some{0.5f, 0.7f};
  EXPECT_EQ(pack_seam_profiles({}, some, some, some, f), packed);
}

TEST(PackSeamProfiles, MissingFeathersAreTheFallback) {
  const std::vector<float> seams{0.01f, 0.02f, 0.03f, 0.04f};
  const std::vector<float> feathers{0.001f, 0.002f};
  const float f = 0.5f;
  const std::vector<SeamProfileEntry> packed = pack_seam_profiles(seams, feathers, {}, {}, f);
  ASSERT_EQ(packed.size(), 4u);
  const float want_feather[] = {0.001f, 0.002f, f, f};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(packed[i].seam_latitude, seams[i]);
    EXPECT_EQ(packed[i].feather, want_feather[i]);
    EXPECT_EQ(packed[i].up_local_gain, 1.0f);
    EXPECT_EQ(packed[i].down_local_gain, 1.0f);
  }
}

TEST(PackSeamProfiles, LocalGainsAreResampledCircularly) {
  const std::vector<float> seams(4, 0.0f);
  const std::vector<float> feathers(4, 0.001f);
  const std::vector<float> up{1.0f, 2.0f};              // read at u = 0, .25, .5, .75
  const std::vector<float> down{1.0f, 1.2f, 1.4f, 1.6f};  // same length: unchanged
  const std::vector<SeamProfileEntry> packed = pack_seam_profiles(seams, feathers, up, down, 0.1f);
  ASSERT_EQ(packed.size(), 4u);
  const float want_up[] = {1.0f, 1.5f, 2.0f, 1.5f};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(packed[i].up_local_gain, want_up[i], 1e-6f) << i;
    EXPECT_NEAR(packed[i].down_local_gain, down[i], 1e-6f) << i;
  }
}

TEST(StitchParams, CarriesThePreparedRecordInRadians) {
  PreparedSettings prepared;
  StitchSettings& s = prepared.settings;
  s.fovDegrees = 190.0f;
  s.seamFeatherDegrees = 0.0f;  // below the 0.05 degree floor
  s.up = LensTransform{0.01f, -0.02f, 1.01f, 2.0f, -3.0f};
  s.down = LensTransform{-0.03f, 0.04f, 0.99f, 180.0f, 1.5f};
  s.sphere = SphereRotation{10.0f, -20.0f, 30.0f};
  prepared.up_gain = {1.1f, 1.2f, 1.3f};
  prepared.down_gain = {0.9f, 0.8f, 0.7f};
  const StitchParams p = make_stitch_params(prepared, {2048, 1536}, {1500, 1500}, 203, 101, 7);
  EXPECT_EQ(p.up_width, 2048u);
  EXPECT_EQ(p.up_height, 1536u);
  EXPECT_EQ(p.down_width, 1500u);
  EXPECT_EQ(p.down_height, 1500u);
  EXPECT_EQ(p.output_width, 203u);
  EXPECT_EQ(p.output_height, 101u);
  EXPECT_EQ(p.seam_count, 7u);
  EXPECT_EQ(p.padding0, 0u);
  const float k = 0.017453292f;
  EXPECT_EQ(p.fov_radians, 190.0f * k);
  EXPECT_EQ(p.seam_feather_radians, 0.05f * k);
  EXPECT_EQ(p.up_center_x, 0.01f);
  EXPECT_EQ(p.up_center_y, -0.02f);
  EXPECT_EQ(p.up_radius_scale, 1.01f);
  EXPECT_EQ(p.up_yaw, 2.0f * k);
  EXPECT_EQ(p.up_roll, -3.0f * k);
  EXPECT_EQ(p.down_center_x, -0.03f);
  EXPECT_EQ(p.down_center_y, 0.04f);
  EXPECT_EQ(p.down_radius_scale, 0.99f);
  EXPECT_EQ(p.down_yaw, 180.0f * k);
  EXPECT_EQ(p.down_roll, 1.5f * k);
  EXPECT_EQ(p.sphere_yaw, 10.0f * k);
  EXPECT_EQ(p.sphere_pitch, -20.0f * k);
  EXPECT_EQ(p.sphere_roll, 30.0f * k);
  EXPECT_EQ(p.up_gain_r, 1.1f);
  EXPECT_EQ(p.up_gain_g, 1.2f);
  EXPECT_EQ(p.up_gain_b, 1.3f);
  EXPECT_EQ(p.down_gain_r, 0.9f);
  EXPECT_EQ(p.down_gain_g, 0.8f);
  EXPECT_EQ(p.down_gain_b, 0.7f);
  EXPECT_EQ(p.padding1, 0.0f);
  EXPECT_EQ(p.padding2, 0.0f);
  EXPECT_EQ(p.padding3, 0.0f);
  s.seamFeatherDegrees = 2.0f;
  EXPECT_EQ(make_stitch_params(prepared, {1, 1}, {1, 1}, 8, 4, 1).seam_feather_radians, 2.0f * k);
}

TEST(StitchShader, DeclaresTheBindingsAndFunctions) {
  const std::string text(stitch_shader_source());
  const char* expected[] = {
      "struct Params {",
      "@group(0) @binding(0) var<storage, read> up_pixels: array<f32>;",
      "@group(0) @binding(1) var<storage, read> down_pixels: array<f32>;",
      "// x = seam latitude, y = feather, z = UP local JPG gain, w = DOWN local JPG gain.",
      "@group(0) @binding(2) var<storage, read> seam_profiles: array<vec4<f32>>;",
      "@group(0) @binding(3) var<storage, read_write> output_pixels: array<vec4<f32>>;",
      "@group(0) @binding(4) var<uniform> params: Params;",
      "const PI: f32 = 3.141592653589793;",
      "fn rotate_x(",
      "fn rotate_y(",
      "fn rotate_z(",
      "fn read_rgb(",
      "fn bilinear(",
      "fn fisheye_sample(",
      "fn smooth_step(",
      "@compute @workgroup_size(8, 8, 1)",
      "fn main(@builtin(global_invocation_id) id: vec3<u32>)",
  };
  for (const char* line : expected) EXPECT_NE(text.find(line), std::string::npos) << line;
}

}  // namespace
}  // namespace stitch
