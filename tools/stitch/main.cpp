// stitch: the command-line front end of stitch-worker. It starts the worker
// that is installed beside it and drives it over the same JSON-lines protocol
// as the desktop app: inspect the pair, then preview and/or export it.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>

#include "stitch/client.hpp"
#include "stitch/pairs.hpp"
#include "stitch/progress.hpp"

namespace fs = std::filesystem;

namespace stitch::cli {
namespace {

// Exit statuses, also listed in --help.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitExists = 3;
constexpr int kExitWorker = 4;

// Used when the worker proposes no width (it always does; this is a guard).
constexpr std::uint32_t kFallbackWidth = 4096;

struct Options {
  std::string up;
  std::string down;
  std::string output;
  std::optional<std::uint32_t> width;
  std::string format;
  unsigned quality = 90;
  bool no_metadata = false;
  std::string preview;
  bool no_level = false;
  bool overwrite = false;
  std::string batch;
  bool capabilities = false;
  bool inspect_only = false;
  std::string worker;
  std::string protocol_log;
};

// ---- small printing helpers ---------------------------------------------------

std::string human_size(std::uintmax_t bytes) {
  char buf[32];
  if (bytes >= (std::uintmax_t{1} << 30)) {
    std::snprintf(buf, sizeof buf, "%.2f GiB", static_cast<double>(bytes) / (1u << 30));
  } else if (bytes >= (std::uintmax_t{1} << 20)) {
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1u << 20));
  } else if (bytes >= 1024) {
    std::snprintf(buf, sizeof buf, "%.0f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    std::snprintf(buf, sizeof buf, "%ju bytes", bytes);
  }
  return buf;
}

std::string seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", s);
  return buf;
}

std::string file_size_text(const fs::path& p) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(p, ec);
  return ec ? std::string("size unknown") : human_size(size);
}

std::string format_label(std::string_view format) {
  if (format == "jpg") return "JPG";
  if (format == "png") return "16-bit PNG";
  if (format == "tiff") return "16-bit TIFF";
  if (format == "dng") return "Linear DNG";
  return std::string(format);
}

std::string source_label(const SourceSummary& s) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s %u x %u", s.format == "dng" ? "DNG" : "JPG", s.width,
                s.height);
  return buf;
}

std::string rotation_text(const Rotation& r) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "pitch %+.2f deg, roll %+.2f deg", r.pitch, r.roll);
  return buf;
}

void error_line(const std::string& text) { std::fprintf(stderr, "stitch: %s\n", text.c_str()); }

// ---- the worker ---------------------------------------------------------------

class Session {
 public:
  explicit Session(const Options& o, const char* argv0)
      : program_(o.worker.empty() ? worker_beside_executable(argv0) : fs::path(o.worker)) {
    if (!o.protocol_log.empty()) {
      log_.reset(std::fopen(o.protocol_log.c_str(), "w"));
      if (!log_) error_line("cannot write the protocol log " + o.protocol_log);
    }
  }

  // The running worker, started on first use and again after it stopped.
  Result<WorkerClient*> client() {
    if (client_ && client_->usable()) return &*client_;
    client_.reset();
    Result<WorkerClient> started = WorkerClient::start(program_, log_.get());
    if (!started) return std::move(started).error();
    client_.emplace(std::move(started).value());
    return &*client_;
  }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  fs::path program_;
  std::unique_ptr<std::FILE, FileCloser> log_;
  std::optional<WorkerClient> client_;
};

// ---- one pair ------------------------------------------------------------------

void print_pair(const PairSummary& pair) {
  std::printf("UP    %s  (%s)\n", pair.up.path.c_str(), source_label(pair.up).c_str());
  std::printf("DOWN  %s  (%s)\n", pair.down.path.c_str(), source_label(pair.down).c_str());
  if (pair.up.camera) std::printf("Camera: %s\n", pair.up.camera->c_str());
  for (const std::string& w : pair.warnings) std::printf("Warning: %s\n", w.c_str());
}

