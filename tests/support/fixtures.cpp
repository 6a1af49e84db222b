#include "fixtures.hpp"

#include <png.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>

namespace stitch::fixtures {

namespace fs = std::filesystem;

// ---- files ------------------------------------------------------------------

Status write_bytes(const fs::path& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return StitchError::io_errno(errno);
  const std::size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
  const int write_errno = errno;
  const bool closed = std::fclose(f) == 0;
  if (written != bytes.size()) return StitchError::io_errno(write_errno);
  if (!closed) return StitchError::io_errno(errno);
  return {};
}

Result<Bytes> read_bytes(const fs::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return StitchError::io_errno(errno);
  Bytes out;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f);
    out.insert(out.end(), chunk, chunk + n);
    if (n < sizeof chunk) break;
  }
  const bool failed = std::ferror(f) != 0;
  const int read_errno = errno;
  std::fclose(f);
  if (failed) return StitchError::io_errno(read_errno);
  return out;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("stitch-test-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(counter++) + "-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path TempDir::file(std::string_view name) const { return path_ / fs::path(std::string(name)); }

// ---- pixels -----------------------------------------------------------------

namespace {

std::uint8_t srgb8(float v) {
  if (!(v > 0.0f)) return 0;  // also NaN
  if (v >= 1.0f) return 255;
  const float e = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::clamp(std::lround(e * 255.0f), 0L, 255L));
}

}  // namespace

