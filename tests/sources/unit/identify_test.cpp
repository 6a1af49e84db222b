// Roles, formats, text conversions and header-only inspection of sources.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "image_io/image_io.hpp"
#include "support/fixtures.hpp"

namespace stitch {
namespace {

namespace fx = fixtures;
namespace fs = std::filesystem;

LinearImage grey(std::uint32_t w, std::uint32_t h) {
  return synthetic(w, h, [](std::uint32_t, std::uint32_t) { return Rgb{0.3f, 0.3f, 0.3f}; });
}

TEST(DetectRole, FileNameMarkers) {
  struct Case {
    const char* path;
    FisheyeRole role;
  };
  const Case cases[] = {
      {"DJI_0001_UP.JPG", FisheyeRole::Up},
      {"dji_0001_up_0.jpg", FisheyeRole::Up},
      {"pano_up", FisheyeRole::Up},
      {"/data/shots/DJI_0001_Up.dng", FisheyeRole::Up},
      {"DJI_0001_DOWN.DNG", FisheyeRole::Down},
      {"x_down_1.dng", FisheyeRole::Down},
      {"pano_DOWN", FisheyeRole::Down},
      {"setup.jpg", FisheyeRole::Unknown},
      {"up.jpg", FisheyeRole::Unknown},
      {"x-up.jpg", FisheyeRole::Unknown},
      {"x_upper.jpg", FisheyeRole::Unknown},
      {"x_downtown.jpg", FisheyeRole::Unknown},
      {"a_up_b_down.jpg", FisheyeRole::Up},
      {"a_down_b_up.jpg", FisheyeRole::Up},
      {"x_up/frame.jpg", FisheyeRole::Unknown},
      {"x_down/frame.jpg", FisheyeRole::Unknown},
      {"shots/pano_up/", FisheyeRole::Up},   // trailing separator: still the name
      {"shots/pano_up/.", FisheyeRole::Up},  // "." components are skipped
      {"shots/pano_up/..", FisheyeRole::Unknown},
      {"/", FisheyeRole::Unknown},
      {"", FisheyeRole::Unknown},
      {"bad_\xFF_up.jpg", FisheyeRole::Unknown},  // not UTF-8: treated as empty
  };
  for (const Case& c : cases) EXPECT_EQ(detect_role(c.path), c.role) << c.path;
}

TEST(SourceFormat, Extensions) {
  struct Case {
    const char* path;
    std::optional<SourceFormat> format;
  };
  const Case cases[] = {
      {"a.jpg", SourceFormat::Jpeg},       {"photo.JPEG", SourceFormat::Jpeg},
      {"a.JpG", SourceFormat::Jpeg},       {"photo.Dng", SourceFormat::Dng},
      {"dir.dng/x.DNG", SourceFormat::Dng}, {"a.tar.jpg", SourceFormat::Jpeg},
      {"..jpg", SourceFormat::Jpeg},       {"photo.png", std::nullopt},
      {"noextension", std::nullopt},       {".jpg", std::nullopt},
      {"a.", std::nullopt},                {"a.jpg.bak", std::nullopt},
      {"dir.jpg/", SourceFormat::Jpeg},    {"x.jpg/..", std::nullopt},
      {"a.jp\xFF", std::nullopt},
  };
  for (const Case& c : cases) {
    const Result<SourceFormat> r = source_format(c.path);
    if (c.format) {
      ASSERT_TRUE(r) << c.path;
      EXPECT_EQ(*r, *c.format) << c.path;
    } else {
      ASSERT_FALSE(r) << c.path;
      EXPECT_EQ(r.error().kind(), ErrorKind::UnsupportedFormat);
      EXPECT_EQ(r.error().display(), "Unsupported input format: " + utf8_lossy(c.path));
      EXPECT_EQ(r.error().code(), ErrorCode::UnsupportedFormat);
    }
  }
}

TEST(Utf8Lossy, ReplacesMaximalInvalidSubparts) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"a\xFF" "b", "a" + r + "b"},
      {"\xC3", r},
      {"\xE2\x82", r},                      // truncated 3-byte sequence: one replacement
      {"\xE2\x82" "A", r + "A"},
      {"\xC0\xAF", r + r},                  // overlong lead is invalid on its own
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out);
}

