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

inline std::uint16_t quantize16(float linear) {
  if (!(linear > 0.0f)) return 0;
  if (!(linear < 1.0f)) return 65535;
  return static_cast<std::uint16_t>(std::round(linear * 65535.0f));
}

constexpr std::uint32_t kTileColumns = 256;

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
Result<std::vector<Sample>> render_blocks(const ImagePyramid& up_pyramid,
                                          const ImagePyramid& down_pyramid,
                                          const PreparedSettings& prepared, std::uint32_t width,
                                          std::uint32_t height, std::uint32_t block_rows,
                                          const CancelFlag& cancel, const ProgressSink& progress,
                                          RasterProgress kind, const JobOptions& options,
                                          Quantize quantize) {
  const RenderContext context(up_pyramid, down_pyramid, prepared, width, height);
  const ColorPipeline pipeline(prepared.settings.color, prepared.profile);

  std::vector<Sample> out(static_cast<std::size_t>(width) * height * 3);
  std::vector<RowContext> rows(block_rows);
  const std::uint32_t tiles = (width + kTileColumns - 1) / kTileColumns;
  for (std::uint32_t start = 0; start < height; start += block_rows) {
    if (cancel.load()) return StitchError::cancelled();
    const std::uint32_t end = std::min(height, start + block_rows);
    for (std::uint32_t y = start; y < end; ++y) rows[y - start] = context.row(y);
    // Tiles of the block's rows by kTileColumns columns: neighbouring output
    // rows read neighbouring arcs of the source images, so a tile's samples
    // stay in the core's cache, where whole rows (arcs of thousands of
    // pixels) would fetch every source line again for the next row.
    tbb::parallel_for(
        tbb::blocked_range<std::uint32_t>(0, tiles, 1),
        [&](const tbb::blocked_range<std::uint32_t>& range) {
          for (std::uint32_t tile = range.begin(); tile != range.end(); ++tile) {
            const std::uint32_t x0 = tile * kTileColumns;
            const std::uint32_t x1 = std::min(width, x0 + kTileColumns);
            for (std::uint32_t y = start; y < end; ++y) {
              if (options.row_hook && x0 == 0) options.row_hook(y);
              const RowContext& row = rows[y - start];
              Sample* dst = out.data() + static_cast<std::size_t>(y) * width * 3;
              for (std::uint32_t x = x0; x < x1; ++x) {
                const Rgb px = context.pixel(row, x);
                const Rgb rgb = pipeline.pass_through() ? px : pipeline.apply(px);
                dst[3 * x] = quantize(rgb[0]);
                dst[3 * x + 1] = quantize(rgb[1]);
                dst[3 * x + 2] = quantize(rgb[2]);
              }
            }
          }
        });
    if (progress) progress(JobStage::Project, progress_percent(end, height, kind), progress_message(kind));
  }
  return out;
}

}  // namespace

std::uint8_t quantize_srgb8(float linear) { return srgb8_encoder()(linear); }

std::uint16_t quantize_linear16(float linear) { return quantize16(linear); }

Result<std::vector<std::uint8_t>> render_rgb8(const ImagePyramid& up, const ImagePyramid& down,
                                              const PreparedSettings& prepared,
                                              std::uint32_t width, std::uint32_t height,
                                              const CancelFlag& cancel,
                                              const ProgressSink& progress, RasterProgress kind,
                                              const JobOptions& options) {
  // The table encoder gives the sRGB formula's code exactly, without a power
  // function per channel (which dominates large exports).
  const Srgb8Encoder& encoder = srgb8_encoder();
  return render_blocks<std::uint8_t>(up, down, prepared, width, height, 32, cancel, progress, kind,
                                     options, [&encoder](float c) { return encoder(c); });
}

Result<std::vector<std::uint16_t>> render_rgb16(const ImagePyramid& up, const ImagePyramid& down,
                                                const PreparedSettings& prepared,
                                                std::uint32_t width, std::uint32_t height,
                                                const CancelFlag& cancel,
                                                const ProgressSink& progress,
                                                const JobOptions& options) {
  return render_blocks<std::uint16_t>(up, down, prepared, width, height, 16, cancel, progress,
                                      RasterProgress::Export, options, quantize16);
}

Result<std::vector<std::uint8_t>> render_rgb8(const LinearImage& up, const LinearImage& down,
                                              const PreparedSettings& prepared,
                                              std::uint32_t width, std::uint32_t height,
                                              const CancelFlag& cancel,
                                              const ProgressSink& progress, RasterProgress kind,
                                              const JobOptions& options) {
  const ImagePyramid up_pyramid(up, prepared.settings.multibandLevels);
  const ImagePyramid down_pyramid(down, prepared.settings.multibandLevels);
  return render_rgb8(up_pyramid, down_pyramid, prepared, width, height, cancel, progress, kind,
                     options);
}

Result<std::vector<std::uint16_t>> render_rgb16(const LinearImage& up, const LinearImage& down,
                                                const PreparedSettings& prepared,
                                                std::uint32_t width, std::uint32_t height,
                                                const CancelFlag& cancel,
                                                const ProgressSink& progress,
                                                const JobOptions& options) {
  const ImagePyramid up_pyramid(up, prepared.settings.multibandLevels);
  const ImagePyramid down_pyramid(down, prepared.settings.multibandLevels);
  return render_rgb16(up_pyramid, down_pyramid, prepared, width, height, cancel, progress,
                      options);
}

}  // namespace stitch
