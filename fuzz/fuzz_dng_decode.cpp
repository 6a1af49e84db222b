// The shim's RAW identification and development on a DNG file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.hpp"
#include "native/pano_native.h"

namespace {

stitch::fuzz::ScratchCleanup cleanup{".dng"};

// Development time and memory grow with the identified size; beyond this the
// fuzzer would only repeat LibRaw's allocation (the shim's own limit is
// covered by unit tests).
constexpr unsigned long long kMaxFuzzPixels = 1ull << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = stitch::fuzz::write_scratch(".dng", data, size);
  PanoRawInfo info{};
  char error[256];
  if (pano_raw_inspect(path.c_str(), &info, error, sizeof error) != 0) {
    if (error[0] == '\0') std::abort();
    return 0;
  }
  if (static_cast<unsigned long long>(info.width) * info.height > kMaxFuzzPixels) return 0;
  PanoRawImage image{};
  const int32_t rc = pano_raw_decode(path.c_str(), &image, error, sizeof error);
  if (rc == 0) {
    const std::uint64_t expected = std::uint64_t{image.width} * image.height * 3;
    if (image.samples == nullptr || image.sample_count != expected || expected == 0) std::abort();
    volatile std::uint16_t sink = image.samples[0];
    sink = image.samples[image.sample_count - 1];
    (void)sink;
  } else if (image.samples != nullptr) {
    std::abort();
  }
  pano_raw_free(&image);
  return 0;
}
