// Byte-level checks of the container layout: header, strips, directories,
// value placement, the DNG preview and the failure paths.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <memory>
#include <string>

#include "export/tiff/tiff.hpp"
#include "metadata/metadata.hpp"
#include "tiff_test_util.hpp"

namespace {

using namespace stitch;
using tifftest::Entry;
using tifftest::Ifd;
using tifftest::le16;
using tifftest::le32;
using tifftest::parse_ifd;
using tifftest::prophoto_reference;
using tifftest::read_bytes;

struct Written {
  std::vector<std::uint8_t> bytes;
  Ifd ifd0;
};

Written write_and_parse(const tifftest::ScratchDir& dir, std::uint32_t w, std::uint32_t h,
                        const std::vector<std::uint16_t>& px, bool dng,
                        std::optional<std::string_view> xmp = std::nullopt) {
  const auto path = dir.file(dng ? "out.dng" : "out.tif");
  const Status s = write_container(path, w, h, px, xmp, dng);
  EXPECT_TRUE(s.has_value()) << (s ? "" : s.error().display());
  Written out;
  out.bytes = read_bytes(path);
  EXPECT_GE(out.bytes.size(), 8u);
  if (out.bytes.size() < 8) return out;
  out.ifd0 = parse_ifd(out.bytes, le32(out.bytes, 4));
  return out;
}

std::vector<std::uint8_t> inflate_strip(const std::vector<std::uint8_t>& file, std::uint32_t off,
                                        std::uint32_t len, std::size_t raw_len) {
  std::vector<std::uint8_t> raw(raw_len + 16);
  uLongf out_len = static_cast<uLongf>(raw.size());
  const int rc = uncompress(raw.data(), &out_len, file.data() + off, len);
  EXPECT_EQ(rc, Z_OK);
  raw.resize(out_len);
  return raw;
}

// ---- strips -------------------------------------------------------------------

struct StripCase {
  std::uint32_t height;
  std::uint32_t strips;
  std::uint32_t last_rows;
};

class StripLayout : public ::testing::TestWithParam<std::tuple<StripCase, bool>> {};

TEST_P(StripLayout, StripsCoverRowsBackToBack) {
  const auto [c, dng] = GetParam();
  const std::uint32_t w = 5;
  const auto px = tifftest::synthetic_rgb16(w, c.height);
  tifftest::ScratchDir dir;
  const Written out = write_and_parse(dir, w, c.height, px, dng);
  ASSERT_EQ(out.bytes[0], 'I');
  ASSERT_EQ(out.bytes[1], 'I');
  ASSERT_EQ(le16(out.bytes, 2), 42);

  const auto offsets = out.ifd0.longs(273);
  const auto counts = out.ifd0.longs(279);
  ASSERT_EQ(offsets.size(), c.strips);
  ASSERT_EQ(counts.size(), c.strips);
  EXPECT_EQ(out.ifd0.longs(278), std::vector<std::uint32_t>{32});

  std::uint32_t expect_offset = 8;
  for (std::uint32_t k = 0; k < c.strips; ++k) {
    EXPECT_EQ(offsets[k], expect_offset) << "strip " << k;
    expect_offset += counts[k];
    const std::uint32_t rows = k + 1 == c.strips ? c.last_rows : 32;
    const std::size_t raw_len = std::size_t{rows} * w * 6;
    std::vector<std::uint8_t> raw;
    if (dng) {
      ASSERT_EQ(counts[k], raw_len);
      raw.assign(out.bytes.begin() + offsets[k], out.bytes.begin() + offsets[k] + counts[k]);
    } else {
      raw = inflate_strip(out.bytes, offsets[k], counts[k], raw_len);
      ASSERT_EQ(raw.size(), raw_len) << "strip " << k;
    }
    for (std::size_t i = 0; i < raw_len / 6; ++i) {
      const std::uint16_t* src = &px[(std::size_t{k} * 32 * w + i) * 3];
      const std::array<std::uint16_t, 3> want =
          dng ? std::array<std::uint16_t, 3>{src[0], src[1], src[2]} : prophoto_reference(src);
      for (int ch = 0; ch < 3; ++ch) {
        ASSERT_EQ(le16(raw, i * 6 + 2 * ch), want[ch]) << "strip " << k << " pixel " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Heights, StripLayout,
                         ::testing::Combine(::testing::Values(StripCase{32, 1, 32},
                                                              StripCase{33, 2, 1},
                                                              StripCase{4096, 128, 32},
                                                              StripCase{1, 1, 1}),
                                            ::testing::Bool()));

TEST(Container, ParallelAndSequentialCompressionGiveTheSameFile) {
  const std::uint32_t w = 301, h = 397;
  const auto px = tifftest::synthetic_rgb16(w, h, 7);
  tifftest::ScratchDir dir;
  ASSERT_TRUE(write_container(dir.file("p.tif"), w, h, px, "<x/>", false,
                              StripCompression::Parallel));
  ASSERT_TRUE(write_container(dir.file("s.tif"), w, h, px, "<x/>", false,
                              StripCompression::Sequential));
  const auto a = read_bytes(dir.file("p.tif"));
  const auto b = read_bytes(dir.file("s.tif"));
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a == b);
}

// ---- directories ----------------------------------------------------------------

// Every byte after the pixel data is an out-of-line value or a directory, in
// the order they were written, each at an even offset after at most one
// zero pad byte.
void expect_packed_values(const std::vector<std::uint8_t>& file, const Ifd& ifd,
                          std::uint32_t data_end) {
  std::uint32_t at = data_end;
  std::uint16_t prev_tag = 0;
  bool first = true;
  for (const Entry& e : ifd.entries) {
    if (!first) {
      EXPECT_LT(prev_tag, e.tag) << "tags must ascend";
    }
    first = false;
    prev_tag = e.tag;
    if (e.inline_value) {
      for (std::size_t i = e.value.size(); i < 4; ++i) {
        EXPECT_EQ((e.field >> (8 * i)) & 0xFF, 0u) << "inline fill of tag " << e.tag;
      }
      continue;
    }
    EXPECT_EQ(e.field % 2, 0u) << "tag " << e.tag;
    if (at % 2 == 1) {
      EXPECT_EQ(file.at(at), 0) << "pad before tag " << e.tag;
      ++at;
    }
    EXPECT_EQ(e.field, at) << "value of tag " << e.tag;
    at = e.field + static_cast<std::uint32_t>(e.value.size());
  }
  if (at % 2 == 1) {
    EXPECT_EQ(file.at(at), 0);
    ++at;
  }
  EXPECT_EQ(ifd.offset, at);
  EXPECT_EQ(ifd.offset % 2, 0u);
  EXPECT_EQ(ifd.next, 0u);
}

TEST(Container, TiffDirectoryIsSortedPackedAndEven) {
  const std::uint32_t w = 7, h = 65;  // odd sizes give odd strip lengths
  const auto px = tifftest::synthetic_rgb16(w, h, 3);
  for (const std::string& xmp : {std::string("<odd/>"), std::string("<even/>!")}) {
    tifftest::ScratchDir dir;
    const Written out = write_and_parse(dir, w, h, px, false, xmp);
    const auto offsets = out.ifd0.longs(273);
    const auto counts = out.ifd0.longs(279);
    ASSERT_EQ(offsets.size(), 3u);
    expect_packed_values(out.bytes, out.ifd0, offsets.back() + counts.back());
    EXPECT_EQ(out.ifd0.offset + 2 + 12 * out.ifd0.entries.size() + 4, out.bytes.size());
  }
}

TEST(Container, DngDirectoriesAreSortedPackedAndEven) {
  const std::uint32_t w = 9, h = 3;  // 9 x 3 x 3 preview bytes: odd
  const auto px = tifftest::synthetic_rgb16(w, h, 4);
  tifftest::ScratchDir dir;
  const Written out = write_and_parse(dir, w, h, px, true, std::string_view("<odd/>"));
  const auto sub = out.ifd0.longs(330);
  ASSERT_EQ(sub.size(), 1u);
  const Ifd preview = parse_ifd(out.bytes, sub[0]);
  const auto strip = preview.longs(273);
  const auto strip_len = preview.longs(279);
  ASSERT_EQ(strip.size(), 1u);
  EXPECT_EQ(strip[0], 8u + w * h * 6);
  expect_packed_values(out.bytes, preview, strip[0] + strip_len[0]);
  expect_packed_values(out.bytes, out.ifd0,
                       preview.offset + 2 + 12 * static_cast<std::uint32_t>(preview.entries.size()) + 4);
}

TEST(Container, WriteIfdSortsStablyAndStoresFourByteValuesInline) {
  tifftest::ScratchDir dir;
  auto file = TiffFile::create(dir.file("ifd.bin"));
  ASSERT_TRUE(file.has_value());
  const std::array<std::uint8_t, 1> one = {0xAB};
  ASSERT_TRUE(file->write(one));  // odd position: the first value needs a pad
  std::vector<TiffEntry> entries;
  entries.push_back(tiff_ascii(40, "abcd"));   // 5 bytes: out of line
  entries.push_back(tiff_ascii(30, "abc"));    // 4 bytes: inline
  entries.push_back(tiff_longs(20, std::array<std::uint32_t, 1>{0xDEADBEEF}));
  entries.push_back(tiff_shorts(10, std::array<std::uint16_t, 1>{7}));
  entries.push_back(tiff_bytes(50, TiffType::Byte, std::array<std::uint8_t, 4>{1, 4, 0, 0}));
  auto dir_offset = write_ifd(*file, entries);
  ASSERT_TRUE(dir_offset.has_value());
  ASSERT_TRUE(file->close());

  const auto bytes = read_bytes(dir.file("ifd.bin"));
  EXPECT_EQ(bytes[1], 0);  // single pad byte
  EXPECT_EQ(std::string(bytes.begin() + 2, bytes.begin() + 7), std::string("abcd\0", 5));
  EXPECT_EQ(bytes[7], 0);  // pad before the directory
  EXPECT_EQ(*dir_offset, 8u);
  const Ifd ifd = parse_ifd(bytes, *dir_offset);
  ASSERT_EQ(ifd.entries.size(), 5u);
  const std::array<std::uint16_t, 5> tags = {10, 20, 30, 40, 50};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(ifd.entries[i].tag, tags[i]);
  EXPECT_EQ(ifd.entries[0].field, 7u);
  EXPECT_EQ(ifd.entries[1].field, 0xDEADBEEFu);
  EXPECT_EQ(ifd.entries[2].field, 0x00636261u);  // "abc\0" inline
  EXPECT_EQ(ifd.entries[2].count, 4u);
  EXPECT_EQ(ifd.entries[3].field, 2u);
  EXPECT_EQ(ifd.entries[3].count, 5u);
  EXPECT_EQ(ifd.entries[4].field, 0x00000401u);
  EXPECT_EQ(bytes.size(), 8u + 2 + 5 * 12 + 4);
}

TEST(Container, WriteIfdRejectsTooManyEntries) {
  tifftest::ScratchDir dir;
  auto file = TiffFile::create(dir.file("many.bin"));
  ASSERT_TRUE(file.has_value());
  std::vector<TiffEntry> entries(65536, tiff_shorts(1, std::array<std::uint16_t, 1>{0}));
  auto r = write_ifd(*file, entries);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "Export failed: Too many TIFF directory entries");
  entries.pop_back();
  EXPECT_TRUE(write_ifd(*file, std::move(entries)).has_value());
}

TEST(Container, OffsetsAtFourGibibytesAreRejected) {
  // /dev/null accepts writes without storing them, so the tracked position
  // can cross 2^32 cheaply.
  auto file = TiffFile::create("/dev/null");
  ASSERT_TRUE(file.has_value());
  const std::vector<std::uint8_t> chunk(std::size_t{1} << 24, 0);
  for (int i = 0; i < 255; ++i) ASSERT_TRUE(file->write(chunk));
  const std::vector<std::uint8_t> rest(chunk.size() - 2, 0);
  ASSERT_TRUE(file->write(rest));
  ASSERT_EQ(file->position(), (std::uint64_t{1} << 32) - 2);
  ASSERT_TRUE(file->position_u32().has_value());
  // The directory itself still starts below the limit.
  ASSERT_TRUE(write_ifd(*file, {tiff_shorts(1, std::array<std::uint16_t, 1>{0})}).has_value());
  ASSERT_FALSE(file->position_u32().has_value());
  const std::string limit =
      "Export failed: The output exceeded the 4 GiB classic TIFF/DNG limit; lower the output width";
  EXPECT_EQ(file->position_u32().error().display(), limit);
  auto r = write_ifd(*file, {tiff_ascii(1, "out of line")});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), limit);
}

