#include "support/synthetic_pair.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include <tbb/parallel_for.h>

namespace stitch::pairs {
namespace {

constexpr double kPiD = 3.14159265358979323846;
constexpr double kDeg = kPiD / 180.0;

struct Wave {
  double nx, ny, nz;  // unit wave direction
  double frequency;   // radians of phase per unit of direction
  double phase;
  double amplitude;
  int channel;  // 0..2: which channel it drives most
};

// Fixed pseudo-random waves: a deterministic generator keeps the scene the
// same on every machine and run.
const std::vector<Wave>& waves() {
  static const std::vector<Wave> table = [] {
    std::vector<Wave> out;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state] {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<double>(state >> 11) / static_cast<double>(1ull << 53);
    };
    // Frequencies from about 60-degree to 5-degree wavelengths.
    const double frequencies[] = {6.0, 13.0, 27.0, 45.0, 70.0};
    const double amplitudes[] = {0.10, 0.07, 0.05, 0.04, 0.03};
    for (int octave = 0; octave < 5; ++octave) {
      for (int i = 0; i < 3; ++i) {
        double x, y, z, len;
        do {
          x = next() * 2 - 1;
          y = next() * 2 - 1;
          z = next() * 2 - 1;
          len = std::sqrt(x * x + y * y + z * z);
        } while (len < 0.2 || len > 1.0);
        out.push_back({x / len, y / len, z / len, frequencies[octave], next() * 2 * kPiD,
                       amplitudes[octave], i});
      }
    }
    return out;
  }();
  return table;
}

float clamp01(double v) { return static_cast<float>(std::clamp(v, 0.0, 1.0)); }

}  // namespace

Rgb textured_scene(Vec3 d) {
  // Each wave drives its own channel fully and the other two at a quarter,
  // so channels are correlated (luminance has texture) but not identical.
  double c[3] = {0.36, 0.37, 0.35};
  for (const Wave& w : waves()) {
    const double s = w.amplitude * std::sin(w.frequency * (w.nx * d.x + w.ny * d.y + w.nz * d.z) + w.phase);
    for (int ch = 0; ch < 3; ++ch) c[ch] += ch == w.channel ? s : 0.25 * s;
  }
  // Amplitudes sum to at most 0.29 per channel own + 0.145 others: keep
  // inside [0.04, 0.7].
  return {static_cast<float>(std::clamp(c[0], 0.04, 0.7)),
          static_cast<float>(std::clamp(c[1], 0.04, 0.7)),
          static_cast<float>(std::clamp(c[2], 0.04, 0.7))};
}

Scene flat_scene(Rgb value) {
  return [value](Vec3) { return value; };
}

bool occluded(const Occluder& occluder, Vec3 d) {
  const double lat = std::asin(std::clamp(static_cast<double>(d.y), -1.0, 1.0)) / kDeg;
  if (lat > occluder.top_latitude_degrees) return false;
  const double lon = std::atan2(static_cast<double>(d.x), static_cast<double>(d.z)) / kDeg;
  double diff = std::fmod(lon - occluder.longitude_degrees, 360.0);
  if (diff > 180.0) diff -= 360.0;
  if (diff < -180.0) diff += 360.0;
  return std::fabs(diff) <= occluder.width_degrees * 0.5;
}

LinearImage render_fisheye(const Scene& scene_in, std::uint32_t size, float fov_degrees,
                           const LensTransform& lens, float axis_sign, Rgb exposure,
                           const std::optional<Occluder>& occluder, unsigned supersample) {
  const Scene scene = scene_in ? scene_in : Scene(textured_scene);
  const unsigned ss = std::max(1u, supersample);
  LinearImage image;
  image.width = size;
  image.height = size;
  image.pixels.assign(std::size_t{size} * size * 3, 0.0f);
  // The lens model in double precision: centre, radius of the field-of-view
  // edge, and the yaw/roll turns about the lens axis.
  const double w = size;
  const double h = size;
  const double half_fov = fov_degrees * kDeg * 0.5;
  const double edge_radius = (std::min(w, h) - 1.0) * 0.5 * lens.radiusScale;
  const double cx = (w - 1.0) * 0.5 + lens.centerX * w;
  const double cy = (h - 1.0) * 0.5 + lens.centerY * h;
  const double a = -lens.yawDegrees * kDeg;
  const double roll = lens.rollDegrees * kDeg;
  const double s = axis_sign > 0 ? 1.0 : -1.0;

  tbb::parallel_for(std::uint32_t{0}, size, [&](std::uint32_t py) {
    for (std::uint32_t px = 0; px < size; ++px) {
      double acc[3] = {0, 0, 0};
      for (unsigned sy = 0; sy < ss; ++sy) {
        for (unsigned sx = 0; sx < ss; ++sx) {
          const double x = px + (sx + 0.5) / ss - 0.5;
          const double y = py + (sy + 0.5) / ss - 0.5;
          // Invert px = cx + r sin(phi), py = cy - r cos(phi).
          const double dx = x - cx;
          const double dy = y - cy;
          const double r = std::hypot(dx, dy);
          const double theta = r / edge_radius * half_fov;
          if (theta > half_fov) continue;  // outside the image circle: black
          const double phi = std::atan2(dx, -dy) - roll;
          // Lens-frame direction, then undo the yaw turn about the axis.
          const double rx = std::sin(theta) * std::sin(phi);
          const double rz = s * std::sin(theta) * std::cos(phi);
          const Vec3 d{static_cast<float>(rx * std::cos(a) - rz * std::sin(a)),
                       static_cast<float>(s * std::cos(theta)),
                       static_cast<float>(rx * std::sin(a) + rz * std::cos(a))};
          Rgb c = scene(d);
          const double dark = occluder && occluded(*occluder, d) ? occluder->darkness : 1.0;
          for (int ch = 0; ch < 3; ++ch) acc[ch] += c[ch] * exposure[ch] * dark;
        }
      }
      float* dst = image.pixels.data() + (std::size_t{py} * size + px) * 3;
      for (int ch = 0; ch < 3; ++ch) dst[ch] = clamp01(acc[ch] / (ss * ss));
    }
  });
  return image;
}

