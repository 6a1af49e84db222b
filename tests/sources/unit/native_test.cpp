// The C-ABI decoding shim: records, error-buffer rule, release functions,
// DNG development and the defences against hostile headers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "native/pano_native.h"
#include "support/fixtures.hpp"

namespace stitch {
namespace {

namespace fx = fixtures;

// Four flat quadrants; values at or below 0.75 so LibRaw keeps the white level.
constexpr float kQuadrants[4][3] = {
    {0.60f, 0.20f, 0.10f}, {0.10f, 0.50f, 0.20f}, {0.20f, 0.30f, 0.70f}, {0.40f, 0.40f, 0.40f}};

LinearImage quadrants(std::uint32_t w, std::uint32_t h) {
  return synthetic(w, h, [w, h](std::uint32_t x, std::uint32_t y) {
    const int q = (x >= w / 2 ? 1 : 0) + (y >= h / 2 ? 2 : 0);
    return Rgb{kQuadrants[q][0], kQuadrants[q][1], kQuadrants[q][2]};
  });
}

std::vector<std::uint8_t> gradient_rgb(std::uint32_t w, std::uint32_t h) {
  return fx::rgb8_image(w, h, [](std::uint32_t x, std::uint32_t y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 8), static_cast<std::uint8_t>(y * 8),
                                       static_cast<std::uint8_t>(128)};
  });
}

TEST(ErrorBuffer, TruncatesToSizeMinusOneAndTerminates) {
  struct Case {
    std::size_t size;
    std::string expected;
  };
  const Case cases[] = {{1, ""}, {2, "I"}, {8, "Invalid"}, {512, "Invalid LibRaw inspection arguments"}};
  for (const Case& c : cases) {
    char buffer[600];
    std::memset(buffer, 'x', sizeof buffer);
    PanoRawInfo info{};
    EXPECT_EQ(pano_raw_inspect(nullptr, &info, buffer, c.size), -1);
    EXPECT_EQ(std::string(buffer), c.expected) << "size " << c.size;
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer, size " << c.size;
  }
}

