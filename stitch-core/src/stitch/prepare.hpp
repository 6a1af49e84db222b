// Fitting a pair before rendering: the render profile of the pair, the DOWN
// lens alignment, the global and per-longitude exposure gains, and the
// adaptive seam with its feathers, all gathered into a PreparedSettings.
//
// The analysis works in the cameras' own frame (no sphere rotation) on a
// longitude grid of W columns: column position u = x / W lies at longitude
// (0.5 - u) * 2 pi, so column 0 is longitude pi. Everything here runs on the
// calling thread and never fails: missing evidence leaves neutral values
// (the requested lens, gains of 1).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image_io/image_io.hpp"
#include "stitch/projection.hpp"
#include "stitch/settings.hpp"
#include "types/types.hpp"

namespace stitch {

// Fits the DOWN lens, the exposure and the seam of the pair for analysis
// width W (the renderers pass 512..1024). Steps, in order: render profile,
// alignment (autoAlign), global gains (exposureMatch), local gains, seam.
// Every per-longitude list of the result has exactly W entries.
PreparedSettings prepare(const LinearImage& up, const LinearImage& down,
                         const StitchSettings& settings, std::uint32_t analysis_width);

// ---- shared helpers ----------------------------------------------------

// The element at index n/2 of the ascending order (the upper middle for even
// n). Reorders `values`; 0 for an empty list.
float median_f32(std::span<float> values);

// Entry i is the median of the 2r + 1 values at circular indices i-r .. i+r.
std::vector<float> circular_median_filter(std::span<const float> values, std::size_t radius);

// Entry i is the sum of the 2r + 1 values at circular indices i-r .. i+r
// divided by 2r + 1.
std::vector<float> circular_moving_average(std::span<const float> values, std::size_t radius);

// Camera-frame direction of analysis column position u (fraction of the
// circle) at a latitude given in degrees.
Vec3 analysis_direction(float u, float latitude_degrees);

// 0.2126 R + 0.7152 G + 0.0722 B.
float luminance(const Rgb& rgb);

// ---- render profile ----------------------------------------------------

// Mean of the two baseline exposures when they differ by at most 0.25 EV,
// else the darker one; 0 unless both are known; clamped to [-5, 5].
float pair_baseline_exposure_ev(std::optional<float> up, std::optional<float> down);

// Mean ISO of the pair, the one known value, or 0; never below 0.
float pair_iso(std::optional<float> up, std::optional<float> down);

// Noise reduction added by the natural profile: 0 up to ISO 100, rising
// piecewise linearly through 10 at ISO 400, 25 at 1600 and 40 at 3200.
float iso_noise_reduction(float iso);

// The natural profile when both sources are Avata 360 DNGs and the request
// asks for it; otherwise all zero and inactive.
RenderProfileParams render_profile(const LinearImage& up, const LinearImage& down,
                                   const StitchSettings& settings);

// ---- alignment ---------------------------------------------------------

// Median absolute deviation of ln(Yu) - ln(Yd) over the overlap band (seven
// latitudes from -6 to 6 degrees, every floor(W/192)-th column) for a trial
// DOWN transform; +infinity with fewer than 128 usable pairs. Insensitive
// to a global exposure difference.
float jpeg_alignment_cost(const LinearImage& up, const LinearImage& down,
                          const StitchSettings& settings, const LensTransform& trial_down,
                          std::uint32_t analysis_width);

struct AlignmentResult {
  LensTransform down;         // the fitted DOWN transform
  float cost = 0.0f;          // its cost (+infinity when nothing was measurable)
  unsigned evaluations = 0;   // cost evaluations made
};

// Coordinate search over DOWN yaw, roll, radius scale and centre in three
// ever finer stages (190 evaluations), bounded around the requested DOWN
// transform. Used for JPEG pairs.
AlignmentResult align_jpeg_pair(const LinearImage& up, const LinearImage& down,
                                const StitchSettings& settings, std::uint32_t analysis_width);

// Mean normalised luminance difference over the band for a trial DOWN
// transform (the score of the yaw/roll grid); absent without any pair.
std::optional<float> yaw_roll_score(const LinearImage& up, const LinearImage& down,
                                    const StitchSettings& settings,
                                    const LensTransform& trial_down,
                                    std::uint32_t analysis_width);

// Grid over DOWN yaw and roll, +-2 degrees in quarter degrees around the
// request, for pairs with a DNG. Returns the DOWN transform with the winning
// yaw and roll (unchanged when no candidate had evidence).
LensTransform align_yaw_roll_grid(const LinearImage& up, const LinearImage& down,
                                  const StitchSettings& settings, std::uint32_t analysis_width);

// ---- exposure ----------------------------------------------------------

// Per channel, the median of clamp(UP / DOWN, 0.67, 1.5) over the band
// samples inside (0.01, 0.98) in both lenses; 1 for a channel without any.
std::array<float, 3> estimate_pair_gain_ratio(const LinearImage& up, const LinearImage& down,
                                              const StitchSettings& settings,
                                              std::uint32_t analysis_width);

struct ExposureGains {
  std::array<float, 3> up{1.0f, 1.0f, 1.0f};
  std::array<float, 3> down{1.0f, 1.0f, 1.0f};
};

// Turns a per-channel UP/DOWN ratio into gains: split evenly between the
// lenses (JPEG pairs) or applied to DOWN alone.
ExposureGains exposure_gains_from_ratio(const std::array<float, 3>& ratio, bool split);

struct LocalGainProfile {
  std::vector<float> up;
  std::vector<float> down;
};

// Per-longitude luminance balance left after the global gains, smoothed
// around the circle; W entries each, all 1 unless exposure matching is on
// and neither source is raw.
LocalGainProfile local_gain_profile(const LinearImage& up, const LinearImage& down,
                                    const StitchSettings& settings, const ExposureGains& gains,
                                    std::uint32_t analysis_width);

// ---- seam --------------------------------------------------------------

// Half-height of the seam band in degrees for a lens field of view and
// preset version.
float seam_band_degrees(float fov_degrees, std::uint16_t preset_version);

// Latitude rows of the seam grid: 129 for version 2, 65 for version 1.
std::uint32_t seam_grid_rows(std::uint16_t preset_version);

// The latitude window (degrees) the finer seam search keeps to at column
// position u; +-6.3 degrees except over the narrow part of the circle.
float seam_window_low_degrees(float u);
float seam_window_high_degrees(float u);

struct SeamPath {
  std::uint32_t start_row = 0;
  std::uint32_t end_row = 0;
  std::vector<std::uint32_t> rows;  // one row per column; rows.back() == end_row
  float cost = 0.0f;                // closing cost of the winner
};

// Cheapest closed path through a grid of node costs (column-major: cost of
// row r in column i at [i * rows + r]) where moving d rows between adjacent
// columns, and from the last column back to the first, costs step_cost * d.
// Start rows are tried in ascending order, then end rows; ties keep the
// earlier pair.
SeamPath closed_seam_path(std::span<const float> node_costs, std::uint32_t rows,
                          std::uint32_t columns, float step_cost);

struct SeamProfile {
  std::vector<float> latitudes;  // radians, one per column
  std::vector<float> feathers;   // radians, one per column
};

// Routes the seam through the band where the lenses agree, away from dark
// occluders, and narrows the feather near them. `settings` carries the
// aligned DOWN lens; samples are corrected by the global and local gains.
SeamProfile find_seam(const LinearImage& up, const LinearImage& down,
                      const StitchSettings& settings, const ExposureGains& gains,
                      const LocalGainProfile& local_gains, std::uint32_t analysis_width);

}  // namespace stitch
