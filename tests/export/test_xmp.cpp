// The panorama XMP packet, XML escaping and the packet's JPEG APP1 segment.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metadata/metadata.hpp"

namespace stitch {
namespace {

StitchSettings sample_settings() {
  StitchSettings s;
  s.presetId = "dji-avata360";
  s.presetVersion = 3;
  s.color.version = 2;
  s.color.exposureEv = 0.25f;     // tie: rounds to the even digit
  s.color.brightness = -3.0f;
  s.color.contrast = 0.75f;       // tie: rounds up to the even digit
  s.color.highlights = -0.04f;    // negative, rounds to zero
  s.color.shadows = 1.05f;        // just below 1.05 as a float
  s.color.saturation = 100.0f;
  s.color.vibrance = -100.0f;
  s.color.warmth = 12.0f;
  s.color.tint = -7.5f;
  s.color.clarity = 90.0f;
  s.color.sharpening = -40.0f;
  s.color.noiseReduction = 7.5f;
  return s;
}

RenderProfileParams sample_baseline() {
  RenderProfileParams p;
  p.base_exposure_ev = 0.3f;
  p.clarity_boost = 30.0f;
  p.sharpening_boost = 10.0f;
  p.noise_reduction = 5.0f;
  p.active = true;
  return p;
}

TEST(PanoramaXmp, MatchesTheFortyTwoLinesByteForByte) {
  const std::string packet =
      panorama_xmp(8192, 4096, {"/a/UP_1.JPG", "/b/DOWN&<1>.JPG"}, sample_settings(),
                   sample_baseline());
  const std::string expected =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "  <rdf:Description rdf:about=\"\"\n"
      "   xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\"\n"
      "   xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
      "   xmlns:orv=\"https://ns.orvane.app/stitch/1.0/\"\n"
      "   GPano:ProjectionType=\"equirectangular\"\n"
      "   GPano:UsePanoramaViewer=\"True\"\n"
      "   GPano:FullPanoWidthPixels=\"8192\"\n"
      "   GPano:FullPanoHeightPixels=\"4096\"\n"
      "   GPano:CroppedAreaImageWidthPixels=\"8192\"\n"
      "   GPano:CroppedAreaImageHeightPixels=\"4096\"\n"
      "   GPano:CroppedAreaLeftPixels=\"0\"\n"
      "   GPano:CroppedAreaTopPixels=\"0\"\n"
      "   orv:Preset=\"dji-avata360\"\n"
      "   orv:PresetVersion=\"3\"\n"
      "   orv:Sources=\"/a/UP_1.JPG; /b/DOWN&amp;&lt;1&gt;.JPG\"\n"
      "   orv:ColorVersion=\"2\"\n"
      "   orv:ToneTransformVersion=\"1\"\n"
      "   orv:DetailTransformVersion=\"1\"\n"
      "   orv:RenderProfile=\"dji-avata360-natural-v1\"\n"
      "   orv:AppliedBaseExposureEV=\"0.30\"\n"
      "   orv:ExposureEV=\"0.2\"\n"
      "   orv:Brightness=\"-3.0\"\n"
      "   orv:Contrast=\"0.8\"\n"
      "   orv:Highlights=\"-0.0\"\n"
      "   orv:Shadows=\"1.0\"\n"
      "   orv:Saturation=\"100.0\"\n"
      "   orv:Vibrance=\"-100.0\"\n"
      "   orv:Warmth=\"12.0\"\n"
      "   orv:Tint=\"-7.5\"\n"
      "   orv:Clarity=\"90.0\"\n"
      "   orv:Sharpening=\"-40.0\"\n"
      "   orv:NoiseReduction=\"7.5\"\n"
      "   orv:ResolvedClarity=\"100.0\"\n"
      "   orv:ResolvedSharpening=\"0.0\"\n"
      "   orv:ResolvedNoiseReduction=\"12.5\"\n"
      "   dc:format=\"image/equirectangular\"/>\n"
      " </rdf:RDF>\n"
      "</x:xmpmeta>\n"
      "<?xpacket end=\"w\"?>";
  EXPECT_EQ(packet, expected);
}

TEST(PanoramaXmp, HasFortyTwoLinesAndNoFinalLineFeed) {
  const std::string packet = panorama_xmp(2, 1, {"u", "d"}, sample_settings(), {});
  EXPECT_EQ(std::count(packet.begin(), packet.end(), '\n'), 41);
  EXPECT_NE(packet.back(), '\n');
  EXPECT_EQ(packet.substr(17, 3), "\xEF\xBB\xBF");
}

TEST(PanoramaXmp, NeutralProfileAndResolvedClamps) {
  StitchSettings s;
  s.presetId = "p\"'";
  s.color.clarity = -90.0f;
  s.color.noiseReduction = -20.0f;
  RenderProfileParams base;
  base.clarity_boost = -30.0f;
  base.noise_reduction = 10.0f;
  base.base_exposure_ev = -0.125f;  // tie at two decimals: rounds to even
  const std::string packet = panorama_xmp(1, 0, {}, s, base);
  EXPECT_NE(packet.find("orv:RenderProfile=\"neutral-v1\"\n"), std::string::npos);
  EXPECT_NE(packet.find("orv:Preset=\"p&quot;&apos;\"\n"), std::string::npos);
  EXPECT_NE(packet.find("orv:Sources=\"\"\n"), std::string::npos);
  EXPECT_NE(packet.find("orv:ResolvedClarity=\"-100.0\"\n"), std::string::npos);
  EXPECT_NE(packet.find("orv:ResolvedNoiseReduction=\"0.0\"\n"), std::string::npos);
  EXPECT_NE(packet.find("orv:AppliedBaseExposureEV=\"-0.12\"\n"), std::string::npos);
  EXPECT_NE(packet.find("orv:ColorVersion=\"2\"\n"), std::string::npos);
}

TEST(XmlEscape, ReplacesEachSpecialCharacterOnce) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"a&b", "a&amp;b"},
      {"&amp;", "&amp;amp;"},
      {"<x>", "&lt;x&gt;"},
      {"say \"hi\"", "say &quot;hi&quot;"},
      {"it's", "it&apos;s"},
      {"plain/ü.jpg", "plain/ü.jpg"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(xml_escape(c.in), c.out) << c.in;
}

std::vector<std::uint8_t> tiny_jpeg() {
  // SOI, a JFIF APP0 stand-in, EOI: enough for the segment layout.
  return {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 'J', 'F', 0xFF, 0xD9};
}

TEST(InjectXmp, PlacesApp1RightAfterSoi) {
  const std::vector<std::uint8_t> jpeg = tiny_jpeg();
  const std::string packet = "<x/>";
  Result<std::vector<std::uint8_t>> out = inject_xmp_into_jpeg(jpeg, packet);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->size(), jpeg.size() + packet.size() + 33);
  const std::vector<std::uint8_t>& b = *out;
  EXPECT_EQ(b[0], 0xFF);
  EXPECT_EQ(b[1], 0xD8);
  EXPECT_EQ(b[2], 0xFF);
  EXPECT_EQ(b[3], 0xE1);
  EXPECT_EQ((b[4] << 8) | b[5], static_cast<int>(packet.size() + 31));
  EXPECT_EQ(std::string(b.begin() + 6, b.begin() + 35),
            std::string("http://ns.adobe.com/xap/1.0/\0", 29));
  EXPECT_EQ(std::string(b.begin() + 35, b.begin() + 39), packet);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), b.begin() + 39));
}

