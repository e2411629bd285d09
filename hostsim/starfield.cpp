// The demo's star field: a seeded generator, Gaussian stars, and an asinh display stretch.
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

bool stretchForDisplay(const HostImage &source, HostImage *preview) {
    if (source.planes != 1 || !allocateImage(preview, source.rows, source.columns, 8, 1, plugInModeGrayScale))
        return false;
    std::vector<uint32_t> histogram(source.depth == 16 ? 65536 : 256);
    for (int32_t row = 0; row < source.rows; ++row)
        for (int32_t column = 0; column < source.columns; ++column)
            ++histogram[sampleAt(source, 0, row, column)];
    // The median stands for the sky; the 16th percentile gives its spread.
    const uint64_t total = uint64_t{static_cast<uint32_t>(source.rows)} * static_cast<uint32_t>(source.columns);
    uint64_t seen = 0;
    uint32_t low = 0, median = 0, brightest = 0;
    for (uint32_t value = 0; value < histogram.size(); ++value) {
        if (seen < total * 16 / 100 && seen + histogram[value] >= total * 16 / 100)
            low = value;
        if (seen < total / 2 && seen + histogram[value] >= total / 2)
            median = value;
        seen += histogram[value];
        if (histogram[value] != 0)
            brightest = value;
    }
    const double spread = std::max(1.0, static_cast<double>(median) - low);
    const double black = median - 2.0 * spread, soft = 3.0 * spread;
    const double top = std::asinh(std::max(1.0, brightest - black) / soft);
    for (int32_t row = 0; row < source.rows; ++row)
        for (int32_t column = 0; column < source.columns; ++column) {
            double t = std::asinh(std::max(0.0, sampleAt(source, 0, row, column) - black) / soft) / top;
            setSample(preview, 0, row, column, static_cast<uint32_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255.0)));
        }
    return true;
}
