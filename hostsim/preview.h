// Display previews: an 8-bit picture of an image for looking at, not for measuring. Raw
// frames fill a small part of their range (a sky near 200 of 65535, say), so the samples are
// brought to the screen through a range found from the image itself and a display curve.
#pragma once

#include <cstdint>
#include <string>

#include "hostsim/host_image.h"

enum class Stretch : uint8_t {
    asinh,  // black point two sky sigmas below the median, asinh softened at three sigmas,
            // white at the 99.99th percentile: faint stars and bright ones both show
    linear, // straight from the 0.25th to the 99.75th percentile
};

constexpr Stretch defaultStretch = Stretch::asinh;

// "asinh" and "linear"; false for any other name.
bool parseStretch(const std::string &name, Stretch *stretch);
const char *stretchName(Stretch stretch);

// An 8-bit copy of `source` through `stretch`, with one range for all planes so that colours
// keep their balance: RGB stays RGB, and any other image becomes grey from its first plane.
// False when memory ran out or `source` holds no samples.
bool makePreview(const HostImage &source, Stretch stretch, HostImage *preview);
