// Helpers shared by the container tests: synthetic images, a scratch folder,
// and a minimal reader of the classic TIFF structure written by the container.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tifftest {

// A folder under the system temp directory, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path file(const std::string& name) const { return dir_ / name; }

 private:
  std::filesystem::path dir_;
};

// Deterministic linear RGB16 samples covering the whole range, including pure
// black and white pixels.
std::vector<std::uint16_t> synthetic_rgb16(std::uint32_t width, std::uint32_t height,
                                           std::uint32_t seed = 1);

// The ProPhoto gamma-1.8 encoding of one linear sRGB-primaries pixel, written
// out independently of the writer with the same float arithmetic.
std::array<std::uint16_t, 3> prophoto_reference(const std::uint16_t* rgb);

// The sRGB transfer function.
double srgb_encode(double linear);

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path);

std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at);
std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at);

struct Entry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint32_t field = 0;                // the raw 4-byte value field
  bool inline_value = false;              // value stored inside the entry
  std::vector<std::uint8_t> value;        // the value bytes, wherever stored
};

struct Ifd {
  std::uint32_t offset = 0;
  std::vector<Entry> entries;             // in file order
  std::uint32_t next = 0;
  const Entry* find(std::uint16_t tag) const;
  std::vector<std::uint32_t> longs(std::uint16_t tag) const;
  std::vector<std::uint16_t> shorts(std::uint16_t tag) const;
};

std::size_t type_size(std::uint16_t type);
// Parses the directory at `offset`; fails the calling test on malformed data.
Ifd parse_ifd(const std::vector<std::uint8_t>& file, std::uint32_t offset);

}  // namespace tifftest
