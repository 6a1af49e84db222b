// Byte-level text checks of the input paths: strict base64, UTF-8 validity
// and Unicode white space. Hand-written: no installed library offers a
// strict canonical base64 decoder or the White_Space property.
#include <array>
#include <cstdint>
#include <cstdio>

#include "worker/worker.hpp"

namespace stitch {
namespace {

std::string byte_text(unsigned char c) {
  char buf[40];
  if (c >= 0x21 && c < 0x7f) {
    std::snprintf(buf, sizeof buf, "'%c' (0x%02x)", c, c);
  } else {
    std::snprintf(buf, sizeof buf, "0x%02x", c);
  }
  return buf;
}

int symbol_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes one UTF-8 character at the start of `s` (already known valid).
char32_t decode_one(std::string_view s, std::size_t& len) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  len = b0 >= 0xf0 ? 4 : b0 >= 0xe0 ? 3 : 2;
  char32_t cp = b0 & (0xff >> (len + 1));
  for (std::size_t i = 1; i < len && i < s.size(); ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3f);
  return cp;
}

bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

}  // namespace

std::variant<std::string, std::string> decode_base64(std::string_view text) {
  using R = std::variant<std::string, std::string>;
  const auto fault = [](std::string s) { return R(std::in_place_index<1>, std::move(s)); };
  if (text.size() % 4 != 0) {
    return fault("invalid length " + std::to_string(text.size()) +
                 ": padded base64 text has a multiple of 4 characters");
  }
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    std::array<int, 4> v{};
    int data_symbols = 4;
    for (std::size_t k = 0; k < 4; ++k) {
      const auto c = static_cast<unsigned char>(text[group + k]);
      if (c == '=') {
        // Padding only in the last group, only in its last two places, and
        // only followed by more padding.
        if (!last || k < 2) return fault("invalid padding at offset " + std::to_string(group + k));
        if (data_symbols == 4) data_symbols = static_cast<int>(k);
        continue;
      }
      if (data_symbols != 4) return fault("invalid padding at offset " + std::to_string(group + k - 1));
      const int value = symbol_value(c);
      if (value < 0) return fault("invalid symbol " + byte_text(c) + " at offset " + std::to_string(group + k));
      v[k] = value;
    }
    const std::uint32_t bits = (static_cast<std::uint32_t>(v[0]) << 18) | (static_cast<std::uint32_t>(v[1]) << 12) |
                               (static_cast<std::uint32_t>(v[2]) << 6) | static_cast<std::uint32_t>(v[3]);
    const int bytes = data_symbols - 1;  // 4 symbols -> 3 bytes, 3 -> 2, 2 -> 1
    // The canonical form leaves the unused low bits of the last symbol zero.
    const std::uint32_t unused_mask = bytes == 3 ? 0 : bytes == 2 ? 0xff : 0xffff;
    if ((bits & unused_mask) != 0) {
      const std::size_t at = group + static_cast<std::size_t>(data_symbols) - 1;
      return fault("invalid last symbol " + byte_text(static_cast<unsigned char>(text[at])) + " at offset " +
                   std::to_string(at) + ": its unused bits are not zero");
    }
    out.push_back(static_cast<char>(bits >> 16));
    if (bytes >= 2) out.push_back(static_cast<char>((bits >> 8) & 0xff));
    if (bytes >= 3) out.push_back(static_cast<char>(bits & 0xff));
  }
  return R(std::in_place_index<0>, std::move(out));
}

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xbf;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
      len = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
      len = 3;
      if (b0 == 0xe0) lo = 0xa0;
      if (b0 == 0xed) hi = 0x9f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
      len = 4;
      if (b0 == 0xf0) lo = 0x90;
      if (b0 == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (s.size() - i < len) return false;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b1 < lo || b1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if (b < 0x80 || b > 0xbf) return false;
    }
    i += len;
  }
  return true;
}

bool is_unicode_whitespace(std::string_view text) {
  while (!text.empty()) {
    std::size_t len = 1;
    if (!white_space(decode_one(text, len))) return false;
    text.remove_prefix(std::min(len, text.size()));
  }
  return true;
}

}  // namespace stitch
