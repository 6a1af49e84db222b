// Write time of the 16-bit TIFF and the Linear DNG for one panorama, with the
// TIFF's deflate strips compressed one at a time and in parallel, in one run.
//
//   bench_tiff [width] [output folder]     (default 8192, the temp folder)
#include <sys/resource.h>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "export/tiff/tiff.hpp"

#include "photo_like.hpp"

namespace {

// A photo-like linear image (16-bit).
std::vector<std::uint16_t> panorama(std::uint32_t w, std::uint32_t h) {
  return stitch::bench::photo_like<std::uint16_t>(w, h, 65535.0f);
}

// Process CPU time of all threads, so that a run on a busy machine still
// shows how much work each mode does.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double last_cpu = 0.0;

double write_seconds(const std::filesystem::path& path, std::uint32_t w, std::uint32_t h,
                     const std::vector<std::uint16_t>& px, bool dng,
                     stitch::StripCompression mode) {
  const double c0 = cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  const stitch::Status s = stitch::write_container(path, w, h, px, std::nullopt, dng, mode);
  const auto t1 = std::chrono::steady_clock::now();
  last_cpu = cpu_seconds() - c0;
  if (!s) {
    std::fprintf(stderr, "write failed: %s\n", s.error().display().c_str());
    std::exit(1);
  }
  return std::chrono::duration<double>(t1 - t0).count();
}

std::vector<char> slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t w = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10))
                                   : 8192;
  const std::filesystem::path dir =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
  const std::uint32_t h = w / 2;
  if (w < 2) return 2;
  const auto px = panorama(w, h);
  const auto tif_seq = dir / "bench_tiff_seq.tif";
  const auto tif_par = dir / "bench_tiff_par.tif";
  const auto dng = dir / "bench_tiff.dng";
  const int cores = tbb::info::default_concurrency();
  std::printf("panorama %u x %u, %d hardware threads, input %.0f MiB\n", w, h, cores,
              px.size() * 2.0 / 1048576.0);

  // Warm the page cache and the allocator once before timing.
  write_seconds(tif_par, w, h, px, false, stitch::StripCompression::Parallel);

  const double seq = write_seconds(tif_seq, w, h, px, false, stitch::StripCompression::Sequential);
  std::printf("tiff  sequential compression: %7.3f s wall %7.3f s cpu  (%.0f MiB)\n", seq,
              last_cpu, std::filesystem::file_size(tif_seq) / 1048576.0);
  for (int threads = 2; threads <= cores; threads *= 2) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                              static_cast<std::size_t>(threads));
    const double t = write_seconds(tif_par, w, h, px, false, stitch::StripCompression::Parallel);
    std::printf("tiff  parallel, %2d threads:   %7.3f s wall %7.3f s cpu  speed-up %.2fx\n",
                threads, t, last_cpu, seq / t);
  }
  if ((cores & (cores - 1)) != 0) {
    const double t = write_seconds(tif_par, w, h, px, false, stitch::StripCompression::Parallel);
    std::printf("tiff  parallel, %2d threads:   %7.3f s wall %7.3f s cpu  speed-up %.2fx\n",
                cores, t, last_cpu, seq / t);
  }
  std::printf("tiff  parallel file identical to sequential: %s\n",
              slurp(tif_seq) == slurp(tif_par) ? "yes" : "NO");
  const double d = write_seconds(dng, w, h, px, true, stitch::StripCompression::Parallel);
  std::printf("dng   (raw strips):            %7.3f s wall %7.3f s cpu  (%.0f MiB)\n", d,
              last_cpu, std::filesystem::file_size(dng) / 1048576.0);
  std::filesystem::remove(tif_seq);
  std::filesystem::remove(tif_par);
  std::filesystem::remove(dng);
  return 0;
}