RenderChoices choose(const PairSummary& pair, const Options& o, std::string* levelling) {
  RenderChoices c;
  c.width = o.width.value_or(pair.recommended_width != 0 ? pair.recommended_width : kFallbackWidth);
  if (o.no_level) {
    *levelling = "off (--no-level)";
  } else if (pair.suggested_sphere) {
    c.sphere = *pair.suggested_sphere;
    *levelling = rotation_text(c.sphere) + " (from the drone's gimbal attitude)";
  } else {
    *levelling = "none (no consistent gimbal attitude in the files)";
  }
  return c;
}

// Runs one job with a progress bar; returns the job's answer and its time.
template <typename Run>
auto with_bar(const char* label, Run&& run) {
  // What was said about the job must appear before its bar, also in a log.
  std::fflush(stdout);
  ProgressBar bar(label, stderr);
  auto result = run([&bar](const Progress& p) { bar.update(p); });
  bar.finish();
  return std::pair{std::move(result), bar.elapsed_seconds()};
}

bool refuse_existing(const std::string& path, const Options& o) {
  std::error_code ec;
  if (path.empty() || o.overwrite || !fs::exists(fs::symlink_status(path, ec))) return false;
  error_line(path + " already exists; add --overwrite to replace it");
  return true;
}

int run_capabilities(Session& session) {
  Result<WorkerClient*> client = session.client();
  if (!client) {
    error_line(client.error().display());
    return kExitWorker;
  }
  Result<Answer<CapabilitiesSummary>> answer = (*client)->capabilities();
  if (!answer) {
    error_line(answer.error().display());
    return kExitWorker;
  }
  if (const auto* f = std::get_if<WorkerFailure>(&*answer)) {
    error_line(f->message);
    return kExitFailed;
  }
  const auto& caps = std::get<CapabilitiesSummary>(*answer);
  std::string formats;
  for (const std::string& f : caps.output_formats) formats += (formats.empty() ? "" : ", ") + f;
  std::printf("Preview GPU:     %s\n", caps.gpu_backend.c_str());
  std::printf("RAW (DNG) input: %s\n", caps.raw_support ? "yes" : "no");
  std::printf("Output formats:  %s\n", formats.c_str());
  std::printf("Widest output:   %u pixels\n", caps.max_output_width);
  return kExitOk;
}

int run_single(Session& session, const Options& o) {
  std::string format = o.format;
  if (!o.output.empty() && format.empty()) {
    const std::optional<std::string> guessed = format_for_extension(o.output);
    if (!guessed) {
      error_line("cannot tell the format from '" + o.output +
                 "': end it in .jpg, .png, .tif or .dng, or add --format");
      return kExitUsage;
    }
    format = *guessed;
  }
  if (refuse_existing(o.output, o) || refuse_existing(o.preview, o)) return kExitExists;

  Result<WorkerClient*> client = session.client();
  if (!client) {
    error_line(client.error().display());
    return kExitWorker;
  }
  WorkerClient& worker = **client;

  Result<Answer<PairSummary>> inspected = worker.inspect(o.up, o.down);
  if (!inspected) {
    error_line(inspected.error().display());
    return kExitWorker;
  }
  if (const auto* f = std::get_if<WorkerFailure>(&*inspected)) {
    error_line("cannot read the pair: " + f->message);
    return kExitFailed;
  }
  const PairSummary& pair = std::get<PairSummary>(*inspected);
  print_pair(pair);
  std::string levelling;
  const RenderChoices choices = choose(pair, o, &levelling);
  if (o.inspect_only) {
    std::printf("Recommended width: %u x %u pixels\n", pair.recommended_width,
                pair.recommended_width / 2);
    std::printf("Linear DNG export: %s\n",
                pair.dng_eligible ? "possible" : "not possible (needs two DNG files)");
    std::printf("Horizon levelling: %s\n", levelling.c_str());
    return kExitOk;
  }
  std::printf("Horizon levelling: %s\n", levelling.c_str());

  if (!o.preview.empty()) {
    auto [answer, secs] = with_bar("Preview", [&](const ProgressCallback& cb) {
      return worker.preview(o.up, o.down, o.preview, choices, cb);
    });
    if (!answer) {
      error_line(answer.error().display());
      return kExitWorker;
    }
    if (const auto* f = std::get_if<WorkerFailure>(&*answer)) {
      error_line("preview failed: " + f->message);
      return kExitFailed;
    }
    const auto& p = std::get<PreviewSummary>(*answer);
    if (p.applied_down_yaw && p.applied_down_roll) {
      std::printf("DOWN lens fitted: yaw %+.2f deg, roll %+.2f deg\n", *p.applied_down_yaw,
                  *p.applied_down_roll);
    }
    std::printf("Preview saved: %s (%u x %u, %s, look %s, stitched on the %s) in %s\n",
                o.preview.c_str(), p.width, p.height, file_size_text(o.preview).c_str(),
                p.render_profile.c_str(), p.used_gpu ? "GPU" : "CPU", seconds(secs).c_str());
  }
  if (o.output.empty()) return kExitOk;

  std::printf("Output: %u x %u %s\n", choices.width, choices.width / 2,
              format_label(format).c_str());
  ExportChoices out{o.output, format, o.quality, !o.no_metadata};
  auto [answer, secs] = with_bar("Export ", [&](const ProgressCallback& cb) {
    return worker.export_panorama(o.up, o.down, choices, out, cb);
  });
  if (!answer) {
    error_line(answer.error().display());
    return kExitWorker;
  }
  if (const auto* f = std::get_if<WorkerFailure>(&*answer)) {
    error_line("export failed: " + f->message);
    return kExitFailed;
  }
  std::printf("Saved %s (%s) in %s\n", o.output.c_str(), file_size_text(o.output).c_str(),
              seconds(secs).c_str());
  return kExitOk;
}

