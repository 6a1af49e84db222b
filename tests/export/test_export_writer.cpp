// export_panorama: destination handling, free space, temporary file, dispatch,
// replacement of the destination, and metadata as exiftool reads it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "export/export.hpp"
#include "export_test_util.hpp"
#include "metadata/metadata.hpp"

namespace stitch {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

constexpr std::uint32_t kW = 64;
constexpr std::uint32_t kH = 32;

RenderedPixels pixels8(std::uint32_t w = kW, std::uint32_t h = kH) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h * 3);
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(i * 7 % 251);
  return RenderedPixels::rgb8(std::move(px));
}

RenderedPixels pixels16(std::uint32_t w = kW, std::uint32_t h = kH) {
  std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h * 3);
  std::uint32_t s = 12345;
  for (auto& v : px) {
    s = s * 1664525u + 1013904223u;
    v = static_cast<std::uint16_t>(s >> 16);  // noise: compresses badly
  }
  return RenderedPixels::rgb16(std::move(px));
}

ExportRequest request(const fs::path& dest, OutputFormat format, bool metadata = false,
                      std::uint8_t quality = 90) {
  ExportRequest r;
  r.destination = dest.string();
  r.format = format;
  r.jpegQuality = quality;
  r.embedMetadata = metadata;
  return r;
}

StitchSettings settings() {
  StitchSettings s;
  s.presetId = "dji-avata360";
  s.presetVersion = 1;
  s.color.exposureEv = 0.5f;
  return s;
}

RenderProfileParams baseline() {
  RenderProfileParams p;
  p.active = true;
  p.base_exposure_ev = 0.3f;
  return p;
}

const std::vector<std::string> kSources = {"/src/PANO_UP.JPG", "/src/PANO_DOWN.JPG"};

// Plenty of space, so tests never depend on the machine's disk.
ExportOptions roomy() {
  ExportOptions o;
  o.free_space = [](const fs::path&) { return std::optional<std::uint64_t>(UINT64_MAX); };
  return o;
}

Status run(const RenderedPixels& px, const ExportRequest& req, const ExportOptions& o = roomy(),
           std::uint32_t w = kW, std::uint32_t h = kH) {
  return export_panorama(px, w, h, req, kSources, settings(), baseline(), o);
}

// Lowers the file-size limit for the scope so writes fail midway with EFBIG
// (SIGXFSZ is ignored meanwhile).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
};

TEST(TemporaryPath, NamesTheFileBesideTheDestination) {
  struct Case {
    const char* dest;
    const char* temp;
  };
  const Case cases[] = {
      {"/x/pano.tif", "/x/.pano.tif.part"},
      {"pano.jpg", "./.pano.jpg.part"},
      {"a/b/pano.png", "a/b/.pano.png.part"},
      {"/x/", "/x/.panorama.part"},
      {"/x/\xFF\xFE.jpg", "/x/.panorama.part"},
      {"/x/\xC3\xA9t\xC3\xA9.jpg", "/x/.\xC3\xA9t\xC3\xA9.jpg.part"},
  };
  for (const Case& c : cases) EXPECT_EQ(temporary_path_for(c.dest).string(), c.temp) << c.dest;
}

TEST(ExportPanorama, WritesJpgAndPngAndLeavesNoTemporary) {
  ScratchDir dir;
  const auto jpg = dir / "nested" / "deeper" / "pano.jpg";
  ASSERT_TRUE(run(pixels8(), request(jpg, OutputFormat::Jpg)).has_value());
  const auto decoded = test::decode_jpeg(test::read_bytes(jpg));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->width, static_cast<int>(kW));
  EXPECT_TRUE(test::hidden_files(jpg.parent_path()).empty());

  const auto png = dir / "pano.png";
  ASSERT_TRUE(run(pixels16(), request(png, OutputFormat::Png)).has_value());
  const auto chunks = test::png_chunks(test::read_bytes(png));
  std::vector<std::string> kinds;
  for (const auto& c : chunks) {
    if (kinds.empty() || kinds.back() != c.type) kinds.push_back(c.type);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_TRUE(test::decode_png(test::read_bytes(png)).has_value());
  EXPECT_TRUE(test::hidden_files(dir.path()).empty());
}

TEST(ExportPanorama, JpegQualityIsClamped) {
  ScratchDir dir;
  const RenderedPixels px = pixels8();
  const auto& samples = std::get<RenderedPixels::Rgb8>(px.data).samples;
  struct Case {
    std::uint8_t requested;
    int used;
  };
  for (const Case c : {Case{0, 1}, Case{255, 100}, Case{89, 89}}) {
    const auto dest = dir / ("q" + std::to_string(c.requested) + ".jpg");
    ASSERT_TRUE(run(px, request(dest, OutputFormat::Jpg, false, c.requested)).has_value());
    EXPECT_EQ(test::read_bytes(dest), *encode_jpeg(kW, kH, samples, c.used)) << int(c.requested);
  }
}