TEST(InjectXmp, PacketSizeLimitIsOneSegment) {
  const std::vector<std::uint8_t> jpeg = tiny_jpeg();
  Result<std::vector<std::uint8_t>> fits = inject_xmp_into_jpeg(jpeg, std::string(65504, 'x'));
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ((*fits)[4], 0xFF);
  EXPECT_EQ((*fits)[5], 0xFF);
  Result<std::vector<std::uint8_t>> too_big =
      inject_xmp_into_jpeg(jpeg, std::string(65505, 'x'));
  ASSERT_FALSE(too_big.has_value());
  EXPECT_EQ(too_big.error().display(),
            "Export failed: Panorama metadata is too large for a JPEG APP1 segment");
  EXPECT_EQ(too_big.error().code(), ErrorCode::WriteFailed);
}

TEST(InjectXmp, RejectsStreamsWithoutSoi) {
  const std::vector<std::vector<std::uint8_t>> bad = {{}, {0xFF}, {0xFF, 0xD9}, {0x00, 0xD8, 0x00}};
  for (const auto& stream : bad) {
    Result<std::vector<std::uint8_t>> out = inject_xmp_into_jpeg(stream, "<x/>");
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().display(), "Export failed: JPEG encoder returned an invalid stream");
  }
}

}  // namespace
}  // namespace stitch
