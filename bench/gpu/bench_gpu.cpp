// The GPU preview pass next to the CPU render of the same 1024 x 512 preview
// (same proxies, same prepared record, single band), with how far the two
// agree on 8-bit channels.
//
//   bench_gpu [--size N] [--runs N] [--real-gpu] [--library PATH]
//
// By default the pass runs on SwiftShader (Chromium's software Vulkan driver,
// with software adapters allowed). --real-gpu leaves the Vulkan driver choice
// to the system and refuses software adapters, as the worker does; it exits
// with status 1 when the pass fails there.
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gpu/gpu.hpp"
#include "stitch/projection.hpp"
#include "support/synthetic_pair.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using stitch::LinearImage;

constexpr const char* kSwiftShaderIcd = "/usr/lib/chromium/vk_swiftshader_icd.json";
constexpr std::uint32_t kWidth = 1024;
constexpr std::uint32_t kHeight = 512;

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::uint8_t srgb8(float c) {
  const float v = c > 0.0f ? c : 0.0f;
  const float e = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::round(std::clamp(e, 0.0f, 1.0f) * 255.0f));
}

// The CPU render of the preview from the same proxies, row-parallel.
std::vector<std::uint8_t> cpu_preview(const LinearImage& up, const LinearImage& down,
                                      const stitch::PreparedSettings& prepared) {
  const LinearImage up_proxy = stitch::proxy_image(up);
  const LinearImage down_proxy = stitch::proxy_image(down);
  const stitch::ImagePyramid up_pyramid(up_proxy, 1);
  const stitch::ImagePyramid down_pyramid(down_proxy, 1);
  const stitch::RenderContext context(up_pyramid, down_pyramid, prepared, kWidth, kHeight);
  std::vector<std::uint8_t> out(std::size_t{kWidth} * kHeight * 3);
  tbb::parallel_for(std::uint32_t{0}, kHeight, [&](std::uint32_t y) {
    std::vector<stitch::Rgb> row(kWidth);
    context.render_row(y, row);
    std::uint8_t* dst = &out[std::size_t{y} * kWidth * 3];
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      for (int c = 0; c < 3; ++c) dst[3 * x + c] = srgb8(row[x][c]);
    }
  });
  return out;
}

stitch::PreparedSettings prepared_record() {
  stitch::PreparedSettings prepared;
  stitch::StitchSettings& s = prepared.settings;
  s.fovDegrees = 190.0f;
  s.seamFeatherDegrees = 1.0f;
  s.multibandLevels = 1;
  s.up = stitch::LensTransform{0.01f, -0.005f, 1.0f, 0.0f, 0.0f};
  s.down = stitch::LensTransform{-0.008f, 0.004f, 0.98f, 2.0f, -1.5f};
  s.sphere = stitch::SphereRotation{12.0f, 4.0f, -3.0f};
  const std::size_t n = kWidth;
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

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t size = 2048;
  int runs = 3;
  bool real_gpu = false;
  std::string library = STITCH_WEBGPU_LIBRARY;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size" && i + 1 < argc) {
      size = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--real-gpu") {
      real_gpu = true;
    } else if (arg == "--library" && i + 1 < argc) {
      library = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--size N] [--runs N] [--real-gpu] [--library PATH]\n",
                   argv[0]);
      return 2;
    }
  }
  if (size < 16 || size > 8192) {
    std::fprintf(stderr, "--size must be within 16 ... 8192\n");
    return 2;
  }

  stitch::GpuOptions options;
  options.library_path = library;
  options.allow_software_adapter = !real_gpu;
  if (!real_gpu) {
    if (!std::filesystem::exists(kSwiftShaderIcd)) {
      std::fprintf(stderr, "SwiftShader's Vulkan driver is missing (%s)\n", kSwiftShaderIcd);
      return 1;
    }
    setenv("VK_ICD_FILENAMES", kSwiftShaderIcd, 1);
  }
  std::printf("backend: %s (%s)\n", stitch::backend_name(options).c_str(),
              real_gpu ? "real GPU, software adapters refused" : "SwiftShader allowed");

  stitch::pairs::PairOptions pair_options;
  pair_options.size = size;
  pair_options.supersample = 1;
  pair_options.up = stitch::LensTransform{0.01f, -0.005f, 1.0f, 0.0f, 0.0f};
  pair_options.down = stitch::LensTransform{-0.008f, 0.004f, 0.98f, 2.0f, -1.5f};
  pair_options.down_exposure = {0.9f, 0.95f, 1.05f};
  auto t0 = Clock::now();
  const stitch::pairs::Pair pair = stitch::pairs::render_pair(pair_options);
  std::printf("sources: 2 x %u x %u synthetic (%.2f s to make), proxies %u x %u\n", size, size,
              since(t0), stitch::proxy_size(size, size).width,
              stitch::proxy_size(size, size).height);
  const stitch::PreparedSettings prepared = prepared_record();

  std::vector<double> gpu_times;
  std::vector<double> cpu_times;
  std::vector<std::uint8_t> gpu;
  std::vector<std::uint8_t> cpu;
  for (int r = 0; r < runs; ++r) {
    t0 = Clock::now();
    stitch::Result<std::vector<std::uint8_t>> result =
        stitch::gpu_render_preview(pair.up, pair.down, prepared, kWidth, kHeight, options);
    gpu_times.push_back(since(t0));
    if (!result) {
      std::printf("GPU pass failed: %s\n", result.error().display().c_str());
      return 1;
    }
    gpu = std::move(*result);
    t0 = Clock::now();
    cpu = cpu_preview(pair.up, pair.down, prepared);
    cpu_times.push_back(since(t0));
  }

  int max_diff = 0;
  std::size_t within_one = 0;
  for (std::size_t i = 0; i < gpu.size(); ++i) {
    const int d = std::abs(static_cast<int>(gpu[i]) - static_cast<int>(cpu[i]));
    max_diff = std::max(max_diff, d);
    if (d <= 1) ++within_one;
  }
  const double share = 100.0 * static_cast<double>(within_one) / static_cast<double>(gpu.size());
  std::printf("preview %u x %u, median of %d runs\n", kWidth, kHeight, runs);
  std::printf("  GPU pass (instance to sRGB bytes, proxies included): %8.1f ms\n",
              median(gpu_times) * 1e3);
  std::printf("  CPU render (proxies, single band, sRGB):             %8.1f ms\n",
              median(cpu_times) * 1e3);
  std::printf("  agreement: max %d levels, %.4f %% of channel values within 1 level\n", max_diff,
              share);
  const bool ok = max_diff <= 3 && share >= 99.9;
  std::printf("  %s\n", ok ? "OK (<= 1 level for 99.9 %, <= 3 anywhere)" : "MISMATCH");
  return ok ? 0 : 1;
}