// ---- a folder ------------------------------------------------------------------

struct Row {
  std::string name;
  std::string result;  // "stitched", "FAILED", "skipped"
  std::optional<double> secs;
  std::string detail;  // output and size, or the reason
};

int run_batch(Session& session, const Options& o) {
  const std::string format = o.format.empty() ? "jpg" : o.format;
  Result<FolderScan> scanned = scan_folder(o.batch);
  if (!scanned) {
    error_line("cannot read the folder: " + scanned.error().display());
    return kExitFailed;
  }
  const FolderScan& scan = *scanned;
  if (scan.pairs.empty() && scan.unpaired.empty()) {
    error_line("no JPG or DNG files with _UP/_DOWN names in " + o.batch);
    return kExitFailed;
  }
  std::error_code ec;
  fs::create_directories(o.output, ec);
  if (ec) {
    error_line("cannot create the output folder " + o.output + ": " + ec.message());
    return kExitFailed;
  }

  const std::vector<fs::path> outputs = output_paths(scan.pairs, o.output, format);
  const auto started = std::chrono::steady_clock::now();
  std::vector<Row> rows;
  for (std::size_t i = 0; i < scan.pairs.size(); ++i) {
    const ShotPair& pair = scan.pairs[i];
    const std::string destination = outputs[i].string();
    std::printf("\n[%zu/%zu] %s\n", i + 1, scan.pairs.size(), pair.name.c_str());
    std::fflush(stdout);
    if (!o.overwrite && fs::exists(fs::symlink_status(outputs[i], ec))) {
      rows.push_back({pair.name, "skipped", std::nullopt,
                      destination + " exists (add --overwrite to replace it)"});
      std::printf("Skipped: %s already exists\n", destination.c_str());
      continue;
    }
    const auto pair_start = std::chrono::steady_clock::now();
    const auto elapsed = [&pair_start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - pair_start).count();
    };
    const auto fail = [&](const std::string& reason) {
      rows.push_back({pair.name, "FAILED", elapsed(), reason});
      std::printf("Failed: %s\n", reason.c_str());
    };

    Result<WorkerClient*> client = session.client();
    if (!client) {
      fail(client.error().display());
      continue;
    }
    WorkerClient& worker = **client;
    Result<Answer<PairSummary>> inspected = worker.inspect(pair.up.string(), pair.down.string());
    if (!inspected) {
      fail(inspected.error().display());
      continue;
    }
    if (const auto* f = std::get_if<WorkerFailure>(&*inspected)) {
      fail("cannot read the pair: " + f->message);
      continue;
    }
    const PairSummary& info = std::get<PairSummary>(*inspected);
    print_pair(info);
    std::string levelling;
    const RenderChoices choices = choose(info, o, &levelling);
    std::printf("Horizon levelling: %s\n", levelling.c_str());
    std::printf("Output: %u x %u %s\n", choices.width, choices.width / 2,
                format_label(format).c_str());
    ExportChoices out{destination, format, o.quality, !o.no_metadata};
    auto [answer, secs] = with_bar("Export ", [&](const ProgressCallback& cb) {
      return worker.export_panorama(pair.up.string(), pair.down.string(), choices, out, cb);
    });
    (void)secs;
    if (!answer) {
      fail(answer.error().display());
      continue;
    }
    if (const auto* f = std::get_if<WorkerFailure>(&*answer)) {
      fail(f->message);
      continue;
    }
    rows.push_back({pair.name, "stitched", elapsed(),
                    destination + " (" + file_size_text(outputs[i]) + ")"});
    std::printf("Saved %s\n", destination.c_str());
  }
  for (const Unpaired& u : scan.unpaired) {
    rows.push_back({u.file.filename().string(), "FAILED", std::nullopt, u.reason});
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::size_t name_width = 4;
  for (const Row& r : rows) name_width = std::max(name_width, r.name.size());
  int stitched = 0, failed = 0, skipped = 0;
  std::printf("\nBatch summary: %s -> %s\n", o.batch.c_str(), o.output.c_str());
  std::printf("  %-*s  %-8s  %8s  %s\n", static_cast<int>(name_width), "Shot", "Result", "Time",
              "Output or reason");
  for (const Row& r : rows) {
    std::printf("  %-*s  %-8s  %8s  %s\n", static_cast<int>(name_width), r.name.c_str(),
                r.result.c_str(), r.secs ? seconds(*r.secs).c_str() : "-", r.detail.c_str());
    if (r.result == "stitched") ++stitched;
    if (r.result == "FAILED") ++failed;
    if (r.result == "skipped") ++skipped;
  }
  std::printf("%zu pairs: %d stitched, %d failed, %d skipped; total time %s\n",
              scan.pairs.size(), stitched, failed, skipped, seconds(total).c_str());
  if (failed > 0) return kExitFailed;
  if (skipped > 0) return kExitExists;
  return kExitOk;
}

