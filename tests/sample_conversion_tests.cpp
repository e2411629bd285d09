// The 16-bit conversions over every stored and every host value, each row loop against the
// rule written out plainly (tests/mapping_oracle.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "fits/image_description.h"
#include "fits/sample_conversion.h"
#include "mapping_oracle.h"

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

struct Coding {
    double bzero, bscale;
};

// Unsigned data; whole values in the host's range (signed data without negatives, scaled
// ones); whole values beyond it, either side and both; fractions; negative, huge, tiny,
// infinite, zero and NaN scaling.
const Coding codings[] = {
    {32768.0, 1.0},    {0.0, 1.0},       {32767.0, 1.0},  {32769.0, 1.0},   {-32768.0, 1.0},  {65535.0, 1.0},
    {98303.0, 1.0},    {98304.0, 1.0},   {-1.0e6, 1.0},   {100.0, 0.5},     {16384.0, 0.5},   {16384.5, 0.5},
    {32768.0, 2.0},    {1000.0, 2.0},    {32768.0, -1.0}, {0.0, -0.5},      {32768.5, 1.0},   {1500.0, 0.0458},
    {0.1, 0.1},        {1.0e30, 1.0},    {0.0, 1.0e-30},  {3.0e38, 3.0e38}, {notANumber, 1.0}, {infinity, 1.0},
    {0.0, infinity},   {32768.0, 0.0},   {0.0, notANumber},
};

// Every stored value from -32768 to 32767, or the part from `from` to `to`, big-endian.
std::vector<uint8_t> storedValues(int32_t from = -32768, int32_t to = 32767) {
    std::vector<uint8_t> row;
    for (int32_t value = from; value <= to; ++value) {
        auto bits = static_cast<uint16_t>(value);
        row.push_back(static_cast<uint8_t>(bits >> 8));
        row.push_back(static_cast<uint8_t>(bits));
    }
    return row;
}

std::vector<uint8_t> everyStoredValue() { return storedValues(); }

uint16_t hostValueAt(const uint8_t *row, int32_t index) {
    return static_cast<uint16_t>(row[2 * index] | (row[2 * index + 1] << 8));
}

// The module's first pass and row conversion over `stored`, `rowLength` samples a row, from
// `offset` bytes into a buffer (odd addresses included).
std::vector<uint16_t> moduleHostSamples(const std::vector<uint8_t> &stored, const Coding &c, bool hasBlank,
                                        int16_t blank, int32_t rowLength, size_t offset = 0) {
    ImageDescription image{};
    image.bitpix = 16;
    image.bytesPerSample = 2;
    image.exactZero = c.bzero;
    image.exactScale = c.bscale == 0.0 || std::isnan(c.bscale) ? 1.0 : c.bscale;
    image.hasBlank = hasBlank;
    image.blank = blank;
    const auto samples = static_cast<int32_t>(stored.size() / 2);
    std::vector<uint8_t> source(offset + stored.size()), host(offset + stored.size());
    std::copy(stored.begin(), stored.end(), source.begin() + static_cast<std::ptrdiff_t>(offset));
    const uint8_t *from = source.data() + offset;
    std::vector<double> physical(static_cast<size_t>(rowLength));
    if (headerSettlesSamples(image)) {
        image.range.storedOrigin = -32768;
    } else {
        StoredRange range = emptyStoredRange();
        for (int32_t first = 0; first < samples; first += rowLength)
            takeStoredRange(&range, image, from + 2 * first, std::min(rowLength, samples - first));
        image.range = chooseStoredMapping(image, range);
    }
    for (int32_t first = 0; first < samples; first += rowLength) {
        const int32_t count = std::min(rowLength, samples - first);
        uint8_t *to = host.data() + offset + 2 * first;
        if (!throughPhysicalValues(image)) {
            shiftStoredRow(image, from + 2 * first, count, to);
            continue;
        }
        physicalValues(image, from + 2 * first, count, physical.data());
        mapToHost(image.range, physical.data(), count, to);
    }
    std::vector<uint16_t> values(static_cast<size_t>(samples));
    for (int32_t i = 0; i < samples; ++i)
        values[static_cast<size_t>(i)] = hostValueAt(host.data() + offset, i);
    return values;
}

