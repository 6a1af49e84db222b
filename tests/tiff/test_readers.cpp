// Independent readers accept the container's files: libtiff decodes the TIFF,
// LittleCMS understands its ICC profile, LibRaw develops the Linear DNG and
// exiftool validates both.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <libraw/libraw.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "export/tiff/tiff.hpp"
#include "metadata/metadata.hpp"
#include "tiff_test_util.hpp"

namespace {

using namespace stitch;

// Flat patches of known linear colours, so that readers which filter or
// resample still see the exact value at a patch's centre.
struct Patch {
  std::array<std::uint16_t, 3> linear;
};

const std::array<Patch, 8> kPatches = {{
    {{65535, 65535, 65535}},
    {{0, 0, 0}},
    {{14025, 14025, 14025}},  // linear 0.214, sRGB mid grey
    {{39321, 19660, 6553}},   // warm orange
    {{6553, 26214, 13107}},   // green
    {{9830, 16384, 45875}},   // blue
    {{52428, 52428, 45875}},  // light neutral-ish
    {{3276, 3276, 3276}},     // dark grey
}};

constexpr std::uint32_t kPatchSize = 16;
constexpr std::uint32_t kWidth = kPatchSize * 4;   // 4 x 2 patches
constexpr std::uint32_t kHeight = kPatchSize * 2 + 7;  // a short last strip

std::vector<std::uint16_t> patch_image() {
  std::vector<std::uint16_t> px(std::size_t{kWidth} * kHeight * 3);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      const std::uint32_t py = std::min<std::uint32_t>(y / kPatchSize, 1);
      const Patch& p = kPatches[py * 4 + x / kPatchSize];
      for (int c = 0; c < 3; ++c) px[(std::size_t{y} * kWidth + x) * 3 + c] = p.linear[c];
    }
  }
  return px;
}

// Patch centre coordinates.
std::pair<std::uint32_t, std::uint32_t> centre(std::size_t patch) {
  return {static_cast<std::uint32_t>(patch % 4) * kPatchSize + kPatchSize / 2,
          static_cast<std::uint32_t>(patch / 4) * kPatchSize + kPatchSize / 2};
}

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};

TEST(Readers, LibtiffDecodesTheProPhotoTiff) {
  tifftest::ScratchDir dir;
  const auto path = dir.file("pano.tif");
  const std::uint32_t w = 123, h = 77;
  const auto px = tifftest::synthetic_rgb16(w, h, 5);
  ASSERT_TRUE(write_container(path, w, h, px, std::string_view("<x:xmpmeta/>"), false));

  std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(path.c_str(), "r"));
  ASSERT_NE(tif, nullptr);
  std::uint32_t width = 0, length = 0, rows_per_strip = 0;
  std::uint16_t bits = 0, spp = 0, photometric = 0, compression = 0, planar = 0, format = 0;
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &length));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &compression));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_ROWSPERSTRIP, &rows_per_strip));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_PLANARCONFIG, &planar));
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_SAMPLEFORMAT, &format));
  EXPECT_EQ(width, w);
  EXPECT_EQ(length, h);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(spp, 3);
  EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
  EXPECT_EQ(compression, COMPRESSION_ADOBE_DEFLATE);
  EXPECT_EQ(rows_per_strip, 32u);
  EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
  EXPECT_EQ(format, SAMPLEFORMAT_UINT);
  EXPECT_EQ(TIFFNumberOfStrips(tif.get()), 3u);

  std::uint32_t icc_len = 0;
  void* icc = nullptr;
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &icc_len, &icc));
  const auto* icc_bytes = static_cast<const std::uint8_t*>(icc);
  EXPECT_EQ(std::vector<std::uint8_t>(icc_bytes, icc_bytes + icc_len), prophoto_icc_profile());
  std::uint32_t xmp_len = 0;
  void* xmp = nullptr;
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_XMLPACKET, &xmp_len, &xmp));
  EXPECT_EQ(std::string(static_cast<const char*>(xmp), xmp_len), "<x:xmpmeta/>");

  std::vector<std::uint16_t> row(std::size_t{w} * 3);
  for (std::uint32_t y = 0; y < h; ++y) {
    ASSERT_EQ(TIFFReadScanline(tif.get(), row.data(), y, 0), 1) << y;
    for (std::uint32_t x = 0; x < w; ++x) {
      const auto want = tifftest::prophoto_reference(&px[(std::size_t{y} * w + x) * 3]);
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(row[std::size_t{x} * 3 + c], want[c]) << x << "," << y << " ch " << c;
      }
    }
  }
}

