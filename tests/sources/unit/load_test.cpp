// Loading sources into linear floats, bilinear sampling and synthetic images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "image_io/image_io.hpp"
#include "native/pano_native.h"
#include "support/fixtures.hpp"

namespace stitch {
namespace {

namespace fx = fixtures;
namespace fs = std::filesystem;

std::vector<std::uint8_t> pattern_rgb(std::uint32_t w, std::uint32_t h) {
  return fx::rgb8_image(w, h, [](std::uint32_t x, std::uint32_t y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 11), static_cast<std::uint8_t>(y * 7),
                                       static_cast<std::uint8_t>((x + y) * 5)};
  });
}

TEST(SrgbTable, HoldsTheDecodingFunctionValues) {
  const auto& t = srgb8_to_linear_table();
  EXPECT_EQ(t[0], 0.0f);
  EXPECT_EQ(t[255], 1.0f);
  // 10 / 255 lies on the linear segment, 11 / 255 on the power segment.
  EXPECT_EQ(t[10], (10.0f / 255.0f) / 12.92f);
  EXPECT_EQ(t[11], std::pow((11.0f / 255.0f + 0.055f) / 1.055f, 2.4f));
  for (int s = 0; s < 256; ++s) {
    const double v = s / 255.0;
    const double reference = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    EXPECT_NEAR(t[static_cast<std::size_t>(s)], reference, 1e-6 * std::max(reference, 1e-3)) << s;
    if (s > 0) {
      EXPECT_GT(t[static_cast<std::size_t>(s)], t[static_cast<std::size_t>(s - 1)]);
    }
  }
}

TEST(LoadSource, JpegSamplesGoThroughTheTable) {
  fx::TempDir dir;
  const auto path = dir.file("x_up.jpg");
  const fx::Bytes jpeg = fx::jpeg_bytes(pattern_rgb(23, 17), 23, 17, {.quality = 90});
  ASSERT_TRUE(fx::write_bytes(path, jpeg));
  const Result<LinearImage> r = load_source(path);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->width, 23u);
  EXPECT_EQ(r->height, 17u);
  EXPECT_FALSE(r->raw);
  EXPECT_FALSE(r->camera);
  EXPECT_FALSE(r->iso);
  EXPECT_FALSE(r->baseline_exposure_ev);

  char err[512] = {};
  PanoJpegImage decoded{};
  ASSERT_EQ(pano_jpeg_decode(jpeg.data(), jpeg.size(), &decoded, err, sizeof err), 0);
  ASSERT_EQ(r->pixels.size(), decoded.byte_count);
  const auto& table = srgb8_to_linear_table();
  for (std::size_t i = 0; i < r->pixels.size(); ++i)
    ASSERT_EQ(r->pixels[i], table[decoded.samples[i]]) << i;
  pano_jpeg_free(&decoded);
}

TEST(LoadSource, GreyscaleJpegLoadsWithEqualChannels) {
  fx::TempDir dir;
  const auto path = dir.file("grey_up.jpg");
  ASSERT_TRUE(fx::write_jpeg_fixture(path, pattern_rgb(16, 8), 16, 8, {.greyscale = true}));
  const Result<LinearImage> r = load_source(path);
  ASSERT_TRUE(r) << r.error().display();
  for (std::size_t p = 0; p < 16u * 8u; ++p) {
    ASSERT_EQ(r->pixels[p * 3], r->pixels[p * 3 + 1]);
    ASSERT_EQ(r->pixels[p * 3], r->pixels[p * 3 + 2]);
  }
}

TEST(LoadSource, ExifOrientationIsNotApplied) {
  fx::TempDir dir;
  const auto path = dir.file("turned_up.jpg");
  fx::JpegOptions o;
  o.exif_orientation = 6;  // "rotate 90 CW" for viewers
  o.xmp = fx::dji_xmp(0, 0, 0);
  ASSERT_TRUE(fx::write_jpeg_fixture(path, pattern_rgb(30, 10), 30, 10, o));
  const Result<LinearImage> r = load_source(path);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->width, 30u);
  EXPECT_EQ(r->height, 10u);
}

