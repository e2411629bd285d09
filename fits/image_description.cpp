// The image a header describes, and the mapping of wide samples into 16-bit host samples.
#include "fits/image_description.h"

#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fits/tile_codec_shared.h"
#include "host/host_records.h"

namespace {

constexpr double largestHostValue = 65535.0;
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// Host value of the smallest physical value: 1 when host 0 is taken by the blanks.
double firstHostValue(const PhysicalRange &range) { return range.blanks ? 1.0 : 0.0; }

// Samples are big-endian in every FITS file, whatever the machine; compilers turn these into
// one byte swap.
inline uint32_t loadBigEndian32(const uint8_t *bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

inline uint64_t loadBigEndian64(const uint8_t *bytes) {
    return uint64_t{loadBigEndian32(bytes)} << 32 | loadBigEndian32(bytes + 4);
}

// The stored integer of an integer kind, as BLANK names it.
template <int Bitpix> inline int64_t storedInteger(const uint8_t *bytes) {
    if constexpr (Bitpix == 8)
        return bytes[0];
    else if constexpr (Bitpix == 16)
        return static_cast<int16_t>(uint16_t{bytes[0]} << 8 | bytes[1]);
    else if constexpr (Bitpix == 32)
        return static_cast<int32_t>(loadBigEndian32(bytes));
    else
        return static_cast<int64_t>(loadBigEndian64(bytes));
}

template <int Bitpix> inline double storedValue(const uint8_t *bytes) {
    if constexpr (Bitpix == -32)
        return floatFromBits(loadBigEndian32(bytes), 4);
    else if constexpr (Bitpix == -64)
        return floatFromBits(loadBigEndian64(bytes), 8);
    else
        return static_cast<double>(storedInteger<Bitpix>(bytes));
}

// x - x is 0 for finite x alone: NaN and both infinities give NaN.
inline bool isFinite(double value) { return value - value == 0.0; }

#if defined(__SSE2__)
// The loops below do two samples at a time with SSE2 where the compiler does not find the
// instructions in the scalar form (byte swaps, selects, packs). They do exactly the scalar
// loops' IEEE operations in the same order, so both give the same bits, on every build.

// Bytes swapped in each 16-bit lane.
inline __m128i swapBytes(__m128i value) { return _mm_or_si128(_mm_slli_epi16(value, 8), _mm_srli_epi16(value, 8)); }

// Two big-endian samples as doubles; kinds without a form here have none.
template <int Bitpix> constexpr bool hasPairLoad = Bitpix == 32 || Bitpix == -32 || Bitpix == -64;

template <int Bitpix> inline __m128d loadPair(const uint8_t *bytes) {
    if constexpr (Bitpix == -64) {
        __m128i value = swapBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
        return _mm_castsi128_pd(_mm_shufflehi_epi16(_mm_shufflelo_epi16(value, 0x1B), 0x1B));
    } else {
        __m128i value = swapBytes(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(bytes)));
        value = _mm_shufflelo_epi16(value, 0xB1);
        if constexpr (Bitpix == 32)
            return _mm_cvtepi32_pd(value);
        else
            return _mm_cvtps_pd(_mm_castsi128_ps(value));
    }
}

// All ones in the lanes that hold finite values (x - x is 0 for those alone).
inline __m128d finiteLanes(__m128d value) { return _mm_cmpeq_pd(_mm_sub_pd(value, value), _mm_setzero_pd()); }

// Four big-endian 32-bit floats: bytes swapped in each 16-bit lane, then the lanes of each float.
inline __m128 loadFourFloats(const uint8_t *bytes) {
    __m128i bits = swapBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
    return _mm_castsi128_ps(_mm_shufflehi_epi16(_mm_shufflelo_epi16(bits, 0xB1), 0xB1));
}

// A pair of stored values, scaled, into physical.
template <bool Scaled> struct PairScaling {
    __m128d zero, scale;
    __m128d apply(__m128d value) const {
        if constexpr (Scaled)
            value = _mm_add_pd(zero, _mm_mul_pd(scale, value));
        return value;
    }
    void store(double *physical, __m128d value) const { _mm_storeu_pd(physical, apply(value)); }
};

// Physical values of pairs of samples without BLANK; how many samples it did. 32-bit floats,
// the commonest kind, go four to a byte swap.
template <int Bitpix, bool Scaled>
int32_t valuesInPairs(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical) {
    constexpr size_t width = Bitpix < 0 ? -Bitpix / 8 : Bitpix / 8;
    const PairScaling<Scaled> scaling{_mm_set1_pd(image.exactZero), _mm_set1_pd(image.exactScale)};
    int32_t i = 0;
    if constexpr (Bitpix == -32) {
        for (; i + 4 <= samples; i += 4) {
            const __m128 four = loadFourFloats(source + 4 * i);
            scaling.store(physical + i, _mm_cvtps_pd(four));
            scaling.store(physical + i + 2, _mm_cvtps_pd(_mm_movehl_ps(four, four)));
        }
    }
    for (; i + 2 <= samples; i += 2)
        scaling.store(physical + i, loadPair<Bitpix>(source + static_cast<size_t>(i) * width));
    return i;
}
#endif

// The physical values of one kind of samples, with the choices of kind, BLANK and scaling made
// once per row rather than once per sample. A BLANK becomes NaN; NaN and infinities, stored or
// reached by the scaling, stay as they are: the range and the mapping take every value that is
// not finite for a blank.
template <int Bitpix, bool Blank, bool Scaled>
void valuesOfKind(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical) {
    constexpr size_t width = Bitpix < 0 ? -Bitpix / 8 : Bitpix / 8;
    const double zero = image.exactZero;
    const double scale = image.exactScale;
    int32_t i = 0;
#if defined(__SSE2__)
    if constexpr (!Blank && hasPairLoad<Bitpix>)
        i = valuesInPairs<Bitpix, Scaled>(image, source, samples, physical);
#endif
    for (; i < samples; ++i) {
        const uint8_t *bytes = source + static_cast<size_t>(i) * width;
        double value = storedValue<Bitpix>(bytes);
        if constexpr (Scaled)
            value = zero + scale * value;
        if constexpr (Blank)
            value = storedInteger<Bitpix>(bytes) == image.blank ? notANumber : value;
        physical[i] = value;
    }
}

template <int Bitpix, bool Blank>
void valuesOfKind(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical) {
    if (image.exactZero != 0.0 || image.exactScale != 1.0)
        valuesOfKind<Bitpix, Blank, true>(image, source, samples, physical);
    else
        valuesOfKind<Bitpix, Blank, false>(image, source, samples, physical);
}

// BLANK names stored integers; floating-point kinds have NaN instead.
template <int Bitpix>
void integerValues(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical) {
    if (image.hasBlank)
        valuesOfKind<Bitpix, true>(image, source, samples, physical);
    else
        valuesOfKind<Bitpix, false>(image, source, samples, physical);
}

// Most whole values fit 32 bits, whose conversion is one instruction on every target; floor
// is a library call on some.
inline bool isWhole(double value) {
    if (std::fabs(value) < 2147483648.0)
        return value == static_cast<double>(static_cast<int32_t>(value));
    return value == std::floor(value);
}

// Whether every finite value is a whole number; stops at the first that is not.
bool allWhole(const double *physical, int32_t samples) {
    int32_t i = 0;
#if defined(__SSE2__)
    // Pairs whose values come back through 32 bits unchanged are whole; the others (large,
    // fractional or blank) are looked at one by one.
    for (; i + 2 <= samples; i += 2) {
        __m128d value = _mm_loadu_pd(physical + i);
        __m128d through = _mm_cvtepi32_pd(_mm_cvttpd_epi32(value));
        if (_mm_movemask_pd(_mm_cmpeq_pd(through, value)) == 3)
            continue;
        for (int32_t k = i; k < i + 2; ++k)
            if (isFinite(physical[k]) && !isWhole(physical[k]))
                return false;
    }
#endif
    for (; i < samples; ++i)
        if (isFinite(physical[i]) && !isWhole(physical[i]))
            return false;
    return true;
}

// The smallest and largest finite values and whether there are others (blanks). Both ends
// start as the range so far (infinities when none).
struct RowRange {
    double smallest, largest;
    bool blanks;
};

void widenCarefully(RowRange *row, const double *physical, int32_t samples) {
    for (int32_t i = 0; i < samples; ++i) {
        double value = physical[i];
        bool finite = isFinite(value);
        row->blanks = row->blanks || !finite;
        row->smallest = finite && value < row->smallest ? value : row->smallest;
        row->largest = finite && value > row->largest ? value : row->largest;
    }
}

#if defined(__SSE2__)
// minpd and maxpd give their second operand when the first is NaN, so NaN changes neither end;
// an infinity does, and then the row is gone over again with care. The order in which minpd
// meets the values can only change the sign of a zero end, which no host value or saved card
// shows. How many samples it did: 0 when the careful loop is to take the row.
int32_t widenInPairs(RowRange *row, const double *physical, int32_t samples) {
    __m128d smallest = _mm_set1_pd(row->smallest);
    __m128d largest = _mm_set1_pd(row->largest);
    __m128d blanks = _mm_setzero_pd();
    int32_t i = 0;
    for (; i + 2 <= samples; i += 2) {
        __m128d value = _mm_loadu_pd(physical + i);
        blanks = _mm_or_pd(blanks, _mm_cmpunord_pd(value, value));
        smallest = _mm_min_pd(value, smallest);
        largest = _mm_max_pd(value, largest);
    }
    double low[2], high[2];
    _mm_storeu_pd(low, smallest);
    _mm_storeu_pd(high, largest);
    if (low[0] == -infinity || low[1] == -infinity || high[0] == infinity || high[1] == infinity)
        return 0;
    row->smallest = low[1] < low[0] ? low[1] : low[0];
    row->largest = high[1] > high[0] ? high[1] : high[0];
    row->blanks = row->blanks || _mm_movemask_pd(blanks) != 0;
    return i;
}
#endif

// Takes a row's ends into the range; `rowWhole` (whether the row's finite values are all whole)
// is asked only when the answer counts.
template <class RowWhole> void takeRowEnds(PhysicalRange *range, const RowRange &row, RowWhole rowWhole) {
    const bool wasFound = range->found;
    range->blanks = range->blanks || row.blanks;
    range->found = row.smallest <= row.largest;
    if (!range->found)
        return;
    range->smallest = row.smallest;
    range->largest = row.largest;
    range->whole = (!wasFound || range->whole) && rowWhole();
}

void widenRange(RowRange *row, const double *physical, int32_t samples) {
    int32_t i = 0;
#if defined(__SSE2__)
    i = widenInPairs(row, physical, samples);
#endif
    widenCarefully(row, physical + i, samples - i);
}

// A rounding to the nearest whole number, ties to even, exactly as nearbyint in the default
// rounding mode, for 0 <= value < 2^51: adding 1.5 × 2^52 leaves no fraction bits.
inline double roundToNearest(double value) {
    constexpr double noFraction = 6755399441055744.0;
    return (value + noFraction) - noFraction;
}

// The fast mapping's arithmetic: host = (value - origin) × perStep + base, held to first …
// 65535, rounded; blanks 0.
struct HostMapping {
    double origin, perStep, base, first;
};

// The fast mapping of a range; false for ranges at the edges of the doubles, which take
// mapWithCare.
bool fastMapping(const PhysicalRange &range, HostMapping *m) {
    const double perStep = range.kind == SampleMapping::linear ? 1.0 / range.step : 1.0;
    if (!std::isfinite(range.largest - range.smallest) || !std::isfinite(perStep))
        return false;
    // Identity is the same arithmetic from physical 0 to host 0, which leaves whole numbers as
    // they are.
    const bool identity = range.kind == SampleMapping::identity;
    const double first = firstHostValue(range);
    *m = HostMapping{identity ? 0.0 : range.smallest, perStep, identity ? 0.0 : first, first};
    return true;
}

// The host value of one physical value under the fast mapping.
inline double hostValue(const HostMapping &m, double value) {
    double host = (value - m.origin) * m.perStep + m.base;
    // Held to the host's range before the rounding, which the whole-number ends make the same.
    host = host < m.first ? m.first : host;
    host = host > largestHostValue ? largestHostValue : host;
    return isFinite(value) ? roundToNearest(host) : 0.0;
}

#if defined(__SSE2__)
// The fast mapping in every lane.
struct HostLanes {
    __m128d origin, perStep, base, first, last;
    explicit HostLanes(const HostMapping &m)
        : origin(_mm_set1_pd(m.origin)), perStep(_mm_set1_pd(m.perStep)), base(_mm_set1_pd(m.base)),
          first(_mm_set1_pd(m.first)), last(_mm_set1_pd(largestHostValue)) {}
};

// A pair of physical values through hostValue's operations, lane by lane, up to the rounding:
// maxpd and minpd with the bound first are its comparisons exactly.
inline __m128d mapPairUnrounded(const HostLanes &m, __m128d value) {
    const __m128d host = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(value, m.origin), m.perStep), m.base);
    return _mm_min_pd(m.last, _mm_max_pd(m.first, host));
}

