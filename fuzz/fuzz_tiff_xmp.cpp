// The IFD0 reader that takes the XMP tag out of a TIFF-structured file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dji_metadata/dji_metadata.hpp"
#include "fuzz_support.hpp"

namespace {
stitch::fuzz::ScratchCleanup cleanup{".dng"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = stitch::fuzz::write_scratch(".dng", data, size);
  const auto packet = stitch::read_tiff_xmp(path);
  // Whatever comes back was read from the file (or the 4-byte inline value).
  if (packet && (packet->empty() || packet->size() > stitch::kMaxTiffXmpBytes ||
                 (packet->size() > 4 && packet->size() > size))) {
    std::abort();
  }
  (void)stitch::read_dji_gimbal_pose(path);
  return 0;
}
