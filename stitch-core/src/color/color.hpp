// The colour look: the per-pixel colour transform built from the user's
// adjustments and the active render profile, its in-place form for 8-bit sRGB
// images, and the automatic colour suggestion measured on a rendered preview.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "stitch/settings.hpp"
#include "types/types.hpp"

namespace stitch {

// The sRGB transfer functions on 8-bit samples: a byte to linear light (table
// lookup), and linear light to the nearest byte (negative and NaN give 0,
// values above 1 give 255).
float srgb8_to_linear(std::uint8_t v);
std::uint8_t linear_to_srgb8(float v);

// The 8-bit sRGB encoding of a linear value (clamped, NaN as 0), exactly as
// the transfer function and rounding give it, without a power function per
// sample: the linear value where each code begins is found once by bisection
// over the float bit patterns, and a table of uniform slices of [0, 1] points
// at the code a slice starts with, from where at most a step or two reaches
// the answer. Inline so per-pixel loops elsewhere can use it without a call.
struct Srgb8Encoder {
  static constexpr int kSlices = 4096;
  std::array<float, 257> code_start{};  // smallest linear value encoding to k
  std::array<std::uint8_t, kSlices + 1> slice_code{};

  std::uint8_t operator()(float q) const {
    q = q > 0.0f ? (q < 1.0f ? q : 1.0f) : 0.0f;  // NaN -> 0
    // q * kSlices is exact (a power of two) and in [0, kSlices].
    int code = slice_code[static_cast<std::size_t>(static_cast<int>(q * kSlices))];
    while (q >= code_start[static_cast<std::size_t>(code + 1)]) ++code;
    return static_cast<std::uint8_t>(code);
  }
};

// The one encoder, built on first use.
const Srgb8Encoder& srgb8_encoder();

// True when the adjustments and profile leave every pixel exactly as it is:
// all twelve float members are 0 and the profile is inactive.
bool is_color_pass_through(const ColorAdjustments& adjustments, const RenderProfileParams& profile);

// The colour transform with everything that depends only on the adjustments
// and the profile worked out once. Build one per render and call `apply` for
// every pixel; `apply` is const, allocation-free and safe to call from many
// threads at once.
class ColorPipeline {
 public:
  ColorPipeline(const ColorAdjustments& adjustments, const RenderProfileParams& profile);

  bool pass_through() const { return pass_through_; }

  // One linear-light RGB pixel in, the adjusted pixel out (in [0, 1] unless
  // the pipeline is a pass-through, which returns the input unchanged).
  std::array<float, 3> apply(std::array<float, 3> rgb) const;

 private:
  bool pass_through_ = true;
  bool filmic_ = false;
  bool tone_weights_ = false;   // highlights or shadows set
  bool brightness_ = false;
  bool contrast_ = false;
  float gain_r_ = 1.0f, gain_g_ = 1.0f, gain_b_ = 1.0f;
  float exposure_gain_ = 1.0f;
  float highlights_ = 0.0f, shadows_ = 0.0f;
  float brightness_exponent_ = 1.0f;
  float contrast_exponent_ = 1.0f;
  float saturation_ = 0.0f, vibrance_ = 0.0f;
};

// The colour transform for a single pixel. Prefer a ColorPipeline in loops.
std::array<float, 3> apply_color_with_profile(std::array<float, 3> pixel,
                                              const ColorAdjustments& adjustments,
                                              const RenderProfileParams& profile);

// Applies the transform in place to interleaved 8-bit sRGB triples; a
// trailing partial triple is left alone, and a pass-through leaves the buffer
// untouched.
void apply_color_to_srgb8_with_profile(std::span<std::uint8_t> pixels,
                                       const ColorAdjustments& adjustments,
                                       const RenderProfileParams& profile);

// Measures an 8-bit sRGB equirectangular image (`width` x `height` triples,
// top row first) and proposes colour adjustments relative to the profile's
// own look, every value rounded to one decimal. Absent when the buffer does
// not match the size or the image holds too little lit area to judge.
std::optional<ColorAdjustments> suggest_auto_from_srgb8_with_profile(
    std::span<const std::uint8_t> pixels, std::uint32_t width, std::uint32_t height,
    bool suggest_noise_reduction, float iso, bool active);

}  // namespace stitch
