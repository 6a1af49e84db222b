// Shared pieces of the reliability tests: one small synthetic pair written
// once per test program, request lines with a chosen request_id, the events
// of a run, and checks on the files a run leaves behind.
#pragma once

#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/fixtures.hpp"
#include "support/job_requests.hpp"
#include "support/process.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch::reliability {

namespace fs = std::filesystem;
using nlohmann::json;

inline constexpr const char* kCapabilities =
    R"({"action":"get_capabilities","protocol_version":3,"request_id":"0f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11"})";

// The smallest export the settings allow, without the alignment search so
// that a run spends its time in the stages under test.
inline StitchSettings quick_settings() {
  StitchSettings s = requests::default_settings(2048);
  s.autoAlign = false;
  s.exposureMatch = false;
  return s;
}

// The request line with its request_id replaced (the fault worker reads the
// fault from the id's first byte).
inline std::string with_request_id(std::string line, const std::string& id) {
  const std::string old = requests::kRequestId;
  const std::size_t at = line.find(old);
  if (at != std::string::npos) line.replace(at, old.size(), id);
  return line;
}

inline std::vector<json> events_of(const std::vector<std::string>& lines) {
  std::vector<json> out;
  for (const auto& line : lines) {
    EXPECT_TRUE(json::accept(line)) << "not one JSON value: " << line.substr(0, 200);
    out.push_back(json::parse(line, nullptr, false));
  }
  return out;
}

// Names (not paths) of everything directly inside `dir`.
inline std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename().string());
  return names;
}

// Files whose name ends in ".part" anywhere under `dir`.
inline std::vector<fs::path> part_files(const fs::path& dir) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() >= 5 && name.substr(name.size() - 5) == ".part") found.push_back(it->path());
  }
  return found;
}

// True when `path` holds a complete JPEG of the given size that TurboJPEG
// decodes without any warning.
inline bool complete_jpeg(const fs::path& path, int width, int height) {
  auto bytes = fixtures::read_bytes(path);
  if (!bytes || bytes->size() < 4) return false;
  tjhandle h = tjInitDecompress();
  int w = 0, hh = 0, sub = 0, cs = 0;
  bool ok = tjDecompressHeader3(h, bytes->data(), bytes->size(), &w, &hh, &sub, &cs) == 0 && w == width &&
            hh == height;
  if (ok) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * hh * 3);
    ok = tjDecompress2(h, bytes->data(), bytes->size(), rgb.data(), w, 0, hh, TJPF_RGB, 0) == 0;
  }
  tjDestroy(h);
  return ok;
}

// True when `path` holds a complete PNG of the given size that libpng reads
// to its end.
inline bool complete_png(const fs::path& path, int width, int height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  const bool size_ok = static_cast<int>(image.width) == width && static_cast<int>(image.height) == height;
  image.format = PNG_FORMAT_LINEAR_RGB;
  std::vector<std::uint16_t> pixels(PNG_IMAGE_SIZE(image) / 2 + 1);
  const bool read_ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return size_ok && read_ok;
}

// A 256-pixel synthetic pair as JPG and DNG, written once for the whole test
// program (each test binary gets its own copy).
class Sources {
 public:
  static const Sources& get() {
    static const Sources instance;
    return instance;
  }
  const pairs::PairPaths& jpg() const { return jpg_; }
  const pairs::PairPaths& dng() const { return dng_; }
  const fs::path& dir() const { return dir_.path(); }

 private:
  Sources() {
    pairs::PairOptions o;
    o.size = 256;
    o.supersample = 1;
    const pairs::Pair pair = pairs::render_pair(o);
    auto jpg = pairs::write_pair_jpg(dir_.path(), pair, 92, "REL_0001");
    auto dng = pairs::write_pair_dng(dir_.path(), pair, {}, "REL_0002");
    if (!jpg || !dng) throw std::runtime_error("cannot write the synthetic pair");
    jpg_ = *jpg;
    dng_ = *dng;
  }
  fixtures::TempDir dir_;
  pairs::PairPaths jpg_;
  pairs::PairPaths dng_;
};

}  // namespace stitch::reliability
