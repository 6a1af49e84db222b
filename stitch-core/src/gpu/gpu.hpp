// GPU access through WebGPU (Dawn), loaded at run time: the backend probe and
// the preview stitch pass. Everything falls back cleanly when no usable GPU exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "image_io/image_io.hpp"
#include "stitch/settings.hpp"

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
  // When non-zero, caps the storage-buffer binding size the preview pass
  // believes the adapter offers (tests use it to reach the limit fallback).
  std::uint64_t storage_binding_limit = 0;
};

// Lower-cased name of the backend API of the adapter the GPU pass would use
// ("vulkan", "metal", ...), or "cpu" when no usable adapter exists. Creates and
// releases its own instance and adapter on every call.
std::string backend_name(const GpuOptions& options = {});

// ---- preview stitch pass ----------------------------------------------------

// Longest side of the reduced source copies uploaded to the GPU.
inline constexpr std::uint32_t kProxyLimit = 2048;

// Size of the proxy of a w x h source: unchanged when the longer side is at
// most `limit`, else scaled so that it is `limit` (each side at least 1).
struct ProxySize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};
ProxySize proxy_size(std::uint32_t width, std::uint32_t height, std::uint32_t limit = kProxyLimit);

// A copy of `source` reduced by bilinear sampling so that its longer side is at
// most `limit`; corner pixels map onto corner pixels and the metadata is kept.
// `source.pixels` must hold width x height x 3 floats (an inconsistent image
// gives a black proxy of the same size).
LinearImage proxy_image(const LinearImage& source, std::uint32_t limit = kProxyLimit);

// One entry of the per-longitude table the shader reads (16 bytes, a WGSL vec4).
struct SeamProfileEntry {
  float seam_latitude = 0.0f;  // radians
  float feather = 0.0f;        // radians
  float up_local_gain = 1.0f;
  float down_local_gain = 1.0f;
  bool operator==(const SeamProfileEntry&) const = default;
};
static_assert(sizeof(SeamProfileEntry) == 16);

// Packs the four per-longitude lists into one table read at the seam list's
// length: missing feathers become `fallback_feather`, the local-gain lists are
// resampled circularly (1 when empty). Empty seam list: the single entry
// (0, fallback_feather, 1, 1).
std::vector<SeamProfileEntry> pack_seam_profiles(std::span<const float> seam_latitudes,
                                                 std::span<const float> seam_feathers,
                                                 std::span<const float> up_local_gains,
                                                 std::span<const float> down_local_gains,
                                                 float fallback_feather);

// The 128-byte uniform block of the shader (WGSL struct `Params`): 32 four-byte
// fields, no other padding. Angles in radians.
struct StitchParams {
  std::uint32_t up_width = 0;
  std::uint32_t up_height = 0;
  std::uint32_t down_width = 0;
  std::uint32_t down_height = 0;
  std::uint32_t output_width = 0;
  std::uint32_t output_height = 0;
  std::uint32_t seam_count = 0;
  std::uint32_t padding0 = 0;
  float fov_radians = 0.0f;
  float seam_feather_radians = 0.0f;  // not read by the shader
  float up_center_x = 0.0f;
  float up_center_y = 0.0f;
  float up_radius_scale = 0.0f;
  float up_yaw = 0.0f;
  float up_roll = 0.0f;
  float down_center_x = 0.0f;
  float down_center_y = 0.0f;
  float down_radius_scale = 0.0f;
  float down_yaw = 0.0f;
  float down_roll = 0.0f;
  float sphere_yaw = 0.0f;
  float sphere_pitch = 0.0f;
  float sphere_roll = 0.0f;
  float up_gain_r = 0.0f;
  float up_gain_g = 0.0f;
  float up_gain_b = 0.0f;
  float down_gain_r = 0.0f;
  float down_gain_g = 0.0f;
  float down_gain_b = 0.0f;
  float padding1 = 0.0f;
  float padding2 = 0.0f;
  float padding3 = 0.0f;
};
static_assert(sizeof(StitchParams) == 128);
static_assert(offsetof(StitchParams, up_width) == 0);
static_assert(offsetof(StitchParams, up_height) == 4);
static_assert(offsetof(StitchParams, down_width) == 8);
static_assert(offsetof(StitchParams, down_height) == 12);
static_assert(offsetof(StitchParams, output_width) == 16);
static_assert(offsetof(StitchParams, output_height) == 20);
static_assert(offsetof(StitchParams, seam_count) == 24);
static_assert(offsetof(StitchParams, padding0) == 28);
static_assert(offsetof(StitchParams, fov_radians) == 32);
static_assert(offsetof(StitchParams, seam_feather_radians) == 36);
static_assert(offsetof(StitchParams, up_center_x) == 40);
static_assert(offsetof(StitchParams, up_center_y) == 44);
static_assert(offsetof(StitchParams, up_radius_scale) == 48);
static_assert(offsetof(StitchParams, up_yaw) == 52);
static_assert(offsetof(StitchParams, up_roll) == 56);
static_assert(offsetof(StitchParams, down_center_x) == 60);
static_assert(offsetof(StitchParams, down_center_y) == 64);
static_assert(offsetof(StitchParams, down_radius_scale) == 68);
static_assert(offsetof(StitchParams, down_yaw) == 72);
static_assert(offsetof(StitchParams, down_roll) == 76);
static_assert(offsetof(StitchParams, sphere_yaw) == 80);
static_assert(offsetof(StitchParams, sphere_pitch) == 84);
static_assert(offsetof(StitchParams, sphere_roll) == 88);
static_assert(offsetof(StitchParams, up_gain_r) == 92);
static_assert(offsetof(StitchParams, up_gain_g) == 96);
static_assert(offsetof(StitchParams, up_gain_b) == 100);
static_assert(offsetof(StitchParams, down_gain_r) == 104);
static_assert(offsetof(StitchParams, down_gain_g) == 108);
static_assert(offsetof(StitchParams, down_gain_b) == 112);
static_assert(offsetof(StitchParams, padding1) == 116);
static_assert(offsetof(StitchParams, padding2) == 120);
static_assert(offsetof(StitchParams, padding3) == 124);

// The parameter block for proxies of the given sizes, an output of W x H and a
// seam table of `seam_count` entries; lens, sphere and gains from `prepared`.
StitchParams make_stitch_params(const PreparedSettings& prepared, ProxySize up, ProxySize down,
                                std::uint32_t width, std::uint32_t height,
                                std::uint32_t seam_count);

// The WGSL text of the stitch compute shader (entry point "main").
std::string_view stitch_shader_source();

// Renders the width x height preview of the pair on the GPU: proxies of at most
// 2048 pixels per side, the single-band stitch of `prepared` (lens, sphere,
// gains and per-longitude lists; no colour adjustments), read back and
// sRGB-encoded to width x height x 3 bytes. Every failure (no library, no
// usable adapter, limits, device or mapping errors) is a GpuUnavailable error
// and nothing is kept between calls, so the caller can render on the CPU
// instead. Runs on the calling thread.
Result<std::vector<std::uint8_t>> gpu_render_preview(const LinearImage& up, const LinearImage& down,
                                                     const PreparedSettings& prepared,
                                                     std::uint32_t width, std::uint32_t height,
                                                     const GpuOptions& options = {});

}  // namespace stitch
