// The adaptive seam: a closed path around the circle through a grid of
// candidate latitudes, cheap where the lenses agree, expensive next to a dark
// occluder and (finer preset) outside a fixed latitude window; then the
// per-column feather, narrowed near occluders and where the window is tight.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "stitch/prepare.hpp"
#include "stitch/prepare_sampling.hpp"

namespace stitch {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kTenthDegree = 0.0017453292f;
constexpr float kTwentiethDegree = 0.0008726646f;

struct Knot {
  float u;
  float value;
};

constexpr std::array<Knot, 11> kWindowLow{{{0.0f, -6.3f},
                                           {0.24f, -6.3f},
                                           {0.29f, -3.5f},
                                           {0.34f, -2.4f},
                                           {0.40f, -2.1f},
                                           {0.55f, -2.0f},
                                           {0.70f, -2.1f},
                                           {0.76f, -2.4f},
                                           {0.81f, -2.0f},
                                           {0.86f, -6.3f},
                                           {1.0f, -6.3f}}};

constexpr std::array<Knot, 11> kWindowHigh{{{0.0f, 6.3f},
                                            {0.22f, 6.3f},
                                            {0.27f, 5.0f},
                                            {0.32f, 3.6f},
                                            {0.38f, 3.15f},
                                            {0.55f, 3.0f},
                                            {0.70f, 3.1f},
                                            {0.76f, 3.5f},
                                            {0.82f, 4.5f},
                                            {0.87f, 6.3f},
                                            {1.0f, 6.3f}}};

template <std::size_t N>
float piecewise_linear(const std::array<Knot, N>& knots, float u) {
  // The segment whose right knot is the first at or beyond u; past the last
  // knot the last segment extends flat (t is clamped).
  std::size_t right = N - 1;
  for (std::size_t j = 1; j < N; ++j) {
    if (u <= knots[j].u) {
      right = j;
      break;
    }
  }
  const Knot& a = knots[right - 1];
  const Knot& b = knots[right];
  const float t = prepare_detail::clamp_or_low((u - a.u) / std::max(b.u - a.u, 1.1920929e-07f),
                                               0.0f, 1.0f);
  return a.value + (b.value - a.value) * t;
}

// Lanes of the dynamic programme are processed in blocks of this many.
constexpr std::size_t kLaneBlock = 8;

// to[l] = min(from[l] + lambda, to[l]) with the comparison of the sequential
// relaxation. The block copies let the compiler vectorise without having to
// prove that the two rows do not overlap.
void relax_lanes(const float* from, float* to, std::size_t lanes, float lambda) {
  for (std::size_t b = 0; b < lanes; b += kLaneBlock) {
    std::array<float, kLaneBlock> f{};
    std::array<float, kLaneBlock> t{};
    for (std::size_t l = 0; l < kLaneBlock; ++l) {
      f[l] = from[b + l];
      t[l] = to[b + l];
    }
    for (std::size_t l = 0; l < kLaneBlock; ++l) {
      const float c = f[l] + lambda;
      t[l] = c < t[l] ? c : t[l];
    }
    for (std::size_t l = 0; l < kLaneBlock; ++l) to[b + l] = t[l];
  }
}

void add_to_lanes(float* row, std::size_t lanes, float value) {
  for (std::size_t l = 0; l < lanes; ++l) row[l] += value;
}

bool finer_seam(std::uint16_t preset_version) { return preset_version >= 2; }

struct Cell {
  float cost = 0.0f;    // colour disagreement of the corrected samples
  float yu = 0.0f;      // corrected UP luminance
  float yd = 0.0f;      // corrected DOWN luminance
  float weight = 0.0f;  // occlusion weight
  bool present = false;
  bool above_low = false;
  bool below_high = false;
};

struct AllowedRange {
  bool set = false;
  std::uint32_t low = 0;
  std::uint32_t high = 0;
};

std::size_t wrap(std::int64_t i, std::size_t n) {
  const std::int64_t m = static_cast<std::int64_t>(n);
  return static_cast<std::size_t>(((i % m) + m) % m);
}

}  // namespace

float seam_band_degrees(float fov_degrees, std::uint16_t preset_version) {
  const float band = prepare_detail::clamp_or_low(fov_degrees / 2.0f - 90.0f, 1.0f, 10.0f);
  if (finer_seam(preset_version)) return std::max(band - 0.5f, 1.0f);
  return std::clamp(band - 0.5f, 1.0f, 1.5f);
}

