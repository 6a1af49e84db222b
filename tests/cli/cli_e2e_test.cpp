// The `stitch` command end to end: it starts the real worker beside it, so
// these runs cover the whole road from the command line to the files.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/process.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;
using fixtures::TempDir;
using test::ProcessOptions;
using test::ProcessResult;

fs::path stitch_binary() { return fs::path(STITCH_BINARY_DIR) / "stitch"; }

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

Bytes read_all(const fs::path& p) {
  auto bytes = fixtures::read_bytes(p);
  return bytes ? *bytes : Bytes{};
}

bool starts_with(const Bytes& bytes, const Bytes& prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

const Bytes kJpegMagic{0xFF, 0xD8, 0xFF};
const Bytes kPngMagic{0x89, 'P', 'N', 'G'};
const Bytes kTiffMagic{'I', 'I', 42, 0};

// Pixel-free garbage under a camera name: the pair's header cannot be read.
void write_broken(const fs::path& p) {
  ASSERT_TRUE(fixtures::write_bytes(p, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 'n', 'o', 't', ' ', 'a'}));
}

class StitchCli : public ::testing::Test {
 protected:
  // One small synthetic pair per shot name, written as DJI-style JPGs.
  pairs::PairPaths write_pair(const fs::path& dir, const std::string& stem) {
    static const pairs::Pair pair = [] {
      pairs::PairOptions o;
      o.size = 256;
      o.down.rollDegrees = 0.4f;
      o.down_exposure = {0.9f, 0.9f, 0.9f};
      return pairs::render_pair(o);
    }();
    fs::create_directories(dir);
    auto written = pairs::write_pair_jpg(dir, pair, 92, stem);
    EXPECT_TRUE(written);
    return written ? *written : pairs::PairPaths{};
  }

  ProcessResult stitch(std::vector<std::string> args) {
    ProcessOptions options;
    options.program = stitch_binary();
    options.args = std::move(args);
    options.working_directory = dir_.path();
    return test::run_process("", options);
  }

  TempDir dir_;
};

TEST_F(StitchCli, ExportsOnePairWithProgressAndNoLeftovers) {
  const pairs::PairPaths p = write_pair(dir_.path(), "DJI_0001");
  const ProcessResult r =
      stitch({p.up.string(), p.down.string(), "-o", "out/DJI_0001.jpg", "--preview", "prev.jpg"});
  ASSERT_TRUE(r.exited_zero()) << r.out << r.err;
  EXPECT_TRUE(starts_with(read_all(dir_.file("out/DJI_0001.jpg")), kJpegMagic));
  EXPECT_TRUE(starts_with(read_all(dir_.file("prev.jpg")), kJpegMagic));
  // Width proposed by the worker for 256-pixel lenses, and the bar's last step.
  EXPECT_TRUE(contains(r.out, "Output: 2048 x 1024 JPG")) << r.out;
  EXPECT_TRUE(contains(r.out, "Saved out/DJI_0001.jpg")) << r.out;
  EXPECT_TRUE(contains(r.err, "Export  100%  Export complete")) << r.err;
  EXPECT_TRUE(contains(r.err, "Preview 100%  Preview ready")) << r.err;
  for (const auto& e : fs::directory_iterator(dir_.file("out"))) {
    EXPECT_EQ(e.path().filename(), "DJI_0001.jpg");
  }
}

TEST_F(StitchCli, FormatFollowsTheOutputNameOrTheOption) {
  const pairs::PairPaths p = write_pair(dir_.path(), "DJI_0002");
  struct Case {
    std::vector<std::string> extra;
    std::string output;
    Bytes magic;
  };
  for (const Case& c : {Case{{}, "a.png", kPngMagic}, Case{{}, "b.TIF", kTiffMagic},
                        Case{{"--format", "jpg"}, "c.pano", kJpegMagic}}) {
    std::vector<std::string> args{p.up.string(), p.down.string(), "-o", c.output};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const ProcessResult r = stitch(args);
    ASSERT_TRUE(r.exited_zero()) << c.output << "\n" << r.err;
    EXPECT_TRUE(starts_with(read_all(dir_.file(c.output)), c.magic)) << c.output;
  }
}

