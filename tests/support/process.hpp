// Runs a child process (by default the built stitch-worker) for end-to-end
// tests: either all at once (stdin bytes in, stdout lines and exit status out)
// or interactively, one line written and one line read at a time.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stitch::test {

// A resource limit applied in the child before it executes the program,
// e.g. {RLIMIT_AS, 1 << 30} to cap its address space.
struct ResourceLimit {
  int resource = RLIMIT_AS;
  rlim_t limit = RLIM_INFINITY;
};

// The worker binary the calling test executable was built against (the test
// targets define STITCH_WORKER_PATH; this header is compiled in them).
inline std::filesystem::path worker_path() {
#ifdef STITCH_WORKER_PATH
  return STITCH_WORKER_PATH;
#else
  return "stitch-worker";
#endif
}

struct ProcessOptions {
  // Program to run; defaults to the worker binary.
  std::filesystem::path program = worker_path();
  // Arguments after the program name.
  std::vector<std::string> args;
  // Working directory of the child; empty means the test's own.
  std::filesystem::path working_directory;
  // Variables added to (or replacing those of) the inherited environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // Applied with setrlimit in the child (soft and hard limit alike).
  std::vector<ResourceLimit> limits;
  // The child is killed with SIGKILL once this much time has passed.
  std::chrono::milliseconds timeout{std::chrono::minutes(5)};
};

struct ProcessResult {
  std::string out;                 // everything written to stdout
  std::string err;                 // everything written to stderr
  std::vector<std::string> lines;  // stdout split on "\n" (a final partial line included)
  int exit_code = -1;              // exit status, or -1 when ended by a signal
  int term_signal = 0;             // the signal that ended the child, or 0
  bool timed_out = false;          // killed because of ProcessOptions::timeout
  long max_rss_kib = 0;            // the child's peak resident set size, KiB

  bool exited_zero() const { return exit_code == 0 && term_signal == 0 && !timed_out; }
};

// Splits text on "\n"; a trailing "\n" does not make an extra empty line.
std::vector<std::string> split_lines(std::string_view text);

// Runs the program to completion, feeding `input` on stdin and then closing it.
// Writing stops quietly if the child closes its stdin early.
ProcessResult run_process(std::string_view input, const ProcessOptions& options = {});

// Convenience: the worker with the given stdin bytes and arguments.
inline ProcessResult run_worker(std::string_view input, std::vector<std::string> args = {}) {
  ProcessOptions options;
  options.args = std::move(args);
  return run_process(input, options);
}

// A running child driven through pipes, for tests that must see an answer
// before sending the next request.
class InteractiveProcess {
 public:
  explicit InteractiveProcess(const ProcessOptions& options = {});
  ~InteractiveProcess();  // kills and reaps the child if still running
  InteractiveProcess(const InteractiveProcess&) = delete;
  InteractiveProcess& operator=(const InteractiveProcess&) = delete;

  // False when the child could not be started.
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes all bytes to the child's stdin; false on a write error (closed pipe).
  bool write(std::string_view bytes);
  // Writes `line` followed by "\n".
  bool write_line(std::string_view line) { return write(std::string(line) + "\n"); }
  // Closes the child's stdin (end of input for it).
  void close_stdin();
  // Closes our end of the child's stdout, so that its writes fail (broken pipe).
  void close_stdout();

  // The next stdout line without its "\n"; nullopt at end of output or when
  // `timeout` passes without a full line.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // True when a full line is already waiting or arrives within `wait`.
  bool line_ready(std::chrono::milliseconds wait);

  // Closes stdin, collects the remaining output and waits for the exit.
  // `lines` holds only the lines not yet returned by read_line.
  ProcessResult finish(std::chrono::milliseconds timeout = std::chrono::minutes(5));

 private:
  // Reads what is available into the buffers, waiting at most `wait` for stdout.
  // Returns false once stdout reached its end.
  bool pump(std::chrono::milliseconds wait);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  bool stdout_eof_ = false;
  std::string out_buffer_;
  std::string err_;
};

}  // namespace stitch::test
