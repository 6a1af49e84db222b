// Run-time loading of the WebGPU library and the shared adapter request.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "gpu/webgpu_session.hpp"

namespace stitch::wgpu {
namespace {

#if defined(__APPLE__)
constexpr const char* kLibraryName = "libwebgpu_wrapper.dylib";
#else
constexpr const char* kLibraryName = "libwebgpu_wrapper.so";
#endif

// How long an adapter request may take before it counts as unanswered.
constexpr std::chrono::seconds kAdapterTimeout{30};

template <typename Fn>
bool resolve(void* library, const char* name, Fn& out) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) return false;
  out = reinterpret_cast<Fn>(symbol);
  return true;
}

std::unique_ptr<Api> resolve_api(void* library) {
  auto api = std::make_unique<Api>();
  bool ok = true;
  ok &= resolve(library, "wgpuCreateInstance", api->create_instance);
  ok &= resolve(library, "wgpuInstanceRelease", api->instance_release);
  ok &= resolve(library, "wgpuInstanceRequestAdapter", api->instance_request_adapter);
  ok &= resolve(library, "wgpuInstanceProcessEvents", api->instance_process_events);
  ok &= resolve(library, "wgpuAdapterRelease", api->adapter_release);
  ok &= resolve(library, "wgpuAdapterGetInfo", api->adapter_get_info);
  ok &= resolve(library, "wgpuAdapterInfoFreeMembers", api->adapter_info_free_members);
  ok &= resolve(library, "wgpuAdapterGetLimits", api->adapter_get_limits);
  ok &= resolve(library, "wgpuAdapterRequestDevice", api->adapter_request_device);
  ok &= resolve(library, "wgpuDeviceRelease", api->device_release);
  ok &= resolve(library, "wgpuDeviceTick", api->device_tick);
  ok &= resolve(library, "wgpuDeviceGetQueue", api->device_get_queue);
  ok &= resolve(library, "wgpuDevicePushErrorScope", api->device_push_error_scope);
  ok &= resolve(library, "wgpuDevicePopErrorScope", api->device_pop_error_scope);
  ok &= resolve(library, "wgpuDeviceCreateBuffer", api->device_create_buffer);
  ok &= resolve(library, "wgpuDeviceCreateShaderModule", api->device_create_shader_module);
  ok &= resolve(library, "wgpuDeviceCreateBindGroupLayout", api->device_create_bind_group_layout);
  ok &= resolve(library, "wgpuDeviceCreatePipelineLayout", api->device_create_pipeline_layout);
  ok &= resolve(library, "wgpuDeviceCreateComputePipeline", api->device_create_compute_pipeline);
  ok &= resolve(library, "wgpuDeviceCreateBindGroup", api->device_create_bind_group);
  ok &= resolve(library, "wgpuDeviceCreateCommandEncoder", api->device_create_command_encoder);
  ok &= resolve(library, "wgpuQueueRelease", api->queue_release);
  ok &= resolve(library, "wgpuQueueSubmit", api->queue_submit);
  ok &= resolve(library, "wgpuBufferRelease", api->buffer_release);
  ok &= resolve(library, "wgpuBufferDestroy", api->buffer_destroy);
  ok &= resolve(library, "wgpuBufferGetMappedRange", api->buffer_get_mapped_range);
  ok &= resolve(library, "wgpuBufferGetConstMappedRange", api->buffer_get_const_mapped_range);
  ok &= resolve(library, "wgpuBufferUnmap", api->buffer_unmap);
  ok &= resolve(library, "wgpuBufferMapAsync", api->buffer_map_async);
  ok &= resolve(library, "wgpuShaderModuleRelease", api->shader_module_release);
  ok &= resolve(library, "wgpuBindGroupLayoutRelease", api->bind_group_layout_release);
  ok &= resolve(library, "wgpuBindGroupRelease", api->bind_group_release);
  ok &= resolve(library, "wgpuPipelineLayoutRelease", api->pipeline_layout_release);
  ok &= resolve(library, "wgpuComputePipelineRelease", api->compute_pipeline_release);
  ok &= resolve(library, "wgpuCommandEncoderBeginComputePass",
                api->command_encoder_begin_compute_pass);
  ok &= resolve(library, "wgpuCommandEncoderCopyBufferToBuffer",
                api->command_encoder_copy_buffer_to_buffer);
  ok &= resolve(library, "wgpuCommandEncoderFinish", api->command_encoder_finish);
  ok &= resolve(library, "wgpuCommandEncoderRelease", api->command_encoder_release);
  ok &= resolve(library, "wgpuComputePassEncoderSetPipeline", api->compute_pass_set_pipeline);
  ok &= resolve(library, "wgpuComputePassEncoderSetBindGroup", api->compute_pass_set_bind_group);
  ok &= resolve(library, "wgpuComputePassEncoderDispatchWorkgroups",
                api->compute_pass_dispatch_workgroups);
  ok &= resolve(library, "wgpuComputePassEncoderEnd", api->compute_pass_end);
  ok &= resolve(library, "wgpuComputePassEncoderRelease", api->compute_pass_release);
  ok &= resolve(library, "wgpuCommandBufferRelease", api->command_buffer_release);
  if (!ok) return nullptr;
  return api;
}

