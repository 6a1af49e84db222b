#include "stitch/pairs.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <system_error>

namespace stitch::cli {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The first position where `token` ("_up") stands as a marker in `lname`.
std::optional<std::size_t> marker_at(const std::string& lname, std::string_view token) {
  for (std::size_t at = lname.find(token); at != std::string::npos;
       at = lname.find(token, at + 1)) {
    const std::size_t end = at + token.size();
    if (end == lname.size() || lname[end] == '.' || lname[end] == '_') return at;
  }
  return std::nullopt;
}

bool is_source(const std::filesystem::path& p) {
  const std::string ext = lower(p.extension().string());
  return ext == ".jpg" || ext == ".jpeg" || ext == ".dng";
}

}  // namespace

std::optional<Marker> find_marker(std::string_view file_name) {
  const std::string lname = lower(file_name);
  for (const auto& [lens, token] : {std::pair{Lens::Up, std::string_view("_up")},
                                    std::pair{Lens::Down, std::string_view("_down")}}) {
    if (const auto at = marker_at(lname, token)) {
      std::string rest(file_name);
      rest.erase(*at, token.size());
      // The shot's name leaves out the extension.
      std::string shot = std::filesystem::path(rest).stem().string();
      if (shot.empty()) shot = "pair";
      return Marker{lens, shot};
    }
  }
  return std::nullopt;
}

std::optional<std::string> format_for_extension(const std::filesystem::path& path) {
  const std::string ext = lower(path.extension().string());
  if (ext == ".jpg" || ext == ".jpeg") return "jpg";
  if (ext == ".png") return "png";
  if (ext == ".tif" || ext == ".tiff") return "tiff";
  if (ext == ".dng") return "dng";
  return std::nullopt;
}

std::string extension_for_format(std::string_view format) {
  if (format == "tiff") return ".tif";
  return "." + std::string(format);
}

Result<FolderScan> scan_folder(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);
  if (ec) return StitchError::io(dir.string() + ": " + ec.message());

  // Key: shot name plus source type, so a shot's JPG and DNG pairs stay apart.
  struct Slots {
    std::string name;
    std::string type;
    std::vector<std::filesystem::path> up;
    std::vector<std::filesystem::path> down;
  };
  std::map<std::string, Slots> shots;
  FolderScan scan;
  for (const std::filesystem::directory_entry& entry : it) {
    std::error_code type_ec;
    if (!entry.is_regular_file(type_ec) || !is_source(entry.path())) continue;
    const std::string file_name = entry.path().filename().string();
    const std::optional<Marker> marker = find_marker(file_name);
    if (!marker) {
      scan.unpaired.push_back({entry.path(), "no _UP or _DOWN marker in the file name"});
      continue;
    }
    const std::string type = lower(entry.path().extension().string()) == ".dng" ? "dng" : "jpg";
    Slots& slots = shots[marker->shot + '\0' + type];
    slots.name = marker->shot;
    slots.type = type;
    (marker->lens == Lens::Up ? slots.up : slots.down).push_back(entry.path());
  }
  for (auto& [key, s] : shots) {
    std::sort(s.up.begin(), s.up.end());
    std::sort(s.down.begin(), s.down.end());
    if (s.up.size() == 1 && s.down.size() == 1) {
      scan.pairs.push_back({s.name, s.up.front(), s.down.front()});
      continue;
    }
    std::string reason;
    if (s.up.empty()) {
      reason = "no matching _UP file";
    } else if (s.down.empty()) {
      reason = "no matching _DOWN file";
    } else {
      reason = "more than one file for one lens of this shot";
    }
    for (const auto& f : s.up) scan.unpaired.push_back({f, reason});
    for (const auto& f : s.down) scan.unpaired.push_back({f, reason});
  }
  std::sort(scan.pairs.begin(), scan.pairs.end(), [](const ShotPair& a, const ShotPair& b) {
    return a.name != b.name ? a.name < b.name : a.up < b.up;
  });
  std::sort(scan.unpaired.begin(), scan.unpaired.end(),
            [](const Unpaired& a, const Unpaired& b) { return a.file < b.file; });
  return scan;
}

std::vector<std::filesystem::path> output_paths(const std::vector<ShotPair>& pairs,
                                                const std::filesystem::path& out_dir,
                                                std::string_view format) {
  const std::string ext = extension_for_format(format);
  std::map<std::string, int> uses;
  for (const ShotPair& p : pairs) ++uses[lower(p.name)];
  std::vector<std::filesystem::path> out;
  out.reserve(pairs.size());
  for (const ShotPair& p : pairs) {
    std::string name = p.name;
    if (uses[lower(p.name)] > 1) {
      name += lower(p.up.extension().string()) == ".dng" ? "_dng" : "_jpg";
    }
    out.push_back(out_dir / (name + ext));
  }
  return out;
}

}  // namespace stitch::cli
