// GPU access through WebGPU (Dawn), loaded at run time: the backend probe and
// the preview stitch pass. Everything falls back cleanly when no usable GPU exists.
#pragma once

#include <string>

namespace stitch {

struct GpuOptions {
  // Accept CPU/software adapters (SwiftShader, Dawn's Null backend is never
  // accepted for rendering). Only tests set this; the worker never does.
  bool allow_software_adapter = false;
  // Path of the WebGPU library; empty means the default search: the dynamic
  // loader's own search for libwebgpu_wrapper.so, then
  // <executable dir>/third_party/webgpu/ and <executable dir>/../third_party/webgpu/
  // (the copy scripts/setup fetches, seen from build/stitch-worker).
  std::string library_path;
};

// Lower-cased name of the backend API of the adapter the GPU pass would use
// ("vulkan", "metal", ...), or "cpu" when no usable adapter exists. Creates and
// releases its own instance and adapter on every call.
std::string backend_name(const GpuOptions& options = {});

}  // namespace stitch
