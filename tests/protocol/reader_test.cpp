#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/request_samples.hpp"
#include "types/types.hpp"

namespace stitch {
namespace {

using test::capabilities_request;
using test::export_json;
using test::export_request;
using test::inspect_request;
using test::kJobId;
using test::kRequestId;
using test::preview_request;
using test::settings_json;

WorkerRequest read_ok(const std::string& text) {
  auto r = read_request(text);
  if (auto* e = std::get_if<RequestReadError>(&r)) {
    ADD_FAILURE() << "unexpected read error: " << e->description << "\n  for: " << text;
    return GetCapabilities{};
  }
  return std::get<WorkerRequest>(r);
}

std::string read_error(const std::string& text) {
  auto r = read_request(text);
  if (auto* e = std::get_if<RequestReadError>(&r)) return e->description;
  ADD_FAILURE() << "read unexpectedly succeeded: " << text.substr(0, 300);
  return {};
}

Uuid request_uuid() { return *Uuid::parse(kRequestId); }

TEST(RequestReader, ReadsEachActionWithItsFields) {
  const auto caps = std::get<GetCapabilities>(read_ok(capabilities_request()));
  EXPECT_EQ(caps.protocol_version, 3);
  EXPECT_EQ(caps.request_id, request_uuid());

  const auto inspect = std::get<InspectPair>(read_ok(inspect_request(3, "x/Ü p.jpg", "y\\\\z\\u00e9.dng")));
  EXPECT_EQ(inspect.up_path.string(), "x/Ü p.jpg");
  EXPECT_EQ(inspect.down_path.string(), "y\\zé.dng");

  const auto preview = std::get<RenderPreview>(read_ok(preview_request()));
  EXPECT_EQ(preview.job_id, *Uuid::parse(kJobId));
  EXPECT_EQ(preview.destination.string(), "prev/p.jpg");
  EXPECT_FALSE(preview.defer_display_render);
  const StitchSettings& s = preview.settings;
  EXPECT_EQ(s.presetId, "dji-avata360");
  EXPECT_EQ(s.presetVersion, 1);
  EXPECT_EQ(s.renderProfileId, "dji-avata360-natural-v1");
  EXPECT_EQ(s.outputWidth, 8192u);
  EXPECT_EQ(s.fovDegrees, 190.0f);
  EXPECT_EQ(s.seamFeatherDegrees, 4.5f);
  EXPECT_EQ(s.up.centerX, 0.01f);
  EXPECT_EQ(s.down.centerY, -0.02f);
  EXPECT_EQ(s.down.rollDegrees, 0.5f);
  EXPECT_EQ(s.sphere.yawDegrees, 10.0f);
  EXPECT_EQ(s.sphere.rollDegrees, -1.5f);
  EXPECT_EQ(s.color.version, 2);
  EXPECT_EQ(s.color.exposureEv, 0.5f);
  EXPECT_EQ(s.color.noiseReduction, 11.0f);
  EXPECT_TRUE(s.autoAlign);
  EXPECT_FALSE(s.exposureMatch);
  EXPECT_EQ(s.multibandLevels, 5);

  const auto exp = std::get<StartExport>(read_ok(export_request()));
  EXPECT_EQ(exp.export_request.destination, "out/pano.tif");
  EXPECT_EQ(exp.export_request.format, OutputFormat::Tiff);
  EXPECT_EQ(exp.export_request.jpegQuality, 92);
  EXPECT_TRUE(exp.export_request.embedMetadata);
  EXPECT_EQ(exp.export_request.tiffProfile, "prophoto");
}

TEST(RequestReader, ActionMayStandAnywhere) {
  const std::string last = R"({"protocol_version":3,"request_id":")" + kRequestId +
                           R"(","up_path":"u","down_path":"d","action":"inspect_pair"})";
  EXPECT_TRUE(std::holds_alternative<InspectPair>(read_ok(last)));
  const std::string middle = R"({"protocol_version":3,"action":"get_capabilities","request_id":")" + kRequestId + "\"}";
  EXPECT_TRUE(std::holds_alternative<GetCapabilities>(read_ok(middle)));
}

