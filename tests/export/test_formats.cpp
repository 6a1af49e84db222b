// The JPEG and 16-bit PNG writers, read back with TurboJPEG, libpng and zlib.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "export/export.hpp"
#include "export_test_util.hpp"

namespace stitch {
namespace {

using test::ScratchDir;

std::vector<std::uint8_t> gradient8(std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h * 3);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = &px[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = static_cast<std::uint8_t>(x * 255 / (w - 1));
      p[1] = static_cast<std::uint8_t>(y * 255 / (h - 1));
      p[2] = 128;
    }
  }
  return px;
}

std::vector<std::uint16_t> noise16(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
  std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h * 3);
  std::uint32_t s = seed;
  for (std::size_t i = 0; i < px.size(); ++i) {
    s = s * 1664525u + 1013904223u;
    // Mostly smooth with noise on top, plus exact black and white samples.
    const std::uint32_t base = static_cast<std::uint32_t>((i / 3) % w) * 65535 / w;
    std::uint32_t v = base + (s >> 24);
    if (i % 97 == 0) v = 0;
    if (i % 89 == 0) v = 65535;
    px[i] = static_cast<std::uint16_t>(std::min<std::uint32_t>(v, 65535));
  }
  return px;
}

// ---- JPEG -------------------------------------------------------------------

struct SubsamplingCase {
  int quality;
  int tj_subsamp;
  std::uint8_t luma_sampling;  // SOF0 H/V byte of the Y component
};

TEST(WriteJpeg, SubsamplingFollowsQuality) {
  const SubsamplingCase cases[] = {
      {0, TJSAMP_420, 0x22},  {1, TJSAMP_420, 0x22},   {50, TJSAMP_420, 0x22},
      {89, TJSAMP_420, 0x22}, {90, TJSAMP_444, 0x11},  {100, TJSAMP_444, 0x11},
      {255, TJSAMP_444, 0x11},
  };
  const std::uint32_t w = 48, h = 24;
  const std::vector<std::uint8_t> px = gradient8(w, h);
  ScratchDir dir;
  for (const SubsamplingCase& c : cases) {
    const auto path = dir / ("q" + std::to_string(c.quality) + ".jpg");
    ASSERT_TRUE(write_jpeg(path, w, h, px, c.quality).has_value()) << c.quality;
    const std::vector<std::uint8_t> bytes = test::read_bytes(path);
    const auto decoded = test::decode_jpeg(bytes);
    ASSERT_TRUE(decoded.has_value()) << c.quality;
    EXPECT_EQ(decoded->width, static_cast<int>(w));
    EXPECT_EQ(decoded->height, static_cast<int>(h));
    EXPECT_EQ(decoded->subsamp, c.tj_subsamp) << c.quality;

    const auto segs = test::jpeg_segments(bytes);
    bool saw_sof = false;
    for (const auto& s : segs) {
      EXPECT_NE(s.marker, 0xC2) << "progressive";
      EXPECT_NE(s.marker, 0xDD) << "restart interval";
      EXPECT_NE(s.marker, 0xE1) << "no APP1 without a packet";
      if (s.marker == 0xC0) {
        saw_sof = true;
        ASSERT_EQ(s.payload.size(), 15u);
        EXPECT_EQ(s.payload[5], 3);  // components
        EXPECT_EQ(s.payload[7], c.luma_sampling);
        EXPECT_EQ(s.payload[10], 0x11);
        EXPECT_EQ(s.payload[13], 0x11);
      }
    }
    EXPECT_TRUE(saw_sof) << "baseline SOF0 expected";
  }
}

TEST(WriteJpeg, JfifStandardTablesAndFaithfulPixels) {
  const std::uint32_t w = 64, h = 32;
  const std::vector<std::uint8_t> px = gradient8(w, h);
  Result<std::vector<std::uint8_t>> jpeg = encode_jpeg(w, h, px, 95);
  ASSERT_TRUE(jpeg.has_value());
  const auto segs = test::jpeg_segments(*jpeg);
  ASSERT_FALSE(segs.empty());
  EXPECT_EQ(segs[0].marker, 0xE0);
  EXPECT_EQ(std::string(segs[0].payload.begin(), segs[0].payload.begin() + 5),
            std::string("JFIF\0", 5));
  // The first DHT holds the standard luminance DC table (not an optimised one).
  const std::vector<std::uint8_t> std_dc_bits = {0x00, 0, 1, 5, 1, 1, 1, 1, 1,
                                                 1,    0, 0, 0, 0, 0, 0, 0};
  bool checked = false;
  for (const auto& s : segs) {
    if (s.marker == 0xC4 && !checked) {
      checked = true;
      ASSERT_GE(s.payload.size(), std_dc_bits.size());
      EXPECT_TRUE(std::equal(std_dc_bits.begin(), std_dc_bits.end(), s.payload.begin()));
    }
  }
  EXPECT_TRUE(checked);

  const auto decoded = test::decode_jpeg(*jpeg);
  ASSERT_TRUE(decoded.has_value());
  double err = 0;
  for (std::size_t i = 0; i < px.size(); ++i) err += std::abs(int(px[i]) - int(decoded->rgb[i]));
  EXPECT_LT(err / static_cast<double>(px.size()), 2.0);
}

