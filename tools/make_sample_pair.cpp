// make-sample-pair: photographs an equirectangular scene with the two lenses
// of a dual-fisheye drone camera and writes the UP/DOWN pair as the camera
// would (JPG or DNG, DJI-style names, gimbal attitude in the XMP).
//
// The pair is not ideal on purpose, so that every step of the stitcher has
// work to do: the DOWN lens is slightly decentred, scaled and turned
// (alignment and the seam), it sees the scene darker and cooler (exposure
// matching), and the whole camera is tilted as the gimbal attitude in the
// XMP says (horizon levelling). Stitching it with the worker's suggested sphere
// rotation gives back the level scene.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "image_io/image_io.hpp"
#include "support/fixtures.hpp"
#include "support/synthetic_pair.hpp"

namespace {

using stitch::LinearImage;
using stitch::Rgb;
using stitch::Vec3;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// The camera's attitude when the pair was taken (degrees), as the drone
// records it for its gimbal.
struct Attitude {
  float yaw = 63.2f;
  float pitch = 2.8f;
  float roll = -1.9f;
};

// Rotations in the stitcher's sphere frame, in the same sense as its sphere
// rotation; the camera's tilt is the inverse of the levelling rotation.
Vec3 rotate_y(Vec3 v, double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {static_cast<float>(v.x * c + v.z * s), v.y, static_cast<float>(-v.x * s + v.z * c)};
}
Vec3 rotate_x(Vec3 v, double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {v.x, static_cast<float>(v.y * c - v.z * s), static_cast<float>(v.y * s + v.z * c)};
}
Vec3 rotate_z(Vec3 v, double a) {
  const double c = std::cos(a), s = std::sin(a);
  return {static_cast<float>(v.x * c - v.y * s), static_cast<float>(v.x * s + v.y * c), v.z};
}

// The levelling rotation the worker proposes for this attitude: no heading
// change, pitch and roll undone.
stitch::SphereRotation levelling(const Attitude& a) {
  return {0.0f, -std::clamp(a.pitch, -89.0f, 89.0f), -a.roll};
}

// Bilinear lookup in an equirectangular image (column 0 at longitude 180
// degrees, longitude decreasing to the right, top row at the zenith); columns
// wrap around the seam of the image, rows clamp at the poles.
Rgb equirect_sample(const LinearImage& scene, Vec3 d) {
  const double lat = std::asin(std::clamp(static_cast<double>(d.y), -1.0, 1.0));
  const double lon = std::atan2(static_cast<double>(d.x), static_cast<double>(d.z));
  double u = 0.5 - lon / (2.0 * kPi);
  u -= std::floor(u);
  const double w = scene.width;
  const double h = scene.height;
  const double fx = u * w - 0.5;
  const double fy = std::clamp((0.5 - lat / kPi) * h - 0.5, 0.0, h - 1.0);
  const double x0f = std::floor(fx);
  const double y0f = std::floor(fy);
  const double tx = fx - x0f;
  const double ty = fy - y0f;
  const auto wrap = [&](double x) {
    const double m = std::fmod(x, w);
    return static_cast<std::size_t>(m < 0 ? m + w : m);
  };
  const std::size_t x0 = wrap(x0f);
  const std::size_t x1 = wrap(x0f + 1.0);
  const std::size_t y0 = static_cast<std::size_t>(y0f);
  const std::size_t y1 = std::min<std::size_t>(y0 + 1, scene.height - 1);
  const auto px = [&](std::size_t x, std::size_t y) {
    return scene.pixels.data() + (y * scene.width + x) * 3;
  };
  Rgb out{};
  for (int c = 0; c < 3; ++c) {
    const double top = px(x0, y0)[c] * (1.0 - tx) + px(x1, y0)[c] * tx;
    const double bottom = px(x0, y1)[c] * (1.0 - tx) + px(x1, y1)[c] * tx;
    out[static_cast<std::size_t>(c)] = static_cast<float>(top * (1.0 - ty) + bottom * ty);
  }
  return out;
}

// LibRaw takes the data maximum as white when it lies above 75 % of the
// white level, which would brighten a darker lens; one white hot pixel in a
// corner, outside the image circle, pins the white level like a real sensor.
void pin_white_level(LinearImage& image) {
  if (!image.pixels.empty()) std::fill_n(image.pixels.begin(), 3, 1.0f);
}

int run(int argc, char** argv) {
  CLI::App app{
      "Makes a dual-fisheye UP/DOWN pair from an equirectangular scene image, the way a "
      "dual-lens 360-degree drone camera would photograph it."};
  std::filesystem::path scene_path;
  std::filesystem::path out_dir;
  std::string format = "jpg";
  std::string stem = "DJI_20260101120000_0001";
  std::uint32_t size = 2048;
  int quality = 92;
  app.add_option("--scene", scene_path, "Equirectangular scene (JPG, 2:1)")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("-o,--out", out_dir, "Folder to write the pair into")->required();
  app.add_option("--format", format, "jpg or dng")->check(CLI::IsMember({"jpg", "dng"}));
  app.add_option("--stem", stem, "File name before the _UP/_DOWN marker");
  app.add_option("--size", size, "Width and height of each fisheye image in pixels")
      ->check(CLI::Range(64u, 8192u));
  app.add_option("--quality", quality, "JPEG quality")->check(CLI::Range(1, 100));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  stitch::Result<LinearImage> loaded = stitch::load_source(scene_path);
  if (!loaded) {
    std::fprintf(stderr, "make-sample-pair: %s\n", loaded.error().display().c_str());
    return 1;
  }
  const LinearImage scene = std::move(loaded).value();
  if (scene.width < 2 || scene.height < 2) {
    std::fprintf(stderr, "make-sample-pair: the scene image is too small\n");
    return 1;
  }

  const Attitude attitude;
  const stitch::SphereRotation level = levelling(attitude);
  // The camera sees the world turned by the inverse of the levelling
  // rotation, so levelling the stitch brings the scene's horizon back.
  const stitch::pairs::Scene tilted = [&scene, level](Vec3 c) {
    Vec3 w = rotate_z(c, level.rollDegrees * kDeg);
    w = rotate_x(w, level.pitchDegrees * kDeg);
    w = rotate_y(w, level.yawDegrees * kDeg);
    return equirect_sample(scene, w);
  };

  stitch::pairs::PairOptions options;
  options.size = size;
  options.scene = tilted;
  options.down = {0.0021f, -0.0016f, 1.004f, 1.3f, -0.7f};
  options.down_exposure = {0.86f, 0.88f, 0.82f};
  options.supersample = 2;
  stitch::pairs::Pair pair = stitch::pairs::render_pair(options);

  std::error_code ec;
  std::filesystem::create_directories(out_dir, ec);
  if (ec) {
    std::fprintf(stderr, "make-sample-pair: cannot create %s: %s\n", out_dir.c_str(),
                 ec.message().c_str());
    return 1;
  }

  const std::string xmp = stitch::fixtures::dji_xmp(attitude.yaw, attitude.pitch, attitude.roll);
  const bool dng = format == "dng";
  const std::string ext = dng ? ".DNG" : ".JPG";
  const std::filesystem::path up_path = out_dir / (stem + "_UP" + ext);
  const std::filesystem::path down_path = out_dir / (stem + "_DOWN" + ext);
  for (const auto& [path, image] :
       {std::pair{up_path, &pair.up}, std::pair{down_path, &pair.down}}) {
    stitch::Status written;
    if (dng) {
      pin_white_level(*image);
      stitch::fixtures::DngFixtureOptions o;
      o.make = "DJI";
      o.model = "FCA188";
      o.iso = 100;
      o.baseline_exposure = 0.0f;
      o.xmp = xmp;
      written = stitch::fixtures::write_dng_fixture(path, *image, o);
    } else {
      stitch::fixtures::JpegOptions o;
      o.quality = quality;
      o.xmp = xmp;
      written = stitch::fixtures::write_jpeg_fixture(path, *image, o);
    }
    if (!written) {
      std::fprintf(stderr, "make-sample-pair: %s\n", written.error().display().c_str());
      return 1;
    }
    std::printf("%s\n", path.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The fixture writers report misuse by throwing; nothing may escape main.
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-sample-pair: %s\n", e.what());
    return 1;
  }
}
