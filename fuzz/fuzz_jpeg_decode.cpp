// The shim's JPEG decode on bytes in memory.
#include <turbojpeg.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "native/pano_native.h"

namespace {

// Headers may declare up to the shim's 200-megapixel limit, which a fuzzer
// would spend its time filling; such inputs only repeat one allocation and
// are skipped (the limit itself has its own unit tests).
constexpr unsigned long long kMaxFuzzPixels = 4ull << 20;

bool small_enough(const std::uint8_t* data, std::size_t size) {
  tjhandle h = tjInitDecompress();
  if (h == nullptr) return false;
  int w = 0, hgt = 0, sub = 0, cs = 0;
  const int rc = tjDecompressHeader3(h, data, static_cast<unsigned long>(size), &w, &hgt, &sub, &cs);
  tjDestroy(h);
  // Inputs the header reader refuses still go through the shim.
  if (rc != 0) return true;
  return static_cast<unsigned long long>(w) * static_cast<unsigned long long>(hgt) <= kMaxFuzzPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || !small_enough(data, size)) return 0;
  PanoJpegImage image{};
  char error[256];
  const int32_t rc = pano_jpeg_decode(data, size, &image, error, sizeof error);
  if (rc == 0) {
    const std::uint64_t expected = std::uint64_t{image.width} * image.height * 3;
    if (image.samples == nullptr || image.byte_count != expected) std::abort();
    // Touch the first and last sample so a short buffer shows up under ASan.
    volatile std::uint8_t sink = image.samples[0];
    sink = image.samples[image.byte_count - 1];
    (void)sink;
  } else if (image.samples != nullptr || error[0] == '\0') {
    std::abort();
  }
  pano_jpeg_free(&image);
  pano_jpeg_free(&image);  // repeated release is harmless
  return 0;
}
