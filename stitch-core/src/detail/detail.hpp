// The detail stage of a rendered panorama: edge-aware noise reduction,
// clarity (local contrast on log luminance) and contrast-adaptive sharpening,
// applied in place in linear light with the left and right edges treated as
// neighbours.
#pragma once

#include <cstdint>
#include <span>

#include "error/error.hpp"

namespace stitch {

// Neighbourhood radius of the noise-reduction/clarity pass for a panorama
// `width` pixels wide: a quarter of a degree of longitude, at least 1 pixel.
std::uint32_t detail_radius(std::uint32_t width);

// `pixels` holds width x height interleaved RGB samples, top row first:
// 8-bit sRGB-encoded for the rgb8 form, 16-bit linear for the rgb16 form.
// Clarity is clamped to [-100, 100], sharpening and noise reduction to
// [0, 100]. With all three off the buffer is not touched. Fails, leaving the
// buffer untouched, when the sample count is not width x height x 3.
Status apply_detail_rgb8(std::span<std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
                         float clarity, float sharpening, float noise_reduction);
Status apply_detail_rgb16(std::span<std::uint16_t> pixels, std::uint32_t width, std::uint32_t height,
                          float clarity, float sharpening, float noise_reduction);

}  // namespace stitch
