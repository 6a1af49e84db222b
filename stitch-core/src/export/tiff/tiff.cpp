// Classic little-endian TIFF writer for the 16-bit ProPhoto TIFF and the
// Linear DNG. Hand-written rather than built on libtiff because every byte of
// the layout (entry order, padding, strip placement) is fixed by this system.
#include "export/tiff/tiff.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "metadata/metadata.hpp"

namespace stitch {
namespace {

constexpr std::uint64_t kClassicLimit = std::uint64_t{1} << 32;
constexpr std::string_view kSoftware = "Orvane Stitcher 0.1";
constexpr std::string_view kUniqueCameraModel = "Orvane Stitched Linear Panorama";
constexpr int kDeflateLevel = 6;
constexpr std::uint32_t kPreviewMaxWidth = 768;

StitchError limit_error() {
  return StitchError::export_failed(
      "The output exceeded the 4 GiB classic TIFF/DNG limit; lower the output width");
}

StitchError strip_size_error() {
  return StitchError::export_failed("A TIFF/DNG strip exceeded the classic TIFF limit");
}

void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put_u32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Round half away from zero and clamp to [0, max]; NaN maps to 0.
std::uint16_t to_u16(float v, float max) {
  const float r = std::round(v);
  if (!(r > 0.0f)) return 0;
  if (r >= max) return static_cast<std::uint16_t>(max);
  return static_cast<std::uint16_t>(r);
}

float clamp01(float v) {
  if (!(v > 0.0f)) return 0.0f;  // also NaN
  return v < 1.0f ? v : 1.0f;
}

float srgb_encode(float v) {
  v = v > 0.0f ? v : 0.0f;
  const float e =
      v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return clamp01(e);
}

// Checked product of the three dimensions of an RGB buffer.
bool rgb_sample_count(std::uint32_t width, std::uint32_t height, std::size_t& out) {
  std::uint64_t pixels = std::uint64_t{width} * height;
  std::uint64_t samples = 0;
  if (__builtin_mul_overflow(pixels, std::uint64_t{3}, &samples)) return false;
  if (samples > SIZE_MAX) return false;
  out = static_cast<std::size_t>(samples);
  return true;
}

// Converts one row of linear sRGB-primaries samples to little-endian ProPhoto
// gamma-1.8 samples.
void encode_prophoto_row(const std::uint16_t* in, std::size_t pixels, std::uint8_t* out) {
  for (std::size_t x = 0; x < pixels; ++x) {
    std::uint16_t px[3];
    prophoto_encode_pixel(in + 3 * x, px);
    put_u16(out + 6 * x, px[0]);
    put_u16(out + 6 * x + 2, px[1]);
    put_u16(out + 6 * x + 4, px[2]);
  }
}

// One zlib deflate state reused across strips by one thread, with the row
// buffer that feeds it.
class StripDeflater {
 public:
  StripDeflater() = default;
  StripDeflater(const StripDeflater&) = delete;
  StripDeflater& operator=(const StripDeflater&) = delete;
  ~StripDeflater() {
    if (ready_) deflateEnd(&z_);
  }