TEST(Readers, LittleCmsMapsTheEmbeddedProfileBackToSrgb) {
  tifftest::ScratchDir dir;
  const auto path = dir.file("patches.tif");
  const auto px = patch_image();
  ASSERT_TRUE(write_container(path, kWidth, kHeight, px, std::nullopt, false));

  std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(path.c_str(), "r"));
  ASSERT_NE(tif, nullptr);
  std::uint32_t icc_len = 0;
  void* icc = nullptr;
  ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &icc_len, &icc));

  cmsHPROFILE prophoto = cmsOpenProfileFromMem(icc, icc_len);
  ASSERT_NE(prophoto, nullptr);
  EXPECT_EQ(cmsGetColorSpace(prophoto), cmsSigRgbData);
  EXPECT_EQ(cmsGetPCS(prophoto), cmsSigXYZData);
  EXPECT_EQ(cmsGetDeviceClass(prophoto), cmsSigDisplayClass);
  EXPECT_TRUE(cmsIsMatrixShaper(prophoto));
  char name[64] = {};
  cmsGetProfileInfoASCII(prophoto, cmsInfoDescription, "en", "US", name, sizeof(name));
  EXPECT_STREQ(name, "Orvane ProPhoto RGB");

  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM to_srgb = cmsCreateTransform(prophoto, TYPE_RGB_16, srgb, TYPE_RGB_DBL,
                                             INTENT_RELATIVE_COLORIMETRIC, 0);
  ASSERT_NE(to_srgb, nullptr);

  // Deflate strips are read in order only, so decode the whole image first.
  std::vector<std::uint16_t> image(std::size_t{kWidth} * kHeight * 3);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    ASSERT_EQ(TIFFReadScanline(tif.get(), &image[std::size_t{y} * kWidth * 3], y, 0), 1);
  }
  for (std::size_t i = 0; i < kPatches.size(); ++i) {
    const auto [x, y] = centre(i);
    const std::uint16_t* encoded = &image[(std::size_t{y} * kWidth + x) * 3];
    double out[3] = {};
    cmsDoTransform(to_srgb, encoded, out, 1);
    // Neutral patches must come back tight; colours get a little more room
    // for the 1.8 vs 1.80078 gamma and the profile's rounded colorants.
    const bool neutral = kPatches[i].linear[0] == kPatches[i].linear[1] &&
                         kPatches[i].linear[1] == kPatches[i].linear[2];
    const double tolerance = neutral ? 0.004 : 0.01;
    for (int c = 0; c < 3; ++c) {
      const double want = tifftest::srgb_encode(kPatches[i].linear[c] / 65535.0);
      EXPECT_NEAR(out[c], want, tolerance) << "patch " << i << " channel " << c;
    }
  }
  cmsDeleteTransform(to_srgb);
  cmsCloseProfile(srgb);
  cmsCloseProfile(prophoto);
}