TEST(RequestReader, UnknownKeysAreIgnoredAtEveryLevel) {
  const std::string top = R"({"zzz":{"a":[1,{"b":null}]},"action":"get_capabilities","protocol_version":3,)"
                          R"("request_id":")" + kRequestId + R"(","settings":"not for this action"})";
  EXPECT_TRUE(std::holds_alternative<GetCapabilities>(read_ok(top)));
  const std::string nested = preview_request(3, "p.jpg", settings_json(R"(,"future":[1,2,{"x":"y"}])"));
  EXPECT_TRUE(std::holds_alternative<RenderPreview>(read_ok(nested)));
  std::string lens_extra = preview_request();
  lens_extra.replace(lens_extra.find("\"centerX\""), 0, "\"unknownLensKey\":true,");
  EXPECT_TRUE(std::holds_alternative<RenderPreview>(read_ok(lens_extra)));
  // Keys are matched with their letter case: a differently cased key is an
  // unknown one, so the real key is then missing.
  std::string cased = capabilities_request();
  cased.replace(cased.find("request_id"), 10, "Request_Id");
  EXPECT_NE(read_error(cased).find("missing field `request_id`"), std::string::npos);
}

TEST(RequestReader, DefaultsOfOptionalKeys) {
  const auto preview = std::get<RenderPreview>(read_ok(preview_request(3, "p.jpg", settings_json("", false))));
  EXPECT_EQ(preview.settings.color, ColorAdjustments{});
  EXPECT_EQ(preview.settings.color.version, 2);
  EXPECT_FALSE(preview.defer_display_render);
  std::string deferred = preview_request();
  deferred.insert(deferred.size() - 1, R"(,"defer_display_render":true)");
  EXPECT_TRUE(std::get<RenderPreview>(read_ok(deferred)).defer_display_render);
}

TEST(RequestReader, NumberTyping) {
  // fovDegrees as an integer reads as a float; exponent forms read too.
  std::string s = settings_json();
  const auto preview = std::get<RenderPreview>(read_ok(preview_request(3, "p", s)));
  EXPECT_EQ(preview.settings.fovDegrees, 190.0f);
  std::string exp = s;
  exp.replace(exp.find("\"seamFeatherDegrees\":4.5"), 24, "\"seamFeatherDegrees\":4.5E0");
  EXPECT_EQ(std::get<RenderPreview>(read_ok(preview_request(3, "p", exp))).settings.seamFeatherDegrees, 4.5f);
  // The nearest float to the decimal text, not a rounding of the nearest double.
  std::string near = s;
  near.replace(near.find("\"fovDegrees\":190"), 16, "\"fovDegrees\":1.00000005960464477550");
  EXPECT_EQ(std::get<RenderPreview>(read_ok(preview_request(3, "p", near))).settings.fovDegrees, 1.00000011920928955f);
  std::string maxed = s;
  maxed.replace(maxed.find("\"outputWidth\":8192"), 18, "\"outputWidth\":4294967295");
  EXPECT_EQ(std::get<RenderPreview>(read_ok(preview_request(3, "p", maxed))).settings.outputWidth, 4294967295u);
}

struct FaultCase {
  const char* name;
  std::string text;
  std::string expected;  // a part of the description
};

class RequestReaderFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(RequestReaderFaults, FailsWithItsDescription) {
  const std::string description = read_error(GetParam().text);
  EXPECT_NE(description.find(GetParam().expected), std::string::npos) << "description: " << description;
  EXPECT_EQ(description.find('\n'), std::string::npos);
}

std::string replace_once(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos) {
    ADD_FAILURE() << "sample lacks " << from;
    return text;
  }
  return text.replace(at, from.size(), to);
}

std::string with_key(std::string request, const std::string& member) {
  return request.insert(request.size() - 1, "," + member);
}