  // Compresses rows [row0, row1) of the image, converted to ProPhoto, as one
  // complete zlib stream into `out` (resized to the stream's length).
  Status compress_strip(const std::uint16_t* samples, std::uint32_t width,
                        std::uint32_t row0, std::uint32_t row1,
                        std::vector<std::uint8_t>& out) {
    if (!ready_) {
      std::memset(&z_, 0, sizeof(z_));
      if (deflateInit(&z_, kDeflateLevel) != Z_OK) return zlib_error();
      ready_ = true;
    } else if (deflateReset(&z_) != Z_OK) {
      return zlib_error();
    }
    const std::size_t row_bytes = std::size_t{width} * 6;
    row_.resize(row_bytes);
    const std::uint64_t raw = std::uint64_t{row_bytes} * (row1 - row0);
    out.resize(static_cast<std::size_t>(deflateBound(&z_, static_cast<uLong>(raw))));
    std::size_t produced = 0;
    for (std::uint32_t y = row0; y < row1; ++y) {
      encode_prophoto_row(samples + std::size_t{y} * width * 3, width, row_.data());
      const int flush = y + 1 == row1 ? Z_FINISH : Z_NO_FLUSH;
      std::size_t fed = 0;
      for (;;) {
        // zlib counts in 32-bit units; very wide rows go in pieces.
        const std::size_t in_chunk = std::min<std::size_t>(row_bytes - fed, UINT_MAX);
        const int mode = fed + in_chunk == row_bytes ? flush : Z_NO_FLUSH;
        if (out.size() - produced < 65536) out.resize(produced + 65536 + out.size() / 4);
        const std::size_t out_chunk = std::min<std::size_t>(out.size() - produced, UINT_MAX);
        z_.next_in = row_.data() + fed;
        z_.avail_in = static_cast<uInt>(in_chunk);
        z_.next_out = out.data() + produced;
        z_.avail_out = static_cast<uInt>(out_chunk);
        const int rc = deflate(&z_, mode);
        const std::size_t consumed = in_chunk - z_.avail_in;
        const std::size_t emitted = out_chunk - z_.avail_out;
        fed += consumed;
        produced += emitted;
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && !(rc == Z_BUF_ERROR && (consumed | emitted) != 0)) {
          return zlib_error();
        }
        if (mode == Z_NO_FLUSH && fed == row_bytes && flush == Z_NO_FLUSH) break;
      }
    }
    out.resize(produced);
    return {};
  }

 private:
  StitchError zlib_error() const {
    std::string text = "zlib deflate failed";
    if (z_.msg != nullptr) text += std::string(": ") + z_.msg;
    return StitchError::io(std::move(text));
  }

