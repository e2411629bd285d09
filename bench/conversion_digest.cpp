// Prints one digest of the 16-bit conversion over every stored value for a set of codings,
// and of the encoding over every host value. Built for each platform (the 32-bit Windows one
// with the module's flags, run under Wine), equal digests show that the builds convert every
// sample alike; the unit tests prove the native build right against the formula.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "fits/sample_conversion.h"

int main() {
    const float notANumber = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    const float codings[][2] = {
        {32768.0f, 1.0f}, {0.0f, 1.0f},      {-65536.0f, 1.0f},   {98303.0f, 1.0f},     {100.0f, 0.5f},
        {16384.0f, 0.5f}, {32768.0f, 0.5f},  {0.25f, 0.5f},       {1000.0f, 2.0f},      {0.0f, -0.5f},
        {0.1f, 0.1f},     {32768.5f, 1.0f},  {65535.0f, 1.0f / 1099511627776.0f},       {1.0e30f, 1.0f},
        {0.0f, 1.0e-30f}, {notANumber, 1.0f}, {infinity, -infinity}, {32768.0f, 0.0f}, {32768.0f, notANumber},
        {-3.75f, 3.3f},   {12345.678f, 0.0001234f},
    };
    std::vector<uint8_t> stored(2 * 65536), host(2 * 65536);
    for (int32_t i = 0; i < 65536; ++i) {
        stored[2 * i] = static_cast<uint8_t>(i >> 8);
        stored[2 * i + 1] = static_cast<uint8_t>(i);
    }
    uint64_t digest = 0xcbf29ce484222325u;
    auto mix = [&digest](const std::vector<uint8_t> &bytes) {
        for (uint8_t byte : bytes)
            digest = (digest ^ byte) * 0x100000001b3u;
    };
    for (const auto &coding : codings) {
        float bscale = coding[1];
        convertStoredRow(stored.data(), host.data(), 65536, coding[0], &bscale);
        mix(host);
        // Rows of 7 as well: every sample through the scalar ends of the loops.
        for (int32_t first = 0; first < 65536; first += 7)
            convertStoredRow(stored.data() + 2 * first, host.data() + 2 * first, first + 7 <= 65536 ? 7 : 65536 - first,
                             coding[0], &bscale);
        mix(host);
    }
    for (int32_t i = 0; i < 65536; ++i) {
        host[2 * i] = static_cast<uint8_t>(i);
        host[2 * i + 1] = static_cast<uint8_t>(i >> 8);
    }
    encodeHostRow(host.data(), 65536);
    mix(host);
    std::printf("%016llx\n", static_cast<unsigned long long>(digest));
    return 0;
}