std::vector<int16_t> asSamples(const std::vector<uint8_t> &stored) {
    std::vector<int16_t> samples(stored.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(stored[2 * i] << 8 | stored[2 * i + 1]);
    return samples;
}

} // namespace

// Each coding, with and without BLANK, over every stored value and over a part of them, three
// ways: one long row (the vector loops), rows of 7 (the scalar ends) and at an odd address.
TEST(SampleConversion, EveryStoredValueReachesTheHostByTheSixteenBitRule) {
    const std::vector<uint8_t> parts[] = {everyStoredValue(), storedValues(-900, 4000), storedValues(0, 3000),
                                          storedValues(1, 70)};
    for (const std::vector<uint8_t> &stored : parts) {
        for (const Coding &c : codings) {
            for (int16_t blank : {int16_t{0}, int16_t{-32768}, int16_t{7}}) {
                const bool hasBlank = blank != 0;
                const std::vector<uint16_t> expected = hostSamplesOf16(asSamples(stored), c.bzero, c.bscale, hasBlank, blank);
                const auto samples = static_cast<int32_t>(stored.size() / 2);
                const std::vector<uint16_t> got[] = {moduleHostSamples(stored, c, hasBlank, blank, samples),
                                                     moduleHostSamples(stored, c, hasBlank, blank, 7),
                                                     moduleHostSamples(stored, c, hasBlank, blank, samples, 1)};
                for (const std::vector<uint16_t> &values : got)
                    ASSERT_EQ(values, expected) << "BZERO " << c.bzero << " BSCALE " << c.bscale << " BLANK " << blank
                                                << " over " << samples << " samples";
            }
        }
    }
}

// Vector loops must stop at the row's end: the bytes after the last sample stay as they were,
// whatever the count.
TEST(SampleConversion, RowsEndWhereTheyEnd) {
    const std::vector<uint8_t> stored = everyStoredValue();
    ImageDescription image{};
    image.bitpix = 16;
    image.hasBlank = true;
    image.blank = 5;
    image.range.kind = SampleMapping::shifted;
    image.range.blanks = true;
    for (int32_t count = 0; count <= 40; ++count) {
        std::vector<uint8_t> host(2 * 40 + 32, 0xA5);
        shiftStoredRow(image, stored.data() + 2 * 1000, count, host.data());
        for (size_t i = 2 * static_cast<size_t>(count); i < host.size(); ++i)
            ASSERT_EQ(host[i], 0xA5) << "count " << count;
        std::vector<uint8_t> row(2 * 40 + 32, 0x5A);
        encodeHostRow(row.data(), count);
        for (size_t i = 2 * static_cast<size_t>(count); i < row.size(); ++i)
            ASSERT_EQ(row[i], 0x5A) << "count " << count;
    }
}

