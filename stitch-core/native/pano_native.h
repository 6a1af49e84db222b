/* Plain C functions over LibRaw and libjpeg-turbo, so that the rest of the
 * worker never touches a library object. Each call creates and destroys its
 * own decoder instance; records are caller-owned plain structures whose
 * sample buffers are allocated here and released only by the matching
 * pano_*_free function. On failure a NUL-terminated message is copied into
 * the caller's error buffer (cut to size - 1 bytes; nothing is written when
 * the buffer is null or its size is 0) and a non-zero status is returned. */
#ifndef STITCH_PANO_NATIVE_H
#define STITCH_PANO_NATIVE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Largest image, in pixels, that the decoders accept: 200 megapixels, far
 * above any camera file this worker reads, yet small enough that a header
 * lying about its size cannot make the worker allocate tens of gigabytes.
 * Checked against the header before any pixel buffer is allocated; larger
 * files fail with the usual dimension error. */
#define PANO_MAX_PIXELS 200000000ULL

/* Identification of a RAW file, filled by pano_raw_inspect. */
typedef struct PanoRawInfo {
  uint32_t width;  /* identified size; the raw size where that is 0 */
  uint32_t height;
  uint16_t bits;   /* always 16 */
  float iso;
  float baseline_exposure; /* NaN when the file carries none */
  char camera[128];        /* "<make> <model>", NUL-terminated */
} PanoRawInfo;

/* A developed RAW image, filled by pano_raw_decode. */
typedef struct PanoRawImage {
  uint32_t width;
  uint32_t height;
  uint16_t bits;     /* always 16 */
  uint16_t channels; /* always 3 */
  uint64_t sample_count; /* width * height * 3 */
  uint16_t* samples;     /* interleaved RGB, row-major, top row first */
  float iso;
  float baseline_exposure;
  char camera[128];
} PanoRawImage;

/* A decoded JPEG, filled by pano_jpeg_decode. */
typedef struct PanoJpegImage {
  uint32_t width;
  uint32_t height;
  uint64_t byte_count; /* width * height * 3 */
  uint8_t* samples;    /* interleaved RGB, row-major, top row first */
} PanoJpegImage;

/* Opens and identifies a RAW file without unpacking it. Returns 0, a LibRaw
 * error code, or -1 for invalid arguments. `info` is written only on success. */
int32_t pano_raw_inspect(const char* path, PanoRawInfo* info, char* error, size_t error_size);

/* Develops a RAW file to 16-bit linear sRGB-primaries RGB with the camera's
 * white balance and AHD demosaicing. Returns 0, a LibRaw error code, or -1.
 * With valid arguments `image` is zeroed first, so it holds no buffer after a
 * failure. */
int32_t pano_raw_decode(const char* path, PanoRawImage* image, char* error, size_t error_size);

/* Both RAW functions run LibRaw in a short-lived child process, so a file
 * that makes the library crash or hang yields an error here (after at most
 * ten minutes) instead of ending the caller. Decoded samples are a shared
 * mapping that pano_raw_free releases. */
/* Releases the samples of a decoded RAW image; null and repeated calls are harmless. */
void pano_raw_free(PanoRawImage* image);

/* Decodes a complete JPEG file held in memory to packed 8-bit RGB (greyscale
 * files come out with equal channels). Returns 0 or -1. With valid arguments
 * `image` is zeroed first. */
int32_t pano_jpeg_decode(const uint8_t* data, size_t size, PanoJpegImage* image, char* error,
                         size_t error_size);

/* Releases the samples of a decoded JPEG; null and repeated calls are harmless. */
void pano_jpeg_free(PanoJpegImage* image);

#ifdef __cplusplus
} /* extern "C" */

#include <string>

namespace stitch::native {

/* The camera text for a LibRaw make and model: "<make> <model>", either part
 * alone when the other is empty, "Unknown DNG camera" when both are. */
std::string camera_name(const char* make, const char* model);

}  // namespace stitch::native
#endif

#endif /* STITCH_PANO_NATIVE_H */