TEST(WriteJpeg, QualityIsClampedToOneAndHundred) {
  const std::uint32_t w = 16, h = 8;
  const std::vector<std::uint8_t> px = gradient8(w, h);
  EXPECT_EQ(*encode_jpeg(w, h, px, 0), *encode_jpeg(w, h, px, 1));
  EXPECT_EQ(*encode_jpeg(w, h, px, 255), *encode_jpeg(w, h, px, 100));
  EXPECT_NE(*encode_jpeg(w, h, px, 1), *encode_jpeg(w, h, px, 100));
}

TEST(WriteJpeg, PacketGoesBeforeJfif) {
  const std::uint32_t w = 16, h = 8;
  const std::vector<std::uint8_t> px = gradient8(w, h);
  const std::string packet = "<x:xmpmeta/>";
  Result<std::vector<std::uint8_t>> jpeg = encode_jpeg(w, h, px, 80, packet);
  ASSERT_TRUE(jpeg.has_value());
  const auto segs = test::jpeg_segments(*jpeg);
  ASSERT_GE(segs.size(), 2u);
  EXPECT_EQ(segs[0].marker, 0xE1);
  EXPECT_EQ(std::string(segs[0].payload.begin() + 29, segs[0].payload.end()), packet);
  EXPECT_EQ(segs[1].marker, 0xE0);
  EXPECT_TRUE(test::decode_jpeg(*jpeg).has_value());
}

TEST(WriteJpeg, WrongBufferLengthWritesNothing) {
  ScratchDir dir;
  const auto path = dir / "bad.jpg";
  const std::vector<std::uint8_t> px(16 * 8 * 3 - 1);
  Status st = write_jpeg(path, 16, 8, px, 90);
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().display(), "Export failed: Invalid RGB8 buffer length");
  EXPECT_EQ(st.error().code(), ErrorCode::WriteFailed);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(WriteJpeg, SafelyReplacesTheDestination) {
  ScratchDir dir;
  const auto path = dir / "preview.jpg";
  test::write_text(path, "old preview");
  const std::vector<std::uint8_t> px = gradient8(32, 16);
  ASSERT_TRUE(write_jpeg_safely(path, 32, 16, px, 90).has_value());
  const auto decoded = test::decode_jpeg(test::read_bytes(path));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->subsamp, TJSAMP_444);
  EXPECT_TRUE(test::hidden_files(dir.path()).empty());
}

TEST(WriteFileSafely, FailureLeavesDestinationAndNoTemporary) {
  ScratchDir dir;
  // A non-empty directory cannot be replaced by a file: the rename fails.
  const auto dest = dir / "taken";
  std::filesystem::create_directory(dest);
  test::write_text(dest / "keep", "x");
  const std::vector<std::uint8_t> bytes = {1, 2, 3};
  Status st = write_file_safely(dest, bytes);
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().code(), ErrorCode::IoError);
  EXPECT_TRUE(std::filesystem::is_directory(dest));
  EXPECT_EQ(test::read_text(dest / "keep"), "x");
  EXPECT_TRUE(test::hidden_files(dir.path()).empty());

  // A missing directory: nothing is created anywhere.
  Status missing = write_file_safely(dir / "no" / "such.jpg", bytes);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code(), ErrorCode::IoError);
  EXPECT_FALSE(std::filesystem::exists(dir / "no"));
}

// ---- PNG --------------------------------------------------------------------

TEST(Srgb16, EncodesTheTransferFunction) {
  struct Case {
    std::uint16_t in;
    std::uint16_t out;
  };
  // 100 and 205 lie in the linear segment (12.92 x); 65535 stays 65535.
  const Case cases[] = {{0, 0}, {1, 13}, {100, 1292}, {205, 2649}, {65535, 65535}};
  for (const Case& c : cases) EXPECT_EQ(srgb16_from_linear16(c.in), c.out) << c.in;
  for (std::uint32_t s = 1; s < 65536; ++s) {
    ASSERT_LE(srgb16_from_linear16(static_cast<std::uint16_t>(s - 1)),
              srgb16_from_linear16(static_cast<std::uint16_t>(s)));
  }
  // Mid grey: 1.055 * 0.5^(1/2.4) - 0.055 = 0.73536 -> 48193.
  EXPECT_NEAR(srgb16_from_linear16(32768), 48193, 2);
}