// The pair's host values as whole numbers in the low half, blanks 0. cvtpd2dq rounds as
// hostValue does: to nearest, ties to even (in the rounding mode in force, as nearbyint).
inline __m128i mapPair(const HostLanes &m, __m128d value) {
    return _mm_cvtpd_epi32(_mm_and_pd(finiteLanes(value), mapPairUnrounded(m, value)));
}

// Four host values (0 … 65535, in 32 bits) taken 32768 down, which fits the signed pack; the
// top bit puts them back.
inline __m128i biasedFour(__m128i four) { return _mm_sub_epi32(four, _mm_set1_epi32(32768)); }

inline __m128i unbiased(__m128i packed) { return _mm_xor_si128(packed, _mm_set1_epi16(static_cast<int16_t>(0x8000))); }

// Two pairs of physical values through the mapping, as four host values less 32768.
inline __m128i mapFour(const HostLanes &m, __m128d first, __m128d second) {
    return biasedFour(_mm_unpacklo_epi64(mapPair(m, first), mapPair(m, second)));
}

inline void storeFour(uint8_t *destination, __m128i four) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(destination), unbiased(_mm_packs_epi32(four, four)));
}

// Pairs of samples through the mapping, written four at a time; how many samples it did.
int32_t mapInPairs(const HostMapping &m, const double *physical, int32_t samples, uint8_t *destination) {
    const HostLanes lanes(m);
    int32_t i = 0;
    for (; i + 4 <= samples; i += 4)
        storeFour(destination + 2 * static_cast<size_t>(i),
                  mapFour(lanes, _mm_loadu_pd(physical + i), _mm_loadu_pd(physical + i + 2)));
    return i;
}
#endif

