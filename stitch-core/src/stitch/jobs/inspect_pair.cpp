// Pair inspection: both sources' headers, plain-English warnings about
// suspicious combinations, an output width proposal and a levelling sphere
// rotation from the drone's gimbal attitude. Nothing is decoded.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "dji_metadata/dji_metadata.hpp"
#include "image_io/image_io.hpp"
#include "stitch/jobs/jobs.hpp"

namespace stitch {

namespace {

std::string one_decimal(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(v));
  return buf;
}

// x mod 360 made non-negative, shifted to [-180, 180).
float wrap_degrees(float x) {
  float m = std::fmod(x + 180.0f, 360.0f);
  if (m < 0.0f) m += 360.0f;
  return m - 180.0f;
}

// The signed shortest angle from b to a.
float circular_diff(float a, float b) { return wrap_degrees(a - b); }

float circular_mean(float u, float d) { return wrap_degrees(u + circular_diff(d, u) * 0.5f); }

std::optional<SphereRotation> suggest_sphere(const std::filesystem::path& up_path,
                                             const std::filesystem::path& down_path) {
  const std::optional<Attitude> up = read_dji_gimbal_pose(up_path);
  if (!up) return std::nullopt;
  const std::optional<Attitude> down = read_dji_gimbal_pose(down_path);
  if (!down) return std::nullopt;
  // Both lenses of one shot share the gimbal; attitudes that disagree by more
  // than a degree come from different shots and say nothing about the level.
  if (!(std::fabs(circular_diff(up->yaw, down->yaw)) <= 1.0f)) return std::nullopt;
  if (!(std::fabs(circular_diff(up->pitch, down->pitch)) <= 1.0f)) return std::nullopt;
  if (!(std::fabs(circular_diff(up->roll, down->roll)) <= 1.0f)) return std::nullopt;
  SphereRotation s;
  s.yawDegrees = 0.0f;
  s.pitchDegrees = -std::clamp(circular_mean(up->pitch, down->pitch), -89.0f, 89.0f);
  // Negated mean roll, kept in [-180, 180).
  s.rollDegrees = wrap_degrees(-circular_mean(up->roll, down->roll));
  return s;
}

// About twice the smaller fisheye's size, the width at which the panorama's
// equator keeps the fisheye's resolution: t rounded to the nearest multiple of
// 256 (halves up), at least 2048, at most 20000.
std::uint32_t recommended_width(std::uint32_t smallest_dimension) {
  if (smallest_dimension >= 10000) return 20000;
  std::uint32_t t = 2 * smallest_dimension;
  if (t <= 2048) t = 2048;
  return (t + 128) / 256 * 256;
}

}  // namespace

Result<PairInfo> inspect_pair(const std::filesystem::path& up_path,
                              const std::filesystem::path& down_path) {
  Result<SourceInfo> up = inspect_source(up_path);
  if (!up) return std::move(up).error();
  Result<SourceInfo> down = inspect_source(down_path);
  if (!down) return std::move(down).error();

  PairInfo info;
  std::vector<std::string>& w = info.warnings;
  if (up->role == FisheyeRole::Down || down->role == FisheyeRole::Up)
    w.emplace_back("The selected filenames appear to be reversed. Use Swap before stitching.");
  if (up->role == FisheyeRole::Unknown)
    w.emplace_back("The UP role was assigned manually because its filename has no _UP marker.");
  if (down->role == FisheyeRole::Unknown)
    w.emplace_back("The DOWN role was assigned manually because its filename has no _DOWN marker.");
  if (up->format != down->format)
    w.emplace_back(
        "Mixed JPG/DNG sources can be stitched, but the result is limited by the 8-bit JPG source "
        "and Linear DNG export is disabled.");
  if (up->width != down->width || up->height != down->height)
    w.emplace_back("The two source dimensions differ; output resolution uses the smaller fisheye.");
  if (up->camera && down->camera && *up->camera != *down->camera)
    w.emplace_back("The two DNG files report different camera models.");
  if (up->baselineExposureEv && down->baselineExposureEv &&
      std::fabs(*up->baselineExposureEv - *down->baselineExposureEv) > 0.25f)
    w.emplace_back("The DNG BaselineExposure values differ (" + one_decimal(*up->baselineExposureEv) +
                   " and " + one_decimal(*down->baselineExposureEv) +
                   " EV). The smaller value will be used to protect highlights.");

  info.recommendedWidth =
      recommended_width(std::min({up->width, up->height, down->width, down->height}));
  info.dngEligible = up->format == SourceFormat::Dng && down->format == SourceFormat::Dng &&
                     up->rawCapable && down->rawCapable;
  info.suggestedSphere = suggest_sphere(up_path, down_path);
  info.pairId = Uuid::random_v4();
  info.up = std::move(*up);
  info.down = std::move(*down);
  return info;
}

}  // namespace stitch
