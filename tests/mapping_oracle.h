// The mapping of 32/64-bit and floating-point samples into 16-bit host samples, worked out
// from cfitsio's physical values alone, for the tests that hold the module to it.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// The mapping of wide samples into 16 bits, from the physical values alone.
struct Mapping {
    bool found = false, whole = true, blanks = false;
    double smallest = 0.0, largest = 0.0;
    enum { identity, offset, constant, linear } kind = identity;
    double step = 1.0;
};

inline Mapping chooseMapping(const std::vector<double> &values) {
    Mapping m;
    for (double v : values) {
        if (std::isnan(v)) {
            m.blanks = true;
            continue;
        }
        m.smallest = m.found ? std::fmin(m.smallest, v) : v;
        m.largest = m.found ? std::fmax(m.largest, v) : v;
        m.whole = m.whole && v == std::floor(v);
        m.found = true;
    }
    const double first = m.blanks ? 1.0 : 0.0;
    if (!m.found || (m.whole && m.smallest >= first && m.largest <= 65535.0))
        m.kind = Mapping::identity;
    else if (m.whole && static_cast<long double>(m.largest) - m.smallest <= 65535.0L - first)
        m.kind = Mapping::offset;
    else if (m.smallest == m.largest)
        m.kind = Mapping::constant;
    else {
        m.kind = Mapping::linear;
        m.step = static_cast<double>((static_cast<long double>(m.largest) - m.smallest) / (65535.0L - first));
    }
    return m;
}

// The host value of a physical value, and for the linear mapping the exact value it rounds.
inline uint32_t mappedValue(const Mapping &m, double v, double *ideal) {
    const double first = m.blanks ? 1.0 : 0.0;
    *ideal = -1.0;
    if (std::isnan(v))
        return 0;
    switch (m.kind) {
    case Mapping::identity:
        return static_cast<uint32_t>(v);
    case Mapping::offset:
        return static_cast<uint32_t>(v - m.smallest + first);
    case Mapping::constant:
        return static_cast<uint32_t>(first);
    case Mapping::linear:
        break;
    }
    if (v == m.smallest)
        return static_cast<uint32_t>(first);
    if (v == m.largest)
        return 65535;
    const long double exact = first + (static_cast<long double>(v) - m.smallest) /
                                          (static_cast<long double>(m.largest) - m.smallest) * (65535.0L - first);
    *ideal = static_cast<double>(exact);
    return static_cast<uint32_t>(std::nearbyint(static_cast<double>(exact)));
}

inline const char *kindName(const Mapping &m) {
    static const char *const names[] = {"identity", "offset", "constant", "linear"};
    return names[m.kind];
}

// The host values of 16-bit samples, from the stored samples and the header's BZERO, BSCALE
// and BLANK alone: unsigned data as they are; whole physical values in the host's range as they
// are (1 ... 65535 when blanks take 0); anything else the stored samples shifted so that the
// smallest lands on 0 (1 with blanks), blanks 0, or, when the samples span all 65536 values,
// blanks kept in their place.
inline std::vector<uint16_t> hostSamplesOf16(const std::vector<int16_t> &stored, double bzero, double bscale,
                                              bool hasBlank, long long blank) {
    bscale = bscale == 0.0 || std::isnan(bscale) ? 1.0 : bscale;
    std::vector<uint16_t> host(stored.size());
    auto isBlank = [&](int16_t s) { return hasBlank && s == blank; };
    if (bzero == 32768.0 && bscale == 1.0) {
        for (size_t i = 0; i < stored.size(); ++i)
            host[i] = static_cast<uint16_t>(stored[i] + 32768);
        return host;
    }
    bool blanks = false, found = false, whole = true;
    int smallest = 32767, largest = -32768;
    double low = 0.0, high = 0.0;
    for (int16_t s : stored) {
        if (isBlank(s)) {
            blanks = true;
            continue;
        }
        const double v = bzero + bscale * s;
        whole = whole && v == std::floor(v);
        low = found ? std::fmin(low, v) : v;
        high = found ? std::fmax(high, v) : v;
        smallest = s < smallest ? s : smallest;
        largest = s > largest ? s : largest;
        found = true;
    }
    const int first = blanks ? 1 : 0;
    const bool identity = whole && low >= first && high <= 65535.0;
    const bool blanksInPlace = blanks && largest - smallest == 65535;
    for (size_t i = 0; i < stored.size(); ++i) {
        const int16_t s = stored[i];
        if (!found || (isBlank(s) && !blanksInPlace))
            host[i] = 0;
        else if (identity)
            host[i] = static_cast<uint16_t>(bzero + bscale * s);
        else
            host[i] = static_cast<uint16_t>(s - smallest + (blanksInPlace ? 0 : first));
    }
    return host;
}
