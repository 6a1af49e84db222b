// The three operations request handling calls: pair inspection and the two
// rendering jobs (preview and export) with their progress reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "error/error.hpp"
#include "export/export.hpp"
#include "gpu/gpu.hpp"
#include "image_io/image_io.hpp"
#include "stitch/projection.hpp"
#include "stitch/settings.hpp"
#include "types/types.hpp"

namespace stitch {

// Receives every progress report of a job at once; safe to call from any thread.
using ProgressSink = std::function<void(JobStage stage, std::uint8_t percent, std::string_view message)>;

// Shared per request; the drivers read it between blocks of work.
using CancelFlag = std::atomic<bool>;

// Seams for tests and benchmarks; the worker always uses the defaults.
struct JobOptions {
  // Whether the preview tries the GPU pass before the CPU raster loop.
  bool try_gpu = true;
  GpuOptions gpu;
  ExportOptions export_options;
  // Called (when set) before each row of the raster loops, on the pool's
  // threads: lets tests inject a failure inside a row task.
  std::function<void(std::uint32_t row)> row_hook;
};

// Reads headers and XMP attitude of both sources; no pixels are decoded.
Result<PairInfo> inspect_pair(const std::filesystem::path& up_path,
                              const std::filesystem::path& down_path);

// Renders the 1024 x 512 preview JPEG to `destination`.
Result<PreviewInfo> render_preview(const std::filesystem::path& up_path,
                                   const std::filesystem::path& down_path,
                                   const std::filesystem::path& destination,
                                   const StitchSettings& settings, bool defer_display_render,
                                   const CancelFlag& cancel, const ProgressSink& progress,
                                   const JobOptions& options = {});

// Renders the full-width panorama and writes it as the export asks.
Status run_export(const std::filesystem::path& up_path, const std::filesystem::path& down_path,
                  const StitchSettings& settings, const ExportRequest& export_request,
                  const CancelFlag& cancel, const ProgressSink& progress,
                  const JobOptions& options = {});

// Which progress a raster loop reports after each block of rows.
enum class RasterProgress : std::uint8_t {
  Preview,  // project, 58..91, "Projecting preview on CPU"
  Export,   // project, 40..82, "Projecting panorama"
};

// Renders every pixel of the width x height panorama on the CPU with the
// prepared record's colour applied, in blocks of 32 rows (8-bit sRGB) or 16
// rows (16-bit linear), rows of a block in parallel. Checks the cancellation
// flag before each block and reports progress after it.
Result<std::vector<std::uint8_t>> render_rgb8(const LinearImage& up, const LinearImage& down,
                                              const PreparedSettings& prepared,
                                              std::uint32_t width, std::uint32_t height,
                                              const CancelFlag& cancel,
                                              const ProgressSink& progress,
                                              RasterProgress kind = RasterProgress::Export,
                                              const JobOptions& options = {});
Result<std::vector<std::uint16_t>> render_rgb16(const LinearImage& up, const LinearImage& down,
                                                const PreparedSettings& prepared,
                                                std::uint32_t width, std::uint32_t height,
                                                const CancelFlag& cancel,
                                                const ProgressSink& progress,
                                                const JobOptions& options = {});

// The same loops over pyramids the caller built (with the prepared record's
// multibandLevels), so their construction can overlap other work.
Result<std::vector<std::uint8_t>> render_rgb8(const ImagePyramid& up, const ImagePyramid& down,
                                              const PreparedSettings& prepared,
                                              std::uint32_t width, std::uint32_t height,
                                              const CancelFlag& cancel,
                                              const ProgressSink& progress, RasterProgress kind,
                                              const JobOptions& options);
Result<std::vector<std::uint16_t>> render_rgb16(const ImagePyramid& up, const ImagePyramid& down,
                                                const PreparedSettings& prepared,
                                                std::uint32_t width, std::uint32_t height,
                                                const CancelFlag& cancel,
                                                const ProgressSink& progress,
                                                const JobOptions& options);

// 8-bit quantisation of one linear channel: sRGB curve, round half away from
// zero, clamped; NaN and negative values give 0.
std::uint8_t quantize_srgb8(float linear);
// 16-bit quantisation of one linear channel (no transfer curve).
std::uint16_t quantize_linear16(float linear);

}  // namespace stitch