TEST(Readers, LibRawDevelopsTheLinearDngToTheInputColours) {
  tifftest::ScratchDir dir;
  const auto path = dir.file("patches.dng");
  const auto px = patch_image();
  ASSERT_TRUE(write_container(path, kWidth, kHeight, px, std::string_view("<x:xmpmeta/>"), true));

  auto raw = std::make_unique<LibRaw>();
  ASSERT_EQ(raw->open_file(path.c_str()), LIBRAW_SUCCESS);
  EXPECT_EQ(raw->imgdata.sizes.width, kWidth);
  EXPECT_EQ(raw->imgdata.sizes.height, kHeight);
  EXPECT_EQ(raw->imgdata.idata.colors, 3);
  ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
  raw->imgdata.params.output_color = 1;  // sRGB primaries
  raw->imgdata.params.gamm[0] = 1.0;     // linear output
  raw->imgdata.params.gamm[1] = 1.0;
  raw->imgdata.params.no_auto_bright = 1;
  raw->imgdata.params.output_bps = 16;
  raw->imgdata.params.use_camera_wb = 1;
  ASSERT_EQ(raw->dcraw_process(), LIBRAW_SUCCESS);
  int err = 0;
  libraw_processed_image_t* img = raw->dcraw_make_mem_image(&err);
  ASSERT_NE(img, nullptr);
  ASSERT_EQ(img->colors, 3);
  ASSERT_EQ(img->bits, 16);
  ASSERT_EQ(img->width, kWidth);
  ASSERT_EQ(img->height, kHeight);
  // LibRaw turns the camera matrix into camera-to-sRGB by multiplying it with
  // the D65 sRGB matrix and normalising each row to a sum of 1, with no
  // D50-to-D65 adaptation. Neutrals come through exactly; colours shift by up
  // to a few percent, which the model below reproduces from the file's
  // ColorMatrix1, so both the matrix and the pixels are checked tightly.
  const std::array<std::array<double, 3>, 3> cam_xyz = {{
      {3.133856, -1.616867, -0.490615},
      {-0.978768, 1.916142, 0.033454},
      {0.071945, -0.228991, 1.405243},
  }};
  const std::array<std::array<double, 3>, 3> xyz_srgb = {{
      {0.412453, 0.357580, 0.180423},
      {0.212671, 0.715160, 0.072169},
      {0.019334, 0.119193, 0.950227},
  }};
  std::array<std::array<double, 3>, 3> cam_rgb{};
  for (int i = 0; i < 3; ++i) {
    double sum = 0;
    for (int j = 0; j < 3; ++j) {
      for (int k = 0; k < 3; ++k) cam_rgb[i][j] += cam_xyz[i][k] * xyz_srgb[k][j];
      sum += cam_rgb[i][j];
    }
    for (int j = 0; j < 3; ++j) cam_rgb[i][j] /= sum;
  }
  const auto& m = cam_rgb;
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  const std::array<std::array<double, 3>, 3> rgb_cam = {{
      {(m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det, (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det,
       (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det},
      {(m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det, (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
       (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det},
      {(m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det, (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det,
       (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det},
  }};

  const auto* out = reinterpret_cast<const std::uint16_t*>(img->data);
  for (std::size_t i = 0; i < kPatches.size(); ++i) {
    const auto [x, y] = centre(i);
    for (int c = 0; c < 3; ++c) {
      const double got = out[(std::size_t{y} * kWidth + x) * 3 + c] / 65535.0;
      const double want = kPatches[i].linear[c] / 65535.0;
      double modelled = 0;
      for (int k = 0; k < 3; ++k) modelled += rgb_cam[c][k] * kPatches[i].linear[k] / 65535.0;
      modelled = std::clamp(modelled, 0.0, 1.0);
      EXPECT_NEAR(got, want, 0.05) << "patch " << i << " channel " << c;
      EXPECT_NEAR(got, modelled, 0.002) << "patch " << i << " channel " << c;
    }
  }
  LibRaw::dcraw_clear_mem(img);
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  ::pclose(pipe);
  return out;
}

TEST(Readers, ExiftoolValidatesBothFormats) {
  if (run("command -v exiftool").empty()) GTEST_SKIP() << "exiftool not installed";
  tifftest::ScratchDir dir;
  const auto px = patch_image();
  const std::string xmp =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "  <rdf:Description rdf:about=\"\"\n"
      "   xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\"\n"
      "   GPano:ProjectionType=\"equirectangular\"/>\n"
      " </rdf:RDF>\n"
      "</x:xmpmeta>\n"
      "<?xpacket end=\"w\"?>";
  for (const auto& [name, dng, with_xmp] :
       {std::tuple{"a.tif", false, true}, std::tuple{"b.tif", false, false},
        std::tuple{"c.dng", true, true}, std::tuple{"d.dng", true, false}}) {
    const auto path = dir.file(name);
    ASSERT_TRUE(write_container(path, kWidth, kHeight, px,
                                with_xmp ? std::optional<std::string_view>(xmp) : std::nullopt,
                                dng));
    const std::string report =
        run("exiftool -validate -warning -error -a -s '" + path.string() + "' 2>&1");
    SCOPED_TRACE(report);
    EXPECT_NE(report.find("Validate"), std::string::npos);
    EXPECT_EQ(report.find("Error"), std::string::npos);
    if (dng) {
      EXPECT_NE(report.find("Validate                        : OK"), std::string::npos);
    } else {
      // exiftool checks TIFF against the 6.0 baseline list of compressions,
      // which predates deflate (8); that warning is the only one accepted.
      std::size_t at = 0;
      while ((at = report.find("Warning                         : ", at)) != std::string::npos) {
        const std::size_t end = report.find('\n', at);
        EXPECT_EQ(report.substr(at, end - at),
                  "Warning                         : Invalid value for IFD0 tag 0x0103 "
                  "Compression");
        at = end;
      }
    }
  }
}

}  // namespace
