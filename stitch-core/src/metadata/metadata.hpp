// The metadata blobs that exported panoramas carry.
#pragma once

#include <cstdint>
#include <vector>

namespace stitch {

// The ProPhoto RGB (gamma 1.8, D50) ICC display profile embedded in TIFF
// exports; the same bytes on every call.
const std::vector<std::uint8_t>& prophoto_icc_profile();

}  // namespace stitch
