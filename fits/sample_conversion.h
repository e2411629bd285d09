// Conversion of 16-bit samples between FITS (big-endian, signed, BZERO + BSCALE × stored) and
// the host (unsigned, native order).
#pragma once

#include <cstdint>

// The value the host gets for one stored sample: stored × bscale + bzero in double precision,
// truncated toward zero, held to 0 … 65535 (a NaN gives 0). bscale must not be zero.
uint16_t hostSampleReference(int16_t stored, float bzero, float bscale);

// Converts `samples` big-endian stored samples from `source` into host samples in
// `destination` (the two may not overlap). A zero or NaN *bscale is replaced by 1 first, and
// stays replaced. Every path gives exactly hostSampleReference.
void convertStoredRow(const uint8_t *source, uint8_t *destination, int32_t samples, float bzero, float *bscale);

// Turns `samples` host samples into stored big-endian ones in place: host value - 32768.
void encodeHostRow(uint8_t *row, int32_t samples);
