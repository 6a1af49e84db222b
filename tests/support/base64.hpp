// Standard base64 with padding, for building --request-base64 arguments in
// tests, fuzz seeds and round-trip checks (the worker itself only decodes).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace stitch::test {

inline std::string encode_base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto at = [&](std::size_t k) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[k]));
  };
  std::string out;
  std::size_t i = 0;
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

}  // namespace stitch::test
