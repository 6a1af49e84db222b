// Time of prepare() for one pair on the calling thread, whole and by step:
// alignment (JPEG search or DNG grid), exposure gains, local gains, seam.
//
//   bench_prepare [source size] [analysis width] [repeats]   (default 4000 1024 5)
//
// The pair is a synthetic textured scene seen by two 190-degree lenses with a
// small DOWN misalignment, so every step has real work to do.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "stitch/prepare.hpp"
#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace {

// CPU time of the calling thread: on a busy shared machine wall time mostly
// measures the other processes.
double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

double median_ms(unsigned repeats, const std::function<void()>& work) {
  std::vector<double> ms;
  for (unsigned i = 0; i < repeats; ++i) {
    const double t0 = thread_cpu_ms();
    work();
    ms.push_back(thread_cpu_ms() - t0);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace stitch;
  const std::uint32_t size = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 4000;
  const std::uint32_t w = argc > 2 ? static_cast<std::uint32_t>(std::atoi(argv[2])) : 1024;
  const unsigned repeats = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 5;

  pairs::PairOptions o;
  o.size = size;
  o.supersample = 1;
  o.down.yawDegrees = 0.6f;
  o.down.rollDegrees = -0.4f;
  o.down.centerX = 0.002f;
  o.down.radiusScale = 1.004f;
  o.down_exposure = {0.85f, 0.9f, 0.95f};
  std::printf("rendering two %u x %u sources...\n", size, size);
  pairs::Pair pair = pairs::render_pair(o);

  StitchSettings s = requests::default_settings(8192);
  s.seamFeatherDegrees = 0.5f;
  s.multibandLevels = 0;

  std::printf("prepare at W = %u, %u repeats, median thread CPU ms:\n", w, repeats);
  for (bool raw : {false, true}) {
    pair.up.raw = raw;
    pair.down.raw = raw;
    PreparedSettings p;
    const double whole = median_ms(repeats, [&] { p = prepare(pair.up, pair.down, s, w); });
    const double align = median_ms(repeats, [&] {
      if (raw) {
        (void)align_yaw_roll_grid(pair.up, pair.down, s, w);
      } else {
        (void)align_jpeg_pair(pair.up, pair.down, s, w);
      }
    });
    const ExposureGains gains{p.up_gain, p.down_gain};
    const double ratio =
        median_ms(repeats, [&] { (void)estimate_pair_gain_ratio(pair.up, pair.down, p.settings, w); });
    LocalGainProfile local;
    const double local_ms = median_ms(
        repeats, [&] { local = local_gain_profile(pair.up, pair.down, p.settings, gains, w); });
    const double seam =
        median_ms(repeats, [&] { (void)find_seam(pair.up, pair.down, p.settings, gains, local, w); });
    std::printf("  %s pair: prepare %.1f ms  (alignment %.1f, gains %.1f, local gains %.1f, seam %.1f)\n",
                raw ? "DNG " : "JPEG", whole, align, ratio, local_ms, seam);
  }

  // The seam programme alone on a full grid of random costs.
  const std::uint32_t rows = seam_grid_rows(2);
  std::vector<float> node(std::size_t{rows} * w);
  std::uint32_t state = 2463534242u;
  for (float& c : node) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<float>(state & 0xFFFF) / 65536.0f;
  }
  const double dp = median_ms(repeats, [&] { (void)closed_seam_path(node, rows, w, 0.004f); });
  std::printf("  closed seam path, %u rows x %u columns: %.1f ms\n", rows, w, dp);
  return 0;
}
