// Fitting the DOWN lens to the UP lens: a coordinate search over all five
// lens parameters for JPEG pairs, a yaw/roll grid for pairs with a DNG.
//
// The UP lens never moves, so both searches sample it once per direction up
// front and only re-project the DOWN lens per trial; the directions are the
// same values the definition computes, so every cost equals a fresh
// evaluation bit for bit.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "stitch/prepare.hpp"
#include "stitch/prepare_sampling.hpp"

namespace stitch {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A UP sample that can still count, with the direction to sample DOWN at.
struct UpEvidence {
  Vec3 direction;
  float value;  // ln(Yu) for the JPEG cost, Yu for the grid score
};

class JpegCost {
 public:
  JpegCost(const LinearImage& up, const LinearImage& down, const StitchSettings& settings,
           std::uint32_t analysis_width)
      : down_(down), fov_(settings.fovDegrees), down_usable_(prepare_detail::image_usable(down)) {
    const std::uint32_t w = analysis_width;
    const std::uint32_t step = std::max<std::uint32_t>(w / 192, 1);
    constexpr std::array<float, 7> kLatitudes{-6.0f, -4.0f, -2.0f, 0.0f, 2.0f, 4.0f, 6.0f};
    const prepare_detail::LensSampler up_lens(up, settings.up, 1.0f, settings.fovDegrees);
    for (std::uint32_t x = 0; x < w; x += step) {
      const float u = static_cast<float>(x) / static_cast<float>(w);
      for (const float lat : kLatitudes) {
        const Vec3 d = analysis_direction(u, lat);
        const auto a = up_lens.sample(d);
        if (!a) continue;
        const float yu = luminance(*a);
        // A pair whose UP side is out of range is never recorded.
        if (yu > 0.015f && yu < 0.92f) evidence_.push_back({d, std::log(yu)});
      }
    }
    values_.reserve(evidence_.size());
  }

  float operator()(const LensTransform& trial) {
    if (!down_usable_) return kInfinity;
    const FisheyeLens lens(trial, -1.0f, fov_, down_.width, down_.height);
    values_.clear();
    for (const UpEvidence& e : evidence_) {
      const auto b = lens.sample(down_, e.direction);
      if (!b) continue;
      const float yd = luminance(*b);
      if (yd > 0.015f && yd < 0.92f) values_.push_back(e.value - std::log(yd));
    }
    if (values_.size() < 128) return kInfinity;
    const float m = median_f32(values_);
    for (float& v : values_) v = std::fabs(v - m);
    return median_f32(values_);
  }

 private:
  const LinearImage& down_;
  float fov_;
  bool down_usable_;
  std::vector<UpEvidence> evidence_;
  std::vector<float> values_;
};

class YawRollScore {
 public:
  YawRollScore(const LinearImage& up, const LinearImage& down, const StitchSettings& settings,
               std::uint32_t analysis_width)
      : down_(down), fov_(settings.fovDegrees), down_usable_(prepare_detail::image_usable(down)) {
    const std::uint32_t w = analysis_width;
    constexpr std::array<float, 5> kLatitudes{-4.0f, -2.0f, 0.0f, 2.0f, 4.0f};
    const prepare_detail::LensSampler up_lens(up, settings.up, 1.0f, settings.fovDegrees);
    for (std::uint32_t x = 0; x < w; x += 8) {
      const float u = static_cast<float>(x) / static_cast<float>(w);
      for (const float lat : kLatitudes) {
        const Vec3 d = analysis_direction(u, lat);
        if (const auto a = up_lens.sample(d)) evidence_.push_back({d, luminance(*a)});
      }
    }
  }

  std::optional<float> operator()(const LensTransform& trial) const {
    if (!down_usable_) return std::nullopt;
    const FisheyeLens lens(trial, -1.0f, fov_, down_.width, down_.height);
    float sum = 0.0f;
    std::size_t count = 0;
    for (const UpEvidence& e : evidence_) {
      const auto b = lens.sample(down_, e.direction);
      if (!b) continue;
      const float yu = e.value;
      const float yd = luminance(*b);
      sum += std::min(std::fabs(yu - yd) / std::max(yu + yd, 0.02f), 2.0f);
      ++count;
    }
    if (count == 0) return std::nullopt;
    return sum / static_cast<float>(count);
  }

