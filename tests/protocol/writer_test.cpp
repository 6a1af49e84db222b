#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

#include "types/types.hpp"

namespace stitch {
namespace {

const Uuid kId = *Uuid::parse("5F0C1C9E-2B7A-4D35-9A51-0C3F2B9D7E11");
const Uuid kJob = *Uuid::parse("0d3c7a5286f14e0bb6a42f9e8c1d7a30");
const std::string kIdText = "5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11";
const std::string kJobText = "0d3c7a52-86f1-4e0b-b6a4-2f9e8c1d7a30";

std::string text_of(const WorkerEvent& e) {
  auto r = write_event(e);
  EXPECT_TRUE(r.has_value());
  return r.has_value() ? r.value() : std::string();
}

// The float as the writer spells it, through a progress-free carrier.
std::string float_text(float v) {
  PreviewInfo p;
  p.appliedDownYaw = v;
  const std::string t = text_of(PreviewReadyEvent{kId, p});
  const auto start = t.find("\"appliedDownYaw\":") + 17;
  return t.substr(start, t.find(',', start) - start);
}

std::string message_text(const std::string& message) {
  const std::string t = text_of(FailedEvent{kId, std::nullopt, ErrorCode::IoError, message});
  const auto start = t.find("\"message\":") + 10;
  return t.substr(start, t.size() - 1 - start);
}

TEST(EventWriter, Progress) {
  EXPECT_EQ(text_of(ProgressEvent{kId, JobProgress{kJob, JobStage::Decode, 5, "Developing source images"}}),
            R"({"event":"progress","request_id":")" + kIdText + R"(","payload":{"jobId":")" + kJobText +
                R"(","stage":"decode","progress":5,"message":"Developing source images"}})");
}

TEST(EventWriter, EveryStageName) {
  const std::pair<JobStage, const char*> stages[] = {
      {JobStage::Inspect, "inspect"}, {JobStage::Decode, "decode"}, {JobStage::Align, "align"},
      {JobStage::Project, "project"}, {JobStage::Blend, "blend"},   {JobStage::Encode, "encode"},
      {JobStage::Complete, "complete"}};
  for (const auto& [stage, name] : stages) {
    const std::string t = text_of(ProgressEvent{kId, JobProgress{kJob, stage, 255, ""}});
    EXPECT_NE(t.find(std::string("\"stage\":\"") + name + "\",\"progress\":255,"), std::string::npos) << t;
  }
}

TEST(EventWriter, Capabilities) {
  Capabilities caps{"cpu", true, {OutputFormat::Jpg, OutputFormat::Png, OutputFormat::Tiff, OutputFormat::Dng}, 20000};
  EXPECT_EQ(text_of(CapabilitiesEvent{kId, caps}),
            R"({"event":"capabilities","request_id":")" + kIdText +
                R"(","payload":{"gpuBackend":"cpu","rawSupport":true,"outputFormats":["jpg","png","tiff","dng"],)"
                R"("maxOutputWidth":20000}})");
  caps.outputFormats.clear();
  caps.rawSupport = false;
  EXPECT_NE(text_of(CapabilitiesEvent{kId, caps}).find(R"("rawSupport":false,"outputFormats":[],)"),
            std::string::npos);
}

TEST(EventWriter, PairInspectedWithAbsentValues) {
  PairInfo p;
  p.pairId = kJob;
  p.up = SourceInfo{"a/UP.jpg", FisheyeRole::Up, SourceFormat::Jpeg, 4000, 3000, 8, std::nullopt, false,
                    std::nullopt, std::nullopt};
  p.down = SourceInfo{"a/DOWN.dng", FisheyeRole::Unknown, SourceFormat::Dng, 10, 20, 16, "DJI FCA188", true, 100.0f,
                      -0.5f};
  p.warnings = {"one", "two \"quoted\""};
  p.recommendedWidth = 7680;
  p.dngEligible = true;
  EXPECT_EQ(text_of(PairInspectedEvent{kId, p}),
            R"({"event":"pair_inspected","request_id":")" + kIdText + R"(","payload":{"pairId":")" + kJobText +
                R"(","up":{"path":"a/UP.jpg","role":"up","format":"jpeg","width":4000,"height":3000,"bitDepth":8,)"
                R"("camera":null,"rawCapable":false,"iso":null,"baselineExposureEv":null},)"
                R"("down":{"path":"a/DOWN.dng","role":"unknown","format":"dng","width":10,"height":20,"bitDepth":16,)"
                R"("camera":"DJI FCA188","rawCapable":true,"iso":100.0,"baselineExposureEv":-0.5},)"
                R"("warnings":["one","two \"quoted\""],"recommendedWidth":7680,"dngEligible":true,)"
                R"("suggestedSphere":null}})");
  p.suggestedSphere = SphereRotation{1.5f, -2.0f, 0.0f};
  EXPECT_NE(text_of(PairInspectedEvent{kId, p})
                .find(R"("suggestedSphere":{"yawDegrees":1.5,"pitchDegrees":-2.0,"rollDegrees":0.0}}})"),
            std::string::npos);
}

