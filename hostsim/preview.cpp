// The display stretch: a histogram of every sample gives exact percentiles at 8 and 16 bits,
// and a table of one output byte per possible sample value does the mapping.
#include "hostsim/preview.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "host/host_records.h"

namespace {

struct Histogram {
    std::vector<uint64_t> counts; // one per possible sample value
    uint64_t total = 0;
};

void countSamples(const HostImage &image, int16_t planes, Histogram *histogram) {
    histogram->counts.assign(image.depth == 16 ? 65536 : 256, 0);
    const size_t samples = static_cast<size_t>(planes) * static_cast<size_t>(image.rows) *
                           static_cast<size_t>(image.columns);
    for (size_t k = 0; k < samples; ++k)
        ++histogram->counts[storedSample(image, k)];
    histogram->total = samples;
}

// The smallest value with at least `fraction` of all samples at or below it.
double percentile(const Histogram &histogram, double fraction) {
    const double wanted = std::max(1.0, std::ceil(fraction * static_cast<double>(histogram.total)));
    uint64_t seen = 0;
    for (size_t value = 0; value < histogram.counts.size(); ++value) {
        seen += histogram.counts[value];
        if (static_cast<double>(seen) >= wanted)
            return static_cast<double>(value);
    }
    return static_cast<double>(histogram.counts.size() - 1);
}

// Output byte for every possible sample value.
std::vector<uint8_t> displayTable(const Histogram &histogram, Stretch stretch) {
    std::vector<uint8_t> table(histogram.counts.size());
    double black, white, soft = 0;
    if (stretch == Stretch::asinh) {
        // The sky is most of a frame: the median stands for it, and the spread below the
        // median (which stars do not reach) for its noise: 15.87 % lies a sigma below.
        const double median = percentile(histogram, 0.5);
        const double sigma = std::max(1.0, median - percentile(histogram, 0.1587));
        black = median - 2.0 * sigma;
        soft = 3.0 * sigma;
        white = std::max(percentile(histogram, 0.9999), black + 10.0 * soft);
    } else {
        black = percentile(histogram, 0.0025);
        white = std::max(percentile(histogram, 0.9975), black + 1.0);
    }
    const double top = stretch == Stretch::asinh ? std::asinh((white - black) / soft) : white - black;
    for (size_t value = 0; value < table.size(); ++value) {
        const double above = std::max(0.0, static_cast<double>(value) - black);
        const double t = (stretch == Stretch::asinh ? std::asinh(above / soft) : above) / top;
        table[value] = static_cast<uint8_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255.0));
    }
    return table;
}

void mapSamples(const HostImage &source, const std::vector<uint8_t> &table, HostImage *preview) {
    for (size_t k = 0; k < preview->pixels.size; ++k)
        preview->pixels.data[k] = table[storedSample(source, k)];
}

} // namespace

bool parseStretch(const std::string &name, Stretch *stretch) {
    for (Stretch named : {Stretch::asinh, Stretch::linear})
        if (name == stretchName(named)) {
            *stretch = named;
            return true;
        }
    return false;
}

const char *stretchName(Stretch stretch) { return stretch == Stretch::asinh ? "asinh" : "linear"; }

bool makePreview(const HostImage &source, Stretch stretch, HostImage *preview) {
    if ((source.depth != 8 && source.depth != 16) || source.rows < 1 || source.columns < 1 || source.planes < 1)
        return false;
    const int16_t planes = source.planes == 3 ? 3 : 1;
    if (!allocateImage(preview, source.rows, source.columns, 8, planes, planes == 3 ? plugInModeRGBColor : plugInModeGrayScale))
        return false;
    Histogram histogram;
    countSamples(source, planes, &histogram);
    mapSamples(source, displayTable(histogram, stretch), preview);
    return true;
}
