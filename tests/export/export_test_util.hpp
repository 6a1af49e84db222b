// Helpers of the export tests: scratch directories, file access and real
// decoders (TurboJPEG, libpng, zlib) to read the written files back.
#pragma once

#include <png.h>
#include <turbojpeg.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace stitch::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "stitch-export-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_text(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

inline std::string read_text(const std::filesystem::path& p) {
  const std::vector<std::uint8_t> b = read_bytes(p);
  return {b.begin(), b.end()};
}

// Files whose name starts with ".", i.e. temporary files left in `dir`.
inline std::vector<std::string> hidden_files(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (!name.empty() && name[0] == '.') out.push_back(name);
  }
  return out;
}

struct DecodedJpeg {
  int width = 0;
  int height = 0;
  int subsamp = -1;
  std::vector<std::uint8_t> rgb;
};

inline std::optional<DecodedJpeg> decode_jpeg(const std::vector<std::uint8_t>& bytes) {
  tjhandle h = tjInitDecompress();
  if (h == nullptr) return std::nullopt;
  DecodedJpeg d;
  int colorspace = 0;
  std::optional<DecodedJpeg> out;
  if (tjDecompressHeader3(h, bytes.data(), bytes.size(), &d.width, &d.height, &d.subsamp,
                          &colorspace) == 0) {
    d.rgb.resize(static_cast<std::size_t>(d.width) * d.height * 3);
    if (tjDecompress2(h, bytes.data(), bytes.size(), d.rgb.data(), d.width, 0, d.height,
                      TJPF_RGB, 0) == 0) {
      out = std::move(d);
    }
  }
  tjDestroy(h);
  return out;
}

struct JpegSegment {
  std::uint8_t marker = 0;
  std::vector<std::uint8_t> payload;  // without the length field
};

// The marker segments before the first SOS (SOS included, its payload only).
inline std::vector<JpegSegment> jpeg_segments(const std::vector<std::uint8_t>& b) {
  std::vector<JpegSegment> out;
  std::size_t i = 2;
  while (i + 4 <= b.size() && b[i] == 0xFF) {
    const std::uint8_t marker = b[i + 1];
    const std::size_t len = (static_cast<std::size_t>(b[i + 2]) << 8) | b[i + 3];
    if (len < 2 || i + 2 + len > b.size()) break;
    out.push_back({marker, std::vector<std::uint8_t>(b.begin() + static_cast<long>(i) + 4,
                                                     b.begin() + static_cast<long>(i + 2 + len))});
    if (marker == 0xDA) break;
    i += 2 + len;
  }
  return out;
}

struct PngChunk {
  std::string type;
  std::vector<std::uint8_t> data;
  bool crc_ok = false;
};

inline std::vector<PngChunk> png_chunks(const std::vector<std::uint8_t>& b) {
  std::vector<PngChunk> out;
  std::size_t i = 8;
  while (i + 12 <= b.size()) {
    const std::uint32_t len = (std::uint32_t{b[i]} << 24) | (std::uint32_t{b[i + 1]} << 16) |
                              (std::uint32_t{b[i + 2]} << 8) | b[i + 3];
    if (i + 12 + len > b.size()) break;
    PngChunk c;
    c.type.assign(b.begin() + static_cast<long>(i) + 4, b.begin() + static_cast<long>(i) + 8);
    c.data.assign(b.begin() + static_cast<long>(i) + 8,
                  b.begin() + static_cast<long>(i + 8 + len));
    const std::size_t ci = i + 8 + len;
    const std::uint32_t crc = (std::uint32_t{b[ci]} << 24) | (std::uint32_t{b[ci + 1]} << 16) |
                              (std::uint32_t{b[ci + 2]} << 8) | b[ci + 3];
    c.crc_ok = crc == crc32(crc32(0, Z_NULL, 0), b.data() + i + 4, len + 4);
    out.push_back(std::move(c));
    i += 12 + len;
  }
  return out;
}

struct DecodedPng {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bit_depth = 0;
  int color_type = 0;
  int interlace = 0;
  std::vector<std::uint16_t> samples;  // host order
};

namespace detail {
struct PngReadCtx {
  const std::vector<std::uint8_t>* bytes = nullptr;
  std::size_t pos = 0;
};
inline void png_read_cb(png_structp png, png_bytep out, std::size_t n) {
  auto* c = static_cast<PngReadCtx*>(png_get_io_ptr(png));
  if (c->pos + n > c->bytes->size()) png_error(png, "read past end");
  for (std::size_t k = 0; k < n; ++k) out[k] = (*c->bytes)[c->pos + k];
  c->pos += n;
}
// The setjmp calls live in these two functions, whose frames hold only
// trivially destructible values.
inline bool png_read_header(png_structp png, png_infop info, DecodedPng* d) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  d->width = png_get_image_width(png, info);
  d->height = png_get_image_height(png, info);
  d->bit_depth = png_get_bit_depth(png, info);
  d->color_type = png_get_color_type(png, info);
  d->interlace = png_get_interlace_type(png, info);
  return d->bit_depth == 16 && d->color_type == PNG_COLOR_TYPE_RGB;
}
inline bool png_read_rows(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}
}  // namespace detail

// Full decode through libpng; rows are big-endian and converted to host order.
inline std::optional<DecodedPng> decode_png(const std::vector<std::uint8_t>& bytes) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  detail::PngReadCtx ctx{&bytes, 0};
  png_set_read_fn(png, &ctx, detail::png_read_cb);
  DecodedPng d;
  bool ok = detail::png_read_header(png, info, &d);
  std::vector<std::uint8_t> raw;
  std::vector<png_bytep> rows;
  if (ok) {
    const std::size_t stride = static_cast<std::size_t>(d.width) * 6;
    raw.resize(stride * d.height);
    for (std::uint32_t y = 0; y < d.height; ++y) rows.push_back(raw.data() + y * stride);
    ok = detail::png_read_rows(png, rows.data());
  }
  png_destroy_read_struct(&png, &info, nullptr);
  if (!ok) return std::nullopt;
  d.samples.resize(raw.size() / 2);
  for (std::size_t i = 0; i < d.samples.size(); ++i) {
    d.samples[i] = static_cast<std::uint16_t>((raw[2 * i] << 8) | raw[2 * i + 1]);
  }
  return d;
}

// Inflates the concatenated IDAT data with zlib; nullopt unless the stream
// ends properly (which includes the Adler-32 check).
inline std::optional<std::vector<std::uint8_t>> inflate_idat(const std::vector<PngChunk>& chunks,
                                                             std::size_t expected) {
  std::vector<std::uint8_t> z;
  for (const PngChunk& c : chunks) {
    if (c.type == "IDAT") z.insert(z.end(), c.data.begin(), c.data.end());
  }
  std::vector<std::uint8_t> out(expected + 1);
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return std::nullopt;
  s.next_in = z.data();
  s.avail_in = static_cast<uInt>(z.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&s, Z_FINISH);
  const std::size_t produced = out.size() - s.avail_out;
  const bool all_used = s.avail_in == 0;
  inflateEnd(&s);
  if (rc != Z_STREAM_END || !all_used) return std::nullopt;
  out.resize(produced);
  return out;
}

// Runs a command and returns its standard output (nullopt when it fails).
inline std::optional<std::string> run_capture(const std::string& cmd) {
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (::pclose(p) != 0) return std::nullopt;
  return out;
}

inline bool have_exiftool() { return std::system("exiftool -ver >/dev/null 2>&1") == 0; }

}  // namespace stitch::test
