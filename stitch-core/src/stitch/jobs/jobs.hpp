// The three operations request handling calls: pair inspection and the two
// rendering jobs (preview and export) with their progress reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "error/error.hpp"
#include "types/types.hpp"

namespace stitch {

// Receives every progress report of a job at once; safe to call from any thread.
using ProgressSink = std::function<void(JobStage stage, std::uint8_t percent, std::string_view message)>;

// Shared per request; the drivers read it between blocks of work.
using CancelFlag = std::atomic<bool>;

// Reads headers and XMP attitude of both sources; no pixels are decoded.
Result<PairInfo> inspect_pair(const std::filesystem::path& up_path,
                              const std::filesystem::path& down_path);

// Renders the 1024 x 512 preview JPEG to `destination`.
Result<PreviewInfo> render_preview(const std::filesystem::path& up_path,
                                   const std::filesystem::path& down_path,
                                   const std::filesystem::path& destination,
                                   const StitchSettings& settings, bool defer_display_render,
                                   const CancelFlag& cancel, const ProgressSink& progress);

// Renders the full-width panorama and writes it as the export asks.
Status run_export(const std::filesystem::path& up_path, const std::filesystem::path& down_path,
                  const StitchSettings& settings, const ExportRequest& export_request,
                  const CancelFlag& cancel, const ProgressSink& progress);

}  // namespace stitch
