// Scoped ownership of WebGPU objects and the one adapter request shared by the
// backend probe and the preview pass, so that the adapter reported and the
// adapter used always agree. Internal to the gpu module.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "gpu/gpu.hpp"
#include "gpu/webgpu_abi.hpp"

namespace stitch::wgpu {

// Owns one reference to a WebGPU object and releases it when it goes out of
// scope, on every path.
template <typename T>
class Owned {
 public:
  Owned() = default;
  Owned(T handle, void (*release)(T)) : handle_(handle), release_(release) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), release_(other.release_) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      release_ = other.release_;
    }
    return *this;
  }
  ~Owned() { reset(); }

  T get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr && release_ != nullptr) release_(handle_);
    handle_ = nullptr;
  }

 private:
  T handle_ = nullptr;
  void (*release_)(T) = nullptr;
};

// Where an adapter request's callback leaves its answer. Heap-allocated and
// owned next to the instance so that a callback the library delivers late
// (when the instance is released) still finds it alive.
struct AdapterAnswer {
  bool done = false;
  std::uint32_t status = 0;
  Adapter adapter = nullptr;
  std::string message;
};

// An instance with the adapter chosen by the shared request options.
struct AdapterSession {
  // Declared first so it outlives the objects whose callbacks write into it.
  std::unique_ptr<AdapterAnswer> answer;
  Owned<Instance> instance;
  Owned<Adapter> adapter;
  BackendType backend = BackendType::Undefined;
  std::uint32_t adapter_type = 0;
};

// Why no usable adapter came back.
enum class AdapterRefusal {
  None,         // the request gave no adapter
  Unsupported,  // Dawn's Null backend: validates but never computes
  Software,     // a CPU adapter while software adapters are not allowed
};

// Creates an instance and requests an adapter with high-performance
// preference, no fallback adapter and no surface, driving the request to
// completion on the calling thread. Null backends are always refused, CPU
// adapters unless options.allow_software_adapter.
struct AdapterOutcome {
  std::optional<AdapterSession> session;
  AdapterRefusal refusal = AdapterRefusal::None;
};
AdapterOutcome request_adapter(const Api& api, const GpuOptions& options);

// Processes the instance's events (and ticks the device, when given) on the
// calling thread until `ready` holds or `timeout` passes; true when ready.
bool drive_until(const Api& api, Instance instance, Device device,
                 const std::function<bool()>& ready, std::chrono::milliseconds timeout);

}  // namespace stitch::wgpu
