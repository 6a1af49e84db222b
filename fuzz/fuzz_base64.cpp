// The strict base64 decoder, followed (as in single-request mode) by the
// request reader. Canonical base64 is one-to-one, so whatever decodes must
// encode back to exactly the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "types/types.hpp"
#include "support/base64.hpp"
#include "worker/worker.hpp"

namespace {

std::string encode(std::string_view bytes) { return stitch::test::encode_base64(bytes); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto decoded = stitch::decode_base64(text);
  if (decoded.index() == 1) {
    if (std::get<1>(decoded).empty()) std::abort();
    return 0;
  }
  const std::string& bytes = std::get<0>(decoded);
  if (encode(bytes) != text) std::abort();
  if (stitch::is_valid_utf8(bytes)) (void)stitch::read_request(bytes);
  return 0;
}
