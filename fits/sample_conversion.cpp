// 16-bit samples from the host into FITS. The row loops are written so that the compiler turns
// them into vector code (see the build flags of this file), or in SSE2 where it does not.
#include "fits/sample_conversion.h"

#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Host samples are least significant byte first, and the loops below load and store them as
// native 16-bit values.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the sample loops assume a little-endian machine"
#endif

namespace {

// Neither the file's rows nor the host's buffer promise any alignment; a two-byte memcpy
// compiles to a plain (vector) load or store.
inline uint16_t loadNative(const uint8_t *bytes) {
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

inline void storeNative(uint8_t *bytes, uint16_t value) { std::memcpy(bytes, &value, sizeof value); }

inline uint16_t swapBytes(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

// fullRangeSampleReference in the form of the vector loop: twice the value held to 65535
// (which gives 65535 for 32768 and every value past it), less one for 16385 … 32767.
inline uint16_t fullRangeSample(uint16_t value) {
    const uint32_t twice = uint32_t{value} << 1;
    const uint32_t less = value > 16384 && value < largestEditorSample ? 1u : 0u;
    return static_cast<uint16_t>((twice < 65535u ? twice : 65535u) - less);
}

} // namespace

void encodeHostRow(uint8_t *row, int32_t samples) {
    for (int32_t i = 0; i < samples; ++i)
        storeNative(row + 2 * i, swapBytes(static_cast<uint16_t>(loadNative(row + 2 * i) ^ 0x8000u)));
}

uint16_t fullRangeSampleReference(uint16_t editorSample) {
    const uint32_t value = editorSample < largestEditorSample ? editorSample : largestEditorSample;
    return static_cast<uint16_t>(value > 16384 ? ((value - 1) << 1) + 1 : value << 1);
}

void encodeEditorRow(uint8_t *row, int32_t samples) {
    int32_t i = 0;
#if defined(__SSE2__)
    // Three operations besides encodeHostRow's: the saturating doubling, and a signed
    // comparison, true for 16385 … 32767 alone (the values from 32768 on are negative to it),
    // whose all-ones mask adds -1. The compiler finds neither in the scalar form.
    const __m128i topBit = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    const __m128i quarter = _mm_set1_epi16(16384);
    for (; i + 8 <= samples; i += 8) {
        __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 2 * i));
        __m128i lessOne = _mm_cmpgt_epi16(value, quarter);
        value = _mm_xor_si128(_mm_add_epi16(_mm_adds_epu16(value, value), lessOne), topBit);
        value = _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + 2 * i), value);
    }
#endif
    for (; i < samples; ++i)
        storeNative(row + 2 * i, swapBytes(static_cast<uint16_t>(fullRangeSample(loadNative(row + 2 * i)) ^ 0x8000u)));
}
