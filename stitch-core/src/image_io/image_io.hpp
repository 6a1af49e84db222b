// Source files: recognising and inspecting them (headers only), and loading
// them into full-resolution linear-light float images.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "types/types.hpp"

namespace stitch {

using Rgb = std::array<float, 3>;

// A full-resolution linear-light RGB image of 32-bit floats.
struct LinearImage {
  std::vector<float> pixels;  // interleaved RGB, rows top to bottom
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<std::string> camera;
  std::optional<float> iso;
  std::optional<float> baseline_exposure_ev;
  bool raw = false;
};

// ---- identification (no pixels decoded) ------------------------------------

// The lens a file belongs to, from the markers "_up" / "_down" in its file name
// (not its directories): "_up." / "_up_" anywhere or "_up" at the end, likewise
// for down; up wins when both match. Never fails.
FisheyeRole detect_role(const std::filesystem::path& path);

// jpeg for a .jpg/.jpeg extension, dng for .dng (any letter case); anything
// else is UnsupportedFormat carrying the path text.
Result<SourceFormat> source_format(const std::filesystem::path& path);

// The width, height, camera and exposure facts of a source from its header.
// DNG goes through LibRaw's identification; a JPG's container is recognised
// from its leading bytes (JPEG or PNG), so PNG data under a .jpg name is
// inspected as what it is.
Result<SourceInfo> inspect_source(const std::filesystem::path& path);

// Bytes as UTF-8, every invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path as text: its bytes as UTF-8 with invalid sequences replaced.
std::string path_text(const std::filesystem::path& path);

// The camera field of a native record: text up to the first NUL, invalid UTF-8
// replaced, Unicode white space trimmed; absent when nothing is left.
std::optional<std::string> camera_string(const char* text);

// The NUL-terminated path handed to the RAW decoder (c_str() of the result).
// Fails with DngDecode "DNG path contains a null byte" when the path text holds
// a NUL. The path's own bytes are passed on, so names that are not valid
// UTF-8 still open.
Result<std::string> path_cstring(const std::filesystem::path& path);

// ---- loading ------------------------------------------------------------------

// Loads a JPG or DNG source at full resolution into linear light.
Result<LinearImage> load_source(const std::filesystem::path& path);

// JPG inputs larger than this are refused before being read into memory.
inline constexpr std::uint64_t kMaxJpegFileBytes = std::uint64_t{1} << 30;

// The sRGB decoding of every 8-bit value, as load_source applies it to JPEG
// samples: v = s / 255; v / 12.92 up to 0.04045, else ((v + 0.055) / 1.055)^2.4.
const std::array<float, 256>& srgb8_to_linear_table();

// The bilinear rule for per-pixel loops that hold a consistent image (pixel
// buffer of width x height x 3): pixel centres on integers, false outside
// [0, width - 1] x [0, height - 1] and for NaN, otherwise the four
// neighbours weighted by the fractional parts and summed in a fixed order.
inline bool bilinear_into(const LinearImage& image, float x, float y, Rgb& out) {
  const float max_x = static_cast<float>(image.width) - 1.0f;
  const float max_y = static_cast<float>(image.height) - 1.0f;
  if (!(x >= 0.0f) || !(y >= 0.0f) || !(x <= max_x) || !(y <= max_y)) return false;
  // x and y lie within [0, size - 1], so truncation is the floor and fits.
  const auto x0 = static_cast<std::uint32_t>(x);
  const auto y0 = static_cast<std::uint32_t>(y);
  const std::uint32_t x1 = x0 + 1 < image.width ? x0 + 1 : image.width - 1;
  const std::uint32_t y1 = y0 + 1 < image.height ? y0 + 1 : image.height - 1;
  const float fx = x - static_cast<float>(x0);
  const float fy = y - static_cast<float>(y0);
  const float w00 = (1.0f - fx) * (1.0f - fy);
  const float w10 = fx * (1.0f - fy);
  const float w01 = (1.0f - fx) * fy;
  const float w11 = fx * fy;
  const std::size_t stride = image.width;
  const float* p00 = image.pixels.data() + (y0 * stride + x0) * 3;
  const float* p10 = image.pixels.data() + (y0 * stride + x1) * 3;
  const float* p01 = image.pixels.data() + (y1 * stride + x0) * 3;
  const float* p11 = image.pixels.data() + (y1 * stride + x1) * 3;
  for (std::size_t c = 0; c < 3; ++c) {
    float v = 0.0f;
    v += p00[c] * w00;
    v += p10[c] * w10;
    v += p01[c] * w01;
    v += p11[c] * w11;
    out[c] = v;
  }
  return true;
}

// Bilinear sample at (x, y), pixel centres on integers; absent outside.
std::optional<Rgb> sample_bilinear(const LinearImage& image, float x, float y);

// Builds an image row by row from f(x, y).
LinearImage synthetic(std::uint32_t width, std::uint32_t height,
                      const std::function<Rgb(std::uint32_t, std::uint32_t)>& f);

}  // namespace stitch
