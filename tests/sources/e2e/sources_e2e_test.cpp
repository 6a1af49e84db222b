// inspect_pair through the worker binary: fixture JPG and DNG pairs answered
// with pair_inspected, and broken sources answered with failed.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/fixtures.hpp"
#include "support/process.hpp"

namespace stitch {
namespace {

namespace fx = fixtures;
namespace fs = std::filesystem;
using nlohmann::json;

const std::string kRequestId = "7d3f6a10-4c2b-4e8a-9f1d-2b6c8e0a5f34";

std::string inspect_line(const fs::path& up, const fs::path& down) {
  return json{{"action", "inspect_pair"},
              {"protocol_version", 3},
              {"request_id", kRequestId},
              {"up_path", up.string()},
              {"down_path", down.string()}}
      .dump();
}

// One worker run answering every request line in order.
std::vector<json> run_requests(const std::vector<std::string>& lines) {
  std::string input;
  for (const auto& l : lines) input += l + "\n";
  const test::ProcessResult r = test::run_worker(input);
  EXPECT_TRUE(r.exited_zero()) << "exit " << r.exit_code << " signal " << r.term_signal << "\n" << r.err;
  std::vector<json> events;
  for (const auto& line : r.lines) events.push_back(json::parse(line, nullptr, false));
  EXPECT_EQ(events.size(), lines.size()) << r.out;
  return events;
}

LinearImage grey(std::uint32_t w, std::uint32_t h) {
  return synthetic(w, h, [](std::uint32_t x, std::uint32_t) {
    return x % 2 ? Rgb{0.3f, 0.3f, 0.3f} : Rgb{0.2f, 0.25f, 0.3f};
  });
}

bool is_v4(const json& id) {
  static const std::regex kV4("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  return id.is_string() && std::regex_match(id.get<std::string>(), kV4);
}

TEST(InspectPairE2E, JpgAndDngPairs) {
  fx::TempDir dir;
  const fs::path jup = dir.file("DJI_0001_UP.JPG");
  const fs::path jdown = dir.file("DJI_0001_DOWN.JPG");
  ASSERT_TRUE(fx::write_jpeg_fixture(jup, grey(48, 40), {.xmp = fx::dji_xmp(12, -8, 2)}));
  ASSERT_TRUE(fx::write_jpeg_fixture(jdown, grey(48, 40), {.xmp = fx::dji_xmp(12.5f, -8.5f, 2)}));

  const fs::path dup = dir.file("DJI_0002_UP.DNG");
  const fs::path ddown = dir.file("DJI_0002_DOWN.DNG");
  fx::DngFixtureOptions o;
  o.iso = 200;
  o.baseline_exposure = 0.5f;
  o.xmp = fx::dji_xmp(90, 0, -1);
  ASSERT_TRUE(fx::write_dng_fixture(dup, grey(40, 32), o));
  o.baseline_exposure = 1.0f;
  o.iso = 0;
  ASSERT_TRUE(fx::write_dng_fixture(ddown, grey(40, 32), o));

  const std::vector<json> events =
      run_requests({inspect_line(jup, jdown), inspect_line(dup, ddown), inspect_line(jdown, dup)});
  ASSERT_EQ(events.size(), 3u);

  const json& jpg = events[0];
  ASSERT_EQ(jpg["event"], "pair_inspected") << jpg.dump();
  EXPECT_EQ(jpg["request_id"], kRequestId);
  const json& jp = jpg["payload"];
  EXPECT_TRUE(is_v4(jp["pairId"])) << jp["pairId"];
  EXPECT_EQ(jp["up"]["path"], jup.string());
  EXPECT_EQ(jp["up"]["role"], "up");
  EXPECT_EQ(jp["down"]["role"], "down");
  EXPECT_EQ(jp["up"]["format"], "jpeg");
  EXPECT_EQ(jp["up"]["width"], 48);
  EXPECT_EQ(jp["up"]["height"], 40);
  EXPECT_EQ(jp["up"]["bitDepth"], 8);
  EXPECT_TRUE(jp["up"]["camera"].is_null());
  EXPECT_EQ(jp["up"]["rawCapable"], false);
  EXPECT_TRUE(jp["up"]["iso"].is_null());
  EXPECT_TRUE(jp["up"]["baselineExposureEv"].is_null());
  EXPECT_EQ(jp["warnings"], json::array());
  EXPECT_EQ(jp["recommendedWidth"], 2048);
  EXPECT_EQ(jp["dngEligible"], false);
  ASSERT_TRUE(jp["suggestedSphere"].is_object()) << jp.dump();
  EXPECT_EQ(jp["suggestedSphere"]["yawDegrees"], 0.0);
  EXPECT_NEAR(jp["suggestedSphere"]["pitchDegrees"].get<double>(), 8.25, 1e-5);
  EXPECT_NEAR(jp["suggestedSphere"]["rollDegrees"].get<double>(), -2.0, 1e-5);

  const json& dng = events[1];
  ASSERT_EQ(dng["event"], "pair_inspected") << dng.dump();
  const json& dp = dng["payload"];
  EXPECT_TRUE(is_v4(dp["pairId"]));
  EXPECT_NE(dp["pairId"], jp["pairId"]);
  EXPECT_EQ(dp["up"]["format"], "dng");
  EXPECT_EQ(dp["up"]["bitDepth"], 16);
  EXPECT_EQ(dp["up"]["camera"], "DJI Avata 360");
  EXPECT_EQ(dp["up"]["rawCapable"], true);
  EXPECT_EQ(dp["up"]["iso"], 200.0);
  EXPECT_TRUE(dp["down"]["iso"].is_null());
  EXPECT_EQ(dp["up"]["baselineExposureEv"], 0.5);
  EXPECT_EQ(dp["down"]["baselineExposureEv"], 1.0);
  EXPECT_EQ(dp["warnings"],
            json::array({"The DNG BaselineExposure values differ (0.5 and 1.0 EV). The smaller value will be used "
                         "to protect highlights."}));
  EXPECT_EQ(dp["dngEligible"], true);
  EXPECT_NEAR(dp["suggestedSphere"]["rollDegrees"].get<double>(), 1.0, 1e-5);

  const json& mixed = events[2];
  ASSERT_EQ(mixed["event"], "pair_inspected") << mixed.dump();
  EXPECT_EQ(mixed["payload"]["warnings"],
            json::array({"The selected filenames appear to be reversed. Use Swap before stitching.",
                         "Mixed JPG/DNG sources can be stitched, but the result is limited by the 8-bit JPG "
                         "source and Linear DNG export is disabled.",
                         "The two source dimensions differ; output resolution uses the smaller fisheye."}));
  EXPECT_EQ(mixed["payload"]["dngEligible"], false);
  EXPECT_TRUE(mixed["payload"]["suggestedSphere"].is_null());  // attitudes from different shots
}

TEST(InspectPairE2E, BrokenSourcesAnswerFailed) {
  fx::TempDir dir;
  const fs::path good = dir.file("ok_down.jpg");
  ASSERT_TRUE(fx::write_jpeg_fixture(good, grey(32, 32)));
  const fs::path corrupt_dng = dir.file("corrupt_up.dng");
  ASSERT_TRUE(fx::write_bytes(corrupt_dng, fx::corrupted(fx::dng_bytes(grey(32, 32)), 0, 512, 3)));
  const fs::path text_jpg = dir.file("text_up.jpg");
  ASSERT_TRUE(fx::write_bytes(text_jpg, {'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}));
  const fs::path missing = dir.file("missing_up.jpg");
  const fs::path missing_dng = dir.file("missing_up.dng");
  const fs::path tiff = dir.file("pano_up.tif");

  struct Case {
    fs::path up;
    std::string code;
    std::string message_prefix;
    bool exact;
  };
  const std::vector<Case> cases = {
      {missing, "io_error", "I/O error: ", false},
      {tiff, "unsupported_format", "Unsupported input format: " + tiff.string(), true},
      {corrupt_dng, "dng_decode_failed", "Could not decode DNG: ", false},
      {missing_dng, "dng_decode_failed", "Could not decode DNG: ", false},
      {text_jpg, "unsupported_format", "Image error: ", false},
      {dir.path() / "folder_up.jpg", "io_error", "I/O error: ", false},
  };
  fs::create_directory(dir.path() / "folder_up.jpg");
  std::vector<std::string> lines;
  for (const Case& c : cases) lines.push_back(inspect_line(c.up, good));
  const std::vector<json> events = run_requests(lines);
  ASSERT_EQ(events.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const json& e = events[i];
    const Case& c = cases[i];
    ASSERT_EQ(e["event"], "failed") << e.dump();
    EXPECT_EQ(e["request_id"], kRequestId);
    EXPECT_TRUE(e["job_id"].is_null());
    EXPECT_EQ(e["code"], c.code) << c.up;
    const std::string message = e["message"].get<std::string>();
    if (c.exact) {
      EXPECT_EQ(message, c.message_prefix);
    } else {
      EXPECT_EQ(message.rfind(c.message_prefix, 0), 0u) << message;
      EXPECT_GT(message.size(), c.message_prefix.size()) << message;
    }
  }
}

}  // namespace
}  // namespace stitch
