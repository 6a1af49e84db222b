// Byte-to-text conversions shared by identification and loading: file names
// and native camera fields arrive as arbitrary bytes.
#include <cstdint>
#include <cstring>

#include "image_io/image_io.hpp"

namespace stitch {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at `i`, or 0 when it is invalid; then
// `*bad_len` is the maximal subpart to replace by one U+FFFD (at least 1).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t* bad_len) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = b(i);
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) need = 1;
  else if (lead == 0xE0) { need = 2; lo = 0xA0; }
  else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) need = 2;
  else if (lead == 0xED) { need = 2; hi = 0x9F; }
  else if (lead == 0xF0) { need = 3; lo = 0x90; }
  else if (lead >= 0xF1 && lead <= 0xF3) need = 3;
  else if (lead == 0xF4) { need = 3; hi = 0x8F; }
  else { *bad_len = 1; return 0; }
  for (std::size_t k = 1; k <= need; ++k) {
    const unsigned char min = k == 1 ? lo : 0x80;
    const unsigned char max = k == 1 ? hi : 0xBF;
    if (i + k >= s.size() || b(i + k) < min || b(i + k) > max) {
      *bad_len = k;  // the valid prefix so far is one maximal subpart
      return 0;
    }
  }
  return need + 1;
}

// Unicode White_Space, the characters trimmed from camera texts.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t len) {
  const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[k])); };
  switch (len) {
    case 1: return b(i);
    case 2: return ((b(i) & 0x1F) << 6) | (b(i + 1) & 0x3F);
    case 3: return ((b(i) & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    default:
      return ((b(i) & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
             (b(i + 3) & 0x3F);
  }
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t bad = 0;
    const std::size_t len = utf8_sequence(bytes, i, &bad);
    if (len == 0) {
      out += kReplacement;
      i += bad;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string path_text(const std::filesystem::path& path) { return utf8_lossy(path.native()); }

std::optional<std::string> camera_string(const char* text) {
  if (text == nullptr) return std::nullopt;
  const std::string s = utf8_lossy(std::string_view(text, std::strlen(text)));
  // s is valid UTF-8 now; walk it by code points to trim both ends.
  std::size_t begin = 0;
  std::size_t end = 0;  // one past the last non-space code point
  bool seen = false;
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t bad = 0;
    std::size_t len = utf8_sequence(s, i, &bad);
    if (len == 0) len = bad;  // cannot happen after utf8_lossy
    if (!is_white_space(decode_at(s, i, len))) {
      if (!seen) begin = i;
      seen = true;
      end = i + len;
    }
    i += len;
  }
  if (!seen) return std::nullopt;
  return s.substr(begin, end - begin);
}

Result<std::string> path_cstring(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  if (bytes.find('\0') != std::string::npos)
    return StitchError::dng_decode("DNG path contains a null byte");
  return bytes;
}

}  // namespace stitch