TEST(ErrorBuffer, NullOrEmptyBufferReceivesNothing) {
  PanoRawInfo info{};
  EXPECT_EQ(pano_raw_inspect(nullptr, &info, nullptr, 512), -1);
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(pano_raw_inspect(nullptr, &info, buffer, 0), -1);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(Shim, InvalidArgumentTexts) {
  char err[512];
  PanoRawImage raw{};
  PanoJpegImage jpeg{};
  const std::uint8_t byte = 0xFF;

  EXPECT_EQ(pano_raw_inspect("x.dng", nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid LibRaw inspection arguments");
  EXPECT_EQ(pano_raw_decode(nullptr, &raw, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid LibRaw decode arguments");
  EXPECT_EQ(pano_raw_decode("x.dng", nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid LibRaw decode arguments");
  EXPECT_EQ(pano_jpeg_decode(nullptr, 10, &jpeg, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid JPEG decode arguments");
  EXPECT_EQ(pano_jpeg_decode(&byte, 0, &jpeg, err, sizeof err), -1);
  EXPECT_STREQ(err, "The JPEG file is empty");
  EXPECT_EQ(pano_jpeg_decode(&byte, 1, nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid JPEG decode arguments");
}

TEST(Shim, CameraName) {
  struct Case {
    const char* make;
    const char* model;
    const char* expected;
  };
  const Case cases[] = {
      {"DJI", "Avata 360", "DJI Avata 360"},
      {"DJI", "", "DJI"},
      {"", "Avata 360", "Avata 360"},
      {"", "", "Unknown DNG camera"},
      {nullptr, nullptr, "Unknown DNG camera"},
  };
  for (const Case& c : cases) EXPECT_EQ(native::camera_name(c.make, c.model), c.expected);
}

TEST(Shim, MissingRawFileReturnsLibRawCodeAndNoBuffer) {
  fx::TempDir dir;
  char err[512] = {};
  PanoRawImage raw{};
  raw.samples = reinterpret_cast<std::uint16_t*>(&raw);  // must be zeroed, not freed
  raw.sample_count = 99;
  const int rc = pano_raw_decode(dir.file("missing.dng").c_str(), &raw, err, sizeof err);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, -1);
  EXPECT_STRNE(err, "");
  EXPECT_EQ(raw.samples, nullptr);
  EXPECT_EQ(raw.sample_count, 0u);

  PanoRawInfo info{};
  info.width = 7;
  char err2[512] = {};
  EXPECT_EQ(pano_raw_inspect(dir.file("missing.dng").c_str(), &info, err2, sizeof err2), rc);
  EXPECT_STREQ(err2, err);
  EXPECT_EQ(info.width, 7u) << "the record is written only on success";
}

TEST(Shim, DngDevelopsToWrittenColoursWithMetadata) {
  fx::TempDir dir;
  fx::DngFixtureOptions o;
  o.make = "DJI";
  o.model = "Avata 360";
  o.iso = 400;
  o.baseline_exposure = 0.75f;
  for (const bool big_endian : {false, true}) {
    o.big_endian = big_endian;
    const auto path = dir.file(big_endian ? "be_up.dng" : "le_up.dng");
    ASSERT_TRUE(fx::write_dng_fixture(path, quadrants(64, 48), o));

    char err[512] = {};
    PanoRawInfo info{};
    ASSERT_EQ(pano_raw_inspect(path.c_str(), &info, err, sizeof err), 0) << err;
    EXPECT_EQ(info.width, 64u);
    EXPECT_EQ(info.height, 48u);
    EXPECT_EQ(info.bits, 16);
    EXPECT_FLOAT_EQ(info.iso, 400.0f);
    EXPECT_FLOAT_EQ(info.baseline_exposure, 0.75f);
    EXPECT_STREQ(info.camera, "DJI Avata 360");

    PanoRawImage raw{};
    ASSERT_EQ(pano_raw_decode(path.c_str(), &raw, err, sizeof err), 0) << err;
    ASSERT_NE(raw.samples, nullptr);
    EXPECT_EQ(raw.width, 64u);
    EXPECT_EQ(raw.height, 48u);
    EXPECT_EQ(raw.bits, 16);
    EXPECT_EQ(raw.channels, 3);
    EXPECT_EQ(raw.sample_count, 64u * 48u * 3u);
    EXPECT_FLOAT_EQ(raw.iso, 400.0f);
    EXPECT_FLOAT_EQ(raw.baseline_exposure, 0.75f);
    EXPECT_STREQ(raw.camera, "DJI Avata 360");
    // Quadrant centres, away from the demosaicing seams.
    const std::uint32_t centres[4][2] = {{16, 12}, {48, 12}, {16, 36}, {48, 36}};
    for (int q = 0; q < 4; ++q) {
      const std::size_t i = (std::size_t{centres[q][1]} * 64 + centres[q][0]) * 3;
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(raw.samples[i + static_cast<std::size_t>(c)] / 65535.0f, kQuadrants[q][c], 0.01f)
            << "quadrant " << q << " channel " << c << (big_endian ? " (big-endian)" : "");
    }
    pano_raw_free(&raw);
    EXPECT_EQ(raw.samples, nullptr);
    EXPECT_EQ(raw.sample_count, 0u);
    pano_raw_free(&raw);  // harmless twice
    pano_raw_free(nullptr);
  }
}

TEST(Shim, DngWithoutBaselineExposureReportsNaN) {
  fx::TempDir dir;
  fx::DngFixtureOptions o;
  o.baseline_exposure.reset();
  o.iso.reset();
  const auto path = dir.file("plain.dng");
  ASSERT_TRUE(fx::write_dng_fixture(path, quadrants(32, 32), o));
  char err[512] = {};
  PanoRawInfo info{};
  ASSERT_EQ(pano_raw_inspect(path.c_str(), &info, err, sizeof err), 0) << err;
  EXPECT_TRUE(std::isnan(info.baseline_exposure));
  EXPECT_EQ(info.iso, 0.0f);
}

TEST(Shim, LongCameraNamesFitTheRecord) {
  // LibRaw keeps at most 63 bytes each of make and model, so "<make> <model>"
  // never exceeds the record's 127 bytes of text.
  fx::TempDir dir;
  fx::DngFixtureOptions o;
  o.make = std::string(100, 'K');
  o.model = std::string(200, 'M');
  const auto path = dir.file("long.dng");
  ASSERT_TRUE(fx::write_dng_fixture(path, quadrants(32, 32), o));
  char err[512] = {};
  PanoRawInfo info{};
  ASSERT_EQ(pano_raw_inspect(path.c_str(), &info, err, sizeof err), 0) << err;
  const std::string camera(info.camera);
  EXPECT_LE(camera.size(), 127u);
  EXPECT_EQ(camera.substr(0, 3), "KKK");
  EXPECT_EQ(camera.back(), 'M');
}

TEST(Shim, BrokenRawFilesFailCleanly) {
  fx::TempDir dir;
  const fx::Bytes good = fx::dng_bytes(quadrants(64, 48));
  fx::DngFixtureOptions huge;
  huge.declared_width = 60000;
  huge.declared_height = 60000;
  const std::pair<const char*, fx::Bytes> files[] = {
      {"empty.dng", {}},
      {"text.dng", fx::Bytes{'n', 'o', 't', ' ', 'a', ' ', 'd', 'n', 'g'}},
      {"header_only.dng", fx::truncated(good, 8)},
      {"half_ifd.dng", fx::truncated(good, 100)},
      {"scrambled_ifd.dng", fx::corrupted(good, 8, 300, 7)},
      {"half_data.dng", fx::truncated(good, good.size() / 2)},
      {"last_row_missing.dng", fx::truncated(good, good.size() - 64 * 2)},
      {"huge.dng", fx::dng_bytes(quadrants(64, 48), huge)},
  };
  for (const auto& [name, bytes] : files) {
    const auto path = dir.file(name);
    ASSERT_TRUE(fx::write_bytes(path, bytes));
    char err[512] = {};
    PanoRawImage raw{};
    const int rc = pano_raw_decode(path.c_str(), &raw, err, sizeof err);
    EXPECT_NE(rc, 0) << name;
    EXPECT_STRNE(err, "") << name;
    EXPECT_EQ(raw.samples, nullptr) << name;
  }
  // A directory given as a source.
  char err[512] = {};
  PanoRawImage raw{};
  EXPECT_NE(pano_raw_decode(dir.path().c_str(), &raw, err, sizeof err), 0);
  EXPECT_EQ(raw.samples, nullptr);
}

TEST(Shim, OversizedDngIsRefusedBeforeUnpacking) {
  fx::TempDir dir;
  fx::DngFixtureOptions huge;
  huge.declared_width = 60000;
  huge.declared_height = 60000;
  const auto path = dir.file("huge.dng");
  ASSERT_TRUE(fx::write_dng_fixture(path, quadrants(64, 48), huge));
  char err[512] = {};
  PanoRawInfo info{};
  // Identification allocates no pixels and reports the claimed size.
  ASSERT_EQ(pano_raw_inspect(path.c_str(), &info, err, sizeof err), 0) << err;
  EXPECT_EQ(info.width, 60000u);
  EXPECT_EQ(info.height, 60000u);
  PanoRawImage raw{};
  EXPECT_EQ(pano_raw_decode(path.c_str(), &raw, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid or oversized DNG dimensions");
  EXPECT_EQ(raw.samples, nullptr);
}

TEST(Shim, JpegDecodesPackedRgb) {
  const auto rgb = gradient_rgb(20, 12);
  const fx::Bytes jpeg = fx::jpeg_bytes(rgb, 20, 12, {.quality = 100});
  char err[512] = {};
  PanoJpegImage img{};
  ASSERT_EQ(pano_jpeg_decode(jpeg.data(), jpeg.size(), &img, err, sizeof err), 0) << err;
  ASSERT_NE(img.samples, nullptr);
  EXPECT_EQ(img.width, 20u);
  EXPECT_EQ(img.height, 12u);
  EXPECT_EQ(img.byte_count, 20u * 12u * 3u);
  int worst = 0;
  for (std::size_t i = 0; i < rgb.size(); ++i) worst = std::max(worst, std::abs(img.samples[i] - rgb[i]));
  EXPECT_LE(worst, 3);
  pano_jpeg_free(&img);
  EXPECT_EQ(img.samples, nullptr);
  EXPECT_EQ(img.byte_count, 0u);
  pano_jpeg_free(&img);
  pano_jpeg_free(nullptr);
}

TEST(Shim, GreyscaleJpegComesOutWithEqualChannels) {
  const fx::Bytes jpeg = fx::jpeg_bytes(gradient_rgb(16, 16), 16, 16, {.greyscale = true});
  char err[512] = {};
  PanoJpegImage img{};
  ASSERT_EQ(pano_jpeg_decode(jpeg.data(), jpeg.size(), &img, err, sizeof err), 0) << err;
  for (std::size_t p = 0; p < 16u * 16u; ++p) {
    ASSERT_EQ(img.samples[p * 3], img.samples[p * 3 + 1]);
    ASSERT_EQ(img.samples[p * 3], img.samples[p * 3 + 2]);
  }
  pano_jpeg_free(&img);
}

TEST(Shim, BrokenJpegsFailWithLibraryTextAndNoBuffer) {
  const fx::Bytes good = fx::jpeg_bytes(gradient_rgb(32, 32), 32, 32);
  const std::pair<const char*, fx::Bytes> inputs[] = {
      {"not a jpeg", fx::Bytes{'h', 'e', 'l', 'l', 'o'}},
      {"soi only", fx::truncated(good, 2)},
      {"header cut", fx::truncated(good, 40)},
      {"data cut", fx::truncated(good, good.size() / 2)},
      {"png", fx::png_bytes(gradient_rgb(8, 8), 8, 8)},
  };
  for (const auto& [name, bytes] : inputs) {
    char err[512] = {};
    PanoJpegImage img{};
    EXPECT_EQ(pano_jpeg_decode(bytes.data(), bytes.size(), &img, err, sizeof err), -1) << name;
    EXPECT_STRNE(err, "") << name;
    EXPECT_EQ(img.samples, nullptr) << name;
    EXPECT_EQ(img.byte_count, 0u) << name;
  }
}

TEST(Shim, JpegClaimingHugeDimensionsFailsBeforeAllocating) {
  const fx::Bytes good = fx::jpeg_bytes(gradient_rgb(16, 16), 16, 16);
  for (const auto& [w, h] : {std::pair{60000, 60000}, std::pair{65500, 3100}}) {
    const fx::Bytes huge = fx::with_jpeg_dimensions(good, static_cast<std::uint16_t>(w),
                                                    static_cast<std::uint16_t>(h));
    char err[512] = {};
    PanoJpegImage img{};
    EXPECT_EQ(pano_jpeg_decode(huge.data(), huge.size(), &img, err, sizeof err), -1);
    EXPECT_STREQ(err, "Invalid or oversized JPEG dimensions");
    EXPECT_EQ(img.samples, nullptr);
  }
}

}  // namespace
}  // namespace stitch
