// Finding the UP/DOWN pairs in a folder of camera files, by name: the two
// files of one shot differ only in their "_UP" / "_DOWN" marker.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace stitch::cli {

enum class Lens { Up, Down };

// Where the lens marker sits in a file name: "_up" or "_down" (any letter
// case) followed by ".", "_" or the end of the name. Up wins when a name
// carries both. The shot's name is the file name without the marker.
struct Marker {
  Lens lens = Lens::Up;
  std::string shot;  // e.g. "DJI_20260101120000_0001.JPG" -> "DJI_20260101120000_0001"
};
std::optional<Marker> find_marker(std::string_view file_name);

// Output format for a file name's extension ("jpg", "png", "tiff", "dng").
std::optional<std::string> format_for_extension(const std::filesystem::path& path);
// The usual extension for an output format (".jpg", ".png", ".tif", ".dng").
std::string extension_for_format(std::string_view format);

struct ShotPair {
  std::string name;  // the shot's name, e.g. "DJI_20260101120000_0001"
  std::filesystem::path up;
  std::filesystem::path down;
};

struct Unpaired {
  std::filesystem::path file;
  std::string reason;
};

struct FolderScan {
  std::vector<ShotPair> pairs;    // sorted by name
  std::vector<Unpaired> unpaired; // sorted by file name
};

// Scans the JPG and DNG files directly in `dir` (not its subfolders). A JPG
// and a DNG of the same shot make two pairs; a shot with a lens missing, or
// with two files for one lens, is reported as unpaired.
Result<FolderScan> scan_folder(const std::filesystem::path& dir);

// The output file of each pair in `out_dir`: "<shot><ext>". Pairs whose names
// would collide (the JPG and DNG pair of one shot) get their source type
// appended: "<shot>_dng<ext>".
std::vector<std::filesystem::path> output_paths(const std::vector<ShotPair>& pairs,
                                                const std::filesystem::path& out_dir,
                                                std::string_view format);

}  // namespace stitch::cli