  z_stream z_{};
  bool ready_ = false;
  std::vector<std::uint8_t> row_;
};

struct StripTable {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> byte_counts;
};

// Records a strip placed at the file's end and appends its bytes.
Status append_strip(TiffFile& file, std::span<const std::uint8_t> bytes, StripTable& table) {
  if (file.position() >= kClassicLimit) return limit_error();
  if (bytes.size() >= kClassicLimit) return strip_size_error();
  table.offsets.push_back(static_cast<std::uint32_t>(file.position()));
  table.byte_counts.push_back(static_cast<std::uint32_t>(bytes.size()));
  return file.write(bytes);
}

std::uint32_t strip_count(std::uint32_t height) {
  return static_cast<std::uint32_t>((std::uint64_t{height} + kTiffRowsPerStrip - 1) /
                                    kTiffRowsPerStrip);
}

Status write_tiff_strips_sequential(TiffFile& file, std::uint32_t width, std::uint32_t height,
                                    const std::uint16_t* samples, StripTable& table) {
  StripDeflater deflater;
  std::vector<std::uint8_t> out;
  const std::uint32_t strips = strip_count(height);
  for (std::uint32_t k = 0; k < strips; ++k) {
    const std::uint32_t row0 = k * kTiffRowsPerStrip;
    const std::uint32_t row1 = std::min(height, row0 + kTiffRowsPerStrip);
    if (Status s = deflater.compress_strip(samples, width, row0, row1, out); !s) return s;
    if (Status s = append_strip(file, out, table); !s) return s;
  }
  return {};
}

// Strips are independent zlib streams, so several compress at once while a
// single in-order stage appends them; the token limit bounds the strips held.
Status write_tiff_strips_parallel(TiffFile& file, std::uint32_t width, std::uint32_t height,
                                  const std::uint16_t* samples, StripTable& table) {
  struct Job {
    std::uint32_t index = 0;
    std::vector<std::uint8_t> bytes;
    Status status;
  };
  const std::uint32_t strips = strip_count(height);
  const int threads = std::max(1, tbb::this_task_arena::max_concurrency());
  const std::size_t tokens = static_cast<std::size_t>(threads) * 2;
  tbb::enumerable_thread_specific<StripDeflater> deflaters;
  std::uint32_t next = 0;
  bool failed = false;
  Status result;

  tbb::parallel_pipeline(
      tokens,
      tbb::make_filter<void, Job*>(
          tbb::filter_mode::serial_in_order,
          [&](tbb::flow_control& fc) -> Job* {
            if (failed || next >= strips) {
              fc.stop();
              return nullptr;
            }
            Job* job = new Job;
            job->index = next++;
            return job;
          }) &
          tbb::make_filter<Job*, Job*>(
              tbb::filter_mode::parallel,
              [&](Job* job) -> Job* {
                const std::uint32_t row0 = job->index * kTiffRowsPerStrip;
                const std::uint32_t row1 = std::min(height, row0 + kTiffRowsPerStrip);
                try {
                  job->status =
                      deflaters.local().compress_strip(samples, width, row0, row1, job->bytes);
                } catch (const std::bad_alloc&) {
                  job->status = StitchError::io_errno(ENOMEM);
                }
                return job;
              }) &
          tbb::make_filter<Job*, void>(tbb::filter_mode::serial_in_order, [&](Job* job) {
            if (!failed) {
              Status s = job->status;
              if (s) s = append_strip(file, job->bytes, table);
              if (!s) {
                failed = true;
                result = std::move(s);
              }
            }
            delete job;
          }));
  return result;
}

Status write_dng_strips(TiffFile& file, std::uint32_t width, std::uint32_t height,
                        const std::uint16_t* samples, StripTable& table) {
  const std::uint32_t strips = strip_count(height);
  const std::size_t row_samples = std::size_t{width} * 3;
  std::vector<std::uint8_t> swapped;
  for (std::uint32_t k = 0; k < strips; ++k) {
    const std::uint32_t row0 = k * kTiffRowsPerStrip;
    const std::uint32_t row1 = std::min(height, row0 + kTiffRowsPerStrip);
    const std::uint16_t* first = samples + std::size_t{row0} * row_samples;
    const std::size_t count = std::size_t{row1 - row0} * row_samples;
    std::span<const std::uint8_t> bytes;
    if constexpr (std::endian::native == std::endian::little) {
      bytes = {reinterpret_cast<const std::uint8_t*>(first), count * 2};
    } else {
      swapped.resize(count * 2);
      for (std::size_t i = 0; i < count; ++i) put_u16(swapped.data() + 2 * i, first[i]);
      bytes = swapped;
    }
    if (Status s = append_strip(file, bytes, table); !s) return s;
  }
  return {};
}

std::vector<TiffEntry> common_entries(std::uint32_t width, std::uint32_t height, bool dng,
                                      const StripTable& strips) {
  const std::array<std::uint16_t, 3> bits = {16, 16, 16};
  const std::array<std::uint16_t, 3> format = {1, 1, 1};
  const std::array<std::int32_t, 2> dpi = {72, 1};
  std::vector<TiffEntry> e;
  e.push_back(tiff_longs(254, std::array<std::uint32_t, 1>{0}));
  e.push_back(tiff_longs(256, std::array<std::uint32_t, 1>{width}));
  e.push_back(tiff_longs(257, std::array<std::uint32_t, 1>{height}));
  e.push_back(tiff_shorts(258, bits));
  e.push_back(tiff_shorts(259, std::array<std::uint16_t, 1>{std::uint16_t(dng ? 1 : 8)}));
  e.push_back(
      tiff_shorts(262, std::array<std::uint16_t, 1>{std::uint16_t(dng ? 34892 : 2)}));
  e.push_back(tiff_longs(273, strips.offsets));
  e.push_back(tiff_shorts(274, std::array<std::uint16_t, 1>{1}));
  e.push_back(tiff_shorts(277, std::array<std::uint16_t, 1>{3}));
  e.push_back(tiff_longs(278, std::array<std::uint32_t, 1>{kTiffRowsPerStrip}));
  e.push_back(tiff_longs(279, strips.byte_counts));
  e.push_back(tiff_rationals(282, TiffType::Rational, dpi));
  e.push_back(tiff_rationals(283, TiffType::Rational, dpi));
  e.push_back(tiff_shorts(284, std::array<std::uint16_t, 1>{1}));
  e.push_back(tiff_shorts(296, std::array<std::uint16_t, 1>{2}));
  e.push_back(tiff_ascii(305, kSoftware));
  e.push_back(tiff_shorts(339, format));
  return e;
}

std::vector<TiffEntry> dng_entries(std::uint32_t width, std::uint32_t height,
                                   std::uint32_t preview_ifd) {
  const std::array<std::uint8_t, 4> version = {1, 4, 0, 0};
  const std::array<std::int32_t, 18> color_matrix = {
      3133856, 1000000, -1616867, 1000000, -490615, 1000000,
      -978768, 1000000, 1916142,  1000000, 33454,   1000000,
      71945,   1000000, -228991,  1000000, 1405243, 1000000};
  const std::array<std::int32_t, 6> neutral = {1, 1, 1, 1, 1, 1};
  std::vector<TiffEntry> e;
  e.push_back(tiff_longs(330, std::array<std::uint32_t, 1>{preview_ifd}));
  e.push_back(tiff_bytes(50706, TiffType::Byte, version));
  e.push_back(tiff_bytes(50707, TiffType::Byte, version));
  e.push_back(tiff_ascii(50708, kUniqueCameraModel));
  e.push_back(tiff_shorts(50714, std::array<std::uint16_t, 3>{0, 0, 0}));
  e.push_back(tiff_longs(50717, std::array<std::uint32_t, 3>{65535, 65535, 65535}));
  e.push_back(tiff_longs(50719, std::array<std::uint32_t, 2>{0, 0}));
  e.push_back(tiff_longs(50720, std::array<std::uint32_t, 2>{width, height}));
  e.push_back(tiff_rationals(50721, TiffType::SRational, color_matrix));
  e.push_back(tiff_rationals(50728, TiffType::Rational, neutral));
  e.push_back(tiff_shorts(50778, std::array<std::uint16_t, 1>{23}));
  return e;
}

// Appends the preview pixels and its directory; returns the directory offset.
Result<std::uint32_t> write_preview(TiffFile& file, std::uint32_t width, std::uint32_t height,
                                    std::span<const std::uint16_t> samples) {
  const TiffPreview preview = encode_preview(width, height, samples);
  Result<std::uint32_t> offset = file.position_u32();
  if (!offset) return offset;
  if (preview.rgb.size() >= kClassicLimit) return strip_size_error();
  if (Status s = file.write(preview.rgb); !s) return s.error();

  const std::array<std::uint16_t, 3> bits = {8, 8, 8};
  const std::array<std::int32_t, 2> dpi = {72, 1};
  std::vector<TiffEntry> e;
  e.push_back(tiff_longs(254, std::array<std::uint32_t, 1>{1}));
  e.push_back(tiff_longs(256, std::array<std::uint32_t, 1>{preview.width}));
  e.push_back(tiff_longs(257, std::array<std::uint32_t, 1>{preview.height}));
  e.push_back(tiff_shorts(258, bits));
  e.push_back(tiff_shorts(259, std::array<std::uint16_t, 1>{1}));
  e.push_back(tiff_shorts(262, std::array<std::uint16_t, 1>{2}));
  e.push_back(tiff_longs(273, std::array<std::uint32_t, 1>{*offset}));
  e.push_back(tiff_shorts(274, std::array<std::uint16_t, 1>{1}));
  e.push_back(tiff_shorts(277, std::array<std::uint16_t, 1>{3}));
  e.push_back(tiff_longs(278, std::array<std::uint32_t, 1>{preview.height}));
  e.push_back(tiff_longs(
      279, std::array<std::uint32_t, 1>{static_cast<std::uint32_t>(preview.rgb.size())}));
  e.push_back(tiff_rationals(282, TiffType::Rational, dpi));
  e.push_back(tiff_rationals(283, TiffType::Rational, dpi));
  e.push_back(tiff_shorts(284, std::array<std::uint16_t, 1>{1}));
  e.push_back(tiff_shorts(296, std::array<std::uint16_t, 1>{2}));
  e.push_back(tiff_ascii(305, kSoftware));
  return write_ifd(file, std::move(e));
}

Status write_container_impl(const std::filesystem::path& path, std::uint32_t width,
                            std::uint32_t height, std::span<const std::uint16_t> samples,
                            std::optional<std::string_view> xmp, bool dng,
                            StripCompression mode) {
  std::size_t expected = 0;
  if (!rgb_sample_count(width, height, expected) || samples.size() != expected) {
    return StitchError::export_failed("Invalid RGB16 buffer length");
  }
  Result<TiffFile> opened = TiffFile::create(path);
  if (!opened) return opened.error();
  TiffFile& file = *opened;

  std::array<std::uint8_t, 8> header = {'I', 'I', 42, 0, 0, 0, 0, 0};
  if (Status s = file.write(header); !s) return s;

  StripTable strips;
  strips.offsets.reserve(strip_count(height));
  strips.byte_counts.reserve(strip_count(height));
  Status written;
  if (dng) {
    written = write_dng_strips(file, width, height, samples.data(), strips);
  } else if (mode == StripCompression::Sequential) {
    written = write_tiff_strips_sequential(file, width, height, samples.data(), strips);
  } else {
    written = write_tiff_strips_parallel(file, width, height, samples.data(), strips);
  }
  if (!written) return written;

  std::uint32_t preview_ifd = 0;
  if (dng) {
    Result<std::uint32_t> ifd = write_preview(file, width, height, samples);
    if (!ifd) return ifd.error();
    preview_ifd = *ifd;
  }

  std::vector<TiffEntry> entries = common_entries(width, height, dng, strips);
  // The strip tables are copied into their entries; release them early.
  strips = StripTable{};
  if (dng) {
    std::vector<TiffEntry> extra = dng_entries(width, height, preview_ifd);
    std::move(extra.begin(), extra.end(), std::back_inserter(entries));
  } else {
    entries.push_back(tiff_shorts(317, std::array<std::uint16_t, 1>{1}));
    entries.push_back(tiff_bytes(34675, TiffType::Undefined, prophoto_icc_profile()));
  }
  if (xmp) {
    entries.push_back(tiff_bytes(
        700, TiffType::Byte,
        {reinterpret_cast<const std::uint8_t*>(xmp->data()), xmp->size()}));
  }
  Result<std::uint32_t> ifd0 = write_ifd(file, std::move(entries));
  if (!ifd0) return ifd0.error();
  if (Status s = file.patch_u32(4, *ifd0); !s) return s;
  return file.close();
}

}  // namespace