// Every host value becomes host - 32768, big-endian, in one long row, in rows of 7 and at an
// odd address; and reading it back with BZERO 32768 gives the host value again.
TEST(SampleConversion, EncodingGivesEveryHostValueItsStoredBytes) {
    const int32_t samples = 65536;
    std::vector<uint8_t> host(2 * samples);
    for (int32_t value = 0; value < samples; ++value) {
        host[2 * value] = static_cast<uint8_t>(value);
        host[2 * value + 1] = static_cast<uint8_t>(value >> 8);
    }
    std::vector<uint8_t> whole = host, chunked = host, odd(2 * samples + 1);
    std::copy(host.begin(), host.end(), odd.begin() + 1);
    encodeHostRow(whole.data(), samples);
    for (int32_t first = 0; first < samples; first += 7)
        encodeHostRow(chunked.data() + 2 * first, samples - first < 7 ? samples - first : 7);
    encodeHostRow(odd.data() + 1, samples);
    for (int32_t value = 0; value < samples; ++value) {
        auto bits = static_cast<uint16_t>(static_cast<int16_t>(value - 32768));
        uint8_t high = static_cast<uint8_t>(bits >> 8), low = static_cast<uint8_t>(bits);
        ASSERT_EQ(whole[2 * value], high) << value;
        ASSERT_EQ(whole[2 * value + 1], low) << value;
        ASSERT_EQ(chunked[2 * value], high) << value;
        ASSERT_EQ(chunked[2 * value + 1], low) << value;
        ASSERT_EQ(odd[1 + 2 * value], high) << value;
        ASSERT_EQ(odd[1 + 2 * value + 1], low) << value;
    }
    ImageDescription unsignedData{};
    unsignedData.range.storedOrigin = -32768;
    std::vector<uint8_t> back(2 * samples);
    shiftStoredRow(unsignedData, whole.data(), samples, back.data());
    EXPECT_EQ(back, host);
}

// The editors halve 0 … 65535 data to 0 … 32768 on open (v > 32768 ? ((v - 1) >> 1) + 1 : v >> 1);
// a save brings it back. Against that halving: every full-range value comes back within one
// step, every value of the editors' scale exactly, 32768 as 65535; values past the scale
// stay at 65535. Every host value through the row loop, in one row, in rows of 7 and at an
// odd address, gives those values minus 32768, big-endian, and stops at the row's end.
TEST(SampleConversion, EditorSamplesComeBackToFullRange) {
    auto halved = [](int32_t v) { return v > 32768 ? ((v - 1) >> 1) + 1 : v >> 1; };
    for (int32_t v = 0; v <= 65535; ++v) {
        int32_t back = fullRangeSampleReference(static_cast<uint16_t>(halved(v)));
        ASSERT_LE(std::abs(back - v), 1) << v;
        if (v <= 32768)
            ASSERT_EQ(halved(fullRangeSampleReference(static_cast<uint16_t>(v))), v) << v;
        else
            ASSERT_EQ(fullRangeSampleReference(static_cast<uint16_t>(v)), 65535) << v;
    }
    EXPECT_EQ(fullRangeSampleReference(32768), 65535);
    EXPECT_EQ(fullRangeSampleReference(0), 0);

    const int32_t samples = 65536;
    std::vector<uint8_t> host(2 * samples + 2, 0x5A);
    for (int32_t value = 0; value < samples; ++value) {
        host[2 * value] = static_cast<uint8_t>(value);
        host[2 * value + 1] = static_cast<uint8_t>(value >> 8);
    }
    std::vector<uint8_t> whole = host, chunked = host, odd(host.size() + 1, 0x5A);
    std::copy(host.begin(), host.end(), odd.begin() + 1);
    encodeEditorRow(whole.data(), samples);
    for (int32_t first = 0; first < samples; first += 7)
        encodeEditorRow(chunked.data() + 2 * first, samples - first < 7 ? samples - first : 7);
    encodeEditorRow(odd.data() + 1, samples);
    for (int32_t value = 0; value < samples; ++value) {
        int32_t full = fullRangeSampleReference(static_cast<uint16_t>(value));
        auto bits = static_cast<uint16_t>(static_cast<int16_t>(full - 32768));
        const uint8_t expected[2] = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
        for (const uint8_t *row : {whole.data(), chunked.data(), odd.data() + 1}) {
            ASSERT_EQ(row[2 * value], expected[0]) << value;
            ASSERT_EQ(row[2 * value + 1], expected[1]) << value;
        }
    }
    EXPECT_EQ(whole[2 * samples], 0x5A);
    EXPECT_EQ(whole[2 * samples + 1], 0x5A);
    EXPECT_EQ(odd[1 + 2 * samples], 0x5A);
}
