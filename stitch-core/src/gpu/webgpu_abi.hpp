// The few types and functions of WebGPU's C API (webgpu.h as built into Dawn's
// libwebgpu_wrapper.so) that the GPU module uses. The library ships without a
// header and is loaded at run time, so the declarations live here, each struct
// pinned to the layout of that build by static_asserts (64-bit Linux/macOS).
// Internal to the gpu module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace stitch::wgpu {

// Opaque handles.
using Instance = struct InstanceImpl*;
using Adapter = struct AdapterImpl*;
using Device = struct DeviceImpl*;
using Queue = struct QueueImpl*;
using Buffer = struct BufferImpl*;
using ShaderModule = struct ShaderModuleImpl*;
using BindGroupLayout = struct BindGroupLayoutImpl*;
using BindGroup = struct BindGroupImpl*;
using PipelineLayout = struct PipelineLayoutImpl*;
using ComputePipeline = struct ComputePipelineImpl*;
using CommandEncoder = struct CommandEncoderImpl*;
using ComputePassEncoder = struct ComputePassEncoderImpl*;
using CommandBuffer = struct CommandBufferImpl*;

using Bool = std::uint32_t;
using Flags = std::uint64_t;

inline constexpr std::size_t kStrlen = std::numeric_limits<std::size_t>::max();
inline constexpr std::uint32_t kLimitU32Undefined = 0xffffffffu;
inline constexpr std::uint64_t kLimitU64Undefined = 0xffffffffffffffffull;
inline constexpr std::uint64_t kWholeSize = 0xffffffffffffffffull;

// ---- enums and flags (values of this build) --------------------------------

inline constexpr std::uint32_t kCallbackModeAllowProcessEvents = 2;
inline constexpr std::uint32_t kPowerPreferenceHighPerformance = 2;
inline constexpr std::uint32_t kFeatureLevelCore = 2;
inline constexpr std::uint32_t kBackendTypeUndefined = 0;
inline constexpr std::uint32_t kAdapterTypeCpu = 3;
inline constexpr std::uint32_t kStatusSuccess = 1;
// Request-adapter, request-device, map-async and pop-error-scope statuses all
// use 1 for success.
inline constexpr std::uint32_t kAsyncSuccess = 1;
inline constexpr std::uint32_t kErrorTypeNoError = 1;
inline constexpr std::uint32_t kErrorFilterValidation = 1;
inline constexpr std::uint32_t kErrorFilterOutOfMemory = 2;
inline constexpr std::uint32_t kErrorFilterInternal = 3;
inline constexpr std::uint32_t kSTypeShaderSourceWgsl = 2;
inline constexpr std::uint32_t kBufferBindingUniform = 2;
inline constexpr std::uint32_t kBufferBindingStorage = 3;
inline constexpr std::uint32_t kBufferBindingReadOnlyStorage = 4;

inline constexpr Flags kBufferUsageMapRead = 0x1;
inline constexpr Flags kBufferUsageCopySrc = 0x4;
inline constexpr Flags kBufferUsageCopyDst = 0x8;
inline constexpr Flags kBufferUsageUniform = 0x40;
inline constexpr Flags kBufferUsageStorage = 0x80;
inline constexpr Flags kShaderStageCompute = 0x4;
inline constexpr Flags kMapModeRead = 0x1;

// Graphics API behind an adapter, by backend type value.
enum class BackendType : std::uint32_t {
  Undefined = 0,
  Null = 1,
  WebGpu = 2,
  D3D11 = 3,
  D3D12 = 4,
  Metal = 5,
  Vulkan = 6,
  OpenGL = 7,
  OpenGLES = 8,
};

// ---- structs ----------------------------------------------------------------

struct StringView {
  const char* data;
  std::size_t length;
};

inline StringView string_view(std::string_view s) { return StringView{s.data(), s.size()}; }
// Copies a string view the library handed out (kStrlen means NUL-terminated).
inline std::string to_string(StringView s) {
  if (s.data == nullptr) return {};
  if (s.length == kStrlen) return std::string(s.data);
  return std::string(s.data, s.length);
}

struct ChainedStruct {
  const ChainedStruct* next;
  std::uint32_t s_type;
};

struct Future {
  std::uint64_t id;
};

struct RequestAdapterOptions {
  const ChainedStruct* next_in_chain;
  std::uint32_t feature_level;
  std::uint32_t power_preference;
  Bool force_fallback_adapter;
  std::uint32_t backend_type;
  void* compatible_surface;
};

using RequestAdapterCallback = void (*)(std::uint32_t status, Adapter adapter, StringView message,
                                        void* userdata1, void* userdata2);
