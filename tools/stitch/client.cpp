#include "stitch/client.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "types/types.hpp"

extern char** environ;

namespace stitch::cli {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr int kProtocolVersion = 3;
// A line longer than this is no event of ours; stop before memory runs out.
constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;

std::string new_id() { return Uuid::random_v4().to_string(); }

ordered_json request_head(const char* action, const std::string& request_id) {
  ordered_json r;
  r["action"] = action;
  r["protocol_version"] = kProtocolVersion;
  r["request_id"] = request_id;
  return r;
}

// Readers for event fields; a field of the wrong type yields nothing, so a
// surprising event degrades to a protocol error instead of an exception.
std::string text_or(const json& j, const char* key, std::string fallback = {}) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : fallback;
}
std::optional<double> number(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}
std::uint32_t u32_or(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_unsigned()) return 0;
  const auto v = it->get<std::uint64_t>();
  return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v);
}
bool flag(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_boolean() && it->get<bool>();
}
const json& object_or_empty(const json& j, const char* key) {
  static const json empty = json::object();
  auto it = j.find(key);
  return it != j.end() && it->is_object() ? *it : empty;
}

SourceSummary source_summary(const json& j) {
  SourceSummary s;
  s.path = text_or(j, "path");
  s.role = text_or(j, "role");
  s.format = text_or(j, "format");
  s.width = u32_or(j, "width");
  s.height = u32_or(j, "height");
  if (auto it = j.find("camera"); it != j.end() && it->is_string()) s.camera = it->get<std::string>();
  return s;
}

WorkerFailure failure_of(const json& event) {
  return {text_or(event, "code", "unknown"), text_or(event, "message", "(no message)")};
}

StitchError unexpected(const json& event) {
  return StitchError::protocol("unexpected answer from the worker: " + event.dump());
}

}  // namespace

std::filesystem::path worker_beside_executable(const char* argv0) {
  std::array<char, PATH_MAX> buf{};
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  std::filesystem::path self;
  if (n > 0) {
    self = std::string(buf.data(), static_cast<std::size_t>(n));
  } else if (argv0 != nullptr) {
    self = argv0;
  }
  return self.parent_path() / "stitch-worker";
}

ordered_json settings_json(const RenderChoices& c) {
  const auto lens = [] {
    ordered_json l;
    l["centerX"] = 0.0;
    l["centerY"] = 0.0;
    l["radiusScale"] = 1.0;
    l["yawDegrees"] = 0.0;
    l["rollDegrees"] = 0.0;
    return l;
  };
  ordered_json s;
  s["presetId"] = "dji-avata360";
  s["presetVersion"] = 2;
  s["renderProfileId"] = "dji-avata360-natural-v1";
  s["outputWidth"] = c.width;
  s["fovDegrees"] = 190.0;
  s["seamFeatherDegrees"] = 3.0;
  s["up"] = lens();
  s["down"] = lens();
  s["sphere"] = ordered_json{{"yawDegrees", c.sphere.yaw},
                             {"pitchDegrees", c.sphere.pitch},
                             {"rollDegrees", c.sphere.roll}};
  s["autoAlign"] = true;
  s["exposureMatch"] = true;
  s["multibandLevels"] = 4;
  return s;
}

// ---- process ------------------------------------------------------------------

Result<WorkerClient> WorkerClient::start(const std::filesystem::path& program, std::FILE* log) {
  // Writing to a worker that has died must fail with EPIPE, not end us.
  ::signal(SIGPIPE, SIG_IGN);
  if (::access(program.c_str(), X_OK) != 0) {
    return StitchError::io("cannot run the worker " + program.string() + ": " +
                           std::strerror(errno));
  }
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) return StitchError::io_errno(errno);
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return StitchError::io_errno(err);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  // The worker says everything through events; what its GPU libraries print
  // on stderr would only garble our progress bars, so it goes to the
  // protocol log when there is one and is dropped otherwise.
  if (log != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, ::fileno(log), STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  const std::string path = program.string();
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (rc != 0) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    return StitchError::io("cannot start the worker " + path + ": " + std::strerror(rc));
  }
  WorkerClient client;
  client.pid_ = pid;
  client.to_worker_ = in_pipe[1];
  client.from_worker_ = out_pipe[0];
  client.log_ = log;
  return client;
}

