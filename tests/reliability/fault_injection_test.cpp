// Faults from outside the worker, driven through the real binary (or the
// fault worker, which is the real worker with a fault injected through the
// export job's seams): a full disk, a kill in the middle of an export, a
// reader that goes away, and a crash inside a thread-pool row task. In every
// case the destination holds either its previous content or a complete new
// file, and nothing else is left beside it except, after a kill, a
// temporary file that the next export removes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <iostream>
#include <thread>
#include <string>
#include <vector>

#include "reliability_support.hpp"

namespace stitch::reliability {
namespace {

using test::InteractiveProcess;
using test::ProcessOptions;
using test::ProcessResult;

const std::string kRowCrashId = "d10c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11";
const std::string kKillInLoopId = "d20c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11";
const std::string kKillBeforeCommitId = "d30c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11";

const fixtures::Bytes kOldContent = [] {
  const std::string text = "the panorama exported yesterday\n";
  fixtures::Bytes b;
  for (int i = 0; i < 64; ++i) b.insert(b.end(), text.begin(), text.end());
  return b;
}();

std::string export_line(const fs::path& destination, const std::string& format) {
  const auto& src = Sources::get().jpg();
  return requests::export_json(src.up.string(), src.down.string(), quick_settings(), destination.string(),
                               format, 90, true);
}

// Ignores SIGXFSZ in this process for its lifetime; children started
// meanwhile inherit the ignored disposition across exec, so a write past
// RLIMIT_FSIZE fails with EFBIG instead of killing them.
class IgnoreFileSizeSignal {
 public:
  IgnoreFileSizeSignal() {
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous_);
  }
  ~IgnoreFileSizeSignal() { ::sigaction(SIGXFSZ, &previous_, nullptr); }

 private:
  struct sigaction previous_{};
};

void expect_unchanged(const fs::path& destination) {
  auto now = fixtures::read_bytes(destination);
  ASSERT_TRUE(now) << destination << " is gone";
  EXPECT_TRUE(*now == kOldContent) << destination << " was modified";
}

// Reads events until one of the given kinds arrives; returns it (null on
// end of output or timeout).
json read_until(InteractiveProcess& worker, std::initializer_list<const char*> kinds) {
  for (;;) {
    auto line = worker.read_line(std::chrono::minutes(3));
    if (!line) return nullptr;
    json e = json::parse(*line, nullptr, false);
    for (const char* k : kinds)
      if (e["event"] == k) return e;
  }
}

// A normal export through the real worker: the destination ends up complete
// and alone (a stale temporary file from an earlier kill is cleaned away).
void export_cleanly(const fs::path& out, const fs::path& destination) {
  ProcessOptions options;
  const ProcessResult r = test::run_process(export_line(destination, "jpg") + "\n", options);
  ASSERT_TRUE(r.exited_zero()) << r.err;
  const auto events = events_of(r.lines);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["event"], "export_complete") << r.out;
  EXPECT_TRUE(complete_jpeg(destination, 2048, 1024));
  EXPECT_EQ(listing(out), std::set<std::string>{destination.filename().string()});
}

// ---- disk full ----------------------------------------------------------------

class DiskFull : public ::testing::TestWithParam<const char*> {};

