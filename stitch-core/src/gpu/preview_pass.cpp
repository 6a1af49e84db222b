// The preview stitch on the GPU: one compute pass over the output raster,
// read back and encoded to 8-bit sRGB on the host.

#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gpu/gpu.hpp"
#include "gpu/webgpu_session.hpp"
#include "stitch/projection.hpp"

namespace stitch {
namespace {

using wgpu::Api;
using wgpu::Owned;

constexpr std::string_view kNoAdapter = "No compatible graphics adapter";
constexpr std::string_view kLimitExceeded =
    "Preview buffers exceed this adapter's storage-buffer limit";

// The conservative device limits: enough for a preview from 2048-pixel
// proxies and modest enough for any WebGPU adapter.
constexpr std::uint64_t kStorageBindingLimit = 128ull << 20;
constexpr std::uint64_t kBufferSizeLimit = 256ull << 20;
constexpr std::uint32_t kStorageBuffersPerStage = 4;
constexpr std::uint64_t kUniformBindingLimit = 16384;
constexpr std::uint32_t kInvocationsPerWorkgroup = 256;
constexpr std::uint32_t kWorkgroupSide = 8;

constexpr std::chrono::seconds kDeviceTimeout{30};
// Generous: SwiftShader renders on the CPU, and a stalled driver must not
// hang the request forever (the caller then renders on the CPU).
constexpr std::chrono::seconds kMapTimeout{120};

StitchError unavailable(std::string_view text) {
  return StitchError::gpu_unavailable(std::string(text));
}

// Errors the device reports outside our callbacks (validation, out of
// memory, internal); the first one is the pass's error text.
class ErrorSink {
 public:
  static void record(const wgpu::Device*, std::uint32_t, wgpu::StringView message, void* userdata1,
                     void*) {
    auto* sink = static_cast<ErrorSink*>(userdata1);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    if (!sink->first_) sink->first_ = wgpu::to_string(message);
  }
  std::optional<std::string> first() {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> first_;
};

struct DeviceAnswer {
  const Api* api = nullptr;
  bool done = false;
  bool abandoned = false;
  std::uint32_t status = 0;
  wgpu::Device device = nullptr;
  std::string message;

  static void receive(std::uint32_t status, wgpu::Device device, wgpu::StringView message,
                      void* userdata1, void*) {
    auto* answer = static_cast<DeviceAnswer*>(userdata1);
    if (answer->abandoned) {
      // Answered after we stopped waiting: nobody will use or release it.
      if (device != nullptr) answer->api->device_release(device);
      return;
    }
    answer->done = true;
    answer->status = status;
    answer->device = device;
    answer->message = wgpu::to_string(message);
  }
};

void ignore_device_lost(const wgpu::Device*, std::uint32_t, wgpu::StringView, void*, void*) {}

// A channel with room for one value: the mapping callback sends its outcome,
// the calling thread receives it. Once closed, a late value is discarded and
// receive() gives what was sent before, or nothing.
template <typename T>
class OneSlotChannel {
 public:
  void send(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || value_) return;
    value_ = std::move(value);
    ready_.notify_all();
  }
  bool has_value() {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_.has_value();
  }
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }
  std::optional<T> receive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return value_.has_value() || closed_; });
    return std::exchange(value_, std::nullopt);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<T> value_;
  bool closed_ = false;
};

struct MapOutcome {
  std::uint32_t status = 0;
  std::string message;
};

void send_map_outcome(std::uint32_t status, wgpu::StringView message, void* userdata1, void*) {
  static_cast<OneSlotChannel<MapOutcome>*>(userdata1)->send(
      MapOutcome{status, wgpu::to_string(message)});
}

std::uint8_t encode_srgb8(float c) {
  // `c > 0` also sends NaN to 0.
  const float v = c > 0.0f ? c : 0.0f;
  const float e = v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
  return static_cast<std::uint8_t>(std::round(std::clamp(e, 0.0f, 1.0f) * 255.0f));
}

bool consistent(const LinearImage& image) {
  return image.width > 0 && image.height > 0 &&
         image.pixels.size() == static_cast<std::size_t>(image.width) * image.height * 3;
}