TEST(LoadSource, DngDevelopsToItsColoursWithMetadata) {
  fx::TempDir dir;
  const LinearImage written = synthetic(48, 32, [](std::uint32_t x, std::uint32_t) {
    return x < 24 ? Rgb{0.5f, 0.25f, 0.125f} : Rgb{0.05f, 0.3f, 0.6f};
  });
  struct Case {
    const char* name;
    std::optional<std::uint16_t> iso;
    std::optional<float> baseline;
    std::optional<float> expected_iso;
    std::optional<float> expected_baseline;
  };
  const Case cases[] = {
      {"a_up.dng", 800, 0.25f, 800.0f, 0.25f},
      {"b_up.dng", 0, -8.0f, std::nullopt, -5.0f},
      {"c_up.dng", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    fx::DngFixtureOptions o;
    o.iso = c.iso;
    o.baseline_exposure = c.baseline;
    const auto path = dir.file(c.name);
    ASSERT_TRUE(fx::write_dng_fixture(path, written, o));
    const Result<LinearImage> r = load_source(path);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_TRUE(r->raw);
    EXPECT_EQ(r->width, 48u);
    EXPECT_EQ(r->height, 32u);
    EXPECT_EQ(r->camera, "DJI Avata 360");
    EXPECT_EQ(r->iso, c.expected_iso) << c.name;
    EXPECT_EQ(r->baseline_exposure_ev, c.expected_baseline) << c.name;
    for (const auto& [x, y] : {std::pair{10u, 16u}, std::pair{38u, 16u}}) {
      const Rgb want = x < 24 ? Rgb{0.5f, 0.25f, 0.125f} : Rgb{0.05f, 0.3f, 0.6f};
      for (std::size_t ch = 0; ch < 3; ++ch)
        EXPECT_NEAR(r->pixels[(y * 48 + x) * 3 + ch], want[ch], 0.01f) << x << "," << y << " ch " << ch;
    }
    for (const float v : r->pixels) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
  }
}

TEST(LoadSource, Failures) {
  fx::TempDir dir;
  const fx::Bytes jpeg = fx::jpeg_bytes(pattern_rgb(16, 16), 16, 16);
  ASSERT_TRUE(fx::write_bytes(dir.file("empty.jpg"), {}));
  ASSERT_TRUE(fx::write_bytes(dir.file("cut.jpg"), fx::truncated(jpeg, jpeg.size() / 2)));
  ASSERT_TRUE(fx::write_bytes(dir.file("huge.jpg"), fx::with_jpeg_dimensions(jpeg, 60000, 60000)));
  ASSERT_TRUE(fx::write_bytes(dir.file("png.jpg"), fx::png_bytes(pattern_rgb(4, 4), 4, 4)));
  ASSERT_TRUE(fx::write_bytes(dir.file("bad.dng"), fx::corrupted(jpeg, 0, 64)));
  fs::create_directory(dir.file("folder.jpg"));

  struct Case {
    fs::path path;
    ErrorKind kind;
    std::string display;  // empty: only the prefix is checked
  };
  const Case cases[] = {
      {dir.file("x.tif"), ErrorKind::UnsupportedFormat,
       "Unsupported input format: " + dir.file("x.tif").string()},
      {dir.file("missing.jpg"), ErrorKind::Io, ""},
      {dir.file("folder.jpg"), ErrorKind::Io, ""},
      {dir.file("empty.jpg"), ErrorKind::JpegDecode, "Could not decode JPEG: The JPEG file is empty"},
      {dir.file("cut.jpg"), ErrorKind::JpegDecode, ""},
      {dir.file("png.jpg"), ErrorKind::JpegDecode, ""},
      {dir.file("huge.jpg"), ErrorKind::JpegDecode,
       "Could not decode JPEG: Invalid or oversized JPEG dimensions"},
      {dir.file("missing.dng"), ErrorKind::DngDecode, ""},
      {dir.file("bad.dng"), ErrorKind::DngDecode, ""},
      {fs::path(std::string("x\0y.dng", 7)), ErrorKind::DngDecode,
       "Could not decode DNG: DNG path contains a null byte"},
  };
  for (const Case& c : cases) {
    const Result<LinearImage> r = load_source(c.path);
    ASSERT_FALSE(r) << c.path;
    EXPECT_EQ(r.error().kind(), c.kind) << c.path << ": " << r.error().display();
    if (!c.display.empty()) {
      EXPECT_EQ(r.error().display(), c.display);
    }
    EXPECT_FALSE(r.error().text().empty()) << c.path;
  }
}

LinearImage three_by_two() {
  LinearImage img;
  img.width = 3;
  img.height = 2;
  // Row 0: (0,0,0) (1,2,3) (4,4,4); row 1: (10,10,10) (20,20,20) (30,30,30)
  img.pixels = {0, 0, 0, 1, 2, 3, 4, 4, 4, 10, 10, 10, 20, 20, 20, 30, 30, 30};
  return img;
}

TEST(SampleBilinear, EdgesAndInterior) {
  const LinearImage img = three_by_two();
  struct Case {
    float x;
    float y;
    std::optional<Rgb> expected;
  };
  const float nan = std::nanf("");
  const Case cases[] = {
      {0.0f, 0.0f, Rgb{0, 0, 0}},
      {-0.001f, 0.0f, std::nullopt},
      {0.0f, -0.001f, std::nullopt},
      {2.001f, 0.0f, std::nullopt},  // width - 1 + 0.001
      {0.0f, 1.001f, std::nullopt},
      {0.5f, 0.0f, Rgb{0.5f, 1.0f, 1.5f}},  // mean of the first two pixels
      {2.0f, 1.0f, Rgb{30, 30, 30}},        // bottom-right pixel exactly
      {2.0f, 0.5f, Rgb{17, 17, 17}},        // last column blends with itself
      {1.0f, 0.25f, Rgb{5.75f, 6.5f, 7.25f}},
      {1.5f, 0.5f, Rgb{13.75f, 14, 14.25f}},
      {nan, 0.0f, std::nullopt},
      {0.0f, nan, std::nullopt},
      {INFINITY, 0.0f, std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<Rgb> s = sample_bilinear(img, c.x, c.y);
    ASSERT_EQ(s.has_value(), c.expected.has_value()) << c.x << "," << c.y;
    if (s) {
      for (std::size_t ch = 0; ch < 3; ++ch) EXPECT_FLOAT_EQ((*s)[ch], (*c.expected)[ch]) << c.x << "," << c.y;
    }
  }
  EXPECT_FALSE(sample_bilinear(LinearImage{}, 0.0f, 0.0f));
}

TEST(Synthetic, CallsRowByRowAndTagsTheCamera) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
  const LinearImage img = synthetic(2, 1, [&](std::uint32_t x, std::uint32_t y) {
    calls.emplace_back(x, y);
    return Rgb{static_cast<float>(x), 0.5f, 1.0f};
  });
  EXPECT_EQ(calls, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0}, {1, 0}}));
  EXPECT_EQ(img.pixels, (std::vector<float>{0.0f, 0.5f, 1.0f, 1.0f, 0.5f, 1.0f}));
  EXPECT_EQ(img.camera, "Synthetic fixture");
  EXPECT_FALSE(img.iso);
  EXPECT_FALSE(img.baseline_exposure_ev);
  EXPECT_FALSE(img.raw);

  calls.clear();
  synthetic(2, 3, [&](std::uint32_t x, std::uint32_t y) {
    calls.emplace_back(x, y);
    return Rgb{};
  });
  EXPECT_EQ(calls, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                       {0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}}));
}

}  // namespace
}  // namespace stitch
