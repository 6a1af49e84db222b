// Writes the seed corpora of the fuzz targets from the test fixture writer:
// valid inputs of every shape the readers know, plus a few damaged ones, so
// that a short fuzzing run starts deep inside each format.
//   make_seeds <output directory>
// creates <output>/<target>/seed-NNN for every target.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/base64.hpp"
#include "support/fixtures.hpp"
#include "support/job_requests.hpp"

namespace {

namespace fs = std::filesystem;
using stitch::fixtures::Bytes;
namespace fx = stitch::fixtures;
namespace rq = stitch::requests;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string base64(const std::string& bytes) { return stitch::test::encode_base64(bytes); }

class Corpus {
 public:
  Corpus(const fs::path& root, const std::string& name) : dir_(root / name) {
    fs::create_directories(dir_);
  }
  void add(const Bytes& bytes) {
    char name[32];
    std::snprintf(name, sizeof name, "seed-%03d", count_++);
    if (!fx::write_bytes(dir_ / name, bytes)) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", (dir_ / name).c_str());
      std::exit(1);
    }
  }
  void add(const std::string& text) { add(bytes_of(text)); }

 private:
  fs::path dir_;
  int count_ = 0;
};

std::vector<std::string> request_lines() {
  stitch::StitchSettings s = rq::default_settings();
  s.sphere.yawDegrees = 12.5f;
  s.down.rollDegrees = -0.75f;
  s.color.exposureEv = 0.3f;
  std::vector<std::string> lines = {
      std::string("{\"action\":\"get_capabilities\",\"protocol_version\":3,\"request_id\":\"") +
          rq::kRequestId + "\"}",
      std::string("{\"action\":\"inspect_pair\",\"protocol_version\":3,\"request_id\":\"") +
          rq::kRequestId + "\",\"up_path\":\"a/X_UP.jpg\",\"down_path\":\"a/X_DOWN.jpg\"}",
      rq::preview_json("a/X_UP.jpg", "a/X_DOWN.jpg", "p/prev.jpg", s, true),
      rq::export_json("a/X_UP.dng", "a/X_DOWN.dng", s, "out/pano.png", "png", 0, false),
      rq::export_json("a/X_UP.jpg", "a/X_DOWN.jpg", rq::default_settings(20000), "pano.jpg", "jpg"),
      "{\"action\":\"get_capabilities\",\"protocol_version\":3,\"request_id\":null,\"x\":[1,{\"y\":\"\\u00e9\"}]}",
      "[[[[[[[[[[{}]]]]]]]]]]",
  };
  return lines;
}

stitch::LinearImage gradient(std::uint32_t w, std::uint32_t h) {
  return stitch::synthetic(w, h, [w, h](std::uint32_t x, std::uint32_t y) {
    return stitch::Rgb{0.05f + 0.6f * x / w, 0.05f + 0.6f * y / h, 0.3f};
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <output directory>\n");
    return 2;
  }
  const fs::path root = argv[1];

  Corpus request(root, "request_reader");
  Corpus b64(root, "base64");
  for (const std::string& line : request_lines()) {
    request.add(line);
    b64.add(base64(line));
  }
  b64.add(std::string("QQ=="));
  b64.add(std::string(""));

  const std::string xmp = fx::dji_xmp(12.3f, -4.5f, 0.25f);
  const std::string xmp_elements = fx::dji_xmp_elements(-170.0f, 89.9f, -0.5f);
  Corpus numbers(root, "xmp_number");
  numbers.add(std::string(1, '\x00') + xmp);
  numbers.add(std::string(1, '\x01') + xmp_elements);
  numbers.add(std::string(1, '\x02') + "drone-dji:GimbalRollDegree=\"-1.5e+2\"");
  numbers.add(std::string(1, '\x00') + "<drone-dji:GimbalYawDegree>\xe3\x80\x80 inf </drone-dji:GimbalYawDegree>");

  const auto rgb = fx::rgb8_image(48, 32, [](std::uint32_t x, std::uint32_t y) {
    return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 7), 90};
  });
  fx::JpegOptions with_xmp;
  with_xmp.xmp = xmp;
  fx::JpegOptions with_exif = with_xmp;
  with_exif.exif_orientation = 6;
  fx::JpegOptions grey;
  grey.greyscale = true;
  grey.quality = 60;
  const Bytes jpeg_plain = fx::jpeg_bytes(rgb, 48, 32);
  const Bytes jpeg_xmp = fx::jpeg_bytes(rgb, 48, 32, with_xmp);
  const Bytes jpeg_exif = fx::jpeg_bytes(rgb, 48, 32, with_exif);
  const Bytes jpeg_grey = fx::jpeg_bytes(rgb, 48, 32, grey);
  const Bytes png = fx::png_bytes(rgb, 48, 32);

  Corpus app1(root, "jpeg_app1");
  app1.add(jpeg_xmp);
  app1.add(jpeg_exif);
  app1.add(fx::with_app1(jpeg_plain, bytes_of(std::string("http://ns.adobe.com/xap/1.0/") + '\0' + xmp_elements)));
  app1.add(fx::truncated(jpeg_xmp, 200));

  Corpus header(root, "image_header");
  header.add(jpeg_plain);
  header.add(jpeg_exif);
  header.add(png);
  header.add(fx::with_jpeg_dimensions(jpeg_plain, 65535, 1));
  header.add(fx::truncated(jpeg_exif, 40));

  Corpus jpeg(root, "jpeg_decode");
  jpeg.add(jpeg_plain);
  jpeg.add(jpeg_grey);
  jpeg.add(fx::jpeg_bytes(rgb, 48, 32, fx::JpegOptions{.quality = 40}));
  jpeg.add(fx::corrupted(jpeg_plain, jpeg_plain.size() / 2, 8, 3));
  jpeg.add(fx::truncated(jpeg_plain, jpeg_plain.size() * 2 / 3));

  Corpus tiff(root, "tiff_xmp");
  using Placement = fx::TiffXmpOptions::Placement;
  tiff.add(fx::tiff_xmp_bytes({.xmp = xmp}));
  tiff.add(fx::tiff_xmp_bytes({.xmp = xmp_elements, .big_endian = true, .type = 7}));
  tiff.add(fx::tiff_xmp_bytes({.xmp = "abc", .type = 2}));
  tiff.add(fx::tiff_xmp_bytes({.xmp = xmp, .placement = Placement::SubIfd}));
  tiff.add(fx::tiff_xmp_bytes({.xmp = xmp, .count = 1u << 21}));

  // DNGs stay small: LibRaw needs at least 22 x 22 pixels.
  Corpus dng(root, "dng_decode");
  fx::DngFixtureOptions dng_xmp;
  dng_xmp.xmp = xmp;
  fx::DngFixtureOptions dng_be;
  dng_be.big_endian = true;
  dng_be.black_level = 64;
  dng_be.white_level = 4095;
  const Bytes dng_plain = fx::dng_bytes(gradient(32, 24), dng_xmp);
  dng.add(dng_plain);
  dng.add(fx::dng_bytes(gradient(24, 24), dng_be));
  dng.add(fx::corrupted(dng_plain, dng_plain.size() / 3, 16, 5));
  tiff.add(dng_plain);
  std::printf("make_seeds: corpora written to %s\n", root.c_str());
  return 0;
}
