// The stitch engine: settings validation and the prepared parameters, the
// dual-fisheye projection with its pixel renderer, and the fitting of the
// DOWN lens, exposure and seam to a pair.
#pragma once

#include "stitch/prepare.hpp"
#include "stitch/projection.hpp"
#include "stitch/settings.hpp"
