// Decoding sources into linear-light float images, and sampling them.
#include <sys/stat.h>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

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

// Samples per task of the conversion loops: big enough to amortise
// scheduling, small enough to spread a 16-megapixel image over many cores.
constexpr std::size_t kConvertGrain = std::size_t{1} << 16;

std::array<float, 256> make_srgb_table() {
  std::array<float, 256> t{};
  for (int s = 0; s < 256; ++s) {
    const float v = static_cast<float>(s) / 255.0f;
    t[static_cast<std::size_t>(s)] =
        v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
  }
  return t;
}

std::string error_text(const char* buffer) {
  return utf8_lossy(std::string_view(buffer, std::strlen(buffer)));
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

Result<std::vector<std::uint8_t>> read_whole_file(const std::filesystem::path& path) {
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) return StitchError::io_errno(errno);
  struct stat st {};
  std::vector<std::uint8_t> data;
  if (::fstat(::fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > kMaxJpegFileBytes)
      return StitchError::jpeg_decode("The JPEG file exceeds the 1 GiB input limit");
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof chunk, f.get());
    if (n > 0) {
      if (data.size() + n > kMaxJpegFileBytes)
        return StitchError::jpeg_decode("The JPEG file exceeds the 1 GiB input limit");
      data.insert(data.end(), chunk, chunk + n);
    }
    if (n < sizeof chunk) break;
  }
  if (std::ferror(f.get())) return StitchError::io_errno(errno);
  return data;
}

struct RawRecord {
  PanoRawImage image{};
  ~RawRecord() { pano_raw_free(&image); }
};

struct JpegRecord {
  PanoJpegImage image{};
  ~JpegRecord() { pano_jpeg_free(&image); }
};

Result<LinearImage> load_dng(const std::filesystem::path& path) {
  Result<std::string> native = path_cstring(path);
  if (!native) return std::move(native).error();
  RawRecord record;  // released on every path out of here
  record.image.baseline_exposure = std::nanf("");
  char error[512] = {};
  if (pano_raw_decode(native->c_str(), &record.image, error, sizeof error) != 0)
    return StitchError::dng_decode(error_text(error));
  const PanoRawImage& r = record.image;
  if (r.samples == nullptr ||
      r.sample_count != std::uint64_t{r.width} * std::uint64_t{r.height} * 3)
    return StitchError::dng_decode("LibRaw returned an unexpected sample count");

  LinearImage image;
  image.width = r.width;
  image.height = r.height;
  image.pixels.resize(static_cast<std::size_t>(r.sample_count));
  const std::uint16_t* src = r.samples;
  float* dst = image.pixels.data();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, image.pixels.size(), kConvertGrain),
                    [src, dst](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i)
                        dst[i] = static_cast<float>(src[i]) / 65535.0f;
                    });
  image.camera = camera_string(r.camera);
  if (std::isfinite(r.iso) && r.iso > 0.0f) image.iso = r.iso;
  if (std::isfinite(r.baseline_exposure))
    image.baseline_exposure_ev = std::clamp(r.baseline_exposure, -5.0f, 5.0f);
  image.raw = true;
  return image;
}

Result<LinearImage> load_jpeg(const std::filesystem::path& path) {
  Result<std::vector<std::uint8_t>> data = read_whole_file(path);
  if (!data) return std::move(data).error();
  JpegRecord record;  // released on every path out of here
  char error[512] = {};
  if (pano_jpeg_decode(data->data(), data->size(), &record.image, error, sizeof error) != 0)
    return StitchError::jpeg_decode(error_text(error));
  const PanoJpegImage& j = record.image;
  if (j.samples == nullptr || j.byte_count != std::uint64_t{j.width} * std::uint64_t{j.height} * 3)
    return StitchError::jpeg_decode("libjpeg-turbo returned an invalid RGB buffer");
  // The file bytes are no longer needed; free them before the float image
  // (four times the decoded size) is allocated.
  std::vector<std::uint8_t>().swap(*data);

  LinearImage image;
  image.width = j.width;
  image.height = j.height;
  image.pixels.resize(static_cast<std::size_t>(j.byte_count));
  const std::uint8_t* src = j.samples;
  float* dst = image.pixels.data();
  const float* table = srgb8_to_linear_table().data();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, image.pixels.size(), kConvertGrain),
                    [src, dst, table](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) dst[i] = table[src[i]];
                    });
  image.raw = false;
  return image;
}

}  // namespace

const std::array<float, 256>& srgb8_to_linear_table() {
  static const std::array<float, 256> table = make_srgb_table();
  return table;
}

Result<LinearImage> load_source(const std::filesystem::path& path) {
  Result<SourceFormat> format = source_format(path);
  if (!format) return std::move(format).error();
  return *format == SourceFormat::Dng ? load_dng(path) : load_jpeg(path);
}

std::optional<Rgb> sample_bilinear(const LinearImage& image, float x, float y) {
  // An empty image or a buffer that does not match its size has no samples.
  if (image.width == 0 || image.height == 0 ||
      image.pixels.size() != std::size_t{image.width} * image.height * 3) {
    return std::nullopt;
  }
  Rgb out{};
  if (!bilinear_into(image, x, y, out)) return std::nullopt;
  return out;
}

LinearImage synthetic(std::uint32_t width, std::uint32_t height,
                      const std::function<Rgb(std::uint32_t, std::uint32_t)>& f) {
  LinearImage image;
  image.width = width;
  image.height = height;
  image.pixels.reserve(std::size_t{width} * height * 3);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x) {
      const Rgb p = f(x, y);
      image.pixels.insert(image.pixels.end(), p.begin(), p.end());
    }
  image.camera = "Synthetic fixture";
  image.raw = false;
  return image;
}

}  // namespace stitch