inline void storeHostSample(uint8_t *destination, int32_t i, double host) {
    auto sample = static_cast<uint16_t>(static_cast<int32_t>(host));
    std::memcpy(destination + 2 * static_cast<size_t>(i), &sample, sizeof sample);
}

// The mapping for ranges at the edges of the doubles: a span beyond them (each end scaled
// before the difference) or a subnormal step (no finite reciprocal: the differences divided).
void mapWithCare(const PhysicalRange &range, const double *physical, int32_t samples, uint8_t *destination) {
    const double first = firstHostValue(range);
    const double perStep = 1.0 / range.step;
    const bool splitDifference = !std::isfinite(range.largest - range.smallest);
    for (int32_t i = 0; i < samples; ++i) {
        double value = physical[i];
        double host = 0.0;
        if (isFinite(value)) {
            double offset = splitDifference ? value * perStep - range.smallest * perStep
                                            : (value - range.smallest) / range.step;
            host = std::nearbyint(offset + first);
            // Written so that a NaN, which no finite value should give here, still lands on a
            // host value rather than in an undefined conversion.
            host = !(host >= first) ? first : (host > largestHostValue ? largestHostValue : host);
        }
        storeHostSample(destination, i, host);
    }
}

#if defined(__SSE2__)
// Both passes straight from the stored bytes, for the kinds with a pair load and no BLANK: the
// same values, in the same operations, as physicalValues followed by takeRange or mapToHost,
// without a row of doubles between them.

