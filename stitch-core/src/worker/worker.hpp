// The worker process: request dispatch, the crash guard, the output channel,
// the standard-input loop and the single-request (base64) mode.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error/error.hpp"
#include "stitch/jobs/jobs.hpp"
#include "types/types.hpp"

namespace stitch {

// Takes one event and writes it out; safe to call from any thread.
using EventSink = std::function<void(WorkerEvent)>;

// Handles one request to completion, emitting its answer through the sink;
// an error value is reported by the caller.
using RequestHandler = std::function<Status(WorkerRequest, CancelFlag&, const EventSink&)>;

// Checks the protocol version and runs the one operation the action names.
Status handle_request(WorkerRequest request, CancelFlag& cancel, const EventSink& sink);

// The progress sink of one job: each report becomes one `progress` event at
// once, carrying the request's ids. `sink` must outlive it.
ProgressSink progress_sink(const EventSink& sink, const Uuid& request_id, const Uuid& job_id);

// The `failed` event for an error of the request with these ids.
WorkerEvent failure_event(const Uuid& request_id, const std::optional<Uuid>& job_id, const StitchError& error);

// Runs `handler` on the request under the crash guard: an error value becomes
// `failed` with the error's code, an exception (also one rethrown from a
// parallel loop's worker thread) becomes `failed` with `worker_crash`.
void process_request(WorkerRequest request, const EventSink& sink,
                     const RequestHandler& handler = handle_request);

// One buffered, locked writer over a file descriptor; each event is written
// as one line and flushed at once. Write errors are ignored.
class OutputChannel {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  explicit OutputChannel(int fd);
  ~OutputChannel();
  OutputChannel(const OutputChannel&) = delete;
  OutputChannel& operator=(const OutputChannel&) = delete;

  // Serialises the event (outside the lock), then writes and flushes it.
  void emit(const WorkerEvent& event);
  // A sink bound to this channel.
  EventSink sink();

 private:
  struct State;
  State* state_;
};

// Strict base64 (standard alphabet, canonical "=" padding, zero unused bits,
// nothing else accepted). The error is a description of the fault.
std::variant<std::string, std::string> decode_base64(std::string_view text);

// True when `text` is valid UTF-8.
bool is_valid_utf8(std::string_view text);

// True when every character of `text` (valid UTF-8) has the Unicode
// White_Space property; true for empty text.
bool is_unicode_whitespace(std::string_view text);

// Reads requests line by line from `fd` until end of input or a read error.
void run_input_loop(int fd, const EventSink& sink, const RequestHandler& handler = handle_request);

// Handles the one base64-encoded request given on the command line.
void run_encoded_request(std::string_view encoded, const EventSink& sink,
                         const RequestHandler& handler = handle_request);

// The whole process: output channel on stdout, argument scan, one of the two
// modes. Always returns 0, the process's exit status.
int worker_main(int argc, char** argv, const RequestHandler& handler = handle_request);

}  // namespace stitch
