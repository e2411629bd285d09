// The demo's star field: a seeded generator and Gaussian stars.
#include "hostsim/starfield.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "host/host_records.h"

namespace {

// splitmix64: small, fast and the same on every platform.
uint64_t nextRandom(uint64_t *state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform(uint64_t *state) { return static_cast<double>(nextRandom(state) >> 11) * 0x1.0p-53; }

// Close enough to a unit normal for sky noise: the sum of twelve uniforms, less six.
double roughNormal(uint64_t *state) {
    double sum = 0;
    for (int i = 0; i < 12; ++i)
        sum += uniform(state);
    return sum - 6.0;
}

constexpr double skyLevel = 1200.0;
constexpr double skyNoise = 22.0;

void paintSky(std::vector<double> *sky, uint64_t *state) {
    for (int32_t row = 0; row < starFieldSide; ++row)
        for (int32_t column = 0; column < starFieldSide; ++column)
            (*sky)[static_cast<size_t>(row) * starFieldSide + column] =
                skyLevel + 0.15 * column + 0.08 * row + skyNoise * roughNormal(state);
}

void paintStar(std::vector<double> *sky, double x, double y, double peak, double sigma) {
    const int32_t reach = static_cast<int32_t>(std::ceil(4.0 * sigma));
    const int32_t cx = static_cast<int32_t>(x), cy = static_cast<int32_t>(y);
    for (int32_t row = std::max(0, cy - reach); row <= std::min(starFieldSide - 1, cy + reach); ++row)
        for (int32_t column = std::max(0, cx - reach); column <= std::min(starFieldSide - 1, cx + reach); ++column) {
            double dx = column + 0.5 - x, dy = row + 0.5 - y;
            (*sky)[static_cast<size_t>(row) * starFieldSide + column] +=
                peak * std::exp(-(dx * dx + dy * dy) / (2.0 * sigma * sigma));
        }
}

} // namespace

bool makeStarField(HostImage *image, uint64_t seed) {
    if (!allocateImage(image, starFieldSide, starFieldSide, 16, 1, plugInModeGrayScale))
        return false;
    uint64_t state = seed;
    std::vector<double> sky(static_cast<size_t>(starFieldSide) * starFieldSide);
    paintSky(&sky, &state);
    for (int32_t star = 0; star < starFieldStars; ++star) {
        double x = uniform(&state) * starFieldSide, y = uniform(&state) * starFieldSide;
        // Many faint stars and a few bright ones; the brightest saturate, as in a real frame.
        double peak = 60.0 * std::pow(1.0 - uniform(&state) * 0.9995, -1.1);
        double sigma = 1.1 + 0.9 * uniform(&state);
        paintStar(&sky, x, y, std::min(peak, 90000.0), sigma);
    }
    for (int32_t row = 0; row < starFieldSide; ++row)
        for (int32_t column = 0; column < starFieldSide; ++column) {
            double value = std::round(sky[static_cast<size_t>(row) * starFieldSide + column]);
            setSample(image, 0, row, column, static_cast<uint32_t>(std::clamp(value, 0.0, 65535.0)));
        }
    return true;
}
