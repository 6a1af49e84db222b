#include "error/error.hpp"

#include <cstring>

namespace stitch {

std::string_view error_code_name(ErrorCode code) {
  switch (code) {
    case ErrorCode::UnsupportedFormat: return "unsupported_format";
    case ErrorCode::RoleAmbiguous: return "role_ambiguous";
    case ErrorCode::RawUnavailable: return "raw_unavailable";
    case ErrorCode::DngDecodeFailed: return "dng_decode_failed";
    case ErrorCode::InvalidSettings: return "invalid_settings";
    case ErrorCode::GpuUnavailable: return "gpu_unavailable";
    case ErrorCode::InsufficientDisk: return "insufficient_disk";
    case ErrorCode::WriteFailed: return "write_failed";
    case ErrorCode::Cancelled: return "cancelled";
    case ErrorCode::WorkerCrash: return "worker_crash";
    case ErrorCode::ProtocolError: return "protocol_error";
    case ErrorCode::IoError: return "io_error";
  }
  return "io_error";
}

StitchError StitchError::unsupported_format(std::string text) {
  return {ErrorKind::UnsupportedFormat, std::move(text)};
}
StitchError StitchError::raw_unavailable() { return {ErrorKind::RawUnavailable, {}}; }
StitchError StitchError::dng_decode(std::string text) {
  return {ErrorKind::DngDecode, std::move(text)};
}
StitchError StitchError::jpeg_decode(std::string text) {
  return {ErrorKind::JpegDecode, std::move(text)};
}
StitchError StitchError::invalid_settings(std::string text) {
  return {ErrorKind::InvalidSettings, std::move(text)};
}
StitchError StitchError::gpu_unavailable(std::string text) {
  return {ErrorKind::GpuUnavailable, std::move(text)};
}
StitchError StitchError::insufficient_disk(std::uint64_t mib) {
  return {ErrorKind::InsufficientDisk, {}, mib};
}
StitchError StitchError::cancelled() { return {ErrorKind::Cancelled, {}}; }
StitchError StitchError::protocol(std::string text) {
  return {ErrorKind::Protocol, std::move(text)};
}
StitchError StitchError::image(std::string text) { return {ErrorKind::Image, std::move(text)}; }
StitchError StitchError::io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
StitchError StitchError::io_errno(int errnum) {
  // strerror_r's GNU form returns the text (possibly not in buf).
  char buf[256] = {};
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return io(std::string(msg) + " (os error " + std::to_string(errnum) + ")");
}
StitchError StitchError::serialization(std::string text) {
  return {ErrorKind::Serialization, std::move(text)};
}
StitchError StitchError::export_failed(std::string text) {
  return {ErrorKind::Export, std::move(text)};
}

std::string StitchError::display() const {
  switch (kind_) {
    case ErrorKind::UnsupportedFormat: return "Unsupported input format: " + text_;
    case ErrorKind::RawUnavailable: return "RAW decoding is unavailable in this build";
    case ErrorKind::DngDecode: return "Could not decode DNG: " + text_;
    case ErrorKind::JpegDecode: return "Could not decode JPEG: " + text_;
    case ErrorKind::InvalidSettings: return "Invalid stitch settings: " + text_;
    case ErrorKind::GpuUnavailable: return "GPU processing is unavailable: " + text_;
    case ErrorKind::InsufficientDisk:
      return "Insufficient disk space: at least " + std::to_string(mib_) + " MiB is required";
    case ErrorKind::Cancelled: return "The operation was cancelled";
    case ErrorKind::Protocol: return "Worker protocol error: " + text_;
    case ErrorKind::Image: return "Image error: " + text_;
    case ErrorKind::Io: return "I/O error: " + text_;
    case ErrorKind::Serialization: return "Serialization error: " + text_;
    case ErrorKind::Export: return "Export failed: " + text_;
  }
  return text_;
}

ErrorCode StitchError::code() const {
  switch (kind_) {
    case ErrorKind::UnsupportedFormat: return ErrorCode::UnsupportedFormat;
    case ErrorKind::RawUnavailable: return ErrorCode::RawUnavailable;
    case ErrorKind::DngDecode: return ErrorCode::DngDecodeFailed;
    case ErrorKind::JpegDecode: return ErrorCode::UnsupportedFormat;
    case ErrorKind::InvalidSettings: return ErrorCode::InvalidSettings;
    case ErrorKind::GpuUnavailable: return ErrorCode::GpuUnavailable;
    case ErrorKind::InsufficientDisk: return ErrorCode::InsufficientDisk;
    case ErrorKind::Cancelled: return ErrorCode::Cancelled;
    case ErrorKind::Protocol: return ErrorCode::ProtocolError;
    case ErrorKind::Image: return ErrorCode::UnsupportedFormat;
    case ErrorKind::Io: return ErrorCode::IoError;
    case ErrorKind::Serialization: return ErrorCode::ProtocolError;
    case ErrorKind::Export: return ErrorCode::WriteFailed;
  }
  return ErrorCode::IoError;
}

}  // namespace stitch