// ---- entries ----------------------------------------------------------------

TiffEntry tiff_ascii(std::uint16_t tag, std::string_view text) {
  TiffEntry e{tag, TiffType::Ascii, static_cast<std::uint32_t>(text.size() + 1), {}};
  e.bytes.assign(text.begin(), text.end());
  e.bytes.push_back(0);
  return e;
}

TiffEntry tiff_shorts(std::uint16_t tag, std::span<const std::uint16_t> values) {
  TiffEntry e{tag, TiffType::Short, static_cast<std::uint32_t>(values.size()), {}};
  e.bytes.resize(values.size() * 2);
  for (std::size_t i = 0; i < values.size(); ++i) put_u16(e.bytes.data() + 2 * i, values[i]);
  return e;
}

TiffEntry tiff_longs(std::uint16_t tag, std::span<const std::uint32_t> values) {
  TiffEntry e{tag, TiffType::Long, static_cast<std::uint32_t>(values.size()), {}};
  e.bytes.resize(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) put_u32(e.bytes.data() + 4 * i, values[i]);
  return e;
}

TiffEntry tiff_rationals(std::uint16_t tag, TiffType type, std::span<const std::int32_t> pairs) {
  TiffEntry e{tag, type, static_cast<std::uint32_t>(pairs.size() / 2), {}};
  e.bytes.resize(pairs.size() / 2 * 8);
  for (std::size_t i = 0; i < e.bytes.size() / 4; ++i) {
    put_u32(e.bytes.data() + 4 * i, static_cast<std::uint32_t>(pairs[i]));
  }
  return e;
}

