// The strict base64 decoder, followed (as in single-request mode) by the
// request reader. Canonical base64 is one-to-one, so whatever decodes must
// encode back to exactly the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "types/types.hpp"
#include "worker/worker.hpp"

namespace {

std::string encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    for (int s : {18, 12, 6, 0}) out.push_back(kAlphabet[(v >> s) & 63]);
  }
  if (bytes.size() - i == 1) {
    const unsigned v = at(i) << 16;
    out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    const unsigned v = (at(i) << 16) | (at(i + 1) << 8);
    out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

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
