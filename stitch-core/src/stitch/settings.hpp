// Settings validation, preset and profile identifiers, and the prepared
// parameters every renderer reads.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "types/types.hpp"

namespace stitch {

inline constexpr std::string_view kPresetId = "dji-avata360";
inline constexpr std::string_view kNaturalProfileId = "dji-avata360-natural-v1";
inline constexpr std::string_view kNeutralProfileId = "neutral-v1";
inline constexpr std::string_view kAvata360ModelCode = "FCA188";

// Parameters of the active render profile; all zero (inactive) when neutral.
struct RenderProfileParams {
  float base_exposure_ev = 0.0f;
  float iso = 0.0f;
  float saturation_boost = 0.0f;
  float vibrance_boost = 0.0f;
  float clarity_boost = 0.0f;
  float sharpening_boost = 0.0f;
  float noise_reduction = 0.0f;
  bool active = false;
  bool operator==(const RenderProfileParams&) const = default;
  // "dji-avata360-natural-v1" when active, else "neutral-v1".
  std::string_view id() const { return active ? kNaturalProfileId : kNeutralProfileId; }
};

// Validated settings plus what `prepare` fitted to the pair.
struct PreparedSettings {
  StitchSettings settings;
  std::vector<float> up_local_gains;
  std::vector<float> down_local_gains;
  std::vector<float> seam_latitudes;  // radians
  std::vector<float> seam_feathers;   // radians
  RenderProfileParams profile;
  std::array<float, 3> up_gain{1.0f, 1.0f, 1.0f};
  std::array<float, 3> down_gain{1.0f, 1.0f, 1.0f};
  bool operator==(const PreparedSettings&) const = default;
};

// Checks the request's settings in a fixed order; the first failure wins.
Status validate_settings(const StitchSettings& settings);

// True when the camera string names a DJI Avata 360 (model code FCA188).
bool is_avata360(const std::optional<std::string>& camera);

// A copy with neutral colour (version 2, all zero) and an inactive profile.
PreparedSettings neutral_copy(const PreparedSettings& prepared);

}  // namespace stitch