using RequestDeviceCallback = void (*)(std::uint32_t status, Device device, StringView message,
                                       void* userdata1, void* userdata2);
using BufferMapCallback = void (*)(std::uint32_t status, StringView message, void* userdata1,
                                   void* userdata2);
using PopErrorScopeCallback = void (*)(std::uint32_t status, std::uint32_t type,
                                       StringView message, void* userdata1, void* userdata2);
using DeviceLostCallback = void (*)(const Device* device, std::uint32_t reason, StringView message,
                                    void* userdata1, void* userdata2);
using UncapturedErrorCallback = void (*)(const Device* device, std::uint32_t type,
                                         StringView message, void* userdata1, void* userdata2);

// The shape shared by every future-returning callback info.
template <typename Callback>
struct CallbackInfo {
  const ChainedStruct* next_in_chain;
  std::uint32_t mode;
  Callback callback;
  void* userdata1;
  void* userdata2;
};

struct UncapturedErrorCallbackInfo {
  const ChainedStruct* next_in_chain;
  UncapturedErrorCallback callback;
  void* userdata1;
  void* userdata2;
};

struct AdapterInfo {
  const ChainedStruct* next_in_chain;
  StringView vendor;
  StringView architecture;
  StringView device;
  StringView description;
  std::uint32_t backend_type;
  std::uint32_t adapter_type;
  std::uint32_t vendor_id;
  std::uint32_t device_id;
  std::uint32_t subgroup_min_size;
  std::uint32_t subgroup_max_size;
};

struct Limits {
  const ChainedStruct* next_in_chain;
  std::uint32_t max_texture_dimension_1d;
  std::uint32_t max_texture_dimension_2d;
  std::uint32_t max_texture_dimension_3d;
  std::uint32_t max_texture_array_layers;
  std::uint32_t max_bind_groups;
  std::uint32_t max_bind_groups_plus_vertex_buffers;
  std::uint32_t max_bindings_per_bind_group;
  std::uint32_t max_dynamic_uniform_buffers_per_pipeline_layout;
  std::uint32_t max_dynamic_storage_buffers_per_pipeline_layout;
  std::uint32_t max_sampled_textures_per_shader_stage;
  std::uint32_t max_samplers_per_shader_stage;
  std::uint32_t max_storage_buffers_per_shader_stage;
  std::uint32_t max_storage_textures_per_shader_stage;
  std::uint32_t max_uniform_buffers_per_shader_stage;
  std::uint64_t max_uniform_buffer_binding_size;
  std::uint64_t max_storage_buffer_binding_size;
  std::uint32_t min_uniform_buffer_offset_alignment;
  std::uint32_t min_storage_buffer_offset_alignment;
  std::uint32_t max_vertex_buffers;
  std::uint64_t max_buffer_size;
  std::uint32_t max_vertex_attributes;
  std::uint32_t max_vertex_buffer_array_stride;
  std::uint32_t max_inter_stage_shader_variables;
  std::uint32_t max_color_attachments;
  std::uint32_t max_color_attachment_bytes_per_sample;
  std::uint32_t max_compute_workgroup_storage_size;
  std::uint32_t max_compute_invocations_per_workgroup;
  std::uint32_t max_compute_workgroup_size_x;
  std::uint32_t max_compute_workgroup_size_y;
  std::uint32_t max_compute_workgroup_size_z;
  std::uint32_t max_compute_workgroups_per_dimension;
  std::uint32_t max_immediate_size;
  std::uint32_t max_storage_buffers_in_vertex_stage;
  std::uint32_t max_storage_textures_in_vertex_stage;
  std::uint32_t max_storage_buffers_in_fragment_stage;
  std::uint32_t max_storage_textures_in_fragment_stage;
};

// Every limit "undefined", so the device gets the default for any limit not
// set explicitly.
Limits undefined_limits();

struct QueueDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
};

struct DeviceDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  std::size_t required_feature_count;
  const std::uint32_t* required_features;
  const Limits* required_limits;
  QueueDescriptor default_queue;
  CallbackInfo<DeviceLostCallback> device_lost_callback_info;
  UncapturedErrorCallbackInfo uncaptured_error_callback_info;
};

struct BufferDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  Flags usage;
  std::uint64_t size;
  Bool mapped_at_creation;
};

struct ShaderSourceWgsl {
  ChainedStruct chain;
  StringView code;
};

struct ShaderModuleDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
};

struct BufferBindingLayout {
  const ChainedStruct* next_in_chain;
  std::uint32_t type;
  Bool has_dynamic_offset;
  std::uint64_t min_binding_size;
};

