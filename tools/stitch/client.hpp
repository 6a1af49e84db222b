// A client of the worker's JSON-lines protocol: starts `stitch-worker` as a
// child process, writes one request per line to its stdin and reads the
// events it answers with from its stdout, the way a desktop front end does.
//
// Transport problems (the worker cannot be started, stops, or sends
// something that is not an event) are errors of these functions. A `failed`
// event is a proper answer of the protocol and comes back as a WorkerFailure
// inside a successful result.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "error/error.hpp"

namespace stitch::cli {

// The worker's own words when it refused or failed a request.
struct WorkerFailure {
  std::string code;     // wire code, e.g. "unsupported_format"
  std::string message;  // display text, e.g. "Could not decode JPEG: ..."
};

// One `progress` event of a job.
struct Progress {
  std::string stage;
  unsigned percent = 0;
  std::string message;
};
using ProgressCallback = std::function<void(const Progress&)>;

struct Rotation {
  double yaw = 0.0;
  double pitch = 0.0;
  double roll = 0.0;
};

struct SourceSummary {
  std::string path;
  std::string role;    // "up", "down" or "unknown"
  std::string format;  // "jpeg" or "dng"
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<std::string> camera;
};

struct PairSummary {
  SourceSummary up;
  SourceSummary down;
  std::vector<std::string> warnings;
  std::uint32_t recommended_width = 0;
  bool dng_eligible = false;
  std::optional<Rotation> suggested_sphere;
};

struct CapabilitiesSummary {
  std::string gpu_backend;
  bool raw_support = false;
  std::vector<std::string> output_formats;
  std::uint32_t max_output_width = 0;
};

struct PreviewSummary {
  std::string path;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool used_gpu = false;
  std::optional<double> applied_down_yaw;
  std::optional<double> applied_down_roll;
  std::string render_profile;
};

// What the user may choose for a render; everything else takes the preset's
// values.
struct RenderChoices {
  std::uint32_t width = 0;
  Rotation sphere;
};

struct ExportChoices {
  std::string destination;
  std::string format;  // "jpg", "png", "tiff" or "dng"
  unsigned quality = 90;
  bool metadata = true;
};

template <typename T>
using Answer = std::variant<T, WorkerFailure>;
struct Done {};

// The worker binary installed beside the running executable.
std::filesystem::path worker_beside_executable(const char* argv0);

// The settings object of a render request for the camera's preset.
nlohmann::ordered_json settings_json(const RenderChoices& choices);

class WorkerClient {
 public:
  // Starts the worker. `log`, when given, receives every request (prefixed
  // "> ") and every event line (prefixed "< ") exactly as exchanged, and the
  // worker's stderr; without it the worker's stderr is discarded.
  static Result<WorkerClient> start(const std::filesystem::path& program, std::FILE* log = nullptr);

  WorkerClient(WorkerClient&& other) noexcept;
  WorkerClient& operator=(WorkerClient&& other) noexcept;
  WorkerClient(const WorkerClient&) = delete;
  WorkerClient& operator=(const WorkerClient&) = delete;
  // Ends the worker: closes its input and waits for it to exit.
  ~WorkerClient();

  // False once the worker has stopped or broken the protocol; a new one must
  // be started for further requests.
  bool usable() const { return pid_ > 0 && !broken_; }

  Result<Answer<CapabilitiesSummary>> capabilities();
  Result<Answer<PairSummary>> inspect(const std::string& up, const std::string& down);
  Result<Answer<PreviewSummary>> preview(const std::string& up, const std::string& down,
                                         const std::string& destination,
                                         const RenderChoices& choices,
                                         const ProgressCallback& progress);
  Result<Answer<Done>> export_panorama(const std::string& up, const std::string& down,
                                       const RenderChoices& choices, const ExportChoices& output,
                                       const ProgressCallback& progress);

  // Sends one request object and returns the event that ends it (anything
  // but `progress`), handing progress events to `progress` on the way.
  Result<nlohmann::json> exchange(const nlohmann::ordered_json& request,
                                  const ProgressCallback& progress);

 private:
  WorkerClient() = default;
  void shut_down();
  Status write_line(const std::string& line);
  Result<std::string> read_line();

  pid_t pid_ = -1;
  int to_worker_ = -1;
  int from_worker_ = -1;
  bool broken_ = false;
  std::string buffer_;
  std::FILE* log_ = nullptr;
};

}  // namespace stitch::cli
