// The protocol records: requests with their settings, events with their
// payloads, and their JSON wire forms (strict reading, exact compact writing).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error/error.hpp"

namespace stitch {

// 16 raw bytes of a UUID.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};
  bool operator==(const Uuid&) const = default;
  bool is_nil() const;
  // 36 characters, lower-case, hyphenated 8-4-4-4-12.
  std::string to_string() const;
  // Accepts 32 hex digits, the hyphenated form, the hyphenated form in braces
  // and the "urn:uuid:" form; either letter case.
  static std::optional<Uuid> parse(std::string_view text);
  // A fresh random version-4 UUID.
  static Uuid random_v4();
};

// ---- request records ------------------------------------------------------

enum class OutputFormat : std::uint8_t { Jpg, Png, Tiff, Dng };
std::string_view output_format_name(OutputFormat f);  // "jpg", "png", ...

struct LensTransform {
  float centerX = 0.0f;
  float centerY = 0.0f;
  float radiusScale = 1.0f;
  float yawDegrees = 0.0f;
  float rollDegrees = 0.0f;
  bool operator==(const LensTransform&) const = default;
};

struct SphereRotation {
  float yawDegrees = 0.0f;
  float pitchDegrees = 0.0f;
  float rollDegrees = 0.0f;
  bool operator==(const SphereRotation&) const = default;
};

struct ColorAdjustments {
  std::uint16_t version = 2;
  float exposureEv = 0.0f;
  float brightness = 0.0f;
  float contrast = 0.0f;
  float highlights = 0.0f;
  float shadows = 0.0f;
  float saturation = 0.0f;
  float vibrance = 0.0f;
  float warmth = 0.0f;
  float tint = 0.0f;
  float clarity = 0.0f;
  float sharpening = 0.0f;
  float noiseReduction = 0.0f;
  bool operator==(const ColorAdjustments&) const = default;
};

struct StitchSettings {
  std::string presetId;
  std::uint16_t presetVersion = 0;
  std::string renderProfileId;
  std::uint32_t outputWidth = 0;
  float fovDegrees = 0.0f;
  float seamFeatherDegrees = 0.0f;
  LensTransform up;
  LensTransform down;
  SphereRotation sphere;
  ColorAdjustments color;
  bool autoAlign = false;
  bool exposureMatch = false;
  std::uint8_t multibandLevels = 0;
  bool operator==(const StitchSettings&) const = default;
};

struct ExportRequest {
  std::string destination;
  OutputFormat format = OutputFormat::Jpg;
  std::uint8_t jpegQuality = 0;
  bool embedMetadata = false;
  std::string tiffProfile;
  bool operator==(const ExportRequest&) const = default;
};

struct GetCapabilities {
  std::uint16_t protocol_version = 0;
  Uuid request_id;
};

struct InspectPair {
  std::uint16_t protocol_version = 0;
  Uuid request_id;
  std::filesystem::path up_path;
  std::filesystem::path down_path;
};

struct RenderPreview {
  std::uint16_t protocol_version = 0;
  Uuid request_id;
  Uuid job_id;
  std::filesystem::path up_path;
  std::filesystem::path down_path;
  std::filesystem::path destination;
  StitchSettings settings;
  bool defer_display_render = false;
};

struct StartExport {
  std::uint16_t protocol_version = 0;
  Uuid request_id;
  Uuid job_id;
  std::filesystem::path up_path;
  std::filesystem::path down_path;
  StitchSettings settings;
  ExportRequest export_request;  // wire key "export"
};

using WorkerRequest = std::variant<GetCapabilities, InspectPair, RenderPreview, StartExport>;

// ---- event records --------------------------------------------------------

enum class JobStage : std::uint8_t { Inspect, Decode, Align, Project, Blend, Encode, Complete };
std::string_view job_stage_name(JobStage s);

enum class FisheyeRole : std::uint8_t { Up, Down, Unknown };
std::string_view fisheye_role_name(FisheyeRole r);

enum class SourceFormat : std::uint8_t { Jpeg, Dng };
std::string_view source_format_name(SourceFormat f);

struct JobProgress {
  Uuid jobId;
  JobStage stage = JobStage::Decode;
  std::uint8_t progress = 0;
  std::string message;
};

struct Capabilities {
  std::string gpuBackend;
  bool rawSupport = true;
  std::vector<OutputFormat> outputFormats;
  std::uint32_t maxOutputWidth = 0;
};

struct SourceInfo {
  std::string path;
  FisheyeRole role = FisheyeRole::Unknown;
  SourceFormat format = SourceFormat::Jpeg;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bitDepth = 0;
  std::optional<std::string> camera;
  bool rawCapable = false;
  std::optional<float> iso;
  std::optional<float> baselineExposureEv;
};

struct PairInfo {
  Uuid pairId;
  SourceInfo up;
  SourceInfo down;
  std::vector<std::string> warnings;
  std::uint32_t recommendedWidth = 0;
  bool dngEligible = false;
  std::optional<SphereRotation> suggestedSphere;
};

struct PreviewInfo {
  std::string path;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool usedGpu = false;
  float appliedDownYaw = 0.0f;
  float appliedDownRoll = 0.0f;
  float appliedBaseExposureEv = 0.0f;
  std::string renderProfileId;
  std::optional<ColorAdjustments> suggestedColor;
};

struct ProgressEvent {
  Uuid request_id;
  JobProgress payload;
};
struct CapabilitiesEvent {
  Uuid request_id;
  Capabilities payload;
};
struct PairInspectedEvent {
  Uuid request_id;
  PairInfo payload;
};
struct PreviewReadyEvent {
  Uuid request_id;
  PreviewInfo payload;
};
struct ExportCompleteEvent {
  Uuid request_id;
  Uuid job_id;
  std::string destination;
};
struct FailedEvent {
  Uuid request_id;
  std::optional<Uuid> job_id;
  ErrorCode code = ErrorCode::IoError;
  std::string message;
};

using WorkerEvent = std::variant<ProgressEvent, CapabilitiesEvent, PairInspectedEvent,
                                 PreviewReadyEvent, ExportCompleteEvent, FailedEvent>;

// ---- wire forms -----------------------------------------------------------

// Reads one request from JSON text. Exactly one JSON value with optional JSON
// white space around it. On failure returns a one-line description.
struct RequestReadError {
  std::string description;
};
std::variant<WorkerRequest, RequestReadError> read_request(std::string_view json);

// Compact JSON text of an event, without the line end.
Result<std::string> write_event(const WorkerEvent& event);

}  // namespace stitch
