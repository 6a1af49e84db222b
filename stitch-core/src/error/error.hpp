// The single error type of every fallible operation, its wire codes, and the
// value-or-error result that operations return instead of throwing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace stitch {

// Wire error codes, in declaration order.
enum class ErrorCode : std::uint8_t {
  UnsupportedFormat,
  RoleAmbiguous,
  RawUnavailable,
  DngDecodeFailed,
  InvalidSettings,
  GpuUnavailable,
  InsufficientDisk,
  WriteFailed,
  Cancelled,
  WorkerCrash,
  ProtocolError,
  IoError,
};

// The wire spelling of a code, e.g. "insufficient_disk".
std::string_view error_code_name(ErrorCode code);

// Kinds of StitchError, in declaration order.
enum class ErrorKind : std::uint8_t {
  UnsupportedFormat,
  RawUnavailable,
  DngDecode,
  JpegDecode,
  InvalidSettings,
  GpuUnavailable,
  InsufficientDisk,
  Cancelled,
  Protocol,
  Image,
  Io,
  Serialization,
  Export,
};

class StitchError {
 public:
  static StitchError unsupported_format(std::string text);
  static StitchError raw_unavailable();
  static StitchError dng_decode(std::string text);
  static StitchError jpeg_decode(std::string text);
  static StitchError invalid_settings(std::string text);
  static StitchError gpu_unavailable(std::string text);
  static StitchError insufficient_disk(std::uint64_t mib);
  static StitchError cancelled();
  static StitchError protocol(std::string text);
  // `text` is the codec's own description of the fault.
  static StitchError image(std::string text);
  // `text` is the operating system's description of the fault.
  static StitchError io(std::string text);
  // An I/O error from an errno value (text from strerror).
  static StitchError io_errno(int errnum);
  static StitchError serialization(std::string text);
  static StitchError export_failed(std::string text);

  ErrorKind kind() const { return kind_; }
  // The payload text (empty for kinds without one).
  const std::string& text() const { return text_; }
  // The MiB count of an InsufficientDisk error (0 for other kinds).
  std::uint64_t mib() const { return mib_; }

  // The display text, which is the `message` of a `failed` event.
  std::string display() const;
  // The wire code derived from the kind.
  ErrorCode code() const;

  bool operator==(const StitchError&) const = default;

 private:
  StitchError(ErrorKind kind, std::string text, std::uint64_t mib = 0)
      : kind_(kind), text_(std::move(text)), mib_(mib) {}
  ErrorKind kind_;
  std::string text_;
  std::uint64_t mib_;
};

// Marker for constructing a failed Result: `return Err(StitchError::io(...))`.
struct Err {
  StitchError error;
  explicit Err(StitchError e) : error(std::move(e)) {}
};

// A value or a StitchError (the C++23 std::expected shape, which GCC 12 in
// C++20 mode does not offer).
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Err e) : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT
  Result(StitchError e) : v_(std::in_place_index<1>, std::move(e)) {}  // NOLINT

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  StitchError& error() & { return std::get<1>(v_); }
  const StitchError& error() const& { return std::get<1>(v_); }
  StitchError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, StitchError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Err e) : err_(std::move(e.error)), failed_(true) {}  // NOLINT
  Result(StitchError e) : err_(std::move(e)), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }

  const StitchError& error() const& { return err_; }
  StitchError&& error() && { return std::move(err_); }

 private:
  StitchError err_ = StitchError::cancelled();
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace stitch
