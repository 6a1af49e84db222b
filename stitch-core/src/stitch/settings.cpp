#include "stitch/settings.hpp"

#include <cmath>
#include <string>

namespace stitch {
namespace {

// Both ends included; NaN is outside every range.
bool within(float value, float lo, float hi) { return value >= lo && value <= hi; }

bool within_abs(float value, float limit) { return std::isfinite(value) && std::fabs(value) <= limit; }

Status invalid(std::string text) { return StitchError::invalid_settings(std::move(text)); }

}  // namespace

Status validate_settings(const StitchSettings& s) {
  if (s.outputWidth < 2048 || s.outputWidth > 20000) {
    return invalid("Output width must be between 2048 and 20000 pixels");
  }
  if (s.outputWidth % 2 != 0) return invalid("Output width must be an even number");
  if (!within(s.fovDegrees, 120.0f, 220.0f)) {
    return invalid("Fisheye FOV must be between 120 and 220 degrees");
  }
  if (!within(s.seamFeatherDegrees, 0.0f, 20.0f)) {
    return invalid("Seam feather must be between 0 and 20 degrees");
  }
  for (const LensTransform* lens : {&s.up, &s.down}) {
    if (!within(lens->radiusScale, 0.8f, 1.2f)) {
      return invalid("Lens radius scale must be between 0.8 and 1.2");
    }
    if (!within_abs(lens->centerX, 0.2f) || !within_abs(lens->centerY, 0.2f)) {
      return invalid("Lens center offsets must be between -0.2 and 0.2");
    }
  }
  const ColorAdjustments& c = s.color;
  if (c.version != 2) return invalid("Color transform version must be 2");
  if (!within_abs(c.exposureEv, 3.0f)) {
    return invalid("Exposure must be a finite value between -3 and +3 EV");
  }
  for (float v : {c.brightness, c.contrast, c.highlights, c.shadows, c.saturation, c.vibrance,
                  c.warmth, c.tint, c.clarity, c.sharpening, c.noiseReduction}) {
    if (!within_abs(v, 100.0f)) {
      return invalid("Color adjustments must be finite values between -100 and 100");
    }
  }
  if (s.renderProfileId != kNaturalProfileId) {
    return invalid("Unsupported render profile " + s.renderProfileId);
  }
  if (s.presetId != kPresetId || (s.presetVersion != 1 && s.presetVersion != 2)) {
    return invalid("Unsupported stitch preset " + s.presetId + " version " +
                   std::to_string(s.presetVersion));
  }
  return {};
}

bool is_avata360(const std::optional<std::string>& camera) {
  if (!camera || camera->empty()) return false;
  std::string upper = *camera;
  for (char& ch : upper) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return upper.find(kAvata360ModelCode) != std::string::npos;
}

PreparedSettings neutral_copy(const PreparedSettings& prepared) {
  PreparedSettings copy = prepared;
  ColorAdjustments& c = copy.settings.color;
  c.exposureEv = c.brightness = c.contrast = c.highlights = c.shadows = 0.0f;
  c.saturation = c.vibrance = c.warmth = c.tint = 0.0f;
  c.clarity = c.sharpening = c.noiseReduction = 0.0f;
  c.version = 2;
  copy.profile = RenderProfileParams{};
  return copy;
}

}  // namespace stitch
