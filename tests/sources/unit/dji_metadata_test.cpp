// Finding the XMP packet in TIFF/DNG and JPG files and reading the gimbal
// attitude from it.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "dji_metadata/dji_metadata.hpp"
#include "support/fixtures.hpp"

namespace stitch {
namespace {

namespace fx = fixtures;
namespace fs = std::filesystem;

std::string as_text(const std::optional<std::vector<std::uint8_t>>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(absent)");
}

std::vector<std::uint8_t> small_rgb() {
  return fx::rgb8_image(16, 16, [](std::uint32_t x, std::uint32_t y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 16), static_cast<std::uint8_t>(y * 16), 60};
  });
}

TEST(ParseDecimal, Grammar) {
  struct Case {
    const char* text;
    std::optional<float> value;
  };
  const Case cases[] = {
      {"12.5", 12.5f}, {"-12.5", -12.5f}, {"+0.00", 0.0f}, {"7", 7.0f}, {".5", 0.5f},
      {"5.", 5.0f},    {"1e2", 100.0f},   {"1.5E-1", 0.15f}, {"-0", -0.0f},
      {"", std::nullopt}, {"+", std::nullopt}, {".", std::nullopt}, {"1e", std::nullopt},
      {" 1", std::nullopt}, {"1 ", std::nullopt}, {"1,5", std::nullopt}, {"0x10", std::nullopt},
      {"--1", std::nullopt}, {"1e+", std::nullopt}, {"abc", std::nullopt}, {"nan(1)", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_decimal(c.text), c.value) << '"' << c.text << '"';
  EXPECT_TRUE(std::isinf(*parse_decimal("inf")));
  EXPECT_TRUE(std::isinf(*parse_decimal("-Infinity")));
  EXPECT_TRUE(std::isnan(*parse_decimal("NaN")));
  EXPECT_TRUE(std::isinf(*parse_decimal("1e40")));  // overflow rounds to infinity
  EXPECT_EQ(*parse_decimal("1e-60"), 0.0f);
}

TEST(XmpNumber, AttributeAndElementForms) {
  struct Case {
    std::string text;
    std::optional<float> value;
  };
  const Case cases[] = {
      {R"(drone-dji:GimbalYawDegree="+12.30")", 12.3f},
      {R"(drone-dji:GimbalYawDegree="-0.5" drone-dji:GimbalYawDegree="9")", -0.5f},  // first wins
      {R"(drone-dji:GimbalYawDegree="12.3 ")", std::nullopt},  // trailing space fails
      {R"(drone-dji:GimbalYawDegree=" 12.3")", std::nullopt},
      {R"(drone-dji:GimbalYawDegree="12.3)", std::nullopt},  // no closing quote
      {R"(drone-dji:GimbalYawDegree = "12.3")", std::nullopt},
      {R"(drone-dji:GimbalYawDegree='12.3')", std::nullopt},
      {"<drone-dji:GimbalYawDegree> 12.3 </drone-dji:GimbalYawDegree>", 12.3f},
      {"<drone-dji:GimbalYawDegree>\n\t-7\r\n</drone-dji:GimbalYawDegree>", -7.0f},
      {"<drone-dji:GimbalYawDegree>\xC2\xA0" "4\xE2\x80\x83</drone-dji:GimbalYawDegree>", 4.0f},
      {"<drone-dji:GimbalYawDegree>12.3", std::nullopt},
      {"<drone-dji:GimbalYawDegree>1 2</drone-dji:GimbalYawDegree>", std::nullopt},
      {"</drone-dji:GimbalYawDegree>5<drone-dji:GimbalYawDegree>", std::nullopt},
      // An attribute that does not parse is not rescued by an element.
      {R"(drone-dji:GimbalYawDegree="x" <drone-dji:GimbalYawDegree>5</drone-dji:GimbalYawDegree>)",
       std::nullopt},
      {R"(drone-dji:GimbalYawDegreeX="5")", std::nullopt},
      {R"(drone-dji:FlightYawDegree="5")", std::nullopt},
      {R"(GimbalYawDegree="5")", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(xmp_number(c.text, "GimbalYawDegree"), c.value) << c.text;
}

TEST(ReadAttitude, NeedsAllThree) {
  EXPECT_EQ(read_attitude(fx::dji_xmp(10.5f, -20.25f, 1.0f), "Gimbal"), (Attitude{10.5f, -20.25f, 1.0f}));
  EXPECT_EQ(read_attitude(fx::dji_xmp_elements(-3, 4, 5), "Gimbal"), (Attitude{-3, 4, 5}));
  EXPECT_EQ(read_attitude(fx::dji_xmp(10, 20, 30), "Flight"), (Attitude{10, -3.4f, 1.2f}));
  EXPECT_FALSE(read_attitude(fx::xmp_packet(R"(drone-dji:GimbalYawDegree="1" drone-dji:GimbalPitchDegree="2")"),
                             "Gimbal"));
}

TEST(ReadTiffXmp, Ifd0TagInEitherByteOrder) {
  fx::TempDir dir;
  const std::string packet = fx::dji_xmp(1, 2, 3);
  for (const bool big : {false, true})
    for (const std::uint16_t type : {1, 2, 7}) {
      fx::TiffXmpOptions o;
      o.xmp = packet;
      o.big_endian = big;
      o.type = type;
      const auto path = dir.file("t.tif");
      ASSERT_TRUE(fx::write_bytes(path, fx::tiff_xmp_bytes(o)));
      EXPECT_EQ(as_text(read_tiff_xmp(path)), packet) << "big " << big << " type " << type;
      EXPECT_EQ(read_dji_gimbal_pose(path), (Attitude{1, 2, 3}));
    }
}

TEST(ReadTiffXmp, RejectedShapes) {
  fx::TempDir dir;
  const std::string packet = fx::dji_xmp(1, 2, 3);
  struct Case {
    const char* name;
    fx::TiffXmpOptions options;
  };
  std::vector<Case> cases;
  fx::TiffXmpOptions o;
  o.xmp = packet;
  o.placement = fx::TiffXmpOptions::Placement::SubIfd;
  cases.push_back({"in a sub-IFD", o});
  o = {};
  o.xmp = packet;
  o.placement = fx::TiffXmpOptions::Placement::None;
  cases.push_back({"no tag", o});
  o = {};
  o.xmp = packet;
  o.type = 3;
  cases.push_back({"type SHORT", o});
  o.type = 4;
  cases.push_back({"type LONG", o});
  o = {};
  o.xmp = packet;
  o.count = 0;
  cases.push_back({"count 0", o});
  o.count = kMaxTiffXmpBytes + 1;
  cases.push_back({"count above 2 MiB", o});
  o.count = static_cast<std::uint32_t>(packet.size() + 100000);
  cases.push_back({"count past the end of the file", o});
  for (const Case& c : cases) {
    const auto path = dir.file("t.tif");
    ASSERT_TRUE(fx::write_bytes(path, fx::tiff_xmp_bytes(c.options)));
    EXPECT_FALSE(read_tiff_xmp(path)) << c.name;
    EXPECT_FALSE(read_dji_gimbal_pose(path)) << c.name;
  }
}

TEST(ReadTiffXmp, ShortPacketIsReadFromTheEntry) {
  fx::TempDir dir;
  for (const bool big : {false, true})
    for (const std::string packet : {"a", "abcd"}) {
      fx::TiffXmpOptions o;
      o.xmp = packet;
      o.big_endian = big;
      const auto path = dir.file("t.tif");
      ASSERT_TRUE(fx::write_bytes(path, fx::tiff_xmp_bytes(o)));
      EXPECT_EQ(as_text(read_tiff_xmp(path)), packet);
    }
}

TEST(ReadTiffXmp, BrokenHeadersAndTruncation) {
  fx::TempDir dir;
  fx::TiffXmpOptions o;
  o.xmp = fx::dji_xmp(1, 2, 3);
  const fx::Bytes good = fx::tiff_xmp_bytes(o);
  fx::Bytes wrong_magic = good;
  wrong_magic[2] = 43;
  fx::Bytes mixed_order = good;
  mixed_order[1] = 'M';
  fx::Bytes far_ifd = good;
  far_ifd[4] = 0xFF;
  far_ifd[5] = 0xFF;
  far_ifd[6] = 0xFF;
  fx::Bytes no_entries = good;
  no_entries[8] = 0;
  no_entries[9] = 0;
  fx::Bytes too_many = good;
  too_many[8] = 0x01;
  too_many[9] = 0x04;  // 1025 entries
  const std::pair<const char*, fx::Bytes> files[] = {
      {"empty", {}},
      {"wrong magic", wrong_magic},
      {"mixed byte order", mixed_order},
      {"IFD beyond the end", far_ifd},
      {"0 entries", no_entries},
      {"1025 entries", too_many},
      {"cut in the header", fx::truncated(good, 6)},
      {"cut in the IFD", fx::truncated(good, 20)},
      {"cut in the packet", fx::truncated(good, good.size() - 10)},
  };
  for (const auto& [name, bytes] : files) {
    const auto path = dir.file("t.tif");
    ASSERT_TRUE(fx::write_bytes(path, bytes));
    EXPECT_FALSE(read_tiff_xmp(path)) << name;
  }
  EXPECT_FALSE(read_tiff_xmp(dir.file("missing.tif")));
  EXPECT_FALSE(read_tiff_xmp(dir.path()));
}

TEST(ReadJpegXmp, FindsTheDjiSegment) {
  fx::TempDir dir;
  const std::string packet = fx::dji_xmp(-45.5f, -90.0f, 0.25f);
  struct Case {
    const char* name;
    fx::JpegOptions options;
    bool found;
  };
  const Case cases[] = {
      {"xmp only", {.xmp = packet}, true},
      {"exif then xmp", {.xmp = packet, .exif_orientation = 1}, true},
      {"greyscale with xmp", {.greyscale = true, .xmp = packet}, true},
      {"no xmp", {.exif_orientation = 1}, false},
      {"xmp without gimbal pitch",
       {.xmp = fx::xmp_packet(R"(drone-dji:GimbalYawDegree="1" drone-dji:GimbalRollDegree="2")")}, false},
  };
  for (const Case& c : cases) {
    const auto path = dir.file("x.jpg");
    ASSERT_TRUE(fx::write_jpeg_fixture(path, small_rgb(), 16, 16, c.options));
    const auto payload = read_jpeg_xmp(path);
    EXPECT_EQ(payload.has_value(), c.found) << c.name;
    if (payload) {
      EXPECT_NE(as_text(payload).find(packet), std::string::npos);
      EXPECT_EQ(read_dji_gimbal_pose(path), (Attitude{-45.5f, -90.0f, 0.25f})) << c.name;
    }
  }
}

TEST(ReadJpegXmp, BrokenFiles) {
  fx::TempDir dir;
  const fx::Bytes good = fx::jpeg_bytes(small_rgb(), 16, 16, {.xmp = fx::dji_xmp(1, 2, 3)});
  // An APP1 after the start of scan is never reached.
  const fx::Bytes base = fx::jpeg_bytes(small_rgb(), 16, 16);
  fx::Bytes after_scan(base.begin(), base.end() - 2);
  const std::string xmp = fx::dji_xmp(1, 2, 3);
  fx::Bytes seg = {0xFF, 0xE1, static_cast<std::uint8_t>((xmp.size() + 2) >> 8),
                   static_cast<std::uint8_t>(xmp.size() + 2)};
  seg.insert(seg.end(), xmp.begin(), xmp.end());
  after_scan.insert(after_scan.end(), seg.begin(), seg.end());
  after_scan.push_back(0xFF);
  after_scan.push_back(0xD9);
  fx::Bytes bad_length = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01};
  const std::pair<const char*, fx::Bytes> files[] = {
      {"empty", {}},
      {"no SOI", fx::truncated(fx::Bytes(good.begin() + 2, good.end()), 1000)},
      {"cut in the segment", fx::truncated(good, 300)},
      {"segment length below 2", bad_length},
      {"APP1 after the scan", after_scan},
      {"PNG", fx::png_bytes(small_rgb(), 16, 16)},
  };
  for (const auto& [name, bytes] : files) {
    const auto path = dir.file("x.jpg");
    ASSERT_TRUE(fx::write_bytes(path, bytes));
    EXPECT_FALSE(read_jpeg_xmp(path)) << name;
    EXPECT_FALSE(read_dji_gimbal_pose(path)) << name;
  }
}

TEST(ReadDjiGimbalPose, DngAndLimits) {
  fx::TempDir dir;
  const LinearImage img = synthetic(32, 32, [](std::uint32_t, std::uint32_t) { return Rgb{0.2f, 0.2f, 0.2f}; });
  struct Case {
    std::string xmp;
    std::optional<Attitude> pose;
  };
  const auto attrs = [](const char* yaw, const char* pitch, const char* roll) {
    return fx::xmp_packet(std::string("drone-dji:GimbalYawDegree=\"") + yaw + "\" drone-dji:GimbalPitchDegree=\"" +
                          pitch + "\" drone-dji:GimbalRollDegree=\"" + roll + "\"");
  };
  const Case cases[] = {
      {fx::dji_xmp(120.5f, -30, 2), Attitude{120.5f, -30, 2}},
      {fx::dji_xmp_elements(120.5f, -30, 2), Attitude{120.5f, -30, 2}},
      {attrs("360", "-360", "0"), Attitude{360, -360, 0}},
      {attrs("361", "0", "0"), std::nullopt},
      {attrs("0", "-360.5", "0"), std::nullopt},
      {attrs("0", "0", "inf"), std::nullopt},
      {attrs("nan", "0", "0"), std::nullopt},
      {attrs("0", "0", "x"), std::nullopt},
  };
  for (const bool big : {false, true})
    for (const Case& c : cases) {
      fx::DngFixtureOptions o;
      o.xmp = c.xmp;
      o.big_endian = big;
      const auto path = dir.file("x_up.dng");
      ASSERT_TRUE(fx::write_dng_fixture(path, img, o));
      EXPECT_EQ(read_dji_gimbal_pose(path), c.pose) << c.xmp;
    }
  // A DNG without XMP, and a file that is neither TIFF nor JPG.
  const auto plain = dir.file("plain.dng");
  ASSERT_TRUE(fx::write_dng_fixture(plain, img));
  EXPECT_FALSE(read_dji_gimbal_pose(plain));
  const auto text = dir.file("notes.txt");
  ASSERT_TRUE(fx::write_bytes(text, fx::Bytes(cases[0].xmp.begin(), cases[0].xmp.end())));
  EXPECT_FALSE(read_dji_gimbal_pose(text));
  EXPECT_FALSE(read_dji_gimbal_pose(dir.file("missing.dng")));
}

}  // namespace
}  // namespace stitch