TEST_P(DiskFull, FailsLeavesNoTemporaryFileAndKeepsTheOldDestination) {
  const std::string format = GetParam();
  fixtures::TempDir out;
  const fs::path destination = out.file("pano." + format);
  ASSERT_TRUE(fixtures::write_bytes(destination, kOldContent));

  IgnoreFileSizeSignal ignore;
  ProcessOptions options;
  // Far below any 2048 x 1024 output, far above the old file.
  options.limits = {{RLIMIT_FSIZE, 64 * 1024}};
  const ProcessResult r =
      test::run_process(export_line(destination, format) + "\n" + kCapabilities + "\n", options);
  ASSERT_TRUE(r.exited_zero()) << "exit " << r.exit_code << " signal " << r.term_signal << "\n" << r.err;

  const auto events = events_of(r.lines);
  ASSERT_GE(events.size(), 2u) << r.out;
  std::vector<json> failed;
  for (const auto& e : events) {
    EXPECT_NE(e["event"], "export_complete");
    if (e["event"] == "failed") failed.push_back(e);
  }
  ASSERT_EQ(failed.size(), 1u) << r.out;
  const std::string code = failed[0]["code"];
  EXPECT_TRUE(code == "io_error" || code == "write_failed") << failed[0];
  EXPECT_EQ(failed[0]["request_id"], requests::kRequestId);
  EXPECT_EQ(failed[0]["job_id"], requests::kJobId);
  EXPECT_FALSE(failed[0]["message"].get<std::string>().empty());
  std::cout << "[ answer   ] " << format << ": " << failed[0]["code"] << " " << failed[0]["message"] << "\n";
  EXPECT_EQ(events.back()["event"], "capabilities") << "the worker must go on with the next line";

  expect_unchanged(destination);
  EXPECT_EQ(listing(out.path()), std::set<std::string>{destination.filename().string()});
}

INSTANTIATE_TEST_SUITE_P(Formats, DiskFull, ::testing::Values("jpg", "png", "tiff"));

// ---- killed mid-export ------------------------------------------------------------

TEST(KilledMidExport, InTheRasterLoopTheOldDestinationStaysAndNothingElseAppears) {
  fixtures::TempDir out;
  const fs::path destination = out.file("pano.jpg");
  ASSERT_TRUE(fixtures::write_bytes(destination, kOldContent));

  ProcessOptions options;
  options.program = STITCH_FAULT_WORKER_PATH;
  const ProcessResult r =
      test::run_process(with_request_id(export_line(destination, "jpg"), kKillInLoopId) + "\n", options);
  ASSERT_EQ(r.term_signal, SIGKILL) << "the fault was not reached: " << r.out << r.err;
  for (const auto& e : events_of(r.lines)) EXPECT_EQ(e["event"], "progress");

  expect_unchanged(destination);
  // Nothing is written before the final step of a job.
  EXPECT_EQ(listing(out.path()), std::set<std::string>{"pano.jpg"});
  export_cleanly(out.path(), destination);
}

TEST(KilledMidExport, BeforeTheRenameOnlyACompleteTemporaryFileIsLeftAndTheNextExportCleansIt) {
  fixtures::TempDir out;
  const fs::path destination = out.file("pano.jpg");
  ASSERT_TRUE(fixtures::write_bytes(destination, kOldContent));

  ProcessOptions options;
  options.program = STITCH_FAULT_WORKER_PATH;
  const ProcessResult r =
      test::run_process(with_request_id(export_line(destination, "jpg"), kKillBeforeCommitId) + "\n", options);
  ASSERT_EQ(r.term_signal, SIGKILL) << "the fault was not reached: " << r.out << r.err;

  expect_unchanged(destination);
  const std::set<std::string> left = listing(out.path());
  EXPECT_EQ(left, (std::set<std::string>{"pano.jpg", ".pano.jpg.part"}));
  EXPECT_TRUE(complete_jpeg(out.file(".pano.jpg.part"), 2048, 1024)) << "the temporary file was flushed whole";
  export_cleanly(out.path(), destination);
}

