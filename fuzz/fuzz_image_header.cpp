// Source inspection's header reader (JPEG marker walk and PNG IHDR) on a file
// named like a JPG source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.hpp"
#include "image_io/image_io.hpp"

namespace {
stitch::fuzz::ScratchCleanup cleanup{"_up.jpg"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = stitch::fuzz::write_scratch("_up.jpg", data, size);
  auto info = stitch::inspect_source(path);
  if (info && (info->width == 0 || info->height == 0)) std::abort();
  return 0;
}