std::vector<FaultCase> fault_cases() {
  const std::string caps = capabilities_request();
  const std::string preview = preview_request();
  const std::string exp = export_request();
  return {
      // --- shape of the value
      {"Empty", "", "parse error"},
      {"OnlySpaces", "   ", "parse error"},
      {"NotJson", "hello", "parse error"},
      {"EmptyObject", "{}", "missing field `action`"},
      {"Array", "[]", "expected a request object"},
      {"String", "\"get_capabilities\"", "expected a request object"},
      {"Number", "3", "expected a request object"},
      {"Null", "null", "expected a request object"},
      {"TwoValues", caps + " " + caps, "expected end of input"},
      {"TrailingGarbage", caps + "x", "parse error"},
      {"TrailingComma", caps.substr(0, caps.size() - 1) + ",}", "parse error"},
      {"ByteOrderMark", "\xef\xbb\xbf" + caps, "byte-order mark"},
      {"Truncated", caps.substr(0, caps.size() - 1), "parse error"},
      {"SingleQuotes", "{'action':'get_capabilities'}", "parse error"},
      {"Comment", "/* c */" + caps, "parse error"},
      // --- action
      {"MissingAction", replace_once(caps, R"("action":"get_capabilities",)", ""), "missing field `action`"},
      {"UnknownAction", replace_once(caps, "get_capabilities", "get_everything"), "unknown variant `get_everything`"},
      {"ActionLetterCase", replace_once(caps, "get_capabilities", "Get_Capabilities"), "unknown variant"},
      {"ActionNamesAccepted", replace_once(caps, "get_capabilities", "x"), "`start_export`"},
      {"ActionNotString", replace_once(caps, "\"get_capabilities\"", "1"), "invalid type: integer `1`"},
      {"ActionNull", replace_once(caps, "\"get_capabilities\"", "null"), "invalid type: null"},
      // --- missing required keys
      {"MissingRequestId", replace_once(caps, R"(,"request_id":")" + kRequestId + "\"", ""), "missing field `request_id`"},
      {"MissingVersion", replace_once(caps, R"("protocol_version":3,)", ""), "missing field `protocol_version`"},
      {"MissingJobId", replace_once(preview, R"("job_id":")" + kJobId + "\",", ""), "missing field `job_id`"},
      {"MissingDestination", replace_once(preview, R"("destination":"prev/p.jpg",)", ""), "missing field `destination`"},
      {"MissingExport", replace_once(exp, R"(,"export":)" + export_json(), ""), "missing field `export`"},
      {"MissingPresetId", replace_once(preview, R"("presetId":"dji-avata360",)", ""), "missing field `presetId`"},
      {"MissingLensKey", replace_once(preview, R"("centerX":0.01,)", ""), "missing field `centerX`"},
      {"MissingSphereKey", replace_once(preview, R"("pitchDegrees":0,)", ""), "missing field `pitchDegrees`"},
      {"EmptyColor", replace_once(preview, test::kColor, "{}"), "missing field `version`"},
      {"MissingColorKey", replace_once(preview, R"("tint":8,)", ""), "missing field `tint`"},
      {"MissingExportKey", replace_once(exp, R"("jpegQuality":92,)", ""), "missing field `jpegQuality`"},
      // --- duplicates, at every level
      {"DuplicateTopLevel", with_key(caps, R"("request_id":")" + kRequestId + "\""), "duplicate field `request_id`"},
      {"DuplicateAction", with_key(caps, R"("action":"get_capabilities")"), "duplicate field `action`"},
      {"DuplicateUnknownKey", with_key(with_key(caps, R"("x":1)"), R"("x":1)"), "duplicate field `x`"},
      {"DuplicateInSettings", replace_once(preview, R"("autoAlign":true,)", R"("autoAlign":true,"autoAlign":true,)"),
       "duplicate field `settings.autoAlign`"},
      {"DuplicateInColor", replace_once(preview, R"("tint":8,)", R"("tint":8,"tint":8,)"),
       "duplicate field `settings.color.tint`"},
      {"DuplicateInLens", replace_once(preview, R"("centerX":0.01,)", R"("centerX":0.01,"centerX":0.01,)"),
       "duplicate field `settings.up.centerX`"},
      {"DuplicateInExport", replace_once(exp, R"("format":"tiff",)", R"("format":"tiff","format":"tiff",)"),
       "duplicate field `export.format`"},
      {"DuplicateSettings", with_key(preview, R"("settings":)" + settings_json()), "duplicate field `settings`"},
      // --- null, also for optional keys
      {"NullRequestId", replace_once(caps, "\"" + kRequestId + "\"", "null"), "invalid type: null"},
      {"NullDefer", with_key(preview, R"("defer_display_render":null)"), "invalid type: null"},
      {"NullColor", replace_once(preview, test::kColor, "null"), "invalid type: null"},
      {"NullSettings", replace_once(preview, settings_json(), "null"), "invalid type: null"},
      {"NullInLens", replace_once(preview, R"("centerX":0.01)", R"("centerX":null)"), "invalid type: null"},
      // --- wrong JSON types
      {"VersionString", replace_once(caps, "3,", "\"3\","), "invalid type: string \"3\""},
      {"VersionBool", replace_once(caps, "3,", "true,"), "invalid type: boolean `true`"},
      {"PathNumber", replace_once(inspect_request(), "\"a/UP.jpg\"", "5"), "expected a string"},
      {"DeferString", with_key(preview, R"("defer_display_render":"true")"), "expected a boolean"},
      {"SettingsArray", replace_once(preview, settings_json(), "[]"), "invalid type: sequence"},
      {"SettingsString", replace_once(preview, settings_json(), "\"s\""), "expected a StitchSettings object"},
      {"FloatString", replace_once(preview, R"("fovDegrees":190)", R"("fovDegrees":"190")"), "expected a number"},
      {"FloatBool", replace_once(preview, R"("fovDegrees":190)", R"("fovDegrees":true)"), "expected a number"},
      {"ObjectForFloat", replace_once(preview, R"("fovDegrees":190)", R"("fovDegrees":{})"), "invalid type: map"},
      {"FormatUpperCase", replace_once(exp, "\"tiff\"", "\"TIFF\""), "unknown variant `TIFF`"},
      {"FormatJpeg", replace_once(exp, "\"tiff\"", "\"jpeg\""), "unknown variant `jpeg`"},
      // --- integer typing and range
      {"VersionFraction", replace_once(caps, "3,", "3.0,"), "invalid type: floating point `3.0`"},
      {"VersionExponent", replace_once(caps, "3,", "3e0,"), "invalid type: floating point `3e0`"},
      {"WidthFraction", replace_once(preview, "8192", "8192.0"), "invalid type: floating point `8192.0`"},
      {"WidthExponent", replace_once(preview, "8192", "1e2"), "invalid type: floating point `1e2`"},
      {"VersionNegative", replace_once(caps, "3,", "-1,"), "invalid value: integer `-1`"},
      {"VersionTooLarge", replace_once(caps, "3,", "70000,"), "invalid value: integer `70000`"},
      {"WidthTooLarge", replace_once(preview, "8192", "4294967296"), "invalid value: integer `4294967296`"},
      {"HugeInteger", replace_once(caps, "3,", "123456789012345678901234567890,"), "invalid value: integer"},
      {"U8TooLarge", replace_once(preview, R"("multibandLevels":5)", R"("multibandLevels":256)"),
       "expected an unsigned 8-bit integer"},
      {"QualityNegative", replace_once(exp, R"("jpegQuality":92)", R"("jpegQuality":-92)"), "invalid value: integer `-92`"},
      {"FloatOverflowsDouble", replace_once(preview, R"("fovDegrees":190)", R"("fovDegrees":1e400)"), "overflow"},
      // --- UUIDs
      {"UuidShort", replace_once(caps, kRequestId, "5f0c1c9e"), "expected a UUID"},
      {"UuidBadDigit", replace_once(caps, kRequestId, "5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e1g"), "expected a UUID"},
      {"UuidHyphenMisplaced", replace_once(caps, kRequestId, "5f0c1c9e2-b7a-4d35-9a51-0c3f2b9d7e11"),
       "expected a UUID"},
      {"UuidBraceOpenOnly", replace_once(caps, kRequestId, "{5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11"), "expected a UUID"},
      {"UuidUrnUpperCase", replace_once(caps, kRequestId, "URN:UUID:" + kRequestId), "expected a UUID"},
      {"UuidBracedPlain", replace_once(caps, kRequestId, "{5f0c1c9e2b7a4d359a510c3f2b9d7e11}"), "expected a UUID"},
      {"UuidNumber", replace_once(caps, "\"" + kRequestId + "\"", "5"), "expected a UUID string"},
      // --- hostile shapes
      {"DeepArray", std::string(100000, '['), "expected a request object"},
      {"DeepObject", [] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "{\"a\":";
         return s;
       }(),
       "recursion limit"},
      {"DeepInsideUnknownKey", with_key(caps, "\"x\":" + std::string(5000, '[') + std::string(5000, ']')),
       "recursion limit"},
      {"ControlCharInString", replace_once(caps, kRequestId, "a\x01" "b"), "parse error"},
      {"LoneSurrogateEscape", replace_once(inspect_request(), "a/UP.jpg", "\\ud800"), "parse error"},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestReaderFaults, ::testing::ValuesIn(fault_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(RequestReader, ErrorsOfKeysTheActionDoesNotReadAreIgnored) {
  // `settings` and `job_id` are unknown to get_capabilities.
  const std::string text = with_key(capabilities_request(), R"("settings":5,"job_id":null)");
  EXPECT_TRUE(std::holds_alternative<GetCapabilities>(read_ok(text)));
}

TEST(RequestReader, FirstFaultInDocumentOrderWins) {
  const std::string text = R"({"action":"inspect_pair","protocol_version":3.5,"request_id":"nope"})";
  EXPECT_NE(read_error(text).find("protocol_version"), std::string::npos);
}

TEST(RequestReader, WrongProtocolVersionStillReads) {
  EXPECT_EQ(std::get<GetCapabilities>(read_ok(capabilities_request(2))).protocol_version, 2);
  EXPECT_EQ(std::get<StartExport>(read_ok(export_request(65535))).protocol_version, 65535);
}

TEST(RequestReader, JsonWhiteSpaceAroundTheValue) {
  EXPECT_TRUE(std::holds_alternative<GetCapabilities>(read_ok(" \t\r\n" + capabilities_request() + "\n\r\t ")));
}

TEST(RequestReader, LongTextsAreCutInDescriptions) {
  const std::string long_key(10000, 'k');
  const std::string text = with_key(with_key(capabilities_request(), "\"" + long_key + "\":1"), "\"" + long_key + "\":1");
  const std::string description = read_error(text);
  EXPECT_NE(description.find("duplicate field"), std::string::npos);
  EXPECT_LT(description.size(), 300u);
}

struct UuidCase {
  const char* name;
  std::string text;
};

class UuidForms : public ::testing::TestWithParam<UuidCase> {};

TEST_P(UuidForms, ReadAsTheSameId) {
  const auto parsed = Uuid::parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->to_string(), "5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11");
  const auto request = std::get<GetCapabilities>(read_ok(capabilities_request(3, GetParam().text)));
  EXPECT_EQ(request.request_id, *parsed);
}

INSTANTIATE_TEST_SUITE_P(Cases, UuidForms,
                         ::testing::Values(UuidCase{"Hyphenated", "5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11"},
                                           UuidCase{"UpperCase", "5F0C1C9E-2B7A-4D35-9A51-0C3F2B9D7E11"},
                                           UuidCase{"Simple", "5f0c1c9e2b7a4d359a510c3f2b9d7e11"},
                                           UuidCase{"SimpleUpper", "5F0C1C9E2B7A4D359A510C3F2B9D7E11"},
                                           UuidCase{"Braced", "{5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11}"},
                                           UuidCase{"Urn", "urn:uuid:5f0c1c9e-2b7a-4d35-9a51-0C3F2B9D7E11"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Uuid, NilAndRandom) {
  EXPECT_EQ(Uuid{}.to_string(), "00000000-0000-0000-0000-000000000000");
  EXPECT_TRUE(Uuid{}.is_nil());
  const Uuid a = Uuid::random_v4();
  const Uuid b = Uuid::random_v4();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.to_string()[14], '4');
  EXPECT_NE(std::string("89ab").find(a.to_string()[19]), std::string::npos);
}

}  // namespace
}  // namespace stitch