template <int Bitpix> constexpr size_t sampleWidth = Bitpix < 0 ? -Bitpix / 8 : Bitpix / 8;

// One physical value, as the scalar loop of valuesOfKind gives it.
template <int Bitpix, bool Scaled> inline double physicalAt(const ImageDescription &image, const uint8_t *bytes) {
    double value = storedValue<Bitpix>(bytes);
    if constexpr (Scaled)
        value = image.exactZero + image.exactScale * value;
    return value;
}

// Four samples as two pairs of physical values, as valuesInPairs gives them.
template <int Bitpix, bool Scaled>
inline void loadFour(const PairScaling<Scaled> &scaling, const uint8_t *bytes, __m128d *first, __m128d *second) {
    if constexpr (Bitpix == -32) {
        const __m128 four = loadFourFloats(bytes);
        *first = scaling.apply(_mm_cvtps_pd(four));
        *second = scaling.apply(_mm_cvtps_pd(_mm_movehl_ps(four, four)));
    } else {
        *first = scaling.apply(loadPair<Bitpix>(bytes));
        *second = scaling.apply(loadPair<Bitpix>(bytes + 2 * sampleWidth<Bitpix>));
    }
}

// All ones in the lanes that hold finite values with a fraction. Below 2^52 (2^23 for floats),
// adding that power of two leaves no fraction bits, so the sum less it differs from a magnitude
// with a fraction alone, in every rounding mode; larger magnitudes are whole or not finite.
inline __m128d fractionLanes(__m128d value) {
    const __m128d noFraction = _mm_set1_pd(4503599627370496.0);
    const __m128d magnitude = _mm_andnot_pd(_mm_set1_pd(-0.0), value);
    const __m128d rounded = _mm_sub_pd(_mm_add_pd(magnitude, noFraction), noFraction);
    return _mm_and_pd(_mm_cmplt_pd(magnitude, noFraction), _mm_cmpneq_pd(rounded, magnitude));
}

inline __m128 fractionLanes(__m128 value) {
    const __m128 noFraction = _mm_set1_ps(8388608.0f);
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), value);
    const __m128 rounded = _mm_sub_ps(_mm_add_ps(magnitude, noFraction), noFraction);
    return _mm_and_ps(_mm_cmplt_ps(magnitude, noFraction), _mm_cmpneq_ps(rounded, magnitude));
}

// Where widenInPairs' loop stands: the ends of its two lanes (even and odd samples), whether
// it met NaN, and whether a finite value had a fraction.
struct LaneEnds {
    double low[2], high[2];
    bool blanks, fraction;
};

// The end that one of widenInPairs' lanes reaches from `start`, from the ends of accumulators
// that each took part of the lane's values, in order, from an infinity. minpd and maxpd replace
// an end only by a value beyond it, so a lane ends on the first of its extreme values; which
// accumulator held that first one is not known here, which matters only when equal ends differ
// (zeros of both signs): false then.
bool joinEnds(double start, const double *ends, int count, bool smallest, double *joined) {
    double end = start;
    for (int k = 0; k < count; ++k)
        end = (smallest ? ends[k] < end : ends[k] > end) ? ends[k] : end;
    *joined = end;
    for (int k = 0; k < count && end != start; ++k)
        if (ends[k] == end && std::signbit(ends[k]) != std::signbit(end))
            return false;
    return true;
}

// The lanes' ends from accumulators whose lane m took samples of the parity of m.
bool joinLanes(const double *lows, const double *highs, int count, LaneEnds *ends) {
    for (int lane = 0; lane < 2; ++lane) {
        double low[4], high[4];
        for (int k = 0; k < count / 2; ++k) {
            low[k] = lows[2 * k + lane];
            high[k] = highs[2 * k + lane];
        }
        if (!joinEnds(ends->low[lane], low, count / 2, true, &ends->low[lane]) ||
            !joinEnds(ends->high[lane], high, count / 2, false, &ends->high[lane]))
            return false;
    }
    return true;
}