// ---- command line --------------------------------------------------------------

constexpr const char* kFooter = R"(Examples:
  Stitch one shot (size and horizon levelling chosen for you):
    stitch DJI_0001_UP.JPG DJI_0001_DOWN.JPG -o DJI_0001.jpg

  A 16-bit TIFF at 8000 pixels wide, without levelling the horizon:
    stitch DJI_0001_UP.DNG DJI_0001_DOWN.DNG -o DJI_0001.tif --width 8000 --no-level

  A quick 1024 x 512 preview only:
    stitch DJI_0001_UP.JPG DJI_0001_DOWN.JPG --preview check.jpg

  Every pair on a memory card, into a folder (existing files are kept):
    stitch --batch /media/card/DCIM/100MEDIA -o ~/Panoramas

  What does this pair hold? (size, warnings, levelling; nothing is written)
    stitch DJI_0001_UP.JPG DJI_0001_DOWN.JPG --inspect

The camera writes each shot as two files whose names differ only in _UP and
_DOWN. Outputs are 360 x 180 degree panoramas (twice as wide as high) with
panorama metadata, so photo viewers and web galleries show them as 360 photos.
A file is written under a temporary name and only renamed when complete.

Exit status: 0 done; 1 a stitch failed (the reason is printed); 2 wrong command
line; 3 an output already exists and --overwrite was not given; 4 the stitching
worker could not be started or stopped unexpectedly.)";

