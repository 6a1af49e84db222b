#include "stitch/projection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <tbb/parallel_for.h>

namespace stitch {
namespace {

constexpr float kTwoPi = 6.28318531f;
constexpr float kHalfPi = 1.57079633f;
// Band width (radians) added around the extreme seam blend so that latitudes
// classified as "clear of the seam" give weights of exactly 0 or 1 despite
// rounding in the list interpolation.
constexpr float kBlendMargin = 1e-4f;

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

float smooth01(float t) { return t * t * (3.0f - 2.0f * t); }

bool pixels_consistent(const LinearImage& image) {
  return image.pixels.size() >=
         static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3u;
}


inline bool in_bounds(const LinearImage& image, float x, float y) {
  return x >= 0.0f && y >= 0.0f && x <= static_cast<float>(image.width) - 1.0f &&
         y <= static_cast<float>(image.height) - 1.0f;
}

// A feather that is not strictly positive would divide by zero in the blend
// weight; such entries fall back to the smallest feather.
float usable_feather(float feather) { return feather > 0.0f ? feather : kMinFeatherRadians; }

// Blends two present sample lists across the seam (single band when either
// list has one entry, otherwise band by band).
Rgb blend_samples(const SampleList& up, const SampleList& down, float delta, float feather) {
  const std::size_t levels = std::min(up.count, down.count);
  Rgb out{0.0f, 0.0f, 0.0f};
  if (levels <= 1) {
    const float w = seam_weight(delta, feather);
    for (int c = 0; c < 3; ++c) {
      out[c] = down.entries[0][c] * (1.0f - w) + up.entries[0][c] * w;
    }
    return out;
  }
  const float cap = feather > kCoarseBandFeatherLimit ? 2.0f : 1.0f;
  for (std::size_t k = 0; k + 1 < levels; ++k) {
    const float scale = k == 0 ? 1.0f : cap;  // min(2^k, cap)
    const float w = seam_weight(delta, feather * scale);
    const Rgb& d0 = down.entries[k];
    const Rgb& d1 = down.entries[k + 1];
    const Rgb& u0 = up.entries[k];
    const Rgb& u1 = up.entries[k + 1];
    for (int c = 0; c < 3; ++c) {
      out[c] += (d0[c] - d1[c]) * (1.0f - w) + (u0[c] - u1[c]) * w;
    }
  }
  const float scale = cap;  // min(2^(L-1), cap) with L >= 2
  const float w = seam_weight(delta, feather * scale);
  const Rgb& dl = down.entries[levels - 1];
  const Rgb& ul = up.entries[levels - 1];
  for (int c = 0; c < 3; ++c) out[c] += dl[c] * (1.0f - w) + ul[c] * w;
  return out;
}

void apply_gain(SampleList& list, const std::array<float, 3>& gain, float factor) {
  for (std::size_t k = 0; k < list.count; ++k) {
    for (int c = 0; c < 3; ++c) list.entries[k][c] = list.entries[k][c] * gain[c] * factor;
  }
}

}  // namespace

// ---- pyramid --------------------------------------------------------------

LinearImage downsample_half(const LinearImage& image) {
  LinearImage out;
  out.camera = image.camera;
  out.iso = image.iso;
  out.baseline_exposure_ev = image.baseline_exposure_ev;
  out.raw = image.raw;
  if (!pixels_consistent(image)) return out;
  const std::uint32_t w = image.width;
  const std::uint32_t h = image.height;
  out.width = w / 2;
  out.height = h / 2;
  out.pixels.assign(static_cast<std::size_t>(out.width) * out.height * 3, 0.0f);
  if (out.width == 0 || out.height == 0) return out;
  const std::size_t ow = out.width;
  tbb::parallel_for(std::uint32_t{0}, out.height, [&](std::uint32_t y) {
    const std::size_t r0 = std::min(2 * y, h - 1);
    const std::size_t r1 = std::min(2 * y + 1, h - 1);
    const float* row0 = image.pixels.data() + r0 * w * 3;
    const float* row1 = image.pixels.data() + r1 * w * 3;
    float* dst = out.pixels.data() + y * ow * 3;
    for (std::uint32_t x = 0; x < out.width; ++x) {
      const std::size_t c0 = std::min(2 * x, w - 1) * std::size_t{3};
      const std::size_t c1 = std::min(2 * x + 1, w - 1) * std::size_t{3};
      for (std::size_t c = 0; c < 3; ++c) {
        dst[x * 3 + c] = (row0[c0 + c] + row0[c1 + c] + row1[c0 + c] + row1[c1 + c]) * 0.25f;
      }
    }
  });
  return out;
}

ImagePyramid::ImagePyramid(const LinearImage& base, std::uint8_t levels) : base_(&base) {
  if (levels <= 1) return;
  const unsigned reductions = std::min<unsigned>(levels - 1u, kMaxPyramidImages - 1);
  levels_.reserve(reductions);
  for (unsigned i = 0; i < reductions; ++i) {
    const LinearImage& last = levels_.empty() ? base : levels_.back();
    if (last.width < 4 || last.height < 4 || !pixels_consistent(last)) break;
    LinearImage next = downsample_half(last);
    next.camera = base.camera;
    next.iso = base.iso;
    next.baseline_exposure_ev = base.baseline_exposure_ev;
    next.raw = base.raw;
    levels_.push_back(std::move(next));
  }
}

// ---- scalar building blocks ------------------------------------------------

float smoothstep(float e0, float e1, float x) {
  return smooth01(clampf((x - e0) / (e1 - e0), 0.0f, 1.0f));
}

Vec3 direction_from_lat_lon(float lat, float lon) {
  const float cl = std::cos(lat);
  return {cl * std::sin(lon), std::sin(lat), cl * std::cos(lon)};
}

float output_latitude(std::uint32_t y, std::uint32_t height) {
  const std::int64_t diff = std::max<std::int64_t>(std::int64_t{height} - 1 - y, 0);
  return (static_cast<float>(diff) / static_cast<float>(height) - 0.5f) * kPi;
}

float output_longitude(std::uint32_t x, std::uint32_t width) {
  return ((1.0f - static_cast<float>(x) / static_cast<float>(width)) - 0.5f) * kTwoPi;
}

Vec3 output_direction(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height) {
  return direction_from_lat_lon(output_latitude(y, height), output_longitude(x, width));
}

Vec3 rotate_sphere(Vec3 v, const SphereRotation& rotation) {
  const float yaw = -(rotation.yawDegrees * kDegToRad);
  const float pitch = -(rotation.pitchDegrees * kDegToRad);
  const float roll = -(rotation.rollDegrees * kDegToRad);
  float c = std::cos(yaw);
  float s = std::sin(yaw);
  v = {v.x * c + v.z * s, v.y, -v.x * s + v.z * c};
  c = std::cos(pitch);
  s = std::sin(pitch);
  v = {v.x, v.y * c - v.z * s, v.y * s + v.z * c};
  c = std::cos(roll);
  s = std::sin(roll);
  return {v.x * c - v.y * s, v.x * s + v.y * c, v.z};
}

float source_latitude(Vec3 v) { return std::asin(clampf(v.y, -1.0f, 1.0f)); }

float source_longitude(Vec3 v) { return std::atan2(v.x, v.z); }

float source_x(Vec3 v) {
  const float t = 0.5f - source_longitude(v) / kTwoPi;
  const float f = t - std::floor(t);
  // A tiny negative t rounds up to exactly 1; NaN cannot occur for finite v
  // but is mapped to 0 all the same.
  return f >= 0.0f && f < 1.0f ? f : 0.0f;
}

float lookup_profile(std::span<const float> list, float u) {
  const std::size_t n = list.size();
  const float p = u * static_cast<float>(n);
  const float fl = std::floor(p);
  // Any u outside [0, 1) (rounding, NaN) still reads a valid entry.
  std::size_t i0 = 0;
  if (fl >= 0.0f && fl < static_cast<float>(n)) i0 = static_cast<std::size_t>(fl);
  const std::size_t i1 = i0 + 1 == n ? 0 : i0 + 1;
  float f = p - fl;
  if (!(f >= 0.0f && f <= 1.0f)) f = 0.0f;  // NaN position: read entry 0
  const float a = list[i0];
  const float b = list[i1];
  const float value = (1.0f - f) * a + f * b;
  // Rounding can carry the blend a hair past its two entries; keeping it
  // between them makes a list of equal entries read back exactly (so a
  // feather of exactly 0.5 degree never switches on the wide coarse bands).
  return clampf(value, std::min(a, b), std::max(a, b));
}

float local_influence(float source_latitude) {
  const float t = clampf((std::fabs(source_latitude) - 0.17453292f) / 0.31415927f, 0.0f, 1.0f);
  return 1.0f - smooth01(t);
}

float local_gain_factor(std::span<const float> list, float u, float influence) {
  if (list.empty()) return 1.0f;
  return 1.0f + (lookup_profile(list, u) - 1.0f) * influence;
}

float seam_weight(float delta, float feather) {
  return smooth01(clampf((delta + feather) / (2.0f * feather), 0.0f, 1.0f));
}

float fallback_feather(const StitchSettings& settings) {
  return std::max(settings.seamFeatherDegrees, 0.05f) * kDegToRad;
}

// ---- lens projection ----------------------------------------------------------

FisheyeLens::FisheyeLens(const LensTransform& lens, float axis_sign, float fov_degrees,
                         std::uint32_t width, std::uint32_t height)
    : axis_sign_(axis_sign),
      half_fov_(fov_degrees * kDegToRad * 0.5f),
      a_(-lens.yawDegrees * kDegToRad),
      cos_a_(std::cos(a_)),
      sin_a_(std::sin(a_)),
      max_radius_((static_cast<float>(std::min(width, height)) - 1.0f) * 0.5f),
      radius_scale_(lens.radiusScale),
      roll_(lens.rollDegrees * kDegToRad),
      cx_((static_cast<float>(width) - 1.0f) * 0.5f + lens.centerX * static_cast<float>(width)),
      cy_((static_cast<float>(height) - 1.0f) * 0.5f + lens.centerY * static_cast<float>(height)) {}

std::optional<FisheyePoint> FisheyeLens::project(Vec3 d) const {
  const bool up = axis_sign_ > 0.0f;
  const float aligned = up ? d.y : -d.y;
  const float theta = std::acos(clampf(aligned, -1.0f, 1.0f));
  if (!(theta <= half_fov_)) return std::nullopt;
  const float rx = d.x * cos_a_ + d.z * sin_a_;
  const float rz = -d.x * sin_a_ + d.z * cos_a_;
  const float radius = radius_at(theta);
  const float phi = std::atan2(rx, up ? rz : -rz) + roll_;
  return FisheyePoint{cx_ + radius * std::sin(phi), cy_ - radius * std::cos(phi)};
}

std::optional<Rgb> FisheyeLens::sample(const LinearImage& image, Vec3 d) const {
  if (!pixels_consistent(image)) return std::nullopt;
  const std::optional<FisheyePoint> p = project(d);
  if (!p) return std::nullopt;
  Rgb out;
  if (!bilinear_into(image, p->x, p->y, out)) return std::nullopt;
  return out;
}

std::optional<FisheyePoint> project_to_fisheye(Vec3 d, const LensTransform& lens, float axis_sign,
                                               float fov_degrees, std::uint32_t width,
                                               std::uint32_t height) {
  return FisheyeLens(lens, axis_sign, fov_degrees, width, height).project(d);
}

std::optional<Rgb> sample_fisheye(const LinearImage& image, Vec3 d, const LensTransform& lens,
                                  float axis_sign, float fov_degrees) {
  return FisheyeLens(lens, axis_sign, fov_degrees, image.width, image.height).sample(image, d);
}

std::optional<SampleList> sample_fisheye_pyramid(const ImagePyramid& pyramid, Vec3 d,
                                                 const LensTransform& lens, float axis_sign,
                                                 float fov_degrees) {
  const LinearImage& base = pyramid.base();
  if (!pixels_consistent(base)) return std::nullopt;
  const std::optional<FisheyePoint> p =
      project_to_fisheye(d, lens, axis_sign, fov_degrees, base.width, base.height);
  if (!p) return std::nullopt;
  SampleList list;
  if (!bilinear_into(base, p->x, p->y, list.entries[0])) return std::nullopt;
  list.count = 1;
  const auto bw = static_cast<float>(base.width);
  const auto bh = static_cast<float>(base.height);
  for (const LinearImage& level : pyramid.levels()) {
    const float x = (p->x + 0.5f) * static_cast<float>(level.width) / bw - 0.5f;
    const float y = (p->y + 0.5f) * static_cast<float>(level.height) / bh - 0.5f;
    if (!bilinear_into(level, x, y, list.entries[list.count])) return std::nullopt;
    ++list.count;
  }
  return list;
}

// ---- reference pixel ------------------------------------------------------------

Rgb render_pixel(const ImagePyramid& up, const ImagePyramid& down, const PreparedSettings& prepared,
                 std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height) {
  if (width == 0 || height == 0) return {0.0f, 0.0f, 0.0f};
  const StitchSettings& settings = prepared.settings;
  const Vec3 v = rotate_sphere(output_direction(x, y, width, height), settings.sphere);
  const float lat = source_latitude(v);
  const float u = source_x(v);
  const float influence = local_influence(lat);
  const float up_factor = local_gain_factor(prepared.up_local_gains, u, influence);
  const float down_factor = local_gain_factor(prepared.down_local_gains, u, influence);

  std::optional<SampleList> up_samples =
      sample_fisheye_pyramid(up, v, settings.up, 1.0f, settings.fovDegrees);
  std::optional<SampleList> down_samples =
      sample_fisheye_pyramid(down, v, settings.down, -1.0f, settings.fovDegrees);
  if (up_samples) apply_gain(*up_samples, prepared.up_gain, up_factor);
  if (down_samples) apply_gain(*down_samples, prepared.down_gain, down_factor);

  if (!up_samples && !down_samples) return {0.0f, 0.0f, 0.0f};
  if (!down_samples) return up_samples->entries[0];
  if (!up_samples) return down_samples->entries[0];

  const float seam =
      prepared.seam_latitudes.empty() ? 0.0f : lookup_profile(prepared.seam_latitudes, u);
  const float feather = prepared.seam_feathers.empty()
                            ? fallback_feather(settings)
                            : usable_feather(lookup_profile(prepared.seam_feathers, u));
  return blend_samples(*up_samples, *down_samples, lat - seam, feather);
}

// ---- render context ---------------------------------------------------------------

RenderContext::RenderContext(const ImagePyramid& up, const ImagePyramid& down,
                             const PreparedSettings& prepared, std::uint32_t width,
                             std::uint32_t height)
    : prepared_(&prepared), width_(width), height_(height) {
  const StitchSettings& settings = prepared.settings;
  const SphereRotation& rot = settings.sphere;
  identity_rotation_ = rot.yawDegrees == 0.0f && rot.pitchDegrees == 0.0f && rot.rollDegrees == 0.0f;
  const float angles[3] = {-(rot.yawDegrees * kDegToRad), -(rot.pitchDegrees * kDegToRad),
                           -(rot.rollDegrees * kDegToRad)};
  for (int i = 0; i < 3; ++i) {
    rotation_[2 * i] = std::cos(angles[i]);
    rotation_[2 * i + 1] = std::sin(angles[i]);
  }

  auto setup = [&](LensState& state, const ImagePyramid& pyramid, const LensTransform& lens,
                   float sign, const std::array<float, 3>& gain, std::span<const float> local) {
    const LinearImage& base = pyramid.base();
    state.pyramid = &pyramid;
    state.lens = FisheyeLens(lens, sign, settings.fovDegrees, base.width, base.height);
    // UP: image angle = azimuth + yaw turn + roll; DOWN: the image is seen
    // from the other side, so the angle is pi - (azimuth + yaw turn) + roll,
    // whose sine and cosine follow from azimuth + (yaw turn - roll).
    const float turn = sign > 0.0f ? state.lens.yaw_turn_radians() + state.lens.roll_radians()
                                   : state.lens.yaw_turn_radians() - state.lens.roll_radians();
    state.cos_turn = std::cos(turn);
    state.sin_turn = std::sin(turn);
    state.gain = gain;
    state.local_gains = local;
    state.usable = pixels_consistent(base);
    state.level_count = pyramid.levels().size();
    for (std::size_t k = 0; k < state.level_count; ++k) {
      const LinearImage& level = pyramid.levels()[k];
      state.usable = state.usable && pixels_consistent(level);
      state.levels[k] = {static_cast<float>(level.width) / static_cast<float>(base.width),
                         static_cast<float>(level.height) / static_cast<float>(base.height),
                         static_cast<float>(level.width) - 1.0f,
                         static_cast<float>(level.height) - 1.0f};
    }
  };
  setup(up_, up, settings.up, 1.0f, prepared.up_gain, prepared.up_local_gains);
  setup(down_, down, settings.down, -1.0f, prepared.down_gain, prepared.down_local_gains);
  blend_levels_ = std::min(up.image_count(), down.image_count());
  fallback_feather_ = fallback_feather(settings);

  // Extent of the seam band over every entry of the lists: a linear
  // interpolation never leaves the range of its two entries.
  float seam_min = 0.0f;
  float seam_max = 0.0f;
  if (!prepared.seam_latitudes.empty()) {
    seam_min = std::numeric_limits<float>::infinity();
    seam_max = -seam_min;
    for (float s : prepared.seam_latitudes) {
      seam_min = std::min(seam_min, s);
      seam_max = std::max(seam_max, s);
      if (!std::isfinite(s)) seam_min = -(seam_max = std::numeric_limits<float>::infinity());
    }
  }
  float feather_max = fallback_feather_;
  if (!prepared.seam_feathers.empty()) {
    feather_max = 0.0f;
    for (float f : prepared.seam_feathers) feather_max = std::max(feather_max, usable_feather(f));
  }
  const float reach = feather_max * (blend_levels_ >= 2 ? 2.0f : 1.0f);
  blend_low_ = seam_min - reach - kBlendMargin;
  blend_high_ = seam_max + reach + kBlendMargin;
  if (!std::isfinite(blend_low_) || !std::isfinite(blend_high_)) {
    blend_low_ = -std::numeric_limits<float>::infinity();
    blend_high_ = std::numeric_limits<float>::infinity();
  }

  sin_lon_.resize(width);
  cos_lon_.resize(width);
  for (std::uint32_t x = 0; x < width; ++x) {
    const float lon = output_longitude(x, width);
    sin_lon_[x] = std::sin(lon);
    cos_lon_[x] = std::cos(lon);
  }
  if (identity_rotation_) {
    for (LensState* state : {&up_, &down_}) {
      const float sign = state->lens.axis_sign() > 0.0f ? 1.0f : -1.0f;
      state->column_sin.resize(width);
      state->column_cos.resize(width);
      for (std::uint32_t x = 0; x < width; ++x) {
        const float sb = sin_lon_[x];
        const float cb = cos_lon_[x];
        state->column_sin[x] = sb * state->cos_turn + cb * state->sin_turn;
        state->column_cos[x] = (cb * state->cos_turn - sb * state->sin_turn) * sign;
      }
    }
    column_u_.resize(width);
    column_seam_.resize(width);
    column_feather_.resize(width);
    column_up_gain_.resize(width);
    column_down_gain_.resize(width);
    for (std::uint32_t x = 0; x < width; ++x) {
      const float u = source_x(Vec3{sin_lon_[x], 0.0f, cos_lon_[x]});
      column_u_[x] = u;
      column_seam_[x] =
          prepared.seam_latitudes.empty() ? 0.0f : lookup_profile(prepared.seam_latitudes, u);
      column_feather_[x] = prepared.seam_feathers.empty()
                               ? fallback_feather_
                               : usable_feather(lookup_profile(prepared.seam_feathers, u));
      column_up_gain_[x] =
          prepared.up_local_gains.empty() ? 1.0f : lookup_profile(prepared.up_local_gains, u);
      column_down_gain_[x] =
          prepared.down_local_gains.empty() ? 1.0f : lookup_profile(prepared.down_local_gains, u);
    }
  }
}

RowContext RenderContext::row(std::uint32_t y) const {
  RowContext row;
  row.y = y;
  row.latitude = output_latitude(y, height_);
  row.sin_lat = std::sin(row.latitude);
  row.cos_lat = std::cos(row.latitude);
  row.source_latitude = std::asin(clampf(row.sin_lat, -1.0f, 1.0f));
  row.influence = local_influence(row.source_latitude);
  row.side = row.source_latitude >= blend_high_ ? 1 : (row.source_latitude <= blend_low_ ? 0 : -1);
  // Without a rotation the angle off each lens axis depends on the row only,
  // and equals the per-pixel acos exactly (the direction's Y is sin_lat).
  const float theta_up = std::acos(clampf(row.sin_lat, -1.0f, 1.0f));
  const float theta_down = std::acos(clampf(-row.sin_lat, -1.0f, 1.0f));
  const float flip = row.cos_lat < 0.0f ? -1.0f : 1.0f;
  row.up_inside = theta_up <= up_.lens.half_fov();
  row.down_inside = theta_down <= down_.lens.half_fov();
  row.up_radius = up_.lens.radius_at(theta_up) * flip;
  row.down_radius = down_.lens.radius_at(theta_down) * flip;
  if (identity_rotation_) {
    row.up_all_present = row_all_present(up_, row.up_inside, row.up_radius);
    row.down_all_present = row_all_present(down_, row.down_inside, row.down_radius);
  }
  return row;
}

// Without a rotation a row's points are centre + radius * (sin, -cos) of the
// column's image angle, so they lie in the square centre +- |radius|. The
// sine and cosine may exceed 1 by a few ulps and each product rounds, hence
// the margin; the float sums and the level mapping are monotone, so the
// square's corners passing every bounds check means every point passes.
bool RenderContext::row_all_present(const LensState& state, bool inside, float radius) const {
  if (!inside || !state.usable) return false;
  const float r = std::fabs(radius) * (1.0f + 1e-5f) + 0.01f;
  const float x_lo = state.lens.center_x() - r;
  const float x_hi = state.lens.center_x() + r;
  const float y_lo = state.lens.center_y() - r;
  const float y_hi = state.lens.center_y() + r;
  const LinearImage& base = state.pyramid->base();
  if (!in_bounds(base, x_lo, y_lo) || !in_bounds(base, x_hi, y_hi)) return false;
  for (std::size_t k = 0; k < state.level_count; ++k) {
    const auto& g = state.levels[k];
    const float lx = (x_lo + 0.5f) * g[0] - 0.5f;
    const float ly = (y_lo + 0.5f) * g[1] - 0.5f;
    const float hx = (x_hi + 0.5f) * g[0] - 0.5f;
    const float hy = (y_hi + 0.5f) * g[1] - 0.5f;
    if (!(lx >= 0.0f) || !(ly >= 0.0f) || !(hx <= g[2]) || !(hy <= g[3])) return false;
  }
  return true;
}

bool RenderContext::present(const LensState& state, const Hit& hit) const {
  if (hit.known_present) return true;
  const FisheyePoint p = hit.point;
  if (!hit.inside || !state.usable || !in_bounds(state.pyramid->base(), p.x, p.y)) return false;
  for (std::size_t k = 0; k < state.level_count; ++k) {
    const auto& g = state.levels[k];
    const float x = (p.x + 0.5f) * g[0] - 0.5f;
    const float y = (p.y + 0.5f) * g[1] - 0.5f;
    if (!(x >= 0.0f) || !(y >= 0.0f) || x > g[2] || y > g[3]) return false;
  }
  return true;
}

Rgb RenderContext::sample_base(const LensState& state, FisheyePoint p, float factor) const {
  Rgb out{0.0f, 0.0f, 0.0f};
  bilinear_into(state.pyramid->base(), p.x, p.y, out);
  for (int c = 0; c < 3; ++c) out[c] = out[c] * state.gain[c] * factor;
  return out;
}

void RenderContext::sample_all(const LensState& state, FisheyePoint p, float factor,
                               SampleList& list) const {
  list.count = static_cast<std::uint8_t>(1 + state.level_count);
  bilinear_into(state.pyramid->base(), p.x, p.y, list.entries[0]);
  for (std::size_t k = 0; k < state.level_count; ++k) {
    const auto& g = state.levels[k];
    bilinear_into(state.pyramid->levels()[k], (p.x + 0.5f) * g[0] - 0.5f, (p.y + 0.5f) * g[1] - 0.5f,
             list.entries[k + 1]);
  }
  apply_gain(list, state.gain, factor);
}

// The pixel when the blend gives `first` the whole weight: its base sample
// when present, otherwise the other lens's, otherwise black. Reduced levels
// only decide presence here, since a full weight makes the band sum collapse
// to the base sample.
Rgb RenderContext::single_lens(const LensState& first, const Hit& first_hit, float first_factor,
                               const LensState& second, const Hit& second_hit,
                               float second_factor) const {
  if (present(first, first_hit)) return sample_base(first, first_hit.point, first_factor);
  if (present(second, second_hit)) return sample_base(second, second_hit.point, second_factor);
  return {0.0f, 0.0f, 0.0f};
}

Rgb RenderContext::pixel(const RowContext& row, std::uint32_t x) const {
  float lat;
  float influence;
  int side;
  float u = 0.0f;
  Hit up_hit;
  Hit down_hit;
  if (identity_rotation_) {
    lat = row.source_latitude;
    influence = row.influence;
    side = row.side;
    u = column_u_[x];
    up_hit.inside = row.up_inside;
    up_hit.known_present = row.up_all_present;
    up_hit.point = {up_.lens.center_x() + row.up_radius * up_.column_sin[x],
                    up_.lens.center_y() - row.up_radius * up_.column_cos[x]};
    down_hit.inside = row.down_inside;
    down_hit.known_present = row.down_all_present;
    down_hit.point = {down_.lens.center_x() + row.down_radius * down_.column_sin[x],
                      down_.lens.center_y() - row.down_radius * down_.column_cos[x]};
  } else {
    Vec3 v{row.cos_lat * sin_lon_[x], row.sin_lat, row.cos_lat * cos_lon_[x]};
    const auto& r = rotation_;
    v = {v.x * r[0] + v.z * r[1], v.y, -v.x * r[1] + v.z * r[0]};
    v = {v.x, v.y * r[2] - v.z * r[3], v.y * r[3] + v.z * r[2]};
    v = {v.x * r[4] - v.y * r[5], v.x * r[5] + v.y * r[4], v.z};
    lat = source_latitude(v);
    influence = local_influence(lat);
    side = lat >= blend_high_ ? 1 : (lat <= blend_low_ ? 0 : -1);
    if (side < 0 || influence > 0.0f) u = source_x(v);
    // One asin serves both lenses: the angles off the UP and DOWN axes are
    // pi/2 - lat and pi/2 + lat. The image angle comes from the direction's
    // azimuth turned by the lens's combined yaw and roll, without atan2.
    const float theta_up = kHalfPi - lat;
    const float theta_down = kHalfPi + lat;
    const float rho2 = v.x * v.x + v.z * v.z;
    float sb = 0.0f;
    float cb = 1.0f;
    if (rho2 > 0.0f) {
      const float inv = 1.0f / std::sqrt(rho2);
      sb = v.x * inv;
      cb = v.z * inv;
    }
    auto hit = [&](const LensState& state, float theta, float sign) {
      Hit h;
      h.inside = theta <= state.lens.half_fov();
      const float radius = state.lens.radius_at(theta);
      const float s = sb * state.cos_turn + cb * state.sin_turn;
      const float c = (cb * state.cos_turn - sb * state.sin_turn) * sign;
      h.point = {state.lens.center_x() + radius * s, state.lens.center_y() - radius * c};
      return h;
    };
    up_hit = hit(up_, theta_up, 1.0f);
    down_hit = hit(down_, theta_down, -1.0f);
  }

  float up_factor = 1.0f;
  float down_factor = 1.0f;
  if (influence > 0.0f) {
    if (identity_rotation_) {
      up_factor = 1.0f + (column_up_gain_[x] - 1.0f) * influence;
      down_factor = 1.0f + (column_down_gain_[x] - 1.0f) * influence;
    } else {
      up_factor = local_gain_factor(up_.local_gains, u, influence);
      down_factor = local_gain_factor(down_.local_gains, u, influence);
    }
  }
  if (side == 1) return single_lens(up_, up_hit, up_factor, down_, down_hit, down_factor);
  if (side == 0) return single_lens(down_, down_hit, down_factor, up_, up_hit, up_factor);

  const PreparedSettings& prepared = *prepared_;
  float seam;
  float feather;
  if (identity_rotation_) {
    seam = column_seam_[x];
    feather = column_feather_[x];
  } else {
    seam = prepared.seam_latitudes.empty() ? 0.0f : lookup_profile(prepared.seam_latitudes, u);
    feather = prepared.seam_feathers.empty()
                  ? fallback_feather_
                  : usable_feather(lookup_profile(prepared.seam_feathers, u));
  }
  const float delta = lat - seam;

  // Whole weight to one lens in every band: no need to sample the other.
  const float widest = blend_levels_ >= 2 && feather > kCoarseBandFeatherLimit ? 2.0f : 1.0f;
  const float w_fine = seam_weight(delta, feather);
  const float w_wide = seam_weight(delta, feather * widest);
  if (w_fine == 1.0f && w_wide == 1.0f) {
    return single_lens(up_, up_hit, up_factor, down_, down_hit, down_factor);
  }
  if (w_fine == 0.0f && w_wide == 0.0f) {
    return single_lens(down_, down_hit, down_factor, up_, up_hit, up_factor);
  }

  const bool has_up = present(up_, up_hit);
  const bool has_down = present(down_, down_hit);
  if (!has_up && !has_down) return {0.0f, 0.0f, 0.0f};
  if (!has_down) return sample_base(up_, up_hit.point, up_factor);
  if (!has_up) return sample_base(down_, down_hit.point, down_factor);
  if (blend_levels_ <= 1) {
    const Rgb a = sample_base(up_, up_hit.point, up_factor);
    const Rgb b = sample_base(down_, down_hit.point, down_factor);
    Rgb out;
    for (int c = 0; c < 3; ++c) out[c] = b[c] * (1.0f - w_fine) + a[c] * w_fine;
    return out;
  }
  SampleList up_list;
  SampleList down_list;
  sample_all(up_, up_hit.point, up_factor, up_list);
  sample_all(down_, down_hit.point, down_factor, down_list);
  return blend_samples(up_list, down_list, delta, feather);
}

void RenderContext::render_row(std::uint32_t y, std::span<Rgb> out) const {
  const RowContext r = row(y);
  const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(width_, out.size()));
  for (std::uint32_t x = 0; x < n; ++x) out[x] = pixel(r, x);
}

