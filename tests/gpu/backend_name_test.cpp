#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "gpu/gpu.hpp"

namespace stitch {
namespace {

// Chromium's SwiftShader Vulkan driver: a CPU adapter that runs compute
// shaders, the only "GPU" on the development and CI machines.
constexpr const char* kSwiftShaderIcd = "/usr/lib/chromium/vk_swiftshader_icd.json";

GpuOptions library_options(bool allow_software) {
  GpuOptions options;
  options.library_path = STITCH_WEBGPU_LIBRARY;
  options.allow_software_adapter = allow_software;
  return options;
}

TEST(BackendName, MissingLibraryReportsCpu) {
  GpuOptions options;
  options.library_path = "/nonexistent/libwebgpu_wrapper.so";
  EXPECT_EQ(backend_name(options), "cpu");
  options.allow_software_adapter = true;
  EXPECT_EQ(backend_name(options), "cpu");
}

TEST(BackendName, ProductionOptionsRefuseSoftwareAdapters) {
  // Without a GPU the library answers with Dawn's Null backend, or with
  // SwiftShader when its driver is visible; neither may render a preview.
  EXPECT_EQ(backend_name(library_options(false)), "cpu");
  ASSERT_EQ(setenv("VK_ICD_FILENAMES", kSwiftShaderIcd, 1), 0);
  EXPECT_EQ(backend_name(library_options(false)), "cpu");
}

TEST(BackendName, SoftwareVulkanWhenAllowed) {
  ASSERT_EQ(setenv("VK_ICD_FILENAMES", kSwiftShaderIcd, 1), 0);
  EXPECT_EQ(backend_name(library_options(true)), "vulkan");
  // Every call probes afresh and releases what it created.
  EXPECT_EQ(backend_name(library_options(true)), "vulkan");
}

TEST(BackendName, NullBackendIsNeverReported) {
  // With no Vulkan driver to find, only the Null backend answers.
  ASSERT_EQ(setenv("VK_ICD_FILENAMES", "/nonexistent/icd.json", 1), 0);
  EXPECT_EQ(backend_name(library_options(true)), "cpu");
}

}  // namespace
}  // namespace stitch
