// Geometry and sample access of the host's image.
#include "hostsim/host_image.h"

#include "hostsim/host_files.h"

#include <cstring>

// The module lists at most 24 channels for any mode; the host holds no more.
constexpr int16_t hostMaxPlanes = 24;

bool allocateImage(HostImage *image, int32_t rows, int32_t columns, int16_t depth, int16_t planes, int16_t mode) {
    image->pixels = Bytes{};
    if (rows < 1 || rows > hostMaxSide || columns < 1 || columns > hostMaxSide)
        return false;
    if ((depth != 8 && depth != 16) || planes < 1 || planes > hostMaxPlanes)
        return false;
    image->rows = rows;
    image->columns = columns;
    image->depth = depth;
    image->planes = planes;
    image->mode = mode;
    // At most 32767 * 32767 * 2 * 24 bytes: fits in 64 bits; on a 32-bit host the calloc fails.
    uint64_t total = uint64_t{planeBytes(*image)} * static_cast<uint64_t>(planes);
    if (total > SIZE_MAX)
        return false;
    if (!allocateBytes(&image->pixels, static_cast<size_t>(total)))
        return false;
    adviseLargeBlock(image->pixels.data.get(), image->pixels.size);
    return true;
}

bool copyImage(const HostImage &from, HostImage *to) {
    if (!allocateImage(to, from.rows, from.columns, from.depth, from.planes, from.mode))
        return false;
    std::memcpy(to->pixels.data.get(), from.pixels.data.get(), to->pixels.size);
    return true;
}

static size_t sampleOffset(const HostImage &image, int32_t plane, int32_t row, int32_t column) {
    return static_cast<size_t>(plane) * planeBytes(image) + static_cast<size_t>(row) * rowBytes(image) +
           static_cast<size_t>(column) * static_cast<size_t>(sampleBytes(image));
}

// The sample at `at` of an image of `depth` bits.
static uint32_t sampleFrom(const uint8_t *at, int16_t depth) {
    if (depth == 8)
        return *at;
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Writes `value` as a sample of `depth` bits at `at`, as sampleFrom reads it.
static void sampleTo(uint8_t *at, int16_t depth, uint32_t value) {
    if (depth == 8) {
        *at = static_cast<uint8_t>(value);
        return;
    }
    auto sample = static_cast<uint16_t>(value);
    std::memcpy(at, &sample, sizeof sample);
}

uint32_t sampleAt(const HostImage &image, int32_t plane, int32_t row, int32_t column) {
    return sampleFrom(image.pixels.data.get() + sampleOffset(image, plane, row, column), image.depth);
}

uint32_t storedSample(const HostImage &image, size_t k) {
    return sampleFrom(image.pixels.data.get() + k * static_cast<size_t>(sampleBytes(image)), image.depth);
}

void setSample(HostImage *image, int32_t plane, int32_t row, int32_t column, uint32_t value) {
    sampleTo(image->pixels.data.get() + sampleOffset(*image, plane, row, column), image->depth, value);
}

void loadInterleaved(const uint8_t *data, int16_t channels, bool bigEndian, HostImage *image) {
    const auto bytes = static_cast<size_t>(sampleBytes(*image));
    for (int32_t row = 0; row < image->rows; ++row)
        for (int32_t column = 0; column < image->columns; ++column) {
            for (int16_t plane = 0; plane < image->planes; ++plane) {
                const uint8_t *at = data + plane * bytes;
                const uint32_t value = bytes == 2 && bigEndian ? uint32_t{at[0]} << 8 | at[1] : sampleFrom(at, image->depth);
                setSample(image, plane, row, column, value);
            }
            data += bytes * static_cast<size_t>(channels);
        }
}

void storeInterleaved(const HostImage &image, bool bigEndian, uint8_t *out) {
    for (int32_t row = 0; row < image.rows; ++row)
        for (int32_t column = 0; column < image.columns; ++column)
            for (int16_t plane = 0; plane < image.planes; ++plane) {
                const auto value = static_cast<uint16_t>(sampleAt(image, plane, row, column));
                if (image.depth == 16 && bigEndian) {
                    *out++ = static_cast<uint8_t>(value >> 8);
                    *out++ = static_cast<uint8_t>(value);
                } else {
                    sampleTo(out, image.depth, value);
                    out += sampleBytes(image);
                }
            }
}

uint32_t rescaleSample(uint32_t value, uint32_t from, uint32_t to) {
    if (value > from)
        value = from;
    if (from == to)
        return value;
    if (from == fullRangeLargest && to == editorScaleLargest)
        return value > 32768 ? ((value - 1) >> 1) + 1 : value >> 1;
    if (from == editorScaleLargest && to == fullRangeLargest)
        return value > 16384 ? ((value - 1) << 1) + 1 : value << 1;
    return (value * to + from / 2) / from;
}

void rescaleImage(HostImage *image, uint32_t from, uint32_t to) {
    if (image->depth != 16)
        return;
    const size_t samples = planeBytes(*image) / 2 * static_cast<size_t>(image->planes);
    for (size_t i = 0; i < samples; ++i) {
        sampleTo(image->pixels.data.get() + 2 * i, 16, rescaleSample(storedSample(*image, i), from, to));
    }
}