// ---- entry tables ---------------------------------------------------------------

struct Expected {
  std::uint16_t tag;
  std::uint16_t type;
  std::vector<std::uint32_t> values;  // numbers of the type; ASCII as bytes
};

std::vector<std::uint8_t> encode(const Expected& e) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t v : e.values) {
    const std::size_t n = e.type == 3 ? 2 : (e.type == 4 || e.type == 5 || e.type == 10) ? 4 : 1;
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return out;
}

std::vector<std::uint32_t> text(std::string_view s) {
  std::vector<std::uint32_t> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

void expect_entries(const Ifd& ifd, const std::vector<Expected>& want) {
  ASSERT_EQ(ifd.entries.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    const Entry& e = ifd.entries[i];
    SCOPED_TRACE("tag " + std::to_string(want[i].tag));
    EXPECT_EQ(e.tag, want[i].tag);
    EXPECT_EQ(e.type, want[i].type);
    const std::vector<std::uint8_t> bytes = encode(want[i]);
    EXPECT_EQ(e.count * tifftest::type_size(e.type), bytes.size());
    EXPECT_EQ(e.value, bytes);
  }
}

std::uint32_t s32(std::int32_t v) { return static_cast<std::uint32_t>(v); }

TEST(Container, TiffMainDirectoryHoldsEveryEntry) {
  const std::uint32_t w = 4, h = 40;
  const auto px = tifftest::synthetic_rgb16(w, h);
  tifftest::ScratchDir dir;
  const std::string xmp = "<x:xmpmeta/>";
  const Written out = write_and_parse(dir, w, h, px, false, xmp);
  const auto offsets = out.ifd0.longs(273);
  const auto counts = out.ifd0.longs(279);
  ASSERT_EQ(offsets.size(), 2u);
  const auto& icc = prophoto_icc_profile();
  expect_entries(out.ifd0, {
      {254, 4, {0}},
      {256, 4, {w}},
      {257, 4, {h}},
      {258, 3, {16, 16, 16}},
      {259, 3, {8}},
      {262, 3, {2}},
      {273, 4, offsets},
      {274, 3, {1}},
      {277, 3, {3}},
      {278, 4, {32}},
      {279, 4, counts},
      {282, 5, {72, 1}},
      {283, 5, {72, 1}},
      {284, 3, {1}},
      {296, 3, {2}},
      {305, 2, text("Orvane Stitcher 0.1")},
      {317, 3, {1}},
      {339, 3, {1, 1, 1}},
      {700, 1, std::vector<std::uint32_t>(xmp.begin(), xmp.end())},
      {34675, 7, std::vector<std::uint32_t>(icc.begin(), icc.end())},
  });
}

TEST(Container, DngDirectoriesHoldEveryEntry) {
  const std::uint32_t w = 6, h = 3;
  const auto px = tifftest::synthetic_rgb16(w, h);
  tifftest::ScratchDir dir;
  const std::string xmp = "<x:xmpmeta>dng</x:xmpmeta>";
  const Written out = write_and_parse(dir, w, h, px, true, xmp);
  const auto sub = out.ifd0.longs(330);
  ASSERT_EQ(sub.size(), 1u);
  expect_entries(out.ifd0, {
      {254, 4, {0}},
      {256, 4, {w}},
      {257, 4, {h}},
      {258, 3, {16, 16, 16}},
      {259, 3, {1}},
      {262, 3, {34892}},
      {273, 4, {8}},
      {274, 3, {1}},
      {277, 3, {3}},
      {278, 4, {32}},
      {279, 4, {w * h * 6}},
      {282, 5, {72, 1}},
      {283, 5, {72, 1}},
      {284, 3, {1}},
      {296, 3, {2}},
      {305, 2, text("Orvane Stitcher 0.1")},
      {330, 4, sub},
      {339, 3, {1, 1, 1}},
      {700, 1, std::vector<std::uint32_t>(xmp.begin(), xmp.end())},
      {50706, 1, {1, 4, 0, 0}},
      {50707, 1, {1, 4, 0, 0}},
      {50708, 2, text("Orvane Stitched Linear Panorama")},
      {50714, 3, {0, 0, 0}},
      {50717, 4, {65535, 65535, 65535}},
      {50719, 4, {0, 0}},
      {50720, 4, {w, h}},
      {50721, 10, {3133856, 1000000, s32(-1616867), 1000000, s32(-490615), 1000000,
                   s32(-978768), 1000000, 1916142, 1000000, 33454, 1000000,
                   71945, 1000000, s32(-228991), 1000000, 1405243, 1000000}},
      {50728, 5, {1, 1, 1, 1, 1, 1}},
      {50778, 3, {23}},
  });
  EXPECT_TRUE(out.ifd0.find(50706)->inline_value);

  const Ifd preview = parse_ifd(out.bytes, sub[0]);
  const std::uint32_t preview_at = 8 + w * h * 6;
  expect_entries(preview, {
      {254, 4, {1}},
      {256, 4, {w}},
      {257, 4, {h}},
      {258, 3, {8, 8, 8}},
      {259, 3, {1}},
      {262, 3, {2}},
      {273, 4, {preview_at}},
      {274, 3, {1}},
      {277, 3, {3}},
      {278, 4, {h}},
      {279, 4, {w * h * 3}},
      {282, 5, {72, 1}},
      {283, 5, {72, 1}},
      {284, 3, {1}},
      {296, 3, {2}},
      {305, 2, text("Orvane Stitcher 0.1")},
  });
  EXPECT_EQ(preview.next, 0u);
  EXPECT_LT(preview.offset, out.ifd0.offset);
}

TEST(Container, MetadataFlagControlsXmpButNotTheTiffProfile) {
  const std::uint32_t w = 3, h = 2;
  const auto px = tifftest::synthetic_rgb16(w, h);
  tifftest::ScratchDir dir;
  const Written tif = write_and_parse(dir, w, h, px, false, std::nullopt);
  ASSERT_NE(tif.ifd0.find(34675), nullptr);
  EXPECT_EQ(tif.ifd0.find(34675)->value, prophoto_icc_profile());
  EXPECT_EQ(tif.ifd0.find(700), nullptr);

  const Written dng = write_and_parse(dir, w, h, px, true, std::nullopt);
  EXPECT_EQ(dng.ifd0.find(700), nullptr);
  EXPECT_EQ(dng.ifd0.find(34675), nullptr);

  const Written dng_xmp = write_and_parse(dir, w, h, px, true, std::string_view("<p/>"));
  ASSERT_NE(dng_xmp.ifd0.find(700), nullptr);
  EXPECT_EQ(dng_xmp.ifd0.find(34675), nullptr);
}

// ---- preview ----------------------------------------------------------------------

TEST(Preview, NarrowImagesKeepTheirSize) {
  const std::uint32_t w = 500, h = 250;
  const auto px = tifftest::synthetic_rgb16(w, h);
  const TiffPreview p = encode_preview(w, h, px);
  EXPECT_EQ(p.width, 500u);
  EXPECT_EQ(p.height, 250u);
  ASSERT_EQ(p.rgb.size(), std::size_t{500} * 250 * 3);
  EXPECT_EQ(p.rgb[0], 0);  // black corner
  EXPECT_EQ(p.rgb[p.rgb.size() - 1], 255);  // white corner
}

TEST(Preview, WidePanoramaTakesNearestRowsAndColumns) {
  const std::uint32_t w = 8192, h = 4096;
  const std::size_t n = std::size_t{w} * h * 3;
  // calloc leaves untouched pages unmapped, so only the sampled pixels cost
  // memory.
  std::unique_ptr<std::uint16_t, decltype(&std::free)> buf(
      static_cast<std::uint16_t*>(std::calloc(n, sizeof(std::uint16_t))), &std::free);
  ASSERT_NE(buf.get(), nullptr);
  std::uint16_t* s = buf.get();
  // Mark every pixel the preview samples: R encodes the row, G the column.
  for (std::uint32_t i = 0; i < 384; ++i) {
    const std::uint32_t sy = static_cast<std::uint32_t>(std::uint64_t{4096} * i / 384);
    for (std::uint32_t j = 0; j < 768; ++j) {
      const std::uint32_t sx = static_cast<std::uint32_t>(std::uint64_t{j} * 8192 / 768);
      std::uint16_t* p = s + (std::size_t{sy} * w + sx) * 3;
      p[0] = static_cast<std::uint16_t>(65535 * (i % 2));
      p[1] = static_cast<std::uint16_t>(65535 * (j % 2));
      p[2] = 65535;
    }
  }
  const TiffPreview p = encode_preview(w, h, std::span<const std::uint16_t>(s, n));
  ASSERT_EQ(p.width, 768u);
  ASSERT_EQ(p.height, 384u);
  ASSERT_EQ(p.rgb.size(), std::size_t{768} * 384 * 3);
  for (std::uint32_t i = 0; i < 384; ++i) {
    for (std::uint32_t j = 0; j < 768; ++j) {
      const std::uint8_t* q = &p.rgb[(std::size_t{i} * 768 + j) * 3];
      ASSERT_EQ(q[0], 255 * (i % 2)) << i << "," << j;
      ASSERT_EQ(q[1], 255 * (j % 2)) << i << "," << j;
      ASSERT_EQ(q[2], 255) << i << "," << j;
    }
  }
}

TEST(Preview, SamplesAreSrgbEncoded) {
  // Linear 0.0031308 and below (205 / 65535) use the linear segment; 0.5
  // linear is about 188.
  struct Case {
    std::uint16_t in;
    std::uint8_t out;
  };
  for (const Case c : {Case{0, 0}, Case{65535, 255}, Case{32768, 188}, Case{205, 10},
                       Case{13, 1}}) {
    const std::array<std::uint16_t, 3> px = {c.in, c.in, c.in};
    const TiffPreview p = encode_preview(1, 1, px);
    ASSERT_EQ(p.rgb.size(), 3u);
    EXPECT_EQ(p.rgb[0], c.out) << c.in;
  }
}

// ---- pixels and failures ------------------------------------------------------------

TEST(Container, WhiteAndBlackSurviveTheProPhotoConversion) {
  const std::array<std::uint16_t, 3> white = {65535, 65535, 65535};
  const std::array<std::uint16_t, 3> black = {0, 0, 0};
  std::uint16_t out[3];
  prophoto_encode_pixel(white.data(), out);
  for (std::uint16_t v : out) EXPECT_GE(v, 65534);
  prophoto_encode_pixel(black.data(), out);
  for (std::uint16_t v : out) EXPECT_EQ(v, 0);
}

TEST(Container, WrongBufferLengthFailsBeforeCreatingTheFile) {
  tifftest::ScratchDir dir;
  const auto px = tifftest::synthetic_rgb16(4, 4);
  for (bool dng : {false, true}) {
    const Status s = write_container(dir.file("bad"), 4, 5, px, std::nullopt, dng);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().display(), "Export failed: Invalid RGB16 buffer length");
    EXPECT_FALSE(std::filesystem::exists(dir.file("bad")));
  }
  // A product that overflows 64 bits is a length mismatch, not a crash.
  const Status s = write_container(dir.file("bad"), 0xFFFFFFFFu, 0xFFFFFFFFu, px, std::nullopt,
                                   false);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().text(), "Invalid RGB16 buffer length");
}

