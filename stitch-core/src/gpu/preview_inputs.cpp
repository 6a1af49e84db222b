// What the preview pass uploads: reduced source copies, the packed seam table
// and the parameter block.

#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "gpu/gpu.hpp"
#include "stitch/projection.hpp"

namespace stitch {
namespace {

std::uint32_t scaled_side(std::uint32_t side, std::uint32_t longest, std::uint32_t limit) {
  // In double so the longer side lands exactly on the limit; halves round away
  // from zero (std::round), and the result stays within [1, limit].
  const double scaled = std::round(static_cast<double>(side) * limit / longest);
  return static_cast<std::uint32_t>(std::clamp(scaled, 1.0, static_cast<double>(limit)));
}

// Source coordinate of proxy index i when n proxy samples span a source side
// of `side` pixels, corners onto corners. Double keeps the last index exactly
// on side - 1 (a float quotient could land just past the edge and drop out).
float source_coordinate(std::uint32_t i, std::uint32_t n, std::uint32_t side) {
  const double denominator = std::max<std::uint32_t>(n, 2) - 1;
  const double c = static_cast<double>(side - 1) * i / denominator;
  return static_cast<float>(std::min(c, static_cast<double>(side - 1)));
}

}  // namespace

ProxySize proxy_size(std::uint32_t width, std::uint32_t height, std::uint32_t limit) {
  const std::uint32_t longest = std::max(width, height);
  if (longest <= limit || limit == 0) return {width, height};
  return {scaled_side(width, longest, limit), scaled_side(height, longest, limit)};
}

LinearImage proxy_image(const LinearImage& source, std::uint32_t limit) {
  const ProxySize size = proxy_size(source.width, source.height, limit);
  if (size.width == source.width && size.height == source.height) return source;

  LinearImage out;
  out.width = size.width;
  out.height = size.height;
  out.camera = source.camera;
  out.iso = source.iso;
  out.baseline_exposure_ev = source.baseline_exposure_ev;
  out.raw = source.raw;
  out.pixels.assign(static_cast<std::size_t>(size.width) * size.height * 3, 0.0f);
  const std::size_t expected = static_cast<std::size_t>(source.width) * source.height * 3;
  if (source.width == 0 || source.height == 0 || source.pixels.size() != expected) return out;

  std::vector<float> xs(size.width);
  for (std::uint32_t x = 0; x < size.width; ++x) {
    xs[x] = source_coordinate(x, size.width, source.width);
  }
  tbb::parallel_for(std::uint32_t{0}, size.height, [&](std::uint32_t y) {
    const float sy = source_coordinate(y, size.height, source.height);
    float* row = out.pixels.data() + static_cast<std::size_t>(y) * size.width * 3;
    for (std::uint32_t x = 0; x < size.width; ++x) {
      if (const std::optional<Rgb> rgb = sample_bilinear(source, xs[x], sy)) {
        row[3 * x] = (*rgb)[0];
        row[3 * x + 1] = (*rgb)[1];
        row[3 * x + 2] = (*rgb)[2];
      }
    }
  });
  return out;
}

std::vector<SeamProfileEntry> pack_seam_profiles(std::span<const float> seam_latitudes,
                                                 std::span<const float> seam_feathers,
                                                 std::span<const float> up_local_gains,
                                                 std::span<const float> down_local_gains,
                                                 float fallback_feather) {
  if (seam_latitudes.empty()) return {SeamProfileEntry{0.0f, fallback_feather, 1.0f, 1.0f}};
  const std::size_t n = seam_latitudes.size();
  std::vector<SeamProfileEntry> entries(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float u = static_cast<float>(i) / static_cast<float>(n);
    SeamProfileEntry& e = entries[i];
    e.seam_latitude = seam_latitudes[i];
    e.feather = i < seam_feathers.size() ? seam_feathers[i] : fallback_feather;
    e.up_local_gain = up_local_gains.empty() ? 1.0f : lookup_profile(up_local_gains, u);
    e.down_local_gain = down_local_gains.empty() ? 1.0f : lookup_profile(down_local_gains, u);
  }
  return entries;
}

StitchParams make_stitch_params(const PreparedSettings& prepared, ProxySize up, ProxySize down,
                                std::uint32_t width, std::uint32_t height,
                                std::uint32_t seam_count) {
  const StitchSettings& s = prepared.settings;
  StitchParams p;
  p.up_width = up.width;
  p.up_height = up.height;
  p.down_width = down.width;
  p.down_height = down.height;
  p.output_width = width;
  p.output_height = height;
  p.seam_count = seam_count;
  p.fov_radians = s.fovDegrees * kDegToRad;
  p.seam_feather_radians = fallback_feather(s);
  p.up_center_x = s.up.centerX;
  p.up_center_y = s.up.centerY;
  p.up_radius_scale = s.up.radiusScale;
  p.up_yaw = s.up.yawDegrees * kDegToRad;
  p.up_roll = s.up.rollDegrees * kDegToRad;
  p.down_center_x = s.down.centerX;
  p.down_center_y = s.down.centerY;
  p.down_radius_scale = s.down.radiusScale;
  p.down_yaw = s.down.yawDegrees * kDegToRad;
  p.down_roll = s.down.rollDegrees * kDegToRad;
  p.sphere_yaw = s.sphere.yawDegrees * kDegToRad;
  p.sphere_pitch = s.sphere.pitchDegrees * kDegToRad;
  p.sphere_roll = s.sphere.rollDegrees * kDegToRad;
  p.up_gain_r = prepared.up_gain[0];
  p.up_gain_g = prepared.up_gain[1];
  p.up_gain_b = prepared.up_gain[2];
  p.down_gain_r = prepared.down_gain[0];
  p.down_gain_g = prepared.down_gain[1];
  p.down_gain_b = prepared.down_gain[2];
  return p;
}

}  // namespace stitch
