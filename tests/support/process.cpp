#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

extern char** environ;

namespace stitch::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Spawned {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
};

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

void ignore_sigpipe_here() {
  // Our writes to a child that has exited must fail with EPIPE, not kill the test.
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

Spawned spawn(const ProcessOptions& options) {
  ignore_sigpipe_here();
  const std::string program = options.program.string();

  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls are allowed.
  std::vector<std::string> arg_store{program};
  arg_store.insert(arg_store.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : arg_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_store;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& [name, value] : options.environment) {
      if (entry.size() > name.size() && entry.substr(0, name.size()) == name &&
          entry[name.size()] == '=') {
        replaced = true;
      }
    }
    if (!replaced) env_store.emplace_back(entry);
  }
  for (const auto& [name, value] : options.environment) env_store.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string cwd = options.working_directory.string();

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return {};
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    return {};
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    return {};
  }

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    // Dispositions set to "ignore" survive exec; the child must start clean.
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto& l : options.limits) {
      struct rlimit r{l.limit, l.limit};
      ::setrlimit(l.resource, &r);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(in[1]), ::close(out[0]), ::close(err[0]);
    return {};
  }
  return {pid, in[1], out[0], err[0]};
}

// Waits for the child; kills it first when `kill_it` is set.
void reap(pid_t pid, bool kill_it, ProcessResult& result) {
  if (kill_it) ::kill(pid, SIGKILL);
  int status = 0;
  struct rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.max_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
}

// Appends what `fd` has to `sink`; false at end of file or on error.
bool drain(int fd, std::string& sink) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      sink.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1000000));
}

}  // namespace

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

ProcessResult run_process(std::string_view input, const ProcessOptions& options) {
  ProcessResult result;
  Spawned child = spawn(options);
  if (child.pid < 0) {
    result.err = "could not start the process";
    return result;
  }
  set_nonblocking(child.in);
  set_nonblocking(child.out);
  set_nonblocking(child.err);
  const auto deadline = Clock::now() + options.timeout;
  std::size_t written = 0;
  if (input.empty()) close_fd(child.in);

  while (child.out >= 0 || child.err >= 0) {
    pollfd fds[3];
    nfds_t n = 0;
    if (child.in >= 0) fds[n++] = {child.in, POLLOUT, 0};
    if (child.out >= 0) fds[n++] = {child.out, POLLIN, 0};
    if (child.err >= 0) fds[n++] = {child.err, POLLIN, 0};
    const int wait = remaining_ms(deadline);
    if (wait == 0) {
      result.timed_out = true;
      break;
    }
    const int ready = ::poll(fds, n, wait);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == child.in) {
        const ssize_t w = ::write(child.in, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          close_fd(child.in);
        }
      } else if (fds[i].fd == child.out) {
        if (!drain(child.out, result.out)) close_fd(child.out);
      } else if (fds[i].fd == child.err) {
        if (!drain(child.err, result.err)) close_fd(child.err);
      }
    }
  }
  close_fd(child.in);
  close_fd(child.out);
  close_fd(child.err);
  reap(child.pid, result.timed_out, result);
  result.lines = split_lines(result.out);
  return result;
}

InteractiveProcess::InteractiveProcess(const ProcessOptions& options) {
  Spawned child = spawn(options);
  pid_ = child.pid;
  stdin_fd_ = child.in;
  stdout_fd_ = child.out;
  stderr_fd_ = child.err;
  if (stdout_fd_ >= 0) set_nonblocking(stdout_fd_);
  if (stderr_fd_ >= 0) set_nonblocking(stderr_fd_);
}

InteractiveProcess::~InteractiveProcess() {
  close_fd(stdin_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
  if (pid_ > 0) {
    ProcessResult ignored;
    reap(pid_, true, ignored);
  }
}

bool InteractiveProcess::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (stdin_fd_ < 0) return false;
    const ssize_t w = ::write(stdin_fd_, bytes.data(), bytes.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(w));
  }
  return true;
}

void InteractiveProcess::close_stdin() { close_fd(stdin_fd_); }

void InteractiveProcess::close_stdout() {
  close_fd(stdout_fd_);
  stdout_eof_ = true;
}

bool InteractiveProcess::pump(std::chrono::milliseconds wait) {
  if (stderr_fd_ >= 0 && !drain(stderr_fd_, err_)) close_fd(stderr_fd_);
  if (stdout_fd_ < 0) return false;
  pollfd fd{stdout_fd_, POLLIN, 0};
  const int ready = ::poll(&fd, 1, static_cast<int>(wait.count()));
  if (ready > 0 && !drain(stdout_fd_, out_buffer_)) {
    close_fd(stdout_fd_);
    stdout_eof_ = true;
  }
  return !stdout_eof_;
}

bool InteractiveProcess::line_ready(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    if (out_buffer_.find('\n') != std::string::npos) return true;
    const int left = remaining_ms(deadline);
    if (!pump(std::chrono::milliseconds(left))) return out_buffer_.find('\n') != std::string::npos;
    if (left == 0) return out_buffer_.find('\n') != std::string::npos;
  }
}

std::optional<std::string> InteractiveProcess::read_line(std::chrono::milliseconds timeout) {
  if (!line_ready(timeout)) return std::nullopt;
  const std::size_t nl = out_buffer_.find('\n');
  std::string line = out_buffer_.substr(0, nl);
  out_buffer_.erase(0, nl + 1);
  return line;
}

ProcessResult InteractiveProcess::finish(std::chrono::milliseconds timeout) {
  ProcessResult result;
  close_stdin();
  const auto deadline = Clock::now() + timeout;
  while (!stdout_eof_) {
    if (remaining_ms(deadline) == 0) {
      result.timed_out = true;
      break;
    }
    pump(std::chrono::milliseconds(std::min(remaining_ms(deadline), 100)));
  }
  // stderr may still hold data after stdout ended; read it to its end.
  while (!result.timed_out && stderr_fd_ >= 0 && remaining_ms(deadline) > 0) {
    pollfd fd{stderr_fd_, POLLIN, 0};
    ::poll(&fd, 1, std::min(remaining_ms(deadline), 100));
    if (!drain(stderr_fd_, err_)) close_fd(stderr_fd_);
  }
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
  if (pid_ > 0) {
    reap(pid_, result.timed_out, result);
    pid_ = -1;
  }
  result.out = std::move(out_buffer_);
  result.err = std::move(err_);
  result.lines = split_lines(result.out);
  return result;
}

}  // namespace stitch::test
