// A test-only worker that runs the real export job with a fault injected
// through the job's seams, chosen by the first byte of the request_id:
//   d1  a row task of the raster loop throws (the crash guard must catch it)
//   d2  the process kills itself with SIGKILL in the middle of the raster loop
//   d3  the process kills itself with SIGKILL once the temporary file is
//       complete, just before it would be renamed over the destination
// Every other request goes to the real handler unchanged.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <utility>
#include <variant>

#include "worker/worker.hpp"

namespace {

constexpr std::uint8_t kThrowInRowTask = 0xd1;
constexpr std::uint8_t kKillInRasterLoop = 0xd2;
constexpr std::uint8_t kKillBeforeCommit = 0xd3;

// Far enough into the loop that several blocks are done, early enough for
// the smallest export (1024 rows).
constexpr std::uint32_t kFaultRow = 300;

[[noreturn]] void kill_self() {
  ::kill(::getpid(), SIGKILL);
  for (;;) ::pause();
}

stitch::Status export_with_fault(const stitch::StartExport& request, std::uint8_t fault,
                                 stitch::CancelFlag& cancel, const stitch::EventSink& sink) {
  stitch::JobOptions options;
  switch (fault) {
    case kThrowInRowTask:
      options.row_hook = [](std::uint32_t row) {
        if (row == kFaultRow) throw std::runtime_error("injected fault in a row task");
      };
      break;
    case kKillInRasterLoop:
      options.row_hook = [](std::uint32_t row) {
        if (row == kFaultRow) kill_self();
      };
      break;
    case kKillBeforeCommit:
      options.export_options.before_commit = [](const std::filesystem::path&, const std::filesystem::path&) {
        kill_self();
      };
      break;
    default: break;
  }
  stitch::Status done =
      stitch::run_export(request.up_path, request.down_path, request.settings, request.export_request, cancel,
                         stitch::progress_sink(sink, request.request_id, request.job_id), options);
  if (!done) return done;
  sink(stitch::ExportCompleteEvent{request.request_id, request.job_id, request.export_request.destination});
  return {};
}

stitch::Status faulty_handler(stitch::WorkerRequest request, stitch::CancelFlag& cancel,
                              const stitch::EventSink& sink) {
  if (const auto* job = std::get_if<stitch::StartExport>(&request)) {
    const std::uint8_t fault = job->request_id.bytes[0];
    if (fault == kThrowInRowTask || fault == kKillInRasterLoop || fault == kKillBeforeCommit) {
      return export_with_fault(*job, fault, cancel, sink);
    }
  }
  return stitch::handle_request(std::move(request), cancel, sink);
}

}  // namespace

int main(int argc, char** argv) { return stitch::worker_main(argc, argv, faulty_handler); }