// The candidates of the default search, in order: the dynamic loader's own
// search (LD_LIBRARY_PATH, rpath, system directories), then the copy that
// scripts/setup places in the source tree, seen from an executable in the
// build directory or beside it.
std::vector<std::string> default_candidates() {
  std::vector<std::string> out{kLibraryName};
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.has_parent_path()) {
    const std::filesystem::path dir = exe.parent_path();
    out.push_back((dir / "third_party" / "webgpu" / kLibraryName).string());
    out.push_back((dir.parent_path() / "third_party" / "webgpu" / kLibraryName).string());
  }
  return out;
}

void* open_library(const std::string& library_path) {
  if (!library_path.empty()) return dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  for (const std::string& candidate : default_candidates()) {
    if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
  }
  return nullptr;
}

}  // namespace

const Api* load_api(const std::string& library_path) {
  // Loaded libraries are kept for the life of the process: unloading Dawn
  // while its static state and worker threads may still exist is unsafe.
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Api>> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto it = loaded.find(library_path); it != loaded.end()) return it->second.get();
  void* library = open_library(library_path);
  if (library == nullptr) return nullptr;
  std::unique_ptr<Api> api = resolve_api(library);
  if (!api) return nullptr;
  return loaded.emplace(library_path, std::move(api)).first->second.get();
}

Limits undefined_limits() {
  Limits limits{};
  limits.next_in_chain = nullptr;
  limits.max_texture_dimension_1d = kLimitU32Undefined;
  limits.max_texture_dimension_2d = kLimitU32Undefined;
  limits.max_texture_dimension_3d = kLimitU32Undefined;
  limits.max_texture_array_layers = kLimitU32Undefined;
  limits.max_bind_groups = kLimitU32Undefined;
  limits.max_bind_groups_plus_vertex_buffers = kLimitU32Undefined;
  limits.max_bindings_per_bind_group = kLimitU32Undefined;
  limits.max_dynamic_uniform_buffers_per_pipeline_layout = kLimitU32Undefined;
  limits.max_dynamic_storage_buffers_per_pipeline_layout = kLimitU32Undefined;
  limits.max_sampled_textures_per_shader_stage = kLimitU32Undefined;
  limits.max_samplers_per_shader_stage = kLimitU32Undefined;
  limits.max_storage_buffers_per_shader_stage = kLimitU32Undefined;
  limits.max_storage_textures_per_shader_stage = kLimitU32Undefined;
  limits.max_uniform_buffers_per_shader_stage = kLimitU32Undefined;
  limits.max_uniform_buffer_binding_size = kLimitU64Undefined;
  limits.max_storage_buffer_binding_size = kLimitU64Undefined;
  limits.min_uniform_buffer_offset_alignment = kLimitU32Undefined;
  limits.min_storage_buffer_offset_alignment = kLimitU32Undefined;
  limits.max_vertex_buffers = kLimitU32Undefined;
  limits.max_buffer_size = kLimitU64Undefined;
  limits.max_vertex_attributes = kLimitU32Undefined;
  limits.max_vertex_buffer_array_stride = kLimitU32Undefined;
  limits.max_inter_stage_shader_variables = kLimitU32Undefined;
  limits.max_color_attachments = kLimitU32Undefined;
  limits.max_color_attachment_bytes_per_sample = kLimitU32Undefined;
  limits.max_compute_workgroup_storage_size = kLimitU32Undefined;
  limits.max_compute_invocations_per_workgroup = kLimitU32Undefined;
  limits.max_compute_workgroup_size_x = kLimitU32Undefined;
  limits.max_compute_workgroup_size_y = kLimitU32Undefined;
  limits.max_compute_workgroup_size_z = kLimitU32Undefined;
  limits.max_compute_workgroups_per_dimension = kLimitU32Undefined;
  limits.max_immediate_size = kLimitU32Undefined;
  limits.max_storage_buffers_in_vertex_stage = kLimitU32Undefined;
  limits.max_storage_textures_in_vertex_stage = kLimitU32Undefined;
  limits.max_storage_buffers_in_fragment_stage = kLimitU32Undefined;
  limits.max_storage_textures_in_fragment_stage = kLimitU32Undefined;
  return limits;
}

