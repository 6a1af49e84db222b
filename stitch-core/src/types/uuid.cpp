// UUID text forms and the wire spellings of the protocol's enumerations.
#include <random>

#include "types/types.hpp"

namespace stitch {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 32 hex digits, skipping a hyphen exactly where the hyphenated
// form has one when `hyphenated` is set.
std::optional<Uuid> parse_digits(std::string_view text, bool hyphenated) {
  Uuid id;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (hyphenated && (i == 4 || i == 6 || i == 8 || i == 10)) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    const int hi = hex_value(text[pos]);
    const int lo = hex_value(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    id.bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    pos += 2;
  }
  return id;
}

}  // namespace

bool Uuid::is_nil() const {
  for (auto b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

std::string Uuid::to_string() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return out;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  constexpr std::string_view kUrn = "urn:uuid:";
  switch (text.size()) {
    case 32: return parse_digits(text, false);
    case 36: return parse_digits(text, true);
    case 38:
      if (text.front() != '{' || text.back() != '}') return std::nullopt;
      return parse_digits(text.substr(1, 36), true);
    case 45:
      if (text.substr(0, kUrn.size()) != kUrn) return std::nullopt;
      return parse_digits(text.substr(kUrn.size()), true);
    default: return std::nullopt;
  }
}

Uuid Uuid::random_v4() {
  std::random_device device;
  Uuid id;
  for (std::size_t i = 0; i < 16; i += 4) {
    const std::uint32_t word = device();
    for (std::size_t k = 0; k < 4; ++k) id.bytes[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
  }
  id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0f) | 0x40);  // version 4
  id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return id;
}

std::string_view output_format_name(OutputFormat f) {
  switch (f) {
    case OutputFormat::Jpg: return "jpg";
    case OutputFormat::Png: return "png";
    case OutputFormat::Tiff: return "tiff";
    case OutputFormat::Dng: return "dng";
  }
  return "jpg";
}

std::string_view job_stage_name(JobStage s) {
  switch (s) {
    case JobStage::Inspect: return "inspect";
    case JobStage::Decode: return "decode";
    case JobStage::Align: return "align";
    case JobStage::Project: return "project";
    case JobStage::Blend: return "blend";
    case JobStage::Encode: return "encode";
    case JobStage::Complete: return "complete";
  }
  return "complete";
}

std::string_view fisheye_role_name(FisheyeRole r) {
  switch (r) {
    case FisheyeRole::Up: return "up";
    case FisheyeRole::Down: return "down";
    case FisheyeRole::Unknown: return "unknown";
  }
  return "unknown";
}

std::string_view source_format_name(SourceFormat f) {
  switch (f) {
    case SourceFormat::Jpeg: return "jpeg";
    case SourceFormat::Dng: return "dng";
  }
  return "jpeg";
}

}  // namespace stitch