std::vector<std::uint8_t> to_srgb8(const LinearImage& image) {
  std::vector<std::uint8_t> out(image.pixels.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = srgb8(image.pixels[i]);
  return out;
}

// ---- XMP --------------------------------------------------------------------

namespace {

std::string signed2(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%+.2f", static_cast<double>(v));
  return buf;
}

constexpr std::string_view kPacketHead =
    "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
    " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
    "  <rdf:Description rdf:about=\"\" xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\"\n"
    "    xmlns:drone-dji=\"http://www.dji.com/drone-dji/1.0/\"\n";
constexpr std::string_view kPacketTail =
    "  </rdf:Description>\n"
    " </rdf:RDF>\n"
    "</x:xmpmeta>\n"
    "<?xpacket end=\"w\"?>";

}  // namespace

std::string xmp_packet(std::string_view description_attributes, std::string_view description_body) {
  std::string s(kPacketHead);
  s += "    ";
  s += description_attributes;
  s += ">\n";
  s += description_body;
  s += kPacketTail;
  return s;
}

std::string dji_xmp(float yaw, float pitch, float roll) {
  std::string attrs = "tiff:Make=\"DJI\"\n";
  attrs += "    drone-dji:AbsoluteAltitude=\"+120.50\"\n";
  attrs += "    drone-dji:GimbalRollDegree=\"" + signed2(roll) + "\"\n";
  attrs += "    drone-dji:GimbalYawDegree=\"" + signed2(yaw) + "\"\n";
  attrs += "    drone-dji:GimbalPitchDegree=\"" + signed2(pitch) + "\"\n";
  attrs += "    drone-dji:FlightRollDegree=\"+1.20\"\n";
  attrs += "    drone-dji:FlightYawDegree=\"" + signed2(yaw) + "\"\n";
  attrs += "    drone-dji:FlightPitchDegree=\"-3.40\"";
  return xmp_packet(attrs);
}

std::string dji_xmp_elements(float yaw, float pitch, float roll) {
  std::string body;
  body += "   <drone-dji:GimbalRollDegree>  " + signed2(roll) + "\n   </drone-dji:GimbalRollDegree>\n";
  body += "   <drone-dji:GimbalYawDegree>\t" + signed2(yaw) + " </drone-dji:GimbalYawDegree>\n";
  body += "   <drone-dji:GimbalPitchDegree> " + signed2(pitch) + "</drone-dji:GimbalPitchDegree>\n";
  return xmp_packet("tiff:Make=\"DJI\"", body);
}

// ---- TIFF structure ------------------------------------------------------------
//
// A tiny TIFF layout engine shared by the DNG, EXIF and bare-TIFF builders.
// Hand-written because libtiff refuses to write the malformed tag shapes the
// tests need and would hide the exact byte layout they check.

namespace {

enum TiffType : std::uint16_t {
  kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndefined = 7, kSRational = 10
};

class Endian {
 public:
  explicit Endian(bool big) : big_(big) {}
  bool big() const { return big_; }
  void put16(Bytes& b, std::uint16_t v) const {
    if (big_) { b.push_back(std::uint8_t(v >> 8)); b.push_back(std::uint8_t(v)); }
    else { b.push_back(std::uint8_t(v)); b.push_back(std::uint8_t(v >> 8)); }
  }
  void put32(Bytes& b, std::uint32_t v) const {
    if (big_) { for (int s = 24; s >= 0; s -= 8) b.push_back(std::uint8_t(v >> s)); }
    else { for (int s = 0; s <= 24; s += 8) b.push_back(std::uint8_t(v >> s)); }
  }
  void set32(Bytes& b, std::size_t at, std::uint32_t v) const {
    Bytes tmp;
    put32(tmp, v);
    std::copy(tmp.begin(), tmp.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
  }

 private:
  bool big_;
};

struct TiffEntry {
  std::uint16_t tag = 0;
  std::uint16_t type = kByte;
  std::uint32_t count = 0;
  Bytes value;  // already in file byte order
  // When set, the value is a LONG offset patched to the start of this blob
  // (a sub-IFD or a data strip) at layout time.
  int blob = -1;
};

struct TiffBlob {
  bool is_ifd = false;
  std::vector<TiffEntry> ifd;  // when is_ifd
  Bytes data;                  // otherwise
};

class TiffBuilder {
 public:
  explicit TiffBuilder(bool big) : e_(big) {}
  const Endian& endian() const { return e_; }

  TiffEntry shorts(std::uint16_t tag, std::initializer_list<std::uint16_t> vs) const {
    TiffEntry t{tag, kShort, static_cast<std::uint32_t>(vs.size()), {}, -1};
    for (auto v : vs) e_.put16(t.value, v);
    return t;
  }
  TiffEntry longs(std::uint16_t tag, std::initializer_list<std::uint32_t> vs) const {
    TiffEntry t{tag, kLong, static_cast<std::uint32_t>(vs.size()), {}, -1};
    for (auto v : vs) e_.put32(t.value, v);
    return t;
  }
  TiffEntry ascii(std::uint16_t tag, std::string_view s) const {
    TiffEntry t{tag, kAscii, static_cast<std::uint32_t>(s.size() + 1), Bytes(s.begin(), s.end()), -1};
    t.value.push_back(0);
    return t;
  }
  TiffEntry bytes(std::uint16_t tag, std::uint16_t type, Bytes data,
                  std::optional<std::uint32_t> count = std::nullopt) const {
    const auto n = static_cast<std::uint32_t>(data.size());
    return TiffEntry{tag, type, count.value_or(n), std::move(data), -1};
  }
  TiffEntry srationals(std::uint16_t tag, const std::vector<double>& vs, std::int32_t den) const {
    TiffEntry t{tag, kSRational, static_cast<std::uint32_t>(vs.size()), {}, -1};
    for (double v : vs) {
      e_.put32(t.value, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * den))));
      e_.put32(t.value, static_cast<std::uint32_t>(den));
    }
    return t;
  }
  TiffEntry rationals(std::uint16_t tag, const std::vector<double>& vs, std::uint32_t den) const {
    TiffEntry t{tag, kRational, static_cast<std::uint32_t>(vs.size()), {}, -1};
    for (double v : vs) {
      e_.put32(t.value, static_cast<std::uint32_t>(std::lround(v * den)));
      e_.put32(t.value, den);
    }
    return t;
  }
  // A LONG pointing at blob `index` (type LONG or IFD-style LONG).
  TiffEntry pointer(std::uint16_t tag, int index) const {
    TiffEntry t{tag, kLong, 1, {0, 0, 0, 0}, index};
    return t;
  }

  int add_ifd_blob(std::vector<TiffEntry> ifd) {
    blobs_.push_back(TiffBlob{true, std::move(ifd), {}});
    return static_cast<int>(blobs_.size() - 1);
  }
  int add_data_blob(Bytes data) {
    blobs_.push_back(TiffBlob{false, {}, std::move(data)});
    return static_cast<int>(blobs_.size() - 1);
  }

  // Header, IFD0 with its out-of-line values, then every blob in order
  // (sub-IFDs with their values, data strips), all word-aligned.
  Bytes build(std::vector<TiffEntry> ifd0) const {
    // Pass 1: sizes (independent of pointer values).
    std::vector<std::size_t> blob_offsets(blobs_.size());
    std::size_t offset = 8 + ifd_size(ifd0);
    for (std::size_t i = 0; i < blobs_.size(); ++i) {
      offset += offset & 1;
      blob_offsets[i] = offset;
      offset += blobs_[i].is_ifd ? ifd_size(blobs_[i].ifd) : blobs_[i].data.size();
    }
    // Pass 2: bytes.
    Bytes out;
    if (e_.big()) { out.push_back('M'); out.push_back('M'); }
    else { out.push_back('I'); out.push_back('I'); }
    e_.put16(out, 42);
    e_.put32(out, 8);
    append_ifd(out, ifd0, blob_offsets);
    for (std::size_t i = 0; i < blobs_.size(); ++i) {
      if (out.size() & 1) out.push_back(0);
      if (blobs_[i].is_ifd) append_ifd(out, blobs_[i].ifd, blob_offsets);
      else out.insert(out.end(), blobs_[i].data.begin(), blobs_[i].data.end());
    }
    return out;
  }

 private:
  static std::size_t ifd_size(const std::vector<TiffEntry>& ifd) {
    std::size_t n = 2 + 12 * ifd.size() + 4;
    for (const auto& t : ifd)
      if (t.value.size() > 4) n += t.value.size() + (t.value.size() & 1);
    return n;
  }

  void append_ifd(Bytes& out, std::vector<TiffEntry> ifd,
                  const std::vector<std::size_t>& blob_offsets) const {
    std::stable_sort(ifd.begin(), ifd.end(),
                     [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    const std::size_t start = out.size();
    std::size_t data_at = start + 2 + 12 * ifd.size() + 4;
    e_.put16(out, static_cast<std::uint16_t>(ifd.size()));
    Bytes tail;
    for (auto& t : ifd) {
      if (t.blob >= 0) {
        t.value.clear();
        e_.put32(t.value, static_cast<std::uint32_t>(blob_offsets[static_cast<std::size_t>(t.blob)]));
      }
      e_.put16(out, t.tag);
      e_.put16(out, t.type);
      e_.put32(out, t.count);
      if (t.value.size() <= 4) {
        Bytes v = t.value;
        v.resize(4, 0);
        out.insert(out.end(), v.begin(), v.end());
      } else {
        e_.put32(out, static_cast<std::uint32_t>(data_at + tail.size()));
        tail.insert(tail.end(), t.value.begin(), t.value.end());
        if (tail.size() & 1) tail.push_back(0);
      }
    }
    e_.put32(out, 0);  // no next IFD
    out.insert(out.end(), tail.begin(), tail.end());
  }

  Endian e_;
  std::vector<TiffBlob> blobs_;
};

Bytes exif_payload(std::uint16_t orientation) {
  TiffBuilder b(false);
  Bytes tiff = b.build({b.ascii(271, "DJI"), b.shorts(274, {orientation})});
  Bytes out(6 + tiff.size());
  std::memcpy(out.data(), "Exif\0\0", 6);
  std::memcpy(out.data() + 6, tiff.data(), tiff.size());
  return out;
}

Bytes xmp_payload(const std::string& xmp) {
  static constexpr char kNs[] = "http://ns.adobe.com/xap/1.0/";
  // The namespace is followed by its terminating NUL, then the packet.
  Bytes out(sizeof kNs + xmp.size());
  std::memcpy(out.data(), kNs, sizeof kNs);
  if (!xmp.empty()) std::memcpy(out.data() + sizeof kNs, xmp.data(), xmp.size());
  return out;
}

// Position after SOI and any APP1 segments that directly follow it.
std::size_t app1_insert_position(const Bytes& jpeg) {
  std::size_t pos = 2;
  while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] == 0xE1) {
    pos += 2 + ((std::size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3]);
  }
  return std::min(pos, jpeg.size());
}

}  // namespace

