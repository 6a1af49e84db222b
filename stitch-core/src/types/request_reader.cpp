// Strict reading of one request through nlohmann-json's SAX interface: the
// DOM parser keeps the last of duplicate keys silently, so only the event
// stream lets us see every key of every object as it comes.
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <span>
#include <system_error>

#include <nlohmann/json.hpp>

#include "types/types.hpp"

namespace stitch {
namespace {

using json = nlohmann::json;

// Deeper input is refused: our own state stays small however the input nests.
constexpr std::size_t kMaxDepth = 128;
// Keys and numbers quoted back in descriptions are cut to this many bytes.
constexpr std::size_t kMaxQuoted = 64;

enum class FieldType : std::uint8_t { U8, U16, U32, F32, Bool, Text, Id, Format, Action, Record };
enum class RecordKind : std::uint8_t { Request, Settings, Lens, Sphere, Color, Export };

struct FieldDesc {
  std::string_view name;
  FieldType type;
  bool required;
  RecordKind record;           // for FieldType::Record
  void* (*member)(void* obj);  // address of the field inside its record
};

// Everything a request of any action may carry; which keys count depends on
// `action`, known only at the end of the object.
struct AnyRequest {
  std::string action;
  std::uint16_t protocol_version = 0;
  Uuid request_id;
  Uuid job_id;
  std::string up_path;
  std::string down_path;
  std::string destination;
  StitchSettings settings;
  bool defer_display_render = false;
  ExportRequest export_request;
};

#define STITCH_MEMBER(Type, field) [](void* o) -> void* { return &static_cast<Type*>(o)->field; }

const FieldDesc kRequestFields[] = {
    {"action", FieldType::Action, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, action)},
    {"protocol_version", FieldType::U16, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, protocol_version)},
    {"request_id", FieldType::Id, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, request_id)},
    {"job_id", FieldType::Id, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, job_id)},
    {"up_path", FieldType::Text, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, up_path)},
    {"down_path", FieldType::Text, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, down_path)},
    {"destination", FieldType::Text, true, RecordKind::Request, STITCH_MEMBER(AnyRequest, destination)},
    {"settings", FieldType::Record, true, RecordKind::Settings, STITCH_MEMBER(AnyRequest, settings)},
    {"defer_display_render", FieldType::Bool, false, RecordKind::Request,
     STITCH_MEMBER(AnyRequest, defer_display_render)},
    {"export", FieldType::Record, true, RecordKind::Export, STITCH_MEMBER(AnyRequest, export_request)},
};

const FieldDesc kSettingsFields[] = {
    {"presetId", FieldType::Text, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, presetId)},
    {"presetVersion", FieldType::U16, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, presetVersion)},
    {"renderProfileId", FieldType::Text, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, renderProfileId)},
    {"outputWidth", FieldType::U32, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, outputWidth)},
    {"fovDegrees", FieldType::F32, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, fovDegrees)},
    {"seamFeatherDegrees", FieldType::F32, true, RecordKind::Settings,
     STITCH_MEMBER(StitchSettings, seamFeatherDegrees)},
    {"up", FieldType::Record, true, RecordKind::Lens, STITCH_MEMBER(StitchSettings, up)},
    {"down", FieldType::Record, true, RecordKind::Lens, STITCH_MEMBER(StitchSettings, down)},
    {"sphere", FieldType::Record, true, RecordKind::Sphere, STITCH_MEMBER(StitchSettings, sphere)},
    {"color", FieldType::Record, false, RecordKind::Color, STITCH_MEMBER(StitchSettings, color)},
    {"autoAlign", FieldType::Bool, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, autoAlign)},
    {"exposureMatch", FieldType::Bool, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, exposureMatch)},
    {"multibandLevels", FieldType::U8, true, RecordKind::Settings, STITCH_MEMBER(StitchSettings, multibandLevels)},
};

const FieldDesc kLensFields[] = {
    {"centerX", FieldType::F32, true, RecordKind::Lens, STITCH_MEMBER(LensTransform, centerX)},
    {"centerY", FieldType::F32, true, RecordKind::Lens, STITCH_MEMBER(LensTransform, centerY)},
    {"radiusScale", FieldType::F32, true, RecordKind::Lens, STITCH_MEMBER(LensTransform, radiusScale)},
    {"yawDegrees", FieldType::F32, true, RecordKind::Lens, STITCH_MEMBER(LensTransform, yawDegrees)},
    {"rollDegrees", FieldType::F32, true, RecordKind::Lens, STITCH_MEMBER(LensTransform, rollDegrees)},
};