TEST(ExportPanorama, BareFileNameGoesToTheCurrentDirectory) {
  ScratchDir dir;
  const fs::path old = fs::current_path();
  fs::current_path(dir.path());
  std::vector<std::string> seen_temp;
  ExportOptions o = roomy();
  o.before_commit = [&](const fs::path& t, const fs::path&) { seen_temp.push_back(t.string()); };
  const Status st = run(pixels8(), request("pano.jpg", OutputFormat::Jpg), o);
  fs::current_path(old);
  ASSERT_TRUE(st.has_value());
  EXPECT_TRUE(fs::is_regular_file(dir / "pano.jpg"));
  EXPECT_EQ(seen_temp, (std::vector<std::string>{"./.pano.jpg.part"}));
}

TEST(ExportPanorama, LeftoverTemporaryIsReplaced) {
  ScratchDir dir;
  test::write_text(dir / ".pano.png.part", "half-written junk from a crash");
  const auto dest = dir / "pano.png";
  ASSERT_TRUE(run(pixels16(), request(dest, OutputFormat::Png)).has_value());
  EXPECT_FALSE(fs::exists(dir / ".pano.png.part"));
  EXPECT_TRUE(test::decode_png(test::read_bytes(dest)).has_value());
}

TEST(ExportPanorama, UnremovableLeftoverFailsBeforeWriting) {
  ScratchDir dir;
  fs::create_directory(dir / ".pano.png.part");
  test::write_text(dir / ".pano.png.part" / "inside", "x");
  const auto dest = dir / "pano.png";
  test::write_text(dest, "old");
  const Status st = run(pixels16(), request(dest, OutputFormat::Png));
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().code(), ErrorCode::IoError);
  EXPECT_EQ(test::read_text(dest), "old");
}

TEST(ExportPanorama, ExistingDestinationIsReplacedOnlyByACompleteFile) {
  ScratchDir dir;
  const auto dest = dir / "pano.png";
  test::write_text(dest, "old panorama");
  bool checked = false;
  ExportOptions o = roomy();
  o.before_commit = [&](const fs::path& temporary, const fs::path& destination) {
    // The finished file sits under its temporary name; the old one is intact.
    checked = true;
    EXPECT_EQ(test::read_text(destination), "old panorama");
    EXPECT_TRUE(test::decode_png(test::read_bytes(temporary)).has_value());
  };
  ASSERT_TRUE(run(pixels16(), request(dest, OutputFormat::Png), o).has_value());
  EXPECT_TRUE(checked);
  EXPECT_TRUE(test::decode_png(test::read_bytes(dest)).has_value());
  EXPECT_TRUE(test::hidden_files(dir.path()).empty());
}

TEST(ExportPanorama, FailedRenameKeepsTheCompleteTemporary) {
  ScratchDir dir;
  const auto dest = dir / "pano.jpg";
  fs::create_directory(dest);  // a non-empty directory cannot be replaced
  test::write_text(dest / "keep", "x");
  const Status st = run(pixels8(), request(dest, OutputFormat::Jpg));
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().code(), ErrorCode::IoError);
  EXPECT_EQ(test::read_text(dest / "keep"), "x");
  EXPECT_TRUE(test::decode_jpeg(test::read_bytes(dir / ".pano.jpg.part")).has_value());
}

TEST(ExportPanorama, WriterFailureLeavesNoTemporaryAndTheOldDestination) {
  struct Case {
    OutputFormat format;
    bool sixteen;
    ErrorCode code;
  };
  // The noise image is about 12 KiB in either format; writes fail past 4 KiB.
  const Case cases[] = {{OutputFormat::Png, true, ErrorCode::WriteFailed},
                        {OutputFormat::Jpg, false, ErrorCode::IoError}};
  for (const Case& c : cases) {
    ScratchDir dir;
    const auto dest = dir / (c.sixteen ? "pano.png" : "pano.jpg");
    test::write_text(dest, "old");
    RenderedPixels px = c.sixteen ? pixels16() : pixels8();
    if (!c.sixteen) {
      auto& s = std::get<RenderedPixels::Rgb8>(px.data).samples;
      std::uint32_t r = 7;
      for (auto& v : s) v = static_cast<std::uint8_t>((r = r * 1103515245u + 12345u) >> 24);
    }
    Status st;
    {
      FileSizeLimit limit(4096);
      st = run(px, request(dest, c.format, false, 100));
    }
    ASSERT_FALSE(st.has_value()) << output_format_name(c.format);
    EXPECT_EQ(st.error().code(), c.code) << st.error().display();
    EXPECT_EQ(test::read_text(dest), "old");
    EXPECT_TRUE(test::hidden_files(dir.path()).empty());
  }
}

