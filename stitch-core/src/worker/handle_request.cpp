// Request dispatch: the protocol-version check and one operation per action.
#include <filesystem>
#include <system_error>

#include "gpu/gpu.hpp"
#include "worker/worker.hpp"

namespace stitch {
namespace {

constexpr std::uint16_t kProtocolVersion = 3;
constexpr std::uint32_t kMaxOutputWidth = 20000;

template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

Status capabilities(const GetCapabilities& request, const EventSink& sink) {
  Capabilities caps;
  caps.gpuBackend = backend_name();
  caps.rawSupport = true;
  caps.outputFormats = {OutputFormat::Jpg, OutputFormat::Png, OutputFormat::Tiff, OutputFormat::Dng};
  caps.maxOutputWidth = kMaxOutputWidth;
  sink(CapabilitiesEvent{request.request_id, std::move(caps)});
  return {};
}

Status inspect(const InspectPair& request, const EventSink& sink) {
  Result<PairInfo> info = inspect_pair(request.up_path, request.down_path);
  if (!info) return std::move(info).error();
  sink(PairInspectedEvent{request.request_id, std::move(info).value()});
  return {};
}

Status preview(const RenderPreview& request, const CancelFlag& cancel, const EventSink& sink) {
  const std::filesystem::path parent = request.destination.parent_path();
  if (!parent.empty()) {
    // Permission bits 0777, narrowed by the process's umask; an existing
    // directory is no error.
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return StitchError::io_errno(ec.value());
  }
  Result<PreviewInfo> info =
      render_preview(request.up_path, request.down_path, request.destination, request.settings,
                     request.defer_display_render, cancel, progress_sink(sink, request.request_id, request.job_id));
  if (!info) return std::move(info).error();
  sink(PreviewReadyEvent{request.request_id, std::move(info).value()});
  return {};
}

Status export_job(const StartExport& request, const CancelFlag& cancel, const EventSink& sink) {
  Status done = run_export(request.up_path, request.down_path, request.settings, request.export_request, cancel,
                           progress_sink(sink, request.request_id, request.job_id));
  if (!done) return done;
  // The destination goes back exactly as sent, even when relative.
  sink(ExportCompleteEvent{request.request_id, request.job_id, request.export_request.destination});
  return {};
}

}  // namespace

// Every report becomes one progress event at once: no clamping, ordering
// check or throttling.
ProgressSink progress_sink(const EventSink& sink, const Uuid& request_id, const Uuid& job_id) {
  return [&sink, request_id, job_id](JobStage stage, std::uint8_t percent, std::string_view message) {
    sink(ProgressEvent{request_id, JobProgress{job_id, stage, percent, std::string(message)}});
  };
}

Status handle_request(WorkerRequest request, CancelFlag& cancel, const EventSink& sink) {
  const std::uint16_t version = std::visit([](const auto& r) { return r.protocol_version; }, request);
  if (version != kProtocolVersion) {
    return StitchError::protocol("Unsupported worker protocol " + std::to_string(version) + "; expected " +
                                 std::to_string(kProtocolVersion));
  }
  return std::visit(Overloaded{
                        [&](const GetCapabilities& r) { return capabilities(r, sink); },
                        [&](const InspectPair& r) { return inspect(r, sink); },
                        [&](const RenderPreview& r) { return preview(r, cancel, sink); },
                        [&](const StartExport& r) { return export_job(r, cancel, sink); },
                    },
                    request);
}

WorkerEvent failure_event(const Uuid& request_id, const std::optional<Uuid>& job_id, const StitchError& error) {
  return FailedEvent{request_id, job_id, error.code(), error.display()};
}

}  // namespace stitch
