// The preview driver's choice between the GPU pass and the CPU raster loop:
// the GPU pass on SwiftShader when software adapters are allowed, and the
// silent CPU fallback on every GPU failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "stitch/jobs/jobs.hpp"
#include "support/fixtures.hpp"
#include "support/job_requests.hpp"
#include "support/synthetic_pair.hpp"

namespace stitch {
namespace {

constexpr const char* kSwiftShaderIcd = "/usr/lib/chromium/vk_swiftshader_icd.json";

class PreviewGpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VK_ICD_FILENAMES", kSwiftShaderIcd, 1);
    pairs::PairOptions o;
    o.size = 256;
    auto written = pairs::write_pair_jpg(dir_.path(), pairs::render_pair(o));
    ASSERT_TRUE(written);
    paths_ = *written;
  }

  struct Outcome {
    bool used_gpu = false;
    std::vector<std::string> messages;
  };

  Outcome preview(const GpuOptions& gpu) {
    JobOptions options;
    options.gpu = gpu;
    CancelFlag cancel{false};
    Outcome out;
    ProgressSink sink = [&](JobStage, std::uint8_t, std::string_view m) {
      out.messages.emplace_back(m);
    };
    auto info = render_preview(paths_.up, paths_.down, dir_.path() / "p.jpg",
                               requests::default_settings(), false, cancel, sink, options);
    EXPECT_TRUE(info) << info.error().display();
    if (info) out.used_gpu = info->usedGpu;
    return out;
  }

  fixtures::TempDir dir_;
  pairs::PairPaths paths_;
};

bool has_cpu_progress(const std::vector<std::string>& messages) {
  return std::count(messages.begin(), messages.end(), "Projecting preview on CPU") == 16;
}

TEST_F(PreviewGpuTest, SoftwareVulkanRendersThePreviewWhenAllowed) {
  GpuOptions gpu;
  gpu.library_path = STITCH_WEBGPU_LIBRARY;
  gpu.allow_software_adapter = true;
  const Outcome out = preview(gpu);
  EXPECT_TRUE(out.used_gpu);
  EXPECT_EQ(std::count(out.messages.begin(), out.messages.end(), "Projecting preview on CPU"), 0);
  EXPECT_EQ(out.messages.back(), "Preview ready");
}

TEST_F(PreviewGpuTest, EveryGpuFailureFallsBackToTheCpu) {
  struct Case {
    const char* name;
    GpuOptions gpu;
    const char* icd;
  };
  GpuOptions missing;
  missing.library_path = "/nonexistent/libwebgpu_wrapper.so";
  GpuOptions production;  // software adapters refused, as in the worker
  production.library_path = STITCH_WEBGPU_LIBRARY;
  GpuOptions no_adapter = production;
  no_adapter.allow_software_adapter = true;  // only Dawn's Null backend answers
  GpuOptions small_limit = no_adapter;
  small_limit.storage_binding_limit = 1024;
  const std::vector<Case> cases = {{"library missing", missing, kSwiftShaderIcd},
                                   {"software adapter in production", production, kSwiftShaderIcd},
                                   {"no adapter", no_adapter, "/nonexistent/icd.json"},
                                   {"storage limit exceeded", small_limit, kSwiftShaderIcd}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("VK_ICD_FILENAMES", c.icd, 1);
    const Outcome out = preview(c.gpu);
    EXPECT_FALSE(out.used_gpu);
    EXPECT_TRUE(has_cpu_progress(out.messages));
  }
}

}  // namespace
}  // namespace stitch
