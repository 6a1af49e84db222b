// The metadata blobs that exported panoramas carry: the XMP packet (GPano
// properties plus our own record of how the image was made), its placement
// into a JPEG stream, and the ICC profile of the 16-bit TIFF output.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "stitch/settings.hpp"
#include "types/types.hpp"

namespace stitch {

// The namespace URI bound to the `orv` prefix in our XMP properties.
inline constexpr std::string_view kOrvXmpNamespace = "https://ns.orvane.app/stitch/1.0/";

// The identifier that opens a standard XMP APP1 segment, NUL included.
inline constexpr std::string_view kJpegXmpIdentifier{"http://ns.adobe.com/xap/1.0/\0", 29};

// The largest packet one JPEG APP1 segment can hold (65535 - 2 - 29).
inline constexpr std::size_t kMaxJpegXmpPacket = 65504;

// Replaces & < > " ' by their XML entities ("&" first, so nothing is escaped
// twice).
std::string xml_escape(std::string_view text);

// The panorama's XMP packet: 42 lines, UTF-8, no trailing line feed.
// `sources` are the source paths as text, UP first. `settings` supplies the
// preset and the colour adjustments, `baseline` the render profile whose
// clarity, sharpening and noise reduction add to the user's values.
std::string panorama_xmp(std::uint32_t width, std::uint32_t height,
                         const std::vector<std::string>& sources, const StitchSettings& settings,
                         const RenderProfileParams& baseline);

// A copy of the JPEG stream `jpeg` with `packet` in an XMP APP1 segment placed
// right after SOI. Fails when `jpeg` does not start with SOI or the packet
// does not fit one segment.
Result<std::vector<std::uint8_t>> inject_xmp_into_jpeg(std::span<const std::uint8_t> jpeg,
                                                       std::string_view packet);

// The ProPhoto RGB (gamma 1.8, D50) ICC display profile embedded in TIFF
// exports; the same bytes on every call.
const std::vector<std::uint8_t>& prophoto_icc_profile();

}  // namespace stitch
