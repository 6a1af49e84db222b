// Synthetic dual-fisheye pairs for tests: a known scene on the sphere is
// photographed by an ideal equidistant UP and DOWN lens by inverting the
// stitcher's lens model pixel by pixel, with a chosen lens misalignment,
// per-channel exposure difference and an optional dark occluder in front of
// the DOWN lens. Because the images are made with the same model the
// stitcher inverts, stitching them with the true lens transforms reproduces
// the scene, and alignment should find those transforms.
//
// The sphere frame is the stitcher's camera frame: Y towards the UP lens,
// Z towards longitude 0, X towards longitude +90 degrees.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "error/error.hpp"
#include "support/fixtures.hpp"
#include "image_io/image_io.hpp"
#include "stitch/projection.hpp"
#include "types/types.hpp"

namespace stitch::pairs {

// Linear RGB radiance of the scene in a unit direction.
using Scene = std::function<Rgb(Vec3)>;

// A smooth, seamless procedural scene with texture at several scales (waves
// of about 60 down to 5 degrees) and different patterns per channel, so that
// both colour and luminance vary everywhere. Values stay within
// [0.04, 0.7]: inside the ranges alignment and exposure matching use, and
// at or below 0.75 so DNG fixtures round-trip exactly.
Rgb textured_scene(Vec3 d);

// A uniform grey scene (no texture).
Scene flat_scene(Rgb value);

// Something dark right in front of the DOWN lens: directions within
// width/2 of the centre longitude and at or below the top latitude are
// multiplied by `darkness` in the DOWN image only.
struct Occluder {
  float longitude_degrees = 0.0f;
  float width_degrees = 30.0f;
  float top_latitude_degrees = 3.0f;
  float darkness = 0.04f;
};

struct PairOptions {
  // Both sources are size x size pixels.
  std::uint32_t size = 384;
  float fov_degrees = 190.0f;
  // The true lens transforms the images are made with.
  LensTransform up{};
  LensTransform down{};
  // Per-channel factors applied to each lens's image (exposure differences).
  Rgb up_exposure{1.0f, 1.0f, 1.0f};
  Rgb down_exposure{1.0f, 1.0f, 1.0f};
  std::optional<Occluder> occluder;
  // Empty: textured_scene.
  Scene scene;
  // Samples per pixel side (anti-aliasing); 1 samples pixel centres only.
  unsigned supersample = 2;
  // Metadata written into both images (as a DNG source would carry it).
  bool raw = false;
  std::optional<std::string> camera;
  std::optional<float> up_iso;
  std::optional<float> down_iso;
  std::optional<float> up_baseline_exposure_ev;
  std::optional<float> down_baseline_exposure_ev;
};

struct Pair {
  LinearImage up;
  LinearImage down;
};

// Renders both lens images. Pixels outside a lens's image circle are black.
// Values are clamped to [0, 1] like decoded sources.
Pair render_pair(const PairOptions& options = {});

// One lens image: for each pixel, the direction the lens model maps onto it
// (axis_sign +1 for UP, -1 for DOWN), coloured by the scene and scaled by
// `exposure`; the occluder, if any, darkens it.
LinearImage render_fisheye(const Scene& scene, std::uint32_t size, float fov_degrees,
                           const LensTransform& lens, float axis_sign, Rgb exposure,
                           const std::optional<Occluder>& occluder, unsigned supersample);

// Whether the occluder covers the direction.
bool occluded(const Occluder& occluder, Vec3 d);

// The scene as an equirectangular panorama of width x height on the output
// grid (column 0 at longitude 180 degrees, longitude decreasing to the
// right, row height - 1 at latitude -90 degrees), sampled at pixel centres:
// what a perfect stitch of the pair with the true transforms shows.
LinearImage render_equirect(const Scene& scene, std::uint32_t width, std::uint32_t height);

struct PairPaths {
  std::filesystem::path up;
  std::filesystem::path down;
};

// Writes the pair as "<stem>_UP.jpg" / "<stem>_DOWN.jpg" in `dir`.
Result<PairPaths> write_pair_jpg(const std::filesystem::path& dir, const Pair& pair,
                                 int quality = 95, const std::string& stem = "SYNTH_0001");

// Writes the pair as "<stem>_UP.dng" / "<stem>_DOWN.dng" in `dir` with the
// given fixture options (camera names, levels); each image's own ISO and
// baseline exposure replace the options' values when the image has them.
// Keep the scene at or below 0.75 for an exact round trip (see dng_bytes).
Result<PairPaths> write_pair_dng(const std::filesystem::path& dir, const Pair& pair,
                                 const fixtures::DngFixtureOptions& options = {},
                                 const std::string& stem = "SYNTH_0001");

}  // namespace stitch::pairs
