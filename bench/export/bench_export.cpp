// JPEG encode and 16-bit PNG write time for one panorama. The PNG is written
// with all threads and with one, and, for reference, by libpng's own
// single-stream encoder with the same settings (level 9, Sub filter, same zlib strategy), which
// shows what the parallel block split costs in file size.
//
//   bench_export [width] [output folder]     (default 8192, the temp folder)
#include <png.h>
#include <zlib.h>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "export/export.hpp"

#include "photo_like.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

template <typename T>
std::vector<T> panorama(std::uint32_t w, std::uint32_t h, float scale) {
  return stitch::bench::photo_like<T>(w, h, scale);
}

void check(const stitch::Status& s, const char* what) {
  if (!s) {
    std::fprintf(stderr, "%s failed: %s\n", what, s.error().display().c_str());
    std::exit(1);
  }
}

// libpng's own encoder on the same big-endian sRGB rows, for the size
// comparison; setjmp sits in a frame with trivially destructible values only.
bool libpng_reference(FILE* f, std::uint32_t w, std::uint32_t h, png_bytepp rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 9);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);  // as the writer uses
  png_set_compression_mem_level(png, 9);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t w = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 8192;
  const std::uint32_t h = w / 2;
  const std::filesystem::path dir =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
  const int threads = tbb::info::default_concurrency();
  std::printf("panorama %u x %u, %d threads available\n", w, h, threads);

  const std::vector<std::uint8_t> px8 = panorama<std::uint8_t>(w, h, 255.0f);
  for (const int q : {85, 95}) {
    const auto t0 = Clock::now();
    const auto jpeg = stitch::encode_jpeg(w, h, px8, q);
    const double enc = since(t0);
    check(jpeg.has_value() ? stitch::Status{} : stitch::Status{jpeg.error()}, "jpeg");
    const auto path = dir / "bench_export.jpg";
    const auto t1 = Clock::now();
    check(stitch::write_jpeg(path, w, h, px8, q), "jpeg write");
    const double total = since(t1);
    std::printf("jpeg q%d: encode %.3f s, encode+write %.3f s, %.1f MiB\n", q, enc, total,
                static_cast<double>(jpeg->size()) / 1048576.0);
    std::filesystem::remove(path);
  }

  const std::vector<std::uint16_t> px16 = panorama<std::uint16_t>(w, h, 65535.0f);
  const auto png_path = dir / "bench_export.png";
  for (const int n : {threads, 1}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                              static_cast<std::size_t>(n));
    const auto t0 = Clock::now();
    check(stitch::write_png(png_path, w, h, px16, std::nullopt), "png");
    const double s = since(t0);
    std::printf("png, %d thread(s): %.3f s, %.1f MiB/s of pixels, %.1f MiB\n", n, s,
                static_cast<double>(px16.size() * 2) / 1048576.0 / s,
                static_cast<double>(std::filesystem::file_size(png_path)) / 1048576.0);
  }

  // Reference: the same rows through libpng's single deflate stream.
  std::vector<std::uint8_t> be(px16.size() * 2);
  for (std::size_t i = 0; i < px16.size(); ++i) {
    const std::uint16_t v = stitch::srgb16_from_linear16(px16[i]);
    be[2 * i] = static_cast<std::uint8_t>(v >> 8);
    be[2 * i + 1] = static_cast<std::uint8_t>(v & 0xFF);
  }
  std::vector<png_bytep> rows(h);
  for (std::uint32_t y = 0; y < h; ++y) rows[y] = be.data() + std::size_t{y} * w * 6;
  FILE* f = std::fopen(png_path.c_str(), "wb");
  if (f == nullptr) return 1;
  const auto t0 = Clock::now();
  const bool ok = libpng_reference(f, w, h, rows.data());
  std::fclose(f);
  const double s = since(t0);
  if (ok) {
    std::printf("png, libpng single stream (reference): %.3f s, %.1f MiB\n", s,
                static_cast<double>(std::filesystem::file_size(png_path)) / 1048576.0);
  }
  std::filesystem::remove(png_path);
  return 0;
}