// ---- occlusion arcs ----------------------------------------------------------------

std::vector<bool> connected_occlusion_arc_mask(std::span<const float> scores) {
  const std::size_t n = scores.size();
  std::vector<bool> strong(n, false);
  if (n == 0) return strong;
  std::vector<bool> weak(n, false);
  for (std::size_t i = 0; i < n; ++i) weak[i] = scores[i] >= 0.0025f;
  std::vector<bool> widened(n, false);
  const auto nn = static_cast<long long>(n);
  for (long long i = 0; i < nn; ++i) {
    bool any = false;
    // Offsets -2 .. +2 taken circularly, also for lists shorter than five.
    for (long long o = -2; o <= 2 && !any; ++o) {
      any = weak[static_cast<std::size_t>(((i + o) % nn + nn) % nn)];
    }
    widened[static_cast<std::size_t>(i)] = any;
  }
  for (std::size_t i = 0; i < n; ++i) strong[i] = scores[i] >= 0.01f;
  const std::size_t passes = (n * 45 + 359) / 360;
  std::vector<bool> snapshot;
  for (std::size_t pass = 0; pass < passes; ++pass) {
    snapshot = strong;
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (strong[i] || !widened[i]) continue;
      if (snapshot[(i + n - 1) % n] || snapshot[(i + 1) % n]) {
        strong[i] = true;
        changed = true;
      }
    }
    if (!changed) break;
  }
  return strong;
}

}  // namespace stitch
