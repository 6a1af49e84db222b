// Helpers shared by the fuzz targets: the readers under test take file paths,
// so each input is written to a scratch file first.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace stitch::fuzz {

// A per-process scratch file with the given extension, on tmpfs when the
// machine has one (writing it costs far less than the code it feeds).
inline const std::filesystem::path& scratch_path(const char* extension) {
  static const std::filesystem::path path = [extension] {
    std::filesystem::path dir = "/dev/shm";
    if (!std::filesystem::is_directory(dir)) dir = std::filesystem::temp_directory_path();
    return dir / ("stitch-fuzz-" + std::to_string(::getpid()) + extension);
  }();
  return path;
}

// Replaces the scratch file's content with the input; aborts when it cannot,
// since every later run would otherwise test nothing.
inline const std::filesystem::path& write_scratch(const char* extension, const std::uint8_t* data,
                                                  std::size_t size) {
  const std::filesystem::path& path = scratch_path(extension);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return path;
}

// Removes the scratch file when the fuzzer exits normally.
struct ScratchCleanup {
  const char* extension;
  ~ScratchCleanup() {
    std::error_code ec;
    std::filesystem::remove(scratch_path(extension), ec);
  }
};

}  // namespace stitch::fuzz
