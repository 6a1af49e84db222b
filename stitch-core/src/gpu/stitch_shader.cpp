// The WGSL compute shader of the preview stitch: the single-band form of the
// CPU pixel renderer, one invocation per output pixel.

#include "gpu/gpu.hpp"

namespace stitch {
namespace {

constexpr std::string_view kStitchShader = R"wgsl(struct Params {
  up_width: u32,
  up_height: u32,
  down_width: u32,
  down_height: u32,
  output_width: u32,
  output_height: u32,
  seam_count: u32,
  padding0: u32,
  fov_radians: f32,
  seam_feather_radians: f32,
  up_center_x: f32,
  up_center_y: f32,
  up_radius_scale: f32,
  up_yaw: f32,
  up_roll: f32,
  down_center_x: f32,
  down_center_y: f32,
  down_radius_scale: f32,
  down_yaw: f32,
  down_roll: f32,
  sphere_yaw: f32,
  sphere_pitch: f32,
  sphere_roll: f32,
  up_gain_r: f32,
  up_gain_g: f32,
  up_gain_b: f32,
  down_gain_r: f32,
  down_gain_g: f32,
  down_gain_b: f32,
  padding1: f32,
  padding2: f32,
  padding3: f32,
};

@group(0) @binding(0) var<storage, read> up_pixels: array<f32>;
@group(0) @binding(1) var<storage, read> down_pixels: array<f32>;
// x = seam latitude, y = feather, z = UP local JPG gain, w = DOWN local JPG gain.
@group(0) @binding(2) var<storage, read> seam_profiles: array<vec4<f32>>;
@group(0) @binding(3) var<storage, read_write> output_pixels: array<vec4<f32>>;
@group(0) @binding(4) var<uniform> params: Params;

const PI: f32 = 3.141592653589793;

fn rotate_x(v: vec3<f32>, a: f32) -> vec3<f32> {
  let c = cos(a);
  let s = sin(a);
  return vec3<f32>(v.x, v.y * c - v.z * s, v.y * s + v.z * c);
}

fn rotate_y(v: vec3<f32>, a: f32) -> vec3<f32> {
  let c = cos(a);
  let s = sin(a);
  return vec3<f32>(v.x * c + v.z * s, v.y, -v.x * s + v.z * c);
}

fn rotate_z(v: vec3<f32>, a: f32) -> vec3<f32> {
  let c = cos(a);
  let s = sin(a);
  return vec3<f32>(v.x * c - v.y * s, v.x * s + v.y * c, v.z);
}

fn read_rgb(source: u32, x: u32, y: u32, width: u32) -> vec3<f32> {
  let index = (y * width + x) * 3u;
  if (source == 0u) {
    return vec3<f32>(up_pixels[index], up_pixels[index + 1u], up_pixels[index + 2u]);
  }
  return vec3<f32>(down_pixels[index], down_pixels[index + 1u], down_pixels[index + 2u]);
}

fn bilinear(source: u32, point: vec2<f32>, dimensions: vec2<u32>) -> vec4<f32> {
  let size = vec2<f32>(dimensions);
  if (point.x < 0.0 || point.y < 0.0 || point.x > size.x - 1.0 || point.y > size.y - 1.0) {
    return vec4<f32>(0.0);
  }
  let p0 = vec2<u32>(floor(point));
  let p1 = min(p0 + vec2<u32>(1u), dimensions - vec2<u32>(1u));
  let f = fract(point);
  let top = mix(read_rgb(source, p0.x, p0.y, dimensions.x), read_rgb(source, p1.x, p0.y, dimensions.x), f.x);
  let bottom = mix(read_rgb(source, p0.x, p1.y, dimensions.x), read_rgb(source, p1.x, p1.y, dimensions.x), f.x);
  return vec4<f32>(mix(top, bottom, f.y), 1.0);
}

fn fisheye_sample(source: u32, direction: vec3<f32>, axis_sign: f32) -> vec4<f32> {
  var dimensions = vec2<u32>(params.up_width, params.up_height);
  var center_offset = vec2<f32>(params.up_center_x, params.up_center_y);
  var radius_scale = params.up_radius_scale;
  var yaw = params.up_yaw;
  var roll = params.up_roll;
  if (source == 1u) {
    dimensions = vec2<u32>(params.down_width, params.down_height);
    center_offset = vec2<f32>(params.down_center_x, params.down_center_y);
    radius_scale = params.down_radius_scale;
    yaw = params.down_yaw;
    roll = params.down_roll;
  }
  let rotated = rotate_y(direction, -yaw);
  var aligned = -rotated.y;
  var forward = -rotated.z;
  if (axis_sign > 0.0) {
    aligned = rotated.y;
    forward = rotated.z;
  }
  // The angle from the lens axis, acos(clamp(aligned, -1, 1)) for a unit
  // direction, taken as atan2 of the off-axis length and the on-axis part:
  // GPU acos approximations lose precision near 1, i.e. around the lens
  // centre, and displaced samples there by up to a pixel.
  let theta = atan2(length(vec2<f32>(rotated.x, rotated.z)), aligned);
  let half_fov = params.fov_radians * 0.5;
  if (theta > half_fov) {
    return vec4<f32>(0.0);
  }
  let size = vec2<f32>(dimensions);
  let max_radius = (min(size.x, size.y) - 1.0) * 0.5;
  let radius = theta / half_fov * max_radius * radius_scale;
  let phi = atan2(rotated.x, forward) + roll;
  let center = (size - vec2<f32>(1.0)) * 0.5 + center_offset * size;
  return bilinear(source, center + vec2<f32>(radius * sin(phi), -radius * cos(phi)), dimensions);
}

fn smooth_step(edge0: f32, edge1: f32, value: f32) -> f32 {
  let t = clamp((value - edge0) / (edge1 - edge0), 0.0, 1.0);
  return t * t * (3.0 - 2.0 * t);
}

@compute @workgroup_size(8, 8, 1)
fn main(@builtin(global_invocation_id) id: vec3<u32>) {
  if (id.x >= params.output_width || id.y >= params.output_height) {
    return;
  }
  let width = f32(params.output_width);
  let height = f32(params.output_height);
  let latitude = PI * (f32(params.output_height - 1u - id.y) / height - 0.5);
  let longitude = 2.0 * PI * (1.0 - f32(id.x) / width - 0.5);
  var direction = vec3<f32>(cos(latitude) * sin(longitude), sin(latitude), cos(latitude) * cos(longitude));
  direction = rotate_z(rotate_x(rotate_y(direction, -params.sphere_yaw), -params.sphere_pitch), -params.sphere_roll);

  let source_latitude = asin(clamp(direction.y, -1.0, 1.0));
  let source_longitude = atan2(direction.x, direction.z);
  let source_x = fract(0.5 - source_longitude / (2.0 * PI));
  let seam_position = source_x * f32(params.seam_count);
  let seam_first = u32(floor(seam_position)) % params.seam_count;
  let seam_second = (seam_first + 1u) % params.seam_count;
  let profile = mix(seam_profiles[seam_first], seam_profiles[seam_second], fract(seam_position));

  let local_influence = 1.0 - smooth_step(0.17453293, 0.4886922, abs(source_latitude));
  let up_local_gain = 1.0 + (profile.z - 1.0) * local_influence;
  let down_local_gain = 1.0 + (profile.w - 1.0) * local_influence;

  var up = fisheye_sample(0u, direction, 1.0);
  var down = fisheye_sample(1u, direction, -1.0);
  up = vec4<f32>(up.rgb * vec3<f32>(params.up_gain_r, params.up_gain_g, params.up_gain_b) * up_local_gain, up.w);
  down = vec4<f32>(down.rgb * vec3<f32>(params.down_gain_r, params.down_gain_g, params.down_gain_b) * down_local_gain, down.w);

  var result = vec3<f32>(0.0);
  if (up.w > 0.0 && down.w > 0.0) {
    result = mix(down.rgb, up.rgb, smooth_step(-profile.y, profile.y, source_latitude - profile.x));
  } else if (up.w > 0.0) {
    result = up.rgb;
  } else if (down.w > 0.0) {
    result = down.rgb;
  }
  output_pixels[id.y * params.output_width + id.x] = vec4<f32>(result, 1.0);
}
)wgsl";

}  // namespace

std::string_view stitch_shader_source() { return kStitchShader; }

}  // namespace stitch
