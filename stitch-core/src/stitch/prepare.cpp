#include "stitch/prepare.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "stitch/prepare_sampling.hpp"

namespace stitch {

// ---- shared helpers ----------------------------------------------------

float median_f32(std::span<float> values) {
  if (values.empty()) return 0.0f;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  // Selection gives the same element as a full sort at that index.
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

std::vector<float> circular_median_filter(std::span<const float> values, std::size_t radius) {
  const std::size_t n = values.size();
  std::vector<float> out(n);
  if (n == 0) return out;
  std::vector<float> window(2 * radius + 1);
  const std::size_t back = radius % n;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t j = (i + n - back) % n;
    for (float& w : window) {
      w = values[j];
      j = j + 1 == n ? 0 : j + 1;
    }
    out[i] = median_f32(window);
  }
  return out;
}

std::vector<float> circular_moving_average(std::span<const float> values, std::size_t radius) {
  const std::size_t n = values.size();
  std::vector<float> out(n);
  if (n == 0) return out;
  const float count = static_cast<float>(2 * radius + 1);
  const std::size_t back = radius % n;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t j = (i + n - back) % n;
    float sum = 0.0f;
    for (std::size_t k = 0; k < 2 * radius + 1; ++k) {
      sum += values[j];
      j = j + 1 == n ? 0 : j + 1;
    }
    out[i] = sum / count;
  }
  return out;
}

Vec3 analysis_direction(float u, float latitude_degrees) {
  const float lon = (0.5f - u) * (2.0f * kPi);
  return direction_from_lat_lon(latitude_degrees * kDegToRad, lon);
}

float luminance(const Rgb& rgb) { return 0.2126f * rgb[0] + 0.7152f * rgb[1] + 0.0722f * rgb[2]; }

// ---- render profile ----------------------------------------------------

float pair_baseline_exposure_ev(std::optional<float> up, std::optional<float> down) {
  if (!up || !down) return 0.0f;
  const float a = *up;
  const float b = *down;
  // Disagreeing sources take the darker rendering, which keeps highlights.
  const float value = std::fabs(a - b) <= 0.25f ? (a + b) / 2.0f : std::min(a, b);
  return prepare_detail::clamp_or_low(value, -5.0f, 5.0f);
}

float pair_iso(std::optional<float> up, std::optional<float> down) {
  float iso = 0.0f;
  if (up && down) {
    iso = (*up + *down) / 2.0f;
  } else if (up) {
    iso = *up;
  } else if (down) {
    iso = *down;
  }
  // A non-finite ISO carries no information for the look either.
  return std::isfinite(iso) && iso > 0.0f ? iso : 0.0f;
}

float iso_noise_reduction(float iso) {
  if (!std::isfinite(iso) || iso <= 100.0f) return 0.0f;
  if (iso <= 400.0f) return (iso - 100.0f) / 300.0f * 10.0f;
  if (iso <= 1600.0f) return 10.0f + (iso - 400.0f) / 1200.0f * 15.0f;
  if (iso <= 3200.0f) return 25.0f + (iso - 1600.0f) / 1600.0f * 15.0f;
  return 40.0f;
}

RenderProfileParams render_profile(const LinearImage& up, const LinearImage& down,
                                   const StitchSettings& settings) {
  RenderProfileParams profile;
  const bool natural = up.raw && down.raw && is_avata360(up.camera) && is_avata360(down.camera) &&
                       settings.renderProfileId == kNaturalProfileId;
  if (!natural) return profile;
  profile.base_exposure_ev = pair_baseline_exposure_ev(up.baseline_exposure_ev,
                                                       down.baseline_exposure_ev);
  profile.iso = pair_iso(up.iso, down.iso);
  profile.noise_reduction = iso_noise_reduction(profile.iso);
  profile.saturation_boost = 4.0f;
  profile.vibrance_boost = 12.0f;
  profile.clarity_boost = 15.0f;
  profile.sharpening_boost = 25.0f;
  profile.active = true;
  return profile;
}

// ---- exposure ----------------------------------------------------------

std::array<float, 3> estimate_pair_gain_ratio(const LinearImage& up, const LinearImage& down,
                                              const StitchSettings& settings,
                                              std::uint32_t analysis_width) {
  const prepare_detail::LensSampler up_lens(up, settings.up, 1.0f, settings.fovDegrees);
  const prepare_detail::LensSampler down_lens(down, settings.down, -1.0f, settings.fovDegrees);
  const std::uint32_t w = analysis_width;
  std::array<std::vector<float>, 3> ratios;
  for (auto& list : ratios) list.reserve(static_cast<std::size_t>(w / 4 + 1) * 4);
  constexpr std::array<float, 4> kLatitudes{-3.0f, -1.0f, 1.0f, 3.0f};
  for (std::uint32_t x = 0; x < w; x += 4) {
    const float u = static_cast<float>(x) / static_cast<float>(w);
    for (const float lat : kLatitudes) {
      const Vec3 d = analysis_direction(u, lat);
      const auto a = up_lens.sample(d);
      if (!a) continue;
      const auto b = down_lens.sample(d);
      if (!b) continue;
      for (std::size_t c = 0; c < 3; ++c) {
        const float uv = (*a)[c];
        const float dv = (*b)[c];
        if (uv > 0.01f && uv < 0.98f && dv > 0.01f && dv < 0.98f) {
          ratios[c].push_back(std::clamp(uv / dv, 0.67f, 1.5f));
        }
      }
    }
  }
  std::array<float, 3> g{1.0f, 1.0f, 1.0f};
  for (std::size_t c = 0; c < 3; ++c) {
    if (!ratios[c].empty()) g[c] = median_f32(ratios[c]);
  }
  return g;
}

