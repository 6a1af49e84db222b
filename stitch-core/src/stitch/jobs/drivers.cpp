// The preview and export jobs: validate, develop both sources, fit the
// stitch, render, apply the look and write the result, reporting progress
// between the steps and honouring the cancellation flag.
#include <algorithm>
#include <exception>
#include <future>
#include <optional>
#include <utility>

#include "color/color.hpp"
#include "detail/detail.hpp"
#include "export/export.hpp"
#include "gpu/gpu.hpp"
#include "image_io/image_io.hpp"
#include "stitch/jobs/jobs.hpp"
#include "stitch/prepare.hpp"
#include "stitch/settings.hpp"

namespace stitch {
namespace {

constexpr std::uint32_t kAnalysisWidth = 1024;
constexpr int kPreviewJpegQuality = 90;

void report(const ProgressSink& progress, JobStage stage, std::uint8_t percent,
            std::string_view message) {
  if (progress) progress(stage, percent, message);
}

struct DetailAmounts {
  float clarity;
  float sharpening;
  float noise_reduction;
};

// The detail controls of a render: the request's values plus the profile's
// boosts, clamped to what the detail stage accepts.
DetailAmounts detail_amounts(const ColorAdjustments& color, const RenderProfileParams& profile) {
  return {std::clamp(color.clarity + profile.clarity_boost, -100.0f, 100.0f),
          std::clamp(color.sharpening + profile.sharpening_boost, 0.0f, 100.0f),
          std::clamp(color.noiseReduction + profile.noise_reduction, 0.0f, 100.0f)};
}

struct SourcePair {
  LinearImage up;
  LinearImage down;
};

// Develops both sources at once (they are independent and each decode is
// mostly single-threaded) while keeping the sequential contract: the first
// report before the UP image, the second after it, the UP error winning, and
// the cancellation flag read after each image.
Result<SourcePair> load_pair(const std::filesystem::path& up_path,
                             const std::filesystem::path& down_path, const CancelFlag& cancel,
                             const ProgressSink& progress, std::string_view first_message,
                             std::uint8_t first_percent, std::string_view second_message,
                             std::uint8_t second_percent) {
  report(progress, JobStage::Decode, first_percent, first_message);
  auto down_future =
      std::async(std::launch::async, [&down_path] { return load_source(down_path); });
  // The DOWN decode must finish before this frame's locals go away, whatever
  // path leaves it; get() also carries any exception back to this thread.
  struct Joiner {
    std::future<Result<LinearImage>>& f;
    ~Joiner() {
      if (f.valid()) f.wait();
    }
  } joiner{down_future};

  Result<LinearImage> up = load_source(up_path);
  if (!up) return std::move(up).error();
  if (cancel.load()) return StitchError::cancelled();

  report(progress, JobStage::Decode, second_percent, second_message);
  Result<LinearImage> down = down_future.get();
  if (!down) return std::move(down).error();
  if (cancel.load()) return StitchError::cancelled();
  return SourcePair{std::move(up).value(), std::move(down).value()};
}

}  // namespace

Result<PreviewInfo> render_preview(const std::filesystem::path& up_path,
                                   const std::filesystem::path& down_path,
                                   const std::filesystem::path& destination,
                                   const StitchSettings& settings, bool defer_display_render,
                                   const CancelFlag& cancel, const ProgressSink& progress,
                                   const JobOptions& options) {
  if (Status valid = validate_settings(settings); !valid) return std::move(valid).error();

  Result<SourcePair> sources =
      load_pair(up_path, down_path, cancel, progress, "Developing source images", 5,
                "Developing DOWN image", 35);
  if (!sources) return std::move(sources).error();
  SourcePair pair = std::move(sources).value();

  const std::uint32_t width = std::clamp<std::uint32_t>(settings.outputWidth, 512, 1024);
  const std::uint32_t height = width / 2;

  report(progress, JobStage::Align, 45, "Optimizing overlap alignment");
  const PreparedSettings prepared = prepare(pair.up, pair.down, settings, width);
  if (cancel.load()) return StitchError::cancelled();

  report(progress, JobStage::Project, 58, "Projecting preview");
  std::vector<std::uint8_t> pixels;
  bool used_gpu = false;
  if (options.try_gpu) {
    Result<std::vector<std::uint8_t>> gpu =
        gpu_render_preview(pair.up, pair.down, prepared, width, height, options.gpu);
    if (gpu) {
      pixels = std::move(gpu).value();
      used_gpu = true;
    }
  }
  if (!used_gpu) {
    const PreparedSettings neutral = neutral_copy(prepared);
    Result<std::vector<std::uint8_t>> cpu =
        render_rgb8(pair.up, pair.down, neutral, width, height, cancel, progress,
                    RasterProgress::Preview, options);
    if (!cpu) return std::move(cpu).error();
    pixels = std::move(cpu).value();
  }
  pair = SourcePair{};  // the sources are no longer needed

  // The suggestion looks at the stitch with the profile's look only.
  std::vector<std::uint8_t> suggestion_input = pixels;
  apply_color_to_srgb8_with_profile(suggestion_input, ColorAdjustments{}, prepared.profile);
  const DetailAmounts profile_detail = detail_amounts(ColorAdjustments{}, prepared.profile);
  if (Status s = apply_detail_rgb8(suggestion_input, width, height, profile_detail.clarity,
                                   profile_detail.sharpening, profile_detail.noise_reduction);
      !s) {
    return std::move(s).error();
  }
  std::optional<ColorAdjustments> suggestion = suggest_auto_from_srgb8_with_profile(
      suggestion_input, width, height, true, prepared.profile.iso, prepared.profile.active);
  suggestion_input = {};

  if (!defer_display_render) {
    apply_color_to_srgb8_with_profile(pixels, settings.color, prepared.profile);
    const DetailAmounts amounts = detail_amounts(settings.color, prepared.profile);
    if (Status s = apply_detail_rgb8(pixels, width, height, amounts.clarity, amounts.sharpening,
                                     amounts.noise_reduction);
        !s) {
      return std::move(s).error();
    }
  }

  report(progress, JobStage::Encode, 94, "Encoding preview");
  // Like exports, the preview reaches its name only complete.
  if (Status s = write_jpeg_safely(destination, width, height, pixels, kPreviewJpegQuality); !s) {
    return std::move(s).error();
  }

  report(progress, JobStage::Complete, 100, "Preview ready");
  PreviewInfo info;
  info.path = path_text(destination);
  info.width = width;
  info.height = height;
  info.usedGpu = used_gpu;
  info.appliedDownYaw = prepared.settings.down.yawDegrees;
  info.appliedDownRoll = prepared.settings.down.rollDegrees;
  info.appliedBaseExposureEv = prepared.profile.base_exposure_ev;
  info.renderProfileId = std::string(prepared.profile.id());
  info.suggestedColor = suggestion;
  return info;
}

Status run_export(const std::filesystem::path& up_path, const std::filesystem::path& down_path,
                  const StitchSettings& settings, const ExportRequest& export_request,
                  const CancelFlag& cancel, const ProgressSink& progress,
                  const JobOptions& options) {
  if (Status valid = validate_settings(settings); !valid) return valid;

  const bool dng = export_request.format == OutputFormat::Dng;
  if (dng) {
    Result<SourceFormat> up_format = source_format(up_path);
    if (!up_format) return std::move(up_format).error();
    Result<SourceFormat> down_format = source_format(down_path);
    if (!down_format) return std::move(down_format).error();
    if (*up_format != SourceFormat::Dng || *down_format != SourceFormat::Dng) {
      return StitchError::invalid_settings("Linear DNG export requires two DNG sources");
    }
  }

  const std::uint32_t width = settings.outputWidth;
  const std::uint32_t height = width / 2;

  // Everything up to the pixel buffer lives in this scope, so the sources and
  // their pyramids are released before the detail stage and the writer.
  std::optional<PreparedSettings> prepared;
  std::optional<RenderedPixels> rendered;
  {
    Result<SourcePair> sources =
        load_pair(up_path, down_path, cancel, progress, "Developing UP source", 2,
                  "Developing DOWN source", 18);
    if (!sources) return std::move(sources).error();

    report(progress, JobStage::Align, 35, "Optimizing alignment and exposure");
    // The pyramids depend only on the sources and the requested depth (which
    // prepare keeps), so they are built on the pool while prepare, which runs
    // on this thread alone, fits the stitch.
    std::optional<ImagePyramid> up_pyramid;
    std::optional<ImagePyramid> down_pyramid;
    auto pyramids = std::async(std::launch::async, [&] {
      up_pyramid.emplace(sources->up, settings.multibandLevels);
      down_pyramid.emplace(sources->down, settings.multibandLevels);
    });
    prepared = prepare(sources->up, sources->down, settings, kAnalysisWidth);
    pyramids.get();
    if (cancel.load()) return StitchError::cancelled();

    const PreparedSettings rendering = dng ? neutral_copy(*prepared) : *prepared;
    if (export_request.format == OutputFormat::Jpg) {
      Result<std::vector<std::uint8_t>> px =
          render_rgb8(*up_pyramid, *down_pyramid, rendering, width, height, cancel, progress,
                      RasterProgress::Export, options);
      if (!px) return std::move(px).error();
      rendered = RenderedPixels::rgb8(std::move(px).value());
    } else {
      Result<std::vector<std::uint16_t>> px = render_rgb16(
          *up_pyramid, *down_pyramid, rendering, width, height, cancel, progress, options);
      if (!px) return std::move(px).error();
      rendered = RenderedPixels::rgb16(std::move(px).value());
    }
  }
  if (cancel.load()) return StitchError::cancelled();

  if (!dng) {
    report(progress, JobStage::Blend, 83, "Applying clarity and adaptive detail");
    const DetailAmounts amounts = detail_amounts(settings.color, prepared->profile);
    Status s = std::visit(
        [&](auto& buffer) {
          using T = std::decay_t<decltype(buffer)>;
          if constexpr (std::is_same_v<T, RenderedPixels::Rgb8>) {
            return apply_detail_rgb8(buffer.samples, width, height, amounts.clarity,
                                     amounts.sharpening, amounts.noise_reduction);
          } else {
            return apply_detail_rgb16(buffer.samples, width, height, amounts.clarity,
                                      amounts.sharpening, amounts.noise_reduction);
          }
        },
        rendered->data);
    if (!s) return s;
    if (cancel.load()) return StitchError::cancelled();
  }

  report(progress, JobStage::Encode, 92, "Writing output file");
  const std::vector<std::string> source_texts{path_text(up_path), path_text(down_path)};
  if (Status s = export_panorama(*rendered, width, height, export_request, source_texts,
                                 prepared->settings, prepared->profile, options.export_options);
      !s) {
    return s;
  }

  report(progress, JobStage::Complete, 100, "Export complete");
  return {};
}

}  // namespace stitch