 private:
  const LinearImage& down_;
  float fov_;
  bool down_usable_;
  std::vector<UpEvidence> evidence_;
};

// clamp that tolerates lo > hi and NaN bounds without undefined behaviour.
float bounded(float v, float lo, float hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

float& parameter(LensTransform& lens, int p) {
  switch (p) {
    case 0: return lens.yawDegrees;
    case 1: return lens.rollDegrees;
    case 2: return lens.radiusScale;
    case 3: return lens.centerX;
    default: return lens.centerY;
  }
}

struct Stage {
  float angle_step;
  int angle_count;
  float radius_step;
  int radius_count;
  float centre_step;
  int centre_count;
};

constexpr std::array<Stage, 3> kStages{{
    {0.25f, 12, 0.002f, 6, 0.001f, 5},
    {0.05f, 8, 0.0005f, 4, 0.00025f, 4},
    {0.01f, 5, 0.0001f, 3, 0.00005f, 3},
}};

}  // namespace

float jpeg_alignment_cost(const LinearImage& up, const LinearImage& down,
                          const StitchSettings& settings, const LensTransform& trial_down,
                          std::uint32_t analysis_width) {
  JpegCost cost(up, down, settings, analysis_width);
  return cost(trial_down);
}

AlignmentResult align_jpeg_pair(const LinearImage& up, const LinearImage& down,
                                const StitchSettings& settings, std::uint32_t analysis_width) {
  JpegCost cost(up, down, settings, analysis_width);
  const LensTransform start = settings.down;
  // Bounds are fixed from the request before the first stage, so later
  // stages cannot creep further away.
  const std::array<float, 5> lo{start.yawDegrees - 3.5f, start.rollDegrees - 3.5f,
                                std::max(start.radiusScale - 0.015f, 0.8f),
                                start.centerX - 0.006f, start.centerY - 0.006f};
  const std::array<float, 5> hi{start.yawDegrees + 3.5f, start.rollDegrees + 3.5f,
                                std::min(start.radiusScale + 0.015f, 1.2f),
                                start.centerX + 0.006f, start.centerY + 0.006f};

  AlignmentResult result;
  LensTransform current = start;
  float best = cost(current);
  unsigned evaluations = 1;
  for (const Stage& stage : kStages) {
    for (int p = 0; p < 5; ++p) {
      const float step = p < 2 ? stage.angle_step : p == 2 ? stage.radius_step : stage.centre_step;
      const int count = p < 2 ? stage.angle_count : p == 2 ? stage.radius_count : stage.centre_count;
      const float base = parameter(current, p);
      for (int k = -count; k <= count; ++k) {
        LensTransform trial = current;
        parameter(trial, p) = bounded(base + static_cast<float>(k) * step, lo[static_cast<std::size_t>(p)],
                                      hi[static_cast<std::size_t>(p)]);
        const float c = cost(trial);
        ++evaluations;
        if (c < best) {
          current = trial;
          best = c;
        }
      }
    }
  }
  result.down = current;
  result.cost = best;
  result.evaluations = evaluations;
  return result;
}

std::optional<float> yaw_roll_score(const LinearImage& up, const LinearImage& down,
                                    const StitchSettings& settings,
                                    const LensTransform& trial_down,
                                    std::uint32_t analysis_width) {
  const YawRollScore score(up, down, settings, analysis_width);
  return score(trial_down);
}

LensTransform align_yaw_roll_grid(const LinearImage& up, const LinearImage& down,
                                  const StitchSettings& settings, std::uint32_t analysis_width) {
  const YawRollScore score(up, down, settings, analysis_width);
  const LensTransform start = settings.down;
  float best = kInfinity;
  bool found = false;
  int best_dy = 0;
  int best_dr = 0;
  for (int dy = -8; dy <= 8; ++dy) {
    for (int dr = -8; dr <= 8; ++dr) {
      LensTransform trial = start;
      trial.yawDegrees = start.yawDegrees + static_cast<float>(dy) * 0.25f;
      trial.rollDegrees = start.rollDegrees + static_cast<float>(dr) * 0.25f;
      const auto s = score(trial);
      if (s && *s < best) {
        best = *s;
        found = true;
        best_dy = dy;
        best_dr = dr;
      }
    }
  }
  LensTransform result = start;
  if (!found) return result;
  result.yawDegrees = start.yawDegrees + static_cast<float>(best_dy) * 0.25f;
  result.rollDegrees = start.rollDegrees + static_cast<float>(best_dr) * 0.25f;
  return result;
}

}  // namespace stitch
