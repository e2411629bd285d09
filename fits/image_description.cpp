// The image a header describes, and the mapping of wide samples into 16-bit host samples.
#include "fits/image_description.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "host/host_records.h"

namespace {

constexpr double largestHostValue = 65535.0;

// Host value of the smallest physical value: 1 when host 0 is taken by the blanks.
double firstHostValue(const PhysicalRange &range) { return range.blanks ? 1.0 : 0.0; }

// Samples are big-endian in every FITS file, whatever the machine.
inline uint64_t loadBigEndian(const uint8_t *bytes, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

inline double storedValue(int16_t bitpix, const uint8_t *bytes) {
    switch (bitpix) {
    case 8:
        return bytes[0];
    case 16:
        return static_cast<int16_t>(loadBigEndian(bytes, 2));
    case 32:
        return static_cast<int32_t>(loadBigEndian(bytes, 4));
    case 64:
        return static_cast<double>(static_cast<int64_t>(loadBigEndian(bytes, 8)));
    case -32: {
        uint32_t bits = static_cast<uint32_t>(loadBigEndian(bytes, 4));
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    default: {
        uint64_t bits = loadBigEndian(bytes, 8);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    }
}

// A BLANK stored value, compared before scaling, as FITS defines it for integer samples.
inline bool isBlankInteger(const ImageDescription &image, const uint8_t *bytes) {
    if (!image.hasBlank || image.bitpix < 0)
        return false;
    uint64_t bits = loadBigEndian(bytes, image.bytesPerSample);
    int64_t stored = image.bitpix == 64   ? static_cast<int64_t>(bits)
                     : image.bitpix == 32 ? int64_t{static_cast<int32_t>(bits)}
                     : image.bitpix == 16 ? int64_t{static_cast<int16_t>(bits)}
                                          : static_cast<int64_t>(bits);
    return stored == image.blank;
}

} // namespace

bool needsMapping(const ImageDescription &image) { return image.bitpix != 8 && image.bitpix != 16; }

int16_t hostDepth(const ImageDescription &image) { return needsMapping(image) ? int16_t{16} : image.bitpix; }

int16_t hostImageMode(int16_t planes) {
    if (planes == 1)
        return plugInModeGrayScale;
    return planes == 3 ? plugInModeRGBColor : plugInModeMultichannel;
}

int64_t fileRowBytes(const ImageDescription &image, int32_t columns) {
    if (image.bytesPerSample < 1 || columns < 0)
        return 0;
    return int64_t{image.bytesPerSample} * columns;
}

void chooseMapping(PhysicalRange *range) {
    const double first = firstHostValue(*range);
    range->step = 1.0;
    if (!range->found) {
        range->kind = SampleMapping::identity; // blanks only: every host value is 0
        range->zero = 0.0;
    } else if (range->whole && range->smallest >= first && range->largest <= largestHostValue) {
        range->kind = SampleMapping::identity;
        range->zero = 0.0;
    } else if ((range->whole && range->largest - range->smallest <= largestHostValue - first) ||
               range->largest == range->smallest) {
        // A constant that is not a whole number takes one host value the same way.
        range->kind = SampleMapping::offset;
        range->zero = range->smallest - first;
    } else {
        range->kind = SampleMapping::linear;
        // The span divided, so that the step keeps its precision when the values lie close
        // together far from zero; only a span beyond the doubles is divided before subtracting.
        const double span = range->largest - range->smallest;
        range->step = std::isfinite(span) ? span / (largestHostValue - first)
                                          : range->largest / (largestHostValue - first) -
                                                range->smallest / (largestHostValue - first);
        range->zero = range->smallest - first * range->step;
    }
}

void physicalValues(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical) {
    const int width = image.bytesPerSample;
    const bool scaled = image.exactZero != 0.0 || image.exactScale != 1.0;
    for (int32_t i = 0; i < samples; ++i) {
        const uint8_t *bytes = source + static_cast<size_t>(i) * width;
        double value = storedValue(image.bitpix, bytes);
        if (isBlankInteger(image, bytes) || !std::isfinite(value))
            value = std::numeric_limits<double>::quiet_NaN();
        else if (scaled)
            value = image.exactZero + image.exactScale * value;
        physical[i] = value;
    }
}

void takeRange(PhysicalRange *range, const double *physical, int32_t samples) {
    for (int32_t i = 0; i < samples; ++i) {
        double value = physical[i];
        // A scaled value can overflow to an infinity; it is as unusable as a NaN.
        if (!std::isfinite(value)) {
            range->blanks = true;
            continue;
        }
        if (!range->found) {
            range->found = true;
            range->whole = true;
            range->smallest = value;
            range->largest = value;
        }
        range->smallest = value < range->smallest ? value : range->smallest;
        range->largest = value > range->largest ? value : range->largest;
        range->whole = range->whole && value == std::floor(value);
    }
}

void mapToHost(const PhysicalRange &range, const double *physical, int32_t samples, uint8_t *destination) {
    const double first = firstHostValue(range);
    const double span = range.largest - range.smallest;
    const double perStep = range.kind == SampleMapping::linear ? 1.0 / range.step : 1.0;
    const bool splitDifference = !std::isfinite(span);
    // A subnormal step has no finite reciprocal; the differences are then divided by it.
    const bool divide = !std::isfinite(perStep);
    for (int32_t i = 0; i < samples; ++i) {
        double value = physical[i];
        double host = 0.0;
        if (std::isfinite(value)) {
            double offset = splitDifference ? value * perStep - range.smallest * perStep
                            : divide        ? (value - range.smallest) / range.step
                                            : (value - range.smallest) * perStep;
            host = range.kind == SampleMapping::identity ? value : std::nearbyint(offset + first);
            host = host < first ? first : (host > largestHostValue ? largestHostValue : host);
        }
        uint16_t sample = static_cast<uint16_t>(host);
        std::memcpy(destination + 2 * static_cast<size_t>(i), &sample, sizeof sample);
    }
}
