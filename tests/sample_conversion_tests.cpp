// The 16-bit conversions over every stored and every host value: each fast row loop against
// hostSampleReference, and hostSampleReference against the formula written out plainly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "fits/sample_conversion.h"

namespace {

constexpr float notANumber = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

// stored × BSCALE + BZERO in double, truncated toward zero, then held to 0 … 65535; NaN is 0.
uint16_t plainFormula(int16_t stored, float bzero, float bscale) {
    double value = static_cast<double>(stored) * static_cast<double>(bscale) + static_cast<double>(bzero);
    if (std::isnan(value))
        return 0;
    double whole = std::trunc(value);
    if (whole < 0.0)
        return 0;
    if (whole > 65535.0)
        return 65535;
    return static_cast<uint16_t>(whole);
}

struct Coding {
    float bzero, bscale;
};

// Every row loop and each edge of its conditions: the top-bit flip, whole offsets (both signs,
// saturating, at and past the size limit), powers of two with offsets on either side of
// 32768, and what only the double loop takes: fractions, negative, huge, tiny, infinite and
// NaN values.
const Coding codings[] = {
    {32768.0f, 1.0f},      {0.0f, 1.0f},         {32767.0f, 1.0f},       {32769.0f, 1.0f},
    {-32768.0f, 1.0f},     {65535.0f, 1.0f},     {65536.0f, 1.0f},       {98303.0f, 1.0f},
    {98304.0f, 1.0f},      {-65535.0f, 1.0f},    {-65536.0f, 1.0f},      {-1.0e6f, 1.0f},
    {1048576.0f, 1.0f},    {1048577.0f, 1.0f},   {-1048576.0f, 1.0f},    {16777216.0f, 1.0f},
    {100.0f, 0.5f},        {-100.0f, 0.25f},     {16384.0f, 0.5f},       {16384.5f, 0.5f},
    {32768.0f, 0.5f},      {0.5f, 0.5f},         {0.25f, 0.5f},          {100.0f, 1.0f / 32768.0f},
    {100.0f, 1.0f / 65536.0f}, {65535.0f, 1.0f / 1099511627776.0f}, {1.0f, 0.5f},
    {32768.0f, 2.0f},      {1000.0f, 2.0f},      {32768.0f, -1.0f},      {0.0f, -0.5f},
    {32768.5f, 1.0f},      {-0.5f, 1.0f},        {65535.5f, 1.0f},       {0.1f, 0.1f},
    {32768.0f, 1.0000001f}, {32768.0f, 0.9999999f}, {1.0e30f, 1.0f},     {-1.0e30f, 1.0f},
    {0.0f, 1.0e30f},       {3.0e38f, 3.0e38f},   {0.0f, 1.0e-30f},       {1.0f, std::numeric_limits<float>::denorm_min()},
    {notANumber, 1.0f},           {notANumber, 0.5f},          {infinity, 1.0f},            {-infinity, 1.0f},
    {0.0f, infinity},           {0.0f, -infinity},         {infinity, -infinity},
};

// Every stored value from -32768 to 32767, big-endian, in that order.
std::vector<uint8_t> everyStoredValue() {
    std::vector<uint8_t> row;
    for (int32_t value = -32768; value <= 32767; ++value) {
        auto bits = static_cast<uint16_t>(value);
        row.push_back(static_cast<uint8_t>(bits >> 8));
        row.push_back(static_cast<uint8_t>(bits));
    }
    return row;
}

uint16_t hostValueAt(const uint8_t *row, int32_t index) {
    return static_cast<uint16_t>(row[2 * index] | (row[2 * index + 1] << 8));
}

} // namespace

TEST(SampleConversion, ReferenceIsThePlainFormula) {
    for (const Coding &c : codings) {
        int mismatches = 0;
        for (int32_t value = -32768; value <= 32767 && mismatches < 5; ++value) {
            auto stored = static_cast<int16_t>(value);
            uint16_t expected = plainFormula(stored, c.bzero, c.bscale);
            if (hostSampleReference(stored, c.bzero, c.bscale) != expected) {
                ++mismatches;
                ADD_FAILURE() << "BZERO " << c.bzero << " BSCALE " << c.bscale << " stored " << value;
            }
        }
    }
    EXPECT_EQ(hostSampleReference(-1, 0.0f, 1.0f), 0) << "held to 0, not wrapped";
    EXPECT_EQ(hostSampleReference(32767, 65535.0f, 1.0f), 65535) << "held to 65535, not wrapped";
    EXPECT_EQ(hostSampleReference(-3, 0.0f, 0.5f), 0) << "-1.5 truncates toward zero";
    EXPECT_EQ(hostSampleReference(3, 0.0f, 0.5f), 1);
}