struct SamplerBindingLayout {
  const ChainedStruct* next_in_chain;
  std::uint32_t type;
};

struct TextureBindingLayout {
  const ChainedStruct* next_in_chain;
  std::uint32_t sample_type;
  std::uint32_t view_dimension;
  Bool multisampled;
};

struct StorageTextureBindingLayout {
  const ChainedStruct* next_in_chain;
  std::uint32_t access;
  std::uint32_t format;
  std::uint32_t view_dimension;
};

struct BindGroupLayoutEntry {
  const ChainedStruct* next_in_chain;
  std::uint32_t binding;
  Flags visibility;
  std::uint32_t binding_array_size;
  BufferBindingLayout buffer;
  SamplerBindingLayout sampler;
  TextureBindingLayout texture;
  StorageTextureBindingLayout storage_texture;
};

struct BindGroupLayoutDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  std::size_t entry_count;
  const BindGroupLayoutEntry* entries;
};

struct BindGroupEntry {
  const ChainedStruct* next_in_chain;
  std::uint32_t binding;
  Buffer buffer;
  std::uint64_t offset;
  std::uint64_t size;
  void* sampler;
  void* texture_view;
};

struct BindGroupDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  BindGroupLayout layout;
  std::size_t entry_count;
  const BindGroupEntry* entries;
};

struct PipelineLayoutDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  std::size_t bind_group_layout_count;
  const BindGroupLayout* bind_group_layouts;
  std::uint32_t immediate_size;
};

struct ComputeState {
  const ChainedStruct* next_in_chain;
  ShaderModule module;
  StringView entry_point;
  std::size_t constant_count;
  const void* constants;
};

struct ComputePipelineDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  PipelineLayout layout;
  ComputeState compute;
};

struct CommandEncoderDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
};

struct ComputePassDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
  const void* timestamp_writes;
};

struct CommandBufferDescriptor {
  const ChainedStruct* next_in_chain;
  StringView label;
};

// ---- layout guards (offsets as this build lays them out) --------------------

