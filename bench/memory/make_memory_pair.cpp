// Writes a camera-size synthetic pair and the export requests the memory
// measurement sends:
//   bench_memory_pair <dir> [source size] [output width]
// creates <dir>/MEM_0001_UP.jpg, <dir>/MEM_0001_DOWN.jpg and
// <dir>/export_jpg.json, <dir>/export_png.json (one request line each,
// writing <dir>/pano.jpg and <dir>/pano.png).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_memory_pair <dir> [source size] [output width]\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const auto size = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4000);
  const auto width = static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 20000);

  stitch::pairs::PairOptions options;
  options.size = size;
  options.supersample = 1;
  options.down.rollDegrees = 0.4f;
  auto paths = stitch::pairs::write_pair_jpg(dir, stitch::pairs::render_pair(options), 92, "MEM_0001");
  if (!paths) {
    std::fprintf(stderr, "bench_memory_pair: %s\n", paths.error().display().c_str());
    return 1;
  }
  const stitch::StitchSettings settings = stitch::requests::default_settings(width);
  for (const char* format : {"jpg", "png"}) {
    std::ofstream out(dir / (std::string("export_") + format + ".json"));
    out << stitch::requests::export_json(paths->up.string(), paths->down.string(), settings,
                                         (dir / (std::string("pano.") + format)).string(), format)
        << "\n";
    if (!out) return 1;
  }
  std::printf("bench_memory_pair: %u x %u sources in %s\n", size, size, dir.c_str());
  return 0;
}