TEST(ExportPanorama, PrecisionMismatchFailsWithoutFiles) {
  struct Case {
    OutputFormat format;
    bool sixteen;
  };
  const Case cases[] = {{OutputFormat::Jpg, true},
                        {OutputFormat::Png, false},
                        {OutputFormat::Tiff, false},
                        {OutputFormat::Dng, false}};
  for (const Case& c : cases) {
    ScratchDir dir;
    const auto dest = dir / "pano.out";
    test::write_text(dest, "old");
    const Status st = run(c.sixteen ? pixels16() : pixels8(), request(dest, c.format));
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().display(),
              "Export failed: Rendered pixel precision does not match the requested output "
              "format");
    EXPECT_EQ(st.error().code(), ErrorCode::WriteFailed);
    EXPECT_EQ(test::read_text(dest), "old");
    EXPECT_TRUE(test::hidden_files(dir.path()).empty());
  }
}

TEST(ExportPanorama, InsufficientDiskReportsTheEstimateInMiB) {
  struct Case {
    OutputFormat format;
    std::uint32_t width;
    std::uint64_t estimate;
    std::uint64_t mib;
  };
  const Case cases[] = {
      {OutputFormat::Jpg, 100, 15000, 1},
      {OutputFormat::Jpg, 8192, 100663296, 96},
      {OutputFormat::Png, 8192, 201326592, 192},
      {OutputFormat::Tiff, 20000, 1200000000, 1145},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::uint32_t h = c.width / 2;
    ASSERT_EQ(estimated_output_bytes(c.format, c.width, h), c.estimate);
    test::write_text(dir / ".pano.part", "leftover");
    fs::path asked;
    ExportOptions o;
    o.free_space = [&](const fs::path& d) {
      asked = d;
      return std::optional<std::uint64_t>(c.estimate + kFreeSpaceMargin - 1);
    };
    // The check comes first, so no pixels are needed to fail it.
    const Status st = export_panorama(RenderedPixels::rgb8({}), c.width, h,
                                      request(dir / "pano", c.format), kSources, settings(),
                                      baseline(), o);
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().code(), ErrorCode::InsufficientDisk);
    EXPECT_EQ(st.error().mib(), c.mib);
    EXPECT_EQ(st.error().display(),
              "Insufficient disk space: at least " + std::to_string(c.mib) + " MiB is required");
    EXPECT_EQ(asked, dir.path());
    EXPECT_EQ(test::read_text(dir / ".pano.part"), "leftover");
    EXPECT_FALSE(fs::exists(dir / "pano"));
  }
}

TEST(ExportPanorama, FreeSpaceBoundaryAndUnknownSpace) {
  ScratchDir dir;
  const std::uint64_t need = estimated_output_bytes(OutputFormat::Jpg, kW, kH) + kFreeSpaceMargin;
  for (const std::optional<std::uint64_t> free : {std::optional<std::uint64_t>(need),
                                                  std::optional<std::uint64_t>()}) {
    ExportOptions o;
    o.free_space = [&](const fs::path&) { return free; };
    EXPECT_TRUE(run(pixels8(), request(dir / "pano.jpg", OutputFormat::Jpg), o).has_value());
  }
  EXPECT_TRUE(statvfs_free_space(dir.path()).has_value());
  EXPECT_FALSE(statvfs_free_space(dir / "missing").has_value());
}

TEST(ExportPanorama, DirectoryCreationFailureIsAnIoError) {
  ScratchDir dir;
  test::write_text(dir / "file", "x");
  const Status st = run(pixels8(), request(dir / "file" / "sub" / "pano.jpg", OutputFormat::Jpg));
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().code(), ErrorCode::IoError);
  EXPECT_EQ(st.error().display().rfind("I/O error: ", 0), 0u);
}

TEST(ExportPanorama, MetadataFlagControlsThePacket) {
  ScratchDir dir;
  for (const bool embed : {false, true}) {
    const auto jpg = dir / "pano.jpg";
    ASSERT_TRUE(run(pixels8(), request(jpg, OutputFormat::Jpg, embed)).has_value());
    const auto segs = test::jpeg_segments(test::read_bytes(jpg));
    ASSERT_FALSE(segs.empty());
    EXPECT_EQ(segs[0].marker == 0xE1, embed);
    int app1 = 0;
    for (const auto& s : segs) app1 += s.marker == 0xE1;
    EXPECT_EQ(app1, embed ? 1 : 0);

    const auto png = dir / "pano.png";
    ASSERT_TRUE(run(pixels16(), request(png, OutputFormat::Png, embed)).has_value());
    const auto chunks = test::png_chunks(test::read_bytes(png));
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks[1].type == "iTXt", embed);
    if (embed) {
      const std::string packet =
          panorama_xmp(kW, kH, kSources, settings(), baseline());
      const std::string data(chunks[1].data.begin(), chunks[1].data.end());
      EXPECT_EQ(data.substr(22), packet);
    }
  }
}