ExposureGains exposure_gains_from_ratio(const std::array<float, 3>& ratio, bool split) {
  ExposureGains gains;
  for (std::size_t c = 0; c < 3; ++c) {
    if (split) {
      const float h = std::sqrt(std::max(ratio[c], 0.01f));
      gains.up[c] = 1.0f / h;
      gains.down[c] = h;
    } else {
      gains.down[c] = ratio[c];
    }
  }
  return gains;
}

LocalGainProfile local_gain_profile(const LinearImage& up, const LinearImage& down,
                                    const StitchSettings& settings, const ExposureGains& gains,
                                    std::uint32_t analysis_width) {
  const std::uint32_t w = analysis_width;
  LocalGainProfile profile;
  if (!settings.exposureMatch || up.raw || down.raw) {
    profile.up.assign(w, 1.0f);
    profile.down.assign(w, 1.0f);
    return profile;
  }
  constexpr std::array<float, 6> kLatitudes{-5.0f, -3.0f, -1.0f, 1.0f, 3.0f, 5.0f};
  constexpr std::size_t kPerColumn = kLatitudes.size();
  std::vector<Vec3> directions(static_cast<std::size_t>(w) * kPerColumn);
  for (std::uint32_t x = 0; x < w; ++x) {
    const float u = static_cast<float>(x) / static_cast<float>(w);
    for (std::size_t k = 0; k < kPerColumn; ++k) {
      directions[x * kPerColumn + k] = analysis_direction(u, kLatitudes[k]);
    }
  }
  std::vector<Rgb> up_samples(directions.size());
  std::vector<Rgb> down_samples(directions.size());
  std::vector<std::uint8_t> up_present(directions.size());
  std::vector<std::uint8_t> down_present(directions.size());
  prepare_detail::BatchSampler(up).sample(
      FisheyeLens(settings.up, 1.0f, settings.fovDegrees, up.width, up.height), directions,
      up_samples, up_present);
  prepare_detail::BatchSampler(down).sample(
      FisheyeLens(settings.down, -1.0f, settings.fovDegrees, down.width, down.height), directions,
      down_samples, down_present);

  std::vector<float> bins(w, 1.0f);
  std::vector<float> records;
  records.reserve(kPerColumn);
  for (std::uint32_t x = 0; x < w; ++x) {
    records.clear();
    for (std::size_t k = x * kPerColumn; k < (x + 1) * kPerColumn; ++k) {
      if (!up_present[k] || !down_present[k]) continue;
      const Rgb& a = up_samples[k];
      const Rgb& b = down_samples[k];
      const float yu = luminance({a[0] * gains.up[0], a[1] * gains.up[1], a[2] * gains.up[2]});
      const float yd =
          luminance({b[0] * gains.down[0], b[1] * gains.down[1], b[2] * gains.down[2]});
      if (yu > 0.015f && yu < 0.92f && yd > 0.015f && yd < 0.92f) {
        records.push_back(std::clamp(yu / yd, 0.78f, 1.28f));
      }
    }
    if (!records.empty()) bins[x] = median_f32(records);
  }
  const std::size_t median_radius = std::clamp<std::size_t>(w / 180, 2, 8);
  const std::size_t average_radius = std::clamp<std::size_t>(w / 120, 3, 10);
  std::vector<float> smooth =
      circular_moving_average(circular_median_filter(bins, median_radius), average_radius);
  profile.up.resize(w);
  profile.down.resize(w);
  for (std::uint32_t x = 0; x < w; ++x) {
    const float g = std::max(std::clamp(smooth[x], 0.82f, 1.22f), 0.01f);
    const float h = std::sqrt(g);
    profile.up[x] = 1.0f / h;
    profile.down[x] = h;
  }
  return profile;
}

// ---- the whole preparation ---------------------------------------------

PreparedSettings prepare(const LinearImage& up, const LinearImage& down,
                         const StitchSettings& settings, std::uint32_t analysis_width) {
  PreparedSettings prepared;
  prepared.settings = settings;
  prepared.profile = render_profile(up, down, settings);

  const bool jpeg_pair = !up.raw && !down.raw;
  if (settings.autoAlign) {
    if (jpeg_pair) {
      prepared.settings.down = align_jpeg_pair(up, down, settings, analysis_width).down;
    } else {
      prepared.settings.down = align_yaw_roll_grid(up, down, settings, analysis_width);
    }
  }

  ExposureGains gains;
  if (settings.exposureMatch) {
    gains = exposure_gains_from_ratio(
        estimate_pair_gain_ratio(up, down, prepared.settings, analysis_width), jpeg_pair);
  }
  prepared.up_gain = gains.up;
  prepared.down_gain = gains.down;

  LocalGainProfile local = local_gain_profile(up, down, prepared.settings, gains, analysis_width);
  SeamProfile seam = find_seam(up, down, prepared.settings, gains, local, analysis_width);
  prepared.up_local_gains = std::move(local.up);
  prepared.down_local_gains = std::move(local.down);
  prepared.seam_latitudes = std::move(seam.latitudes);
  prepared.seam_feathers = std::move(seam.feathers);
  return prepared;
}

}  // namespace stitch
