// Conversion of 16-bit host samples (unsigned, native order) into FITS ones (big-endian,
// signed, host value - 32768). The way in is shiftStoredRow, with the image's mapping.
#pragma once

#include <cstdint>

// Turns `samples` host samples into stored big-endian ones in place: host value - 32768.
void encodeHostRow(uint8_t *row, int32_t samples);

// The module's own 16-bit scale, on which it hands samples to the host: 0 … 65535.
constexpr int32_t largestFullRangeSample = 65535;

// Editors keep 16-bit samples on 0 … 32768 (15 bits plus one value) and hand a format module
// its samples on that scale when saving.
constexpr uint16_t largestEditorSample = 32768;

// One sample on the 0 … 32768 scale brought to 0 … 65535: v > 16384 ? ((v - 1) << 1) + 1 : v << 1,
// the exact inverse of the halving v > 32768 ? ((v - 1) >> 1) + 1 : v >> 1 that an editor
// applies to 0 … 65535 data, so 32768 becomes 65535 and each halved value its nearest source.
// A value above 32768 lies outside the scale and is held to 65535.
uint16_t fullRangeSampleReference(uint16_t editorSample);

// Turns `samples` host samples on the 0 … 32768 scale into stored big-endian ones in place:
// fullRangeSampleReference of each, minus 32768. One pass, like encodeHostRow.
void encodeEditorRow(uint8_t *row, int32_t samples);
