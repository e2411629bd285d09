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
