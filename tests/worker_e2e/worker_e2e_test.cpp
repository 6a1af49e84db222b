// The worker end to end: bytes in on stdin (or a base64 argument), lines out
// on stdout, exit status 0 on every path.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/request_samples.hpp"
#include "support/base64.hpp"
#include "support/process.hpp"

namespace stitch {
namespace {

using nlohmann::json;
using test::encode_base64;
using test::kJobId;
using test::kRequestId;
using test::ProcessOptions;
using test::ProcessResult;
using test::run_worker;

const std::string kNil = "00000000-0000-0000-0000-000000000000";

std::vector<json> events_of(const ProcessResult& r) {
  std::vector<json> out;
  for (const auto& line : r.lines) {
    EXPECT_TRUE(json::accept(line)) << "not one JSON value: " << line;
    out.push_back(json::parse(line, nullptr, false));
  }
  return out;
}

// Runs the worker and checks the process-level contract common to all runs.
std::vector<json> run(const std::string& input, std::vector<std::string> args = {}) {
  const ProcessResult r = run_worker(input, std::move(args));
  EXPECT_TRUE(r.exited_zero()) << "exit " << r.exit_code << " signal " << r.term_signal;
  EXPECT_TRUE(r.out.empty() || r.out.back() == '\n');
  return events_of(r);
}

void expect_unattached_failure(const json& e, const std::string& code, const std::string& prefix) {
  EXPECT_EQ(e["event"], "failed");
  EXPECT_EQ(e["request_id"], kNil);
  EXPECT_TRUE(e["job_id"].is_null());
  EXPECT_EQ(e["code"], code);
  EXPECT_EQ(e["message"].get<std::string>().rfind(prefix, 0), 0u) << e["message"];
}

std::string base64(std::string_view bytes) { return encode_base64(bytes); }

// ---- the capabilities command ------------------------------------------------

TEST(WorkerE2e, CapabilitiesCommandPrintsExactlyOneLine) {
  const ProcessResult r = run_worker(
      R"({"action":"get_capabilities","protocol_version":3,"request_id":"5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11"})"
      "\n");
  ASSERT_TRUE(r.exited_zero());
  ASSERT_EQ(r.lines.size(), 1u) << r.out;
  EXPECT_EQ(r.out,
            R"({"event":"capabilities","request_id":"5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11","payload":)"
            R"({"gpuBackend":"cpu","rawSupport":true,"outputFormats":["jpg","png","tiff","dng"],)"
            R"("maxOutputWidth":20000}})"
            "\n");
}

TEST(WorkerE2e, EmptyInputPrintsNothing) {
  const ProcessResult r = run_worker("");
  EXPECT_TRUE(r.exited_zero());
  EXPECT_EQ(r.out, "");
}

// ---- lines ---------------------------------------------------------------------

struct LineCase {
  const char* name;
  std::string input;
  std::vector<std::string> expected;  // per event: "capabilities" or "failed:<code>:<message prefix>"
};

class InputLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(InputLines, ProduceTheirEvents) {
  const auto events = run(GetParam().input);
  ASSERT_EQ(events.size(), GetParam().expected.size()) << GetParam().input.substr(0, 400);
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::string& want = GetParam().expected[i];
    if (want == "capabilities") {
      EXPECT_EQ(events[i]["event"], "capabilities");
      EXPECT_EQ(events[i]["request_id"], kRequestId);
      continue;
    }
    const auto c1 = want.find(':', 7);
    expect_unattached_failure(events[i], want.substr(7, c1 - 7), want.substr(c1 + 1));
  }
}

const std::string kCaps = test::capabilities_request();

// A request whose unknown key holds arrays nested 100000 deep.
std::string deep_object() { return R"({"action":"get_capabilities","x":)" + std::string(100000, '['); }
const std::string kBadJson = "failed:protocol_error:Invalid JSON request: ";
const std::string kBadUtf8 = "failed:io_error:stream did not contain valid UTF-8";

INSTANTIATE_TEST_SUITE_P(
    Cases, InputLines,
    ::testing::Values(
        LineCase{"OneRequest", kCaps + "\n", {"capabilities"}},
        LineCase{"NoFinalLineEnd", kCaps, {"capabilities"}},
        LineCase{"CrLf", kCaps + "\r\n" + kCaps + "\r\n", {"capabilities", "capabilities"}},
        LineCase{"CrLfLastLineWithoutEnd", kCaps + "\r\n" + kCaps + "\r", {"capabilities", "capabilities"}},
        LineCase{"BlankLinesSkipped",
                 "\n \t \n\xe3\x80\x80\n\r\n\xc2\xa0\xe2\x80\xa8 \xe2\x80\x8a\n" + kCaps + "\n\n",
                 {"capabilities"}},
        LineCase{"ZeroWidthSpaceIsNotBlank", "\xe2\x80\x8b\n", {kBadJson}},
        LineCase{"EmptyObject", "{}\n" + kCaps + "\n", {kBadJson + "missing field `action`", "capabilities"}},
        LineCase{"NotJson", "hello\n", {kBadJson}},
        LineCase{"SecondValueOnLine", kCaps + " " + kCaps + "\n", {kBadJson}},
        LineCase{"RequestSplitOverLines", kCaps.substr(0, 20) + "\n" + kCaps.substr(20) + "\n", {kBadJson, kBadJson}},
        LineCase{"DuplicateKey", kCaps.substr(0, kCaps.size() - 1) + R"(,"protocol_version":3})" + "\n",
                 {kBadJson + "duplicate field `protocol_version`"}},
        LineCase{"NulByte", std::string("\0", 1) + "\n", {kBadJson}},
        LineCase{"InvalidUtf8EndsTheLoop", kCaps + "\n\xff\xfe\n" + kCaps + "\n", {"capabilities", kBadUtf8}},
        LineCase{"InvalidUtf8InsideString",
                 R"({"action":"get_capabilities","x":"a)" "\xc3\x28" R"("})" "\n" + kCaps + "\n", {kBadUtf8}},
        LineCase{"TruncatedUtf8AtEnd", kCaps + "\n\xe3\x80", {"capabilities", kBadUtf8}},
        LineCase{"Utf8SurrogateBytes", "\xed\xa0\x80\n" + kCaps + "\n", {kBadUtf8}},
        LineCase{"ByteOrderMark", "\xef\xbb\xbf" + kCaps + "\n", {kBadJson}},
        LineCase{"DeepNesting", deep_object() + "\n" + kCaps + "\n",
                 {kBadJson + "recursion limit", "capabilities"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WorkerE2e, WrongProtocolVersionForEveryAction) {
  struct Case {
    std::string request;
    bool has_job;
  };
  const Case cases[] = {{test::capabilities_request(2), false},
                        {test::inspect_request(2), false},
                        {test::preview_request(2), true},
                        {test::export_request(2), true}};
  for (const auto& c : cases) {
    const auto events = run(c.request + "\n");
    ASSERT_EQ(events.size(), 1u) << c.request;
    const json& e = events[0];
    EXPECT_EQ(e["event"], "failed");
    EXPECT_EQ(e["code"], "protocol_error");
    EXPECT_EQ(e["request_id"], kRequestId);
    if (c.has_job) {
      EXPECT_EQ(e["job_id"], kJobId);
    } else {
      EXPECT_TRUE(e["job_id"].is_null());
    }
    EXPECT_EQ(e["message"], "Worker protocol error: Unsupported worker protocol 2; expected 3");
  }
}

TEST(WorkerE2e, NullOptionalAndUnknownKeys) {
  std::string with_null = test::preview_request();
  with_null.insert(with_null.size() - 1, R"(,"defer_display_render":null)");
  std::string unknown = test::capabilities_request();
  unknown.insert(unknown.size() - 1, R"(,"client":{"name":"desk","tags":[1,null]})");
  const auto events = run(with_null + "\n" + unknown + "\n");
  ASSERT_EQ(events.size(), 2u);
  expect_unattached_failure(events[0], "protocol_error", "Invalid JSON request: invalid type: null");
  EXPECT_EQ(events[1]["event"], "capabilities");
}

TEST(WorkerE2e, UuidFormsAreEchoedHyphenatedLowerCase) {
  const std::string forms[] = {"5F0C1C9E2B7A4D359A510C3F2B9D7E11", "{5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11}",
                               "urn:uuid:5F0C1C9E-2B7A-4D35-9A51-0C3F2B9D7E11"};
  std::string input;
  for (const auto& f : forms) input += test::capabilities_request(2, f) + "\n";
  const auto events = run(input);
  ASSERT_EQ(events.size(), 3u);
  for (const auto& e : events) EXPECT_EQ(e["request_id"], kRequestId);
}

TEST(WorkerE2e, IntegerTyping) {
  std::string fraction = test::capabilities_request();
  fraction.replace(fraction.find("3,"), 2, "3.0,");
  std::string exponent = test::capabilities_request();
  exponent.replace(exponent.find("3,"), 2, "3e0,");
  std::string too_big = test::capabilities_request();
  too_big.replace(too_big.find("3,"), 2, "65539,");
  std::string negative = test::capabilities_request();
  negative.replace(negative.find("3,"), 2, "-3,");
  const auto events = run(fraction + "\n" + exponent + "\n" + too_big + "\n" + negative + "\n");
  ASSERT_EQ(events.size(), 4u);
  for (const auto& e : events) expect_unattached_failure(e, "protocol_error", "Invalid JSON request: ");
}

TEST(WorkerE2e, PreviewDirectoryFailureComesBeforeAnyProgress) {
  const auto root = std::filesystem::temp_directory_path() / ("stitch-e2e-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root);
  std::ofstream(root / "plain-file") << "x";
  const auto events = run(test::preview_request(3, (root / "plain-file" / "p.jpg").string()) + "\n");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "failed");
  EXPECT_EQ(events[0]["code"], "io_error");
  EXPECT_EQ(events[0]["job_id"], kJobId);
  EXPECT_EQ(events[0]["message"].get<std::string>().rfind("I/O error: ", 0), 0u);

  // A missing directory is created before the preview driver runs.
  const auto fresh = root / "made" / "by" / "worker";
  run(test::preview_request(3, (fresh / "p.jpg").string()) + "\n");
  EXPECT_TRUE(std::filesystem::is_directory(fresh));
  std::filesystem::remove_all(root);
}

// ---- memory and size guards ------------------------------------------------------

TEST(WorkerE2e, HugeLineIsHandledWithinASmallMultipleOfItsSize) {
  // A 50 MiB request whose bulk is an ignored string.
  std::string request = test::capabilities_request(2);
  request.insert(request.size() - 1, ",\"padding\":\"" + std::string(50u << 20, 'p') + "\"");
  const ProcessResult r = run_worker(request + "\n" + test::capabilities_request(2) + "\n");
  ASSERT_TRUE(r.exited_zero());
  const auto events = events_of(r);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["message"], "Worker protocol error: Unsupported worker protocol 2; expected 3");
  EXPECT_EQ(events[0]["request_id"], kRequestId);
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(r.max_rss_kib, 6 * 50 * 1024) << "peak RSS " << r.max_rss_kib << " KiB";
#endif
}

TEST(WorkerE2e, OverlongLineIsRefusedAndTheLoopGoesOn) {
  const std::string input = std::string(65u << 20, ' ') + "x\n" + kCaps + "\n";
  const ProcessResult r = run_worker(input);
  ASSERT_TRUE(r.exited_zero());
  const auto events = events_of(r);
  ASSERT_EQ(events.size(), 2u);
  expect_unattached_failure(events[0], "protocol_error", "Invalid JSON request: the line is longer than");
  EXPECT_EQ(events[1]["event"], "capabilities");
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(r.max_rss_kib, 200 * 1024) << "peak RSS " << r.max_rss_kib << " KiB";
#endif
}

// ---- single-request mode -----------------------------------------------------------

TEST(WorkerE2e, EncodedRequestIsHandledAndStdinIgnored) {
  const auto events = run(test::inspect_request(2) + "\n", {"--request-base64", base64(kCaps)});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "capabilities");
  EXPECT_EQ(events[0]["request_id"], kRequestId);
}

TEST(WorkerE2e, EncodedRequestWithJsonWhiteSpaceAround) {
  const auto events = run("", {"--request-base64", base64(" \n" + kCaps + "\r\n\t")});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "capabilities");
}

TEST(WorkerE2e, OtherArgumentsAreIgnoredAndTheFirstFlagWins) {
  const auto first = base64(test::capabilities_request(3));
  const auto second = base64(test::capabilities_request(2));
  const auto events = run("", {"--verbose", "--request-base64", first, "x", "--request-base64", second});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "capabilities");
}

