// Per-pixel cost of the stitch on one core: nanoseconds per output pixel for
// the reference render_pixel and for the per-row RenderContext the raster
// loops use, single band and with 8 pyramid levels, with and without a sphere
// rotation; plus the time to build the pyramids (rows in parallel).
//
//   bench_projection [source size] [output width] [rows] [repeats]
//                    (default 4000 8192 64 3)
//
// `rows` output rows, in bands of 16 adjacent rows spread evenly over the
// panorama (so the seam band, the poles and everything between are
// represented in proportion, and the source cache behaves as in a real
// render), are rendered per measurement. Times are the CPU time of the measuring thread.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

#include "stitch/projection.hpp"
#include "support/synthetic_pair.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread, so that other load on the machine does not
// count against the measurement.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median_seconds(unsigned repeats, const std::function<void()>& work) {
  std::vector<double> s;
  for (unsigned i = 0; i < repeats; ++i) {
    const double t0 = thread_seconds();
    work();
    s.push_back(thread_seconds() - t0);
  }
  std::sort(s.begin(), s.end());
  return s[s.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace stitch;
  const std::uint32_t size = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 4000;
  const std::uint32_t w = argc > 2 ? static_cast<std::uint32_t>(std::atoi(argv[2])) : 8192;
  const std::uint32_t rows = argc > 3 ? static_cast<std::uint32_t>(std::atoi(argv[3])) : 64;
  const unsigned repeats = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 3;
  const std::uint32_t h = w / 2;

  pairs::PairOptions o;
  o.size = size;
  o.supersample = 1;
  o.down = {0.002f, -0.001f, 1.004f, 0.6f, -0.4f};
  o.down_exposure = {0.85f, 0.9f, 0.95f};
  std::printf("rendering two %u x %u sources...\n", size, size);
  const pairs::Pair pair = pairs::render_pair(o);

  PreparedSettings p;
  p.settings.fovDegrees = o.fov_degrees;
  p.settings.seamFeatherDegrees = 2.0f;
  p.settings.down = o.down;
  p.up_gain = {0.97f, 1.0f, 1.02f};
  p.down_gain = {1.1f, 1.05f, 1.03f};
  // Lists shaped like the seam search's output: 1024 entries, feathers under
  // half a degree, the seam wandering within a few degrees.
  for (int i = 0; i < 1024; ++i) {
    const float t = static_cast<float>(i) / 1024.0f * 6.2831853f;
    p.seam_latitudes.push_back(0.03f * std::sin(3.0f * t));
    p.seam_feathers.push_back(0.005f + 0.003f * std::cos(t));
    p.up_local_gains.push_back(1.0f + 0.05f * std::sin(t));
    p.down_local_gains.push_back(1.0f - 0.05f * std::sin(t));
  }

  // Bands of 16 adjacent rows, as a raster task sees them, spread evenly.
  std::vector<std::uint32_t> ys;
  const std::uint32_t bands = std::max<std::uint32_t>(rows / 16, 1);
  for (std::uint32_t b = 0; b < bands; ++b) {
    const auto first = static_cast<std::uint32_t>((std::uint64_t{b} * h) / bands);
    for (std::uint32_t i = 0; i < 16 && first + i < h; ++i) ys.push_back(first + i);
  }
  const double pixels = static_cast<double>(ys.size()) * w;
  std::printf("output %u x %u, %zu rows sampled, %u repeats, one thread\n\n", w, h, ys.size(), repeats);
  std::printf("%-8s %-9s %14s %14s\n", "levels", "rotation", "render_pixel", "RenderContext");

  for (std::uint8_t levels : {std::uint8_t{1}, std::uint8_t{8}}) {
    p.settings.multibandLevels = levels;
    const auto t0 = Clock::now();
    const ImagePyramid up(pair.up, levels), down(pair.down, levels);
    const double build = std::chrono::duration<double>(Clock::now() - t0).count();
    for (bool rotated : {false, true}) {
      p.settings.sphere = rotated ? SphereRotation{12.0f, -4.0f, 2.5f} : SphereRotation{};
      volatile float sink = 0.0f;
      const double ref = median_seconds(repeats, [&] {
        float acc = 0.0f;
        for (std::uint32_t y : ys)
          for (std::uint32_t x = 0; x < w; ++x) acc += render_pixel(up, down, p, x, y, w, h)[1];
        sink = sink + acc;
      });
      const RenderContext ctx(up, down, p, w, h);
      std::vector<Rgb> row(w);
      const double fast = median_seconds(repeats, [&] {
        float acc = 0.0f;
        for (std::uint32_t y : ys) {
          ctx.render_row(y, row);
          acc += row[w / 3][1];
        }
        sink = sink + acc;
      });
      std::printf("%-8u %-9s %11.1f ns %11.1f ns\n", unsigned{levels}, rotated ? "yes" : "no",
                  ref / pixels * 1e9, fast / pixels * 1e9);
    }
    std::printf("  (pyramids of both sources built in %.1f ms)\n", build * 1e3);
  }
  return 0;
}
