// Hostile inputs end to end: damaged, empty, oversized and misdirected
// sources, destinations that cannot be written even by root, and request
// lines built to exhaust the reader. Each request gets exactly one answer
// (after any progress), a failure carries the code and message a user can
// act on, the worker goes on with the next line, and no file is left behind.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "reliability_support.hpp"

namespace stitch::reliability {
namespace {

using test::ProcessOptions;
using test::ProcessResult;

const std::string kNil = "00000000-0000-0000-0000-000000000000";

// Where each case's damaged sources and its (never expected) outputs live.
struct Workspace {
  fixtures::TempDir dir;
  fs::path out() const { return dir.path() / "out"; }
};

Workspace& workspace() {
  static Workspace w;
  return w;
}

fixtures::Bytes read_or_die(const fs::path& path) {
  auto bytes = fixtures::read_bytes(path);
  if (!bytes) throw std::runtime_error("cannot read " + path.string());
  return std::move(bytes).value();
}

// Writes `bytes` as `name` in the workspace and returns its path.
std::string hostile_file(const std::string& name, const fixtures::Bytes& bytes) {
  const fs::path path = workspace().dir.file(name);
  if (!fixtures::write_bytes(path, bytes)) throw std::runtime_error("cannot write " + path.string());
  return path.string();
}

// Flips one bit in every `stride`-th byte from `from` on: damage spread over
// the entropy-coded data rather than one burst.
fixtures::Bytes bit_flipped(fixtures::Bytes bytes, std::size_t from, std::size_t stride) {
  for (std::size_t i = from; i < bytes.size(); i += stride) bytes[i] ^= 0x10;
  return bytes;
}

std::string good_up_jpg() { return Sources::get().jpg().up.string(); }
std::string good_down_jpg() { return Sources::get().jpg().down.string(); }
std::string good_down_dng() { return Sources::get().dng().down.string(); }
std::string good_up_dng() { return Sources::get().dng().up.string(); }

std::string inspect_line(const std::string& up, const std::string& down) {
  return std::string(R"({"action":"inspect_pair","protocol_version":3,"request_id":")") + requests::kRequestId +
         R"(","up_path":)" + requests::json_string(up) + R"(,"down_path":)" + requests::json_string(down) + "}";
}

std::string preview_line(const std::string& up, const std::string& down,
                         const std::string& destination = (workspace().out() / "preview.jpg").string(),
                         const StitchSettings& settings = quick_settings()) {
  return requests::preview_json(up, down, destination, settings);
}

std::string export_line(const std::string& up, const std::string& down, const std::string& destination,
                        const StitchSettings& settings = quick_settings()) {
  return requests::export_json(up, down, settings, destination, "jpg");
}

// A DNG whose IFD0 carries an XMP packet of exactly `size` bytes: the
// drone's attitude, padded with XMP's own white space.
std::string dng_with_xmp_of_size(const std::string& name, std::size_t size) {
  std::string packet = fixtures::dji_xmp(10.0f, -3.0f, 1.0f);
  const std::size_t end = packet.rfind("<?xpacket end");
  packet.insert(end == std::string::npos ? packet.size() : end, std::string(size - packet.size(), ' '));
  fixtures::DngFixtureOptions options;
  options.xmp = packet;
  const LinearImage image = synthetic(32, 32, [](std::uint32_t x, std::uint32_t y) {
    return Rgb{0.1f + 0.01f * static_cast<float>(x), 0.2f, 0.1f + 0.01f * static_cast<float>(y)};
  });
  return hostile_file(name, fixtures::dng_bytes(image, options));
}

// Every angle of the request as large as a float holds; the yaw of both
// lenses is then rewritten to 1e39, which no float holds (it reads as
// infinity, and the preview reports the DOWN yaw back).
StitchSettings huge_angle_settings() {
  StitchSettings s = quick_settings();
  s.sphere = {1e38f, -3.4e38f, 1e38f};
  s.up.yawDegrees = 3e38f;
  s.up.rollDegrees = -1e38f;
  s.down.yawDegrees = 2e38f;
  s.down.rollDegrees = 1e37f;
  return s;
}