// The first pass from where the vector loop stopped: the pairs left as widenInPairs takes them,
// its check for infinite ends, and the odd last sample as widenCarefully takes it.
template <int Bitpix, bool Scaled, bool Whole>
bool finishRow(PhysicalRange *range, const ImageDescription &image, const uint8_t *source, int32_t i,
               int32_t samples, LaneEnds ends) {
    constexpr size_t width = sampleWidth<Bitpix>;
    for (; i + 2 <= samples; i += 2) {
        for (int lane = 0; lane < 2; ++lane) {
            const double value = physicalAt<Bitpix, Scaled>(image, source + width * static_cast<size_t>(i + lane));
            ends.blanks = ends.blanks || value != value;
            ends.low[lane] = value < ends.low[lane] ? value : ends.low[lane];
            ends.high[lane] = value > ends.high[lane] ? value : ends.high[lane];
            if constexpr (Whole)
                ends.fraction = ends.fraction || (isFinite(value) && !isWhole(value));
        }
    }
    if (ends.low[0] == -infinity || ends.low[1] == -infinity || ends.high[0] == infinity || ends.high[1] == infinity)
        return false;
    RowRange row{ends.low[1] < ends.low[0] ? ends.low[1] : ends.low[0],
                 ends.high[1] > ends.high[0] ? ends.high[1] : ends.high[0], ends.blanks};
    for (; i < samples; ++i) {
        const double value = physicalAt<Bitpix, Scaled>(image, source + width * static_cast<size_t>(i));
        widenCarefully(&row, &value, 1);
        if constexpr (Whole)
            ends.fraction = ends.fraction || (isFinite(value) && !isWhole(value));
    }
    takeRowEnds(range, row, [&] { return !ends.fraction; });
    return true;
}

// takeRange over the row's physical values; false, with the range untouched, for a row that
// holds an infinity or leaves the sign of a zero end open: the row of doubles takes it then.
// Whole: whether the answer to allWhole counts. Unscaled floats go eight at a time through the
// floats themselves, whose order and zeros are their doubles'; the other kinds four at a time.
// Each lane of widenInPairs is spread over several accumulators, so that no one waits on itself.
template <int Bitpix, bool Scaled, bool Whole>
bool takeRowOfKind(PhysicalRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples) {
    const double startLow = range->found ? range->smallest : infinity;
    const double startHigh = range->found ? range->largest : -infinity;
    LaneEnds ends{{startLow, startLow}, {startHigh, startHigh}, false, false};
    // Unscaled 32-bit integers are whole numbers.
    constexpr bool checkWhole = Whole && !(Bitpix == 32 && !Scaled);
    int32_t i = 0;
    // The accumulators' lanes, as doubles, for joinLanes.
    constexpr int lanes = Bitpix == -32 && !Scaled ? 8 : 4;
    double lows[lanes], highs[lanes];
    // cmpunord of two vectors finds NaN in either.
    if constexpr (Bitpix == -32 && !Scaled) {
        const float floatInfinity = std::numeric_limits<float>::infinity();
        const __m128 up = _mm_set1_ps(floatInfinity), down = _mm_set1_ps(-floatInfinity);
        __m128 low0 = up, low1 = up, high0 = down, high1 = down;
        __m128 blanks = _mm_setzero_ps(), fraction = _mm_setzero_ps();
        for (; i + 8 <= samples; i += 8) {
            const __m128 first = loadFourFloats(source + 4 * static_cast<size_t>(i));
            const __m128 second = loadFourFloats(source + 4 * static_cast<size_t>(i) + 16);
            blanks = _mm_or_ps(blanks, _mm_cmpunord_ps(first, second));
            low0 = _mm_min_ps(first, low0);
            low1 = _mm_min_ps(second, low1);
            high0 = _mm_max_ps(first, high0);
            high1 = _mm_max_ps(second, high1);
            if constexpr (checkWhole)
                fraction = _mm_or_ps(fraction, _mm_or_ps(fractionLanes(first), fractionLanes(second)));
        }
        float lowFloats[8], highFloats[8];
        _mm_storeu_ps(lowFloats, low0);
        _mm_storeu_ps(lowFloats + 4, low1);
        _mm_storeu_ps(highFloats, high0);
        _mm_storeu_ps(highFloats + 4, high1);
        for (int m = 0; m < 8; ++m) {
            lows[m] = lowFloats[m];
            highs[m] = highFloats[m];
        }
        ends.blanks = _mm_movemask_ps(blanks) != 0;
        ends.fraction = _mm_movemask_ps(fraction) != 0;
    } else {
        const PairScaling<Scaled> scaling{_mm_set1_pd(image.exactZero), _mm_set1_pd(image.exactScale)};
        const __m128d up = _mm_set1_pd(infinity), down = _mm_set1_pd(-infinity);
        __m128d low0 = up, low1 = up, high0 = down, high1 = down;
        __m128d blanks = _mm_setzero_pd(), fraction = _mm_setzero_pd();
        for (; i + 4 <= samples; i += 4) {
            __m128d first, second;
            loadFour<Bitpix, Scaled>(scaling, source + sampleWidth<Bitpix> * static_cast<size_t>(i), &first, &second);
            blanks = _mm_or_pd(blanks, _mm_cmpunord_pd(first, second));
            low0 = _mm_min_pd(first, low0);
            low1 = _mm_min_pd(second, low1);
            high0 = _mm_max_pd(first, high0);
            high1 = _mm_max_pd(second, high1);
            if constexpr (checkWhole)
                fraction = _mm_or_pd(fraction, _mm_or_pd(fractionLanes(first), fractionLanes(second)));
        }
        _mm_storeu_pd(lows, low0);
        _mm_storeu_pd(lows + 2, low1);
        _mm_storeu_pd(highs, high0);
        _mm_storeu_pd(highs + 2, high1);
        ends.blanks = _mm_movemask_pd(blanks) != 0;
        ends.fraction = _mm_movemask_pd(fraction) != 0;
    }
    if (!joinLanes(lows, highs, lanes, &ends))
        return false;
    return finishRow<Bitpix, Scaled, checkWhole>(range, image, source, i, samples, ends);
}

