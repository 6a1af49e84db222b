// Small source files for tests, written on the fly instead of committed as
// opaque binaries: JPEGs (with or without XMP and EXIF APP1 segments,
// greyscale), PNG data, Bayer DNGs that LibRaw opens and develops, bare TIFFs
// carrying an XMP tag in the many shapes real and broken files take, and
// helpers that truncate or corrupt any of them.
//
// Byte builders (`*_bytes`) return the file content so a test can damage it
// before writing; `write_*_fixture` functions write straight to a path and
// return a Status (the Result type is [[nodiscard]], so wrap them in
// ASSERT_TRUE). Misuse (a buffer that does not match its size, an encoder
// failure) throws std::invalid_argument or std::runtime_error, which GoogleTest
// reports as a failure of the calling test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "image_io/image_io.hpp"

namespace stitch::fixtures {

using Bytes = std::vector<std::uint8_t>;

// ---- files ------------------------------------------------------------------

Status write_bytes(const std::filesystem::path& path, const Bytes& bytes);
Result<Bytes> read_bytes(const std::filesystem::path& path);

// A fresh directory under the system temporary directory, removed with its
// content when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // path() / name
  std::filesystem::path file(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// ---- pixels -----------------------------------------------------------------

// sRGB-encodes linear values to 8 bits (clamped to [0, 1], rounded to nearest).
std::vector<std::uint8_t> to_srgb8(const LinearImage& image);

// A w x h RGB8 buffer filled by f(x, y) -> {r, g, b}.
template <typename F>
std::vector<std::uint8_t> rgb8_image(std::uint32_t w, std::uint32_t h, F&& f) {
  std::vector<std::uint8_t> out;
  out.reserve(std::size_t{w} * h * 3);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::array<std::uint8_t, 3> p = f(x, y);
      out.insert(out.end(), p.begin(), p.end());
    }
  return out;
}

// ---- XMP --------------------------------------------------------------------

// A complete XMP packet as a DJI drone writes it: the gimbal and flight
// attitude as "drone-dji:" attributes, values like "+12.30".
std::string dji_xmp(float yaw, float pitch, float roll);
// The same properties written as elements, each value padded with white space.
std::string dji_xmp_elements(float yaw, float pitch, float roll);
// Wraps arbitrary rdf:Description attribute text into a packet, for tests that
// need exact property spellings.
std::string xmp_packet(std::string_view description_attributes,
                       std::string_view description_body = {});

// ---- JPEG -------------------------------------------------------------------

struct JpegOptions {
  int quality = 95;
  // Encodes the luma of the RGB input as a one-component JPEG.
  bool greyscale = false;
  // Placed as an APP1 "http://ns.adobe.com/xap/1.0/" segment.
  std::optional<std::string> xmp;
  // Adds an EXIF APP1 segment (with this Orientation value) before any XMP.
  std::optional<std::uint16_t> exif_orientation;
};

// Encodes packed RGB8 (w x h x 3 bytes) and inserts the requested APP1
// segments right after the start-of-image marker.
Bytes jpeg_bytes(const std::vector<std::uint8_t>& rgb8, std::uint32_t w, std::uint32_t h,
                 const JpegOptions& options = {});

Status write_jpeg_fixture(const std::filesystem::path& path, const std::vector<std::uint8_t>& rgb8,
                          std::uint32_t w, std::uint32_t h, int quality = 95,
                          std::optional<std::string> xmp = std::nullopt);
Status write_jpeg_fixture(const std::filesystem::path& path, const std::vector<std::uint8_t>& rgb8,
                          std::uint32_t w, std::uint32_t h, const JpegOptions& options);
// sRGB-encodes the linear image first.
Status write_jpeg_fixture(const std::filesystem::path& path, const LinearImage& image,
                          const JpegOptions& options = {});

// Rewrites the width and height fields of the first SOF segment, leaving the
// entropy-coded data as it is: a header that lies about the image size.
Bytes with_jpeg_dimensions(Bytes jpeg, std::uint16_t width, std::uint16_t height);

// Inserts one APP1 segment with this payload after the start-of-image marker
// (after any APP1 segments added before it).
Bytes with_app1(Bytes jpeg, const Bytes& payload);

// ---- PNG --------------------------------------------------------------------

// 8-bit RGB PNG.
Bytes png_bytes(const std::vector<std::uint8_t>& rgb8, std::uint32_t w, std::uint32_t h);

// ---- DNG --------------------------------------------------------------------

struct DngFixtureOptions {
  // Empty strings leave the tag out. Without Make, Model and
  // UniqueCameraModel the file carries no camera name at all.
  std::string make = "DJI";
  std::string model = "Avata 360";
  // Empty: "<make> <model>" (trimmed) when either is set, else left out.
  std::string unique_camera_model;
  std::optional<std::uint16_t> iso = 100;  // EXIF ISOSpeedRatings
  std::optional<float> baseline_exposure = 0.0f;
  std::optional<std::string> xmp;  // IFD0 tag 700
  bool big_endian = false;
  std::uint16_t black_level = 0;
  std::uint16_t white_level = 65535;
  // Header dimensions that differ from the written data (0: the real ones).
  std::uint32_t declared_width = 0;
  std::uint32_t declared_height = 0;
};

// A Bayer (RGGB) DNG 1.4 of 16-bit uncompressed samples whose camera space is
// linear sRGB (ColorMatrix1 = XYZ->sRGB under D65, neutral as-shot white), so
// that developing it in sRGB primaries returns the written colours up to
// demosaicing error. Values are clamped to [0, 1] before quantising.
// LibRaw raises its white point to the data maximum when that maximum lies
// above 75 % of WhiteLevel; keep values at or below 0.75 or include a pixel of
// 1.0 for an exact round trip. LibRaw needs at least 22 x 22 pixels.
Bytes dng_bytes(const LinearImage& image, const DngFixtureOptions& options = {});
Status write_dng_fixture(const std::filesystem::path& path, const LinearImage& image,
                         const DngFixtureOptions& options = {});

// ---- bare TIFF with an XMP tag ------------------------------------------------

struct TiffXmpOptions {
  enum class Placement { Ifd0, SubIfd, None };
  std::string xmp;
  bool big_endian = false;
  Placement placement = Placement::Ifd0;
  std::uint16_t type = 1;  // 1 BYTE, 2 ASCII, 7 UNDEFINED; others are wrong
  // Count field of tag 700 (default: the packet length). The packet is
  // written as it is whatever the count says.
  std::optional<std::uint32_t> count;
};

// A 1 x 1 greyscale TIFF whose IFD0 (or a sub-IFD) holds tag 700.
Bytes tiff_xmp_bytes(const TiffXmpOptions& options);

// ---- damage -------------------------------------------------------------------

// The first `keep` bytes.
Bytes truncated(Bytes bytes, std::size_t keep);
// Overwrites `length` bytes from `offset` (clipped to the end) with
// deterministic pseudo-random bytes derived from `seed`.
Bytes corrupted(Bytes bytes, std::size_t offset, std::size_t length, std::uint32_t seed = 1);

}  // namespace stitch::fixtures
