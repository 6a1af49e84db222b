#include "native/pano_native.h"

#include <libraw/libraw.h>
#include <turbojpeg.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace stitch::native {

std::string camera_name(const char* make, const char* model) {
  std::string text;
  if (make != nullptr && make[0] != '\0') text += make;
  if (model != nullptr && model[0] != '\0') {
    if (!text.empty()) text += ' ';
    text += model;
  }
  if (text.empty()) text = "Unknown DNG camera";
  return text;
}

}  // namespace stitch::native

namespace {

constexpr std::string_view kUnknownJpegError = "Unknown libjpeg-turbo error";
constexpr std::string_view kOversizedDng = "Invalid or oversized DNG dimensions";
constexpr std::string_view kOversizedJpeg = "Invalid or oversized JPEG dimensions";

void write_error(char* buffer, size_t size, std::string_view message) {
  if (buffer == nullptr || size == 0) return;
  const size_t n = message.size() < size - 1 ? message.size() : size - 1;
  if (n > 0) std::memcpy(buffer, message.data(), n);
  buffer[n] = '\0';
}

void copy_camera(char (&dest)[128], const std::string& text) {
  const size_t n = text.size() < sizeof dest - 1 ? text.size() : sizeof dest - 1;
  std::memset(dest, 0, sizeof dest);
  std::memcpy(dest, text.data(), n);
}

bool within_pixel_limit(std::uint64_t w, std::uint64_t h) {
  return w > 0 && h > 0 && w * h <= PANO_MAX_PIXELS;
}

// LibRaw reports -999 when a file has no BaselineExposure tag; callers see
// NaN ("not known") instead of an absurd exposure.
float baseline_exposure_of(const LibRaw& raw) {
  const float v = raw.imgdata.color.dng_levels.baseline_exposure;
  return v == -999.0f ? std::numeric_limits<float>::quiet_NaN() : v;
}

std::string camera_of(const LibRaw& raw) {
  return stitch::native::camera_name(raw.imgdata.idata.make, raw.imgdata.idata.model);
}

// One LibRaw instance per call, recycled and destroyed on every path.
struct RawInstance {
  struct Release {
    void operator()(LibRaw* raw) const {
      raw->recycle();
      delete raw;
    }
  };
  std::unique_ptr<LibRaw, Release> raw{new (std::nothrow) LibRaw(0)};
};

struct MemImageRelease {
  void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};

struct TurboHandle {
  tjhandle handle = nullptr;
  ~TurboHandle() {
    if (handle != nullptr) tjDestroy(handle);
  }
};

std::string_view turbo_error(tjhandle handle) {
  const char* text = tjGetErrorStr2(handle);
  if (text == nullptr || text[0] == '\0') return kUnknownJpegError;
  return text;
}

int32_t raw_inspect(const char* path, PanoRawInfo* info, char* error, size_t error_size) {
  RawInstance instance;
  if (!instance.raw) {
    write_error(error, error_size, libraw_strerror(LIBRAW_UNSUFFICIENT_MEMORY));
    return LIBRAW_UNSUFFICIENT_MEMORY;
  }
  LibRaw& raw = *instance.raw;
  const int rc = raw.open_file(path);
  if (rc != LIBRAW_SUCCESS) {
    write_error(error, error_size, libraw_strerror(rc));
    return rc;
  }
  const libraw_image_sizes_t& s = raw.imgdata.sizes;
  PanoRawInfo out{};
  out.width = s.width != 0 ? s.width : s.raw_width;
  out.height = s.height != 0 ? s.height : s.raw_height;
  out.bits = 16;
  out.iso = raw.imgdata.other.iso_speed;
  out.baseline_exposure = baseline_exposure_of(raw);
  copy_camera(out.camera, camera_of(raw));
  *info = out;
  return 0;
}

// Where the developed samples go: `count` 16-bit samples, or null when they
// cannot be had.
using SampleAllocator = std::function<uint16_t*(std::uint64_t count)>;

int32_t raw_decode(const char* path, PanoRawImage* image, char* error, size_t error_size,
                   const SampleAllocator& allocate) {
  RawInstance instance;
  if (!instance.raw) {
    write_error(error, error_size, libraw_strerror(LIBRAW_UNSUFFICIENT_MEMORY));
    return LIBRAW_UNSUFFICIENT_MEMORY;
  }
  LibRaw& raw = *instance.raw;
  int rc = raw.open_file(path);
  if (rc != LIBRAW_SUCCESS) {
    write_error(error, error_size, libraw_strerror(rc));
    return rc;
  }
  const libraw_image_sizes_t& s = raw.imgdata.sizes;
  // The header alone decides whether unpacking may allocate; a file that
  // lies about its size fails here before LibRaw reserves anything.
  if (!within_pixel_limit(s.raw_width, s.raw_height) || !within_pixel_limit(s.width, s.height)) {
    write_error(error, error_size, kOversizedDng);
    return -1;
  }

  libraw_output_params_t& p = raw.imgdata.params;
  p.output_bps = 16;
  p.output_color = 1;
  p.gamm[0] = 1.0;
  p.gamm[1] = 1.0;
  p.no_auto_bright = 1;
  p.use_camera_wb = 1;
  p.user_qual = 3;

  rc = raw.unpack();
  if (rc == LIBRAW_SUCCESS &&
      (!within_pixel_limit(s.raw_width, s.raw_height) || !within_pixel_limit(s.width, s.height))) {
    write_error(error, error_size, kOversizedDng);
    return -1;
  }
  if (rc == LIBRAW_SUCCESS) rc = raw.dcraw_process();
  if (rc != LIBRAW_SUCCESS) {
    write_error(error, error_size, libraw_strerror(rc));
    return rc;
  }

  int mem_rc = LIBRAW_SUCCESS;
  std::unique_ptr<libraw_processed_image_t, MemImageRelease> developed(
      raw.dcraw_make_mem_image(&mem_rc));
  if (mem_rc != LIBRAW_SUCCESS || !developed) {
    write_error(error, error_size, libraw_strerror(mem_rc));
    return mem_rc != LIBRAW_SUCCESS ? mem_rc : -1;
  }
  const libraw_processed_image_t& d = *developed;
  // Two-channel output does not occur with these parameters; it is rejected
  // along with non-bitmap results.
  if (d.type != LIBRAW_IMAGE_BITMAP || d.colors == 0 || d.colors == 2) {
    write_error(error, error_size, "LibRaw did not return a bitmap image");
    return -1;
  }
  const std::uint64_t w = d.width;
  const std::uint64_t h = d.height;
  const std::uint64_t channels = d.colors;
  const std::uint64_t bytes_per_sample = d.bits == 16 ? 2 : 1;
  if (!within_pixel_limit(w, h) || d.data_size < w * h * channels * bytes_per_sample) {
    write_error(error, error_size, "LibRaw did not return a bitmap image");
    return -1;
  }

  const std::uint64_t count = w * h * 3;
  uint16_t* samples = allocate(count);
  if (samples == nullptr) {
    write_error(error, error_size, "Unable to allocate the developed DNG buffer");
    return -1;
  }
  const std::uint64_t pixels = w * h;
  if (d.bits == 16) {
    const auto* src = reinterpret_cast<const uint16_t*>(d.data);
    if (channels == 3) {
      std::memcpy(samples, src, count * sizeof(uint16_t));
    } else {
      for (std::uint64_t i = 0; i < pixels; ++i) {
        const uint16_t* px = src + i * channels;
        uint16_t* out = samples + i * 3;
        if (channels == 1) out[0] = out[1] = out[2] = px[0];
        else { out[0] = px[0]; out[1] = px[1]; out[2] = px[2]; }
      }
    }
  } else {
    const unsigned char* src = d.data;
    for (std::uint64_t i = 0; i < pixels; ++i) {
      const unsigned char* px = src + i * channels;
      uint16_t* out = samples + i * 3;
      if (channels == 1) out[0] = out[1] = out[2] = static_cast<uint16_t>(px[0] * 257);
      else
        for (int c = 0; c < 3; ++c) out[c] = static_cast<uint16_t>(px[c] * 257);
    }
  }

  image->width = static_cast<uint32_t>(w);
  image->height = static_cast<uint32_t>(h);
  image->bits = 16;
  image->channels = 3;
  image->sample_count = count;
  image->samples = samples;
  image->iso = raw.imgdata.other.iso_speed;
  image->baseline_exposure = baseline_exposure_of(raw);
  copy_camera(image->camera, camera_of(raw));
  return 0;
}

int32_t jpeg_decode(const uint8_t* data, size_t size, PanoJpegImage* image, char* error,
                    size_t error_size) {
  TurboHandle tj;
  tj.handle = tjInitDecompress();
  if (tj.handle == nullptr) {
    write_error(error, error_size, turbo_error(nullptr));
    return -1;
  }
  if (size > std::numeric_limits<unsigned long>::max()) {
    write_error(error, error_size, kOversizedJpeg);
    return -1;
  }
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(tj.handle, data, static_cast<unsigned long>(size), &width, &height,
                          &subsampling, &colorspace) != 0) {
    write_error(error, error_size, turbo_error(tj.handle));
    return -1;
  }
  // The limit keeps a header that claims, say, 60000 x 60000 pixels from
  // reserving gigabytes for data that is not there.
  if (width <= 0 || height <= 0 ||
      !within_pixel_limit(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height))) {
    write_error(error, error_size, kOversizedJpeg);
    return -1;
  }
  const std::uint64_t bytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 3;
  auto* samples = static_cast<uint8_t*>(std::malloc(bytes));
  if (samples == nullptr) {
    write_error(error, error_size, "Unable to allocate the JPEG decode buffer");
    return -1;
  }
  // Scan limiting guards against progressive files built to take minutes
  // with thousands of tiny scans; real files have a dozen at most.
  if (tjDecompress2(tj.handle, data, static_cast<unsigned long>(size), samples, width, 0, height,
                    TJPF_RGB, TJFLAG_LIMITSCANS) != 0) {
    write_error(error, error_size, turbo_error(tj.handle));
    std::free(samples);
    return -1;
  }
  image->width = static_cast<uint32_t>(width);
  image->height = static_cast<uint32_t>(height);
  image->byte_count = bytes;
  image->samples = samples;
  return 0;
}

