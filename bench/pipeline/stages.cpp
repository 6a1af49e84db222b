// The finer stage split the worker's progress events cannot give: one export
// run through the same library calls the export driver makes, each timed on
// its own, with the raster loop run twice (neutral colour, then the real
// look) so that render and colour separate, and the JPEG encode timed apart
// from the whole write.
//   bench_pipeline_stages <up> <down> <width> <jpg|png|tiff> <destination>
// Prints one JSON object of seconds per step.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "color/color.hpp"
#include "detail/detail.hpp"
#include "export/export.hpp"
#include "image_io/image_io.hpp"
#include "stitch/jobs/jobs.hpp"
#include "stitch/prepare.hpp"
#include "stitch/settings.hpp"
#include "support/job_requests.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int fail(const stitch::StitchError& e) {
  std::fprintf(stderr, "bench_pipeline_stages: %s\n", e.display().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace stitch;
  if (argc != 6) {
    std::fprintf(stderr,
                 "usage: bench_pipeline_stages <up> <down> <width> <jpg|png|tiff> <destination>\n");
    return 2;
  }
  const auto width = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  const std::uint32_t height = width / 2;
  const std::string format = argv[4];
  const bool eight_bit = format == "jpg";
  const StitchSettings settings = requests::default_settings(width);
  CancelFlag cancel{false};

  Clock::time_point t = Clock::now();
  Result<LinearImage> up = load_source(argv[1]);
  if (!up) return fail(up.error());
  const double decode_up = since(t);
  t = Clock::now();
  Result<LinearImage> down = load_source(argv[2]);
  if (!down) return fail(down.error());
  const double decode_down = since(t);

  t = Clock::now();
  const PreparedSettings prepared = prepare(*up, *down, settings, 1024);
  const double align = since(t);
  const PreparedSettings neutral = neutral_copy(prepared);

  double render_neutral = 0.0;
  double render_look = 0.0;
  std::optional<RenderedPixels> rendered;
  if (eight_bit) {
    {
      t = Clock::now();
      auto plain = render_rgb8(*up, *down, neutral, width, height, cancel, {});
      render_neutral = since(t);
      if (!plain) return fail(plain.error());
    }
    t = Clock::now();
    auto px = render_rgb8(*up, *down, prepared, width, height, cancel, {});
    render_look = since(t);
    if (!px) return fail(px.error());
    rendered = RenderedPixels::rgb8(std::move(px).value());
  } else {
    {
      t = Clock::now();
      auto plain = render_rgb16(*up, *down, neutral, width, height, cancel, {});
      render_neutral = since(t);
      if (!plain) return fail(plain.error());
    }
    t = Clock::now();
    auto px = render_rgb16(*up, *down, prepared, width, height, cancel, {});
    render_look = since(t);
    if (!px) return fail(px.error());
    rendered = RenderedPixels::rgb16(std::move(px).value());
  }
  *up = {};
  *down = {};

  const RenderProfileParams& profile = prepared.profile;
  const float clarity = std::clamp(settings.color.clarity + profile.clarity_boost, -100.0f, 100.0f);
  const float sharpening =
      std::clamp(settings.color.sharpening + profile.sharpening_boost, 0.0f, 100.0f);
  const float noise = std::clamp(settings.color.noiseReduction + profile.noise_reduction, 0.0f, 100.0f);
  t = Clock::now();
  Status detail = std::visit(
      [&](auto& buffer) {
        using T = std::decay_t<decltype(buffer)>;
        if constexpr (std::is_same_v<T, RenderedPixels::Rgb8>) {
          return apply_detail_rgb8(buffer.samples, width, height, clarity, sharpening, noise);
        } else {
          return apply_detail_rgb16(buffer.samples, width, height, clarity, sharpening, noise);
        }
      },
      rendered->data);
  const double detail_s = since(t);
  if (!detail) return fail(detail.error());

  double encode_only = -1.0;
  if (eight_bit) {
    t = Clock::now();
    auto stream = encode_jpeg(width, height, std::get<RenderedPixels::Rgb8>(rendered->data).samples,
                              90);
    encode_only = since(t);
    if (!stream) return fail(stream.error());
  }
  ExportRequest request;
  request.destination = argv[5];
  request.format = format == "jpg" ? OutputFormat::Jpg
                   : format == "png" ? OutputFormat::Png
                                     : OutputFormat::Tiff;
  request.jpegQuality = 90;
  request.embedMetadata = true;
  request.tiffProfile = "prophoto";
  t = Clock::now();
  Status written = export_panorama(*rendered, width, height, request,
                                   {std::string(argv[1]), std::string(argv[2])},
                                   prepared.settings, profile);
  const double write_s = since(t);
  if (!written) return fail(written.error());

  std::printf(
      "{\"decode_up_s\":%.4f,\"decode_down_s\":%.4f,\"align_s\":%.4f,\"render_s\":%.4f,"
      "\"colour_s\":%.4f,\"detail_s\":%.4f,\"encode_s\":%.4f,\"write_s\":%.4f}\n",
      decode_up, decode_down, align, render_neutral, render_look - render_neutral, detail_s,
      encode_only, encode_only >= 0.0 ? write_s - encode_only : write_s);
  return 0;
}
