// The drone's gimbal attitude, read from the "drone-dji:" properties of the
// XMP packet that DJI stores in its DNG (TIFF tag 700 of IFD0) and JPG (APP1)
// files. Nothing here fails: missing, foreign or malformed metadata simply
// gives an absent result, and files are closed on every path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace stitch {

// Degrees, in the order the maker writes them.
struct Attitude {
  float yaw = 0.0f;
  float pitch = 0.0f;
  float roll = 0.0f;
  bool operator==(const Attitude&) const = default;
};

// Largest XMP tag accepted from a TIFF (2 MiB).
inline constexpr std::uint32_t kMaxTiffXmpBytes = 2u * 1024u * 1024u;

// Gimbal yaw, pitch and roll of a DNG or JPG; absent unless all three are
// present, finite and within [-360, 360].
std::optional<Attitude> read_dji_gimbal_pose(const std::filesystem::path& path);

// The XMP tag (700) of the first IFD of a TIFF-structured file, either byte
// order; sub-IFDs are not searched.
std::optional<std::vector<std::uint8_t>> read_tiff_xmp(const std::filesystem::path& path);

// The payload of the first APP1 segment of a JPG that holds
// "drone-dji:GimbalPitchDegree", searched up to the start of the image data.
std::optional<std::vector<std::uint8_t>> read_jpeg_xmp(const std::filesystem::path& path);

// A numeric "drone-dji:<name>" property, written either as an attribute
// (drone-dji:Name="1.5", no spaces allowed in the value) or as an element
// (<drone-dji:Name> 1.5 </drone-dji:Name>, white space trimmed). The attribute
// form wins when present, even if its value does not parse.
std::optional<float> xmp_number(std::string_view text, std::string_view name);

// prefix + "YawDegree", "PitchDegree", "RollDegree"; absent as soon as one is.
std::optional<Attitude> read_attitude(std::string_view text, std::string_view prefix);

// A decimal floating-point number with optional sign, digits, point and
// exponent, or inf / infinity / nan (any case); nothing else, no spaces.
std::optional<float> parse_decimal(std::string_view text);

}  // namespace stitch
