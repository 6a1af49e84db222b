// Valid stitch settings and request lines for the job tests: one place that
// knows the wire form, so tests only state what they change.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "types/types.hpp"

namespace stitch::requests {

inline StitchSettings default_settings(std::uint32_t width = 2048) {
  StitchSettings s;
  s.presetId = "dji-avata360";
  s.presetVersion = 2;
  s.renderProfileId = "dji-avata360-natural-v1";
  s.outputWidth = width;
  s.fovDegrees = 190.0f;
  s.seamFeatherDegrees = 3.0f;
  s.autoAlign = true;
  s.exposureMatch = true;
  s.multibandLevels = 4;
  return s;
}

inline std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline std::string num(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

inline std::string lens_json(const LensTransform& l) {
  return "{\"centerX\":" + num(l.centerX) + ",\"centerY\":" + num(l.centerY) +
         ",\"radiusScale\":" + num(l.radiusScale) + ",\"yawDegrees\":" + num(l.yawDegrees) +
         ",\"rollDegrees\":" + num(l.rollDegrees) + "}";
}

inline std::string color_json(const ColorAdjustments& c) {
  return "{\"version\":" + std::to_string(c.version) + ",\"exposureEv\":" + num(c.exposureEv) +
         ",\"brightness\":" + num(c.brightness) + ",\"contrast\":" + num(c.contrast) +
         ",\"highlights\":" + num(c.highlights) + ",\"shadows\":" + num(c.shadows) +
         ",\"saturation\":" + num(c.saturation) + ",\"vibrance\":" + num(c.vibrance) +
         ",\"warmth\":" + num(c.warmth) + ",\"tint\":" + num(c.tint) +
         ",\"clarity\":" + num(c.clarity) + ",\"sharpening\":" + num(c.sharpening) +
         ",\"noiseReduction\":" + num(c.noiseReduction) + "}";
}

inline std::string settings_json(const StitchSettings& s) {
  return "{\"presetId\":" + json_string(s.presetId) +
         ",\"presetVersion\":" + std::to_string(s.presetVersion) +
         ",\"renderProfileId\":" + json_string(s.renderProfileId) +
         ",\"outputWidth\":" + std::to_string(s.outputWidth) +
         ",\"fovDegrees\":" + num(s.fovDegrees) +
         ",\"seamFeatherDegrees\":" + num(s.seamFeatherDegrees) + ",\"up\":" + lens_json(s.up) +
         ",\"down\":" + lens_json(s.down) + ",\"sphere\":{\"yawDegrees\":" +
         num(s.sphere.yawDegrees) + ",\"pitchDegrees\":" + num(s.sphere.pitchDegrees) +
         ",\"rollDegrees\":" + num(s.sphere.rollDegrees) + "},\"color\":" + color_json(s.color) +
         ",\"autoAlign\":" + (s.autoAlign ? "true" : "false") +
         ",\"exposureMatch\":" + (s.exposureMatch ? "true" : "false") +
         ",\"multibandLevels\":" + std::to_string(s.multibandLevels) + "}";
}

inline constexpr const char* kRequestId = "11111111-2222-4333-8444-555555555555";
inline constexpr const char* kJobId = "66666666-7777-4888-9999-aaaaaaaaaaaa";

inline std::string preview_json(const std::string& up, const std::string& down,
                                const std::string& destination, const StitchSettings& settings,
                                bool defer = false) {
  return std::string("{\"action\":\"render_preview\",\"protocol_version\":3,\"request_id\":\"") +
         kRequestId + "\",\"job_id\":\"" + kJobId + "\",\"up_path\":" + json_string(up) +
         ",\"down_path\":" + json_string(down) + ",\"destination\":" + json_string(destination) +
         ",\"settings\":" + settings_json(settings) +
         ",\"defer_display_render\":" + (defer ? "true" : "false") + "}";
}

inline std::string export_json(const std::string& up, const std::string& down,
                               const StitchSettings& settings, const std::string& destination,
                               const std::string& format, int quality = 90,
                               bool metadata = true) {
  return std::string("{\"action\":\"start_export\",\"protocol_version\":3,\"request_id\":\"") +
         kRequestId + "\",\"job_id\":\"" + kJobId + "\",\"up_path\":" + json_string(up) +
         ",\"down_path\":" + json_string(down) + ",\"settings\":" + settings_json(settings) +
         ",\"export\":{\"destination\":" + json_string(destination) +
         ",\"format\":" + json_string(format) + ",\"jpegQuality\":" + std::to_string(quality) +
         ",\"embedMetadata\":" + (metadata ? "true" : "false") +
         ",\"tiffProfile\":\"prophoto\"}}";
}

}  // namespace stitch::requests
