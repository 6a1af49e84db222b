// Byte layout of the embedded ProPhoto ICC profile.
#include <gtest/gtest.h>

#include <string>

#include "metadata/metadata.hpp"

namespace {

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t{b.at(at)} << 24) | (std::uint32_t{b.at(at + 1)} << 16) |
         (std::uint32_t{b.at(at + 2)} << 8) | std::uint32_t{b.at(at + 3)};
}

std::string sig(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                     b.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

TEST(IccProfile, HeaderFields) {
  const auto& p = stitch::prophoto_icc_profile();
  ASSERT_GE(p.size(), 240u);
  EXPECT_EQ(be32(p, 0), p.size());
  EXPECT_EQ(sig(p, 4), "orvs");
  EXPECT_EQ(be32(p, 8), 0x04300000u);
  EXPECT_EQ(sig(p, 12), "mntr");
  EXPECT_EQ(sig(p, 16), "RGB ");
  EXPECT_EQ(sig(p, 20), "XYZ ");
  for (std::size_t i = 24; i < 36; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(sig(p, 36), "acsp");
  EXPECT_EQ(sig(p, 40), "APPL");
  for (std::size_t i = 44; i < 68; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(be32(p, 68), 0x0000F6D6u);
  EXPECT_EQ(be32(p, 72), 0x00010000u);
  EXPECT_EQ(be32(p, 76), 0x0000D32Du);
  EXPECT_EQ(sig(p, 80), "orvs");
  for (std::size_t i = 84; i < 128; ++i) EXPECT_EQ(p[i], 0) << i;
}

TEST(IccProfile, TagTableAndDataBlocks) {
  const auto& p = stitch::prophoto_icc_profile();
  ASSERT_EQ(be32(p, 128), 9u);
  struct Tag {
    const char* signature;
    const char* type;
    std::uint32_t size;  // 0: checked separately
  };
  const Tag tags[9] = {{"desc", "desc", 32}, {"cprt", "text", 0},  {"wtpt", "XYZ ", 20},
                       {"rXYZ", "XYZ ", 20}, {"gXYZ", "XYZ ", 20}, {"bXYZ", "XYZ ", 20},
                       {"rTRC", "curv", 14}, {"gTRC", "curv", 14}, {"bTRC", "curv", 14}};
  std::uint32_t end = 240;
  for (std::size_t i = 0; i < 9; ++i) {
    const std::size_t at = 132 + 12 * i;
    SCOPED_TRACE(tags[i].signature);
    EXPECT_EQ(sig(p, at), tags[i].signature);
    const std::uint32_t offset = be32(p, at + 4);
    const std::uint32_t size = be32(p, at + 8);
    EXPECT_EQ(offset % 4, 0u);
    EXPECT_EQ(offset, (end + 3) / 4 * 4);
    for (std::uint32_t k = end; k < offset; ++k) EXPECT_EQ(p[k], 0);
    if (tags[i].size != 0) {
      EXPECT_EQ(size, tags[i].size);
    }
    EXPECT_EQ(sig(p, offset), tags[i].type);
    EXPECT_EQ(be32(p, offset + 4), 0u);
    end = offset + size;
  }
  EXPECT_EQ(end, p.size());  // bTRC ends the profile

  // desc at 240..271, then cprt at 272.
  EXPECT_EQ(be32(p, 136), 240u);
  EXPECT_EQ(be32(p, 140), 32u);
  EXPECT_EQ(be32(p, 148), 272u);
}

TEST(IccProfile, BlockContents) {
  const auto& p = stitch::prophoto_icc_profile();
  auto block = [&](std::size_t index) { return be32(p, 132 + 12 * index + 4); };
  // desc: ASCII count n + 1, the name, NUL.
  const std::uint32_t desc = block(0);
  EXPECT_EQ(be32(p, desc + 8), 20u);
  EXPECT_EQ(std::string(p.begin() + desc + 12, p.begin() + desc + 32),
            std::string("Orvane ProPhoto RGB\0", 20));
  // cprt: one ASCII line naming the generator, NUL-terminated.
  const std::uint32_t cprt = block(1);
  const std::uint32_t cprt_size = be32(p, 132 + 12 + 8);
  const std::string notice(p.begin() + cprt + 8, p.begin() + cprt + cprt_size - 1);
  EXPECT_NE(notice.find("Orvane"), std::string::npos);
  EXPECT_EQ(notice.find('\n'), std::string::npos);
  EXPECT_EQ(p[cprt + cprt_size - 1], 0);
  const std::uint32_t xyz[4][3] = {{0x0000F6D6, 0x00010000, 0x0000D32D},
                                   {0x0000CC34, 0x000049BD, 0},
                                   {0x0000229C, 0x0000B63D, 0},
                                   {0x00000807, 0x00000006, 0x0000D341}};
  for (std::size_t t = 0; t < 4; ++t) {
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(be32(p, block(2 + t) + 8 + 4 * c), xyz[t][c]);
  }
  for (std::size_t t = 6; t < 9; ++t) {
    const std::uint32_t at = block(t);
    EXPECT_EQ(be32(p, at + 8), 1u);
    EXPECT_EQ(p[at + 12], 0x01);
    EXPECT_EQ(p[at + 13], 0xCD);
  }
}

TEST(IccProfile, SameBytesEveryCall) {
  const std::vector<std::uint8_t> first = stitch::prophoto_icc_profile();
  EXPECT_EQ(first, stitch::prophoto_icc_profile());
}

}  // namespace
