// The preview and export jobs through the real worker binary: what a front
// end sees on stdout, and the files it finds afterwards.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/job_requests.hpp"
#include "support/process.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

using nlohmann::json;
using test::ProcessOptions;
using test::ProcessResult;
using test::run_process;
namespace fs = std::filesystem;

std::vector<json> events(const ProcessResult& r) {
  std::vector<json> out;
  for (const auto& line : r.lines) {
    if (!line.empty()) out.push_back(json::parse(line));
  }
  return out;
}

// "stage percent message" of every progress event, in order.
std::vector<std::string> progress_of(const std::vector<json>& evs) {
  std::vector<std::string> out;
  for (const auto& e : evs) {
    if (e["event"] != "progress") continue;
    EXPECT_EQ(e["request_id"], requests::kRequestId);
    EXPECT_EQ(e["payload"]["jobId"], requests::kJobId);
    out.push_back(e["payload"]["stage"].get<std::string>() + " " +
                  std::to_string(e["payload"]["progress"].get<int>()) + " " +
                  e["payload"]["message"].get<std::string>());
  }
  return out;
}

class JobsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    pairs::PairOptions o;
    o.size = 256;
    o.down.rollDegrees = 0.4f;
    o.down_exposure = {0.92f, 0.92f, 0.92f};
    auto written = pairs::write_pair_jpg(dir_.path(), pairs::render_pair(o), 95, "DJI_0001");
    ASSERT_TRUE(written);
    paths_ = *written;
  }
  ProcessResult run(const std::string& line) {
    ProcessOptions options;
    options.working_directory = dir_.path();
    return run_process(line + "\n", options);
  }
  fixtures::TempDir dir_;
  pairs::PairPaths paths_;
};