const FieldDesc kSphereFields[] = {
    {"yawDegrees", FieldType::F32, true, RecordKind::Sphere, STITCH_MEMBER(SphereRotation, yawDegrees)},
    {"pitchDegrees", FieldType::F32, true, RecordKind::Sphere, STITCH_MEMBER(SphereRotation, pitchDegrees)},
    {"rollDegrees", FieldType::F32, true, RecordKind::Sphere, STITCH_MEMBER(SphereRotation, rollDegrees)},
};

const FieldDesc kColorFields[] = {
    {"version", FieldType::U16, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, version)},
    {"exposureEv", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, exposureEv)},
    {"brightness", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, brightness)},
    {"contrast", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, contrast)},
    {"highlights", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, highlights)},
    {"shadows", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, shadows)},
    {"saturation", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, saturation)},
    {"vibrance", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, vibrance)},
    {"warmth", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, warmth)},
    {"tint", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, tint)},
    {"clarity", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, clarity)},
    {"sharpening", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, sharpening)},
    {"noiseReduction", FieldType::F32, true, RecordKind::Color, STITCH_MEMBER(ColorAdjustments, noiseReduction)},
};

const FieldDesc kExportFields[] = {
    {"destination", FieldType::Text, true, RecordKind::Export, STITCH_MEMBER(ExportRequest, destination)},
    {"format", FieldType::Format, true, RecordKind::Export, STITCH_MEMBER(ExportRequest, format)},
    {"jpegQuality", FieldType::U8, true, RecordKind::Export, STITCH_MEMBER(ExportRequest, jpegQuality)},
    {"embedMetadata", FieldType::Bool, true, RecordKind::Export, STITCH_MEMBER(ExportRequest, embedMetadata)},
    {"tiffProfile", FieldType::Text, true, RecordKind::Export, STITCH_MEMBER(ExportRequest, tiffProfile)},
};

#undef STITCH_MEMBER

std::span<const FieldDesc> fields_of(RecordKind kind) {
  switch (kind) {
    case RecordKind::Request: return kRequestFields;
    case RecordKind::Settings: return kSettingsFields;
    case RecordKind::Lens: return kLensFields;
    case RecordKind::Sphere: return kSphereFields;
    case RecordKind::Color: return kColorFields;
    case RecordKind::Export: return kExportFields;
  }
  return {};
}

std::string_view record_name(RecordKind kind) {
  switch (kind) {
    case RecordKind::Request: return "a request object";
    case RecordKind::Settings: return "a StitchSettings object";
    case RecordKind::Lens: return "a LensTransform object";
    case RecordKind::Sphere: return "a SphereRotation object";
    case RecordKind::Color: return "a ColorAdjustments object";
    case RecordKind::Export: return "an ExportRequest object";
  }
  return "an object";
}

std::string_view expected_text(const FieldDesc& f) {
  switch (f.type) {
    case FieldType::U8: return "an unsigned 8-bit integer";
    case FieldType::U16: return "an unsigned 16-bit integer";
    case FieldType::U32: return "an unsigned 32-bit integer";
    case FieldType::F32: return "a number";
    case FieldType::Bool: return "a boolean";
    case FieldType::Text: return "a string";
    case FieldType::Id: return "a UUID string";
    case FieldType::Format: return "one of `jpg`, `png`, `tiff`, `dng`";
    case FieldType::Action:
      return "one of `get_capabilities`, `inspect_pair`, `render_preview`, `start_export`";
    case FieldType::Record: return record_name(f.record);
  }
  return "a value";
}

// At most kMaxQuoted bytes of `s`, cut on a UTF-8 character boundary.
std::string quote(std::string_view s) {
  if (s.size() <= kMaxQuoted) return std::string(s);
  std::size_t cut = kMaxQuoted;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xc0) == 0x80) --cut;
  return std::string(s.substr(0, cut)) + "...";
}

// Which request-level keys each action reads, in declaration order.
struct ActionDesc {
  std::string_view name;
  std::initializer_list<std::string_view> keys;
};
const ActionDesc kActions[] = {
    {"get_capabilities", {"protocol_version", "request_id"}},
    {"inspect_pair", {"protocol_version", "request_id", "up_path", "down_path"}},
    {"render_preview",
     {"protocol_version", "request_id", "job_id", "up_path", "down_path", "destination", "settings",
      "defer_display_render"}},
    {"start_export", {"protocol_version", "request_id", "job_id", "up_path", "down_path", "settings", "export"}},
};