TEST(EventWriter, PreviewReady) {
  PreviewInfo p{"/tmp/p.jpg", 1024, 512, false, 0.25f, std::nanf(""), 2.0f, "neutral-v1", std::nullopt};
  EXPECT_EQ(text_of(PreviewReadyEvent{kId, p}),
            R"({"event":"preview_ready","request_id":")" + kIdText +
                R"(","payload":{"path":"/tmp/p.jpg","width":1024,"height":512,"usedGpu":false,)"
                R"("appliedDownYaw":0.25,"appliedDownRoll":null,"appliedBaseExposureEv":2.0,)"
                R"("renderProfileId":"neutral-v1","suggestedColor":null}})");
  ColorAdjustments c;
  c.exposureEv = 0.1f;
  c.noiseReduction = -3.0f;
  p.suggestedColor = c;
  EXPECT_NE(text_of(PreviewReadyEvent{kId, p})
                .find(R"("suggestedColor":{"version":2,"exposureEv":0.1,"brightness":0.0,"contrast":0.0,)"
                      R"("highlights":0.0,"shadows":0.0,"saturation":0.0,"vibrance":0.0,"warmth":0.0,"tint":0.0,)"
                      R"("clarity":0.0,"sharpening":0.0,"noiseReduction":-3.0}}})"),
            std::string::npos);
}

TEST(EventWriter, ExportCompleteAndFailed) {
  EXPECT_EQ(text_of(ExportCompleteEvent{kId, kJob, "rel/out.tif"}),
            R"({"event":"export_complete","request_id":")" + kIdText + R"(","job_id":")" + kJobText +
                R"(","destination":"rel/out.tif"})");
  EXPECT_EQ(text_of(FailedEvent{Uuid{}, std::nullopt, ErrorCode::ProtocolError, "Invalid JSON request: x"}),
            R"({"event":"failed","request_id":"00000000-0000-0000-0000-000000000000","job_id":null,)"
            R"("code":"protocol_error","message":"Invalid JSON request: x"})");
  EXPECT_EQ(text_of(FailedEvent{kId, kJob, ErrorCode::WorkerCrash, "m"}),
            R"({"event":"failed","request_id":")" + kIdText + R"(","job_id":")" + kJobText +
                R"(","code":"worker_crash","message":"m"})");
}

TEST(EventWriter, FloatsKeepAFractionOrExponent) {
  const std::pair<float, const char*> cases[] = {
      {2.0f, "2.0"},         {0.0f, "0.0"},        {-0.0f, "-0.0"},         {100.0f, "100.0"},
      {0.1f, "0.1"},         {-1.5f, "-1.5"},      {1e-7f, "1e-07"},        {3.4028235e38f, "3.4028235e+38"},
      {16777216.0f, "16777216.0"}, {1.0000001f, "1.0000001"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(float_text(value), text) << value;
  EXPECT_EQ(float_text(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(float_text(-std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(float_text(std::numeric_limits<float>::quiet_NaN()), "null");
}

TEST(EventWriter, FloatsReadBackExactly) {
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::uint32_t bits = rng();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string t = float_text(v);
    float back = 0.0f;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << t;
    EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << t;
    EXPECT_NE(t.find_first_of(".e"), std::string::npos) << t;
    // And it is valid JSON as a number.
    EXPECT_TRUE(nlohmann::json::accept(t)) << t;
  }
}

TEST(EventWriter, StringEscaping) {
  EXPECT_EQ(message_text("line\nbreak"), "\"line\\nbreak\"");
  EXPECT_EQ(message_text("q\" b\\ /"), "\"q\\\" b\\\\ /\"");
  EXPECT_EQ(message_text("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
  EXPECT_EQ(message_text(std::string("\x00\x01\x0b\x1f\x7f", 5)), "\"\\u0000\\u0001\\u000b\\u001f\x7f\"");
  EXPECT_EQ(message_text("é 漢 😀 \u2028"), "\"é 漢 😀 \u2028\"");
  // Stray bytes cannot leave the process as invalid UTF-8.
  EXPECT_EQ(message_text("a\xff" "b\xe2\x82"), "\"a\xef\xbf\xbd" "b\xef\xbf\xbd\xef\xbf\xbd\"");
  EXPECT_EQ(message_text("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
}

TEST(EventWriter, OutputIsOneLineOfValidJson) {
  const std::string t = text_of(FailedEvent{kId, kJob, ErrorCode::IoError, "a\nb\r\nc\u2028"});
  EXPECT_EQ(t.find('\n'), std::string::npos);
  EXPECT_EQ(t.find('\r'), std::string::npos);
  const auto parsed = nlohmann::json::parse(t);
  EXPECT_EQ(parsed["message"], "a\nb\r\nc\u2028");
}

}  // namespace
}  // namespace stitch
