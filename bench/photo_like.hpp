// A photo-like panorama for the writer and detail benchmarks: a sky gradient
// over textured ground with low-bit noise, so compressors and filters see
// something like real image statistics.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace stitch::bench {

struct PhotoLike {
  float ground_frequency = 1.0f;  // multiplies the ground texture's frequencies
  float noise = 0.004f;           // noise amplitude, in units of full scale
};

// width x height x 3 samples of type T, full scale `scale` (255, 65535, 1).
template <typename T>
std::vector<T> photo_like(std::uint32_t w, std::uint32_t h, float scale, PhotoLike look = {}) {
  std::vector<T> px(std::size_t{w} * h * 3);
  std::uint32_t state = 2463534242u;
  for (std::uint32_t y = 0; y < h; ++y) {
    const float v = static_cast<float>(y) / static_cast<float>(h);
    for (std::uint32_t x = 0; x < w; ++x) {
      const float u = static_cast<float>(x) / static_cast<float>(w);
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const float noise = static_cast<float>(state & 0xFF) / 255.0f - 0.5f;
      const float sky = 0.25f + 0.5f * (1.0f - v) + 0.1f * std::sin(12.0f * u + 3.0f * v);
      const float ground = 0.1f + 0.15f * std::sin(40.0f * look.ground_frequency * u) *
                                      std::cos(25.0f * look.ground_frequency * v);
      const float base = v < 0.5f ? sky : ground;
      const float rgb[3] = {base * 0.9f, base, base * (v < 0.5f ? 1.2f : 0.7f)};
      T* p = &px[(std::size_t{y} * w + x) * 3];
      for (int c = 0; c < 3; ++c) {
        p[c] = static_cast<T>(std::fmin(std::fmax(rgb[c] + noise * look.noise, 0.0f), 1.0f) * scale);
      }
    }
  }
  return px;
}

}  // namespace stitch::bench
