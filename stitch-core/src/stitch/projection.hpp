// The dual-fisheye projection: output pixel to sphere direction, direction to
// a point in an equidistant fisheye lens, pyramid sampling, exposure gains and
// the per-longitude seam blend; plus the half-size image pyramid and the
// circular occlusion-arc mask used by the seam search.
//
// Frames: the sphere frame has Y towards the UP lens (latitude +pi/2), Z
// towards longitude 0 and X towards longitude +pi/2. Output column 0 is
// longitude pi and longitude decreases to the right; row H - 1 is latitude
// -pi/2. Angles are radians here; settings carry degrees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image_io/image_io.hpp"
#include "stitch/settings.hpp"
#include "types/types.hpp"

namespace stitch {

inline constexpr float kPi = 3.14159265f;
inline constexpr float kDegToRad = 0.017453292f;
// At most this many images per pyramid, base included.
inline constexpr std::size_t kMaxPyramidImages = 8;
// Feathers above this (0.5 degree) blend the coarse bands over twice the width.
inline constexpr float kCoarseBandFeatherLimit = 0.0087266462f;
// Smallest feather ever used for blending (0.05 degree).
inline constexpr float kMinFeatherRadians = 0.00087266462f;

struct Vec3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};

// A position in a source image (pixel centres on integers, y downwards).
struct FisheyePoint {
  float x = 0.0f;
  float y = 0.0f;
};

// The samples of one lens for one direction: entry 0 from the base image,
// entry k from reduced level k. Fixed storage so the per-pixel path never
// allocates.
struct SampleList {
  std::array<Rgb, kMaxPyramidImages> entries{};
  std::uint8_t count = 0;
};

// A source image and up to seven halved copies of it. The base is borrowed
// and must outlive the pyramid.
class ImagePyramid {
 public:
  // Builds min(levels, 8) images in total (levels 0 and 1 give the base
  // alone); stops before halving an image narrower or lower than 4 pixels.
  // The rows of each level are computed in parallel.
  ImagePyramid(const LinearImage& base, std::uint8_t levels);
  ImagePyramid(LinearImage&& base, std::uint8_t levels) = delete;

  const LinearImage& base() const { return *base_; }
  // Reduced levels 1, 2, ... (level k is levels()[k - 1]).
  const std::vector<LinearImage>& levels() const { return levels_; }
  // Base plus reduced levels.
  std::size_t image_count() const { return 1 + levels_.size(); }
  // Image k of the pyramid, 0 being the base.
  const LinearImage& image(std::size_t k) const { return k == 0 ? *base_ : levels_[k - 1]; }

 private:
  const LinearImage* base_;
  std::vector<LinearImage> levels_;
};

// Box-filters 2 x 2 blocks into an image of floor(w/2) x floor(h/2), the last
// row/column repeating when a dimension is odd. Rows run in parallel. The
// metadata is copied from the input.
LinearImage downsample_half(const LinearImage& image);

// ---- scalar building blocks --------------------------------------------

// u^2 (3 - 2u) with u = clamp((x - e0) / (e1 - e0), 0, 1).
float smoothstep(float e0, float e1, float x);

// (cos lat sin lon, sin lat, cos lat cos lon).
Vec3 direction_from_lat_lon(float lat, float lon);

// Latitude of output row y of an H-row panorama: (max(H-1-y, 0)/H - 0.5) pi.
float output_latitude(std::uint32_t y, std::uint32_t height);
// Longitude of output column x of a W-column panorama: ((1 - x/W) - 0.5) 2 pi.
float output_longitude(std::uint32_t x, std::uint32_t width);
// The unrotated direction of output pixel (x, y).
Vec3 output_direction(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                      std::uint32_t height);

// Applies the inverse of the user's sphere rotation: about Y by -yaw, then
// about X by -pitch, then about Z by -roll (angles in degrees).
Vec3 rotate_sphere(Vec3 v, const SphereRotation& rotation);

// asin(clamp(v.y, -1, 1)).
float source_latitude(Vec3 v);
// atan2(v.x, v.z).
float source_longitude(Vec3 v);
// The longitude as a fraction of the circle in [0, 1): frac(0.5 - lon / 2 pi),
// the position at which the per-longitude lists are read.
float source_x(Vec3 v);

