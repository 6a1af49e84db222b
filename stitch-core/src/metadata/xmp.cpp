// The panorama XMP packet and its placement into a JPEG stream.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>

#include "metadata/metadata.hpp"

namespace stitch {
namespace {

// Fixed-point text of the float's exact value with `decimals` digits after the
// point. std::to_chars rounds the exact binary value, ties to even, and keeps
// the sign of values that round to zero ("-0.0"), which is what readers of
// these properties expect.
std::string fixed(float value, int decimals) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (res.ec != std::errc{}) return "0";  // unreachable: 64 bytes hold any float at 2 decimals
  return std::string(buf, res.ptr);
}

// clamp that keeps NaN out of the packet's resolved values.
float clamp_finite(float v, float lo, float hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

void attr_line(std::string& out, std::string_view name, std::string_view value) {
  out += "   ";
  out += name;
  out += "=\"";
  out += value;
  out += '"';
}

}  // namespace

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // One pass is equivalent to the five successive replacements because "&"
  // comes first: no replacement introduces a character a later one replaces,
  // except "&", which is handled before any entity exists.
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string panorama_xmp(std::uint32_t width, std::uint32_t height,
                         const std::vector<std::string>& sources, const StitchSettings& settings,
                         const RenderProfileParams& baseline) {
  const ColorAdjustments& c = settings.color;
  const float resolved_clarity = clamp_finite(baseline.clarity_boost + c.clarity, -100.0f, 100.0f);
  const float resolved_sharpening =
      clamp_finite(baseline.sharpening_boost + c.sharpening, 0.0f, 100.0f);
  const float resolved_noise =
      clamp_finite(baseline.noise_reduction + c.noiseReduction, 0.0f, 100.0f);

  std::string joined;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (i > 0) joined += "; ";
    joined += xml_escape(sources[i]);
  }

  const std::string w = std::to_string(width);
  const std::string h = std::to_string(height);

  std::string out;
  out.reserve(2048 + joined.size() + settings.presetId.size());
  out += "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n";
  out += "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n";
  out += " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
  out += "  <rdf:Description rdf:about=\"\"\n";
  out += "   xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\"\n";
  out += "   xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n";
  out += "   xmlns:orv=\"";
  out += kOrvXmpNamespace;
  out += "\"\n";

  const std::pair<std::string_view, std::string> attrs[] = {
      {"GPano:ProjectionType", "equirectangular"},
      {"GPano:UsePanoramaViewer", "True"},
      {"GPano:FullPanoWidthPixels", w},
      {"GPano:FullPanoHeightPixels", h},
      {"GPano:CroppedAreaImageWidthPixels", w},
      {"GPano:CroppedAreaImageHeightPixels", h},
      {"GPano:CroppedAreaLeftPixels", "0"},
      {"GPano:CroppedAreaTopPixels", "0"},
      {"orv:Preset", xml_escape(settings.presetId)},
      {"orv:PresetVersion", std::to_string(settings.presetVersion)},
      {"orv:Sources", joined},
      {"orv:ColorVersion", std::to_string(c.version)},
      {"orv:ToneTransformVersion", "1"},
      {"orv:DetailTransformVersion", "1"},
      {"orv:RenderProfile", std::string(baseline.id())},
      {"orv:AppliedBaseExposureEV", fixed(baseline.base_exposure_ev, 2)},
      {"orv:ExposureEV", fixed(c.exposureEv, 1)},
      {"orv:Brightness", fixed(c.brightness, 1)},
      {"orv:Contrast", fixed(c.contrast, 1)},
      {"orv:Highlights", fixed(c.highlights, 1)},
      {"orv:Shadows", fixed(c.shadows, 1)},
      {"orv:Saturation", fixed(c.saturation, 1)},
      {"orv:Vibrance", fixed(c.vibrance, 1)},
      {"orv:Warmth", fixed(c.warmth, 1)},
      {"orv:Tint", fixed(c.tint, 1)},
      {"orv:Clarity", fixed(c.clarity, 1)},
      {"orv:Sharpening", fixed(c.sharpening, 1)},
      {"orv:NoiseReduction", fixed(c.noiseReduction, 1)},
      {"orv:ResolvedClarity", fixed(resolved_clarity, 1)},
      {"orv:ResolvedSharpening", fixed(resolved_sharpening, 1)},
      {"orv:ResolvedNoiseReduction", fixed(resolved_noise, 1)},
      {"dc:format", "image/equirectangular"},
  };
  for (const auto& [name, value] : attrs) {
    attr_line(out, name, value);
    out += '\n';
  }
  // The last attribute closes the element: replace its line feed.
  out.pop_back();
  out += "/>\n";
  out += " </rdf:RDF>\n";
  out += "</x:xmpmeta>\n";
  out += "<?xpacket end=\"w\"?>";
  return out;
}

Result<std::vector<std::uint8_t>> inject_xmp_into_jpeg(std::span<const std::uint8_t> jpeg,
                                                       std::string_view packet) {
  if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
    return Err(StitchError::export_failed("JPEG encoder returned an invalid stream"));
  }
  if (packet.size() > kMaxJpegXmpPacket) {
    return Err(StitchError::export_failed("Panorama metadata is too large for a JPEG APP1 segment"));
  }
  const std::size_t segment_length = packet.size() + 2 + kJpegXmpIdentifier.size();
  std::vector<std::uint8_t> out;
  out.reserve(jpeg.size() + packet.size() + 33);
  out.push_back(0xFF);
  out.push_back(0xD8);
  out.push_back(0xFF);
  out.push_back(0xE1);
  out.push_back(static_cast<std::uint8_t>(segment_length >> 8));
  out.push_back(static_cast<std::uint8_t>(segment_length & 0xFF));
  out.insert(out.end(), kJpegXmpIdentifier.begin(), kJpegXmpIdentifier.end());
  out.insert(out.end(), packet.begin(), packet.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

}  // namespace stitch