template <int Bitpix, bool Scaled>
bool takeRowOfKind(PhysicalRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples) {
    if (!range->found || range->whole)
        return takeRowOfKind<Bitpix, Scaled, true>(range, image, source, samples);
    return takeRowOfKind<Bitpix, Scaled, false>(range, image, source, samples);
}

template <int Bitpix>
bool takeRowOfKind(PhysicalRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples) {
    if (image.exactZero != 0.0 || image.exactScale != 1.0)
        return takeRowOfKind<Bitpix, true>(range, image, source, samples);
    return takeRowOfKind<Bitpix, false>(range, image, source, samples);
}

// Four samples through the mapping, as four host values less 32768.
template <int Bitpix, bool Scaled>
inline __m128i mapStoredFour(const HostLanes &m, const PairScaling<Scaled> &scaling, const uint8_t *bytes) {
    if constexpr (Bitpix == -32 && !Scaled) {
        // A float is finite when its double is, so the blanks are found among the floats, and
        // their host values are cleared after the rounding, which gives 0 as clearing before it.
        const __m128 floats = loadFourFloats(bytes);
        const __m128i finite = _mm_castps_si128(_mm_cmpeq_ps(_mm_sub_ps(floats, floats), _mm_setzero_ps()));
        const __m128i low = _mm_cvtpd_epi32(mapPairUnrounded(m, _mm_cvtps_pd(floats)));
        const __m128i high = _mm_cvtpd_epi32(mapPairUnrounded(m, _mm_cvtps_pd(_mm_movehl_ps(floats, floats))));
        return biasedFour(_mm_and_si128(finite, _mm_unpacklo_epi64(low, high)));
    } else {
        __m128d first, second;
        loadFour<Bitpix, Scaled>(scaling, bytes, &first, &second);
        return mapFour(m, first, second);
    }
}

// mapToHost over the row's physical values, under the fast mapping.
template <int Bitpix, bool Scaled>
void mapRowOfKind(const HostMapping &m, const ImageDescription &image, const uint8_t *source, int32_t samples,
                  uint8_t *destination) {
    constexpr size_t width = sampleWidth<Bitpix>;
    const PairScaling<Scaled> scaling{_mm_set1_pd(image.exactZero), _mm_set1_pd(image.exactScale)};
    const HostLanes lanes(m);
    int32_t i = 0;
    for (; i + 8 <= samples; i += 8) {
        const uint8_t *bytes = source + width * static_cast<size_t>(i);
        const __m128i first = mapStoredFour<Bitpix, Scaled>(lanes, scaling, bytes);
        const __m128i second = mapStoredFour<Bitpix, Scaled>(lanes, scaling, bytes + 4 * width);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + 2 * static_cast<size_t>(i)),
                         unbiased(_mm_packs_epi32(first, second)));
    }
    for (; i + 4 <= samples; i += 4)
        storeFour(destination + 2 * static_cast<size_t>(i),
                  mapStoredFour<Bitpix, Scaled>(lanes, scaling, source + width * static_cast<size_t>(i)));
    for (; i < samples; ++i)
        storeHostSample(destination, i, hostValue(m, physicalAt<Bitpix, Scaled>(image, source + width * i)));
}

template <int Bitpix>
void mapRowOfKind(const HostMapping &m, const ImageDescription &image, const uint8_t *source, int32_t samples,
                  uint8_t *destination) {
    if (image.exactZero != 0.0 || image.exactScale != 1.0)
        mapRowOfKind<Bitpix, true>(m, image, source, samples, destination);
    else
        mapRowOfKind<Bitpix, false>(m, image, source, samples, destination);
}

// Whether the passes go straight from the stored bytes for the image's kind.
bool fusedKind(const ImageDescription &image) {
    return image.bitpix == -32 || image.bitpix == -64 || (image.bitpix == 32 && !image.hasBlank);
}
#endif

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
    // Blanks only take identity too: every host value is 0.
    if (!range->found || (range->whole && range->smallest >= first && range->largest <= largestHostValue)) {
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
        // A step below the smallest normal double has few digits (spans below about 1.5e-303),
        // and one rounded down would send the largest values beyond 65535, where the clamp
        // presses them together, or to 0 for spans below 3e-319: it is rounded up to the next
        // step there is, and the largest value then falls a little short of 65535.
        if (range->step < std::numeric_limits<double>::min() && range->step * (largestHostValue - first) < span)
            range->step = std::nextafter(range->step, infinity);
        range->zero = range->smallest - first * range->step;
    }
}

