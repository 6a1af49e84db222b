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
#include <optional>
#include <utility>
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
    // The cost is a median, which does not depend on the order of its
    // values; visiting the samples in the order they lie in the DOWN image
    // keeps its rows in cache from one trial to the next.
    const FisheyeLens start(settings.down, -1.0f, settings.fovDegrees, down.width, down.height);
    std::vector<std::pair<float, std::size_t>> keys(evidence_.size());
    const float row_width = static_cast<float>(down.width) + 1.0f;
    for (std::size_t k = 0; k < evidence_.size(); ++k) {
      const auto p = start.project(evidence_[k].direction);
      const float key = p ? std::floor(p->y) * row_width + p->x : std::numeric_limits<float>::max();
      keys[k] = {std::isnan(key) ? std::numeric_limits<float>::max() : key, k};
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& key : keys) {
      directions_.push_back(evidence_[key.second].direction);
      log_up_.push_back(evidence_[key.second].value);
    }
    samples_.resize(directions_.size());
    present_.resize(directions_.size());
    values_.reserve(directions_.size());
  }

  float operator()(const LensTransform& trial) {
    if (!down_usable_) return kInfinity;
    const FisheyeLens lens(trial, -1.0f, fov_, down_.width, down_.height);
    sampler_.sample(lens, directions_, samples_, present_);
    values_.clear();
    for (std::size_t k = 0; k < directions_.size(); ++k) {
      if (!present_[k]) continue;
      const float yd = luminance(samples_[k]);
      if (yd > 0.015f && yd < 0.92f) values_.push_back(log_up_[k] - std::log(yd));
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
  // The evidence in DOWN image order, split for the batch sampler.
  std::vector<Vec3> directions_;
  std::vector<float> log_up_;
  prepare_detail::BatchSampler sampler_{down_};
  std::vector<Rgb> samples_;
  std::vector<std::uint8_t> present_;
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

  // The whole 17 x 17 grid around `start`. Every candidate accumulates its
  // pairs in the same order as a score of its own would, but the candidates
  // are interleaved per sample so that the image region around each sample
  // is read once for all of them; the winner is then picked in grid order.
  LensTransform best_of_grid(const LensTransform& start) const {
    constexpr int kReach = 8;
    constexpr std::size_t kSide = 2 * kReach + 1;
    std::vector<FisheyeLens> lenses;
    lenses.reserve(kSide * kSide);
    for (int dy = -kReach; dy <= kReach; ++dy) {
      for (int dr = -kReach; dr <= kReach; ++dr) {
        lenses.emplace_back(candidate(start, dy, dr), -1.0f, fov_, down_.width, down_.height);
      }
    }
    std::vector<float> sums(lenses.size(), 0.0f);
    std::vector<std::size_t> counts(lenses.size(), 0);
    if (down_usable_) {
      std::vector<std::optional<FisheyePoint>> points(lenses.size());
      for (const UpEvidence& e : evidence_) {
        const float yu = e.value;
        // All projections first, then all reads (see BatchSampler).
        for (std::size_t c = 0; c < lenses.size(); ++c) points[c] = lenses[c].project(e.direction);
        for (std::size_t c = 0; c < lenses.size(); ++c) {
          Rgb b;
          if (!points[c] || !bilinear_into(down_, points[c]->x, points[c]->y, b)) {
            continue;
          }
          const float yd = luminance(b);
          sums[c] += std::min(std::fabs(yu - yd) / std::max(yu + yd, 0.02f), 2.0f);
          ++counts[c];
        }
      }
    }
    float best = kInfinity;
    std::optional<std::size_t> winner;
    for (std::size_t c = 0; c < lenses.size(); ++c) {
      if (counts[c] == 0) continue;
      const float mean = sums[c] / static_cast<float>(counts[c]);
      if (mean < best) {
        best = mean;
        winner = c;
      }
    }
    if (!winner) return start;
    return candidate(start, static_cast<int>(*winner / kSide) - kReach,
                     static_cast<int>(*winner % kSide) - kReach);
  }

  static LensTransform candidate(const LensTransform& start, int dy, int dr) {
    LensTransform trial = start;
    trial.yawDegrees = start.yawDegrees + static_cast<float>(dy) * 0.25f;
    trial.rollDegrees = start.rollDegrees + static_cast<float>(dr) * 0.25f;
    return trial;
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
  return score.best_of_grid(settings.down);
}

}  // namespace stitch