Pair render_pair(const PairOptions& o) {
  Pair pair;
  pair.up = render_fisheye(o.scene, o.size, o.fov_degrees, o.up, 1.0f, o.up_exposure,
                           std::nullopt, o.supersample);
  pair.down = render_fisheye(o.scene, o.size, o.fov_degrees, o.down, -1.0f, o.down_exposure,
                             o.occluder, o.supersample);
  for (LinearImage* image : {&pair.up, &pair.down}) {
    image->raw = o.raw;
    image->camera = o.camera;
  }
  pair.up.iso = o.up_iso;
  pair.down.iso = o.down_iso;
  pair.up.baseline_exposure_ev = o.up_baseline_exposure_ev;
  pair.down.baseline_exposure_ev = o.down_baseline_exposure_ev;
  return pair;
}

LinearImage render_equirect(const Scene& scene_in, std::uint32_t width, std::uint32_t height) {
  const Scene scene = scene_in ? scene_in : Scene(textured_scene);
  LinearImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(std::size_t{width} * height * 3, 0.0f);
  tbb::parallel_for(std::uint32_t{0}, height, [&](std::uint32_t y) {
    const double lat = (static_cast<double>(height - 1 - y) / height - 0.5) * kPiD;
    for (std::uint32_t x = 0; x < width; ++x) {
      const double lon = ((1.0 - static_cast<double>(x) / width) - 0.5) * 2 * kPiD;
      const Vec3 d{static_cast<float>(std::cos(lat) * std::sin(lon)),
                   static_cast<float>(std::sin(lat)),
                   static_cast<float>(std::cos(lat) * std::cos(lon))};
      const Rgb c = scene(d);
      float* dst = image.pixels.data() + (std::size_t{y} * width + x) * 3;
      for (int ch = 0; ch < 3; ++ch) dst[ch] = c[ch];
    }
  });
  return image;
}

Result<PairPaths> write_pair_jpg(const std::filesystem::path& dir, const Pair& pair, int quality,
                                 const std::string& stem) {
  PairPaths paths{dir / (stem + "_UP.jpg"), dir / (stem + "_DOWN.jpg")};
  fixtures::JpegOptions options;
  options.quality = quality;
  if (Status s = fixtures::write_jpeg_fixture(paths.up, pair.up, options); !s) return s.error();
  if (Status s = fixtures::write_jpeg_fixture(paths.down, pair.down, options); !s) {
    return s.error();
  }
  return paths;
}

Result<PairPaths> write_pair_dng(const std::filesystem::path& dir, const Pair& pair,
                                 const fixtures::DngFixtureOptions& options,
                                 const std::string& stem) {
  PairPaths paths{dir / (stem + "_UP.dng"), dir / (stem + "_DOWN.dng")};
  auto write = [&](const std::filesystem::path& path, const LinearImage& image) -> Status {
    fixtures::DngFixtureOptions o = options;
    if (image.iso && std::isfinite(*image.iso) && *image.iso > 0.0f && *image.iso < 65535.0f) {
      o.iso = static_cast<std::uint16_t>(std::lround(*image.iso));
    }
    if (image.baseline_exposure_ev) o.baseline_exposure = image.baseline_exposure_ev;
    return fixtures::write_dng_fixture(path, image, o);
  };
  if (Status s = write(paths.up, pair.up); !s) return s.error();
  if (Status s = write(paths.down, pair.down); !s) return s.error();
  return paths;
}

}  // namespace stitch::pairs