bool drive_until(const Api& api, Instance instance, Device device,
                 const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (device != nullptr) api.device_tick(device);
    api.instance_process_events(instance);
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// Dawn and the Vulkan loader print diagnostics ("Found no drivers!") to
// standard error while they look for adapters; the worker's standard error is
// not ours to fill, so it points at /dev/null for the duration of the search.
class QuietStandardError {
 public:
  QuietStandardError() {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null_fd >= 0) ::dup2(null_fd, STDERR_FILENO);
    if (null_fd >= 0) ::close(null_fd);
  }
  ~QuietStandardError() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_ = -1;
};

AdapterOutcome request_adapter(const Api& api, const GpuOptions& options) {
  const QuietStandardError quiet;
  AdapterOutcome outcome;
  AdapterSession session;
  session.answer = std::make_unique<AdapterAnswer>();
  session.instance = Owned<Instance>(api.create_instance(nullptr), api.instance_release);
  if (!session.instance) return outcome;

  RequestAdapterOptions request{};
  request.next_in_chain = nullptr;
  request.feature_level = kFeatureLevelCore;
  request.power_preference = kPowerPreferenceHighPerformance;
  request.force_fallback_adapter = 0;
  request.backend_type = kBackendTypeUndefined;
  request.compatible_surface = nullptr;

  CallbackInfo<RequestAdapterCallback> callback{};
  callback.mode = kCallbackModeAllowProcessEvents;
  callback.callback = [](std::uint32_t status, Adapter adapter, StringView message, void* userdata1,
                         void*) {
    auto* answer = static_cast<AdapterAnswer*>(userdata1);
    answer->done = true;
    answer->status = status;
    answer->adapter = adapter;
    answer->message = to_string(message);
  };
  callback.userdata1 = session.answer.get();
  api.instance_request_adapter(session.instance.get(), &request, callback);

  AdapterAnswer* answer = session.answer.get();
  if (!drive_until(api, session.instance.get(), nullptr, [answer] { return answer->done; },
                   kAdapterTimeout)) {
    return outcome;
  }
  if (answer->adapter == nullptr) return outcome;
  // The adapter reference passed to the callback is ours to release, whatever
  // the status says.
  session.adapter = Owned<Adapter>(answer->adapter, api.adapter_release);
  answer->adapter = nullptr;
  if (answer->status != kAsyncSuccess) return outcome;

  AdapterInfo info{};
  if (api.adapter_get_info(session.adapter.get(), &info) != kStatusSuccess) return outcome;
  session.backend = static_cast<BackendType>(info.backend_type);
  session.adapter_type = info.adapter_type;
  api.adapter_info_free_members(info);

  if (session.backend == BackendType::Null || session.backend == BackendType::Undefined) {
    outcome.refusal = AdapterRefusal::Unsupported;
    return outcome;
  }
  if (session.adapter_type == kAdapterTypeCpu && !options.allow_software_adapter) {
    outcome.refusal = AdapterRefusal::Software;
    return outcome;
  }
  outcome.session = std::move(session);
  return outcome;
}

}  // namespace stitch::wgpu
