// Load time of one source at camera resolution: a JPG decoded by
// libjpeg-turbo and converted to linear floats, with the conversion's share
// of the time; then a Bayer DNG developed by LibRaw and converted.
//
//   bench_sources [size] [runs] [--no-dng]     (default 4000 x 4000, 5 runs)
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image_io/image_io.hpp"
#include "native/pano_native.h"
#include "support/fixtures.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fx = stitch::fixtures;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A fisheye-like frame: a textured disc with fine noise (so the JPEG has
// realistic entropy) on black.
std::vector<std::uint8_t> photo(std::uint32_t n) {
  std::vector<std::uint8_t> px(std::size_t{n} * n * 3);
  tbb::parallel_for(std::uint32_t{0}, n, [&](std::uint32_t y) {
    std::uint32_t state = 2463534242u ^ (y * 2654435761u);
    for (std::uint32_t x = 0; x < n; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const float u = (static_cast<float>(x) + 0.5f) / static_cast<float>(n) * 2.0f - 1.0f;
      const float v = (static_cast<float>(y) + 0.5f) / static_cast<float>(n) * 2.0f - 1.0f;
      const float r = std::sqrt(u * u + v * v);
      const float noise = static_cast<float>(state & 0xFF) / 255.0f - 0.5f;
      const float base = r > 0.98f ? 0.0f : 0.45f + 0.3f * std::sin(9.0f * u) * std::cos(7.0f * v) + 0.04f * noise;
      const float rgb[3] = {base * 0.95f, base, base * 1.1f};
      std::uint8_t* p = &px[(std::size_t{y} * n + x) * 3];
      for (int c = 0; c < 3; ++c)
        p[c] = static_cast<std::uint8_t>(std::lround(std::clamp(rgb[c], 0.0f, 1.0f) * 255.0f));
    }
  });
  return px;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t n = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 4000;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const bool dng = !(argc > 3 && std::string(argv[3]) == "--no-dng");
  std::printf("source %u x %u, %d runs, %d threads\n", n, n, runs, tbb::info::default_concurrency());

  fx::TempDir dir;
  const std::vector<std::uint8_t> rgb = photo(n);
  const fx::Bytes jpeg = fx::jpeg_bytes(rgb, n, n, {.quality = 95});
  const auto jpg_path = dir.file("bench_up.jpg");
  if (!fx::write_bytes(jpg_path, jpeg)) return 1;
  std::printf("JPG file %.1f MB\n", static_cast<double>(jpeg.size()) / 1e6);

  std::vector<double> load_s, decode_s, alloc_s, fill_s, fill1_s;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    stitch::Result<stitch::LinearImage> img = stitch::load_source(jpg_path);
    load_s.push_back(since(t0));
    if (!img) {
      std::fprintf(stderr, "load failed: %s\n", img.error().display().c_str());
      return 1;
    }

    // The decode alone, from bytes already in memory.
    char err[512] = {};
    PanoJpegImage decoded{};
    t0 = Clock::now();
    if (pano_jpeg_decode(jpeg.data(), jpeg.size(), &decoded, err, sizeof err) != 0) return 1;
    decode_s.push_back(since(t0));

    // The conversion as load_source does it: the float buffer is allocated
    // and zeroed (first touch of its pages), then filled from the table with
    // all threads; the single-thread fill is shown for reference.
    const auto& table = stitch::srgb8_to_linear_table();
    t0 = Clock::now();
    std::vector<float> out(decoded.byte_count);
    alloc_s.push_back(since(t0));
    t0 = Clock::now();
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, out.size(), std::size_t{1} << 16),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t k = r.begin(); k != r.end(); ++k) out[k] = table[decoded.samples[k]];
                      });
    fill_s.push_back(since(t0));
    t0 = Clock::now();
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = table[decoded.samples[k]];
    fill1_s.push_back(since(t0));
    pano_jpeg_free(&decoded);
  }
  const double load = median(load_s), decode = median(decode_s);
  const double alloc = median(alloc_s), fill = median(fill_s);
  std::printf("JPG load_source        %7.1f ms (median)\n", load * 1e3);
  std::printf("  decode (turbojpeg)   %7.1f ms\n", decode * 1e3);
  std::printf("  conversion           %7.1f ms = %.0f %% of load_source\n", (alloc + fill) * 1e3,
              100.0 * (alloc + fill) / load);
  std::printf("    float buffer alloc %7.1f ms (page first touch)\n", alloc * 1e3);
  std::printf("    table fill         %7.1f ms (one thread: %.1f ms)\n", fill * 1e3, median(fill1_s) * 1e3);
  std::printf("  read + other         %7.1f ms\n", std::max(0.0, load - decode - alloc - fill) * 1e3);

  if (dng) {
    const stitch::LinearImage lin = stitch::synthetic(n, n, [&](std::uint32_t x, std::uint32_t y) {
      const std::uint8_t* p = &rgb[(std::size_t{y} * n + x) * 3];
      const auto& t = stitch::srgb8_to_linear_table();
      return stitch::Rgb{t[p[0]] * 0.75f, t[p[1]] * 0.75f, t[p[2]] * 0.75f};
    });
    const auto dng_path = dir.file("bench_up.dng");
    if (!fx::write_dng_fixture(dng_path, lin)) return 1;
    std::vector<double> dng_s, develop_s;
    for (int i = 0; i < std::min(runs, 3); ++i) {
      auto t0 = Clock::now();
      stitch::Result<stitch::LinearImage> img = stitch::load_source(dng_path);
      dng_s.push_back(since(t0));
      if (!img) {
        std::fprintf(stderr, "DNG load failed: %s\n", img.error().display().c_str());
        return 1;
      }
      char err[512] = {};
      PanoRawImage raw{};
      t0 = Clock::now();
      if (pano_raw_decode(dng_path.c_str(), &raw, err, sizeof err) != 0) return 1;
      develop_s.push_back(since(t0));
      pano_raw_free(&raw);
    }
    const double total = median(dng_s), develop = median(develop_s);
    std::printf("DNG load_source        %7.1f ms (median)\n", total * 1e3);
    std::printf("  develop (LibRaw AHD) %7.1f ms\n", develop * 1e3);
    std::printf("  conversion           %7.1f ms = %.0f %% of load_source\n",
                std::max(0.0, total - develop) * 1e3, 100.0 * std::max(0.0, total - develop) / total);
  }
  return 0;
}