// ---- JPEG -------------------------------------------------------------------

Bytes with_app1(Bytes jpeg, const Bytes& payload) {
  if (jpeg.size() < 2 || payload.size() + 2 > 0xFFFF)
    throw std::invalid_argument("APP1 payload too large or not a JPEG");
  const std::size_t len = payload.size() + 2;
  Bytes seg = {0xFF, 0xE1, std::uint8_t(len >> 8), std::uint8_t(len)};
  seg.insert(seg.end(), payload.begin(), payload.end());
  const std::size_t at = app1_insert_position(jpeg);
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), seg.begin(), seg.end());
  return jpeg;
}

Bytes jpeg_bytes(const std::vector<std::uint8_t>& rgb8, std::uint32_t w, std::uint32_t h,
                 const JpegOptions& options) {
  if (rgb8.size() != std::size_t{w} * h * 3 || w == 0 || h == 0)
    throw std::invalid_argument("jpeg_bytes: buffer size does not match w x h x 3");
  std::vector<std::uint8_t> grey;
  const std::uint8_t* src = rgb8.data();
  int pf = TJPF_RGB;
  int sub = options.quality >= 90 ? TJSAMP_444 : TJSAMP_420;
  if (options.greyscale) {
    grey.resize(std::size_t{w} * h);
    for (std::size_t i = 0; i < grey.size(); ++i) {
      const float y = 0.299f * rgb8[i * 3] + 0.587f * rgb8[i * 3 + 1] + 0.114f * rgb8[i * 3 + 2];
      grey[i] = static_cast<std::uint8_t>(std::clamp(std::lround(y), 0L, 255L));
    }
    src = grey.data();
    pf = TJPF_GRAY;
    sub = TJSAMP_GRAY;
  }
  tjhandle tj = tjInitCompress();
  if (tj == nullptr) throw std::runtime_error("tjInitCompress failed");
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(tj, src, static_cast<int>(w), 0, static_cast<int>(h), pf, &out, &size,
                             sub, options.quality, TJFLAG_ACCURATEDCT);
  std::string err = rc != 0 ? tjGetErrorStr2(tj) : "";
  tjDestroy(tj);
  if (rc != 0) {
    tjFree(out);
    throw std::runtime_error("tjCompress2 failed: " + err);
  }
  Bytes jpeg(out, out + size);
  tjFree(out);
  if (options.exif_orientation) jpeg = with_app1(std::move(jpeg), exif_payload(*options.exif_orientation));
  if (options.xmp) jpeg = with_app1(std::move(jpeg), xmp_payload(*options.xmp));
  return jpeg;
}