int run_main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "stitch - turn the UP and DOWN photos of a dual-lens 360 degree drone camera into one\n"
      "360 degree panorama (JPG, 16-bit PNG, 16-bit TIFF or Linear DNG).",
      "stitch"};
  app.footer(kFooter);
  app.get_formatter()->column_width(26);
  app.add_option("up", o.up, "Photo from the upper lens (name contains _UP), JPG or DNG")
      ->check(CLI::Validator(CLI::ExistingFile).description(""))
      ->type_name("UP_PHOTO");
  app.add_option("down", o.down, "Photo from the lower lens (name contains _DOWN), JPG or DNG")
      ->check(CLI::Validator(CLI::ExistingFile).description(""))
      ->type_name("DOWN_PHOTO");
  app.add_option("-o,--output", o.output,
                 "Panorama file to write; with --batch, the folder to write into")
      ->type_name("FILE");
  app.add_option("--width", o.width,
                 "Panorama width in pixels, 2048 to 20000, even (default: the pair's own "
                 "resolution); the height is half of it")
      ->check(CLI::Range(2048u, 20000u).description(""))
      ->type_name("PIXELS");
  app.add_option("--format", o.format,
                 "jpg, png, tiff or dng (default: from the output name; jpg for --batch)")
      ->check(CLI::IsMember({"jpg", "png", "tiff", "dng"}).description(""))
      ->type_name("FORMAT");
  app.add_option("--quality", o.quality, "JPG quality, 1 to 100 (default 90)")
      ->check(CLI::Range(1u, 100u).description(""))
      ->type_name("Q");
  app.add_flag("--no-metadata", o.no_metadata,
               "Leave out the panorama metadata (viewers may then show a flat image)");
  app.add_option("--preview", o.preview, "Also write a quick 1024 x 512 preview JPG to this file")
      ->type_name("FILE");
  app.add_flag("--no-level", o.no_level,
               "Keep the horizon as shot instead of levelling it from the gimbal attitude");
  app.add_flag("--overwrite", o.overwrite, "Replace output files that already exist");
  app.add_option("--batch", o.batch, "Stitch every _UP/_DOWN pair in this folder")
      ->check(CLI::Validator(CLI::ExistingDirectory).description(""))
      ->type_name("FOLDER");
  app.add_flag("--inspect", o.inspect_only,
               "Only show what the pair holds (size, warnings, levelling)");
  app.add_flag("--capabilities", o.capabilities,
               "Show what the installed worker can do (GPU, formats, widest output)");
  app.add_option("--protocol-log", o.protocol_log,
                 "Write every request and event exchanged with the worker to this file")
      ->type_name("FILE")
      ->group("For developers");
  app.add_option("--worker", o.worker, "The stitch-worker program to use")->group("");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  const auto usage = [](const std::string& text) {
    error_line(text + " (see stitch --help)");
    return kExitUsage;
  };
  if (o.width && *o.width % 2 != 0) return usage("--width must be an even number");

  Session session(o, argc > 0 ? argv[0] : nullptr);
  if (o.capabilities) {
    if (!o.up.empty() || !o.batch.empty()) return usage("--capabilities takes no photos");
    return run_capabilities(session);
  }
  if (!o.batch.empty()) {
    if (!o.up.empty()) return usage("give either two photos or --batch FOLDER, not both");
    if (o.output.empty()) return usage("--batch needs -o OUTPUT_FOLDER");
    if (!o.preview.empty() || o.inspect_only) {
      return usage("--preview and --inspect work on one pair, not with --batch");
    }
    return run_batch(session, o);
  }
  if (o.up.empty() || o.down.empty()) return usage("give the UP and the DOWN photo");
  if (!o.inspect_only && o.output.empty() && o.preview.empty()) {
    return usage("say where the panorama goes with -o FILE (or ask for --preview FILE)");
  }
  return run_single(session, o);
}

}  // namespace
}  // namespace stitch::cli

int main(int argc, char** argv) {
  // Nothing may escape main: a library exception becomes an error message.
  try {
    return stitch::cli::run_main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stitch: %s\n", e.what());
    return stitch::cli::kExitWorker;
  }
}