std::uint64_t float_bytes(ProxySize size) {
  return static_cast<std::uint64_t>(size.width) * size.height * 3 * sizeof(float);
}

}  // namespace

Result<std::vector<std::uint8_t>> gpu_render_preview(const LinearImage& up, const LinearImage& down,
                                                     const PreparedSettings& prepared,
                                                     std::uint32_t width, std::uint32_t height,
                                                     const GpuOptions& options) {
  if (width == 0 || height == 0) return unavailable("The preview has no pixels");
  if (!consistent(up) || !consistent(down)) {
    return unavailable("A source image has no pixels or an inconsistent size");
  }
  const Api* api = wgpu::load_api(options.library_path);
  if (api == nullptr) return unavailable(kNoAdapter);

  // Declared before every library object: callbacks the library delivers late
  // (while it releases the device or the instance) still find them alive.
  ErrorSink errors;
  DeviceAnswer device_answer;
  device_answer.api = api;
  OneSlotChannel<MapOutcome> map_channel;

  wgpu::AdapterOutcome adapter_outcome = wgpu::request_adapter(*api, options);
  if (!adapter_outcome.session) return unavailable(kNoAdapter);
  const wgpu::AdapterSession& session = *adapter_outcome.session;
  const wgpu::Instance instance = session.instance.get();

  // Limits, checked before any proxy is built or device requested.
  wgpu::Limits adapter_limits{};
  if (api->adapter_get_limits(session.adapter.get(), &adapter_limits) != wgpu::kStatusSuccess) {
    return unavailable("The graphics adapter did not report its limits");
  }
  const std::uint64_t device_storage_binding =
      std::min(adapter_limits.max_storage_buffer_binding_size, kStorageBindingLimit);
  // The device gets the conservative binding limit, so buffers must fit that
  // as well as the adapter's own.
  std::uint64_t storage_limit = device_storage_binding;
  if (options.storage_binding_limit != 0) {
    storage_limit = std::min(storage_limit, options.storage_binding_limit);
  }
  const ProxySize up_size = proxy_size(up.width, up.height);
  const ProxySize down_size = proxy_size(down.width, down.height);
  const std::vector<SeamProfileEntry> seam_table = pack_seam_profiles(
      prepared.seam_latitudes, prepared.seam_feathers, prepared.up_local_gains,
      prepared.down_local_gains, fallback_feather(prepared.settings));
  const std::uint64_t pixel_count = static_cast<std::uint64_t>(width) * height;
  const std::uint64_t seam_bytes = seam_table.size() * sizeof(SeamProfileEntry);
  if (pixel_count > storage_limit / 16 ||
      std::max(float_bytes(up_size), float_bytes(down_size)) > storage_limit ||
      seam_bytes > storage_limit) {
    return unavailable(kLimitExceeded);
  }
  const std::uint64_t output_bytes = pixel_count * 16;
  const std::uint32_t groups_x = (width + kWorkgroupSide - 1) / kWorkgroupSide;
  const std::uint32_t groups_y = (height + kWorkgroupSide - 1) / kWorkgroupSide;
  if (std::max(groups_x, groups_y) > adapter_limits.max_compute_workgroups_per_dimension) {
    return unavailable("The preview needs more workgroups than this adapter dispatches");
  }

  // Device.
  wgpu::Limits required = wgpu::undefined_limits();
  required.max_texture_dimension_1d = adapter_limits.max_texture_dimension_1d;
  required.max_texture_dimension_2d = adapter_limits.max_texture_dimension_2d;
  required.max_texture_dimension_3d = adapter_limits.max_texture_dimension_3d;
  required.max_texture_array_layers = adapter_limits.max_texture_array_layers;
  required.max_storage_buffer_binding_size = device_storage_binding;
  required.max_buffer_size = std::min(adapter_limits.max_buffer_size, kBufferSizeLimit);
  required.max_storage_buffers_per_shader_stage =
      std::min(adapter_limits.max_storage_buffers_per_shader_stage, kStorageBuffersPerStage);
  required.max_uniform_buffer_binding_size =
      std::min(adapter_limits.max_uniform_buffer_binding_size, kUniformBindingLimit);
  required.max_compute_invocations_per_workgroup =
      std::min(adapter_limits.max_compute_invocations_per_workgroup, kInvocationsPerWorkgroup);

  wgpu::DeviceDescriptor device_descriptor{};
  device_descriptor.label = wgpu::string_view("Orvane stitch device");
  device_descriptor.required_feature_count = 0;
  device_descriptor.required_features = nullptr;
  device_descriptor.required_limits = &required;
  device_descriptor.default_queue.label = wgpu::StringView{nullptr, wgpu::kStrlen};
  device_descriptor.device_lost_callback_info.mode = wgpu::kCallbackModeAllowProcessEvents;
  device_descriptor.device_lost_callback_info.callback = ignore_device_lost;
  device_descriptor.uncaptured_error_callback_info.callback = ErrorSink::record;
  device_descriptor.uncaptured_error_callback_info.userdata1 = &errors;
  wgpu::CallbackInfo<wgpu::RequestDeviceCallback> device_callback{};
  device_callback.mode = wgpu::kCallbackModeAllowProcessEvents;
  device_callback.callback = DeviceAnswer::receive;
  device_callback.userdata1 = &device_answer;
  api->adapter_request_device(session.adapter.get(), &device_descriptor, device_callback);
  if (!wgpu::drive_until(*api, instance, nullptr, [&] { return device_answer.done; },
                         kDeviceTimeout)) {
    device_answer.abandoned = true;
    return unavailable("The graphics device request was never answered");
  }
  Owned<wgpu::Device> device;
  if (device_answer.device != nullptr) device = Owned(device_answer.device, api->device_release);
  if (device_answer.status != wgpu::kAsyncSuccess || !device) {
    return unavailable(device_answer.message.empty() ? "The graphics device request was refused"
                                                     : device_answer.message);
  }
  Owned<wgpu::Queue> queue(api->device_get_queue(device.get()), api->queue_release);

  // Inputs: proxies only where a source exceeds the limit.
  LinearImage up_reduced;
  LinearImage down_reduced;
  const LinearImage* up_proxy = &up;
  const LinearImage* down_proxy = &down;
  if (up_size.width != up.width || up_size.height != up.height) {
    up_reduced = proxy_image(up);
    up_proxy = &up_reduced;
  }
  if (down_size.width != down.width || down_size.height != down.height) {
    down_reduced = proxy_image(down);
    down_proxy = &down_reduced;
  }
  const StitchParams params =
      make_stitch_params(prepared, up_size, down_size, width, height,
                         static_cast<std::uint32_t>(seam_table.size()));

  auto make_buffer = [&](std::string_view label, wgpu::Flags usage, std::uint64_t size,
                         const void* contents) -> Owned<wgpu::Buffer> {
    wgpu::BufferDescriptor descriptor{};
    descriptor.label = wgpu::string_view(label);
    descriptor.usage = usage;
    descriptor.size = size;
    descriptor.mapped_at_creation = contents != nullptr ? 1 : 0;
    Owned<wgpu::Buffer> buffer(api->device_create_buffer(device.get(), &descriptor),
                               api->buffer_release);
    if (!buffer || contents == nullptr) return buffer;
    void* mapped = api->buffer_get_mapped_range(buffer.get(), 0, size);
    if (mapped == nullptr) return {};
    std::memcpy(mapped, contents, size);
    api->buffer_unmap(buffer.get());
    return buffer;
  };
  std::array<Owned<wgpu::Buffer>, 6> buffers;
  buffers[0] = make_buffer("UP linear pixels", wgpu::kBufferUsageStorage,
                           up_proxy->pixels.size() * sizeof(float), up_proxy->pixels.data());
  buffers[1] = make_buffer("DOWN linear pixels", wgpu::kBufferUsageStorage,
                           down_proxy->pixels.size() * sizeof(float), down_proxy->pixels.data());
  buffers[2] = make_buffer("Adaptive seam profile", wgpu::kBufferUsageStorage, seam_bytes,
                           seam_table.data());
  buffers[3] = make_buffer("Linear preview output",
                           wgpu::kBufferUsageStorage | wgpu::kBufferUsageCopySrc, output_bytes,
                           nullptr);
  buffers[4] = make_buffer("Preview readback", wgpu::kBufferUsageMapRead | wgpu::kBufferUsageCopyDst,
                           output_bytes, nullptr);
  buffers[5] = make_buffer("Stitch parameters", wgpu::kBufferUsageUniform, sizeof(params), &params);
  for (const Owned<wgpu::Buffer>& buffer : buffers) {
    if (!buffer) return unavailable(errors.first().value_or("A preview buffer could not be created"));
  }
  const wgpu::Buffer output_buffer = buffers[3].get();
  const wgpu::Buffer readback = buffers[4].get();

  // Shader and pipeline.
  wgpu::ShaderSourceWgsl wgsl{};
  wgsl.chain.next = nullptr;
  wgsl.chain.s_type = wgpu::kSTypeShaderSourceWgsl;
  wgsl.code = wgpu::string_view(stitch_shader_source());
  wgpu::ShaderModuleDescriptor module_descriptor{};
  module_descriptor.next_in_chain = &wgsl.chain;
  module_descriptor.label = wgpu::string_view("Fisheye stitch compute shader");
  Owned<wgpu::ShaderModule> shader(
      api->device_create_shader_module(device.get(), &module_descriptor),
      api->shader_module_release);

  std::array<wgpu::BindGroupLayoutEntry, 5> layout_entries{};
  for (std::uint32_t i = 0; i < layout_entries.size(); ++i) {
    layout_entries[i].binding = i;
    layout_entries[i].visibility = wgpu::kShaderStageCompute;
    layout_entries[i].buffer.type = i < 3    ? wgpu::kBufferBindingReadOnlyStorage
                                    : i == 3 ? wgpu::kBufferBindingStorage
                                             : wgpu::kBufferBindingUniform;
    layout_entries[i].buffer.has_dynamic_offset = 0;
    layout_entries[i].buffer.min_binding_size = 0;
  }
  wgpu::BindGroupLayoutDescriptor layout_descriptor{};
  layout_descriptor.label = wgpu::string_view("Stitch bind layout");
  layout_descriptor.entry_count = layout_entries.size();
  layout_descriptor.entries = layout_entries.data();
  Owned<wgpu::BindGroupLayout> bind_layout(
      api->device_create_bind_group_layout(device.get(), &layout_descriptor),
      api->bind_group_layout_release);

  const wgpu::BindGroupLayout layouts[] = {bind_layout.get()};
  wgpu::PipelineLayoutDescriptor pipeline_layout_descriptor{};
  pipeline_layout_descriptor.label = wgpu::string_view("Stitch pipeline layout");
  pipeline_layout_descriptor.bind_group_layout_count = 1;
  pipeline_layout_descriptor.bind_group_layouts = layouts;
  pipeline_layout_descriptor.immediate_size = 0;
  Owned<wgpu::PipelineLayout> pipeline_layout(
      api->device_create_pipeline_layout(device.get(), &pipeline_layout_descriptor),
      api->pipeline_layout_release);

  wgpu::ComputePipelineDescriptor pipeline_descriptor{};
  pipeline_descriptor.label = wgpu::string_view("Stitch compute pipeline");
  pipeline_descriptor.layout = pipeline_layout.get();
  pipeline_descriptor.compute.module = shader.get();
  pipeline_descriptor.compute.entry_point = wgpu::string_view("main");
  Owned<wgpu::ComputePipeline> pipeline(
      api->device_create_compute_pipeline(device.get(), &pipeline_descriptor),
      api->compute_pipeline_release);

  std::array<wgpu::BindGroupEntry, 5> group_entries{};
  for (std::uint32_t i = 0; i < group_entries.size(); ++i) {
    group_entries[i].binding = i;
    group_entries[i].buffer = buffers[i == 4 ? 5 : i].get();
    group_entries[i].offset = 0;
    group_entries[i].size = wgpu::kWholeSize;
  }
  wgpu::BindGroupDescriptor group_descriptor{};
  group_descriptor.label = wgpu::string_view("Stitch bind group");
  group_descriptor.layout = bind_layout.get();
  group_descriptor.entry_count = group_entries.size();
  group_descriptor.entries = group_entries.data();
  Owned<wgpu::BindGroup> bind_group(api->device_create_bind_group(device.get(), &group_descriptor),
                                    api->bind_group_release);
  if (!shader || !bind_layout || !pipeline_layout || !pipeline || !bind_group) {
    return unavailable(errors.first().value_or("The stitch pipeline could not be created"));
  }
  if (std::optional<std::string> error = errors.first()) return unavailable(*error);

  // One compute pass, then the copy into the mappable buffer.
  wgpu::CommandEncoderDescriptor encoder_descriptor{};
  encoder_descriptor.label = wgpu::string_view("Stitch command encoder");
  Owned<wgpu::CommandEncoder> encoder(
      api->device_create_command_encoder(device.get(), &encoder_descriptor),
      api->command_encoder_release);
  if (!encoder) return unavailable(errors.first().value_or("No command encoder"));
  {
    wgpu::ComputePassDescriptor pass_descriptor{};
    pass_descriptor.label = wgpu::string_view("Stitch preview pass");
    Owned<wgpu::ComputePassEncoder> pass(
        api->command_encoder_begin_compute_pass(encoder.get(), &pass_descriptor),
        api->compute_pass_release);
    if (!pass) return unavailable(errors.first().value_or("No compute pass"));
    api->compute_pass_set_pipeline(pass.get(), pipeline.get());
    api->compute_pass_set_bind_group(pass.get(), 0, bind_group.get(), 0, nullptr);
    api->compute_pass_dispatch_workgroups(pass.get(), groups_x, groups_y, 1);
    api->compute_pass_end(pass.get());
  }
  api->command_encoder_copy_buffer_to_buffer(encoder.get(), output_buffer, 0, readback, 0,
                                             output_bytes);
  Owned<wgpu::CommandBuffer> commands(api->command_encoder_finish(encoder.get(), nullptr),
                                      api->command_buffer_release);
  if (!commands) return unavailable(errors.first().value_or("No command buffer"));
  const wgpu::CommandBuffer submitted[] = {commands.get()};
  api->queue_submit(queue.get(), 1, submitted);
  if (std::optional<std::string> error = errors.first()) return unavailable(*error);

  // Read back: the mapping callback hands its outcome over through the
  // channel while this thread drives the device.
  wgpu::CallbackInfo<wgpu::BufferMapCallback> map_callback{};
  map_callback.mode = wgpu::kCallbackModeAllowProcessEvents;
  map_callback.callback = send_map_outcome;
  map_callback.userdata1 = &map_channel;
  api->buffer_map_async(readback, wgpu::kMapModeRead, 0, output_bytes, map_callback);
  wgpu::drive_until(*api, instance, device.get(), [&] { return map_channel.has_value(); },
                    kMapTimeout);
  map_channel.close();
  const std::optional<MapOutcome> mapped = map_channel.receive();
  if (!mapped) return unavailable("The read-back mapping never completed");
  if (mapped->status != wgpu::kAsyncSuccess) {
    return unavailable(mapped->message.empty() ? "Mapping the read-back buffer failed"
                                               : mapped->message);
  }
  const auto* linear = static_cast<const float*>(
      api->buffer_get_const_mapped_range(readback, 0, static_cast<std::size_t>(output_bytes)));
  if (linear == nullptr) {
    api->buffer_unmap(readback);
    return unavailable("The read-back buffer is not readable");
  }

  std::vector<std::uint8_t> srgb(static_cast<std::size_t>(pixel_count) * 3);
  tbb::parallel_for(std::uint32_t{0}, height, [&](std::uint32_t y) {
    const std::size_t first = static_cast<std::size_t>(y) * width;
    for (std::size_t i = first; i < first + width; ++i) {
      srgb[3 * i] = encode_srgb8(linear[4 * i]);
      srgb[3 * i + 1] = encode_srgb8(linear[4 * i + 1]);
      srgb[3 * i + 2] = encode_srgb8(linear[4 * i + 2]);
    }
  });
  api->buffer_unmap(readback);
  return srgb;
}

}  // namespace stitch