std::uint32_t seam_grid_rows(std::uint16_t preset_version) {
  return finer_seam(preset_version) ? 129u : 65u;
}

float seam_window_low_degrees(float u) { return piecewise_linear(kWindowLow, u); }
float seam_window_high_degrees(float u) { return piecewise_linear(kWindowHigh, u); }

SeamPath closed_seam_path(std::span<const float> node_costs, std::uint32_t rows,
                          std::uint32_t columns, float step_cost) {
  SeamPath path;
  path.rows.assign(columns, 0);
  path.cost = kInfinity;
  if (rows == 0 || columns == 0 ||
      node_costs.size() < static_cast<std::size_t>(rows) * columns) {
    return path;
  }
  const float lambda = step_cost;

  // First pass: all start rows at once. Lane s of row r holds D[r] of the
  // run that starts at row s; every lane performs exactly the operations of
  // its own sequential run, so costs, winner and ties are those of running
  // the start rows one after another, while the lanes vectorise.
  const std::size_t lanes = (rows + kLaneBlock - 1) / kLaneBlock * kLaneBlock;
  std::vector<float> d(static_cast<std::size_t>(rows) * lanes, kInfinity);
  for (std::uint32_t s = 0; s < rows; ++s) d[s * lanes + s] = node_costs[s];
  for (std::uint32_t i = 1; i < columns; ++i) {
    const float* node = node_costs.data() + static_cast<std::size_t>(i) * rows;
    for (std::uint32_t r = 1; r < rows; ++r) {
      relax_lanes(d.data() + (r - 1) * lanes, d.data() + r * lanes, lanes, lambda);
    }
    for (std::uint32_t r = rows - 1; r-- > 0;) {
      float* next = d.data() + (r + 1) * lanes;
      relax_lanes(next, d.data() + r * lanes, lanes, lambda);
      // Row r + 1 is final for this column once row r has read it.
      add_to_lanes(next, lanes, node[r + 1]);
    }
    add_to_lanes(d.data(), lanes, node[0]);
  }

  float best = kInfinity;
  std::uint32_t best_s = 0;
  std::uint32_t best_e = 0;
  for (std::uint32_t s = 0; s < rows; ++s) {
    for (std::uint32_t e = 0; e < rows; ++e) {
      const float gap = static_cast<float>(e > s ? e - s : s - e);
      const float closing = d[e * lanes + s] + lambda * gap;
      if (closing < best) {
        best = closing;
        best_s = s;
        best_e = e;
      }
    }
  }

  // Second pass from the winning start row, remembering where each row's
  // value came from.
  std::vector<float> t(rows, kInfinity);
  t[best_s] = node_costs[best_s];
  std::vector<std::uint32_t> pred(static_cast<std::size_t>(rows) * columns);
  for (std::uint32_t i = 1; i < columns; ++i) {
    const float* node = node_costs.data() + static_cast<std::size_t>(i) * rows;
    std::uint32_t* p = pred.data() + static_cast<std::size_t>(i) * rows;
    for (std::uint32_t r = 0; r < rows; ++r) p[r] = r;
    for (std::uint32_t r = 1; r < rows; ++r) {
      const float c = t[r - 1] + lambda;
      if (c < t[r]) {
        t[r] = c;
        p[r] = p[r - 1];
      }
    }
    for (std::uint32_t r = rows - 1; r-- > 0;) {
      const float c = t[r + 1] + lambda;
      if (c < t[r]) {
        t[r] = c;
        p[r] = p[r + 1];
      }
    }
    for (std::uint32_t r = 0; r < rows; ++r) t[r] += node[r];
  }
  path.start_row = best_s;
  path.end_row = best_e;
  path.cost = best;
  path.rows[columns - 1] = best_e;
  for (std::uint32_t i = columns - 1; i > 0; --i) {
    path.rows[i - 1] = pred[static_cast<std::size_t>(i) * rows + path.rows[i]];
  }
  return path;
}

