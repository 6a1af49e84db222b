// The request reader on arbitrary bytes: it must return a request or a
// description of the fault, never crash, and never nest without bound. For
// the UTF-8 lines the input loop hands it, the description must travel in a
// `failed` event that serialises to exactly one line (it may quote control
// characters from the input; the event writer escapes them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "types/types.hpp"
#include "worker/worker.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool utf8 = stitch::is_valid_utf8(text);
  if (utf8) (void)stitch::is_unicode_whitespace(text);
  auto parsed = stitch::read_request(text);
  const auto* error = std::get_if<stitch::RequestReadError>(&parsed);
  if (error == nullptr) return 0;
  if (error->description.empty()) std::abort();
  if (utf8) {
    const stitch::WorkerEvent event = stitch::FailedEvent{
        stitch::Uuid{}, std::nullopt, stitch::ErrorCode::ProtocolError, "Invalid JSON request: " + error->description};
    const stitch::Result<std::string> line = stitch::write_event(event);
    if (!line || line->find('\n') != std::string::npos) std::abort();
  }
  return 0;
}