// A shifted save's BZERO is computed from the source's in one expression, so that a file the
// module wrote (whose stored samples are the host's less 32768) gives back its own card.
double savedZero(const PhysicalRange &range) {
    if (range.kind == SampleMapping::shifted)
        return range.sourceZero + range.step * (range.storedOrigin + 32768.0);
    return range.zero + 32768.0 * range.step;
}

bool savedCodingFinite(const PhysicalRange &range) {
    const double zero = savedZero(range);
    const double reach = 32768.0 * range.step;
    return std::isfinite(zero) && std::isfinite(reach) && std::isfinite(zero + reach) && std::isfinite(zero - reach);
}

void physicalValues(const ImageDescription &image, const uint8_t *source, int32_t samples, double *physical) {
    switch (image.bitpix) {
    case 8:
        return integerValues<8>(image, source, samples, physical);
    case 16:
        return integerValues<16>(image, source, samples, physical);
    case 32:
        return integerValues<32>(image, source, samples, physical);
    case 64:
        return integerValues<64>(image, source, samples, physical);
    case -32:
        return valuesOfKind<-32, false>(image, source, samples, physical);
    default:
        return valuesOfKind<-64, false>(image, source, samples, physical);
    }
}

void takeRange(PhysicalRange *range, const double *physical, int32_t samples) {
    RowRange row{range->found ? range->smallest : infinity, range->found ? range->largest : -infinity, false};
    widenRange(&row, physical, samples);
    takeRowEnds(range, row, [&] { return allWhole(physical, samples); });
}

void mapToHost(const PhysicalRange &range, const double *physical, int32_t samples, uint8_t *destination) {
    HostMapping m;
    if (!fastMapping(range, &m)) {
        mapWithCare(range, physical, samples, destination);
        return;
    }
    int32_t i = 0;
#if defined(__SSE2__)
    i = mapInPairs(m, physical, samples, destination);
#endif
    for (; i < samples; ++i)
        storeHostSample(destination, i, hostValue(m, physical[i]));
}

void takeRowRange(PhysicalRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples,
                  double *scratch) {
#if defined(__SSE2__)
    if (fusedKind(image)) {
        bool taken = false;
        switch (image.bitpix) {
        case -32: taken = takeRowOfKind<-32>(range, image, source, samples); break;
        case -64: taken = takeRowOfKind<-64>(range, image, source, samples); break;
        default: taken = takeRowOfKind<32>(range, image, source, samples); break;
        }
        if (taken)
            return;
    }
#endif
    physicalValues(image, source, samples, scratch);
    takeRange(range, scratch, samples);
}

void mapRowToHost(const ImageDescription &image, const uint8_t *source, int32_t samples, double *scratch,
                  uint8_t *destination) {
#if defined(__SSE2__)
    HostMapping m;
    if (fusedKind(image) && fastMapping(image.range, &m)) {
        switch (image.bitpix) {
        case -32: return mapRowOfKind<-32>(m, image, source, samples, destination);
        case -64: return mapRowOfKind<-64>(m, image, source, samples, destination);
        default: return mapRowOfKind<32>(m, image, source, samples, destination);
        }
    }
#endif
    physicalValues(image, source, samples, scratch);
    mapToHost(image.range, scratch, samples, destination);
}

bool headerSettlesSamples(const ImageDescription &image) {
    return image.bitpix == 8 || (image.bitpix == 16 && image.exactZero == 32768.0 && image.exactScale == 1.0);
}

bool throughPhysicalValues(const ImageDescription &image) {
    if (needsMapping(image))
        return true;
    const SampleMapping kind = image.range.kind;
    return image.bitpix == 16 && kind == SampleMapping::identity && image.exactScale != 1.0;
}

StoredRange emptyStoredRange() { return StoredRange{32767, -32768, false, true}; }

namespace {

// The BLANK of 16-bit data as a sample, or a value no sample has.
int32_t blankSample(const ImageDescription &image) {
    const bool usable = image.hasBlank && image.blank >= -32768 && image.blank <= 32767;
    return usable ? static_cast<int32_t>(image.blank) : 65536;
}

// Whether each physical value of the samples is a whole number, BLANK aside; only asked when
// BZERO or BSCALE is not whole itself, and stops at the first value that is not.
bool storedValuesWhole(const ImageDescription &image, const uint8_t *source, int32_t samples) {
    const int32_t blank = blankSample(image);
    for (int32_t i = 0; i < samples; ++i) {
        const auto stored = static_cast<int32_t>(storedInteger<16>(source + 2 * static_cast<size_t>(i)));
        if (stored != blank && !isWhole(image.exactZero + image.exactScale * stored))
            return false;
    }
    return true;
}

bool codingWhole(const ImageDescription &image) {
    return image.exactZero == std::floor(image.exactZero) && image.exactScale == std::floor(image.exactScale);
}

} // namespace