TEST(Container, FileSystemFailuresAreIoErrors) {
  tifftest::ScratchDir dir;
  const auto px = tifftest::synthetic_rgb16(64, 96);
  const Status missing = write_container(dir.file("no/such/dir.tif"), 64, 96, px,
                                         std::nullopt, false);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  if (std::filesystem::exists("/dev/full")) {
    for (StripCompression mode : {StripCompression::Parallel, StripCompression::Sequential}) {
      for (bool dng : {false, true}) {
        const Status full = write_container("/dev/full", 64, 96, px, std::nullopt, dng, mode);
        ASSERT_FALSE(full.has_value());
        EXPECT_EQ(full.error().kind(), ErrorKind::Io);
      }
    }
  }
}

// Runs in the death-test child: exits 0 when a write past the file-size limit
// surfaces as an I/O error.
[[noreturn]] void write_with_size_limit(const std::filesystem::path& path,
                                        const std::vector<std::uint16_t>& px,
                                        StripCompression mode) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{200000, 200000};
  setrlimit(RLIMIT_FSIZE, &limit);
  const Status s = write_container(path, 256, 256, px, std::nullopt, false, mode);
  std::exit(!s.has_value() && s.error().kind() == ErrorKind::Io ? 0 : 1);
}

TEST(Container, AWriteFailingPartWayStopsThePipeline) {
  // The file-size limit makes a later strip's write fail after the header and
  // the first strips were written; the threadsafe style runs this in a fresh
  // process, so the limit cannot leak into other tests.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  tifftest::ScratchDir dir;
  const auto path = dir.file("limited.tif");
  const auto px = tifftest::synthetic_rgb16(256, 256, 9);
  EXPECT_EXIT(write_with_size_limit(path, px, StripCompression::Parallel),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(write_with_size_limit(path, px, StripCompression::Sequential),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
