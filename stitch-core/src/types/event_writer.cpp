// Compact JSON text of the events. Hand-written rather than built through a
// JSON library's DOM because the wire form fixes key order, float spelling
// and the escaping set exactly.
#include <charconv>
#include <cmath>
#include <system_error>

#include "types/types.hpp"

namespace stitch {
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 if invalid.
std::size_t utf8_sequence_length(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (b0 >= 0xc2 && b0 <= 0xdf) {
    len = 2;
  } else if (b0 >= 0xe0 && b0 <= 0xef) {
    len = 3;
    if (b0 == 0xe0) lo = 0xa0;  // no overlong forms
    if (b0 == 0xed) hi = 0x9f;  // no surrogates
  } else if (b0 >= 0xf0 && b0 <= 0xf4) {
    len = 4;
    if (b0 == 0xf0) lo = 0x90;
    if (b0 == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  if (b1 < lo || b1 > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80 || b > 0xbf) return 0;
  }
  return len;
}

class Writer {
 public:
  std::string take() { return std::move(out_); }

  void open() {
    out_.push_back('{');
    first_ = true;
  }
  void close() {
    out_.push_back('}');
    first_ = false;
  }
  void key(std::string_view name) {
    if (!first_) out_.push_back(',');
    first_ = false;
    out_.push_back('"');
    out_.append(name);
    out_.append("\":");
  }

  void string(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out_.push_back('"');
    while (!s.empty()) {
      const auto c = static_cast<unsigned char>(s[0]);
      if (c >= 0x80) {
        const std::size_t len = utf8_sequence_length(s);
        if (len == 0) {
          // Event text must stay valid UTF-8 even if a nested library's
          // message carried raw bytes; such a byte becomes U+FFFD.
          out_.append("\xef\xbf\xbd");
          s.remove_prefix(1);
        } else {
          out_.append(s.substr(0, len));
          s.remove_prefix(len);
        }
        continue;
      }
      switch (c) {
        case '"': out_.append("\\\""); break;
        case '\\': out_.append("\\\\"); break;
        case '\b': out_.append("\\b"); break;
        case '\t': out_.append("\\t"); break;
        case '\n': out_.append("\\n"); break;
        case '\f': out_.append("\\f"); break;
        case '\r': out_.append("\\r"); break;
        default:
          if (c < 0x20) {
            out_.append("\\u00");
            out_.push_back(kHex[c >> 4]);
            out_.push_back(kHex[c & 0x0f]);
          } else {
            out_.push_back(static_cast<char>(c));
          }
      }
      s.remove_prefix(1);
    }
    out_.push_back('"');
  }

  void uuid(const Uuid& id) {
    out_.push_back('"');
    out_.append(id.to_string());
    out_.push_back('"');
  }
  void boolean(bool v) { out_.append(v ? "true" : "false"); }
  void null() { out_.append("null"); }
  void unsigned_int(std::uint64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
  }
  // Shortest text that reads back as the same float; always with a fraction
  // or exponent so that readers never take it for an integer.
  void f32(float v) {
    if (!std::isfinite(v)) {
      null();
      return;
    }
    char buf[48];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
    out_.append(text);
    if (text.find_first_of(".e") == std::string_view::npos) out_.append(".0");
  }
  void optional_f32(const std::optional<float>& v) {
    if (v) {
      f32(*v);
    } else {
      null();
    }
  }
  void raw(std::string_view text) { out_.append(text); }

 private:
  std::string out_;
  bool first_ = true;
};

void write_color(Writer& w, const ColorAdjustments& c) {
  w.open();
  w.key("version"), w.unsigned_int(c.version);
  w.key("exposureEv"), w.f32(c.exposureEv);
  w.key("brightness"), w.f32(c.brightness);
  w.key("contrast"), w.f32(c.contrast);
  w.key("highlights"), w.f32(c.highlights);
  w.key("shadows"), w.f32(c.shadows);
  w.key("saturation"), w.f32(c.saturation);
  w.key("vibrance"), w.f32(c.vibrance);
  w.key("warmth"), w.f32(c.warmth);
  w.key("tint"), w.f32(c.tint);
  w.key("clarity"), w.f32(c.clarity);
  w.key("sharpening"), w.f32(c.sharpening);
  w.key("noiseReduction"), w.f32(c.noiseReduction);
  w.close();
}

void write_source(Writer& w, const SourceInfo& s) {
  w.open();
  w.key("path"), w.string(s.path);
  w.key("role"), w.string(fisheye_role_name(s.role));
  w.key("format"), w.string(source_format_name(s.format));
  w.key("width"), w.unsigned_int(s.width);
  w.key("height"), w.unsigned_int(s.height);
  w.key("bitDepth"), w.unsigned_int(s.bitDepth);
  w.key("camera");
  if (s.camera) {
    w.string(*s.camera);
  } else {
    w.null();
  }
  w.key("rawCapable"), w.boolean(s.rawCapable);
  w.key("iso"), w.optional_f32(s.iso);
  w.key("baselineExposureEv"), w.optional_f32(s.baselineExposureEv);
  w.close();
}

void write_head(Writer& w, std::string_view event, const Uuid& request_id) {
  w.open();
  w.key("event"), w.string(event);
  w.key("request_id"), w.uuid(request_id);
}

struct EventVisitor {
  Writer& w;

  void operator()(const ProgressEvent& e) const {
    write_head(w, "progress", e.request_id);
    w.key("payload");
    w.open();
    w.key("jobId"), w.uuid(e.payload.jobId);
    w.key("stage"), w.string(job_stage_name(e.payload.stage));
    w.key("progress"), w.unsigned_int(e.payload.progress);
    w.key("message"), w.string(e.payload.message);
    w.close();
    w.close();
  }

  void operator()(const CapabilitiesEvent& e) const {
    write_head(w, "capabilities", e.request_id);
    w.key("payload");
    w.open();
    w.key("gpuBackend"), w.string(e.payload.gpuBackend);
    w.key("rawSupport"), w.boolean(e.payload.rawSupport);
    w.key("outputFormats");
    w.raw("[");
    for (std::size_t i = 0; i < e.payload.outputFormats.size(); ++i) {
      if (i > 0) w.raw(",");
      w.string(output_format_name(e.payload.outputFormats[i]));
    }
    w.raw("]");
    w.key("maxOutputWidth"), w.unsigned_int(e.payload.maxOutputWidth);
    w.close();
    w.close();
  }

  void operator()(const PairInspectedEvent& e) const {
    const PairInfo& p = e.payload;
    write_head(w, "pair_inspected", e.request_id);
    w.key("payload");
    w.open();
    w.key("pairId"), w.uuid(p.pairId);
    w.key("up"), write_source(w, p.up);
    w.key("down"), write_source(w, p.down);
    w.key("warnings");
    w.raw("[");
    for (std::size_t i = 0; i < p.warnings.size(); ++i) {
      if (i > 0) w.raw(",");
      w.string(p.warnings[i]);
    }
    w.raw("]");
    w.key("recommendedWidth"), w.unsigned_int(p.recommendedWidth);
    w.key("dngEligible"), w.boolean(p.dngEligible);
    w.key("suggestedSphere");
    if (p.suggestedSphere) {
      w.open();
      w.key("yawDegrees"), w.f32(p.suggestedSphere->yawDegrees);
      w.key("pitchDegrees"), w.f32(p.suggestedSphere->pitchDegrees);
      w.key("rollDegrees"), w.f32(p.suggestedSphere->rollDegrees);
      w.close();
    } else {
      w.null();
    }
    w.close();
    w.close();
  }

  void operator()(const PreviewReadyEvent& e) const {
    const PreviewInfo& p = e.payload;
    write_head(w, "preview_ready", e.request_id);
    w.key("payload");
    w.open();
    w.key("path"), w.string(p.path);
    w.key("width"), w.unsigned_int(p.width);
    w.key("height"), w.unsigned_int(p.height);
    w.key("usedGpu"), w.boolean(p.usedGpu);
    w.key("appliedDownYaw"), w.f32(p.appliedDownYaw);
    w.key("appliedDownRoll"), w.f32(p.appliedDownRoll);
    w.key("appliedBaseExposureEv"), w.f32(p.appliedBaseExposureEv);
    w.key("renderProfileId"), w.string(p.renderProfileId);
    w.key("suggestedColor");
    if (p.suggestedColor) {
      write_color(w, *p.suggestedColor);
    } else {
      w.null();
    }
    w.close();
    w.close();
  }

  void operator()(const ExportCompleteEvent& e) const {
    write_head(w, "export_complete", e.request_id);
    w.key("job_id"), w.uuid(e.job_id);
    w.key("destination"), w.string(e.destination);
    w.close();
  }

  void operator()(const FailedEvent& e) const {
    write_head(w, "failed", e.request_id);
    w.key("job_id");
    if (e.job_id) {
      w.uuid(*e.job_id);
    } else {
      w.null();
    }
    w.key("code"), w.string(error_code_name(e.code));
    w.key("message"), w.string(e.message);
    w.close();
  }
};

}  // namespace

Result<std::string> write_event(const WorkerEvent& event) {
  Writer w;
  std::visit(EventVisitor{w}, event);
  return w.take();
}

}  // namespace stitch
