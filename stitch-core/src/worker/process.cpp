// Process entry, output channel, input loop, single-request mode and the
// crash guard around request handling.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "worker/worker.hpp"

namespace stitch {
namespace {

// A request line longer than this is refused without being kept in memory;
// real requests are a few kilobytes.
constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;
constexpr std::size_t kReadChunk = 64 * 1024;

constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

FailedEvent unattached_failure(ErrorCode code, std::string message) {
  return FailedEvent{Uuid{}, std::nullopt, code, std::move(message)};
}

std::string os_error_text(int errnum) {
  char buf[256] = {};
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(errnum) + ")";
}

// Writes all of `data`; false once the descriptor fails for good.
bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // An inherited non-blocking stdout: wait until the reader catches up.
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    return false;
  }
  return true;
}

// Splits `s` into a part that ends on a character boundary and an incomplete
// final sequence (at most 3 bytes) moved to `carry`; validates the first part.
bool validate_streaming(std::string_view s, std::string& carry) {
  std::size_t cut = s.size();
  for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const auto b = static_cast<unsigned char>(s[s.size() - back]);
    if ((b & 0xc0) == 0x80) continue;  // continuation byte: keep looking for the lead
    const std::size_t need = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
    if (need > back) cut = s.size() - back;
    break;
  }
  const bool ok = is_valid_utf8(s.substr(0, cut));
  carry.assign(s.substr(cut));
  return ok;
}

Uuid request_id_of(const WorkerRequest& r) {
  return std::visit([](const auto& x) { return x.request_id; }, r);
}

std::optional<Uuid> job_id_of(const WorkerRequest& r) {
  if (const auto* p = std::get_if<RenderPreview>(&r)) return p->job_id;
  if (const auto* e = std::get_if<StartExport>(&r)) return e->job_id;
  return std::nullopt;
}

// Reads lines from a descriptor: "\n" ends a line, a "\r" before it goes
// with it, a last line without a line end still counts.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), chunk_(kReadChunk) {}

  enum class Outcome { Line, TooLong, InvalidUtf8, End, ReadError };

  Outcome next(std::string& line) {
    line.clear();
    std::string carry;
    bool valid = true;
    bool too_long = false;
    bool any = false;
    for (;;) {
      if (pos_ == len_) {
        if (eof_) break;
        const ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
        if (n < 0) {
          if (errno == EINTR) continue;
          error_ = errno;
          return Outcome::ReadError;
        }
        if (n == 0) {
          eof_ = true;
          break;
        }
        pos_ = 0;
        len_ = static_cast<std::size_t>(n);
      }
      any = true;
      const char* start = chunk_.data() + pos_;
      const void* nl = std::memchr(start, '\n', len_ - pos_);
      const std::size_t take = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) : len_ - pos_;
      std::string_view piece(start, take);
      pos_ += take + (nl ? 1 : 0);
      if (!too_long && line.size() + piece.size() > kMaxLineBytes) {
        too_long = true;
        valid = validate_streaming(line, carry);
        std::string().swap(line);
      }
      if (too_long) {
        std::string joined = carry;
        joined.append(piece);
        valid = validate_streaming(joined, carry) && valid;
      } else {
        line.append(piece);
      }
      if (nl) {
        if (!too_long && !line.empty() && line.back() == '\r') line.pop_back();
        return finish(line, too_long, valid, carry);
      }
    }
    if (!any) return Outcome::End;
    return finish(line, too_long, valid, carry);
  }

  int error() const { return error_; }

 private:
  static Outcome finish(const std::string& line, bool too_long, bool valid, const std::string& carry) {
    if (too_long) return valid && carry.empty() ? Outcome::TooLong : Outcome::InvalidUtf8;
    return is_valid_utf8(line) ? Outcome::Line : Outcome::InvalidUtf8;
  }

  int fd_;
  std::vector<char> chunk_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool eof_ = false;
  int error_ = 0;
};

}  // namespace

// ---- crash guard -----------------------------------------------------------

void process_request(WorkerRequest request, const EventSink& sink, const RequestHandler& handler) {
  const Uuid request_id = request_id_of(request);
  const std::optional<Uuid> job_id = job_id_of(request);
  CancelFlag cancel{false};
  std::string crash;
  try {
    Status status = handler(std::move(request), cancel, sink);
    if (!status) sink(failure_event(request_id, job_id, status.error()));
    return;
  } catch (const std::exception& e) {
    // oneTBB rethrows a parallel loop body's exception here, on the caller.
    crash = e.what();
  } catch (...) {
    crash = "unknown panic";
  }
  const StitchError error = StitchError::protocol("The stitch worker panicked: " + crash);
  sink(FailedEvent{request_id, job_id, ErrorCode::WorkerCrash, error.display()});
}

// ---- output channel --------------------------------------------------------