TEST(KilledMidExport, WhileWritingTheDestinationIsOldOrCompleteNeverPartial) {
  fixtures::TempDir out;
  const fs::path destination = out.file("pano.png");
  ASSERT_TRUE(fixtures::write_bytes(destination, kOldContent));

  InteractiveProcess worker;
  ASSERT_TRUE(worker.started());
  ASSERT_TRUE(worker.write_line(export_line(destination, "png")));
  bool writing = false;
  while (auto line = worker.read_line(std::chrono::minutes(3))) {
    const json e = json::parse(*line, nullptr, false);
    if (e["event"] == "progress" && e["payload"]["message"] == "Writing output file") {
      writing = true;
      break;
    }
    ASSERT_EQ(e["event"], "progress") << *line;
  }
  ASSERT_TRUE(writing);
  // Aim for the moment the temporary file is being filled; if the write is
  // over before it is seen, the kill finds a finished (or exited) worker.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(out.file(".pano.png.part")) && std::chrono::steady_clock::now() < give_up &&
         !worker.line_ready(std::chrono::milliseconds(0))) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::kill(worker.pid(), SIGKILL);
  const ProcessResult r = worker.finish();
  EXPECT_EQ(r.term_signal, SIGKILL);

  auto now = fixtures::read_bytes(destination);
  ASSERT_TRUE(now);
  if (*now != kOldContent) {
    EXPECT_TRUE(complete_png(destination, 2048, 1024)) << "a partial file reached the destination";
  }
  std::cout << "[ state    ] destination " << (*now == kOldContent ? "old" : "new") << ", temporary file "
            << (fs::exists(out.file(".pano.png.part")) ? "left" : "absent") << "\n";
  for (const auto& name : listing(out.path())) {
    EXPECT_TRUE(name == "pano.png" || name == ".pano.png.part") << "stray file " << name;
  }
  // The next export to the same name removes any leftover temporary file.
  const ProcessResult again = test::run_process(export_line(destination, "png") + "\n");
  ASSERT_TRUE(again.exited_zero());
  EXPECT_EQ(events_of(again.lines).back()["event"], "export_complete");
  EXPECT_TRUE(complete_png(destination, 2048, 1024));
  EXPECT_EQ(listing(out.path()), std::set<std::string>{"pano.png"});
}

// ---- the reader goes away -----------------------------------------------------------

TEST(StdoutClosed, DuringAnExportTheWorkerFinishesTheJobAndExitsZero) {
  fixtures::TempDir out;
  const fs::path destination = out.file("pano.jpg");

  InteractiveProcess worker;
  ASSERT_TRUE(worker.started());
  ASSERT_TRUE(worker.write_line(export_line(destination, "jpg")));
  auto first = worker.read_line(std::chrono::minutes(3));
  ASSERT_TRUE(first);
  EXPECT_EQ(json::parse(*first)["event"], "progress");
  worker.close_stdout();
  // Events of the rest of the job, and of this request, go nowhere.
  ASSERT_TRUE(worker.write_line(kCapabilities));
  const ProcessResult r = worker.finish();
  EXPECT_EQ(r.term_signal, 0) << "killed by signal " << r.term_signal;
  EXPECT_EQ(r.exit_code, 0) << r.err;

  // Nobody was told, but the job ran to its end: the file is complete.
  EXPECT_TRUE(complete_jpeg(destination, 2048, 1024));
  EXPECT_TRUE(part_files(out.path()).empty());
}

// ---- crash inside a row task ------------------------------------------------------------

TEST(RowTaskCrash, IsReportedAsWorkerCrashAndTheNextRequestIsHandled) {
  fixtures::TempDir out;
  const fs::path destination = out.file("pano.jpg");

  ProcessOptions options;
  options.program = STITCH_FAULT_WORKER_PATH;
  InteractiveProcess worker(options);
  ASSERT_TRUE(worker.started());
  ASSERT_TRUE(worker.write_line(with_request_id(export_line(destination, "jpg"), kRowCrashId)));
  const json failed = read_until(worker, {"failed", "export_complete"});
  ASSERT_EQ(failed["event"], "failed") << failed;
  EXPECT_EQ(failed["code"], "worker_crash");
  EXPECT_EQ(failed["request_id"], kRowCrashId);
  EXPECT_EQ(failed["job_id"], requests::kJobId);
  EXPECT_EQ(failed["message"],
            "Worker protocol error: The stitch worker panicked: injected fault in a row task");
  EXPECT_TRUE(listing(out.path()).empty()) << "nothing is written before the final step";

  // The same worker process takes the next request and completes it.
  ASSERT_TRUE(worker.write_line(export_line(destination, "jpg")));
  const json done = read_until(worker, {"failed", "export_complete"});
  EXPECT_EQ(done["event"], "export_complete") << done;
  const ProcessResult r = worker.finish();
  EXPECT_TRUE(r.exited_zero()) << r.err;
  EXPECT_TRUE(complete_jpeg(destination, 2048, 1024));
  EXPECT_EQ(listing(out.path()), std::set<std::string>{"pano.jpg"});
}

}  // namespace
}  // namespace stitch::reliability