WorkerClient::WorkerClient(WorkerClient&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      to_worker_(std::exchange(o.to_worker_, -1)),
      from_worker_(std::exchange(o.from_worker_, -1)),
      broken_(o.broken_),
      buffer_(std::move(o.buffer_)),
      log_(o.log_) {}

WorkerClient& WorkerClient::operator=(WorkerClient&& o) noexcept {
  if (this != &o) {
    shut_down();
    pid_ = std::exchange(o.pid_, -1);
    to_worker_ = std::exchange(o.to_worker_, -1);
    from_worker_ = std::exchange(o.from_worker_, -1);
    broken_ = o.broken_;
    buffer_ = std::move(o.buffer_);
    log_ = o.log_;
  }
  return *this;
}

WorkerClient::~WorkerClient() { shut_down(); }

void WorkerClient::shut_down() {
  if (to_worker_ >= 0) ::close(to_worker_);
  to_worker_ = -1;
  if (pid_ > 0) {
    // A worker that broke the protocol may still be busy: stop it rather
    // than wait for a job nobody reads any more. A healthy one ends by
    // itself at the end of its input.
    if (broken_) ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  if (from_worker_ >= 0) ::close(from_worker_);
  from_worker_ = -1;
}

Status WorkerClient::write_line(const std::string& line) {
  if (log_ != nullptr) {
    std::fprintf(log_, "> %s\n", line.c_str());
    std::fflush(log_);
  }
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(to_worker_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      broken_ = true;
      return StitchError::protocol("the worker stopped accepting requests (" +
                                   std::string(std::strerror(errno)) + ")");
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

Result<std::string> WorkerClient::read_line() {
  for (;;) {
    if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (log_ != nullptr) {
        std::fprintf(log_, "< %s\n", line.c_str());
        std::fflush(log_);
      }
      return line;
    }
    if (buffer_.size() > kMaxLineBytes) {
      broken_ = true;
      return StitchError::protocol("the worker sent an overlong line");
    }
    char chunk[65536];
    const ssize_t n = ::read(from_worker_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken_ = true;
      return StitchError::protocol("the worker stopped before answering");
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

// ---- requests -------------------------------------------------------------------

Result<json> WorkerClient::exchange(const ordered_json& request, const ProgressCallback& progress) {
  if (!usable()) return StitchError::protocol("the worker is not running");
  const std::string request_id = request.value("request_id", std::string{});
  if (Status s = write_line(request.dump()); !s) return std::move(s).error();
  for (;;) {
    Result<std::string> line = read_line();
    if (!line) return std::move(line).error();
    json event = json::parse(*line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) {
      broken_ = true;
      return StitchError::protocol("the worker sent a line that is not JSON: " + *line);
    }
    const std::string kind = text_or(event, "event");
    const std::string rid = text_or(event, "request_id");
    if (kind == "progress") {
      if (rid == request_id && progress) {
        const json& p = object_or_empty(event, "payload");
        Progress report;
        report.stage = text_or(p, "stage");
        report.percent = u32_or(p, "progress");
        report.message = text_or(p, "message");
        progress(report);
      }
      continue;
    }
    // A request the worker could not even read is answered with the nil id.
    if (rid == request_id || (kind == "failed" && Uuid::parse(rid).value_or(Uuid{}).is_nil())) {
      return event;
    }
  }
}

Result<Answer<CapabilitiesSummary>> WorkerClient::capabilities() {
  Result<json> event = exchange(request_head("get_capabilities", new_id()), {});
  if (!event) return std::move(event).error();
  const std::string kind = text_or(*event, "event");
  if (kind == "failed") return Answer<CapabilitiesSummary>{failure_of(*event)};
  if (kind != "capabilities") return unexpected(*event);
  const json& p = object_or_empty(*event, "payload");
  CapabilitiesSummary c;
  c.gpu_backend = text_or(p, "gpuBackend");
  c.raw_support = flag(p, "rawSupport");
  if (auto it = p.find("outputFormats"); it != p.end() && it->is_array()) {
    for (const json& f : *it) {
      if (f.is_string()) c.output_formats.push_back(f.get<std::string>());
    }
  }
  c.max_output_width = u32_or(p, "maxOutputWidth");
  return Answer<CapabilitiesSummary>{std::move(c)};
}

Result<Answer<PairSummary>> WorkerClient::inspect(const std::string& up, const std::string& down) {
  ordered_json r = request_head("inspect_pair", new_id());
  r["up_path"] = up;
  r["down_path"] = down;
  Result<json> event = exchange(r, {});
  if (!event) return std::move(event).error();
  const std::string kind = text_or(*event, "event");
  if (kind == "failed") return Answer<PairSummary>{failure_of(*event)};
  if (kind != "pair_inspected") return unexpected(*event);
  const json& p = object_or_empty(*event, "payload");
  PairSummary s;
  s.up = source_summary(object_or_empty(p, "up"));
  s.down = source_summary(object_or_empty(p, "down"));
  if (auto it = p.find("warnings"); it != p.end() && it->is_array()) {
    for (const json& w : *it) {
      if (w.is_string()) s.warnings.push_back(w.get<std::string>());
    }
  }
  s.recommended_width = u32_or(p, "recommendedWidth");
  s.dng_eligible = flag(p, "dngEligible");
  if (auto it = p.find("suggestedSphere"); it != p.end() && it->is_object()) {
    s.suggested_sphere = Rotation{number(*it, "yawDegrees").value_or(0.0),
                                  number(*it, "pitchDegrees").value_or(0.0),
                                  number(*it, "rollDegrees").value_or(0.0)};
  }
  return Answer<PairSummary>{std::move(s)};
}

Result<Answer<PreviewSummary>> WorkerClient::preview(const std::string& up, const std::string& down,
                                                     const std::string& destination,
                                                     const RenderChoices& choices,
                                                     const ProgressCallback& progress) {
  ordered_json r = request_head("render_preview", new_id());
  r["job_id"] = new_id();
  r["up_path"] = up;
  r["down_path"] = down;
  r["destination"] = destination;
  r["settings"] = settings_json(choices);
  r["defer_display_render"] = false;
  Result<json> event = exchange(r, progress);
  if (!event) return std::move(event).error();
  const std::string kind = text_or(*event, "event");
  if (kind == "failed") return Answer<PreviewSummary>{failure_of(*event)};
  if (kind != "preview_ready") return unexpected(*event);
  const json& p = object_or_empty(*event, "payload");
  PreviewSummary s;
  s.path = text_or(p, "path");
  s.width = u32_or(p, "width");
  s.height = u32_or(p, "height");
  s.used_gpu = flag(p, "usedGpu");
  s.applied_down_yaw = number(p, "appliedDownYaw");
  s.applied_down_roll = number(p, "appliedDownRoll");
  s.render_profile = text_or(p, "renderProfileId");
  return Answer<PreviewSummary>{std::move(s)};
}

Result<Answer<Done>> WorkerClient::export_panorama(const std::string& up, const std::string& down,
                                                   const RenderChoices& choices,
                                                   const ExportChoices& output,
                                                   const ProgressCallback& progress) {
  ordered_json r = request_head("start_export", new_id());
  r["job_id"] = new_id();
  r["up_path"] = up;
  r["down_path"] = down;
  r["settings"] = settings_json(choices);
  ordered_json e;
  e["destination"] = output.destination;
  e["format"] = output.format;
  e["jpegQuality"] = output.quality;
  e["embedMetadata"] = output.metadata;
  e["tiffProfile"] = "prophoto";
  r["export"] = e;
  Result<json> event = exchange(r, progress);
  if (!event) return std::move(event).error();
  const std::string kind = text_or(*event, "event");
  if (kind == "failed") return Answer<Done>{failure_of(*event)};
  if (kind != "export_complete") return unexpected(*event);
  return Answer<Done>{Done{}};
}

}  // namespace stitch::cli