TiffEntry tiff_bytes(std::uint16_t tag, TiffType type, std::span<const std::uint8_t> bytes) {
  return TiffEntry{tag, type, static_cast<std::uint32_t>(bytes.size()),
                   std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

// ---- file -------------------------------------------------------------------

Result<TiffFile> TiffFile::create(const std::filesystem::path& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return StitchError::io_errno(errno);
  return TiffFile(fd);
}

TiffFile::TiffFile(TiffFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), position_(other.position_) {}

TiffFile& TiffFile::operator=(TiffFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    position_ = other.position_;
  }
  return *this;
}

TiffFile::~TiffFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status TiffFile::write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) return StitchError::io_errno(EBADF);
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Linux moves at most about 2 GiB per call; the loop takes care of the rest.
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return StitchError::io_errno(errno);
    }
    if (n == 0) return StitchError::io("write accepted zero bytes");
    done += static_cast<std::size_t>(n);
  }
  position_ += bytes.size();
  return {};
}

Status TiffFile::pad_to_even() {
  if (position_ % 2 == 0) return {};
  const std::array<std::uint8_t, 1> zero = {0};
  return write(zero);
}

Result<std::uint32_t> TiffFile::position_u32() const {
  if (position_ >= kClassicLimit) return limit_error();
  return static_cast<std::uint32_t>(position_);
}