static_assert(sizeof(void*) == 8, "the WebGPU declarations assume a 64-bit target");
static_assert(sizeof(StringView) == 16 && offsetof(StringView, length) == 8);
static_assert(sizeof(ChainedStruct) == 16 && offsetof(ChainedStruct, s_type) == 8);
static_assert(sizeof(Future) == 8);
static_assert(sizeof(RequestAdapterOptions) == 32);
static_assert(offsetof(RequestAdapterOptions, feature_level) == 8);
static_assert(offsetof(RequestAdapterOptions, power_preference) == 12);
static_assert(offsetof(RequestAdapterOptions, force_fallback_adapter) == 16);
static_assert(offsetof(RequestAdapterOptions, backend_type) == 20);
static_assert(offsetof(RequestAdapterOptions, compatible_surface) == 24);
static_assert(sizeof(CallbackInfo<BufferMapCallback>) == 40);
static_assert(offsetof(CallbackInfo<BufferMapCallback>, mode) == 8);
static_assert(offsetof(CallbackInfo<BufferMapCallback>, callback) == 16);
static_assert(offsetof(CallbackInfo<BufferMapCallback>, userdata1) == 24);
static_assert(offsetof(CallbackInfo<BufferMapCallback>, userdata2) == 32);
static_assert(sizeof(UncapturedErrorCallbackInfo) == 32);
static_assert(offsetof(UncapturedErrorCallbackInfo, callback) == 8);
static_assert(sizeof(AdapterInfo) == 96);
static_assert(offsetof(AdapterInfo, vendor) == 8);
static_assert(offsetof(AdapterInfo, description) == 56);
static_assert(offsetof(AdapterInfo, backend_type) == 72);
static_assert(offsetof(AdapterInfo, adapter_type) == 76);
static_assert(offsetof(AdapterInfo, subgroup_max_size) == 92);
static_assert(sizeof(Limits) == 168);
static_assert(offsetof(Limits, max_texture_dimension_1d) == 8);
static_assert(offsetof(Limits, max_texture_dimension_2d) == 12);
static_assert(offsetof(Limits, max_texture_dimension_3d) == 16);
static_assert(offsetof(Limits, max_texture_array_layers) == 20);
static_assert(offsetof(Limits, max_storage_buffers_per_shader_stage) == 52);
static_assert(offsetof(Limits, max_uniform_buffers_per_shader_stage) == 60);
static_assert(offsetof(Limits, max_uniform_buffer_binding_size) == 64);
static_assert(offsetof(Limits, max_storage_buffer_binding_size) == 72);
static_assert(offsetof(Limits, min_uniform_buffer_offset_alignment) == 80);
static_assert(offsetof(Limits, max_vertex_buffers) == 88);
static_assert(offsetof(Limits, max_buffer_size) == 96);
static_assert(offsetof(Limits, max_vertex_attributes) == 104);
static_assert(offsetof(Limits, max_compute_invocations_per_workgroup) == 128);
static_assert(offsetof(Limits, max_compute_workgroup_size_z) == 140);
static_assert(offsetof(Limits, max_compute_workgroups_per_dimension) == 144);
static_assert(offsetof(Limits, max_immediate_size) == 148);
static_assert(offsetof(Limits, max_storage_textures_in_fragment_stage) == 164);
static_assert(sizeof(QueueDescriptor) == 24);
static_assert(sizeof(DeviceDescriptor) == 144);
static_assert(offsetof(DeviceDescriptor, label) == 8);
static_assert(offsetof(DeviceDescriptor, required_feature_count) == 24);
static_assert(offsetof(DeviceDescriptor, required_features) == 32);
static_assert(offsetof(DeviceDescriptor, required_limits) == 40);
static_assert(offsetof(DeviceDescriptor, default_queue) == 48);
static_assert(offsetof(DeviceDescriptor, device_lost_callback_info) == 72);
static_assert(offsetof(DeviceDescriptor, uncaptured_error_callback_info) == 112);
static_assert(sizeof(BufferDescriptor) == 48);
static_assert(offsetof(BufferDescriptor, usage) == 24);
static_assert(offsetof(BufferDescriptor, size) == 32);
static_assert(offsetof(BufferDescriptor, mapped_at_creation) == 40);
static_assert(sizeof(ShaderSourceWgsl) == 32 && offsetof(ShaderSourceWgsl, code) == 16);
static_assert(sizeof(ShaderModuleDescriptor) == 24);
static_assert(sizeof(BufferBindingLayout) == 24);
static_assert(offsetof(BufferBindingLayout, type) == 8);
static_assert(offsetof(BufferBindingLayout, has_dynamic_offset) == 12);
static_assert(offsetof(BufferBindingLayout, min_binding_size) == 16);
static_assert(sizeof(SamplerBindingLayout) == 16);
static_assert(sizeof(TextureBindingLayout) == 24);
static_assert(sizeof(StorageTextureBindingLayout) == 24);
static_assert(sizeof(BindGroupLayoutEntry) == 120);
static_assert(offsetof(BindGroupLayoutEntry, binding) == 8);
static_assert(offsetof(BindGroupLayoutEntry, visibility) == 16);
static_assert(offsetof(BindGroupLayoutEntry, binding_array_size) == 24);
static_assert(offsetof(BindGroupLayoutEntry, buffer) == 32);
static_assert(offsetof(BindGroupLayoutEntry, sampler) == 56);
static_assert(offsetof(BindGroupLayoutEntry, texture) == 72);
static_assert(offsetof(BindGroupLayoutEntry, storage_texture) == 96);
static_assert(sizeof(BindGroupLayoutDescriptor) == 40);
static_assert(offsetof(BindGroupLayoutDescriptor, entry_count) == 24);
static_assert(offsetof(BindGroupLayoutDescriptor, entries) == 32);
static_assert(sizeof(BindGroupEntry) == 56);
static_assert(offsetof(BindGroupEntry, binding) == 8);
static_assert(offsetof(BindGroupEntry, buffer) == 16);
static_assert(offsetof(BindGroupEntry, offset) == 24);
static_assert(offsetof(BindGroupEntry, size) == 32);
static_assert(offsetof(BindGroupEntry, sampler) == 40);
static_assert(offsetof(BindGroupEntry, texture_view) == 48);
static_assert(sizeof(BindGroupDescriptor) == 48);
static_assert(offsetof(BindGroupDescriptor, layout) == 24);
static_assert(offsetof(BindGroupDescriptor, entry_count) == 32);
static_assert(offsetof(BindGroupDescriptor, entries) == 40);
static_assert(sizeof(PipelineLayoutDescriptor) == 48);
static_assert(offsetof(PipelineLayoutDescriptor, bind_group_layout_count) == 24);
static_assert(offsetof(PipelineLayoutDescriptor, bind_group_layouts) == 32);
static_assert(offsetof(PipelineLayoutDescriptor, immediate_size) == 40);
static_assert(sizeof(ComputeState) == 48);
static_assert(offsetof(ComputeState, module) == 8);
static_assert(offsetof(ComputeState, entry_point) == 16);
static_assert(offsetof(ComputeState, constant_count) == 32);
static_assert(offsetof(ComputeState, constants) == 40);
static_assert(sizeof(ComputePipelineDescriptor) == 80);
static_assert(offsetof(ComputePipelineDescriptor, layout) == 24);
static_assert(offsetof(ComputePipelineDescriptor, compute) == 32);
static_assert(sizeof(CommandEncoderDescriptor) == 24);
static_assert(sizeof(ComputePassDescriptor) == 32);
static_assert(sizeof(CommandBufferDescriptor) == 24);

