// The XMP number lookup and the decimal parser under it. The first byte picks
// the property name, the rest is the packet text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "dji_metadata/dji_metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::string_view kNames[] = {"GimbalYawDegree", "GimbalPitchDegree",
                                                "GimbalRollDegree", "FlightYawDegree", "", "A"};
  if (size == 0) return 0;
  const std::string_view name = kNames[data[0] % std::size(kNames)];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  (void)stitch::xmp_number(text, name);
  (void)stitch::read_attitude(text, "Gimbal");
  (void)stitch::parse_decimal(text);
  return 0;
}