Status TiffFile::patch_u32(std::uint64_t offset, std::uint32_t value) {
  if (fd_ < 0) return StitchError::io_errno(EBADF);
  std::array<std::uint8_t, 4> bytes{};
  put_u32(bytes.data(), value);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return StitchError::io_errno(errno);
    }
    if (n == 0) return StitchError::io("write accepted zero bytes");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Status TiffFile::close() {
  if (fd_ < 0) return {};
  const int fd = std::exchange(fd_, -1);
  // The descriptor is released even when close reports an error; retrying
  // after EINTR could close a descriptor another thread just opened.
  if (::close(fd) != 0 && errno != EINTR) return StitchError::io_errno(errno);
  return {};
}

// ---- directory ----------------------------------------------------------------

Result<std::uint32_t> write_ifd(TiffFile& file, std::vector<TiffEntry> entries) {
  if (entries.size() >= 65536) {
    return StitchError::export_failed("Too many TIFF directory entries");
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });

  std::vector<std::uint32_t> value_offsets(entries.size(), 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].bytes.size() <= 4) continue;
    if (Status s = file.pad_to_even(); !s) return s.error();
    Result<std::uint32_t> at = file.position_u32();
    if (!at) return at;
    value_offsets[i] = *at;
    if (Status s = file.write(entries[i].bytes); !s) return s.error();
  }
  if (Status s = file.pad_to_even(); !s) return s.error();
  Result<std::uint32_t> dir = file.position_u32();
  if (!dir) return dir;

  std::vector<std::uint8_t> block(2 + entries.size() * 12 + 4, 0);
  put_u16(block.data(), static_cast<std::uint16_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::uint8_t* p = block.data() + 2 + 12 * i;
    put_u16(p, entries[i].tag);
    put_u16(p + 2, static_cast<std::uint16_t>(entries[i].type));
    put_u32(p + 4, entries[i].count);
    if (entries[i].bytes.size() > 4) {
      put_u32(p + 8, value_offsets[i]);
    } else {
      std::copy(entries[i].bytes.begin(), entries[i].bytes.end(), p + 8);
    }
  }
  // The next-IFD offset stays 0: the block was zero-filled.
  if (Status s = file.write(block); !s) return s.error();
  return dir;
}