// Circular linear interpolation of a per-longitude list at fraction u in
// [0, 1); the list must not be empty.
float lookup_profile(std::span<const float> list, float u);

// 1 - smoothstep over |latitude| from 10 to 28 degrees: how much the local
// gain lists apply at this latitude.
float local_influence(float source_latitude);

// 1 + (lookup(list, u) - 1) * influence; 1 for an empty list.
float local_gain_factor(std::span<const float> list, float u, float influence);

// The UP share of the blend at signed distance delta (radians) above the
// seam for half-width feather: smoothstep(clamp((delta + f) / 2f, 0, 1)).
float seam_weight(float delta, float feather);

// max(seamFeatherDegrees, 0.05) in radians: the feather when the prepared
// record carries no feather list.
float fallback_feather(const StitchSettings& settings);

// ---- lens projection and sampling --------------------------------------

// Where direction d lands in a lens image of width x height pixels
// (equidistant model); absent when d is more than half the field of view
// away from the lens axis. axis_sign is +1 for the UP lens, -1 for DOWN.
// The point may still lie outside the image.
std::optional<FisheyePoint> project_to_fisheye(Vec3 d, const LensTransform& lens, float axis_sign,
                                               float fov_degrees, std::uint32_t width,
                                               std::uint32_t height);

// One lens transform with its per-lens constants (trigonometry, centre,
// radius) resolved once, for loops that project many directions through the
// same lens. Gives exactly the values of project_to_fisheye.
class FisheyeLens {
 public:
  FisheyeLens(const LensTransform& lens, float axis_sign, float fov_degrees, std::uint32_t width,
              std::uint32_t height);

  std::optional<FisheyePoint> project(Vec3 d) const;
  // project() followed by the bilinear sample of the image (which must have
  // the width and height given at construction).
  std::optional<Rgb> sample(const LinearImage& image, Vec3 d) const;

  float axis_sign() const { return axis_sign_; }
  float half_fov() const { return half_fov_; }
  // Distance in pixels from the lens centre of a direction theta radians off
  // the lens axis (equidistant model).
  float radius_at(float theta) const { return theta / half_fov_ * max_radius_ * radius_scale_; }
  float roll_radians() const { return roll_; }
  float center_x() const { return cx_; }
  float center_y() const { return cy_; }
  // The turn about the lens axis from the lens yaw: minus the yaw, radians.
  float yaw_turn_radians() const { return a_; }

 private:
  float axis_sign_;
  float half_fov_;
  float a_;
  float cos_a_;
  float sin_a_;
  float max_radius_;
  float radius_scale_;
  float roll_;
  float cx_;
  float cy_;
};

// The base-image sample of one lens for direction d: project_to_fisheye plus
// the bilinear sample of `image`; absent outside the lens or the image.
std::optional<Rgb> sample_fisheye(const LinearImage& image, Vec3 d, const LensTransform& lens,
                                  float axis_sign, float fov_degrees);

// Samples every image of the pyramid at the point where d lands in the lens;
// absent when d is outside the lens or any entry falls outside its image.
std::optional<SampleList> sample_fisheye_pyramid(const ImagePyramid& pyramid, Vec3 d,
                                                 const LensTransform& lens, float axis_sign,
                                                 float fov_degrees);

// ---- pixel rendering ---------------------------------------------------

// Linear RGB of output pixel (x, y) of a W x H panorama: the straightforward
// per-pixel form of the stitch, kept as the reference the raster loops are
// checked against. Pure and allocation free; safe to call concurrently.
Rgb render_pixel(const ImagePyramid& up, const ImagePyramid& down, const PreparedSettings& prepared,
                 std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height);

