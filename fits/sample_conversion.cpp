// 16-bit sample conversion, with integer fast paths for the common codings.
#include "fits/sample_conversion.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double largestHostSample = 65535.0;

inline uint16_t loadBigEndian(const uint8_t *bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

// The host's buffer carries no alignment promise, so samples are stored bytewise.
inline void storeHost(uint8_t *bytes, uint16_t value) { std::memcpy(bytes, &value, sizeof value); }

// BZERO 32768 and BSCALE 1, the usual coding of unsigned data: a flip of the top bit.
void convertFlipped(const uint8_t *source, uint8_t *destination, int32_t samples) {
    for (int32_t i = 0; i < samples; ++i)
        storeHost(destination + 2 * i, static_cast<uint16_t>(loadBigEndian(source + 2 * i) ^ 0x8000u));
}

// BSCALE 1 with a whole-number BZERO: integer addition gives the same value as the double
// formula, since no fraction can arise.
void convertOffset(const uint8_t *source, uint8_t *destination, int32_t samples, int32_t offset) {
    for (int32_t i = 0; i < samples; ++i) {
        int32_t value = static_cast<int16_t>(loadBigEndian(source + 2 * i)) + offset;
        value = value < 0 ? 0 : value > 65535 ? 65535 : value;
        storeHost(destination + 2 * i, static_cast<uint16_t>(value));
    }
}

void convertScaled(const uint8_t *source, uint8_t *destination, int32_t samples, double bzero, double bscale) {
    for (int32_t i = 0; i < samples; ++i) {
        double value = static_cast<int16_t>(loadBigEndian(source + 2 * i)) * bscale + bzero;
        // Held to the host's range before truncation, which gives the same result and keeps
        // the conversion to an integer defined.
        value = value > 0.0 ? (value < largestHostSample ? value : largestHostSample) : 0.0;
        storeHost(destination + 2 * i, static_cast<uint16_t>(static_cast<int32_t>(value)));
    }
}

// Offsets this far from zero cannot overflow int32 arithmetic with a 16-bit sample.
constexpr float largestIntegerOffset = 1 << 20;

} // namespace

uint16_t hostSampleReference(int16_t stored, float bzero, float bscale) {
    double value = static_cast<double>(stored) * static_cast<double>(bscale) + static_cast<double>(bzero);
    if (!(value > 0.0))
        return 0;
    if (value >= largestHostSample)
        return 65535;
    return static_cast<uint16_t>(std::trunc(value));
}

void convertStoredRow(const uint8_t *source, uint8_t *destination, int32_t samples, float bzero, float *bscale) {
    if (!(*bscale != 0.0f))
        *bscale = 1.0f;
    if (*bscale == 1.0f && bzero == 32768.0f)
        convertFlipped(source, destination, samples);
    else if (*bscale == 1.0f && std::fabs(bzero) <= largestIntegerOffset && bzero == std::trunc(bzero))
        convertOffset(source, destination, samples, static_cast<int32_t>(bzero));
    else
        convertScaled(source, destination, samples, bzero, *bscale);
}

void encodeHostRow(uint8_t *row, int32_t samples) {
    for (int32_t i = 0; i < samples; ++i) {
        uint16_t host;
        std::memcpy(&host, row + 2 * i, sizeof host);
        uint16_t stored = static_cast<uint16_t>(host ^ 0x8000u);
        row[2 * i] = static_cast<uint8_t>(stored >> 8);
        row[2 * i + 1] = static_cast<uint8_t>(stored);
    }
}