TEST(WorkerE2e, FlagAsLastArgumentReadsStdin) {
  const auto events = run(kCaps + "\n", {"--request-base64"});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "capabilities");
  // A flag spelled differently is just another ignored argument.
  EXPECT_EQ(run(kCaps + "\n", {"--request-base64=" + base64(kCaps)}).size(), 1u);
}

struct EncodedCase {
  const char* name;
  std::string value;
  std::string message_prefix;
};

class EncodedFaults : public ::testing::TestWithParam<EncodedCase> {};

TEST_P(EncodedFaults, FailOnceAndExitZero) {
  const auto events = run(kCaps + "\n", {"--request-base64", GetParam().value});
  ASSERT_EQ(events.size(), 1u);
  expect_unattached_failure(events[0], "protocol_error", GetParam().message_prefix);
}

const std::string kEncoded = base64(kCaps);

// The request, padded with JSON white space so that its encoding ends in "=".
std::string padded() {
  std::string bytes = kCaps;
  while (bytes.size() % 3 == 0) bytes.push_back(' ');
  return base64(bytes);
}

// The padded encoding with the unused low bits of its last symbol set.
std::string non_canonical() {
  std::string text = padded();
  char& last = text[text.find('=') - 1];
  last = last == 'Z' ? 'a' : last == 'z' ? '0' : last == '9' ? '+' : static_cast<char>(last + 1);
  return text;
}
const std::string kEncodedPrefix = "Invalid encoded request: ";

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodedFaults,
    ::testing::Values(
        EncodedCase{"MissingPadding", padded().substr(0, padded().find('=')), kEncodedPrefix + "invalid length"},
        EncodedCase{"NonCanonicalBits", non_canonical(), kEncodedPrefix + "invalid last symbol"},
        EncodedCase{"NonZeroTrailingBits", "Zh==", kEncodedPrefix + "invalid last symbol"},
        EncodedCase{"WhiteSpace", kEncoded.substr(0, 4) + " " + kEncoded.substr(4, 3), kEncodedPrefix + "invalid symbol"},
        EncodedCase{"LineEnd", kEncoded + "\n", kEncodedPrefix},
        EncodedCase{"BadCharacter", "*" + kEncoded.substr(1), kEncodedPrefix + "invalid symbol '*'"},
        EncodedCase{"UrlSafeAlphabet", "-_" + kEncoded.substr(2), kEncodedPrefix + "invalid symbol '-'"},
        EncodedCase{"Empty", "", kEncodedPrefix},
        EncodedCase{"NotJson", base64("hello"), kEncodedPrefix},
        EncodedCase{"TwoValues", base64(kCaps + kCaps), kEncodedPrefix},
        EncodedCase{"NotUtf8", base64("{\"action\":\"\xff\"}"), kEncodedPrefix},
        EncodedCase{"EmptyObject", base64("{}"), kEncodedPrefix + "missing field `action`"},
        EncodedCase{"DuplicateKey", base64(R"({"action":"get_capabilities","action":"get_capabilities"})"),
                    kEncodedPrefix + "duplicate field `action`"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WorkerE2e, EncodedRequestWithWrongVersionCarriesItsIds) {
  const auto events = run("", {"--request-base64", base64(test::export_request(2))});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["code"], "protocol_error");
  EXPECT_EQ(events[0]["request_id"], kRequestId);
  EXPECT_EQ(events[0]["job_id"], kJobId);
}