Status write_jpeg_fixture(const fs::path& path, const std::vector<std::uint8_t>& rgb8,
                          std::uint32_t w, std::uint32_t h, int quality,
                          std::optional<std::string> xmp) {
  JpegOptions o;
  o.quality = quality;
  o.xmp = std::move(xmp);
  return write_jpeg_fixture(path, rgb8, w, h, o);
}

Status write_jpeg_fixture(const fs::path& path, const std::vector<std::uint8_t>& rgb8,
                          std::uint32_t w, std::uint32_t h, const JpegOptions& options) {
  return write_bytes(path, jpeg_bytes(rgb8, w, h, options));
}

Status write_jpeg_fixture(const fs::path& path, const LinearImage& image, const JpegOptions& options) {
  return write_jpeg_fixture(path, to_srgb8(image), image.width, image.height, options);
}

Bytes with_jpeg_dimensions(Bytes jpeg, std::uint16_t width, std::uint16_t height) {
  std::size_t pos = 2;
  while (pos + 9 <= jpeg.size()) {
    if (jpeg[pos] != 0xFF) throw std::invalid_argument("with_jpeg_dimensions: marker expected");
    const std::uint8_t m = jpeg[pos + 1];
    const std::size_t len = (std::size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
    const bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    if (sof) {
      jpeg[pos + 5] = std::uint8_t(height >> 8);
      jpeg[pos + 6] = std::uint8_t(height);
      jpeg[pos + 7] = std::uint8_t(width >> 8);
      jpeg[pos + 8] = std::uint8_t(width);
      return jpeg;
    }
    pos += 2 + len;
  }
  throw std::invalid_argument("with_jpeg_dimensions: no SOF segment");
}

// ---- PNG --------------------------------------------------------------------

Bytes png_bytes(const std::vector<std::uint8_t>& rgb8, std::uint32_t w, std::uint32_t h) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  img.width = w;
  img.height = h;
  img.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&img, nullptr, &size, 0, rgb8.data(), 0, nullptr))
    throw std::runtime_error(std::string("png sizing failed: ") + img.message);
  Bytes out(size);
  if (!png_image_write_to_memory(&img, out.data(), &size, 0, rgb8.data(), 0, nullptr))
    throw std::runtime_error(std::string("png write failed: ") + img.message);
  out.resize(size);
  return out;
}

