// Source files: recognising and inspecting them (headers only), and loading
// them into full-resolution linear-light float images.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "types/types.hpp"

namespace stitch {

using Rgb = std::array<float, 3>;

// A full-resolution linear-light RGB image of 32-bit floats.
struct LinearImage {
  std::vector<float> pixels;  // interleaved RGB, rows top to bottom
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<std::string> camera;
  std::optional<float> iso;
  std::optional<float> baseline_exposure_ev;
  bool raw = false;
};

// Loads a JPG or DNG source at full resolution into linear light.
Result<LinearImage> load_source(const std::filesystem::path& path);

// Bilinear sample at (x, y), pixel centres on integers; absent outside.
std::optional<Rgb> sample_bilinear(const LinearImage& image, float x, float y);

// Builds an image row by row from f(x, y).
LinearImage synthetic(std::uint32_t width, std::uint32_t height,
                      const std::function<Rgb(std::uint32_t, std::uint32_t)>& f);

}  // namespace stitch
