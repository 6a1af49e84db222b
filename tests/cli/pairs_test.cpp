// Pairing the camera's files of a folder by name, as `stitch --batch` does.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "stitch/pairs.hpp"
#include "support/fixtures.hpp"

namespace stitch::cli {
namespace {

namespace fs = std::filesystem;

TEST(FindMarker, ReadsTheLensAndTheShotFromTheName) {
  struct Case {
    const char* name;
    std::optional<Lens> lens;
    const char* shot;
  };
  const Case cases[] = {
      {"DJI_20260101120000_0001_UP.JPG", Lens::Up, "DJI_20260101120000_0001"},
      {"DJI_20260101120000_0001_DOWN.JPG", Lens::Down, "DJI_20260101120000_0001"},
      {"dji_0001_down.dng", Lens::Down, "dji_0001"},
      {"DJI_0001_Up_edit.jpg", Lens::Up, "DJI_0001_edit"},
      {"shot_up", Lens::Up, "shot"},
      {"DJI_0001_UPPER.JPG", std::nullopt, ""},
      {"DJI_0001.JPG", std::nullopt, ""},
      // Both markers: up wins, as in the worker's role detection.
      {"A_DOWN_UP.jpg", Lens::Up, "A_DOWN"},
  };
  for (const Case& c : cases) {
    const std::optional<Marker> m = find_marker(c.name);
    ASSERT_EQ(m.has_value(), c.lens.has_value()) << c.name;
    if (!m) continue;
    EXPECT_EQ(m->lens, *c.lens) << c.name;
    EXPECT_EQ(m->shot, c.shot) << c.name;
  }
}

TEST(FormatForExtension, KnowsTheFourOutputs) {
  EXPECT_EQ(format_for_extension("a.JPEG"), "jpg");
  EXPECT_EQ(format_for_extension("a.png"), "png");
  EXPECT_EQ(format_for_extension("a.tif"), "tiff");
  EXPECT_EQ(format_for_extension("a.TIFF"), "tiff");
  EXPECT_EQ(format_for_extension("a.dng"), "dng");
  EXPECT_EQ(format_for_extension("a.bmp"), std::nullopt);
  EXPECT_EQ(format_for_extension("noext"), std::nullopt);
  EXPECT_EQ(extension_for_format("tiff"), ".tif");
}

TEST(ScanFolder, PairsByNameAndReportsWhatIsLeftOver) {
  fixtures::TempDir dir;
  for (const char* name :
       {"DJI_0002_UP.JPG", "DJI_0002_DOWN.JPG", "DJI_0001_UP.JPG", "DJI_0001_DOWN.JPG",
        "DJI_0001_UP.DNG", "DJI_0001_DOWN.DNG", "DJI_0003_UP.JPG", "DJI_0004_DOWN.jpg",
        "DJI_0005.JPG", "notes.txt", "DJI_0006_UP.jpg", "DJI_0006_UP.jpeg",
        "DJI_0006_DOWN.jpg"}) {
    ASSERT_TRUE(fixtures::write_bytes(dir.file(name), {1, 2, 3}));
  }
  fs::create_directories(dir.file("sub"));
  ASSERT_TRUE(fixtures::write_bytes(dir.file("sub/DJI_0009_UP.JPG"), {1}));

  auto scanned = scan_folder(dir.path());
  ASSERT_TRUE(scanned);
  const FolderScan& s = *scanned;
  ASSERT_EQ(s.pairs.size(), 3u);
  EXPECT_EQ(s.pairs[0].name, "DJI_0001");
  EXPECT_EQ(s.pairs[0].up.filename(), "DJI_0001_UP.DNG");
  EXPECT_EQ(s.pairs[0].down.filename(), "DJI_0001_DOWN.DNG");
  EXPECT_EQ(s.pairs[1].name, "DJI_0001");
  EXPECT_EQ(s.pairs[1].up.filename(), "DJI_0001_UP.JPG");
  EXPECT_EQ(s.pairs[2].name, "DJI_0002");

  ASSERT_EQ(s.unpaired.size(), 6u);
  auto reason = [&](const std::string& file) {
    for (const Unpaired& u : s.unpaired) {
      if (u.file.filename() == file) return u.reason;
    }
    return std::string("(not listed)");
  };
  EXPECT_EQ(reason("DJI_0003_UP.JPG"), "no matching _DOWN file");
  EXPECT_EQ(reason("DJI_0004_DOWN.jpg"), "no matching _UP file");
  EXPECT_EQ(reason("DJI_0005.JPG"), "no _UP or _DOWN marker in the file name");
  EXPECT_EQ(reason("DJI_0006_UP.jpeg"), "more than one file for one lens of this shot");
  EXPECT_EQ(reason("DJI_0006_DOWN.jpg"), "more than one file for one lens of this shot");

  // The JPG and DNG pairs of one shot get distinct outputs.
  const auto out = output_paths(s.pairs, "panos", "tiff");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], fs::path("panos/DJI_0001_dng.tif"));
  EXPECT_EQ(out[1], fs::path("panos/DJI_0001_jpg.tif"));
  EXPECT_EQ(out[2], fs::path("panos/DJI_0002.tif"));
}

TEST(ScanFolder, AMissingFolderIsAnError) {
  EXPECT_FALSE(scan_folder("/nonexistent/folder/for/sure"));
}

}  // namespace
}  // namespace stitch::cli
