#include "dji_metadata/dji_metadata.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace stitch {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_file(const std::filesystem::path& path) { return File(std::fopen(path.c_str(), "rb")); }

bool read_exact(std::FILE* f, void* out, std::size_t n) { return std::fread(out, 1, n, f) == n; }

// Unicode White_Space at the start (`front`) or end of `s`: its byte length
// in UTF-8, or 0. Multi-byte spaces start with a lead byte, which never
// continues another sequence, so matching bytes matches code points.
std::size_t space_len(std::string_view s, bool front) {
  static constexpr std::string_view kSpaces[] = {
      "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
      "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
      "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80"};
  for (std::string_view sp : kSpaces) {
    if (s.size() < sp.size()) continue;
    if (front ? s.substr(0, sp.size()) == sp : s.substr(s.size() - sp.size()) == sp) return sp.size();
  }
  return 0;
}

std::string_view trim_white_space(std::string_view s) {
  while (std::size_t n = space_len(s, true)) s.remove_prefix(n);
  while (std::size_t n = space_len(s, false)) s.remove_suffix(n);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// digits [. digits] [e|E [sign] digits], at least one mantissa digit.
bool is_decimal(std::string_view s) {
  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  while (i < s.size() && is_digit(s[i])) { ++i; ++mantissa_digits; }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) { ++i; ++mantissa_digits; }
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) { ++i; ++exp_digits; }
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

std::optional<float> parse_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  float value = 0.0f;
  if (iequals(text, "inf") || iequals(text, "infinity")) {
    value = INFINITY;
  } else if (iequals(text, "nan")) {
    value = NAN;
  } else if (is_decimal(text)) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
      // Overflow becomes infinity and underflow zero, as strtof rounds them.
      const std::string copy(text);
      value = std::strtof(copy.c_str(), nullptr);
    } else if (ec != std::errc() || ptr != text.data() + text.size()) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::optional<float> xmp_number(std::string_view text, std::string_view name) {
  const std::string attribute = "drone-dji:" + std::string(name) + "=\"";
  if (const std::size_t at = text.find(attribute); at != std::string_view::npos) {
    const std::size_t begin = at + attribute.size();
    const std::size_t end = text.find('"', begin);
    if (end == std::string_view::npos) return std::nullopt;
    return parse_decimal(text.substr(begin, end - begin));
  }
  const std::string open = "<drone-dji:" + std::string(name) + ">";
  const std::size_t at = text.find(open);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t begin = at + open.size();
  const std::string close = "</drone-dji:" + std::string(name) + ">";
  const std::size_t end = text.find(close, begin);
  if (end == std::string_view::npos) return std::nullopt;
  return parse_decimal(trim_white_space(text.substr(begin, end - begin)));
}

std::optional<Attitude> read_attitude(std::string_view text, std::string_view prefix) {
  const std::string p(prefix);
  const std::optional<float> yaw = xmp_number(text, p + "YawDegree");
  if (!yaw) return std::nullopt;
  const std::optional<float> pitch = xmp_number(text, p + "PitchDegree");
  if (!pitch) return std::nullopt;
  const std::optional<float> roll = xmp_number(text, p + "RollDegree");
  if (!roll) return std::nullopt;
  return Attitude{*yaw, *pitch, *roll};
}

std::optional<std::vector<std::uint8_t>> read_tiff_xmp(const std::filesystem::path& path) {
  File f = open_file(path);
  if (!f) return std::nullopt;
  unsigned char header[8];
  if (!read_exact(f.get(), header, sizeof header)) return std::nullopt;
  bool big = false;
  if (header[0] == 'I' && header[1] == 'I') big = false;
  else if (header[0] == 'M' && header[1] == 'M') big = true;
  else return std::nullopt;
  const auto u16 = [big](const unsigned char* p) -> std::uint32_t {
    return big ? (std::uint32_t{p[0]} << 8) | p[1] : (std::uint32_t{p[1]} << 8) | p[0];
  };
  const auto u32 = [big](const unsigned char* p) -> std::uint32_t {
    return big ? (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3]
               : (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
  };
  if (u16(header + 2) != 42) return std::nullopt;
  if (std::fseek(f.get(), static_cast<long>(u32(header + 4)), SEEK_SET) != 0) return std::nullopt;
  unsigned char count_bytes[2];
  if (!read_exact(f.get(), count_bytes, 2)) return std::nullopt;
  const std::uint32_t entries = u16(count_bytes);
  if (entries == 0 || entries > 1024) return std::nullopt;
  for (std::uint32_t i = 0; i < entries; ++i) {
    unsigned char e[12];
    if (!read_exact(f.get(), e, sizeof e)) return std::nullopt;
    if (u16(e) != 700) continue;
    const std::uint32_t type = u16(e + 2);
    const std::uint32_t count = u32(e + 4);
    if (type != 1 && type != 2 && type != 7) return std::nullopt;
    if (count < 1 || count > kMaxTiffXmpBytes) return std::nullopt;
    if (count <= 4) return std::vector<std::uint8_t>(e + 8, e + 8 + count);
    if (std::fseek(f.get(), static_cast<long>(u32(e + 8)), SEEK_SET) != 0) return std::nullopt;
    std::vector<std::uint8_t> packet(count);
    if (!read_exact(f.get(), packet.data(), count)) return std::nullopt;
    return packet;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> read_jpeg_xmp(const std::filesystem::path& path) {
  static constexpr std::string_view kSignature = "drone-dji:GimbalPitchDegree";
  File f = open_file(path);
  if (!f) return std::nullopt;
  unsigned char soi[2];
  if (!read_exact(f.get(), soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return std::nullopt;
  for (;;) {
    int c = std::fgetc(f.get());
    while (c != 0xFF && c != EOF) c = std::fgetc(f.get());
    while (c == 0xFF) c = std::fgetc(f.get());
    if (c == EOF) return std::nullopt;
    const int marker = c;
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    unsigned char len_bytes[2];
    if (!read_exact(f.get(), len_bytes, 2)) return std::nullopt;
    const std::size_t length = (std::size_t{len_bytes[0]} << 8) | len_bytes[1];
    if (length < 2) return std::nullopt;
    if (marker != 0xE1) {
      if (std::fseek(f.get(), static_cast<long>(length - 2), SEEK_CUR) != 0) return std::nullopt;
      continue;
    }
    std::vector<std::uint8_t> payload(length - 2);
    if (!payload.empty() && !read_exact(f.get(), payload.data(), payload.size())) return std::nullopt;
    const std::string_view view(reinterpret_cast<const char*>(payload.data()), payload.size());
    if (view.find(kSignature) != std::string_view::npos) return payload;
  }
}

std::optional<Attitude> read_dji_gimbal_pose(const std::filesystem::path& path) {
  std::optional<std::vector<std::uint8_t>> packet = read_tiff_xmp(path);
  if (!packet) packet = read_jpeg_xmp(path);
  if (!packet) return std::nullopt;
  // The packet is searched for ASCII names and numbers only, so invalid UTF-8
  // elsewhere in it cannot change the outcome and is left as it is.
  const std::string_view text(reinterpret_cast<const char*>(packet->data()), packet->size());
  const std::optional<Attitude> a = read_attitude(text, "Gimbal");
  if (!a) return std::nullopt;
  for (const float v : {a->yaw, a->pitch, a->roll})
    if (!std::isfinite(v) || std::fabs(v) > 360.0f) return std::nullopt;
  return a;
}

}  // namespace stitch
