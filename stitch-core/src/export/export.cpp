// The export writer's driver (destination, free space, temporary file,
// dispatch, commit), the JPEG writer and the crash-safe file writer.
#include "export/export.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "export/tiff/tiff.hpp"
#include "metadata/metadata.hpp"

namespace stitch {
namespace {

namespace fs = std::filesystem;

StitchError io_from(const std::error_code& ec) {
  return StitchError::io(ec.message() + " (os error " + std::to_string(ec.value()) + ")");
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return UINT64_MAX;
  return r;
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // truncated sequence
    for (std::size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

// The directory part of the destination; "." for a bare file name.
fs::path destination_directory(const fs::path& destination) {
  fs::path dir = destination.parent_path();
  if (dir.empty()) dir = ".";
  return dir;
}

// Retries interrupted and partial writes until everything is written.
Status write_all(int fd, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    // Linux writes at most about 2 GiB per call; keep each call below that.
    const std::size_t chunk = left < (std::size_t{1} << 30) ? left : (std::size_t{1} << 30);
    const ssize_t n = ::write(fd, p, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return StitchError::io_errno(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

// Creates or truncates `path` and writes `bytes` (mode 0666 before the umask).
// With `sync` the data reaches stable storage before the file is closed.
Status write_whole_file(const fs::path& path, std::span<const std::uint8_t> bytes, bool sync) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return StitchError::io_errno(errno);
  Status st = write_all(fd, bytes);
  if (st && sync && ::fsync(fd) != 0) st = StitchError::io_errno(errno);
  if (::close(fd) != 0 && st) st = StitchError::io_errno(errno);
  return st;
}

// Flushes a finished file's data to stable storage.
Status fsync_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StitchError::io_errno(errno);
  Status st;
  if (::fsync(fd) != 0) st = StitchError::io_errno(errno);
  ::close(fd);
  return st;
}

// Makes a rename in `dir` durable. Best effort: the rename has already
// happened, and some file systems refuse fsync on directories.
void fsync_directory(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

void remove_quietly(const fs::path& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// Removes whatever is at `path` (a leftover from an interrupted run).
Status remove_stale(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return {};
    return io_from(ec);
  }
  if (!fs::exists(st)) return {};
  fs::remove(path, ec);
  if (ec) return io_from(ec);
  return {};
}

struct TjHandle {
  tjhandle h = nullptr;
  ~TjHandle() {
    if (h != nullptr) tjDestroy(h);
  }
};

struct TjBuffer {
  unsigned char* data = nullptr;
  unsigned long size = 0;
  ~TjBuffer() {
    if (data != nullptr) tjFree(data);
  }
  std::span<const std::uint8_t> bytes() const { return {data, static_cast<std::size_t>(size)}; }
};

int clamp_quality(int quality) { return quality < 1 ? 1 : (quality > 100 ? 100 : quality); }

// Encodes into `out` (TurboJPEG's own buffer, so the stream is never copied
// when no packet is injected).
Status encode_jpeg_into(TjBuffer& out, std::uint32_t width, std::uint32_t height,
                        std::span<const std::uint8_t> samples, int quality) {
  const std::uint64_t expected = static_cast<std::uint64_t>(width) * height * 3;
  if (samples.size() != expected) {
    return StitchError::export_failed("Invalid RGB8 buffer length");
  }
  if (width > static_cast<std::uint32_t>(INT_MAX / 3) || height > static_cast<std::uint32_t>(INT_MAX)) {
    return StitchError::export_failed("Image dimensions are too large for JPEG");
  }
  quality = clamp_quality(quality);
  TjHandle handle;
  handle.h = tjInitCompress();
  if (handle.h == nullptr) return StitchError::export_failed(tjGetErrorStr2(nullptr));
  // Baseline sequential with the default Huffman tables and no restart
  // markers: TurboJPEG's defaults when no progressive/optimise flag is given.
  const int subsamp = quality < 90 ? TJSAMP_420 : TJSAMP_444;
  const int rc = tjCompress2(handle.h, samples.data(), static_cast<int>(width), 0,
                             static_cast<int>(height), TJPF_RGB, &out.data, &out.size, subsamp,
                             quality, TJFLAG_ACCURATEDCT);
  if (rc != 0) return StitchError::export_failed(tjGetErrorStr2(handle.h));
  return {};
}

Status write_with_format(const RenderedPixels& pixels, const fs::path& temporary,
                         std::uint32_t width, std::uint32_t height, const ExportRequest& request,
                         const std::optional<std::string>& packet) {
  std::optional<std::string_view> xmp;
  if (packet) xmp = *packet;
  const auto* rgb8 = std::get_if<RenderedPixels::Rgb8>(&pixels.data);
  const auto* rgb16 = std::get_if<RenderedPixels::Rgb16>(&pixels.data);
  switch (request.format) {
    case OutputFormat::Jpg:
      return write_jpeg(temporary, width, height, rgb8->samples, request.jpegQuality, xmp);
    case OutputFormat::Png:
      return write_png(temporary, width, height, rgb16->samples, xmp);
    case OutputFormat::Tiff:
      return write_container(temporary, width, height, rgb16->samples, xmp, false);
    case OutputFormat::Dng:
      return write_container(temporary, width, height, rgb16->samples, xmp, true);
  }
  return StitchError::export_failed("Unknown output format");
}

}  // namespace

std::optional<std::uint64_t> statvfs_free_space(const fs::path& dir) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return std::nullopt;
  return saturating_mul(static_cast<std::uint64_t>(st.f_bavail),
                        static_cast<std::uint64_t>(st.f_frsize));
}

std::uint64_t estimated_output_bytes(OutputFormat format, std::uint32_t width,
                                     std::uint32_t height) {
  const std::uint64_t per_pixel = format == OutputFormat::Jpg ? 3 : 6;
  return saturating_mul(saturating_mul(width, height), per_pixel);
}

fs::path temporary_path_for(const fs::path& destination) {
  const fs::path name = destination.filename();
  std::string text = name.native();
  if (text.empty() || text == "." || text == ".." || !valid_utf8(text)) text = "panorama";
  return destination_directory(destination) / ("." + text + ".part");
}

Status export_panorama(const RenderedPixels& pixels, std::uint32_t width, std::uint32_t height,
                       const ExportRequest& request, const std::vector<std::string>& sources,
                       const StitchSettings& settings, const RenderProfileParams& baseline,
                       const ExportOptions& options) {
  const fs::path destination(request.destination);
  const fs::path dir = destination_directory(destination);

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return io_from(ec);

  // Before any conversion or encoding, so a full disk fails at once.
  const std::optional<std::uint64_t> available =
      options.free_space ? options.free_space(dir) : statvfs_free_space(dir);
  const std::uint64_t estimate = estimated_output_bytes(request.format, width, height);
  std::uint64_t required = 0;
  if (__builtin_add_overflow(estimate, kFreeSpaceMargin, &required)) required = UINT64_MAX;
  if (available && *available < required) {
    const std::uint64_t mib = estimate / 1048576 + (estimate % 1048576 != 0 ? 1 : 0);
    return StitchError::insufficient_disk(mib);
  }

  const fs::path temporary = temporary_path_for(destination);
  if (Status st = remove_stale(temporary); !st) return st;

  std::optional<std::string> packet;
  if (request.embedMetadata) packet = panorama_xmp(width, height, sources, settings, baseline);

  const bool wants8 = request.format == OutputFormat::Jpg;
  const bool has8 = std::holds_alternative<RenderedPixels::Rgb8>(pixels.data);
  if (wants8 != has8) {
    return StitchError::export_failed(
        "Rendered pixel precision does not match the requested output format");
  }

  Status written = write_with_format(pixels, temporary, width, height, request, packet);
  // The data must be on stable storage before the rename makes it visible,
  // or a power cut could leave an empty file under the final name.
  if (written) written = fsync_file(temporary);
  if (!written) {
    remove_quietly(temporary);
    return written;
  }

  if (options.before_commit) options.before_commit(temporary, destination);

  // rename() replaces an existing destination atomically: at every instant
  // the name holds either the old file or the complete new one.
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    return StitchError::io_errno(errno);  // the complete temporary file stays
  }
  fsync_directory(dir);
  return {};
}

Result<std::vector<std::uint8_t>> encode_jpeg(std::uint32_t width, std::uint32_t height,
                                              std::span<const std::uint8_t> samples, int quality,
                                              std::optional<std::string_view> xmp) {
  TjBuffer buf;
  if (Status st = encode_jpeg_into(buf, width, height, samples, quality); !st) {
    return Err(std::move(st).error());
  }
  if (xmp) return inject_xmp_into_jpeg(buf.bytes(), *xmp);
  const auto bytes = buf.bytes();
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

Status write_jpeg(const fs::path& path, std::uint32_t width, std::uint32_t height,
                  std::span<const std::uint8_t> samples, int quality,
                  std::optional<std::string_view> xmp) {
  TjBuffer buf;
  if (Status st = encode_jpeg_into(buf, width, height, samples, quality); !st) return st;
  if (!xmp) return write_whole_file(path, buf.bytes(), false);
  Result<std::vector<std::uint8_t>> stream = inject_xmp_into_jpeg(buf.bytes(), *xmp);
  if (!stream) return std::move(stream).error();
  return write_whole_file(path, *stream, false);
}

Status write_jpeg_safely(const fs::path& path, std::uint32_t width, std::uint32_t height,
                         std::span<const std::uint8_t> samples, int quality) {
  TjBuffer buf;
  if (Status st = encode_jpeg_into(buf, width, height, samples, quality); !st) return st;
  return write_file_safely(path, buf.bytes());
}

Status write_file_safely(const fs::path& destination, std::span<const std::uint8_t> bytes) {
  const fs::path temporary = temporary_path_for(destination);
  if (Status st = remove_stale(temporary); !st) return st;
  if (Status st = write_whole_file(temporary, bytes, true); !st) {
    remove_quietly(temporary);
    return st;
  }
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    const int err = errno;
    // Unlike an export, the content is cheap to make again: leave no clutter.
    remove_quietly(temporary);
    return StitchError::io_errno(err);
  }
  fsync_directory(destination_directory(destination));
  return {};
}

}  // namespace stitch