// ---- line-by-line driving ------------------------------------------------------------

TEST(WorkerE2e, EachEventIsFlushedBeforeTheNextLineIsRead) {
  test::InteractiveProcess worker;
  ASSERT_TRUE(worker.started());
  // Only after an answer arrived is the next line written: had the worker
  // kept an event in a buffer while waiting for input, read_line would time out.
  const std::string lines[] = {kCaps, "{}", "   ", test::inspect_request(2), test::preview_request(2), kCaps};
  const char* expected[] = {"capabilities", "failed", nullptr, "failed", "failed", "capabilities"};
  for (std::size_t i = 0; i < std::size(lines); ++i) {
    ASSERT_TRUE(worker.write_line(lines[i]));
    if (expected[i] == nullptr) {
      EXPECT_FALSE(worker.line_ready(std::chrono::milliseconds(200))) << "a blank line produced output";
      continue;
    }
    const auto answer = worker.read_line(std::chrono::seconds(60));
    ASSERT_TRUE(answer.has_value()) << "no answer to line " << i;
    EXPECT_EQ(json::parse(*answer)["event"], expected[i]);
  }
  const ProcessResult end = worker.finish();
  EXPECT_TRUE(end.exited_zero());
  EXPECT_TRUE(end.lines.empty());
}

TEST(WorkerE2e, ClosedStdoutDoesNotKillTheWorker) {
  test::InteractiveProcess worker;
  ASSERT_TRUE(worker.started());
  worker.close_stdout();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(worker.write_line(kCaps + "\n{}"));
  const ProcessResult end = worker.finish();
  EXPECT_EQ(end.term_signal, 0) << "killed by signal " << end.term_signal;
  EXPECT_EQ(end.exit_code, 0);
}

