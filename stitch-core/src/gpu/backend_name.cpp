// The backend probe behind Capabilities.gpuBackend.

#include <string>

#include "gpu/gpu.hpp"
#include "gpu/webgpu_session.hpp"

namespace stitch {
namespace {

std::string api_name(wgpu::BackendType backend) {
  switch (backend) {
    case wgpu::BackendType::WebGpu: return "webgpu";
    case wgpu::BackendType::D3D11: return "d3d11";
    case wgpu::BackendType::D3D12: return "d3d12";
    case wgpu::BackendType::Metal: return "metal";
    case wgpu::BackendType::Vulkan: return "vulkan";
    case wgpu::BackendType::OpenGL: return "opengl";
    case wgpu::BackendType::OpenGLES: return "opengles";
    case wgpu::BackendType::Undefined:
    case wgpu::BackendType::Null: break;
  }
  return "cpu";
}

}  // namespace

std::string backend_name(const GpuOptions& options) {
  const wgpu::Api* api = wgpu::load_api(options.library_path);
  if (api == nullptr) return "cpu";
  wgpu::AdapterOutcome outcome = wgpu::request_adapter(*api, options);
  if (!outcome.session) return "cpu";
  // The session (adapter, then instance) is released when `outcome` leaves scope.
  return api_name(outcome.session->backend);
}

}  // namespace stitch
