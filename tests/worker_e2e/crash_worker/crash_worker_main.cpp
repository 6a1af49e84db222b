// A test-only worker whose request handling throws for chosen requests, so
// that the crash guard can be observed end to end. The first byte of the
// request_id picks the fault; every other request goes to the real handler.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "worker/worker.hpp"

namespace {

constexpr std::uint8_t kThrowOnMainThread = 0xc0;
constexpr std::uint8_t kThrowInParallelLoop = 0xc1;
constexpr std::uint8_t kThrowNonException = 0xc2;
constexpr std::uint8_t kThrowAfterProgress = 0xc3;

stitch::Status faulty_handler(stitch::WorkerRequest request, stitch::CancelFlag& cancel,
                              const stitch::EventSink& sink) {
  const stitch::Uuid id = std::visit([](const auto& r) { return r.request_id; }, request);
  switch (id.bytes[0]) {
    case kThrowOnMainThread: throw std::runtime_error("injected fault on the main thread");
    case kThrowInParallelLoop: {
      // The fault is raised by a pool thread, not the caller, so that the
      // guard is shown to receive what oneTBB carries across threads. The
      // caller's own iterations wait (up to a second) for a pool thread to
      // pick up work; a machine whose pool has no threads raises the same
      // fault from the caller after the loop.
      const auto caller = std::this_thread::get_id();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      std::atomic<bool> pool_ran{false};
      tbb::parallel_for(tbb::blocked_range<int>(0, 4096, 1), [&](const tbb::blocked_range<int>&) {
        if (std::this_thread::get_id() != caller) {
          pool_ran.store(true);
          throw std::logic_error("injected fault in a parallel loop body");
        }
        while (!pool_ran.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      });
      throw std::logic_error("injected fault in a parallel loop body");
    }
    case kThrowNonException: throw 42;
    case kThrowAfterProgress:
      sink(stitch::ProgressEvent{id, stitch::JobProgress{id, stitch::JobStage::Decode, 5, "before the fault"}});
      throw std::runtime_error("injected fault after progress");
    default: return stitch::handle_request(std::move(request), cancel, sink);
  }
}

}  // namespace

int main(int argc, char** argv) { return stitch::worker_main(argc, argv, faulty_handler); }
