// Prints one digest of the 16-bit conversion over every stored value for a set of codings,
// and of the encoding over every host value; then one of the mapping of wide samples (32- and
// 64-bit integers, floating point) into 16 bits. Built for each platform (the 32-bit Windows
// one with the module's flags, run under Wine), equal digests show that the builds convert
// every sample alike; the unit tests prove the native build right against the formula.
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Rows of random stored bytes of every wide kind, some with BLANK or scaling, and rows of small
// values (which map one to one or by an offset), through both passes: the host samples and the
// mapping's step and zero.
uint64_t mappingDigest() {
    struct Coding {
        int16_t bitpix;
        double zero, scale;
        bool small;
    };
    const Coding codings[] = {{-32, 0.0, 1.0, false}, {-32, 0.0, 1.0, true},   {-32, 100.0, 0.5, false},
                              {-64, 0.0, 1.0, false}, {-64, -3.5, 1e-3, true}, {32, 0.0, 1.0, false},
                              {32, 0.0, 1.0, true},   {32, 32768.0, 2.0, true}, {64, 0.0, 1.0, false},
                              {64, 1e18, 1e-6, true}};
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
            if (coding.small)
                for (size_t i = 0; i < stored.size(); ++i)
                    stored[i] = i % width < width - 2 ? 0 : stored[i] & 0x3F;
            std::vector<double> physical(static_cast<size_t>(columns));
            std::vector<uint8_t> host(2 * static_cast<size_t>(columns));
            PhysicalRange range{};
            const size_t rowBytes = static_cast<size_t>(columns) * width;
            for (int32_t row = 0; row < rows; ++row) {
                physicalValues(image, stored.data() + row * rowBytes, columns, physical.data());
                takeRange(&range, physical.data(), columns);
            }
            chooseMapping(&range);
            mixBytes(&digest, &range.step, sizeof range.step);
            mixBytes(&digest, &range.zero, sizeof range.zero);
            for (int32_t row = 0; row < rows; ++row) {
                physicalValues(image, stored.data() + row * rowBytes, columns, physical.data());
                mapToHost(range, physical.data(), columns, host.data());
                mixBytes(&digest, host.data(), host.size());
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
                physicalValues(image, stored.data() + 2 * first, count, physical.data());
                mapToHost(image.range, physical.data(), count, host.data() + 2 * first);
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
