// The decoders alone, as the yardsticks of the preview targets: TurboJPEG
// decoding the two JPG sources to packed RGB one after the other (files
// already in memory), and LibRaw developing the two DNGs one after the other
// with the parameters the worker's shim uses (16-bit linear sRGB, camera
// white balance, AHD), its own threads included. Best of `repeat` runs, wall
// and process CPU time; prints one JSON object.
//   bench_pipeline_decoders <up.jpg> <down.jpg> <up.dng> <down.dng> [repeat]
#include <libraw/libraw.h>
#include <turbojpeg.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the whole process (all threads), for runs on a busy machine.
double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<unsigned char> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Seconds to decode both streams, or a negative value on failure.
double decode_jpegs(const std::vector<std::vector<unsigned char>>& files) {
  const Clock::time_point start = Clock::now();
  for (const auto& data : files) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (handle == nullptr ||
        tjDecompressHeader3(handle, data.data(), static_cast<unsigned long>(data.size()), &width,
                            &height, &subsampling, &colorspace) != 0) {
      return -1.0;
    }
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    const int rc = tjDecompress2(handle, data.data(), static_cast<unsigned long>(data.size()),
                                 rgb.data(), width, 0, height, TJPF_RGB, 0);
    tjDestroy(handle);
    if (rc != 0) return -1.0;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double develop_dngs(const char* up, const char* down) {
  const Clock::time_point start = Clock::now();
  for (const char* path : {up, down}) {
    LibRaw raw;
    if (raw.open_file(path) != LIBRAW_SUCCESS) return -1.0;
    libraw_output_params_t& p = raw.imgdata.params;
    p.output_bps = 16;
    p.output_color = 1;
    p.gamm[0] = 1.0;
    p.gamm[1] = 1.0;
    p.no_auto_bright = 1;
    p.use_camera_wb = 1;
    p.user_qual = 3;
    if (raw.unpack() != LIBRAW_SUCCESS || raw.dcraw_process() != LIBRAW_SUCCESS) return -1.0;
    int rc = LIBRAW_SUCCESS;
    libraw_processed_image_t* image = raw.dcraw_make_mem_image(&rc);
    if (image == nullptr) return -1.0;
    LibRaw::dcraw_clear_mem(image);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: bench_pipeline_decoders <up.jpg> <down.jpg> <up.dng> <down.dng> "
                 "[repeat]\n");
    return 2;
  }
  const int repeat = argc > 5 ? std::max(1, std::atoi(argv[5])) : 2;
  const std::vector<std::vector<unsigned char>> jpegs{read_file(argv[1]), read_file(argv[2])};
  double jpeg = std::numeric_limits<double>::infinity();
  double raw = std::numeric_limits<double>::infinity();
  double jpeg_cpu = jpeg;
  double raw_cpu = raw;
  for (int i = 0; i < repeat; ++i) {
    const double c0 = cpu_now();
    const double j = decode_jpegs(jpegs);
    const double c1 = cpu_now();
    const double r = develop_dngs(argv[3], argv[4]);
    const double c2 = cpu_now();
    if (j < 0.0 || r < 0.0) {
      std::fprintf(stderr, "bench_pipeline_decoders: a source failed to decode\n");
      return 1;
    }
    jpeg = std::min(jpeg, j);
    raw = std::min(raw, r);
    jpeg_cpu = std::min(jpeg_cpu, c1 - c0);
    raw_cpu = std::min(raw_cpu, c2 - c1);
  }
  std::printf(
      "{\"turbojpeg_decode_two_s\":%.4f,\"libraw_develop_two_s\":%.4f,"
      "\"turbojpeg_decode_two_cpu_s\":%.4f,\"libraw_develop_two_cpu_s\":%.4f}\n",
      jpeg, raw, jpeg_cpu, raw_cpu);
  return 0;
}
