// Runs the real worker on one request line, the way a front end does (the line
// on stdin, events read from stdout as they arrive), and prints one JSON
// object: the outcome, wall time, CPU time and peak RSS of the process (from
// wait4), and the time each stage took, taken from the arrival times of the
// progress events:
//   decode  process start to the first align event (both sources developed)
//   align   the fit of the DOWN lens, exposure and seam
//   render  first to last projection event (the raster loop with colour, or
//           the GPU pass)
//   look    last projection event to the next stage: in previews the colour,
//           detail and suggestion passes; in exports freeing the sources
//   detail  the export's clarity/sharpening/noise stage
//   encode  "Writing output file" or "Encoding preview" to the last event
//   bench_pipeline_drive <worker> <request-file>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Event {
  double t = 0.0;
  nlohmann::json body;
};

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_pipeline_drive <worker> <request-file>\n");
    return 2;
  }
  std::ifstream in(argv[2]);
  std::stringstream request;
  request << in.rdbuf();
  std::string line = request.str();
  if (line.empty() || line.back() != '\n') line += '\n';

  int to_child[2];
  int from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) {
    std::perror("pipe");
    return 1;
  }
  const Clock::time_point start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    return 1;
  }
  if (pid == 0) {
    dup2(to_child[0], STDIN_FILENO);
    dup2(from_child[1], STDOUT_FILENO);
    close(to_child[0]);
    close(to_child[1]);
    close(from_child[0]);
    close(from_child[1]);
    execl(argv[1], argv[1], static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  // The request is a few kilobytes: one write fits the pipe buffer.
  if (write(to_child[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::perror("write");
  }
  close(to_child[1]);  // end of input: the worker exits after this request

  std::vector<Event> events;
  std::string pending;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(from_child[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const double t = std::chrono::duration<double>(Clock::now() - start).count();
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      Event e;
      e.t = t;
      e.body = nlohmann::json::parse(pending.substr(0, nl), nullptr, false);
      pending.erase(0, nl + 1);
      events.push_back(std::move(e));
    }
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();

  nlohmann::json out;
  std::string outcome = "none";
  bool used_gpu = false;
  for (const Event& e : events) {
    if (!e.body.is_object()) continue;
    const std::string type = e.body.value("event", std::string());
    if (type == "export_complete" || type == "preview_ready") outcome = "ok";
    if (type == "failed") outcome = "failed: " + e.body.dump();
    if (type == "preview_ready") {
      used_gpu = e.body["payload"].value("usedGpu", false);
    }
  }
  // Stage boundaries: the first arrival of each stage, and the last
  // projection event.
  std::map<std::string, double> first;
  double last_project = -1.0;
  double last_event = events.empty() ? wall : events.back().t;
  for (const Event& e : events) {
    if (!e.body.is_object() || e.body.value("event", std::string()) != "progress") continue;
    const std::string stage = e.body["payload"].value("stage", std::string());
    if (!first.count(stage)) first[stage] = e.t;
    if (stage == "project") last_project = e.t;
  }
  auto at = [&](const char* stage, double fallback) {
    const auto it = first.find(stage);
    return it == first.end() ? fallback : it->second;
  };
  const double align = at("align", 0.0);
  const double project = at("project", align);
  const double end_render = last_project >= 0.0 ? last_project : project;
  const double encode = at("encode", last_event);
  const double blend = at("blend", encode);
  nlohmann::json stages;
  stages["decode"] = align;
  stages["align"] = project - align;
  stages["render"] = end_render - project;
  stages["look"] = blend - end_render;
  stages["detail"] = encode - blend;
  stages["encode"] = last_event - encode;

  out["outcome"] = outcome;
  out["exit_status"] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  out["wall_s"] = wall;
  out["cpu_s"] = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  out["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  out["used_gpu"] = used_gpu;
  out["stages"] = stages;
  std::printf("%s\n", out.dump().c_str());
  return outcome == "ok" ? 0 : 1;
}