TEST(CameraString, TrimsAndRejectsEmpty) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  };
  const Case cases[] = {
      {"DJI Avata 360", "DJI Avata 360"},
      {"  DJI  \t\n", "DJI"},
      {"\xC2\xA0" "DJI\xE3\x80\x80", "DJI"},  // no-break and ideographic spaces
      {"", std::nullopt},
      {" \t\r\n ", std::nullopt},
      {"DJI\xFF", "DJI\xEF\xBF\xBD"},
      {"\xFF", "\xEF\xBF\xBD"},
      {nullptr, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(camera_string(c.in), c.out) << (c.in ? c.in : "(null)");
  const char field[8] = {'A', 'B', '\0', 'C', 'D', '\0', '\0', '\0'};
  EXPECT_EQ(camera_string(field), "AB");
}

TEST(PathCString, NulByteIsADngDecodeError) {
  const Result<std::string> ok = path_cstring("/tmp/x_up.dng");
  ASSERT_TRUE(ok);
  EXPECT_STREQ(ok->c_str(), "/tmp/x_up.dng");
  const Result<std::string> bad = path_cstring(fs::path(std::string("/tmp/x\0y.dng", 13)));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::DngDecode);
  EXPECT_EQ(bad.error().display(), "Could not decode DNG: DNG path contains a null byte");
  EXPECT_EQ(bad.error().code(), ErrorCode::DngDecodeFailed);
  // Names that are not UTF-8 keep their bytes so that they still open.
  const Result<std::string> latin1 = path_cstring("/tmp/caf\xE9.dng");
  ASSERT_TRUE(latin1);
  EXPECT_EQ(*latin1, "/tmp/caf\xE9.dng");
  EXPECT_EQ(path_text("/tmp/caf\xE9.dng"), "/tmp/caf\xEF\xBF\xBD.dng");
}

TEST(InspectSource, Jpeg) {
  fx::TempDir dir;
  const auto path = dir.file("DJI_0001_UP.JPG");
  ASSERT_TRUE(fx::write_jpeg_fixture(path, fx::to_srgb8(grey(40, 24)), 40, 24));
  const Result<SourceInfo> r = inspect_source(path);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->path, path.string());
  EXPECT_EQ(r->role, FisheyeRole::Up);
  EXPECT_EQ(r->format, SourceFormat::Jpeg);
  EXPECT_EQ(r->width, 40u);
  EXPECT_EQ(r->height, 24u);
  EXPECT_EQ(r->bitDepth, 8);
  EXPECT_FALSE(r->camera);
  EXPECT_FALSE(r->rawCapable);
  EXPECT_FALSE(r->iso);
  EXPECT_FALSE(r->baselineExposureEv);
}

TEST(InspectSource, JpegBehindExifAndXmpSegments) {
  fx::TempDir dir;
  const auto path = dir.file("x_down.jpeg");
  fx::JpegOptions o;
  o.exif_orientation = 6;
  o.xmp = fx::dji_xmp(10, -5, 0);
  ASSERT_TRUE(fx::write_bytes(path, fx::jpeg_bytes(fx::to_srgb8(grey(24, 40)), 24, 40, o)));
  const Result<SourceInfo> r = inspect_source(path);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->role, FisheyeRole::Down);
  EXPECT_EQ(r->width, 24u);  // stored size; orientation is not applied
  EXPECT_EQ(r->height, 40u);
}

TEST(InspectSource, PngDataUnderJpgNameUsesPngHeader) {
  fx::TempDir dir;
  const auto path = dir.file("x_up.jpg");
  ASSERT_TRUE(fx::write_bytes(path, fx::png_bytes(fx::to_srgb8(grey(33, 17)), 33, 17)));
  const Result<SourceInfo> r = inspect_source(path);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->format, SourceFormat::Jpeg);
  EXPECT_EQ(r->width, 33u);
  EXPECT_EQ(r->height, 17u);
  EXPECT_EQ(r->bitDepth, 8);
}

