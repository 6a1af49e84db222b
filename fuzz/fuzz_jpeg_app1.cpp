// The JPEG APP1 scanner that finds the drone's XMP packet, and the attitude
// reading that follows it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dji_metadata/dji_metadata.hpp"
#include "fuzz_support.hpp"

namespace {
stitch::fuzz::ScratchCleanup cleanup{".jpg"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& path = stitch::fuzz::write_scratch(".jpg", data, size);
  const auto packet = stitch::read_jpeg_xmp(path);
  // A segment payload is at most 65533 bytes and never longer than the file.
  if (packet && (packet->size() > 65533 || packet->size() > size)) std::abort();
  if (const auto pose = stitch::read_dji_gimbal_pose(path)) {
    for (float v : {pose->yaw, pose->pitch, pose->roll})
      if (!(v >= -360.0f && v <= 360.0f)) std::abort();
  }
  return 0;
}