// One scalar JSON value as the parser delivered it.
struct Scalar {
  enum class Kind { Null, Bool, Negative, Unsigned, Float, String } kind;
  bool b = false;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0.0;
  const std::string* text = nullptr;  // raw number text, or the string value

  std::string describe() const {
    switch (kind) {
      case Kind::Null: return "null";
      case Kind::Bool: return b ? "boolean `true`" : "boolean `false`";
      case Kind::Negative: return "integer `" + std::to_string(i) + "`";
      case Kind::Unsigned: return "integer `" + std::to_string(u) + "`";
      case Kind::Float: return "floating point `" + quote(*text) + "`";
      case Kind::String: return "string \"" + quote(*text) + "\"";
    }
    return "a value";
  }
};

class RequestSax {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  // --- nlohmann SAX interface ---------------------------------------------
  bool null() { return scalar({Scalar::Kind::Null}); }
  bool boolean(bool v) {
    Scalar s{Scalar::Kind::Bool};
    s.b = v;
    return scalar(s);
  }
  bool number_integer(number_integer_t v) {
    // Only negative values arrive here ("-0" included); the rest are unsigned.
    Scalar s{v < 0 ? Scalar::Kind::Negative : Scalar::Kind::Unsigned};
    s.i = v;
    s.u = v < 0 ? 0 : static_cast<std::uint64_t>(v);
    return scalar(s);
  }
  bool number_unsigned(number_unsigned_t v) {
    Scalar s{Scalar::Kind::Unsigned};
    s.u = v;
    return scalar(s);
  }
  bool number_float(number_float_t v, const string_t& raw) {
    Scalar s{Scalar::Kind::Float};
    s.d = v;
    s.text = &raw;
    return scalar(s);
  }
  bool string(string_t& v) {
    Scalar s{Scalar::Kind::String};
    s.text = &v;
    return scalar(s);
  }
  bool binary(binary_t&) { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) { return start_container(true); }
  bool start_array(std::size_t) { return start_container(false); }
  bool end_array() { return end_container(); }
  bool end_object() { return end_container(); }

  bool key(string_t& name) {
    if (skip_depth_ > 0) return true;
    Frame& f = frames_.back();
    ++f.key_count;
    f.pending = nullptr;
    f.pending_key = std::move(name);
    if (!f.seen.insert(f.pending_key).second) {
      // The repeated value is skipped; the error stands whatever it holds.
      f.note_error(f.key_count, "duplicate field `" + quote(path_of(f.pending_key)) + "`", true);
      return true;
    }
    for (const auto& field : fields_of(f.kind)) {
      if (field.name == f.pending_key) {
        f.pending = &field;
        break;
      }
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..."
    std::string_view what = ex.what();
    if (const auto close = what.find("] "); close != std::string_view::npos) what.remove_prefix(close + 2);
    syntax_error_ = std::string(what.substr(0, 512));
    return false;
  }

  // --- results --------------------------------------------------------------
  const std::optional<std::string>& failure() const { return failure_; }
  const std::optional<std::string>& syntax_error() const { return syntax_error_; }
  AnyRequest& request() { return request_; }
  // Key-level outcome of the top-level object: the first error among the keys
  // that `action` reads, in document order, or the first missing key.
  std::optional<std::string> check_action(const ActionDesc& action) const;

 private:
  struct Frame {
    RecordKind kind;
    void* target;
    std::string path;  // dotted key path of this object, empty at top level
    std::set<std::string> seen;
    const FieldDesc* pending = nullptr;
    std::string pending_key;
    std::size_t key_count = 0;
    // Top level: errors per key (document position, key, text) since which
    // of them matter depends on `action`. Below it: only the first error.
    struct Noted {
      std::size_t position;
      std::string key;
      std::string text;
      bool any_action;  // a duplicate key counts whatever the action
    };
    std::vector<Noted> errors;

    void note_error(std::size_t position, std::string text, bool any_action) {
      if (kind != RecordKind::Request && !errors.empty()) return;
      if (kind == RecordKind::Request && errors.size() >= 64) return;
      errors.push_back({position, pending_key, std::move(text), any_action});
    }
  };

  std::string path_of(std::string_view key) const {
    const std::string& base = frames_.back().path;
    return base.empty() ? std::string(key) : base + "." + std::string(key);
  }

  bool fail(std::string text) {
    failure_ = std::move(text);
    return false;
  }

  std::size_t depth() const { return frames_.size() + skip_depth_; }

  bool start_container(bool object) {
    if (depth() >= kMaxDepth) {
      return fail("recursion limit exceeded: nesting deeper than " + std::to_string(kMaxDepth) +
                  " levels");
    }
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return true;
    }
    if (frames_.empty()) {
      if (!object || root_seen_) return fail("invalid type: sequence, expected a request object");
      root_seen_ = true;
      frames_.push_back(Frame{RecordKind::Request, &request_, {}});
      return true;
    }
    Frame& f = frames_.back();
    const FieldDesc* field = f.pending;
    if (field == nullptr) {  // an ignored key's value
      ++skip_depth_;
      return true;
    }
    if (field->type != FieldType::Record || !object) {
      f.note_error(f.key_count,
                   std::string("invalid type: ") + (object ? "map" : "sequence") + ", expected " +
                       std::string(expected_text(*field)) + " at `" + quote(path_of(f.pending_key)) + "`",
                   false);
      ++skip_depth_;
      return true;
    }
    Frame child{field->record, field->member(f.target), path_of(f.pending_key)};
    frames_.push_back(std::move(child));
    return true;
  }

