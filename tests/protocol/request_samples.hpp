// Request texts shared by the protocol tests: valid requests of each action
// and pieces to build faulty ones from.
#pragma once

#include <string>

namespace stitch::test {

inline const std::string kRequestId = "5f0c1c9e-2b7a-4d35-9a51-0c3f2b9d7e11";
inline const std::string kJobId = "0d3c7a52-86f1-4e0b-b6a4-2f9e8c1d7a30";

inline const std::string kLens =
    R"({"centerX":0.01,"centerY":-0.02,"radiusScale":1,"yawDegrees":0,"rollDegrees":0.5})";
inline const std::string kSphere = R"({"yawDegrees":10,"pitchDegrees":0,"rollDegrees":-1.5})";
inline const std::string kColor =
    R"({"version":2,"exposureEv":0.5,"brightness":1,"contrast":2,"highlights":3,"shadows":4,"saturation":5,)"
    R"("vibrance":6,"warmth":7,"tint":8,"clarity":9,"sharpening":10,"noiseReduction":11})";

// Settings with `extra` spliced in before the closing brace (it must start
// with a comma when not empty).
inline std::string settings_json(const std::string& extra = "", bool with_color = true) {
  return R"({"presetId":"dji-avata360","presetVersion":1,"renderProfileId":"dji-avata360-natural-v1",)"
         R"("outputWidth":8192,"fovDegrees":190,"seamFeatherDegrees":4.5,"up":)" +
         kLens + R"(,"down":)" + kLens + R"(,"sphere":)" + kSphere +
         (with_color ? R"(,"color":)" + kColor : std::string()) +
         R"(,"autoAlign":true,"exposureMatch":false,"multibandLevels":5)" + extra + "}";
}

inline std::string export_json(const std::string& extra = "") {
  return R"({"destination":"out/pano.tif","format":"tiff","jpegQuality":92,"embedMetadata":true,)"
         R"("tiffProfile":"prophoto")" +
         extra + "}";
}

inline std::string capabilities_request(int version = 3, const std::string& id = kRequestId) {
  return R"({"action":"get_capabilities","protocol_version":)" + std::to_string(version) + R"(,"request_id":")" +
         id + R"("})";
}

inline std::string inspect_request(int version = 3, const std::string& up = "a/UP.jpg",
                                   const std::string& down = "a/DOWN.jpg") {
  return R"({"action":"inspect_pair","protocol_version":)" + std::to_string(version) + R"(,"request_id":")" +
         kRequestId + R"(","up_path":")" + up + R"(","down_path":")" + down + R"("})";
}

inline std::string preview_request(int version = 3, const std::string& destination = "prev/p.jpg",
                                   const std::string& settings = settings_json()) {
  return R"({"action":"render_preview","protocol_version":)" + std::to_string(version) + R"(,"request_id":")" +
         kRequestId + R"(","job_id":")" + kJobId +
         R"(","up_path":"a/UP.jpg","down_path":"a/DOWN.jpg","destination":")" + destination +
         R"(","settings":)" + settings + "}";
}

inline std::string export_request(int version = 3, const std::string& exp = export_json()) {
  return R"({"action":"start_export","protocol_version":)" + std::to_string(version) + R"(,"request_id":")" +
         kRequestId + R"(","job_id":")" + kJobId + R"(","up_path":"a/UP.jpg","down_path":"a/DOWN.jpg","settings":)" +
         settings_json() + R"(,"export":)" + exp + "}";
}

}  // namespace stitch::test
