// The host's picture of an image: the document the module reads into or saves from.
#pragma once

#include <cstdint>

#include "hostsim/status.h"

// Planar samples: all rows of plane 0, then plane 1, ...; each row `columns` samples of
// depth / 8 bytes, 16-bit samples in the machine's own byte order (as the module hands them).
struct HostImage {
    int32_t rows = 0;
    int32_t columns = 0;
    int16_t depth = 0;  // 8 or 16
    int16_t planes = 0; // 1 grey, 3 RGB
    int16_t mode = 0;   // plugInModeGrayScale or plugInModeRGBColor
    Bytes pixels;
};

// Largest side the host takes from any file: the host interface's Point holds 16-bit values.
constexpr int32_t hostMaxSide = 32767;

// Bytes per sample, row and plane; only meaningful for a depth of 8 or 16.
inline int32_t sampleBytes(const HostImage &image) { return image.depth / 8; }
inline size_t rowBytes(const HostImage &image) {
    return static_cast<size_t>(image.columns) * static_cast<size_t>(sampleBytes(image));
}
inline size_t planeBytes(const HostImage &image) { return rowBytes(image) * static_cast<size_t>(image.rows); }

// Sets the geometry and a zeroed pixel array. False when the geometry is outside what the
// host takes (sides 1..32767, depth 8 or 16, 1..24 planes) or memory ran out.
bool allocateImage(HostImage *image, int32_t rows, int32_t columns, int16_t depth, int16_t planes, int16_t mode);

// `to` becomes a copy of `from`; false when memory ran out.
bool copyImage(const HostImage &from, HostImage *to);

// The largest 16-bit sample of a full-range host (and of PNG and PGM files), and of the
// editors' own scale, which is 15 bits plus one value.
constexpr uint32_t fullRangeLargest = 65535;
constexpr uint32_t editorScaleLargest = 32768;

// `value` on 0 … from brought to 0 … to (both 1 … 65535), as a host scales: between 65535 and
// 32768 with the editors' pair, halving v > 32768 ? ((v - 1) >> 1) + 1 : v >> 1 and its exact
// inverse v > 16384 ? ((v - 1) << 1) + 1 : v << 1; otherwise rounded to the nearest step. A
// value above `from` is held to it first.
uint32_t rescaleSample(uint32_t value, uint32_t from, uint32_t to);

// Every sample of a 16-bit image brought from 0 … from to 0 … to (held to `from` first, also
// when the scales are the same); 8-bit images are left as they are.
void rescaleImage(HostImage *image, uint32_t from, uint32_t to);

// Sample (plane, row, column) as an unsigned value; no bounds check.
uint32_t sampleAt(const HostImage &image, int32_t plane, int32_t row, int32_t column);
void setSample(HostImage *image, int32_t plane, int32_t row, int32_t column, uint32_t value);

// Sample k of the image counted through its planes, rows and columns in that order, as it
// lies in memory; no bounds check.
uint32_t storedSample(const HostImage &image, size_t k);

// Samples as image files store them, pixel by pixel: each pixel's `channels` samples follow
// one another, of which the image keeps its first planes; 16-bit ones big-endian when
// `bigEndian`, else in the machine's own order.
void loadInterleaved(const uint8_t *data, int16_t channels, bool bigEndian, HostImage *image);
void storeInterleaved(const HostImage &image, bool bigEndian, uint8_t *out);
