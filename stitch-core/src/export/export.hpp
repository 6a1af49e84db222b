// The export writer: the single door through which a finished panorama
// reaches the disk (destination checks, temporary file, metadata, format
// dispatch, atomic replacement), plus the JPEG and 16-bit PNG writers and a
// small crash-safe file writer for the preview.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error/error.hpp"
#include "stitch/settings.hpp"
#include "types/types.hpp"

namespace stitch {

// The rendered panorama, interleaved R, G, B, rows top to bottom, exactly
// width * height * 3 samples. Rgb8 samples are sRGB-encoded (JPEG output);
// Rgb16 samples are linear light on the sRGB primaries, 65535 = 1.0 (PNG,
// TIFF and DNG output).
struct RenderedPixels {
  struct Rgb8 {
    std::vector<std::uint8_t> samples;
  };
  struct Rgb16 {
    std::vector<std::uint16_t> samples;
  };
  std::variant<Rgb8, Rgb16> data;

  static RenderedPixels rgb8(std::vector<std::uint8_t> samples) {
    return {Rgb8{std::move(samples)}};
  }
  static RenderedPixels rgb16(std::vector<std::uint16_t> samples) {
    return {Rgb16{std::move(samples)}};
  }
};

// Free space kept beyond the estimated output size.
inline constexpr std::uint64_t kFreeSpaceMargin = 256ull * 1024 * 1024;

// Bytes available to unprivileged users on the file system holding `dir`, or
// nothing when it cannot be determined (the check is then skipped).
using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const std::filesystem::path& dir)>;

// The statvfs answer: blocks free for unprivileged users x fragment size.
std::optional<std::uint64_t> statvfs_free_space(const std::filesystem::path& dir);

// Seams for callers that need to observe or steer the writer (tests).
struct ExportOptions {
  // Empty: statvfs_free_space.
  FreeSpaceQuery free_space;
  // Called with the complete, flushed temporary file just before it is
  // renamed over the destination.
  std::function<void(const std::filesystem::path& temporary,
                     const std::filesystem::path& destination)>
      before_commit;
};

// Estimated output size in bytes: 3 per pixel for jpg, 6 for the 16-bit
// formats (saturating).
std::uint64_t estimated_output_bytes(OutputFormat format, std::uint32_t width,
                                     std::uint32_t height);

// ".<name>.part" beside `destination` ("panorama" stands in for a missing or
// non-UTF-8 file name).
std::filesystem::path temporary_path_for(const std::filesystem::path& destination);

// Writes the panorama to `request.destination`: creates the directory,
// checks free space, fills the temporary file with the format's writer
// (embedding the XMP packet when asked), flushes it to stable storage and
// renames it over the destination. The destination changes only by that
// rename; a writer failure removes the temporary file, a failing rename
// leaves the complete temporary file in place. `sources` are the source paths
// as text, UP first; `settings` and `baseline` feed the XMP packet.
Status export_panorama(const RenderedPixels& pixels, std::uint32_t width, std::uint32_t height,
                       const ExportRequest& request, const std::vector<std::string>& sources,
                       const StitchSettings& settings, const RenderProfileParams& baseline,
                       const ExportOptions& options = {});

// The JPEG stream of 8-bit sRGB `samples` (width * height * 3): baseline,
// standard Huffman tables, JFIF, 4:2:0 chroma below quality 90 and 4:4:4
// from 90. `quality` is clamped to 1..100. With `xmp` the packet is placed in
// an APP1 segment right after SOI.
Result<std::vector<std::uint8_t>> encode_jpeg(std::uint32_t width, std::uint32_t height,
                                              std::span<const std::uint8_t> samples, int quality,
                                              std::optional<std::string_view> xmp = std::nullopt);

// encode_jpeg, then the whole stream written to `path` (created or
// truncated) in one write. Writes under the given name: exports pass their
// temporary path, other callers use write_jpeg_safely.
Status write_jpeg(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                  std::span<const std::uint8_t> samples, int quality,
                  std::optional<std::string_view> xmp = std::nullopt);

// write_jpeg through write_file_safely (the preview's writer).
Status write_jpeg_safely(const std::filesystem::path& path, std::uint32_t width,
                         std::uint32_t height, std::span<const std::uint8_t> samples, int quality);

// Replaces `destination` with `bytes` without ever exposing a partial file:
// writes temporary_path_for(destination), flushes it to stable storage,
// renames it over the destination and flushes the directory. On any failure
// the temporary file is removed and the destination is as it was.
Status write_file_safely(const std::filesystem::path& destination,
                         std::span<const std::uint8_t> bytes);

struct PngOptions {
  // Rows per independently compressed block; 0 picks about 4 MiB of row
  // data per block.
  std::uint32_t rows_per_block = 0;
};

// The 16-bit PNG of linear `samples` (width * height * 3, 65535 = 1.0),
// sRGB-encoded, big-endian, zlib level 9, Sub filter on every row. The only
// ancillary chunk is one uncompressed iTXt "XML:com.adobe.xmp" holding `xmp`
// when present, so the chunks are IHDR, [iTXt], IDAT..., IEND. Row blocks are
// compressed in parallel and joined into one zlib stream.
Status write_png(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                 std::span<const std::uint16_t> samples, std::optional<std::string_view> xmp,
                 const PngOptions& options = {});

// The 16-bit sRGB encoding the PNG stores for a linear 16-bit sample.
std::uint16_t srgb16_from_linear16(std::uint16_t sample);

}  // namespace stitch
