// The request reader on arbitrary bytes: it must return a request or a
// one-line description, never crash, and never nest without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "types/types.hpp"
#include "worker/worker.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The input loop only hands valid UTF-8 to the reader, but the reader must
  // cope with anything.
  (void)stitch::is_valid_utf8(text);
  (void)stitch::is_unicode_whitespace(stitch::is_valid_utf8(text) ? text : std::string_view{});
  auto parsed = stitch::read_request(text);
  if (const auto* error = std::get_if<stitch::RequestReadError>(&parsed)) {
    // Descriptions go into a single event line.
    if (error->description.empty() || error->description.find('\n') != std::string::npos) std::abort();
  }
  return 0;
}
