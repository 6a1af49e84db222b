// In-process tests of the worker library: text checks, error texts and
// codes, dispatch and the crash guard.
#include <gtest/gtest.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "protocol/request_samples.hpp"
#include "worker/worker.hpp"

namespace stitch {
namespace {

// ---- base64 ------------------------------------------------------------------

struct Base64Case {
  const char* name;
  std::string encoded;
  bool ok;
  std::string expected;  // decoded bytes, or a part of the fault description
};

class Base64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64, DecodesStrictly) {
  const auto& c = GetParam();
  const auto r = decode_base64(c.encoded);
  if (c.ok) {
    ASSERT_EQ(r.index(), 0u) << std::get<1>(r);
    EXPECT_EQ(std::get<0>(r), c.expected);
  } else {
    ASSERT_EQ(r.index(), 1u) << "decoded: " << std::get<0>(r);
    EXPECT_NE(std::get<1>(r).find(c.expected), std::string::npos) << std::get<1>(r);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64,
    ::testing::Values(Base64Case{"Empty", "", true, ""}, Base64Case{"OneByte", "Zg==", true, "f"},
                      Base64Case{"TwoBytes", "Zm8=", true, "fo"}, Base64Case{"ThreeBytes", "Zm9v", true, "foo"},
                      Base64Case{"Longer", "Zm9vYmFy", true, "foobar"},
                      Base64Case{"AllSymbols", "+/+/", true, "\xfb\xff\xbf"},
                      Base64Case{"Binary", "AP8=", true, std::string("\x00\xff", 2)},
                      Base64Case{"MissingPadding", "Zg", false, "invalid length 2"},
                      Base64Case{"MissingOnePad", "Zm8", false, "invalid length 3"},
                      Base64Case{"ExtraPadding", "Zg===", false, "invalid length"},
                      Base64Case{"PaddingOnly", "====", false, "invalid padding at offset 0"},
                      Base64Case{"PaddingInMiddle", "Zg==Zm9v", false, "invalid padding at offset 2"},
                      Base64Case{"DataAfterPadding", "Zg=v", false, "invalid padding"},
                      Base64Case{"NonZeroBitsOneByte", "Zh==", false, "invalid last symbol 'h'"},
                      Base64Case{"NonZeroBitsTwoBytes", "Zm9=", false, "invalid last symbol '9'"},
                      Base64Case{"Space", "Zm9v Zm9v", false, "invalid length"},
                      Base64Case{"SpaceAligned", "Zm9 ", false, "invalid symbol 0x20 at offset 3"},
                      Base64Case{"LineEnd", "Zm9v\nZm9", false, "invalid symbol 0x0a at offset 4"},
                      Base64Case{"UrlAlphabet", "-_-_", false, "invalid symbol '-'"},
                      Base64Case{"BadChar", "Zm*v", false, "invalid symbol '*' (0x2a) at offset 2"},
                      Base64Case{"NonAscii", "Zm\xc3\xa9", false, "invalid symbol 0xc3"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- UTF-8 and white space ---------------------------------------------------

TEST(TextChecks, Utf8Validity) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain", true},
      {"é漢😀", true},
      {"\xef\xbb\xbf", true},
      {"\xff", false},
      {"\xc0\xaf", false},           // overlong "/"
      {"\xe0\x80\xaf", false},       // overlong
      {"\xed\xa0\x80", false},       // surrogate
      {"\xf4\x90\x80\x80", false},   // above U+10FFFF
      {"\xe2\x82", false},           // truncated
      {"a\x80", false},              // lone continuation
      {std::string("\0", 1), true},  // NUL is valid UTF-8
  };
  for (const auto& [text, ok] : cases) EXPECT_EQ(is_valid_utf8(text), ok) << text;
}

TEST(TextChecks, UnicodeWhiteSpace) {
  const char* blank[] = {"",
                         " ",
                         "\t\t  ",
                         "\r",
                         "\v\f",
                         "\u3000",
                         "\u00a0",
                         "\u0085",
                         "\u1680",
                         "\u2000\u2005\u200a",
                         "\u2028\u2029",
                         "\u202f\u205f",
                         " \u3000\t"};
  for (const char* s : blank) EXPECT_TRUE(is_unicode_whitespace(s)) << s;
  const char* not_blank[] = {"x", " x ", "\u200b", "\ufeff", "\u180e", "{}"};
  for (const char* s : not_blank) EXPECT_FALSE(is_unicode_whitespace(s)) << s;
  EXPECT_FALSE(is_unicode_whitespace(std::string("\0", 1)));
}

// ---- error texts and codes -------------------------------------------------------

TEST(StitchErrors, DisplayAndCode) {
  struct Case {
    StitchError error;
    const char* display;
    const char* code;
  };
  const Case cases[] = {
      {StitchError::unsupported_format("x"), "Unsupported input format: x", "unsupported_format"},
      {StitchError::raw_unavailable(), "RAW decoding is unavailable in this build", "raw_unavailable"},
      {StitchError::dng_decode("x"), "Could not decode DNG: x", "dng_decode_failed"},
      {StitchError::jpeg_decode("x"), "Could not decode JPEG: x", "unsupported_format"},
      {StitchError::invalid_settings("x"), "Invalid stitch settings: x", "invalid_settings"},
      {StitchError::gpu_unavailable("x"), "GPU processing is unavailable: x", "gpu_unavailable"},
      {StitchError::insufficient_disk(1536), "Insufficient disk space: at least 1536 MiB is required",
       "insufficient_disk"},
      {StitchError::cancelled(), "The operation was cancelled", "cancelled"},
      {StitchError::protocol("x"), "Worker protocol error: x", "protocol_error"},
      {StitchError::image("x"), "Image error: x", "unsupported_format"},
      {StitchError::io("x"), "I/O error: x", "io_error"},
      {StitchError::serialization("x"), "Serialization error: x", "protocol_error"},
      {StitchError::export_failed("x"), "Export failed: x", "write_failed"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(error_code_name(c.error.code()), c.code) << c.display;
    const auto event = std::get<FailedEvent>(failure_event(Uuid{}, std::nullopt, c.error));
    EXPECT_EQ(event.message, c.display);
    EXPECT_EQ(event.code, c.error.code());
  }
  EXPECT_EQ(error_code_name(ErrorCode::RoleAmbiguous), "role_ambiguous");
  EXPECT_EQ(error_code_name(ErrorCode::WorkerCrash), "worker_crash");
  EXPECT_EQ(StitchError::io_errno(2).display(), "I/O error: No such file or directory (os error 2)");
}

// ---- dispatch and crash guard ---------------------------------------------------

class Collect {
 public:
  EventSink sink() {
    return [this](WorkerEvent e) {
      std::lock_guard<std::mutex> g(lock_);
      events_.push_back(std::move(e));
    };
  }
  std::vector<WorkerEvent> events_;

 private:
  std::mutex lock_;
};

WorkerRequest parse(const std::string& text) { return std::get<WorkerRequest>(read_request(text)); }

const Uuid kRequest = *Uuid::parse(test::kRequestId);
const Uuid kJob = *Uuid::parse(test::kJobId);

TEST(HandleRequest, WrongProtocolVersionForEveryAction) {
  struct Case {
    std::string text;
    bool has_job;
  };
  const Case cases[] = {{test::capabilities_request(2), false},
                        {test::inspect_request(2), false},
                        {test::preview_request(2), true},
                        {test::export_request(4), true}};
  for (const auto& c : cases) {
    Collect out;
    process_request(parse(c.text), out.sink());
    ASSERT_EQ(out.events_.size(), 1u);
    const auto& failed = std::get<FailedEvent>(out.events_[0]);
    EXPECT_EQ(failed.code, ErrorCode::ProtocolError);
    EXPECT_EQ(failed.request_id, kRequest);
    EXPECT_EQ(failed.job_id, c.has_job ? std::optional<Uuid>(kJob) : std::nullopt);
    const std::string version = c.text.find("\"protocol_version\":4") != std::string::npos ? "4" : "2";
    EXPECT_EQ(failed.message, "Worker protocol error: Unsupported worker protocol " + version + "; expected 3");
  }
}

TEST(HandleRequest, Capabilities) {
  Collect out;
  CancelFlag cancel{false};
  const Status s = handle_request(parse(test::capabilities_request()), cancel, out.sink());
  ASSERT_TRUE(s.has_value());
  ASSERT_EQ(out.events_.size(), 1u);
  const auto& caps = std::get<CapabilitiesEvent>(out.events_[0]);
  EXPECT_EQ(caps.request_id, kRequest);
  EXPECT_FALSE(caps.payload.gpuBackend.empty());
  EXPECT_TRUE(caps.payload.rawSupport);
  EXPECT_EQ(caps.payload.outputFormats,
            (std::vector<OutputFormat>{OutputFormat::Jpg, OutputFormat::Png, OutputFormat::Tiff, OutputFormat::Dng}));
  EXPECT_EQ(caps.payload.maxOutputWidth, 20000u);
}

TEST(HandleRequest, PreviewDirectoryIsCreatedFirst) {
  const auto root = std::filesystem::temp_directory_path() / ("stitch-protocol-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  const auto destination = root / "new" / "deeper" / "p.jpg";
  Collect out;
  CancelFlag cancel{false};
  (void)handle_request(parse(test::preview_request(3, destination.string())), cancel, out.sink());
  EXPECT_TRUE(std::filesystem::is_directory(destination.parent_path()));

  // A parent that is a regular file: an I/O error before any progress.
  std::ofstream(root / "file") << "x";
  Collect out2;
  process_request(parse(test::preview_request(3, (root / "file" / "sub" / "p.jpg").string())), out2.sink());
  ASSERT_EQ(out2.events_.size(), 1u);
  const auto& failed = std::get<FailedEvent>(out2.events_[0]);
  EXPECT_EQ(failed.code, ErrorCode::IoError);
  EXPECT_EQ(failed.message.rfind("I/O error: ", 0), 0u) << failed.message;
  EXPECT_EQ(failed.job_id, std::optional<Uuid>(kJob));
  std::filesystem::remove_all(root);
}

TEST(ProcessRequest, ErrorValueBecomesFailed) {
  Collect out;
  process_request(parse(test::preview_request()), out.sink(),
                  [](WorkerRequest, CancelFlag& cancel, const EventSink&) -> Status {
                    EXPECT_FALSE(cancel.load());
                    return StitchError::insufficient_disk(1536);
                  });
  ASSERT_EQ(out.events_.size(), 1u);
  const auto& failed = std::get<FailedEvent>(out.events_[0]);
  EXPECT_EQ(failed.code, ErrorCode::InsufficientDisk);
  EXPECT_EQ(failed.message, "Insufficient disk space: at least 1536 MiB is required");
  EXPECT_EQ(failed.request_id, kRequest);
  EXPECT_EQ(failed.job_id, std::optional<Uuid>(kJob));
}

TEST(ProcessRequest, CrashesBecomeWorkerCrash) {
  struct Case {
    const char* name;
    RequestHandler handler;
    std::string message;
  };
  const Case cases[] = {
      {"MainThread",
       [](WorkerRequest, CancelFlag&, const EventSink&) -> Status { throw std::runtime_error("boom"); },
       "Worker protocol error: The stitch worker panicked: boom"},
      {"ParallelLoop",
       [](WorkerRequest, CancelFlag&, const EventSink&) -> Status {
         tbb::parallel_for(tbb::blocked_range<int>(0, 10000, 1), [](const tbb::blocked_range<int>& r) {
           for (int i = r.begin(); i != r.end(); ++i) {
             if (i == 7777) throw std::out_of_range("row 7777");
           }
         });
         return {};
       },
       "Worker protocol error: The stitch worker panicked: row 7777"},
      {"NotAnException", [](WorkerRequest, CancelFlag&, const EventSink&) -> Status { throw 7; },
       "Worker protocol error: The stitch worker panicked: unknown panic"},
  };
  for (const auto& c : cases) {
    Collect out;
    process_request(parse(test::export_request()), out.sink(), c.handler);
    ASSERT_EQ(out.events_.size(), 1u) << c.name;
    const auto& failed = std::get<FailedEvent>(out.events_[0]);
    EXPECT_EQ(failed.code, ErrorCode::WorkerCrash) << c.name;
    EXPECT_EQ(failed.message, c.message) << c.name;
    EXPECT_EQ(failed.request_id, kRequest);
    EXPECT_EQ(failed.job_id, std::optional<Uuid>(kJob));
  }
}

TEST(ProgressSink, EveryReportIsOneEventWithTheIds) {
  Collect out;
  const EventSink sink = out.sink();
  const ProgressSink progress = progress_sink(sink, kRequest, kJob);
  progress(JobStage::Decode, 5, "Developing source images");
  progress(JobStage::Blend, 250, "no clamping");
  progress(JobStage::Align, 3, "no ordering check");
  ASSERT_EQ(out.events_.size(), 3u);
  const auto& first = std::get<ProgressEvent>(out.events_[0]);
  EXPECT_EQ(first.request_id, kRequest);
  EXPECT_EQ(first.payload.jobId, kJob);
  EXPECT_EQ(first.payload.stage, JobStage::Decode);
  EXPECT_EQ(first.payload.progress, 5);
  EXPECT_EQ(first.payload.message, "Developing source images");
  EXPECT_EQ(std::get<ProgressEvent>(out.events_[1]).payload.progress, 250);
  EXPECT_EQ(std::get<ProgressEvent>(out.events_[2]).payload.stage, JobStage::Align);
}

}  // namespace
}  // namespace stitch
