// The classic-TIFF container writer behind the two 16-bit export formats: a
// deflate-compressed 16-bit ProPhoto RGB TIFF with an embedded ICC profile,
// and an uncompressed Linear DNG with a small sRGB preview in a sub-IFD.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace stitch {

// Rows per image strip in both formats.
inline constexpr std::uint32_t kTiffRowsPerStrip = 32;

// TIFF field types used by the writer.
enum class TiffType : std::uint16_t {
  Byte = 1,
  Ascii = 2,
  Short = 3,
  Long = 4,
  Rational = 5,
  Undefined = 7,
  SRational = 10,
};

// One directory entry under construction; `bytes` holds the encoded values
// little-endian, exactly `count` values of `type`.
struct TiffEntry {
  std::uint16_t tag = 0;
  TiffType type = TiffType::Byte;
  std::uint32_t count = 0;
  std::vector<std::uint8_t> bytes;
};

// Entry builders.
TiffEntry tiff_ascii(std::uint16_t tag, std::string_view text);  // text + NUL
TiffEntry tiff_shorts(std::uint16_t tag, std::span<const std::uint16_t> values);
TiffEntry tiff_longs(std::uint16_t tag, std::span<const std::uint32_t> values);
// `pairs` holds numerator, denominator, numerator, ...; `type` is Rational or
// SRational (the bit pattern is the same, only the reader's sign differs).
TiffEntry tiff_rationals(std::uint16_t tag, TiffType type,
                         std::span<const std::int32_t> pairs);
// BYTE or UNDEFINED entries: the bytes as they are.
TiffEntry tiff_bytes(std::uint16_t tag, TiffType type,
                     std::span<const std::uint8_t> bytes);

// A file opened for writing whose position is tracked by the writer. Writes go
// straight to the descriptor (no user-space buffer); interrupted writes are
// retried. Closed on destruction.
class TiffFile {
 public:
  // Creates or truncates `path` (mode 0666 before the umask).
  static Result<TiffFile> create(const std::filesystem::path& path);

  TiffFile(TiffFile&& other) noexcept;
  TiffFile& operator=(TiffFile&& other) noexcept;
  TiffFile(const TiffFile&) = delete;
  TiffFile& operator=(const TiffFile&) = delete;
  ~TiffFile();

  Status write(std::span<const std::uint8_t> bytes);
  // Appends one 0x00 byte when the position is odd.
  Status pad_to_even();
  // The current position as a classic-TIFF offset, or the 4 GiB limit error.
  Result<std::uint32_t> position_u32() const;
  std::uint64_t position() const { return position_; }
  // Overwrites 4 bytes at `offset` with `value` little-endian; the tracked
  // position (the end of the data) is unchanged.
  Status patch_u32(std::uint64_t offset, std::uint32_t value);
  Status close();

 private:
  explicit TiffFile(int fd) : fd_(fd) {}
  int fd_ = -1;
  std::uint64_t position_ = 0;
};

// Writes the entries' out-of-line values (each at an even offset) and then the
// directory (at an even offset) at the end of `file`, entries sorted by tag
// (stable). Returns the directory's offset.
Result<std::uint32_t> write_ifd(TiffFile& file, std::vector<TiffEntry> entries);

// The DNG preview: at most 768 pixels wide, nearest-neighbour sampled,
// sRGB-encoded 8-bit RGB.
struct TiffPreview {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3 bytes
};
// `samples` must hold width * height * 3 values with width, height >= 1.
TiffPreview encode_preview(std::uint32_t width, std::uint32_t height,
                           std::span<const std::uint16_t> samples);

// How the TIFF's deflate strips are compressed. Both give the same bytes;
// Sequential exists for benchmarks and byte-identity checks.
enum class StripCompression : std::uint8_t { Parallel, Sequential };

// Writes a complete 16-bit TIFF (`dng` false) or Linear DNG (`dng` true) at
// `path`. `samples` are linear-light RGB on the sRGB primaries, 65535 = 1.0,
// interleaved, width * height * 3 of them. `xmp` is embedded when present.
// On failure the partly written file is left for the caller to remove.
Status write_container(const std::filesystem::path& path, std::uint32_t width,
                       std::uint32_t height,
                       std::span<const std::uint16_t> samples,
                       std::optional<std::string_view> xmp, bool dng,
                       StripCompression mode = StripCompression::Parallel);

// The ProPhoto (ROMM) RGB encoding of one linear sRGB-primaries pixel, gamma
// 1.8, as written into the TIFF's strips.
void prophoto_encode_pixel(const std::uint16_t in[3], std::uint16_t out[3]);

}  // namespace stitch