// ---- DNG --------------------------------------------------------------------

Bytes dng_bytes(const LinearImage& image, const DngFixtureOptions& o) {
  const std::uint32_t w = image.width;
  const std::uint32_t h = image.height;
  if (image.pixels.size() != std::size_t{w} * h * 3 || w == 0 || h == 0)
    throw std::invalid_argument("dng_bytes: pixel count does not match the size");
  if (o.white_level <= o.black_level) throw std::invalid_argument("dng_bytes: white <= black");

  TiffBuilder b(o.big_endian);
  const Endian& e = b.endian();

  // RGGB mosaic: even rows R G, odd rows G B.
  static constexpr int kCfa[4] = {0, 1, 1, 2};
  const float range = static_cast<float>(o.white_level - o.black_level);
  Bytes strip;
  strip.reserve(std::size_t{w} * h * 2);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x) {
      const int c = kCfa[(y & 1) * 2 + (x & 1)];
      float v = image.pixels[(std::size_t{y} * w + x) * 3 + static_cast<std::size_t>(c)];
      v = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
      e.put16(strip, static_cast<std::uint16_t>(o.black_level + std::lround(v * range)));
    }
  const auto strip_bytes = static_cast<std::uint32_t>(strip.size());
  const int strip_blob = b.add_data_blob(std::move(strip));

  std::vector<TiffEntry> ifd0 = {
      b.longs(254, {0}),  // NewSubFileType: main image
      b.longs(256, {o.declared_width ? o.declared_width : w}),
      b.longs(257, {o.declared_height ? o.declared_height : h}),
      b.shorts(258, {16}),
      b.shorts(259, {1}),      // uncompressed
      b.shorts(262, {32803}),  // CFA
      b.pointer(273, strip_blob),
      b.shorts(274, {1}),
      b.shorts(277, {1}),
      b.longs(278, {h}),
      b.longs(279, {strip_bytes}),
      b.shorts(284, {1}),
      b.shorts(33421, {2, 2}),                     // CFARepeatPatternDim
      b.bytes(33422, kByte, {0, 1, 1, 2}),         // CFAPattern RGGB
      b.bytes(50706, kByte, {1, 4, 0, 0}),         // DNGVersion
      b.bytes(50707, kByte, {1, 1, 0, 0}),         // DNGBackwardVersion
      b.shorts(50714, {o.black_level}),            // BlackLevel
      b.shorts(50717, {o.white_level}),            // WhiteLevel
      // ColorMatrix1 (XYZ -> camera): XYZ -> linear sRGB under D65, which
      // makes the camera space linear sRGB.
      b.srationals(50721,
                   {3.2404542, -1.5371385, -0.4985314, -0.9692660, 1.8760108, 0.0415560,
                    0.0556434, -0.2040259, 1.0572252},
                   1000000),
      b.rationals(50728, {1.0, 1.0, 1.0}, 1),  // AsShotNeutral
      b.shorts(50778, {21}),                   // CalibrationIlluminant1: D65
  };
  if (!o.make.empty()) ifd0.push_back(b.ascii(271, o.make));
  if (!o.model.empty()) ifd0.push_back(b.ascii(272, o.model));
  std::string unique = o.unique_camera_model;
  if (unique.empty() && (!o.make.empty() || !o.model.empty())) {
    unique = o.make.empty() ? o.model : o.model.empty() ? o.make : o.make + " " + o.model;
  }
  if (!unique.empty()) ifd0.push_back(b.ascii(50708, unique));
  if (o.baseline_exposure)
    ifd0.push_back(b.srationals(50730, {static_cast<double>(*o.baseline_exposure)}, 100000));
  if (o.xmp) ifd0.push_back(b.bytes(700, kByte, Bytes(o.xmp->begin(), o.xmp->end())));
  if (o.iso) {
    const int exif = b.add_ifd_blob({b.shorts(34855, {*o.iso})});
    ifd0.push_back(b.pointer(34665, exif));
  }
  return b.build(std::move(ifd0));
}