struct PngCase {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t rows_per_block;  // 0: automatic
  bool with_xmp;
};

TEST(WritePng, ReadsBackEveryPixelWithExactChunkLayout) {
  const PngCase cases[] = {
      {37, 61, 0, true},     // one block
      {37, 61, 1, false},    // a block per row; dictionary spans many rows
      {37, 61, 7, true},     // uneven last block
      {3000, 9, 2, false},   // rows longer than the deflate window
      {1, 1, 0, true},       // smallest image
      {5, 4, 1000, false},   // block larger than the image
  };
  ScratchDir dir;
  const std::string packet = "<?xpacket begin=\"\xEF\xBB\xBF\"?><x:xmpmeta/>";
  for (const PngCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " rows " +
                 std::to_string(c.rows_per_block));
    const std::vector<std::uint16_t> px = noise16(c.width, c.height, c.width * 7 + c.height);
    const auto path = dir / "out.png";
    std::optional<std::string_view> xmp;
    if (c.with_xmp) xmp = packet;
    ASSERT_TRUE(write_png(path, c.width, c.height, px, xmp, {c.rows_per_block}).has_value());
    const std::vector<std::uint8_t> bytes = test::read_bytes(path);

    const auto chunks = test::png_chunks(bytes);
    ASSERT_GE(chunks.size(), 3u);
    std::size_t i = 0;
    EXPECT_EQ(chunks[i++].type, "IHDR");
    if (c.with_xmp) {
      ASSERT_EQ(chunks[i].type, "iTXt");
      const std::string expected = std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + packet;
      EXPECT_EQ(std::string(chunks[i].data.begin(), chunks[i].data.end()), expected);
      ++i;
    }
    ASSERT_EQ(chunks[i].type, "IDAT");
    while (i < chunks.size() && chunks[i].type == "IDAT") ++i;
    ASSERT_EQ(i + 1, chunks.size());
    EXPECT_EQ(chunks.back().type, "IEND");
    for (const auto& ch : chunks) EXPECT_TRUE(ch.crc_ok) << ch.type;

    const auto& ihdr = chunks[0].data;
    ASSERT_EQ(ihdr.size(), 13u);
    EXPECT_EQ(ihdr[8], 16);  // bit depth
    EXPECT_EQ(ihdr[9], 2);   // RGB
    EXPECT_EQ(ihdr[10], 0);
    EXPECT_EQ(ihdr[11], 0);
    EXPECT_EQ(ihdr[12], 0);  // not interlaced

    // One complete zlib stream (Adler-32 included), Sub filter on every row.
    const std::size_t line = static_cast<std::size_t>(c.width) * 6 + 1;
    const auto raw = test::inflate_idat(chunks, line * c.height);
    ASSERT_TRUE(raw.has_value());
    ASSERT_EQ(raw->size(), line * c.height);
    for (std::uint32_t y = 0; y < c.height; ++y) ASSERT_EQ((*raw)[y * line], 1) << y;

    const auto decoded = test::decode_png(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->width, c.width);
    EXPECT_EQ(decoded->height, c.height);
    ASSERT_EQ(decoded->samples.size(), px.size());
    for (std::size_t k = 0; k < px.size(); ++k) {
      ASSERT_EQ(decoded->samples[k], srgb16_from_linear16(px[k])) << k;
    }
  }
}

TEST(WritePng, BlockSplitDoesNotChangePixels) {
  ScratchDir dir;
  const std::uint32_t w = 64, h = 40;
  const std::vector<std::uint16_t> px = noise16(w, h, 5);
  ASSERT_TRUE(write_png(dir / "a.png", w, h, px, std::nullopt, {1}).has_value());
  ASSERT_TRUE(write_png(dir / "b.png", w, h, px, std::nullopt, {h}).has_value());
  const auto a = test::decode_png(test::read_bytes(dir / "a.png"));
  const auto b = test::decode_png(test::read_bytes(dir / "b.png"));
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(a->samples, b->samples);
}

TEST(WritePng, WrongBufferLengthWritesNothing) {
  ScratchDir dir;
  const auto path = dir / "bad.png";
  const std::vector<std::uint16_t> px(4 * 2 * 3 + 1);
  Status st = write_png(path, 4, 2, px, std::nullopt);
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().display(), "Export failed: Invalid RGB16 buffer length");
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace stitch