TEST_F(JobsE2E, PreviewOnTheCpuPath) {
  const std::string dest = (dir_.path() / "sub" / "dir" / "preview.jpg").string();
  auto r = run(requests::preview_json(paths_.up, paths_.down, dest, requests::default_settings()));
  ASSERT_TRUE(r.exited_zero());
  auto evs = events(r);
  ASSERT_FALSE(evs.empty());
  std::vector<std::string> want = {"decode 5 Developing source images",
                                   "decode 35 Developing DOWN image",
                                   "align 45 Optimizing overlap alignment",
                                   "project 58 Projecting preview"};
  for (int block = 1; block <= 16; ++block) {
    const int p = static_cast<int>(std::lround(block * 32 / 512.0 * 100));
    want.push_back("project " + std::to_string(58 + p / 3) + " Projecting preview on CPU");
  }
  want.push_back("encode 94 Encoding preview");
  want.push_back("complete 100 Preview ready");
  EXPECT_EQ(progress_of(evs), want);

  const json& last = evs.back();
  ASSERT_EQ(last["event"], "preview_ready") << last.dump();
  EXPECT_EQ(last["request_id"], requests::kRequestId);
  const json& p = last["payload"];
  std::vector<std::string> keys;
  for (auto it = p.begin(); it != p.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(r.lines.back().find("{\"event\":\"preview_ready\",\"request_id\":"), 0u);
  EXPECT_EQ(p["path"], dest);
  EXPECT_EQ(p["width"], 1024);
  EXPECT_EQ(p["height"], 512);
  EXPECT_EQ(p["usedGpu"], false);
  EXPECT_TRUE(p["appliedDownYaw"].is_number());
  EXPECT_TRUE(p["appliedDownRoll"].is_number());
  EXPECT_EQ(p["appliedBaseExposureEv"], 0.0);
  EXPECT_EQ(p["renderProfileId"], "neutral-v1");
  ASSERT_TRUE(p["suggestedColor"].is_object());
  EXPECT_EQ(p["suggestedColor"]["version"], 2);
  EXPECT_EQ(p["suggestedColor"].size(), 13u);

  // The preview is a 1024 x 512 JPEG and nothing temporary is left beside it.
  auto bytes = fixtures::read_bytes(dest).value();
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, cs = 0;
  ASSERT_EQ(tjDecompressHeader3(tj, bytes.data(), bytes.size(), &w, &h, &sub, &cs), 0);
  tjDestroy(tj);
  EXPECT_EQ(w, 1024);
  EXPECT_EQ(h, 512);
  EXPECT_EQ(sub, TJSAMP_444);  // quality 90
  for (const auto& entry : fs::directory_iterator(fs::path(dest).parent_path())) {
    EXPECT_EQ(entry.path().filename(), "preview.jpg");
  }
}

TEST_F(JobsE2E, ExportsToJpgAndPngKeepTheDestinationText) {
  for (const std::string format : {"jpg", "png"}) {
    SCOPED_TRACE(format);
    const std::string dest = "out/pano." + format;  // relative to the worker's directory
    auto r = run(requests::export_json(paths_.up, paths_.down, requests::default_settings(), dest,
                                       format, 80));
    ASSERT_TRUE(r.exited_zero());
    auto evs = events(r);
    std::vector<std::string> want = {"decode 2 Developing UP source",
                                     "decode 18 Developing DOWN source",
                                     "align 35 Optimizing alignment and exposure"};
    const int block = format == "jpg" ? 32 : 16;
    for (int done = block; done <= 1024; done += block) {
      const int p = static_cast<int>(std::lround(done / 1024.0 * 100));
      want.push_back("project " + std::to_string(40 + p * 42 / 100) + " Projecting panorama");
    }
    want.push_back("blend 83 Applying clarity and adaptive detail");
    want.push_back("encode 92 Writing output file");
    want.push_back("complete 100 Export complete");
    EXPECT_EQ(progress_of(evs), want);
    ASSERT_FALSE(evs.empty());
    EXPECT_EQ(r.lines.back(), std::string("{\"event\":\"export_complete\",\"request_id\":\"") +
                                  requests::kRequestId + "\",\"job_id\":\"" + requests::kJobId +
                                  "\",\"destination\":\"" + dest + "\"}");
    EXPECT_GT(fs::file_size(dir_.path() / dest), 10000u);
    EXPECT_FALSE(fs::exists(dir_.path() / "out" / (".pano." + format + ".part")));
  }
}

TEST_F(JobsE2E, RefusalsComeBeforeAnyProgressOrFile) {
  struct Case {
    std::string name;
    std::string line;
    std::string code;
    std::string message;
  };
  StitchSettings bad = requests::default_settings();
  bad.fovDegrees = 230.0f;
  const std::string dest = (dir_.path() / "never" / "pano.jpg").string();
  const std::vector<Case> cases = {
      {"dng from jpg",
       requests::export_json(paths_.up, paths_.down, requests::default_settings(), dest, "dng"),
       "invalid_settings", "Invalid stitch settings: Linear DNG export requires two DNG sources"},
      {"bad fov export", requests::export_json(paths_.up, paths_.down, bad, dest, "jpg"),
       "invalid_settings",
       "Invalid stitch settings: Fisheye FOV must be between 120 and 220 degrees"},
      {"missing source",
       requests::export_json((dir_.path() / "gone_UP.jpg").string(), paths_.down,
                             requests::default_settings(), dest, "jpg"),
       "io_error", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = run(c.line);
    auto evs = events(r);
    ASSERT_FALSE(evs.empty());
    const json& f = evs.back();
    EXPECT_EQ(f["event"], "failed");
    EXPECT_EQ(f["code"], c.code);
    EXPECT_EQ(f["job_id"], requests::kJobId);
    if (!c.message.empty()) {
      EXPECT_EQ(f["message"], c.message);
      EXPECT_EQ(evs.size(), 1u);  // no progress before the refusal
    }
    EXPECT_FALSE(fs::exists(fs::path(dest).parent_path()));
  }
}

}  // namespace
}  // namespace stitch
