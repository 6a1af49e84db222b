// A test-only worker whose request handling throws for chosen requests, so
// that the crash guard can be observed end to end. The first byte of the
// request_id picks the fault; every other request goes to the real handler.
#include <atomic>
#include <stdexcept>

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
      std::atomic<int> visited{0};
      tbb::parallel_for(tbb::blocked_range<int>(0, 4096, 1), [&](const tbb::blocked_range<int>& r) {
        for (int i = r.begin(); i != r.end(); ++i) {
          visited.fetch_add(1, std::memory_order_relaxed);
          if (i == 3001) throw std::logic_error("injected fault in a parallel loop body");
        }
      });
      return {};
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