Status write_dng_fixture(const fs::path& path, const LinearImage& image, const DngFixtureOptions& options) {
  return write_bytes(path, dng_bytes(image, options));
}

// ---- bare TIFF with an XMP tag ------------------------------------------------

Bytes tiff_xmp_bytes(const TiffXmpOptions& o) {
  TiffBuilder b(o.big_endian);
  const int pixel = b.add_data_blob({0x80});
  std::vector<TiffEntry> ifd0 = {
      b.longs(256, {1}), b.longs(257, {1}), b.shorts(258, {8}), b.shorts(259, {1}),
      b.shorts(262, {1}), b.pointer(273, pixel), b.shorts(277, {1}), b.longs(278, {1}),
      b.longs(279, {1}),
  };
  TiffEntry xmp = b.bytes(700, o.type, Bytes(o.xmp.begin(), o.xmp.end()), o.count);
  switch (o.placement) {
    case TiffXmpOptions::Placement::Ifd0:
      ifd0.push_back(std::move(xmp));
      break;
    case TiffXmpOptions::Placement::SubIfd: {
      const int sub = b.add_ifd_blob({b.longs(254, {1}), b.longs(256, {1}), b.longs(257, {1}), xmp});
      ifd0.push_back(b.pointer(330, sub));
      break;
    }
    case TiffXmpOptions::Placement::None:
      break;
  }
  return b.build(std::move(ifd0));
}

// ---- damage -------------------------------------------------------------------

Bytes truncated(Bytes bytes, std::size_t keep) {
  if (keep < bytes.size()) bytes.resize(keep);
  return bytes;
}

Bytes corrupted(Bytes bytes, std::size_t offset, std::size_t length, std::uint32_t seed) {
  std::minstd_rand rng(seed == 0 ? 1 : seed);
  for (std::size_t i = offset; i < bytes.size() && i - offset < length; ++i)
    bytes[i] = static_cast<std::uint8_t>(rng() >> 7);
  return bytes;
}

}  // namespace stitch::fixtures