// ---- crash guard (through a test-only worker whose handler throws) ----------------------

std::string crash_id(const char* first_byte) {
  return std::string(first_byte) + "0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11";
}

TEST(WorkerE2e, CrashInHandlingIsReportedAndTheNextLineHandled) {
  struct Case {
    const char* name;
    std::string request;
    std::string id;
    bool has_job;
    std::string message;
  };
  const std::string main_id = crash_id("c0");
  const std::string pool_id = crash_id("c1");
  const std::string odd_id = crash_id("c2");
  std::string preview = test::preview_request();
  preview.replace(preview.find(kRequestId), kRequestId.size(), pool_id);
  std::string exp = test::export_request();
  exp.replace(exp.find(kRequestId), kRequestId.size(), main_id);
  const Case cases[] = {
      {"MainThread", test::capabilities_request(3, main_id), main_id, false,
       "Worker protocol error: The stitch worker panicked: injected fault on the main thread"},
      {"ParallelLoopWorker", preview, pool_id, true,
       "Worker protocol error: The stitch worker panicked: injected fault in a parallel loop body"},
      {"ExportMainThread", exp, main_id, true,
       "Worker protocol error: The stitch worker panicked: injected fault on the main thread"},
      {"NoText", test::capabilities_request(3, odd_id), odd_id, false,
       "Worker protocol error: The stitch worker panicked: unknown panic"},
  };
  for (const auto& c : cases) {
    ProcessOptions options;
    options.program = STITCH_CRASH_WORKER_PATH;
    const ProcessResult r = test::run_process(c.request + "\n" + kCaps + "\n", options);
    ASSERT_TRUE(r.exited_zero()) << c.name << ": exit " << r.exit_code << " signal " << r.term_signal;
    const auto events = events_of(r);
    ASSERT_EQ(events.size(), 2u) << c.name << "\n" << r.out;
    EXPECT_EQ(events[0]["event"], "failed") << c.name;
    EXPECT_EQ(events[0]["code"], "worker_crash") << c.name;
    EXPECT_EQ(events[0]["request_id"], c.id) << c.name;
    if (c.has_job) {
      EXPECT_EQ(events[0]["job_id"], kJobId) << c.name;
    } else {
      EXPECT_TRUE(events[0]["job_id"].is_null()) << c.name;
    }
    EXPECT_EQ(events[0]["message"], c.message) << c.name;
    EXPECT_EQ(events[1]["event"], "capabilities") << c.name;
  }
}

TEST(WorkerE2e, ProgressBeforeACrashStaysAndTheCrashFollows) {
  ProcessOptions options;
  options.program = STITCH_CRASH_WORKER_PATH;
  const std::string id = crash_id("c3");
  const ProcessResult r = test::run_process(test::capabilities_request(3, id) + "\n" + kCaps + "\n", options);
  ASSERT_TRUE(r.exited_zero());
  const auto events = events_of(r);
  ASSERT_EQ(events.size(), 3u) << r.out;
  EXPECT_EQ(events[0]["event"], "progress");
  EXPECT_EQ(events[1]["code"], "worker_crash");
  EXPECT_EQ(events[2]["event"], "capabilities");
}

TEST(WorkerE2e, CrashInSingleRequestModeStillExitsZero) {
  ProcessOptions options;
  options.program = STITCH_CRASH_WORKER_PATH;
  options.args = {"--request-base64", base64(test::capabilities_request(3, crash_id("c1")))};
  const ProcessResult r = test::run_process("", options);
  ASSERT_TRUE(r.exited_zero());
  const auto events = events_of(r);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["code"], "worker_crash");
}

}  // namespace
}  // namespace stitch