void takeStoredRange(StoredRange *range, const ImageDescription &image, const uint8_t *source, int32_t samples) {
    const int32_t blank = blankSample(image);
    int32_t smallest = range->smallest, largest = range->largest;
    bool blanks = false;
    int32_t i = 0;
#if defined(__SSE2__)
    // BLANK lanes are taken out of both comparisons by moving them to the other end.
    const __m128i blankLanes = _mm_set1_epi16(static_cast<int16_t>(blank));
    const bool checkBlank = blank != 65536;
    __m128i low = _mm_set1_epi16(static_cast<int16_t>(smallest)), high = _mm_set1_epi16(static_cast<int16_t>(largest));
    __m128i seen = _mm_setzero_si128();
    for (; i + 8 <= samples; i += 8) {
        __m128i value = swapBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 2 * i)));
        if (checkBlank) {
            const __m128i isBlank = _mm_cmpeq_epi16(value, blankLanes);
            seen = _mm_or_si128(seen, isBlank);
            low = _mm_min_epi16(low, _mm_or_si128(value, _mm_and_si128(isBlank, _mm_set1_epi16(0x7FFF))));
            high = _mm_max_epi16(high, _mm_or_si128(_mm_andnot_si128(isBlank, value),
                                                    _mm_and_si128(isBlank, _mm_set1_epi16(-32768))));
        } else {
            low = _mm_min_epi16(low, value);
            high = _mm_max_epi16(high, value);
        }
    }
    int16_t lows[8], highs[8];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lows), low);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(highs), high);
    for (int lane = 0; lane < 8; ++lane) {
        smallest = lows[lane] < smallest ? lows[lane] : smallest;
        largest = highs[lane] > largest ? highs[lane] : largest;
    }
    blanks = _mm_movemask_epi8(seen) != 0;
#endif
    for (; i < samples; ++i) {
        const auto stored = static_cast<int32_t>(storedInteger<16>(source + 2 * static_cast<size_t>(i)));
        const bool isBlank = stored == blank;
        blanks = blanks || isBlank;
        smallest = !isBlank && stored < smallest ? stored : smallest;
        largest = !isBlank && stored > largest ? stored : largest;
    }
    range->smallest = smallest;
    range->largest = largest;
    range->blanks = range->blanks || blanks;
    range->whole = range->whole && (codingWhole(image) || storedValuesWhole(image, source, samples));
}

PhysicalRange chooseStoredMapping(const ImageDescription &image, const StoredRange &stored) {
    PhysicalRange range{};
    range.blanks = stored.blanks;
    range.found = stored.smallest <= stored.largest;
    range.whole = stored.whole;
    range.step = 1.0;
    range.sourceZero = image.exactZero;
    if (!range.found) { // blanks only: every host value is 0
        range.kind = SampleMapping::identity;
        return range;
    }
    const double low = image.exactZero + image.exactScale * stored.smallest;
    const double high = image.exactZero + image.exactScale * stored.largest;
    range.smallest = low < high ? low : high;
    range.largest = low < high ? high : low;
    const double first = firstHostValue(range);
    if (range.whole && range.smallest >= first && range.largest <= largestHostValue) {
        range.kind = SampleMapping::identity;
        range.storedOrigin = static_cast<int32_t>(-image.exactZero); // used with a unit BSCALE only
        return range;
    }
    range.kind = SampleMapping::shifted;
    range.step = image.exactScale;
    // Blanks beside samples that span all 65536 values leave no host value free for them.
    range.blanksAsStored = range.blanks && stored.largest - stored.smallest == 65535;
    if (range.blanksAsStored)
        range.blanks = false;
    range.storedOrigin = stored.smallest - static_cast<int32_t>(firstHostValue(range));
    range.zero = image.exactZero + image.exactScale * range.storedOrigin;
    return range;
}

void shiftStoredRow(const ImageDescription &image, const uint8_t *source, int32_t samples, uint8_t *destination) {
    const bool blanksToZero = image.range.kind != SampleMapping::none && image.range.blanks;
    const int32_t blank = blanksToZero ? blankSample(image) : 65536;
    const auto origin = static_cast<uint16_t>(image.range.storedOrigin);
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128i originLanes = _mm_set1_epi16(static_cast<int16_t>(origin));
    const __m128i blankLanes = _mm_set1_epi16(static_cast<int16_t>(blank));
    const bool checkBlank = blank != 65536;
    for (; i + 8 <= samples; i += 8) {
        const __m128i value = swapBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 2 * i)));
        __m128i host = _mm_sub_epi16(value, originLanes);
        if (checkBlank)
            host = _mm_andnot_si128(_mm_cmpeq_epi16(value, blankLanes), host);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + 2 * i), host);
    }
#endif
    for (; i < samples; ++i) {
        const auto stored = static_cast<int32_t>(storedInteger<16>(source + 2 * static_cast<size_t>(i)));
        const auto host = static_cast<uint16_t>(stored == blank ? 0 : static_cast<uint16_t>(stored) - origin);
        std::memcpy(destination + 2 * static_cast<size_t>(i), &host, sizeof host);
    }
}
