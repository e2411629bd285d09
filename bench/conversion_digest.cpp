// Prints one digest of the 16-bit conversion over every stored value for a set of codings,
// and of the encoding over every host value; then one of the mapping of wide samples (32- and
// 64-bit integers, floating point) into 16 bits. Built for each platform (the 32-bit Windows
// one with the module's flags, run under Wine), equal digests show that the builds convert
// every sample alike; the unit tests prove the native build right against the formula.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "fits/image_description.h"
#include "fits/sample_conversion.h"

namespace {

uint64_t nextRandom(uint64_t *state) {
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    return *state;
}

void mixBytes(uint64_t *digest, const void *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        *digest = (*digest ^ static_cast<const uint8_t *>(bytes)[i]) * 0x100000001b3u;
}

// Values that take the first pass's rarer turns: rows of blanks alone, zeros of both signs, whole
// numbers beyond 32 bits, fractions from row 32 on and infinities from row 48 on.
double edgeValue(int32_t row, uint64_t random) {
    const double infinity = std::numeric_limits<double>::infinity();
    const uint64_t high = random >> 8;
    if (row < 2)
        return std::numeric_limits<double>::quiet_NaN();
    switch (random % 16) {
    case 0: return high & 1 ? -0.0 : 0.0;
    case 1: return row >= 8 ? std::numeric_limits<double>::quiet_NaN() : 3.0;
    case 2: return row >= 48 && high % 8 == 0 ? (high & 8 ? -infinity : infinity) : 5.0;
    case 3: return row >= 16 ? static_cast<double>(high >> 16) : 7.0;
    case 4: return row >= 32 ? static_cast<double>(high % 64) + 0.25 : 9.0;
    default: return static_cast<double>(high % 1024);
    }
}

// Fractions of one sign and zeros of both, without blanks: one end of the range is a zero, and
// which zero the first pass keeps shows in the mapping's zero.
double zeroValue(bool negative, uint64_t random) {
    if (random % 16 == 0)
        return (random >> 8) & 1 ? -0.0 : 0.0;
    const double value = static_cast<double>((random >> 8) % 256) * 0.25 + 0.25;
    return negative ? -value : value;
}

// Stores `value` as a big-endian sample of a floating-point kind.
void storeValue(int16_t bitpix, double value, uint8_t *bytes) {
    uint64_t bits;
    int width = 8;
    if (bitpix == -32) {
        const auto narrow = static_cast<float>(value);
        uint32_t narrowBits;
        std::memcpy(&narrowBits, &narrow, sizeof narrowBits);
        bits = narrowBits;
        width = 4;
    } else {
        std::memcpy(&bits, &value, sizeof bits);
    }
    for (int k = 0; k < width; ++k)
        bytes[k] = static_cast<uint8_t>(bits >> (8 * (width - 1 - k)));
}

// Rows of random stored bytes of every wide kind, some with BLANK or scaling, rows of small
// values (which map one to one or by an offset), and rows of the values above, whose rows run
// 1001, 1000, 999 and 998 samples long, through both passes: the host samples and the mapping's
// ends, step and zero.
uint64_t mappingDigest() {
    enum class Values { random, small, edges, zeros };
    struct Coding {
        int16_t bitpix;
        double zero, scale;
        Values values;
    };
    const Coding codings[] = {{-32, 0.0, 1.0, Values::random},  {-32, 0.0, 1.0, Values::small},
                              {-32, 100.0, 0.5, Values::random}, {-64, 0.0, 1.0, Values::random},
                              {-64, -3.5, 1e-3, Values::small},  {32, 0.0, 1.0, Values::random},
                              {32, 0.0, 1.0, Values::small},     {32, 32768.0, 2.0, Values::small},
                              {64, 0.0, 1.0, Values::random},    {64, 1e18, 1e-6, Values::small},
                              {-32, 0.0, 1.0, Values::edges},    {-32, 100.0, 0.5, Values::edges},
                              {-64, 0.0, 1.0, Values::edges},    {-64, -3.5, 1e300, Values::edges},
                              {-32, 0.0, 1.0, Values::zeros},    {-64, 0.0, 1.0, Values::zeros},
                              {32, 2147483648.0, 1.0, Values::random}};
    uint64_t digest = 0xcbf29ce484222325u, state = 0x2545F4914F6CDD1Du;
    const int32_t columns = 1001, rows = 64;
    for (const Coding &coding : codings) {
        for (bool blank : {false, true}) {
            ImageDescription image{};
            image.bitpix = coding.bitpix;
            image.bytesPerSample = static_cast<int16_t>((coding.bitpix < 0 ? -coding.bitpix : coding.bitpix) / 8);
            image.exactZero = coding.zero;
            image.exactScale = coding.scale;
            image.hasBlank = blank && coding.bitpix > 0;
            image.blank = 7;
            std::vector<uint8_t> stored(static_cast<size_t>(columns) * rows * image.bytesPerSample);
            for (size_t i = 0; i < stored.size(); ++i)
                stored[i] = static_cast<uint8_t>(nextRandom(&state));
            const auto width = static_cast<size_t>(image.bytesPerSample);
            if (coding.values == Values::small)
                for (size_t i = 0; i < stored.size(); ++i)
                    stored[i] = i % width < width - 2 ? 0 : stored[i] & 0x3F;
            const size_t rowBytes = static_cast<size_t>(columns) * width;
            const bool chosen = coding.values == Values::edges || coding.values == Values::zeros;
            for (int32_t row = 0; chosen && row < rows; ++row) {
                for (int32_t column = 0; column < columns; ++column) {
                    const uint64_t random = nextRandom(&state);
                    const double value =
                        coding.values == Values::edges ? edgeValue(row, random) : zeroValue(blank, random);
                    storeValue(coding.bitpix, value, stored.data() + row * rowBytes + column * width);
                }
            }
            auto samplesOf = [&](int32_t row) { return chosen ? columns - row % 4 : columns; };
            std::vector<double> physical(static_cast<size_t>(columns));
            std::vector<uint8_t> host(2 * static_cast<size_t>(columns));
            PhysicalRange range{};
            for (int32_t row = 0; row < rows; ++row) {
                takeRowRange(&range, image, stored.data() + row * rowBytes, samplesOf(row), physical.data());
            }
            chooseMapping(&range);
            image.range = range;
            mixBytes(&digest, &range.smallest, sizeof range.smallest);
            mixBytes(&digest, &range.largest, sizeof range.largest);
            mixBytes(&digest, &range.step, sizeof range.step);
            mixBytes(&digest, &range.zero, sizeof range.zero);
            for (int32_t row = 0; row < rows; ++row) {
                mapRowToHost(image, stored.data() + row * rowBytes, samplesOf(row), physical.data(), host.data());
                mixBytes(&digest, host.data(), 2 * static_cast<size_t>(samplesOf(row)));
            }
        }
    }
    return digest;
}

// Every stored 16-bit value through the first pass and the row conversion under a set of
// codings, with and without BLANK: whole rows, and rows of 7, which take the scalar ends.
void mixSixteenBit(uint64_t *digest, const std::vector<uint8_t> &stored) {
    const double codings[][2] = {{32768.0, 1.0}, {0.0, 1.0},        {-65536.0, 1.0}, {98303.0, 1.0}, {100.0, 0.5},
                                 {16384.0, 0.5}, {0.1, 0.1},        {32768.5, 1.0},  {1.0e30, 1.0},  {0.0, 1.0e-30},
                                 {-3.75, 3.3},   {12345.678, 0.0001234}, {0.0, -2.0}};
    std::vector<uint8_t> host(stored.size());
    std::vector<double> physical(stored.size() / 2);
    const auto samples = static_cast<int32_t>(stored.size() / 2);
    for (const auto &coding : codings) {
        for (bool blank : {false, true}) {
            ImageDescription image{};
            image.bitpix = 16;
            image.bytesPerSample = 2;
            image.exactZero = coding[0];
            image.exactScale = coding[1];
            image.hasBlank = blank;
            image.blank = -7;
            StoredRange range = emptyStoredRange();
            takeStoredRange(&range, image, stored.data(), samples);
            image.range = chooseStoredMapping(image, range);
            mixBytes(digest, &image.range.storedOrigin, sizeof image.range.storedOrigin);
            for (int32_t first = 0; first < samples; first += 7) {
                const int32_t count = first + 7 <= samples ? 7 : samples - first;
                if (!throughPhysicalValues(image)) {
                    shiftStoredRow(image, stored.data() + 2 * first, count, host.data() + 2 * first);
                    continue;
                }
                mapRowToHost(image, stored.data() + 2 * first, count, physical.data(), host.data() + 2 * first);
            }
            mixBytes(digest, host.data(), host.size());
        }
    }
}

} // namespace

int main() {
    std::vector<uint8_t> stored(2 * 65536), host(2 * 65536);
    for (int32_t i = 0; i < 65536; ++i) {
        stored[2 * i] = static_cast<uint8_t>(i >> 8);
        stored[2 * i + 1] = static_cast<uint8_t>(i);
    }
    uint64_t digest = 0xcbf29ce484222325u;
    mixSixteenBit(&digest, stored);
    for (int32_t i = 0; i < 65536; ++i) {
        host[2 * i] = static_cast<uint8_t>(i);
        host[2 * i + 1] = static_cast<uint8_t>(i >> 8);
    }
    encodeHostRow(host.data(), 65536);
    mixBytes(&digest, host.data(), host.size());
    std::printf("%016llx\n", static_cast<unsigned long long>(digest));
    std::printf("%016llx\n", static_cast<unsigned long long>(mappingDigest()));
    return 0;
}
