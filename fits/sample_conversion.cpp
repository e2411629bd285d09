// 16-bit sample conversion. hostSampleReference is the formula; the row loops take shortcuts
// that give the same value for every stored sample and every coding they accept, and are
// written so that the compiler turns them into vector code (see the build flags of this file).
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

constexpr double largestHostSample = 65535.0;

// Neither the file's rows nor the host's buffer promise any alignment; a two-byte memcpy
// compiles to a plain (vector) load or store.
inline uint16_t loadNative(const uint8_t *bytes) {
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

inline void storeNative(uint8_t *bytes, uint16_t value) { std::memcpy(bytes, &value, sizeof value); }

inline uint16_t swapBytes(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

// stored + 32768 as an unsigned number: the big-endian sample with its top bit flipped.
inline uint16_t unsignedStored(const uint8_t *bytes) {
    return static_cast<uint16_t>(swapBytes(loadNative(bytes)) ^ 0x8000u);
}

// BZERO 32768 and BSCALE 1, the usual coding of unsigned data: the host value is
// unsignedStored itself.
void convertFlipped(const uint8_t *__restrict source, uint8_t *__restrict destination, int32_t samples) {
    for (int32_t i = 0; i < samples; ++i)
        storeNative(destination + 2 * i, unsignedStored(source + 2 * i));
}

// A coding that unsigned 16-bit arithmetic converts exactly. With BSCALE = 2^-shift and
// BZERO = N × 2^-shift for a whole N of modest size, stored × BSCALE + BZERO is
// (stored + N) / 2^shift without rounding in double precision, and truncating it is the
// floor wherever the result is not held to 0 anyway. With u = stored + 32768 and
// D = N - 32768 the host value is floor((u + D) / 2^shift) held to 0 … 65535: a saturating
// addition of D when shift is 0, a saturating subtraction of -D followed by the shift when D
// is not positive. (A positive D with a shift would need a 17-bit sum; that case is left to
// the double loop.)
struct IntegerCoding {
    uint16_t raise; // D when positive (at most 65535, which already saturates every sample)
    uint16_t lower; // -D when negative, likewise
    int32_t shift;
};

inline uint16_t integerSample(uint16_t unsignedValue, const IntegerCoding &coding) {
    uint32_t raised = uint32_t{unsignedValue} + coding.raise;
    if (raised > 65535u)
        raised = 65535u;
    uint32_t lowered = raised > coding.lower ? raised - coding.lower : 0u;
    return static_cast<uint16_t>(lowered >> coding.shift);
}

void convertInteger(const uint8_t *source, uint8_t *destination, int32_t samples, const IntegerCoding &coding) {
    int32_t i = 0;
#if defined(__SSE2__)
    // The compiler does not find the saturating instructions in the scalar form.
    const __m128i topBit = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    const __m128i raise = _mm_set1_epi16(static_cast<int16_t>(coding.raise));
    const __m128i lower = _mm_set1_epi16(static_cast<int16_t>(coding.lower));
    const __m128i shift = _mm_cvtsi32_si128(coding.shift);
    for (; i + 8 <= samples; i += 8) {
        __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 2 * i));
        value = _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8));
        value = _mm_xor_si128(value, topBit);
        value = _mm_srl_epi16(_mm_subs_epu16(_mm_adds_epu16(value, raise), lower), shift);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + 2 * i), value);
    }
#endif
    for (; i < samples; ++i)
        storeNative(destination + 2 * i, integerSample(unsignedStored(source + 2 * i), coding));
}

// N up to this size keeps (stored + N) far inside the 53 bits of a double.
constexpr double largestIntegerOffset = 1 << 20;
constexpr int largestShift = 15;

// Whether bscale and bzero form an IntegerCoding, and which.
bool integerCodingOf(float bzero, float bscale, IntegerCoding *coding) {
    int exponent = 0;
    if (std::frexp(static_cast<double>(bscale), &exponent) != 0.5)
        return false;
    int shift = 1 - exponent; // bscale = 0.5 × 2^exponent = 2^-shift
    if (shift < 0 || shift > largestShift)
        return false;
    double whole = std::ldexp(static_cast<double>(bzero), shift);
    if (!(std::fabs(whole) <= largestIntegerOffset) || whole != std::trunc(whole))
        return false;
    int32_t difference = static_cast<int32_t>(whole) - 32768;
    if (difference > 0 && shift > 0)
        return false;
    coding->raise = static_cast<uint16_t>(difference > 0 ? (difference < 65535 ? difference : 65535) : 0);
    coding->lower = static_cast<uint16_t>(difference < 0 ? (-difference < 65535 ? -difference : 65535) : 0);
    coding->shift = shift;
    return true;
}

void convertScaled(const uint8_t *__restrict source, uint8_t *__restrict destination, int32_t samples, double bzero,
                   double bscale) {
    for (int32_t i = 0; i < samples; ++i) {
        double value = static_cast<int16_t>(swapBytes(loadNative(source + 2 * i))) * bscale + bzero;
        // Held to the host's range before truncation, which gives the same result, keeps the
        // conversion to an integer defined and sends a NaN to 0.
        value = value > 0.0 ? (value < largestHostSample ? value : largestHostSample) : 0.0;
        storeNative(destination + 2 * i, static_cast<uint16_t>(static_cast<int32_t>(value)));
    }
}

// fullRangeSampleReference in the form of the vector loop: twice the value held to 65535
// (which gives 65535 for 32768 and every value past it), less one for 16385 … 32767.
inline uint16_t fullRangeSample(uint16_t value) {
    const uint32_t twice = uint32_t{value} << 1;
    const uint32_t less = value > 16384 && value < largestEditorSample ? 1u : 0u;
    return static_cast<uint16_t>((twice < 65535u ? twice : 65535u) - less);
}

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
    // A NaN scale would turn every sample into 0; like zero, it is taken as 1.
    if (*bscale == 0.0f || std::isnan(*bscale))
        *bscale = 1.0f;
    IntegerCoding coding{};
    if (*bscale == 1.0f && bzero == 32768.0f)
        convertFlipped(source, destination, samples);
    else if (integerCodingOf(bzero, *bscale, &coding))
        convertInteger(source, destination, samples, coding);
    else
        convertScaled(source, destination, samples, bzero, *bscale);
}

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
