#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "color/color.hpp"

namespace stitch {
namespace {

constexpr int kLumaBins = 384;
constexpr int kSatBins = 128;
constexpr std::uint32_t kMinCountedPixels = 1024;
constexpr double kMinTotalWeight = 100.0;

// The first bin at which the accumulated weight reaches `q` of the total, or
// the last bin when rounding keeps every partial sum below it.
template <std::size_t N>
int percentile_bin(const std::array<double, N>& histogram, double total, double q) {
  const double target = q * total;
  double acc = 0.0;
  for (std::size_t i = 0; i < N; ++i) {
    acc += histogram[i];
    if (acc >= target) return static_cast<int>(i);
  }
  return static_cast<int>(N) - 1;
}

double luma_value(int bin) { return std::exp2(bin / 383.0 * 12.0 - 12.0); }

double filmic(double x) { return std::min(1.0, x * (2.51 * x + 0.03) / (x * (2.43 * x + 0.59) + 0.14)); }

// The curve has no closed-form inverse; bisection is monotone and exact enough.
double filmic_inverse(double target) {
  double lo = 0.0;
  double hi = 64.0;
  for (int i = 0; i < 24; ++i) {
    const double mid = (lo + hi) / 2.0;
    if (filmic(std::max(mid, 0.0)) < target) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return (lo + hi) / 2.0;
}

// Noise level of the camera at an ISO: 0 up to 100, 10 at 400, 25 at 1600,
// 40 from 3200, linear in between.
double iso_noise_level(double iso) {
  if (!std::isfinite(iso) || iso <= 100.0) return 0.0;
  if (iso <= 400.0) return (iso - 100.0) / 300.0 * 10.0;
  if (iso <= 1600.0) return 10.0 + (iso - 400.0) / 1200.0 * 15.0;
  if (iso <= 3200.0) return 25.0 + (iso - 1600.0) / 1600.0 * 15.0;
  return 40.0;
}

// One decimal, halves away from zero; a negative zero is reported as 0.
float one_decimal(double v) { return static_cast<float>(std::round(v * 10.0) / 10.0 + 0.0); }

float luminance(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

}  // namespace

std::optional<ColorAdjustments> suggest_auto_from_srgb8_with_profile(
    std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
    bool suggest_noise_reduction, float iso, bool active) {
  if (width == 0 || height == 0) return std::nullopt;
  const std::uint64_t expected = std::uint64_t{width} * height * 3;
  if (pixels.size() != expected) return std::nullopt;

  std::array<double, kLumaBins> luma_hist{};
  std::array<double, kSatBins> sat_hist{};
  double neutral_r = 0.0, neutral_g = 0.0, neutral_b = 0.0, neutral_weight = 0.0;
  double gradient_sum = 0.0, gradient_weight = 0.0;
  std::uint64_t count = 0;
  double total_weight = 0.0;

  const std::uint8_t* p = pixels.data();
  for (std::uint32_t y = 0; y < height; ++y) {
    const double latitude = (0.5 - (y + 0.5) / height) * std::numbers::pi;
    const double w = std::max(std::cos(latitude), 0.0);
    // The left neighbour's luminance is carried along, counted or not.
    float left_luma = 0.0f;
    for (std::uint32_t x = 0; x < width; ++x, p += 3) {
      const float r = srgb8_to_linear(p[0]);
      const float g = srgb8_to_linear(p[1]);
      const float b = srgb8_to_linear(p[2]);
      const float luma = luminance(r, g, b);
      const float previous = left_luma;
      left_luma = luma;
      if (!(luma > 1e-5f) || !std::isfinite(luma)) continue;

      const float mx = std::max(std::max(std::max(r, g), b), 0.0f);
      const float mn = std::min(std::min(r, g), b);
      const float s = mx > 1e-7f ? std::clamp((mx - mn) / mx, 0.0f, 1.0f) : 0.0f;

      const float position = std::clamp((std::log2(luma) + 12.0f) / 12.0f, 0.0f, 1.0f);
      const int luma_bin = std::min(static_cast<int>(std::round(position * 383.0f)), kLumaBins - 1);
      const int sat_bin = std::min(static_cast<int>(std::round(s * 127.0f)), kSatBins - 1);
      luma_hist[static_cast<std::size_t>(luma_bin)] += w;
      sat_hist[static_cast<std::size_t>(sat_bin)] += w;

      if (luma >= 0.06f && luma <= 0.8f && s <= 0.18f) {
        neutral_r += static_cast<double>(r / luma) * w;
        neutral_g += static_cast<double>(g / luma) * w;
        neutral_b += static_cast<double>(b / luma) * w;
        neutral_weight += w;
      }
      if (x > 0) {
        gradient_sum += static_cast<double>(std::abs(luma - previous)) * w;
        gradient_weight += w;
      }
      ++count;
      total_weight += w;
    }
  }
  if (count < kMinCountedPixels || total_weight < kMinTotalWeight) return std::nullopt;

  const double p10 = luma_value(percentile_bin(luma_hist, total_weight, 0.1));
  const double p50 = luma_value(percentile_bin(luma_hist, total_weight, 0.5));
  const double p90 = luma_value(percentile_bin(luma_hist, total_weight, 0.9));
  const double p95 = luma_value(percentile_bin(luma_hist, total_weight, 0.95));
  const double p98 = luma_value(percentile_bin(luma_hist, total_weight, 0.98));
  const double median_sat = percentile_bin(sat_hist, total_weight, 0.5) / 127.0;

  double ev = 0.0;
  if (active) {
    const double ev_mid =
        std::log2(filmic_inverse(0.18) / std::max(filmic_inverse(std::min(p50, 0.999)), 1e-5));
    const double ev_high =
        std::log2(filmic_inverse(0.98) / std::max(filmic_inverse(std::min(p98, 0.999)), 1e-5));
    ev = std::clamp(std::min(ev_mid, ev_high), -1.5, 1.5);
    // The curve already lifts mid-tones; small corrections would only churn.
    if (ev >= -0.75 && ev <= 0.25) ev = 0.0;
  } else {
    ev = std::clamp(std::min(std::log2(0.18 / std::max(p50, 1e-5)), std::log2(0.95 / std::max(p98, 1e-5))),
                    -1.5, 1.5);
  }

  const double range = std::log2(p90 / std::max(p10, 1e-5));
  const double k = std::log2(std::max(4.5 / std::max(range, 0.25), 0.05));
  const double contrast = std::clamp(200.0 * k, -25.0, 25.0);
  const double highlights = std::clamp(40.0 * std::log2(0.88 / std::max(p95, 1e-5)), -40.0, 20.0);
  const double shadows = std::clamp(35.0 * std::log2(0.04 / std::max(p10, 1e-5)), -20.0, 40.0);

  double saturation = std::clamp((0.3 - median_sat) * 35.0, -8.0, 8.0);
  if (active) saturation = std::max(saturation, 0.0);
  const double vibrance = std::clamp((0.38 - median_sat) * 80.0, 0.0, 28.0);

  double warmth = 0.0;
  double tint = 0.0;
  if (neutral_weight / total_weight >= 0.015) {
    const double mr = std::max(neutral_r / neutral_weight, 1e-5);
    const double mg = std::max(neutral_g / neutral_weight, 1e-5);
    const double mb = std::max(neutral_b / neutral_weight, 1e-5);
    const double grey = std::cbrt(mr * mg * mb);
    const double lr = std::log2(grey / mr);
    const double lg = std::log2(grey / mg);
    const double lb = std::log2(grey / mb);
    // Inverse of the white-balance gains: warmth moves red against blue by
    // 0.5 EV per unit, tint moves red and blue against green.
    warmth = std::clamp((lr - lb) * 100.0, -20.0, 20.0);
    tint = std::clamp(((lr + lb) / 2.0 - lg) / 0.375 * 100.0, -20.0, 20.0);
  }

  const double gradient = gradient_weight > 0.0 ? gradient_sum / gradient_weight : 0.0;
  const double clarity = std::clamp((0.02 - gradient) * 500.0, -5.0, 10.0);
  const double sharpening = std::clamp((0.028 - gradient) * 650.0, -5.0, 12.0);

  double noise_reduction = 0.0;
  if (suggest_noise_reduction && std::isfinite(iso)) {
    noise_reduction = std::clamp(0.15 * iso_noise_level(iso), 0.0, 6.0);
  }

  ColorAdjustments out;
  out.version = 2;
  out.exposureEv = one_decimal(ev);
  out.brightness = 0.0f;
  out.contrast = one_decimal(contrast);
  out.highlights = one_decimal(highlights);
  out.shadows = one_decimal(shadows);
  out.saturation = one_decimal(saturation);
  out.vibrance = one_decimal(vibrance);
  out.warmth = one_decimal(warmth);
  out.tint = one_decimal(tint);
  out.clarity = one_decimal(clarity);
  out.sharpening = one_decimal(sharpening);
  out.noiseReduction = one_decimal(noise_reduction);
  return out;
}

}  // namespace stitch