  bool end_container() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    Frame& f = frames_.back();
    if (f.kind == RecordKind::Request) return true;  // checked once `action` is known
    if (f.errors.empty()) {
      for (const auto& field : fields_of(f.kind)) {
        if (field.required && f.seen.count(std::string(field.name)) == 0) {
          f.note_error(f.key_count, "missing field `" + std::string(field.name) + "` in `" + quote(f.path) + "`",
                       false);
          break;
        }
      }
    }
    std::optional<std::string> error;
    if (!f.errors.empty()) error = std::move(f.errors.front().text);
    frames_.pop_back();
    if (error) {
      Frame& parent = frames_.back();
      parent.note_error(parent.key_count, std::move(*error), false);
    }
    return true;
  }

  bool scalar(const Scalar& v) {
    if (skip_depth_ > 0) return true;
    if (frames_.empty()) return fail("invalid type: " + v.describe() + ", expected a request object");
    Frame& f = frames_.back();
    if (f.pending == nullptr) return true;
    if (auto error = store(*f.pending, f.target, v)) {
      f.note_error(f.key_count, *error + " at `" + quote(path_of(f.pending_key)) + "`", false);
    }
    return true;
  }

  template <typename T>
  static std::optional<std::string> store_unsigned(const FieldDesc& field, void* dst, const Scalar& v) {
    if (v.kind == Scalar::Kind::Unsigned && v.u <= std::numeric_limits<T>::max()) {
      *static_cast<T*>(dst) = static_cast<T>(v.u);
      return std::nullopt;
    }
    const bool integer_text = v.kind == Scalar::Kind::Float &&
                              v.text->find_first_of(".eE") == std::string::npos;
    if (v.kind == Scalar::Kind::Unsigned || v.kind == Scalar::Kind::Negative || integer_text) {
      const std::string shown = integer_text ? "integer `" + quote(*v.text) + "`" : v.describe();
      return "invalid value: " + shown + ", expected " + std::string(expected_text(field));
    }
    return "invalid type: " + v.describe() + ", expected " + std::string(expected_text(field));
  }

  static std::optional<std::string> store(const FieldDesc& field, void* target, const Scalar& v) {
    void* dst = field.member(target);
    const auto wrong_type = [&] {
      return "invalid type: " + v.describe() + ", expected " + std::string(expected_text(field));
    };
    switch (field.type) {
      case FieldType::U8: return store_unsigned<std::uint8_t>(field, dst, v);
      case FieldType::U16: return store_unsigned<std::uint16_t>(field, dst, v);
      case FieldType::U32: return store_unsigned<std::uint32_t>(field, dst, v);
      case FieldType::F32: {
        float out = 0.0f;
        if (v.kind == Scalar::Kind::Unsigned) {
          out = static_cast<float>(v.u);
        } else if (v.kind == Scalar::Kind::Negative) {
          out = static_cast<float>(v.i);
        } else if (v.kind == Scalar::Kind::Float) {
          // Straight from the text, so the float is the nearest one to the
          // number and not a rounding of the nearest double.
          const std::string& t = *v.text;
          const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
          if (r.ec != std::errc() || r.ptr != t.data() + t.size()) out = static_cast<float>(v.d);
        } else {
          return wrong_type();
        }
        *static_cast<float*>(dst) = out;
        return std::nullopt;
      }
      case FieldType::Bool:
        if (v.kind != Scalar::Kind::Bool) return wrong_type();
        *static_cast<bool*>(dst) = v.b;
        return std::nullopt;
      case FieldType::Text:
      case FieldType::Action:
        if (v.kind != Scalar::Kind::String) return wrong_type();
        *static_cast<std::string*>(dst) = *v.text;
        return std::nullopt;
      case FieldType::Id: {
        if (v.kind != Scalar::Kind::String) return wrong_type();
        const auto id = Uuid::parse(*v.text);
        if (!id) return "invalid value: string \"" + quote(*v.text) + "\", expected a UUID";
        *static_cast<Uuid*>(dst) = *id;
        return std::nullopt;
      }
      case FieldType::Format: {
        if (v.kind != Scalar::Kind::String) return wrong_type();
        for (auto f : {OutputFormat::Jpg, OutputFormat::Png, OutputFormat::Tiff, OutputFormat::Dng}) {
          if (*v.text == output_format_name(f)) {
            *static_cast<OutputFormat*>(dst) = f;
            return std::nullopt;
          }
        }
        return "unknown variant `" + quote(*v.text) + "`, expected " + std::string(expected_text(field));
      }
      case FieldType::Record: return wrong_type();
    }
    return wrong_type();
  }

  AnyRequest request_;
  std::vector<Frame> frames_;
  std::size_t skip_depth_ = 0;
  bool root_seen_ = false;
  std::optional<std::string> failure_;
  std::optional<std::string> syntax_error_;

 public:
  // The top-level frame after the parse (it is never popped).
  const Frame* top() const { return frames_.empty() ? nullptr : &frames_.front(); }
};