std::string huge_angles(std::string line) {
  for (const float yaw : {3e38f, 2e38f}) {
    const std::string from = "\"yawDegrees\":" + requests::num(yaw);
    const std::size_t at = line.find(from);
    if (at == std::string::npos) throw std::logic_error("lens yaw not found in " + line);
    line.replace(at, from.size(), "\"yawDegrees\":1e39");
  }
  return line;
}

enum class Outcome { Failed, Succeeded, Either };

struct Case {
  std::string name;
  std::function<std::string()> request;  // built lazily, inside the test
  Outcome outcome;
  std::string code;            // for failures
  std::string message_prefix;  // for failures
  bool unattached = false;     // no request could be parsed: nil request_id
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<Case> cases() {
  const auto up_jpg = [] { return read_or_die(Sources::get().jpg().up); };
  const auto up_dng = [] { return read_or_die(Sources::get().dng().up); };
  const std::string bad_jpeg = "Could not decode JPEG: ";
  const std::string bad_dng = "Could not decode DNG: ";
  return {
      // ---- JPG sources -------------------------------------------------------
      {"JpgTruncated",
       [=] {
         const auto b = up_jpg();
         return preview_line(hostile_file("trunc_UP.jpg", fixtures::truncated(b, b.size() / 2)), good_down_jpg());
       },
       Outcome::Failed, "unsupported_format", bad_jpeg},
      {"JpgTruncatedInHeader",
       [=] {
         return inspect_line(hostile_file("hdr_UP.jpg", fixtures::truncated(up_jpg(), 100)), good_down_jpg());
       },
       Outcome::Failed, "unsupported_format", "Image error: "},
      {"JpgBitFlippedData",
       [=] {
         const auto b = up_jpg();
         return preview_line(hostile_file("flip_UP.jpg", bit_flipped(b, b.size() / 3, 97)), good_down_jpg());
       },
       Outcome::Failed, "unsupported_format", bad_jpeg},
      {"JpgBitFlippedTables",
       [=] { return preview_line(hostile_file("tables_UP.jpg", bit_flipped(up_jpg(), 20, 7)), good_down_jpg()); },
       Outcome::Failed, "unsupported_format", ""},
      {"JpgZeroBytesInspected", [] { return inspect_line(hostile_file("zero_UP.jpg", {}), good_down_jpg()); },
       Outcome::Failed, "unsupported_format", "Image error: "},
      {"JpgZeroBytesRendered", [] { return preview_line(hostile_file("zero2_UP.jpg", {}), good_down_jpg()); },
       Outcome::Failed, "unsupported_format", bad_jpeg},
      {"JpgEnormousDimensions",
       [=] {
         return preview_line(hostile_file("huge_UP.jpg", fixtures::with_jpeg_dimensions(up_jpg(), 60000, 60000)),
                             good_down_jpg());
       },
       Outcome::Failed, "unsupported_format", bad_jpeg + "Invalid or oversized JPEG dimensions"},
      {"DirectoryAsSourceInspected",
       [] {
         fs::create_directories(workspace().dir.file("folder_UP.jpg"));
         return inspect_line(workspace().dir.file("folder_UP.jpg").string(), good_down_jpg());
       },
       Outcome::Failed, "io_error", "I/O error: Is a directory"},
      {"DirectoryAsSourceRendered",
       [] {
         fs::create_directories(workspace().dir.file("folder2_UP.jpg"));
         return preview_line(workspace().dir.file("folder2_UP.jpg").string(), good_down_jpg());
       },
       Outcome::Failed, "io_error", "I/O error: Is a directory"},
      // ---- DNG sources -------------------------------------------------------
      {"DngTruncated",
       [=] {
         const auto b = up_dng();
         return preview_line(hostile_file("trunc_UP.dng", fixtures::truncated(b, b.size() / 2)), good_down_dng());
       },
       Outcome::Failed, "dng_decode_failed", bad_dng},
      {"DngTruncatedInHeader",
       [=] { return inspect_line(hostile_file("hdr_UP.dng", fixtures::truncated(up_dng(), 64)), good_down_dng()); },
       Outcome::Failed, "dng_decode_failed", bad_dng},
      {"DngBitFlippedHeader",
       [=] { return preview_line(hostile_file("flip_UP.dng", bit_flipped(up_dng(), 8, 5)), good_down_dng()); },
       Outcome::Failed, "dng_decode_failed", bad_dng},
      {"DngZeroBytes", [] { return preview_line(hostile_file("zero_UP.dng", {}), good_down_dng()); },
       Outcome::Failed, "dng_decode_failed", bad_dng},
      {"DirectoryAsDngSource",
       [] {
         fs::create_directories(workspace().dir.file("folder_UP.dng"));
         return preview_line(workspace().dir.file("folder_UP.dng").string(), good_down_dng());
       },
       Outcome::Failed, "dng_decode_failed", bad_dng},
      // A file that makes the system LibRaw abort during identification.
      {"DngThatCrashesLibRawInspected",
       [] {
         const auto b = read_or_die(fs::path(STITCH_SOURCE_DIR) / "fuzz/crashes/libraw-hassy-model-overflow.dng");
         return inspect_line(hostile_file("crash_UP.dng", b), good_down_dng());
       },
       Outcome::Failed, "dng_decode_failed", bad_dng + "LibRaw stopped while reading the file"},
      {"DngThatCrashesLibRawRendered",
       [] {
         const auto b = read_or_die(fs::path(STITCH_SOURCE_DIR) / "fuzz/crashes/libraw-hassy-model-overflow.dng");
         return preview_line(good_up_dng(), hostile_file("crash_DOWN.dng", b));
       },
       Outcome::Failed, "dng_decode_failed", bad_dng + "LibRaw stopped while reading the file"},
      {"TiffIfdOffsetPastTheEnd",
       [] {
         fixtures::Bytes b = {'I', 'I', 42, 0, 0xF0, 0xFF, 0xFF, 0x7F};
         b.resize(4096, 0);
         return inspect_line(hostile_file("ifd_UP.dng", b), good_down_dng());
       },
       Outcome::Failed, "dng_decode_failed", bad_dng},
      // Metadata is optional: a packet at the size limit is read, one past it
      // is ignored, and neither stops the pair from being inspected.
      {"XmpPacketOf2MiB",
       [] { return inspect_line(dng_with_xmp_of_size("xmp_UP.dng", 2u << 20), good_down_dng()); },
       Outcome::Succeeded, "", ""},
      {"XmpPacketPast2MiB",
       [] { return inspect_line(dng_with_xmp_of_size("xmp2_UP.dng", (2u << 20) + 1), good_down_dng()); },
       Outcome::Succeeded, "", ""},
      // ---- request lines ------------------------------------------------------
      {"RequestLineOf50MiB",
       [] { return inspect_line(std::string(50u << 20, 'a') + "_UP.jpg", good_down_jpg()); },
       Outcome::Failed, "io_error", "I/O error: File name too long"},
      {"JsonNested100000Deep",
       [] { return std::string(100000, '[') + std::string(100000, ']'); },
       Outcome::Failed, "protocol_error", "Invalid JSON request: ", true},
      {"JsonNested100000DeepInAnIgnoredKey",
       [] {
         std::string deep;
         for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
         deep += "0" + std::string(100000, '}');
         std::string line = kCapabilities;
         line.insert(line.size() - 1, ",\"x\":" + deep);
         return line;
       },
       Outcome::Failed, "protocol_error", "Invalid JSON request: ", true},
      // Angles are not range-checked: huge ones are valid numbers, and the
      // render either succeeds with a complete file or fails cleanly.
      {"HugeAnglesPreview",
       [] {
         return huge_angles(preview_line(good_up_jpg(), good_down_jpg(),
                                         (workspace().out() / "angles.jpg").string(), huge_angle_settings()));
       },
       Outcome::Either, "invalid_settings", ""},
      {"HugeAnglesExport",
       [] {
         return huge_angles(export_line(good_up_jpg(), good_down_jpg(),
                                        (workspace().out() / "angles_export.jpg").string(), huge_angle_settings()));
       },
       Outcome::Either, "invalid_settings", ""},
      // ---- destinations root cannot write --------------------------------------
      {"PreviewUnderARegularFile",
       [] {
         const std::string file = hostile_file("plain_file", {'x'});
         return preview_line(good_up_jpg(), good_down_jpg(), file + "/preview.jpg");
       },
       Outcome::Failed, "io_error", "I/O error: Not a directory"},
      {"ExportUnderARegularFile",
       [] {
         const std::string file = hostile_file("plain_file2", {'x'});
         return export_line(good_up_jpg(), good_down_jpg(), file + "/sub/pano.jpg");
       },
       Outcome::Failed, "io_error", "I/O error: Not a directory"},
      {"PreviewIntoProc",
       [] { return preview_line(good_up_jpg(), good_down_jpg(), "/proc/self/stitch-preview.jpg"); },
       Outcome::Failed, "io_error", "I/O error: "},
  };
}

class HostileInput : public ::testing::TestWithParam<Case> {};

TEST_P(HostileInput, AnswersOnceAndTheWorkerGoesOn) {
  const Case& c = GetParam();
  fs::create_directories(workspace().out());
  const std::set<std::string> before = listing(workspace().out());
  const std::string line = c.request();

  ProcessOptions options;
  options.working_directory = workspace().dir.path();
  const ProcessResult r = test::run_process(line + "\n" + kCapabilities + "\n", options);
  ASSERT_TRUE(r.exited_zero()) << "exit " << r.exit_code << " signal " << r.term_signal << "\n"
                               << r.err.substr(0, 4000);

  const std::vector<json> events = events_of(r.lines);
  ASSERT_GE(events.size(), 2u) << r.out;
  // Progress, then one answer, then the next line's answer.
  for (std::size_t i = 0; i + 2 < events.size(); ++i) EXPECT_EQ(events[i]["event"], "progress") << events[i];
  const json& answer = events[events.size() - 2];
  EXPECT_EQ(events.back()["event"], "capabilities");

  const bool failed = answer["event"] == "failed";
  if (c.outcome == Outcome::Failed) {
    ASSERT_TRUE(failed) << answer;
  }
  if (c.outcome == Outcome::Succeeded) {
    ASSERT_FALSE(failed) << answer;
  }
  if (failed) {
    EXPECT_EQ(answer["code"], c.code) << answer;
    const std::string message = answer["message"];
    EXPECT_EQ(message.rfind(c.message_prefix, 0), 0u) << message;
    EXPECT_LT(message.size(), 1000u) << "messages stay readable";
    EXPECT_EQ(answer["request_id"], c.unattached ? kNil : std::string(requests::kRequestId));
  }
  std::cout << "[ outcome  ] " << c.name << ": " << answer.dump().substr(0, 300) << "\n";

  // Nothing written beside the outputs a success explains.
  for (const auto& name : listing(workspace().out())) {
    if (before.count(name)) continue;
    EXPECT_FALSE(failed) << "a failed request left " << name;
    EXPECT_EQ(name.find(".part"), std::string::npos) << "stray temporary file " << name;
    if (!failed) {
      EXPECT_TRUE(complete_jpeg(workspace().out() / name, name == "angles_export.jpg" ? 2048 : 1024,
                                name == "angles_export.jpg" ? 1024 : 512))
          << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInput, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& param) { return param.param.name; });

}  // namespace
}  // namespace stitch::reliability
