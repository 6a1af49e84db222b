#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gpu/gpu.hpp"
#include "stitch/projection.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

constexpr const char* kSwiftShaderIcd = "/usr/lib/chromium/vk_swiftshader_icd.json";
constexpr const char* kNoAdapter = "No compatible graphics adapter";
constexpr const char* kLimitExceeded = "Preview buffers exceed this adapter's storage-buffer limit";

// SwiftShader runs the pass on the CPU; tests opt in to software adapters.
GpuOptions swiftshader_options() {
  EXPECT_EQ(setenv("VK_ICD_FILENAMES", kSwiftShaderIcd, 1), 0);
  GpuOptions options;
  options.library_path = STITCH_WEBGPU_LIBRARY;
  options.allow_software_adapter = true;
  return options;
}

std::uint8_t srgb8(float c) {
  const float v = c > 0.0f ? c : 0.0f;
  const float e = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::round(std::clamp(e, 0.0f, 1.0f) * 255.0f));
}

// The CPU single-band render of the same proxies, encoded like the GPU output.
std::vector<std::uint8_t> cpu_render(const LinearImage& up, const LinearImage& down,
                                     const PreparedSettings& prepared, std::uint32_t width,
                                     std::uint32_t height) {
  const LinearImage up_proxy = proxy_image(up);
  const LinearImage down_proxy = proxy_image(down);
  const ImagePyramid up_pyramid(up_proxy, 1);
  const ImagePyramid down_pyramid(down_proxy, 1);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 3);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const Rgb rgb = render_pixel(up_pyramid, down_pyramid, prepared, x, y, width, height);
      for (int c = 0; c < 3; ++c) out[(static_cast<std::size_t>(y) * width + x) * 3 + c] = srgb8(rgb[c]);
    }
  }
  return out;
}

struct Difference {
  int max = 0;
  double within_one = 0.0;  // share of channel values differing by at most 1
};

Difference compare(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  Difference d;
  std::size_t close = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int diff = std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
    d.max = std::max(d.max, diff);
    if (diff <= 1) ++close;
  }
  d.within_one = a.empty() ? 1.0 : static_cast<double>(close) / static_cast<double>(a.size());
  return d;
}

pairs::Pair synthetic_pair() {
  pairs::PairOptions options;
  options.size = 256;
  options.fov_degrees = 190.0f;
  options.up = LensTransform{0.01f, -0.005f, 1.0f, 0.0f, 0.0f};
  options.down = LensTransform{-0.008f, 0.004f, 0.98f, 2.0f, -1.5f};
  options.up_exposure = {1.0f, 1.0f, 1.0f};
  options.down_exposure = {0.9f, 0.95f, 1.05f};
  options.supersample = 1;
  return pairs::render_pair(options);
}

// A prepared record with every input the shader reads away from its neutral
// value: per-longitude seam, feather and local-gain lists, global gains, lens
// offsets and a sphere rotation.
PreparedSettings busy_prepared() {
  PreparedSettings prepared;
  StitchSettings& s = prepared.settings;
  s.fovDegrees = 190.0f;
  s.seamFeatherDegrees = 1.0f;
  s.multibandLevels = 1;
  s.up = LensTransform{0.01f, -0.005f, 1.0f, 0.0f, 0.0f};
  s.down = LensTransform{-0.008f, 0.004f, 0.98f, 2.0f, -1.5f};
  s.sphere = SphereRotation{12.0f, 4.0f, -3.0f};
  const std::size_t n = 96;
  for (std::size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(n) * 6.2831853f;
    prepared.seam_latitudes.push_back(0.03f * std::sin(t) - 0.01f);
    prepared.seam_feathers.push_back((0.3f + 0.2f * std::cos(2.0f * t)) * 0.017453292f);
    prepared.up_local_gains.push_back(1.0f + 0.08f * std::sin(3.0f * t));
    prepared.down_local_gains.push_back(1.0f - 0.06f * std::cos(t));
  }
  prepared.up_gain = {1.02f, 1.0f, 0.97f};
  prepared.down_gain = {1.1f, 1.05f, 0.95f};
  return prepared;
}

void expect_matches_cpu(const pairs::Pair& pair, const PreparedSettings& prepared, std::uint32_t width,
                        std::uint32_t height) {
  const Result<std::vector<std::uint8_t>> gpu =
      gpu_render_preview(pair.up, pair.down, prepared, width, height, swiftshader_options());
  ASSERT_TRUE(gpu.has_value()) << gpu.error().display();
  ASSERT_EQ(gpu->size(), static_cast<std::size_t>(width) * height * 3);
  const std::vector<std::uint8_t> cpu = cpu_render(pair.up, pair.down, prepared, width, height);
  const Difference d = compare(*gpu, cpu);
  std::printf("GPU vs CPU %ux%u: max difference %d levels, %.4f%% of channel values within 1 level\n",
              width, height, d.max, d.within_one * 100.0);
  EXPECT_LE(d.max, 3);
  EXPECT_GE(d.within_one, 0.999);
  // The pass really rendered something: most of the panorama is lit.
  const auto lit = std::count_if(gpu->begin(), gpu->end(), [](std::uint8_t v) { return v > 8; });
  EXPECT_GT(lit, static_cast<long>(gpu->size() * 9 / 10));
}