TEST(InspectSource, Dng) {
  fx::TempDir dir;
  struct Case {
    const char* name;
    fx::DngFixtureOptions options;
    std::optional<std::string> camera;
    std::optional<float> iso;
    std::optional<float> baseline;
  };
  fx::DngFixtureOptions base;
  base.iso = 200;
  base.baseline_exposure = 0.5f;
  std::vector<Case> cases;
  cases.push_back({"plain_up.dng", base, "DJI Avata 360", 200.0f, 0.5f});
  auto o = base;
  o.iso = 0;
  o.baseline_exposure = 7.5f;
  cases.push_back({"iso0_up.dng", o, "DJI Avata 360", std::nullopt, 5.0f});
  o = base;
  o.baseline_exposure = -8.0f;
  cases.push_back({"dark_up.dng", o, "DJI Avata 360", 200.0f, -5.0f});
  o = base;
  o.baseline_exposure.reset();
  cases.push_back({"nobe_up.dng", o, "DJI Avata 360", 200.0f, std::nullopt});
  o = base;
  o.model = "";
  cases.push_back({"make_only_up.dng", o, "DJI", 200.0f, 0.5f});
  o = base;
  o.make = "  Maker ";
  o.model = "Cam  ";
  cases.push_back({"spaces_up.dng", o, std::nullopt, 200.0f, 0.5f});
  for (const Case& c : cases) {
    const auto path = dir.file(c.name);
    ASSERT_TRUE(fx::write_dng_fixture(path, grey(32, 24), c.options));
    const Result<SourceInfo> r = inspect_source(path);
    ASSERT_TRUE(r) << c.name << ": " << r.error().display();
    EXPECT_EQ(r->path, path.string());
    EXPECT_EQ(r->role, FisheyeRole::Up);
    EXPECT_EQ(r->format, SourceFormat::Dng);
    EXPECT_EQ(r->width, 32u);
    EXPECT_EQ(r->height, 24u);
    EXPECT_EQ(r->bitDepth, 16);
    EXPECT_TRUE(r->rawCapable);
    if (c.camera) {
      EXPECT_EQ(r->camera, c.camera) << c.name;
    } else {
      ASSERT_TRUE(r->camera) << c.name;  // whatever LibRaw normalises it to, trimmed
    }
    if (r->camera) {
      EXPECT_FALSE(r->camera->empty());
      EXPECT_NE(r->camera->front(), ' ');
      EXPECT_NE(r->camera->back(), ' ');
    }
    EXPECT_EQ(r->iso, c.iso) << c.name;
    EXPECT_EQ(r->baselineExposureEv, c.baseline) << c.name;
  }
}

TEST(InspectSource, Failures) {
  fx::TempDir dir;
  const fx::Bytes jpeg = fx::jpeg_bytes(fx::to_srgb8(grey(16, 16)), 16, 16);
  ASSERT_TRUE(fx::write_bytes(dir.file("empty.jpg"), {}));
  ASSERT_TRUE(fx::write_bytes(dir.file("text.jpg"), {'h', 'e', 'l', 'l', 'o'}));
  ASSERT_TRUE(fx::write_bytes(dir.file("cut.jpg"), fx::truncated(jpeg, 4)));
  ASSERT_TRUE(fx::write_bytes(dir.file("cut.png.jpg"),
                              fx::truncated(fx::png_bytes(fx::to_srgb8(grey(4, 4)), 4, 4), 12)));
  ASSERT_TRUE(fx::write_bytes(dir.file("bad.dng"), {'I', 'I', 42, 0, 0, 0, 0, 0}));
  fs::create_directory(dir.file("folder.jpg"));
  fs::create_directory(dir.file("folder.dng"));

  struct Case {
    fs::path path;
    ErrorKind kind;
  };
  const Case cases[] = {
      {dir.file("x.png"), ErrorKind::UnsupportedFormat},
      {dir.file("missing.jpg"), ErrorKind::Io},
      {dir.file("folder.jpg"), ErrorKind::Io},
      {dir.file("empty.jpg"), ErrorKind::Image},
      {dir.file("text.jpg"), ErrorKind::Image},
      {dir.file("cut.jpg"), ErrorKind::Image},
      {dir.file("cut.png.jpg"), ErrorKind::Image},
      {dir.file("missing.dng"), ErrorKind::DngDecode},
      {dir.file("bad.dng"), ErrorKind::DngDecode},
      {dir.file("folder.dng"), ErrorKind::DngDecode},
  };
  for (const Case& c : cases) {
    const Result<SourceInfo> r = inspect_source(c.path);
    ASSERT_FALSE(r) << c.path;
    EXPECT_EQ(r.error().kind(), c.kind) << c.path << ": " << r.error().display();
    EXPECT_FALSE(r.error().text().empty()) << c.path;
  }
  const Result<SourceInfo> io = inspect_source(dir.file("missing.jpg"));
  EXPECT_EQ(io.error().display().rfind("I/O error: ", 0), 0u);
  EXPECT_EQ(io.error().code(), ErrorCode::IoError);
  const Result<SourceInfo> image = inspect_source(dir.file("text.jpg"));
  EXPECT_EQ(image.error().display().rfind("Image error: ", 0), 0u);
  EXPECT_EQ(image.error().code(), ErrorCode::UnsupportedFormat);
  const Result<SourceInfo> dng = inspect_source(dir.file("missing.dng"));
  EXPECT_EQ(dng.error().display().rfind("Could not decode DNG: ", 0), 0u);
  EXPECT_EQ(dng.error().code(), ErrorCode::DngDecodeFailed);
}

}  // namespace
}  // namespace stitch