// What one output row shares between its pixels.
struct RowContext {
  std::uint32_t y = 0;
  float latitude = 0.0f;
  float sin_lat = 0.0f;
  float cos_lat = 0.0f;
  // Only used when the sphere rotation is the identity: the row's source
  // latitude and local-gain influence, and whether the whole row lies clear
  // of every possible seam blend (0 below, 1 above, -1 when it may blend).
  float source_latitude = 0.0f;
  float influence = 0.0f;
  int side = -1;
  // Identity rotation only: whether the row is within each lens's half field
  // of view, and its distance from each lens centre in pixels (negative when
  // the row's azimuths are reversed, which happens at the very bottom row).
  bool up_inside = false;
  bool down_inside = false;
  float up_radius = 0.0f;
  float down_radius = 0.0f;
  // Identity rotation only: whether every pixel of the row lands inside the
  // lens's base image and all its reduced levels (the row's circle, with a
  // margin for rounding, fits them), so the per-pixel bounds checks can go.
  bool up_all_present = false;
  bool down_all_present = false;
};

// Everything of one render that does not depend on the pixel: per-column
// trigonometry, the rotation, the lens constants, the gains and the extent
// of the seam band. Build once per render (it allocates its column tables),
// then call pixel() or render_row() from any number of threads.
// Agrees with render_pixel within float rounding.
class RenderContext {
 public:
  RenderContext(const ImagePyramid& up, const ImagePyramid& down, const PreparedSettings& prepared,
                std::uint32_t width, std::uint32_t height);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  RowContext row(std::uint32_t y) const;
  Rgb pixel(const RowContext& row, std::uint32_t x) const;
  // Renders the whole row y into out (out.size() must be at least width()).
  void render_row(std::uint32_t y, std::span<Rgb> out) const;

 private:
  // One lens with everything its per-pixel sampling needs.
  struct LensState {
    const ImagePyramid* pyramid = nullptr;
    FisheyeLens lens{LensTransform{}, 1.0f, 180.0f, 1, 1};
    // cos/sin of the angle that turns the direction's azimuth about the
    // lens axis into the image angle (lens yaw and roll combined).
    float cos_turn = 1.0f;
    float sin_turn = 0.0f;
    std::array<float, 3> gain{1.0f, 1.0f, 1.0f};
    std::span<const float> local_gains;
    // Per reduced level: w_k / W, h_k / H and the largest valid coordinates.
    std::array<std::array<float, 4>, kMaxPyramidImages> levels{};
    std::size_t level_count = 0;  // reduced levels
    bool usable = false;          // pixel buffers consistent with the sizes
    // Identity rotation: sine and cosine of the image angle per column.
    std::vector<float> column_sin;
    std::vector<float> column_cos;
  };
  // Where the pixel lands in one lens, and whether the lens sees it at all.
  struct Hit {
    FisheyePoint point;
    bool inside = false;
    bool known_present = false;  // the row already proved present()
  };

  bool present(const LensState& lens, const Hit& hit) const;
  bool row_all_present(const LensState& lens, bool inside, float radius) const;
  Rgb sample_base(const LensState& lens, FisheyePoint point, float factor) const;
  void sample_all(const LensState& lens, FisheyePoint point, float factor, SampleList& out) const;
  Rgb single_lens(const LensState& first, const Hit& first_hit, float first_factor,
                  const LensState& second, const Hit& second_hit, float second_factor) const;

  const PreparedSettings* prepared_;
  std::uint32_t width_;
  std::uint32_t height_;
  bool identity_rotation_;
  std::array<float, 6> rotation_;  // cos/sin of -yaw, -pitch, -roll
  LensState up_;
  LensState down_;
  std::size_t blend_levels_;  // L of the multiband blend when both lenses are present
  float fallback_feather_;
  // Source latitudes (radians) beyond which the blend weights are exactly 0
  // (below) or 1 (above) whatever the seam and feather lists hold.
  float blend_low_;
  float blend_high_;
  std::vector<float> sin_lon_;
  std::vector<float> cos_lon_;
  // Per column, for the identity rotation: source_x and the list lookups.
  std::vector<float> column_u_;
  std::vector<float> column_seam_;
  std::vector<float> column_feather_;
  std::vector<float> column_up_gain_;
  std::vector<float> column_down_gain_;
};

// Circular hysteresis over per-step occlusion scores: arcs seeded where the
// score reaches 0.01, grown one step per side per pass (for at most an eighth
// of the circle) through steps whose score, widened by two steps each way,
// reaches 0.0025.
std::vector<bool> connected_occlusion_arc_mask(std::span<const float> scores);

}  // namespace stitch