TEST_F(StitchCli, RefusesToOverwriteUnlessAsked) {
  const pairs::PairPaths p = write_pair(dir_.path(), "DJI_0003");
  const Bytes keep{'k', 'e', 'e', 'p'};
  ASSERT_TRUE(fixtures::write_bytes(dir_.file("pano.jpg"), keep));

  const ProcessResult refused = stitch({p.up.string(), p.down.string(), "-o", "pano.jpg"});
  EXPECT_EQ(refused.exit_code, 3);
  EXPECT_TRUE(contains(refused.err, "pano.jpg already exists; add --overwrite")) << refused.err;
  EXPECT_EQ(read_all(dir_.file("pano.jpg")), keep);

  const ProcessResult replaced =
      stitch({p.up.string(), p.down.string(), "-o", "pano.jpg", "--overwrite"});
  ASSERT_TRUE(replaced.exited_zero()) << replaced.err;
  EXPECT_TRUE(starts_with(read_all(dir_.file("pano.jpg")), kJpegMagic));
}

TEST_F(StitchCli, ExitStatusSaysWhatWentWrong) {
  const pairs::PairPaths p = write_pair(dir_.path(), "DJI_0004");
  write_broken(dir_.file("BAD_0004_DOWN.jpg"));
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string message;  // expected in stderr
  };
  const std::string up = p.up.string();
  const std::string down = p.down.string();
  const Case cases[] = {
      // The worker's own words come through.
      {{up, "BAD_0004_DOWN.jpg", "-o", "x.jpg"}, 1, "cannot read the pair: Image error:"},
      {{up, down, "-o", "x.dng"}, 1, "Linear DNG export requires two DNG sources"},
      {{up, down}, 2, "say where the panorama goes"},
      {{up, down, "-o", "x.bmp"}, 2, "cannot tell the format"},
      {{up, down, "-o", "x.jpg", "--width", "3001"}, 2, "--width must be an even number"},
      {{up, down, "-o", "x.jpg", "--width", "100"}, 2, "--width"},
      {{up, "MISSING_DOWN.jpg", "-o", "x.jpg"}, 2, "MISSING_DOWN.jpg"},
      {{up, down, "-o", "x.jpg", "--worker", "/nonexistent/stitch-worker"}, 4,
       "cannot run the worker"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = stitch(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args.back() << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_FALSE(fs::exists(dir_.file("x.jpg")));
  }
}

TEST_F(StitchCli, BatchStitchesEveryPairAndNamesTheBrokenOne) {
  const fs::path in = dir_.file("card");
  write_pair(in, "DJI_0010");
  write_pair(in, "DJI_0011");
  const pairs::PairPaths broken = write_pair(in, "DJI_0012");
  write_broken(broken.down);
  write_pair(in, "DJI_0013");
  fs::remove(in / "DJI_0013_DOWN.jpg");  // a lone UP file

  const ProcessResult r = stitch({"--batch", "card", "-o", "panos", "--protocol-log", "log.txt"});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_TRUE(starts_with(read_all(dir_.file("panos/DJI_0010.jpg")), kJpegMagic));
  EXPECT_TRUE(starts_with(read_all(dir_.file("panos/DJI_0011.jpg")), kJpegMagic));
  EXPECT_FALSE(fs::exists(dir_.file("panos/DJI_0012.jpg")));
  EXPECT_TRUE(contains(r.out, "3 pairs: 2 stitched, 2 failed, 0 skipped")) << r.out;
  // The summary names each failure with its reason.
  EXPECT_TRUE(contains(r.out, "DJI_0012")) << r.out;
  EXPECT_TRUE(contains(r.out, "FAILED")) << r.out;
  EXPECT_TRUE(contains(r.out, "Image error:")) << r.out;
  EXPECT_TRUE(contains(r.out, "DJI_0013_UP.jpg")) << r.out;
  EXPECT_TRUE(contains(r.out, "no matching _DOWN file")) << r.out;
  // The whole exchange went through one worker and is in the log.
  const Bytes log = read_all(dir_.file("log.txt"));
  const std::string text(log.begin(), log.end());
  EXPECT_TRUE(contains(text, "> {\"action\":\"start_export\"")) << text.substr(0, 400);
  EXPECT_TRUE(contains(text, "< {\"event\":\"export_complete\""));
}

TEST_F(StitchCli, BatchKeepsExistingOutputs) {
  const fs::path in = dir_.file("card");
  write_pair(in, "DJI_0020");
  write_pair(in, "DJI_0021");
  fs::create_directories(dir_.file("panos"));
  const Bytes keep{'k', 'e', 'e', 'p'};
  ASSERT_TRUE(fixtures::write_bytes(dir_.file("panos/DJI_0020.png"), keep));

  const ProcessResult r = stitch({"--batch", "card", "-o", "panos", "--format", "png"});
  EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
  EXPECT_EQ(read_all(dir_.file("panos/DJI_0020.png")), keep);
  EXPECT_TRUE(starts_with(read_all(dir_.file("panos/DJI_0021.png")), kPngMagic));
  EXPECT_TRUE(contains(r.out, "2 pairs: 1 stitched, 0 failed, 1 skipped")) << r.out;
  EXPECT_TRUE(contains(r.out, "exists (add --overwrite to replace it)")) << r.out;

  const ProcessResult again =
      stitch({"--batch", "card", "-o", "panos", "--format", "png", "--overwrite"});
  EXPECT_TRUE(again.exited_zero()) << again.out << again.err;
  EXPECT_TRUE(starts_with(read_all(dir_.file("panos/DJI_0020.png")), kPngMagic));
  EXPECT_TRUE(contains(again.out, "2 pairs: 2 stitched, 0 failed, 0 skipped")) << again.out;
}

TEST_F(StitchCli, InspectAndCapabilitiesWriteNothing) {
  const pairs::PairPaths p = write_pair(dir_.path(), "DJI_0030");
  const ProcessResult inspect = stitch({p.up.string(), p.down.string(), "--inspect"});
  ASSERT_TRUE(inspect.exited_zero()) << inspect.err;
  EXPECT_TRUE(contains(inspect.out, "Recommended width: 2048 x 1024 pixels")) << inspect.out;
  EXPECT_TRUE(contains(inspect.out, "Horizon levelling: none")) << inspect.out;

  // Swapped files: the worker's warning is shown.
  const ProcessResult swapped = stitch({p.down.string(), p.up.string(), "--inspect"});
  ASSERT_TRUE(swapped.exited_zero()) << swapped.err;
  EXPECT_TRUE(contains(swapped.out, "Warning: The selected filenames appear to be reversed."))
      << swapped.out;

  const ProcessResult caps = stitch({"--capabilities"});
  ASSERT_TRUE(caps.exited_zero()) << caps.err;
  EXPECT_TRUE(contains(caps.out, "Output formats:  jpg, png, tiff, dng")) << caps.out;

  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_.path())) ++files;
  EXPECT_EQ(files, 2u);
}

TEST_F(StitchCli, HelpSpeaksToPhotographers) {
  const ProcessResult r = stitch({"--help"});
  ASSERT_TRUE(r.exited_zero());
  EXPECT_TRUE(contains(r.out, "Examples:"));
  EXPECT_TRUE(contains(r.out, "--batch"));
  EXPECT_TRUE(contains(r.out, "Exit status:"));
}

}  // namespace
}  // namespace stitch
