#include "color/color.hpp"

#include "image_io/image_io.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stitch {
namespace {

float luminance(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

float smoothstep(float e0, float e1, float x) {
  const float u = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return u * u * (3.0f - 2.0f * u);
}

// A slider value divided by 100 and limited to [-1, 1]; NaN counts as "no
// change" so that a corrupt value cannot poison every pixel of a render.
float amount(float value) {
  const float v = value / 100.0f;
  if (std::isnan(v)) return 0.0f;
  return std::clamp(v, -1.0f, 1.0f);
}

float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

// Clamp below at 0, also mapping NaN to 0.
float non_negative(float v) { return v > 0.0f ? v : 0.0f; }

std::uint8_t encode_srgb8_literal(float q) {
  q = non_negative(q);
  float e = q <= 0.0031308f ? 12.92f * q : 1.055f * std::pow(q, 1.0f / 2.4f) - 0.055f;
  e = std::clamp(e, 0.0f, 1.0f);
  const float s = std::round(e * 255.0f);
  return static_cast<std::uint8_t>(std::clamp(s, 0.0f, 255.0f));
}

Srgb8Encoder build_srgb8_encoder() {
  Srgb8Encoder e;
  for (int k = 1; k < 256; ++k) {
    std::uint32_t lo = 0;            // bits of 0.0f, which encodes below k
    std::uint32_t hi = 0x3f800000u;  // bits of 1.0f, which encodes to 255
    while (hi - lo > 1) {
      const std::uint32_t mid = lo + (hi - lo) / 2;
      float x;
      std::memcpy(&x, &mid, sizeof x);
      (encode_srgb8_literal(x) >= k ? hi : lo) = mid;
    }
    std::memcpy(&e.code_start[static_cast<std::size_t>(k)], &hi, sizeof(float));
  }
  e.code_start[256] = 2.0f;  // above every clamped value
  int code = 0;
  for (int i = 0; i <= Srgb8Encoder::kSlices; ++i) {
    const float x = static_cast<float>(i) / Srgb8Encoder::kSlices;
    while (code < 255 && x >= e.code_start[static_cast<std::size_t>(code + 1)]) ++code;
    e.slice_code[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(code);
  }
  return e;
}

}  // namespace

const Srgb8Encoder& srgb8_encoder() {
  static const Srgb8Encoder encoder = build_srgb8_encoder();
  return encoder;
}

float srgb8_to_linear(std::uint8_t v) { return srgb8_to_linear_table()[v]; }

std::uint8_t linear_to_srgb8(float q) { return srgb8_encoder()(q); }

bool is_color_pass_through(const ColorAdjustments& a, const RenderProfileParams& profile) {
  return a.exposureEv == 0.0f && a.brightness == 0.0f && a.contrast == 0.0f &&
         a.highlights == 0.0f && a.shadows == 0.0f && a.saturation == 0.0f &&
         a.vibrance == 0.0f && a.warmth == 0.0f && a.tint == 0.0f && a.clarity == 0.0f &&
         a.sharpening == 0.0f && a.noiseReduction == 0.0f && !profile.active;
}

ColorPipeline::ColorPipeline(const ColorAdjustments& a, const RenderProfileParams& profile) {
  pass_through_ = is_color_pass_through(a, profile);
  if (pass_through_) return;
  const float w = amount(a.warmth);
  const float t = amount(a.tint);
  gain_r_ = std::exp2(0.5f * w + 0.125f * t);
  gain_g_ = std::exp2(-0.25f * t);
  gain_b_ = std::exp2(0.125f * t - 0.5f * w);
  const float ev = std::isnan(a.exposureEv) ? 0.0f : std::clamp(a.exposureEv, -3.0f, 3.0f);
  exposure_gain_ = std::exp2(ev + finite_or_zero(profile.base_exposure_ev));
  filmic_ = profile.active;

  highlights_ = amount(a.highlights);
  shadows_ = amount(a.shadows);
  // With both at 0 the tone factor is 2^0 = 1 exactly, so the step is skipped.
  tone_weights_ = highlights_ != 0.0f || shadows_ != 0.0f;
  const float b = amount(a.brightness);
  brightness_ = b != 0.0f;
  brightness_exponent_ = std::exp2(-0.75f * b);
  const float k = amount(a.contrast);
  contrast_ = k != 0.0f;
  contrast_exponent_ = std::exp2(0.5f * k);

  saturation_ = amount(a.saturation + finite_or_zero(profile.saturation_boost));
  vibrance_ = amount(a.vibrance + finite_or_zero(profile.vibrance_boost));
}

std::array<float, 3> ColorPipeline::apply(std::array<float, 3> rgb) const {
  if (pass_through_) return rgb;
  float r = non_negative(rgb[0]) * gain_r_;
  float g = non_negative(rgb[1]) * gain_g_;
  float b = non_negative(rgb[2]) * gain_b_;
  r *= exposure_gain_;
  g *= exposure_gain_;
  b *= exposure_gain_;

  if (filmic_) {
    const float y = luminance(r, g, b);
    if (y > 1e-7f) {
      const float f = y * (2.51f * y + 0.03f) / (y * (2.43f * y + 0.59f) + 0.14f);
      const float scale = std::min(f, 1.0f) / y;
      r = std::max(r * scale, 0.0f);
      g = std::max(g * scale, 0.0f);
      b = std::max(b * scale, 0.0f);
    }
  }

  const float y = luminance(r, g, b);
  if (y > 1e-7f) {
    float y1 = y;
    if (tone_weights_) {
      const float yc = std::min(y, 1.0f);
      const float hw = smoothstep(0.45f, 1.0f, yc);
      const float sw = 1.0f - smoothstep(0.0f, 0.55f, yc);
      y1 = y * std::exp2(highlights_ * hw + shadows_ * sw);
    }
    // pow(v, 1) is v, so a zero slider skips its power function.
    float y2 = std::max(y1, 0.0f);
    if (brightness_) y2 = std::pow(y2, brightness_exponent_);
    float ratio = std::max(y2, 1e-7f) / 0.18f;
    if (contrast_) ratio = std::pow(ratio, contrast_exponent_);
    const float y3 = 0.18f * ratio;
    const float scale = y3 / y;
    r *= scale;
    g *= scale;
    b *= scale;
  }

  const float l = luminance(r, g, b);
  const float mx = std::max(std::max(std::max(r, g), b), 0.0f);
  const float mn = std::min(std::min(r, g), b);
  const float s = mx > 1e-7f ? std::clamp((mx - mn) / mx, 0.0f, 1.0f) : 0.0f;
  const float v = vibrance_ >= 0.0f ? 1.0f + vibrance_ * (1.0f - s) : 1.0f + vibrance_;
  const float f = std::max((1.0f + saturation_) * v, 0.0f);
  r = std::max(l + (r - l) * f, 0.0f);
  g = std::max(l + (g - l) * f, 0.0f);
  b = std::max(l + (b - l) * f, 0.0f);

  const float m = std::max(std::max(r, g), b);
  if (m > 1.0f) {
    r /= m;
    g /= m;
    b /= m;
  }
  return {r, g, b};
}

std::array<float, 3> apply_color_with_profile(std::array<float, 3> pixel,
                                              const ColorAdjustments& adjustments,
                                              const RenderProfileParams& profile) {
  return ColorPipeline(adjustments, profile).apply(pixel);
}

void apply_color_to_srgb8_with_profile(std::span<std::uint8_t> pixels,
                                       const ColorAdjustments& adjustments,
                                       const RenderProfileParams& profile) {
  const ColorPipeline pipeline(adjustments, profile);
  if (pipeline.pass_through()) return;
  const auto& decode = srgb8_to_linear_table();
  // Pixels are independent, so chunks of them run on the thread pool; the
  // result is the same as a pixel-by-pixel pass.
  const std::size_t count = pixels.size() / 3;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 8192),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t p = range.begin(); p != range.end(); ++p) {
                        std::uint8_t* px = pixels.data() + 3 * p;
                        const auto out = pipeline.apply({decode[px[0]], decode[px[1]], decode[px[2]]});
                        px[0] = linear_to_srgb8(out[0]);
                        px[1] = linear_to_srgb8(out[1]);
                        px[2] = linear_to_srgb8(out[2]);
                      }
                    });
}

}  // namespace stitch