// ---- pixels -------------------------------------------------------------------

void prophoto_encode_pixel(const std::uint16_t in[3], std::uint16_t out[3]) {
  const float r = static_cast<float>(in[0]) / 65535.0f;
  const float g = static_cast<float>(in[1]) / 65535.0f;
  const float b = static_cast<float>(in[2]) / 65535.0f;
  // Linear sRGB primaries to D50-adapted XYZ, then XYZ to ROMM primaries.
  const float x = 0.4360747f * r + 0.3850649f * g + 0.1430804f * b;
  const float y = 0.2225045f * r + 0.7168786f * g + 0.0606169f * b;
  const float z = 0.0139322f * r + 0.0971045f * g + 0.7141733f * b;
  const float lin[3] = {
      1.3459433f * x + -0.2556075f * y + -0.0511118f * z,
      -0.5445989f * x + 1.5081673f * y + 0.0205351f * z,
      0.0f * x + 0.0f * y + 1.2118129f * z,
  };
  for (int c = 0; c < 3; ++c) {
    const float e = std::pow(clamp01(lin[c]), 0.5555556f);
    out[c] = to_u16(e * 65535.0f, 65535.0f);
  }
}

TiffPreview encode_preview(std::uint32_t width, std::uint32_t height,
                           std::span<const std::uint16_t> samples) {
  TiffPreview p;
  std::size_t needed = 0;
  if (width == 0 || height == 0 || !rgb_sample_count(width, height, needed) ||
      samples.size() < needed) {
    return p;
  }
  p.width = std::min(width, kPreviewMaxWidth);
  const std::uint64_t ph = std::uint64_t{p.width} * height / width;
  p.height = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, ph));

  // Nearest-neighbour: precompute the source column of every preview column,
  // and a 16-bit-to-8-bit sRGB table instead of one power per sample.
  std::vector<std::uint32_t> columns(p.width);
  for (std::uint32_t j = 0; j < p.width; ++j) {
    const std::uint64_t sx = std::uint64_t{j} * width / p.width;
    columns[j] = static_cast<std::uint32_t>(std::min<std::uint64_t>(width - 1, sx));
  }
  std::vector<std::uint8_t> lut(65536);
  for (std::uint32_t s = 0; s < 65536; ++s) {
    const float v = static_cast<float>(s) / 65535.0f;
    lut[s] = static_cast<std::uint8_t>(to_u16(srgb_encode(v) * 255.0f, 255.0f));
  }

  p.rgb.resize(std::size_t{p.width} * p.height * 3);
  std::uint8_t* out = p.rgb.data();
  for (std::uint32_t i = 0; i < p.height; ++i) {
    const std::uint64_t sy64 = std::uint64_t{height} * i / p.height;
    const std::uint32_t sy = static_cast<std::uint32_t>(std::min<std::uint64_t>(height - 1, sy64));
    const std::uint16_t* row = samples.data() + std::size_t{sy} * width * 3;
    for (std::uint32_t j = 0; j < p.width; ++j) {
      const std::uint16_t* px = row + std::size_t{columns[j]} * 3;
      *out++ = lut[px[0]];
      *out++ = lut[px[1]];
      *out++ = lut[px[2]];
    }
  }
  return p;
}

Status write_container(const std::filesystem::path& path, std::uint32_t width,
                       std::uint32_t height, std::span<const std::uint16_t> samples,
                       std::optional<std::string_view> xmp, bool dng, StripCompression mode) {
  try {
    return write_container_impl(path, width, height, samples, xmp, dng, mode);
  } catch (const std::bad_alloc&) {
    return StitchError::io_errno(ENOMEM);
  } catch (const std::exception& e) {
    return StitchError::io(e.what());
  }
}

}  // namespace stitch
