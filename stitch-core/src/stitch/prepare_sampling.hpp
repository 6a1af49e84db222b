// Internal to the preparation sources (prepare.cpp, align.cpp, seam.cpp):
// guarded lens sampling, one direction at a time or in batches, and small
// numeric helpers they share.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image_io/image_io.hpp"
#include "stitch/projection.hpp"
#include "types/types.hpp"

namespace stitch::prepare_detail {

// clamp(v, lo, hi) that sends NaN to lo, so that its result is always safe
// to convert to an integer or compare.
inline float clamp_or_low(float v, float lo, float hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

// Nearest integer with halves away from zero, clamped to [lo, hi]; NaN and
// infinities end at the bounds (NaN at lo).
inline std::int64_t round_clamped(float v, std::int64_t lo, std::int64_t hi) {
  if (!(v >= static_cast<float>(lo))) return lo;
  if (v >= static_cast<float>(hi)) return hi;
  return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::round(v)), lo, hi);
}

// True when the image holds the samples its size promises; a malformed image
// is treated as seeing nothing rather than read out of bounds.
inline bool image_usable(const LinearImage& image) {
  const std::size_t expected = static_cast<std::size_t>(image.width) * image.height * 3;
  return image.width > 0 && image.height > 0 && image.pixels.size() >= expected;
}


// Samples many directions through one lens in two phases: first every
// projection, then every image read. Reads issued back to back overlap in
// memory instead of each waiting behind the trigonometry of the next
// sample, which matters for full-resolution sources far larger than the
// caches. Gives exactly the values of FisheyeLens::sample.
class BatchSampler {
 public:
  explicit BatchSampler(const LinearImage& image) : image_(image), usable_(image_usable(image)) {}

  // present[k] tells whether out[k] holds the sample of directions[k].
  void sample(const FisheyeLens& lens, std::span<const Vec3> directions, std::span<Rgb> out,
              std::span<std::uint8_t> present) {
    const std::size_t n = directions.size();
    if (!usable_) {
      std::fill(present.begin(), present.begin() + static_cast<std::ptrdiff_t>(n), 0);
      return;
    }
    points_.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const auto p = lens.project(directions[k]);
      present[k] = p ? 1 : 0;
      if (p) points_[k] = *p;
    }
    for (std::size_t k = 0; k < n; ++k) {
      if (present[k] && !bilinear_into(image_, points_[k].x, points_[k].y, out[k])) present[k] = 0;
    }
  }

 private:
  const LinearImage& image_;
  bool usable_;
  std::vector<FisheyePoint> points_;
};

// One lens of the pair through one transform: the base-image sample of the
// projection, or nothing for an unusable image.
class LensSampler {
 public:
  LensSampler(const LinearImage& image, const LensTransform& lens, float axis_sign,
              float fov_degrees)
      : image_(image),
        usable_(image_usable(image)),
        lens_(lens, axis_sign, fov_degrees, image.width, image.height) {}

  std::optional<Rgb> sample(Vec3 d) const {
    if (!usable_) return std::nullopt;
    return lens_.sample(image_, d);
  }

 private:
  const LinearImage& image_;
  bool usable_;
  FisheyeLens lens_;
};

}  // namespace stitch::prepare_detail