struct OutputChannel::State {
  int fd;
  std::mutex lock;
  std::vector<char> buffer = std::vector<char>(kBufferSize);
  std::size_t used = 0;

  // Both steps run under the lock and cannot throw (plain copies and write
  // calls), so a holder can never leave the lock in a broken state.
  void write(const std::string& text) noexcept {
    if (used + text.size() > buffer.size()) flush();
    if (text.size() >= buffer.size()) {
      write_all(fd, text.data(), text.size());
      return;
    }
    std::memcpy(buffer.data() + used, text.data(), text.size());
    used += text.size();
  }
  void flush() noexcept {
    if (used > 0) write_all(fd, buffer.data(), used);
    used = 0;  // on a write error the event is lost; processing goes on
  }
};

OutputChannel::OutputChannel(int fd) : state_(new State{fd}) {}

OutputChannel::~OutputChannel() {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->flush();
  }
  delete state_;
}

void OutputChannel::emit(const WorkerEvent& event) {
  std::string text;
  try {
    Result<std::string> json = write_event(event);
    if (!json) return;  // an event that cannot be serialised is dropped
    text = std::move(json).value();
    text.push_back('\n');
  } catch (...) {
    return;
  }
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->write(text);
  state_->flush();
}

EventSink OutputChannel::sink() {
  return [this](WorkerEvent event) { emit(event); };
}

// ---- the two modes ---------------------------------------------------------

void run_input_loop(int fd, const EventSink& sink, const RequestHandler& handler) {
  LineReader reader(fd);
  std::string line;
  for (;;) {
    switch (reader.next(line)) {
      case LineReader::Outcome::End: return;
      case LineReader::Outcome::ReadError:
        sink(unattached_failure(ErrorCode::IoError, os_error_text(reader.error())));
        return;
      case LineReader::Outcome::InvalidUtf8:
        sink(unattached_failure(ErrorCode::IoError, std::string(kInvalidUtf8)));
        return;
      case LineReader::Outcome::TooLong:
        sink(unattached_failure(ErrorCode::ProtocolError, "Invalid JSON request: the line is longer than " +
                                                               std::to_string(kMaxLineBytes) + " bytes"));
        continue;
      case LineReader::Outcome::Line: break;
    }
    if (is_unicode_whitespace(line)) continue;
    std::optional<WorkerRequest> request;
    try {
      auto parsed = read_request(line);
      std::string().swap(line);  // the request holds what it needs
      if (auto* error = std::get_if<RequestReadError>(&parsed)) {
        sink(unattached_failure(ErrorCode::ProtocolError, "Invalid JSON request: " + error->description));
        continue;
      }
      request.emplace(std::move(std::get<WorkerRequest>(parsed)));
    } catch (const std::exception& e) {
      // Only allocation can fail here; the line is reported, the loop goes on.
      sink(unattached_failure(ErrorCode::ProtocolError, std::string("Invalid JSON request: ") + e.what()));
      continue;
    }
    process_request(std::move(*request), sink, handler);
  }
}

void run_encoded_request(std::string_view encoded, const EventSink& sink, const RequestHandler& handler) {
  constexpr std::string_view kPrefix = "Invalid encoded request: ";
  auto decoded = decode_base64(encoded);
  if (decoded.index() == 1) {
    sink(unattached_failure(ErrorCode::ProtocolError, std::string(kPrefix) + std::get<1>(decoded)));
    return;
  }
  const std::string& bytes = std::get<0>(decoded);
  if (!is_valid_utf8(bytes)) {
    sink(unattached_failure(ErrorCode::ProtocolError, std::string(kPrefix) + "the decoded request is not valid UTF-8"));
    return;
  }
  auto parsed = read_request(bytes);
  if (auto* error = std::get_if<RequestReadError>(&parsed)) {
    sink(unattached_failure(ErrorCode::ProtocolError, std::string(kPrefix) + error->description));
    return;
  }
  process_request(std::move(std::get<WorkerRequest>(parsed)), sink, handler);
}

int worker_main(int argc, char** argv, const RequestHandler& handler) {
  // Writing to a closed stdout must fail the write, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  OutputChannel channel(STDOUT_FILENO);
  const EventSink sink = channel.sink();
  try {
    std::optional<std::string_view> encoded;
    for (int i = 1; i < argc; ++i) {
      if (std::string_view(argv[i]) == "--request-base64") {
        if (i + 1 < argc) encoded = argv[i + 1];
        break;
      }
    }
    if (encoded) {
      run_encoded_request(*encoded, sink, handler);
    } else {
      run_input_loop(STDIN_FILENO, sink, handler);
    }
  } catch (...) {
    // Nothing outside the crash guard throws but allocation; the process
    // still ends through its normal path with status 0.
  }
  return 0;
}

}  // namespace stitch