// Each coding over all 65536 stored values three ways: as one long row (the vector loops),
// in rows of 7 (every sample through the loops' scalar ends) and at odd addresses.
TEST(SampleConversion, EveryRowLoopGivesTheReferenceForEveryStoredValue) {
    const std::vector<uint8_t> stored = everyStoredValue();
    const int32_t samples = 65536;
    for (const Coding &c : codings) {
        std::vector<uint8_t> whole(2 * samples), chunked(2 * samples), shifted(2 * samples + 2);
        std::vector<uint8_t> oddSource(2 * samples + 1);
        std::copy(stored.begin(), stored.end(), oddSource.begin() + 1);
        float bscale = c.bscale;
        convertStoredRow(stored.data(), whole.data(), samples, c.bzero, &bscale);
        EXPECT_EQ(bscale, c.bscale) << "a usable BSCALE stays as it was";
        for (int32_t first = 0; first < samples; first += 7) {
            int32_t count = samples - first < 7 ? samples - first : 7;
            convertStoredRow(stored.data() + 2 * first, chunked.data() + 2 * first, count, c.bzero, &bscale);
        }
        convertStoredRow(oddSource.data() + 1, shifted.data() + 1, samples, c.bzero, &bscale);
        int mismatches = 0;
        for (int32_t i = 0; i < samples && mismatches < 5; ++i) {
            uint16_t expected = hostSampleReference(static_cast<int16_t>(i - 32768), c.bzero, c.bscale);
            uint16_t got[3] = {hostValueAt(whole.data(), i), hostValueAt(chunked.data(), i),
                               hostValueAt(shifted.data() + 1, i)};
            for (uint16_t value : got) {
                if (value != expected) {
                    ++mismatches;
                    ADD_FAILURE() << "BZERO " << c.bzero << " BSCALE " << c.bscale << " stored " << i - 32768
                                  << ": " << value << " instead of " << expected;
                    break;
                }
            }
        }
    }
}

TEST(SampleConversion, ZeroOrNaNScaleIsTakenAsOneAndStaysSo) {
    const std::vector<uint8_t> stored = everyStoredValue();
    const int32_t samples = 65536;
    const Coding unusable[] = {{32768.0f, 0.0f}, {0.0f, 0.0f}, {100.0f, -0.0f}, {0.5f, 0.0f}, {32768.0f, notANumber}, {-7.0f, notANumber}};
    for (const Coding &c : unusable) {
        std::vector<uint8_t> host(2 * samples);
        float bscale = c.bscale;
        convertStoredRow(stored.data(), host.data(), samples, c.bzero, &bscale);
        EXPECT_EQ(bscale, 1.0f) << "BZERO " << c.bzero;
        int mismatches = 0;
        for (int32_t i = 0; i < samples && mismatches < 5; ++i) {
            if (hostValueAt(host.data(), i) != hostSampleReference(static_cast<int16_t>(i - 32768), c.bzero, 1.0f)) {
                ++mismatches;
                ADD_FAILURE() << "BZERO " << c.bzero << " stored " << i - 32768;
            }
        }
    }
}

// Vector loops must stop at the row's end: the bytes after the last sample stay as they were,
// whatever the count.
TEST(SampleConversion, RowsEndWhereTheyEnd) {
    const std::vector<uint8_t> stored = everyStoredValue();
    const Coding some[] = {{32768.0f, 1.0f}, {0.0f, 1.0f}, {100.0f, 0.5f}, {0.1f, 0.1f}};
    for (const Coding &c : some) {
        for (int32_t count = 0; count <= 40; ++count) {
            std::vector<uint8_t> host(2 * 40 + 32, 0xA5);
            float bscale = c.bscale;
            convertStoredRow(stored.data() + 2 * 1000, host.data(), count, c.bzero, &bscale);
            for (size_t i = 2 * static_cast<size_t>(count); i < host.size(); ++i)
                ASSERT_EQ(host[i], 0xA5) << "count " << count << " BSCALE " << c.bscale;
        }
        for (int32_t count = 0; count <= 40; ++count) {
            std::vector<uint8_t> row(2 * 40 + 32, 0x5A);
            encodeHostRow(row.data(), count);
            for (size_t i = 2 * static_cast<size_t>(count); i < row.size(); ++i)
                ASSERT_EQ(row[i], 0x5A) << "count " << count;
        }
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
    std::vector<uint8_t> back(2 * samples);
    float bscale = 1.0f;
    convertStoredRow(whole.data(), back.data(), samples, 32768.0f, &bscale);
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