TEST(GpuPreview, MatchesTheCpuSingleBandRenderOnSwiftShader) {
  const pairs::Pair pair = synthetic_pair();
  // Output sizes that are not multiples of the 8 x 8 workgroup.
  expect_matches_cpu(pair, busy_prepared(), 203, 101);
}

TEST(GpuPreview, EmptyProfileListsMatchTheCpuToo) {
  const pairs::Pair pair = synthetic_pair();
  PreparedSettings prepared;
  prepared.settings.fovDegrees = 190.0f;
  prepared.settings.seamFeatherDegrees = 2.0f;
  prepared.settings.multibandLevels = 1;
  prepared.settings.up = LensTransform{0.01f, -0.005f, 1.0f, 0.0f, 0.0f};
  prepared.settings.down = LensTransform{-0.008f, 0.004f, 0.98f, 2.0f, -1.5f};
  expect_matches_cpu(pair, prepared, 64, 32);
}

TEST(GpuPreview, EveryPixelIsWrittenWhenSizesAreNotMultiplesOfEight) {
  // A flat grey scene seen fully by both lenses: every output pixel of every
  // partial workgroup must carry it (an unwritten pixel would read back 0).
  pairs::PairOptions options;
  options.size = 64;
  options.scene = pairs::flat_scene({0.25f, 0.25f, 0.25f});
  options.supersample = 1;
  const pairs::Pair pair = pairs::render_pair(options);
  PreparedSettings prepared;
  prepared.settings.fovDegrees = 190.0f;
  prepared.settings.seamFeatherDegrees = 1.0f;
  for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{17, 9}, {1, 1}, {13, 7}}) {
    const Result<std::vector<std::uint8_t>> gpu =
        gpu_render_preview(pair.up, pair.down, prepared, w, h, swiftshader_options());
    ASSERT_TRUE(gpu.has_value()) << gpu.error().display();
    ASSERT_EQ(gpu->size(), static_cast<std::size_t>(w) * h * 3);
    for (std::uint8_t v : *gpu) ASSERT_NEAR(v, srgb8(0.25f), 2) << w << "x" << h;
  }
}

void expect_unavailable(const Result<std::vector<std::uint8_t>>& result, const std::string& text) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::GpuUnavailable);
  EXPECT_EQ(result.error().text(), text);
  EXPECT_EQ(result.error().code(), ErrorCode::GpuUnavailable);
}

TEST(GpuPreview, FailuresAreGpuUnavailableErrors) {
  pairs::PairOptions small;
  small.size = 32;
  small.supersample = 1;
  const pairs::Pair pair = pairs::render_pair(small);
  PreparedSettings prepared;
  prepared.settings.fovDegrees = 190.0f;

  GpuOptions missing;
  missing.library_path = "/nonexistent/libwebgpu_wrapper.so";
  missing.allow_software_adapter = true;
  expect_unavailable(gpu_render_preview(pair.up, pair.down, prepared, 16, 8, missing), kNoAdapter);

  // Production options: SwiftShader is visible but is a software adapter.
  GpuOptions production = swiftshader_options();
  production.allow_software_adapter = false;
  expect_unavailable(gpu_render_preview(pair.up, pair.down, prepared, 16, 8, production),
                     kNoAdapter);

  // An injected storage limit below the 16 x 8 x 16-byte output.
  GpuOptions limited = swiftshader_options();
  limited.storage_binding_limit = 1024;
  expect_unavailable(gpu_render_preview(pair.up, pair.down, prepared, 16, 8, limited),
                     kLimitExceeded);
  // ... or below the proxies (32 x 32 x 12 bytes) while the output fits.
  limited.storage_binding_limit = 8192;
  expect_unavailable(gpu_render_preview(pair.up, pair.down, prepared, 8, 4, limited),
                     kLimitExceeded);
  limited.storage_binding_limit = 32 * 32 * 12;
  EXPECT_TRUE(gpu_render_preview(pair.up, pair.down, prepared, 8, 4, limited).has_value());

  // Nothing to render, or a source whose pixels do not match its size.
  const GpuOptions ok = swiftshader_options();
  EXPECT_FALSE(gpu_render_preview(pair.up, pair.down, prepared, 0, 8, ok).has_value());
  LinearImage broken = pair.down;
  broken.pixels.resize(broken.pixels.size() - 3);
  EXPECT_FALSE(gpu_render_preview(pair.up, broken, prepared, 16, 8, ok).has_value());
}

TEST(GpuPreview, NullBackendAloneIsNoAdapter) {
  pairs::PairOptions small;
  small.size = 32;
  small.supersample = 1;
  const pairs::Pair pair = pairs::render_pair(small);
  PreparedSettings prepared;
  prepared.settings.fovDegrees = 190.0f;
  GpuOptions options;
  options.library_path = STITCH_WEBGPU_LIBRARY;
  options.allow_software_adapter = true;
  ASSERT_EQ(setenv("VK_ICD_FILENAMES", "/nonexistent/icd.json", 1), 0);
  expect_unavailable(gpu_render_preview(pair.up, pair.down, prepared, 16, 8, options), kNoAdapter);
}

}  // namespace
}  // namespace stitch
