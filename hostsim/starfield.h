// The demo's synthetic sky.
#pragma once

#include <cstdint>

#include "hostsim/host_image.h"

constexpr int32_t starFieldSide = 1024;
constexpr int32_t starFieldStars = 900;

// A 1024 × 1024 16-bit grey star field: a sky background with a faint gradient and noise,
// and stars of a steep range of brightness, each a Gaussian point-spread profile. The same
// seed gives the same pixels. False when memory ran out.
bool makeStarField(HostImage *image, uint64_t seed);

