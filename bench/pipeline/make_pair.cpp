// The benchmark's inputs: a camera-size synthetic pair as JPG and as DNG (the
// same rendered scene), and the request lines the worker is driven with.
//   bench_pipeline_pair pair <dir> [size]
//       writes <dir>/BENCH_0001_UP.jpg, _DOWN.jpg, _UP.dng, _DOWN.dng unless
//       all four exist already (the files are cached between runs)
//   bench_pipeline_pair preview <up> <down> <destination>   (settings for a 4096-wide export;
//       previews are always 1024 x 512)
//   bench_pipeline_pair export <up> <down> <width> <jpg|png|tiff|dng> <destination>
//       print one request line on stdout
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace {

int make_pair(const std::filesystem::path& dir, std::uint32_t size) {
  const std::string stem = "BENCH_0001";
  bool complete = true;
  for (const char* name : {"_UP.jpg", "_DOWN.jpg", "_UP.dng", "_DOWN.dng"}) {
    complete = complete && std::filesystem::exists(dir / (stem + name));
  }
  if (complete) return 0;
  std::filesystem::create_directories(dir);

  stitch::pairs::PairOptions options;
  options.size = size;
  options.supersample = 1;  // 16 M pixels per lens: anti-aliasing would only cost time
  options.down.rollDegrees = 0.4f;
  options.down.yawDegrees = -0.6f;
  options.down_exposure = {0.93f, 0.95f, 0.97f};
  const stitch::pairs::Pair pair = stitch::pairs::render_pair(options);
  auto jpg = stitch::pairs::write_pair_jpg(dir, pair, 95, stem);
  if (!jpg) {
    std::fprintf(stderr, "bench_pipeline_pair: %s\n", jpg.error().display().c_str());
    return 1;
  }
  auto dng = stitch::pairs::write_pair_dng(dir, pair, {}, stem);
  if (!dng) {
    std::fprintf(stderr, "bench_pipeline_pair: %s\n", dng.error().display().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "pair" && argc >= 3) {
    const auto size =
        static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 4000);
    return make_pair(argv[2], size);
  }
  if (mode == "preview" && argc == 5) {
    std::printf("%s\n", stitch::requests::preview_json(argv[2], argv[3], argv[4],
                                                       stitch::requests::default_settings(4096))
                            .c_str());
    return 0;
  }
  if (mode == "export" && argc == 7) {
    const auto width = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    std::printf("%s\n",
                stitch::requests::export_json(argv[2], argv[3],
                                              stitch::requests::default_settings(width), argv[6],
                                              argv[5])
                    .c_str());
    return 0;
  }
  std::fprintf(stderr,
               "usage: bench_pipeline_pair pair <dir> [size]\n"
               "       bench_pipeline_pair preview <up> <down> <destination>\n"
               "       bench_pipeline_pair export <up> <down> <width> <format> <destination>\n");
  return 2;
}