// LibRaw runs in a child process. The library has aborted on malformed files
// (a fortified buffer overflow during identification ends the process), and
// an untrusted file must never take the worker down with it: in a child such
// a file becomes an ordinary decode failure. The child returns its status and
// message through a shared page and the developed samples through a memory
// file the parent maps, so nothing is copied.
constexpr std::size_t kChildErrorSize = 512;
constexpr auto kChildTimeLimit = std::chrono::minutes(10);

struct RawChildReply {
  int32_t rc;
  PanoRawInfo info;
  PanoRawImage image;
  char error[kChildErrorSize];
};

class SharedReply {
 public:
  SharedReply() {
    void* p = mmap(nullptr, sizeof(RawChildReply), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      reply_ = static_cast<RawChildReply*>(p);
      std::memset(reply_, 0, sizeof *reply_);
      reply_->rc = -1;
    }
  }
  ~SharedReply() {
    if (reply_ != nullptr) munmap(reply_, sizeof(RawChildReply));
  }
  SharedReply(const SharedReply&) = delete;
  SharedReply& operator=(const SharedReply&) = delete;
  RawChildReply* get() const { return reply_; }

 private:
  RawChildReply* reply_ = nullptr;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Runs `work` in a forked child and waits for it. Returns true when the child
// ran to its end; otherwise the error buffer says why it did not.
bool run_in_child(const std::function<void()>& work, char* error, size_t error_size) {
  const pid_t pid = fork();
  if (pid < 0) {
    write_error(error, error_size, "Unable to start the RAW decoder process");
    return false;
  }
  if (pid == 0) {
    // Whatever the library or a fortified abort prints is not ours to show.
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
    try {
      work();
    } catch (...) {
      _exit(3);
    }
    // No exit handlers: the child shares the parent's libraries and must not
    // run their teardown.
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + kChildTimeLimit;
  auto pause = std::chrono::microseconds(200);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      write_error(error, error_size, "Lost track of the RAW decoder process");
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      write_error(error, error_size, "LibRaw did not finish reading the file in time");
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string why = "LibRaw stopped while reading the file";
  if (WIFSIGNALED(status)) why += " (signal " + std::to_string(WTERMSIG(status)) + ")";
  write_error(error, error_size, why);
  return false;
}

int32_t raw_inspect_isolated(const char* path, PanoRawInfo* info, char* error, size_t error_size) {
  SharedReply shared;
  RawChildReply* reply = shared.get();
  if (reply == nullptr) {
    write_error(error, error_size, "Unable to start the RAW decoder process");
    return -1;
  }
  const bool finished = run_in_child(
      [&] { reply->rc = raw_inspect(path, &reply->info, reply->error, kChildErrorSize); }, error,
      error_size);
  if (!finished) return -1;
  if (reply->rc != 0) {
    reply->error[kChildErrorSize - 1] = '\0';
    write_error(error, error_size, reply->error);
    return reply->rc;
  }
  *info = reply->info;
  return 0;
}

int32_t raw_decode_isolated(const char* path, PanoRawImage* image, char* error, size_t error_size) {
  SharedReply shared;
  RawChildReply* reply = shared.get();
  const FileDescriptor samples_file(memfd_create("pano-raw-samples", MFD_CLOEXEC));
  if (reply == nullptr || samples_file.get() < 0) {
    write_error(error, error_size, "Unable to start the RAW decoder process");
    return -1;
  }
  const SampleAllocator in_shared_file = [&](std::uint64_t count) -> uint16_t* {
    const std::uint64_t bytes = count * sizeof(uint16_t);
    if (ftruncate(samples_file.get(), static_cast<off_t>(bytes)) != 0) return nullptr;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, samples_file.get(), 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint16_t*>(p);
  };
  const bool finished = run_in_child(
      [&] {
        reply->rc = raw_decode(path, &reply->image, reply->error, kChildErrorSize, in_shared_file);
      },
      error, error_size);
  if (!finished) return -1;
  if (reply->rc != 0) {
    reply->error[kChildErrorSize - 1] = '\0';
    write_error(error, error_size, reply->error);
    return reply->rc;
  }
  const std::uint64_t count = reply->image.sample_count;
  if (count == 0) {
    write_error(error, error_size, "LibRaw did not return a bitmap image");
    return -1;
  }
  void* p = mmap(nullptr, count * sizeof(uint16_t), PROT_READ | PROT_WRITE, MAP_SHARED,
                 samples_file.get(), 0);
  if (p == MAP_FAILED) {
    write_error(error, error_size, "Unable to map the developed DNG buffer");
    return -1;
  }
  *image = reply->image;
  image->samples = static_cast<uint16_t*>(p);
  return 0;
}

}  // namespace

extern "C" {

int32_t pano_raw_inspect(const char* path, PanoRawInfo* info, char* error, size_t error_size) {
  if (path == nullptr || info == nullptr) {
    write_error(error, error_size, "Invalid LibRaw inspection arguments");
    return -1;
  }
  try {
    return raw_inspect_isolated(path, info, error, error_size);
  } catch (...) {
    write_error(error, error_size, "Unexpected LibRaw failure");
    return -1;
  }
}

int32_t pano_raw_decode(const char* path, PanoRawImage* image, char* error, size_t error_size) {
  if (path == nullptr || image == nullptr) {
    write_error(error, error_size, "Invalid LibRaw decode arguments");
    return -1;
  }
  std::memset(image, 0, sizeof *image);
  try {
    const int32_t rc = raw_decode_isolated(path, image, error, error_size);
    if (rc != 0) pano_raw_free(image);
    return rc;
  } catch (...) {
    pano_raw_free(image);
    write_error(error, error_size, "Unexpected LibRaw failure");
    return -1;
  }
}

void pano_raw_free(PanoRawImage* image) {
  if (image == nullptr) return;
  // Developed samples live in a mapping of the decoder process's memory file.
  if (image->samples != nullptr) munmap(image->samples, image->sample_count * sizeof(uint16_t));
  image->samples = nullptr;
  image->sample_count = 0;
}

int32_t pano_jpeg_decode(const uint8_t* data, size_t size, PanoJpegImage* image, char* error,
                         size_t error_size) {
  if (image != nullptr && size == 0) {
    std::memset(image, 0, sizeof *image);
    write_error(error, error_size, "The JPEG file is empty");
    return -1;
  }
  if (data == nullptr || image == nullptr) {
    write_error(error, error_size, "Invalid JPEG decode arguments");
    return -1;
  }
  std::memset(image, 0, sizeof *image);
  try {
    const int32_t rc = jpeg_decode(data, size, image, error, error_size);
    if (rc != 0) pano_jpeg_free(image);
    return rc;
  } catch (...) {
    pano_jpeg_free(image);
    write_error(error, error_size, "Unexpected libjpeg-turbo failure");
    return -1;
  }
}

void pano_jpeg_free(PanoJpegImage* image) {
  if (image == nullptr) return;
  std::free(image->samples);
  image->samples = nullptr;
  image->byte_count = 0;
}

}  // extern "C"