// ---- the function table -----------------------------------------------------

struct Api {
  Instance (*create_instance)(const void* descriptor);
  void (*instance_release)(Instance);
  Future (*instance_request_adapter)(Instance, const RequestAdapterOptions*,
                                     CallbackInfo<RequestAdapterCallback>);
  void (*instance_process_events)(Instance);
  void (*adapter_release)(Adapter);
  std::uint32_t (*adapter_get_info)(Adapter, AdapterInfo*);
  void (*adapter_info_free_members)(AdapterInfo);
  std::uint32_t (*adapter_get_limits)(Adapter, Limits*);
  Future (*adapter_request_device)(Adapter, const DeviceDescriptor*,
                                   CallbackInfo<RequestDeviceCallback>);
  void (*device_release)(Device);
  void (*device_tick)(Device);
  Queue (*device_get_queue)(Device);
  void (*device_push_error_scope)(Device, std::uint32_t filter);
  Future (*device_pop_error_scope)(Device, CallbackInfo<PopErrorScopeCallback>);
  Buffer (*device_create_buffer)(Device, const BufferDescriptor*);
  ShaderModule (*device_create_shader_module)(Device, const ShaderModuleDescriptor*);
  BindGroupLayout (*device_create_bind_group_layout)(Device, const BindGroupLayoutDescriptor*);
  PipelineLayout (*device_create_pipeline_layout)(Device, const PipelineLayoutDescriptor*);
  ComputePipeline (*device_create_compute_pipeline)(Device, const ComputePipelineDescriptor*);
  BindGroup (*device_create_bind_group)(Device, const BindGroupDescriptor*);
  CommandEncoder (*device_create_command_encoder)(Device, const CommandEncoderDescriptor*);
  void (*queue_release)(Queue);
  void (*queue_submit)(Queue, std::size_t count, const CommandBuffer* commands);
  void (*buffer_release)(Buffer);
  void (*buffer_destroy)(Buffer);
  void* (*buffer_get_mapped_range)(Buffer, std::size_t offset, std::size_t size);
  const void* (*buffer_get_const_mapped_range)(Buffer, std::size_t offset, std::size_t size);
  void (*buffer_unmap)(Buffer);
  Future (*buffer_map_async)(Buffer, Flags mode, std::size_t offset, std::size_t size,
                             CallbackInfo<BufferMapCallback>);
  void (*shader_module_release)(ShaderModule);
  void (*bind_group_layout_release)(BindGroupLayout);
  void (*bind_group_release)(BindGroup);
  void (*pipeline_layout_release)(PipelineLayout);
  void (*compute_pipeline_release)(ComputePipeline);
  ComputePassEncoder (*command_encoder_begin_compute_pass)(CommandEncoder,
                                                          const ComputePassDescriptor*);
  void (*command_encoder_copy_buffer_to_buffer)(CommandEncoder, Buffer source,
                                                std::uint64_t source_offset, Buffer destination,
                                                std::uint64_t destination_offset,
                                                std::uint64_t size);
  CommandBuffer (*command_encoder_finish)(CommandEncoder, const CommandBufferDescriptor*);
  void (*command_encoder_release)(CommandEncoder);
  void (*compute_pass_set_pipeline)(ComputePassEncoder, ComputePipeline);
  void (*compute_pass_set_bind_group)(ComputePassEncoder, std::uint32_t index, BindGroup,
                                      std::size_t dynamic_offset_count,
                                      const std::uint32_t* dynamic_offsets);
  void (*compute_pass_dispatch_workgroups)(ComputePassEncoder, std::uint32_t x, std::uint32_t y,
                                           std::uint32_t z);
  void (*compute_pass_end)(ComputePassEncoder);
  void (*compute_pass_release)(ComputePassEncoder);
  void (*command_buffer_release)(CommandBuffer);
};

// The function table of the WebGPU library at `library_path`, or, for an
// empty path, of the first library found by the default search (see gpu.hpp).
// Null when no library loads or a function is missing. The library stays
// loaded for the life of the process.
const Api* load_api(const std::string& library_path);

}  // namespace stitch::wgpu
