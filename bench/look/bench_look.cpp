// The look stage's costs: the colour transform per pixel (prepared once per
// render versus rebuilt per call), the in-place 8-bit colour pass and the
// colour suggestion on a preview, and the detail stage on a full panorama in
// 8 and 16 bits, pass by pass, with all threads and with one.
//
//   bench_look [width] [--no-single-thread]     (default width 8192)
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "color/color.hpp"
#include "detail/detail.hpp"

#include "photo_like.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Processor time of the whole process (all threads), in seconds: on a busy
// machine it shows the work itself where wall time shows the waiting too.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct Timing {
  double wall_ms;
  double cpu_ms;
};

// Finer ground texture and stronger noise than the writers' image, so the
// detail filters have edges and grain to work on.
template <typename T>
std::vector<T> panorama(std::uint32_t w, std::uint32_t h, float scale) {
  return stitch::bench::photo_like<T>(w, h, scale, {10.0f, 0.03f});
}

void check(const stitch::Status& s, const char* what) {
  if (!s) {
    std::fprintf(stderr, "%s failed: %s\n", what, s.error().display().c_str());
    std::exit(1);
  }
}

stitch::RenderProfileParams natural_profile() {
  stitch::RenderProfileParams p;
  p.base_exposure_ev = 0.5f;
  p.iso = 400.0f;
  p.saturation_boost = 4.0f;
  p.vibrance_boost = 12.0f;
  p.clarity_boost = 15.0f;
  p.sharpening_boost = 25.0f;
  p.noise_reduction = 10.0f;
  p.active = true;
  return p;
}

void bench_color() {
  stitch::ColorAdjustments a;
  a.exposureEv = 0.3f;
  a.contrast = 12.0f;
  a.highlights = -20.0f;
  a.shadows = 15.0f;
  a.brightness = 5.0f;
  a.saturation = 6.0f;
  a.vibrance = 10.0f;
  a.warmth = 4.0f;
  a.tint = -2.0f;
  const auto profile = natural_profile();

  constexpr std::size_t kPixels = 1 << 22;
  std::vector<std::array<float, 3>> px(kPixels);
  std::uint32_t state = 88172645u;
  for (auto& p : px) {
    for (float& c : p) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      c = static_cast<float>(state & 0xFFFF) / 65535.0f * 1.2f;
    }
  }
  // Single-threaded loops: processor time per pixel.
  float sink = 0.0f;
  const stitch::ColorPipeline pipeline(a, profile);
  double c0 = cpu_seconds();
  for (const auto& p : px) sink += pipeline.apply(p)[1];
  const double prepared = (cpu_seconds() - c0) / kPixels * 1e9;

  c0 = cpu_seconds();
  for (const auto& p : px) sink += stitch::apply_color_with_profile(p, a, profile)[1];
  const double per_call = (cpu_seconds() - c0) / kPixels * 1e9;

  const stitch::ColorPipeline neutral(stitch::ColorAdjustments{}, stitch::RenderProfileParams{});
  c0 = cpu_seconds();
  for (const auto& p : px) sink += neutral.apply(p)[1];
  const double pass = (cpu_seconds() - c0) / kPixels * 1e9;

  std::printf("colour transform, one thread, %zu pixels:\n", kPixels);
  std::printf("  prepared pipeline        %6.1f ns/pixel\n", prepared);
  std::printf("  rebuilt per call         %6.1f ns/pixel\n", per_call);
  std::printf("  pass-through             %6.1f ns/pixel   (checksum %.1f)\n", pass, static_cast<double>(sink));

  auto preview = panorama<std::uint8_t>(1024, 512, 255.0f);
  auto t0 = Clock::now();
  stitch::apply_color_to_srgb8_with_profile(preview, a, profile);
  const double srgb = since(t0) * 1e3;
  t0 = Clock::now();
  const auto suggestion = stitch::suggest_auto_from_srgb8_with_profile(preview, 1024, 512, true, 400.0f, true);
  const double suggest = since(t0) * 1e3;
  std::printf("preview 1024 x 512: in-place sRGB colour %.1f ms, colour suggestion %.1f ms (%s)\n", srgb, suggest,
              suggestion ? "suggested" : "none");
}

template <typename T>
Timing time_detail(std::uint32_t w, std::uint32_t h, const std::vector<T>& source, float clarity,
                   float sharpening, float noise) {
  std::vector<T> buf = source;
  const double c0 = cpu_seconds();
  const auto t0 = Clock::now();
  if constexpr (sizeof(T) == 1) {
    check(stitch::apply_detail_rgb8(buf, w, h, clarity, sharpening, noise), "detail");
  } else {
    check(stitch::apply_detail_rgb16(buf, w, h, clarity, sharpening, noise), "detail");
  }
  return {since(t0) * 1e3, (cpu_seconds() - c0) * 1e3};
}

template <typename T>
void bench_detail(const char* label, std::uint32_t w, std::uint32_t h, float scale, bool single_thread) {
  const auto source = panorama<T>(w, h, scale);
  struct Case {
    const char* name;
    float clarity, sharpening, noise;
  };
  const Case cases[] = {{"profile look (clarity 15, sharpen 25, NR 10)", 15, 25, 10},
                        {"noise reduction only (NR 10)", 0, 0, 10},
                        {"clarity only (15)", 15, 0, 0},
                        {"sharpening only (25)", 0, 25, 0},
                        {"all off", 0, 0, 0}};
  const int threads = tbb::info::default_concurrency();
  std::printf("detail stage, %s %u x %u (radius %u):\n", label, w, h, stitch::detail_radius(w));
  for (const Case& c : cases) {
    const Timing all = time_detail(w, h, source, c.clarity, c.sharpening, c.noise);
    std::printf("  %-46s %8.1f ms wall, %8.1f ms CPU (%d threads)", c.name, all.wall_ms, all.cpu_ms, threads);
    if (single_thread) {
      tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
      const Timing one_thread = time_detail(w, h, source, c.clarity, c.sharpening, c.noise);
      std::printf("  %8.1f ms wall (1 thread)", one_thread.wall_ms);
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t width = 8192;
  bool single_thread = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-single-thread") == 0) {
      single_thread = false;
    } else {
      width = static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10));
    }
  }
  if (width < 2 || width > 20000) {
    std::fprintf(stderr, "width must be 2 .. 20000\n");
    return 2;
  }
  const std::uint32_t height = width / 2;
  std::printf("threads available: %d\n", tbb::info::default_concurrency());
  bench_color();
  bench_detail<std::uint8_t>("RGB8", width, height, 255.0f, single_thread);
  bench_detail<std::uint16_t>("RGB16", width, height, 65535.0f, single_thread);
  return 0;
}