SeamProfile find_seam(const LinearImage& up, const LinearImage& down,
                      const StitchSettings& settings, const ExposureGains& gains,
                      const LocalGainProfile& local_gains, std::uint32_t analysis_width) {
  SeamProfile profile;
  const std::uint32_t w = analysis_width;
  if (w == 0) return profile;
  const std::size_t width = w;
  const bool finer = finer_seam(settings.presetVersion);
  const float band = seam_band_degrees(settings.fovDegrees, settings.presetVersion);
  const std::uint32_t rows = seam_grid_rows(settings.presetVersion);
  const float step = 2.0f * band / static_cast<float>(rows - 1);
  const float rad_per_row = step * kDegToRad;
  const float band_rad = band * kDegToRad;

  std::vector<float> row_lat(rows);
  for (std::uint32_t k = 0; k < rows; ++k) {
    row_lat[k] = 2.0f * band * static_cast<float>(k) / static_cast<float>(rows - 1) - band;
  }
  std::vector<float> window_low(width, -kInfinity);
  std::vector<float> window_high(width, kInfinity);
  if (finer) {
    for (std::size_t i = 0; i < width; ++i) {
      const float u = static_cast<float>(i) / static_cast<float>(w);
      window_low[i] = seam_window_low_degrees(u);
      window_high[i] = seam_window_high_degrees(u);
    }
  }

  // 1. The grid of cells, column-major.
  std::vector<Cell> cells(width * rows);
  {
    const FisheyeLens up_lens(settings.up, 1.0f, settings.fovDegrees, up.width, up.height);
    const FisheyeLens down_lens(settings.down, -1.0f, settings.fovDegrees, down.width, down.height);
    prepare_detail::BatchSampler up_sampler(up);
    prepare_detail::BatchSampler down_sampler(down);
    std::vector<Vec3> directions(rows);
    std::vector<Rgb> up_samples(rows);
    std::vector<Rgb> down_samples(rows);
    std::vector<std::uint8_t> up_present(rows);
    std::vector<std::uint8_t> down_present(rows);
    for (std::size_t i = 0; i < width; ++i) {
      const float u = static_cast<float>(i) / static_cast<float>(w);
      const float up_local = local_gains.up.empty() ? 1.0f : lookup_profile(local_gains.up, u);
      const float down_local =
          local_gains.down.empty() ? 1.0f : lookup_profile(local_gains.down, u);
      for (std::uint32_t k = 0; k < rows; ++k) directions[k] = analysis_direction(u, row_lat[k]);
      up_sampler.sample(up_lens, directions, up_samples, up_present);
      down_sampler.sample(down_lens, directions, down_samples, down_present);
      for (std::uint32_t k = 0; k < rows; ++k) {
        if (!up_present[k] || !down_present[k]) continue;
        const Rgb& a = up_samples[k];
        const Rgb& b = down_samples[k];
        Rgb cu{};
        Rgb cd{};
        for (std::size_t c = 0; c < 3; ++c) {
          cu[c] = a[c] * gains.up[c] * up_local;
          cd[c] = b[c] * gains.down[c] * down_local;
        }
        Cell& cell = cells[i * rows + k];
        cell.present = true;
        cell.yu = luminance(cu);
        cell.yd = luminance(cd);
        cell.cost = (std::fabs(cu[0] - cd[0]) + std::fabs(cu[1] - cd[1]) +
                     std::fabs(cu[2] - cd[2])) /
                    (3.0f * std::max(cell.yu + cell.yd, 0.02f));
        cell.above_low = row_lat[k] >= window_low[i];
        cell.below_high = row_lat[k] <= window_high[i];
        const float hi = std::max(cell.yu, cell.yd);
        const float lo = std::min(cell.yu, cell.yd);
        cell.weight = smoothstep(0.035f, 0.65f, cell.cost) * smoothstep(0.02f, 0.15f, hi) *
                      smoothstep(0.055f, 0.42f, (hi - lo) / (hi + 0.02f));
      }
    }
  }

  // 2. Margins and occlusion span.
  std::uint32_t m05 = 0;
  std::uint32_t m75 = 0;
  if (finer) {
    m05 = static_cast<std::uint32_t>(std::max(std::ceil(0.5f / step), 1.0f));
    m75 = static_cast<std::uint32_t>(std::max(std::ceil(0.75f / step), 1.0f));
  }
  std::size_t span = (3 * width + 359) / 360;
  span = std::min(span, width / 2);
  if (span == 0) span = 1;

  // 3. Per column and seam row, the occlusion score: twice the weights of
  // the rows the seam would leave to their darker lens, over the row count.
  std::vector<float> column_score(width * rows);
  {
    std::vector<float> prefix_down_dark(rows + 1);
    std::vector<float> suffix_up_dark(rows + 1);
    for (std::size_t i = 0; i < width; ++i) {
      const Cell* col = cells.data() + i * rows;
      prefix_down_dark[0] = 0.0f;
      for (std::uint32_t j = 0; j < rows; ++j) {
        const bool counts = col[j].present && col[j].weight > 0.0f && col[j].yd <= col[j].yu;
        prefix_down_dark[j + 1] = prefix_down_dark[j] + (counts ? col[j].weight : 0.0f);
      }
      suffix_up_dark[rows] = 0.0f;
      for (std::uint32_t j = rows; j-- > 0;) {
        const bool counts = col[j].present && col[j].weight > 0.0f && col[j].yd > col[j].yu;
        suffix_up_dark[j] = suffix_up_dark[j + 1] + (counts ? col[j].weight : 0.0f);
      }
      for (std::uint32_t r = 0; r < rows; ++r) {
        // DOWN-dark rows j <= r + 1 and UP-dark rows j >= r - 1.
        const float below = prefix_down_dark[std::min(r + 2, rows)];
        const float above = suffix_up_dark[r == 0 ? 0 : r - 1];
        column_score[i * rows + r] = 2.0f * (below + above) / static_cast<float>(rows);
      }
    }
  }

  // 4. Node costs and the allowed row range of each column.
  std::vector<float> node(width * rows);
  std::vector<AllowedRange> allowed(width);
  {
    std::vector<std::uint32_t> not_below_high(rows + 1);  // prefix counts
    std::vector<std::uint32_t> not_above_low(rows + 1);
    std::vector<float> occlusion_term(rows);
    const float centre = static_cast<float>(rows - 1) / 2.0f;
    for (std::size_t i = 0; i < width; ++i) {
      const Cell* col = cells.data() + i * rows;
      // The strongest occlusion score of the columns within the span.
      std::fill(occlusion_term.begin(), occlusion_term.end(), 0.0f);
      for (std::int64_t k = -static_cast<std::int64_t>(span); k <= static_cast<std::int64_t>(span);
           ++k) {
        const float* score =
            column_score.data() + wrap(static_cast<std::int64_t>(i) + k, width) * rows;
        for (std::uint32_t r = 0; r < rows; ++r) {
          occlusion_term[r] = std::max(occlusion_term[r], score[r]);
        }
      }
      for (std::uint32_t j = 0; j < rows; ++j) {
        not_below_high[j + 1] = not_below_high[j] + (col[j].present && col[j].below_high ? 0 : 1);
        not_above_low[j + 1] = not_above_low[j] + (col[j].present && col[j].above_low ? 0 : 1);
      }
      for (std::uint32_t r = 0; r < rows; ++r) {
        float colour = 10.0f;
        if (col[r].present) {
          const float own = std::min(col[r].cost, 4.0f);
          if (!finer) {
            colour = own;
          } else {
            const std::uint32_t j0 = r > m75 ? r - m75 : 0;
            const std::uint32_t j1 = std::min(r + m75, rows - 1);
            float maximum = 0.0f;
            float sum = 0.0f;
            std::uint32_t count = 0;
            for (std::uint32_t j = j0; j <= j1; ++j) {
              if (!col[j].present) continue;
              const float c = std::min(col[j].cost, 4.0f);
              maximum = std::max(maximum, c);
              sum += c;
              ++count;
            }
            colour = 0.3f * maximum + 0.25f * own + 0.45f * (sum / static_cast<float>(count));
          }
        }

        const float occlusion = occlusion_term[r];
        const std::uint32_t out = not_below_high[r + 1] + (not_above_low[rows] - not_above_low[r]);
        const std::uint32_t near_low = r > m05 ? r - m05 : 0;
        const std::uint32_t near_high = std::min(r + m05, rows - 1);
        const std::uint32_t near = (not_above_low[r] - not_above_low[near_low]) +
                                   (not_below_high[near_high + 1] - not_below_high[r + 1]);
        float penalty = 0.0f;
        if (out + near == 0) {
          AllowedRange& range = allowed[i];
          if (!range.set) {
            range = {true, r, r};
          } else {
            range.low = std::min(range.low, r);
            range.high = std::max(range.high, r);
          }
        } else {
          penalty = 1000.0f + 10.0f * static_cast<float>(out) + 2.0f * static_cast<float>(near);
        }
        const float bias = 0.01f * std::fabs(static_cast<float>(r) - centre) /
                           static_cast<float>(rows);
        node[i * rows + r] = 0.35f * colour + 0.8f * occlusion + penalty + bias;
      }
    }
  }

  // 5-7. The closed path.
  const float lambda = finer ? 0.004f : 0.015f;
  const SeamPath path = closed_seam_path(node, rows, w, lambda);

  // 8-10. Latitudes, smoothed and clamped.
  std::vector<float> raw(width);
  for (std::size_t i = 0; i < width; ++i) raw[i] = row_lat[path.rows[i]] * kDegToRad;
  profile.latitudes = circular_moving_average(raw, 9);
  for (std::size_t i = 0; i < width; ++i) {
    float& lat = profile.latitudes[i];
    lat = prepare_detail::clamp_or_low(lat, -band_rad, band_rad);
    if (allowed[i].set) {
      lat = prepare_detail::clamp_or_low(lat, row_lat[allowed[i].low] * kDegToRad,
                                         row_lat[allowed[i].high] * kDegToRad);
    }
  }

  // Feathers.
  const float f_max =
      prepare_detail::clamp_or_low(settings.seamFeatherDegrees, 0.05f, 0.5f) * kDegToRad;
  const float f_min = std::min(f_max, kTenthDegree);
  const std::int64_t scan = std::max<std::int64_t>(
      prepare_detail::round_clamped(std::ceil(f_max / rad_per_row), 0, rows), 1);
  const std::int64_t last_row = static_cast<std::int64_t>(rows) - 1;
  std::vector<float> occ(width, 0.0f);
  std::vector<float> up_dark(width, 0.0f);
  std::vector<float> down_dark(width, 0.0f);
  for (std::size_t i = 0; i < width; ++i) {
    const std::int64_t rc =
        prepare_detail::round_clamped((profile.latitudes[i] + band_rad) / rad_per_row, 0, last_row);
    const Cell* col = cells.data() + i * rows;
    for (std::int64_t j = std::max<std::int64_t>(rc - scan, 0);
         j <= std::min(rc + scan, last_row); ++j) {
      const Cell& cell = col[j];
      if (!cell.present) continue;
      occ[i] = std::max(occ[i], cell.weight);
      if (cell.yu < cell.yd) {
        up_dark[i] = std::max(up_dark[i], cell.weight);
      } else {
        down_dark[i] = std::max(down_dark[i], cell.weight);
      }
    }
  }
  const std::vector<bool> up_arcs = connected_occlusion_arc_mask(up_dark);
  const std::vector<bool> down_arcs = connected_occlusion_arc_mask(down_dark);
  for (std::size_t i = 0; i < width; ++i) {
    if ((i < up_arcs.size() && up_arcs[i]) || (i < down_arcs.size() && down_arcs[i])) occ[i] = 1.0f;
  }
  const std::int64_t dilate = static_cast<std::int64_t>(width / 256);
  std::vector<float> dilated(width);
  for (std::size_t i = 0; i < width; ++i) {
    float m = 0.0f;
    for (std::int64_t k = -dilate; k <= dilate; ++k) {
      m = std::max(m, occ[wrap(static_cast<std::int64_t>(i) + k, width)]);
    }
    dilated[i] = m;
  }
  const std::vector<float> softened = circular_moving_average(dilated, 3);

  profile.feathers.resize(width);
  for (std::size_t i = 0; i < width; ++i) {
    const float s = smoothstep(0.03f, 0.45f, softened[i]);
    float feather =
        prepare_detail::clamp_or_low(f_max * (1.0f - s) + f_min * s, f_min, f_max);
    if (finer) {
      const float lat_deg = profile.latitudes[i] / kDegToRad;
      const std::int64_t rc = prepare_detail::round_clamped(
          (lat_deg + band) / (2.0f * band) * static_cast<float>(rows - 1), 0, last_row);
      const Cell* col = cells.data() + i * rows;
      // Rows of room on each side of the seam before the window or the
      // overlap ends; the whole grid when nothing ends it.
      std::int64_t below = 0;
      std::int64_t j = rc;
      while (j >= 0 && col[j].present && col[j].above_low) {
        ++below;
        --j;
      }
      if (j < 0) below = rows;
      std::int64_t above = 0;
      j = rc;
      while (j <= last_row && col[j].present && col[j].below_high) {
        ++above;
        ++j;
      }
      if (j > last_row) above = rows;
      const std::int64_t room = std::min(below, above);
      feather = std::min(feather, std::max(static_cast<float>(std::max<std::int64_t>(room - 1, 0)) *
                                               rad_per_row,
                                           kTwentiethDegree));
      if (window_low[i] > -5.0f || window_high[i] < 5.0f) feather = std::min(feather, kTenthDegree);
    }
    profile.feathers[i] = feather;
  }
  return profile;
}

}  // namespace stitch