TEST(ExportPanorama, TiffAndDngGoThroughTheContainerWriter) {
  ScratchDir dir;
  for (const OutputFormat f : {OutputFormat::Tiff, OutputFormat::Dng}) {
    const auto dest = dir / (std::string("pano.") + std::string(output_format_name(f)));
    ASSERT_TRUE(run(pixels16(), request(dest, f, true)).has_value());
    const auto bytes = test::read_bytes(dest);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), std::string("II*\0", 4));
  }
  EXPECT_TRUE(test::hidden_files(dir.path()).empty());
}

nlohmann::json exiftool_xmp(const fs::path& file) {
  const auto out = test::run_capture("exiftool -j -G1 -XMP:all '" + file.string() + "'");
  if (!out) return {};
  const nlohmann::json j = nlohmann::json::parse(*out, nullptr, false);
  if (!j.is_array() || j.empty()) return {};
  return j[0];
}

TEST(ExportPanorama, ExiftoolReadsPanoramaAndSystemProperties) {
  if (!test::have_exiftool()) GTEST_SKIP() << "exiftool is not installed";
  ScratchDir dir;
  const auto jpg = dir / "pano.jpg";
  const auto png = dir / "pano.png";
  ASSERT_TRUE(run(pixels8(), request(jpg, OutputFormat::Jpg, true)).has_value());
  ASSERT_TRUE(run(pixels16(), request(png, OutputFormat::Png, true)).has_value());
  for (const auto& file : {jpg, png}) {
    SCOPED_TRACE(file.string());
    const nlohmann::json x = exiftool_xmp(file);
    ASSERT_TRUE(x.is_object()) << "exiftool gave no XMP";
    EXPECT_EQ(x.value("XMP-GPano:ProjectionType", ""), "equirectangular");
    // exiftool prints this boolean property as JSON true.
    EXPECT_EQ(x.value("XMP-GPano:UsePanoramaViewer", false), true) << x.dump();
    EXPECT_EQ(x.value("XMP-GPano:FullPanoWidthPixels", 0), static_cast<int>(kW));
    EXPECT_EQ(x.value("XMP-GPano:FullPanoHeightPixels", 0), static_cast<int>(kH));
    EXPECT_EQ(x.value("XMP-GPano:CroppedAreaImageWidthPixels", 0), static_cast<int>(kW));
    EXPECT_EQ(x.value("XMP-GPano:CroppedAreaLeftPixels", -1), 0);
    EXPECT_EQ(x.value("XMP-dc:Format", ""), "image/equirectangular");
    EXPECT_EQ(x.value("XMP-orv:Preset", ""), "dji-avata360");
    EXPECT_EQ(x.value("XMP-orv:RenderProfile", ""), "dji-avata360-natural-v1");
    EXPECT_EQ(x.value("XMP-orv:Sources", ""), "/src/PANO_UP.JPG; /src/PANO_DOWN.JPG");
    EXPECT_TRUE(x.contains("XMP-orv:AppliedBaseExposureEV")) << x.dump();
  }
}

TEST(ExportPanorama, ExiftoolValidatesJpgAndPng) {
  if (!test::have_exiftool()) GTEST_SKIP() << "exiftool is not installed";
  ScratchDir dir;
  const auto jpg = dir / "pano.jpg";
  const auto png = dir / "pano.png";
  ASSERT_TRUE(run(pixels8(), request(jpg, OutputFormat::Jpg, true)).has_value());
  ASSERT_TRUE(run(pixels16(), request(png, OutputFormat::Png, true)).has_value());
  for (const auto& file : {jpg, png}) {
    SCOPED_TRACE(file.string());
    const auto report =
        test::run_capture("exiftool -validate -warning -error -a -s '" + file.string() + "' 2>&1");
    ASSERT_TRUE(report.has_value());
    EXPECT_NE(report->find("Validate                        : OK"), std::string::npos) << *report;
    EXPECT_EQ(report->find("Warning"), std::string::npos) << *report;
    EXPECT_EQ(report->find("Error"), std::string::npos) << *report;
  }
}

}  // namespace
}  // namespace stitch
