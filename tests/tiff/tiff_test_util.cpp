#include "tiff_test_util.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace tifftest {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tiff-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  dir_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::uint16_t> synthetic_rgb16(std::uint32_t width, std::uint32_t height,
                                           std::uint32_t seed) {
  std::vector<std::uint16_t> s(std::size_t{width} * height * 3);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint16_t* p = &s[(std::size_t{y} * width + x) * 3];
      state = state * 1664525u + 1013904223u;
      // Smooth gradients with a little noise, so deflate has real work.
      p[0] = static_cast<std::uint16_t>((x * 65535ull) / std::max(1u, width - 1));
      p[1] = static_cast<std::uint16_t>((y * 65535ull) / std::max(1u, height - 1));
      p[2] = static_cast<std::uint16_t>((state >> 16) & 0xFFFF);
    }
  }
  if (!s.empty()) {
    s[0] = s[1] = s[2] = 0;
    s[s.size() - 1] = s[s.size() - 2] = s[s.size() - 3] = 65535;
  }
  return s;
}

std::array<std::uint16_t, 3> prophoto_reference(const std::uint16_t* p) {
  const float r = p[0] / 65535.0f, g = p[1] / 65535.0f, b = p[2] / 65535.0f;
  const float x = 0.4360747f * r + 0.3850649f * g + 0.1430804f * b;
  const float y = 0.2225045f * r + 0.7168786f * g + 0.0606169f * b;
  const float z = 0.0139322f * r + 0.0971045f * g + 0.7141733f * b;
  const float lin[3] = {1.3459433f * x + -0.2556075f * y + -0.0511118f * z,
                        -0.5445989f * x + 1.5081673f * y + 0.0205351f * z,
                        0.0f * x + 0.0f * y + 1.2118129f * z};
  std::array<std::uint16_t, 3> out{};
  for (int c = 0; c < 3; ++c) {
    const float v = std::clamp(lin[c], 0.0f, 1.0f);
    const float e = std::round(std::pow(v, 0.5555556f) * 65535.0f);
    out[c] = static_cast<std::uint16_t>(std::clamp(e, 0.0f, 65535.0f));
  }
  return out;
}

double srgb_encode(double v) {
  v = std::clamp(v, 0.0, 1.0);
  return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b.at(at)) | (static_cast<std::uint32_t>(b.at(at + 1)) << 8) |
         (static_cast<std::uint32_t>(b.at(at + 2)) << 16) |
         (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

std::size_t type_size(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 7: return 1;
    case 3: return 2;
    case 4: return 4;
    case 5: case 10: return 8;
    default: return 0;
  }
}

const Entry* Ifd::find(std::uint16_t tag) const {
  for (const Entry& e : entries) {
    if (e.tag == tag) return &e;
  }
  return nullptr;
}

std::vector<std::uint32_t> Ifd::longs(std::uint16_t tag) const {
  std::vector<std::uint32_t> out;
  const Entry* e = find(tag);
  if (e == nullptr || e->type != 4) return out;
  for (std::size_t i = 0; i < e->count; ++i) out.push_back(le32(e->value, 4 * i));
  return out;
}

std::vector<std::uint16_t> Ifd::shorts(std::uint16_t tag) const {
  std::vector<std::uint16_t> out;
  const Entry* e = find(tag);
  if (e == nullptr || e->type != 3) return out;
  for (std::size_t i = 0; i < e->count; ++i) out.push_back(le16(e->value, 2 * i));
  return out;
}

Ifd parse_ifd(const std::vector<std::uint8_t>& file, std::uint32_t offset) {
  Ifd ifd;
  ifd.offset = offset;
  EXPECT_LE(std::size_t{offset} + 2, file.size());
  if (std::size_t{offset} + 2 > file.size()) return ifd;
  const std::uint16_t n = le16(file, offset);
  EXPECT_LE(std::size_t{offset} + 2 + 12u * n + 4, file.size());
  if (std::size_t{offset} + 2 + 12u * n + 4 > file.size()) return ifd;
  for (std::uint16_t i = 0; i < n; ++i) {
    const std::size_t at = std::size_t{offset} + 2 + 12u * i;
    Entry e;
    e.tag = le16(file, at);
    e.type = le16(file, at + 2);
    e.count = le32(file, at + 4);
    e.field = le32(file, at + 8);
    const std::size_t size = type_size(e.type) * e.count;
    EXPECT_NE(type_size(e.type), 0u) << "tag " << e.tag;
    e.inline_value = size <= 4;
    if (e.inline_value) {
      e.value.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                     file.begin() + static_cast<std::ptrdiff_t>(at + 8 + size));
    } else {
      EXPECT_LE(std::size_t{e.field} + size, file.size()) << "tag " << e.tag;
      if (std::size_t{e.field} + size <= file.size()) {
        e.value.assign(file.begin() + e.field, file.begin() + e.field + static_cast<std::ptrdiff_t>(size));
      }
    }
    ifd.entries.push_back(std::move(e));
  }
  ifd.next = le32(file, std::size_t{offset} + 2 + 12u * n);
  return ifd;
}

}  // namespace tifftest
