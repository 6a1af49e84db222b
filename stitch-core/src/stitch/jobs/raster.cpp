// The CPU raster loops: every output pixel through the projection and the
// colour pipeline, quantised to 8-bit sRGB or 16-bit linear.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "color/color.hpp"
#include "stitch/jobs/jobs.hpp"
#include "stitch/projection.hpp"

namespace stitch {
namespace {

float srgb_encode(float v) {
  return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

// The quantisation exactly as defined; the table below reproduces it.
std::uint8_t quantize_srgb8_reference(float linear) {
  const float v = linear > 0.0f ? linear : 0.0f;  // NaN and negatives give 0
  const float encoded = std::clamp(srgb_encode(v), 0.0f, 1.0f) * 255.0f;
  return static_cast<std::uint8_t>(std::min(std::round(encoded), 255.0f));
}

std::uint32_t float_bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
float bits_float(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// For each code k in 1..255 the smallest non-negative float that quantises to
// at least k. The quantisation is monotone, so counting the thresholds at or
// below a value gives its code with a binary search instead of a pow() per
// channel (which dominates large exports).
struct Srgb8Thresholds {
  std::array<float, 255> t{};
  Srgb8Thresholds() {
    // Positive floats order like their bit patterns.
    for (int k = 1; k <= 255; ++k) {
      std::uint32_t lo = 0;                   // quantises below k
      std::uint32_t hi = float_bits(1.0f);    // quantises to 255 >= k
      while (hi - lo > 1) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (quantize_srgb8_reference(bits_float(mid)) >= k) {
          hi = mid;
        } else {
          lo = mid;
        }
      }
      t[static_cast<std::size_t>(k - 1)] = bits_float(hi);
    }
  }
};

const Srgb8Thresholds& srgb8_thresholds() {
  static const Srgb8Thresholds table;
  return table;
}

inline std::uint8_t quantize_with(const Srgb8Thresholds& table, float linear) {
  if (!(linear > 0.0f)) return 0;
  const auto it = std::upper_bound(table.t.begin(), table.t.end(), linear);
  return static_cast<std::uint8_t>(it - table.t.begin());
}

inline std::uint16_t quantize16(float linear) {
  if (!(linear > 0.0f)) return 0;
  if (!(linear < 1.0f)) return 65535;
  return static_cast<std::uint16_t>(std::round(linear * 65535.0f));
}

std::uint8_t progress_percent(std::uint32_t done, std::uint32_t height, RasterProgress kind) {
  const double ratio = height == 0 ? 1.0 : static_cast<double>(done) / height;
  const double p = std::clamp(std::round(ratio * 100.0), 0.0, 255.0);
  const auto pi = static_cast<unsigned>(p);
  if (kind == RasterProgress::Preview) return static_cast<std::uint8_t>(58 + pi / 3);
  return static_cast<std::uint8_t>(40 + pi * 42 / 100);
}

std::string_view progress_message(RasterProgress kind) {
  return kind == RasterProgress::Preview ? "Projecting preview on CPU" : "Projecting panorama";
}

// The shared loop: `Sample` is the output sample type, `quantize` maps one
// coloured linear channel to it.
template <typename Sample, typename Quantize>
Result<std::vector<Sample>> render_blocks(const LinearImage& up, const LinearImage& down,
                                          const PreparedSettings& prepared, std::uint32_t width,
                                          std::uint32_t height, std::uint32_t block_rows,
                                          const CancelFlag& cancel, const ProgressSink& progress,
                                          RasterProgress kind, const JobOptions& options,
                                          Quantize quantize) {
  const ImagePyramid up_pyramid(up, prepared.settings.multibandLevels);
  const ImagePyramid down_pyramid(down, prepared.settings.multibandLevels);
  const RenderContext context(up_pyramid, down_pyramid, prepared, width, height);
  const ColorPipeline pipeline(prepared.settings.color, prepared.profile);

  std::vector<Sample> out(static_cast<std::size_t>(width) * height * 3);
  for (std::uint32_t start = 0; start < height; start += block_rows) {
    if (cancel.load()) return StitchError::cancelled();
    const std::uint32_t end = std::min(height, start + block_rows);
    tbb::parallel_for(tbb::blocked_range<std::uint32_t>(start, end, 1),
                      [&](const tbb::blocked_range<std::uint32_t>& rows) {
                        std::vector<Rgb> line(width);
                        for (std::uint32_t y = rows.begin(); y != rows.end(); ++y) {
                          if (options.row_hook) options.row_hook(y);
                          context.render_row(y, line);
                          Sample* dst = out.data() + static_cast<std::size_t>(y) * width * 3;
                          for (std::uint32_t x = 0; x < width; ++x) {
                            const Rgb rgb = pipeline.pass_through() ? line[x] : pipeline.apply(line[x]);
                            dst[3 * x] = quantize(rgb[0]);
                            dst[3 * x + 1] = quantize(rgb[1]);
                            dst[3 * x + 2] = quantize(rgb[2]);
                          }
                        }
                      });
    if (progress) progress(JobStage::Project, progress_percent(end, height, kind), progress_message(kind));
  }
  return out;
}

}  // namespace

std::uint8_t quantize_srgb8(float linear) { return quantize_with(srgb8_thresholds(), linear); }

std::uint16_t quantize_linear16(float linear) { return quantize16(linear); }

Result<std::vector<std::uint8_t>> render_rgb8(const LinearImage& up, const LinearImage& down,
                                              const PreparedSettings& prepared,
                                              std::uint32_t width, std::uint32_t height,
                                              const CancelFlag& cancel,
                                              const ProgressSink& progress, RasterProgress kind,
                                              const JobOptions& options) {
  const Srgb8Thresholds& table = srgb8_thresholds();
  return render_blocks<std::uint8_t>(up, down, prepared, width, height, 32, cancel, progress, kind,
                                     options,
                                     [&table](float c) { return quantize_with(table, c); });
}

Result<std::vector<std::uint16_t>> render_rgb16(const LinearImage& up, const LinearImage& down,
                                                const PreparedSettings& prepared,
                                                std::uint32_t width, std::uint32_t height,
                                                const CancelFlag& cancel,
                                                const ProgressSink& progress,
                                                const JobOptions& options) {
  return render_blocks<std::uint16_t>(up, down, prepared, width, height, 16, cancel, progress,
                                      RasterProgress::Export, options, quantize16);
}

}  // namespace stitch