std::optional<std::string> RequestSax::check_action(const ActionDesc& action) const {
  const Frame* f = top();
  const auto reads = [&](std::string_view key) {
    for (auto k : action.keys) {
      if (k == key) return true;
    }
    return false;
  };
  const Frame::Noted* first = nullptr;
  for (const auto& e : f->errors) {
    if ((e.any_action || reads(e.key)) && (first == nullptr || e.position < first->position)) first = &e;
  }
  if (first != nullptr) return first->text;
  for (auto key : action.keys) {
    if (key == "defer_display_render") continue;  // optional, default false
    if (f->seen.count(std::string(key)) == 0) return "missing field `" + std::string(key) + "`";
  }
  return std::nullopt;
}

}  // namespace

std::variant<WorkerRequest, RequestReadError> read_request(std::string_view text) {
  // The parser would skip a byte-order mark, which is not JSON white space.
  if (text.substr(0, 3) == "\xef\xbb\xbf") {
    return RequestReadError{"expected a JSON value at line 1, column 1, found a byte-order mark"};
  }
  RequestSax sax;
  const bool ok = json::sax_parse(text.begin(), text.end(), &sax, json::input_format_t::json, true, false);
  if (!ok || sax.failure() || sax.syntax_error()) {
    if (sax.failure()) return RequestReadError{*sax.failure()};
    if (sax.syntax_error()) return RequestReadError{*sax.syntax_error()};
    return RequestReadError{"the JSON value could not be read"};
  }
  const auto* top = sax.top();
  if (top == nullptr) return RequestReadError{"expected a request object"};

  // `action` may stand anywhere; its own faults come before all others.
  for (const auto& e : top->errors) {
    if (e.key == "action") return RequestReadError{e.text};
  }
  if (top->seen.count("action") == 0) return RequestReadError{"missing field `action`"};
  AnyRequest& r = sax.request();
  const ActionDesc* action = nullptr;
  for (const auto& a : kActions) {
    if (a.name == r.action) action = &a;
  }
  if (action == nullptr) {
    return RequestReadError{"unknown variant `" + quote(r.action) +
                            "`, expected one of `get_capabilities`, `inspect_pair`, `render_preview`, "
                            "`start_export` at `action`"};
  }
  if (auto error = sax.check_action(*action)) return RequestReadError{*error};

  if (action->name == "get_capabilities") {
    return WorkerRequest{GetCapabilities{r.protocol_version, r.request_id}};
  }
  if (action->name == "inspect_pair") {
    return WorkerRequest{InspectPair{r.protocol_version, r.request_id, std::move(r.up_path), std::move(r.down_path)}};
  }
  if (action->name == "render_preview") {
    return WorkerRequest{RenderPreview{r.protocol_version, r.request_id, r.job_id, std::move(r.up_path),
                                       std::move(r.down_path), std::move(r.destination), std::move(r.settings),
                                       r.defer_display_render}};
  }
  return WorkerRequest{StartExport{r.protocol_version, r.request_id, r.job_id, std::move(r.up_path),
                                   std::move(r.down_path), std::move(r.settings), std::move(r.export_request)}};
}

}  // namespace stitch
