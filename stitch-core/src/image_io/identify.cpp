// What a source file is, from its name and header alone.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "image_io/image_io.hpp"
#include "native/pano_native.h"

namespace stitch {

namespace {

// The last normal component of the path, as text; "." components and
// trailing separators are skipped, and a final ".." (or a bare root) has
// no file name.
std::optional<std::string> file_name_bytes(const std::filesystem::path& path) {
  const std::string& s = path.native();
  std::optional<std::string> last;
  std::size_t i = 0;
  while (i <= s.size()) {
    std::size_t j = s.find('/', i);
    if (j == std::string::npos) j = s.size();
    const std::string_view part(s.data() + i, j - i);
    if (!part.empty() && part != ".") last = std::string(part);
    i = j + 1;
  }
  if (!last || *last == "..") return std::nullopt;
  return last;
}

bool valid_utf8(std::string_view s) { return utf8_lossy(s) == s; }

std::string ascii_lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool has_marker(std::string_view name, std::string_view marker) {
  const std::string dot = std::string(marker) + ".";
  const std::string under = std::string(marker) + "_";
  return name.find(dot) != std::string_view::npos || name.find(under) != std::string_view::npos ||
         ends_with(name, marker);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Sequential byte reader that tells a read error (an I/O fault) from the
// end of the data (a truncated header).
class HeaderReader {
 public:
  explicit HeaderReader(std::FILE* f) : f_(f) {}
  // Next byte, or -1 at the end or on error.
  int get() { return std::fgetc(f_); }
  bool failed() const { return std::ferror(f_) != 0; }
  bool read(unsigned char* out, std::size_t n) { return std::fread(out, 1, n, f_) == n; }
  bool skip(long n) { return std::fseek(f_, n, SEEK_CUR) == 0; }

 private:
  std::FILE* f_;
};

struct Dimensions {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

StitchError header_error(HeaderReader& r, int saved_errno, const char* what) {
  if (r.failed()) return StitchError::io_errno(saved_errno);
  return StitchError::image(what);
}

Result<Dimensions> png_dimensions(HeaderReader& r) {
  unsigned char ihdr[16];
  if (!r.read(ihdr, sizeof ihdr)) return header_error(r, errno, "The PNG header is truncated");
  if (std::memcmp(ihdr + 4, "IHDR", 4) != 0)
    return StitchError::image("The PNG file does not start with an IHDR chunk");
  const auto be32 = [](const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  };
  Dimensions d{be32(ihdr + 8), be32(ihdr + 12)};
  if (d.width == 0 || d.height == 0 || d.width > 0x7FFFFFFF || d.height > 0x7FFFFFFF)
    return StitchError::image("The PNG header declares invalid dimensions");
  return d;
}

// Walks the marker segments up to the first frame header (SOFn).
Result<Dimensions> jpeg_dimensions(HeaderReader& r) {
  for (;;) {
    int c = r.get();
    while (c != 0xFF && c != EOF) c = r.get();
    while (c == 0xFF) c = r.get();
    if (c == EOF) return header_error(r, errno, "The JPEG header ends before its frame header");
    const int marker = c;
    if (marker == 0xD9 || marker == 0xDA)
      return StitchError::image("The JPEG file has no frame header before its image data");
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0xD8) continue;
    unsigned char len_bytes[2];
    if (!r.read(len_bytes, 2)) return header_error(r, errno, "The JPEG header is truncated");
    const int length = (len_bytes[0] << 8) | len_bytes[1];
    if (length < 2) return StitchError::image("The JPEG header holds an invalid segment length");
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                       marker != 0xCC;
    if (!frame) {
      if (!r.skip(length - 2)) return header_error(r, errno, "The JPEG header is truncated");
      continue;
    }
    unsigned char sof[5];
    if (length < 2 + 6 || !r.read(sof, sizeof sof))
      return header_error(r, errno, "The JPEG frame header is truncated");
    Dimensions d{static_cast<std::uint32_t>((sof[3] << 8) | sof[4]),
                 static_cast<std::uint32_t>((sof[1] << 8) | sof[2])};
    if (d.width == 0 || d.height == 0)
      return StitchError::image("The JPEG frame header declares a zero dimension");
    return d;
  }
}

Result<SourceInfo> inspect_dng(const std::filesystem::path& path) {
  Result<std::string> native = path_cstring(path);
  if (!native) return std::move(native).error();
  PanoRawInfo info{};
  info.baseline_exposure = std::nanf("");
  char error[512] = {};
  if (pano_raw_inspect(native->c_str(), &info, error, sizeof error) != 0)
    return StitchError::dng_decode(utf8_lossy(std::string_view(error, std::strlen(error))));
  SourceInfo s;
  s.path = path_text(path);
  s.role = detect_role(path);
  s.format = SourceFormat::Dng;
  s.width = info.width;
  s.height = info.height;
  s.bitDepth = info.bits;
  s.camera = camera_string(info.camera);
  s.rawCapable = true;
  if (std::isfinite(info.iso) && info.iso > 0.0f) s.iso = info.iso;
  if (std::isfinite(info.baseline_exposure))
    s.baselineExposureEv = std::clamp(info.baseline_exposure, -5.0f, 5.0f);
  return s;
}

Result<SourceInfo> inspect_jpeg(const std::filesystem::path& path) {
  errno = 0;
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return StitchError::io_errno(errno);
  HeaderReader r(f.get());
  unsigned char sig[8];
  const std::size_t got = std::fread(sig, 1, sizeof sig, f.get());
  if (r.failed()) return StitchError::io_errno(errno);
  static constexpr unsigned char kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Result<Dimensions> dims = StitchError::image("The image format could not be determined");
  if (got == 8 && std::memcmp(sig, kPng, 8) == 0) {
    dims = png_dimensions(r);
  } else if (got >= 3 && sig[0] == 0xFF && sig[1] == 0xD8 && sig[2] == 0xFF) {
    // Resume right after the start-of-image marker.
    if (std::fseek(f.get(), 2, SEEK_SET) != 0) return StitchError::io_errno(errno);
    dims = jpeg_dimensions(r);
  }
  if (!dims) return std::move(dims).error();
  SourceInfo s;
  s.path = path_text(path);
  s.role = detect_role(path);
  s.format = SourceFormat::Jpeg;
  s.width = dims->width;
  s.height = dims->height;
  s.bitDepth = 8;
  s.rawCapable = false;
  return s;
}

}  // namespace

FisheyeRole detect_role(const std::filesystem::path& path) {
  std::string name = file_name_bytes(path).value_or(std::string());
  if (!valid_utf8(name)) name.clear();
  name = ascii_lower(std::move(name));
  if (has_marker(name, "_up")) return FisheyeRole::Up;
  if (has_marker(name, "_down")) return FisheyeRole::Down;
  return FisheyeRole::Unknown;
}

Result<SourceFormat> source_format(const std::filesystem::path& path) {
  const std::optional<std::string> name = file_name_bytes(path);
  std::optional<std::string> ext;
  if (name) {
    const std::size_t dot = name->rfind('.');
    if (dot != std::string::npos && dot != 0) ext = name->substr(dot + 1);
  }
  if (ext && valid_utf8(*ext)) {
    const std::string e = ascii_lower(*ext);
    if (e == "jpg" || e == "jpeg") return SourceFormat::Jpeg;
    if (e == "dng") return SourceFormat::Dng;
  }
  return StitchError::unsupported_format(path_text(path));
}

Result<SourceInfo> inspect_source(const std::filesystem::path& path) {
  Result<SourceFormat> format = source_format(path);
  if (!format) return std::move(format).error();
  return *format == SourceFormat::Dng ? inspect_dng(path) : inspect_jpeg(path);
}

}  // namespace stitch
