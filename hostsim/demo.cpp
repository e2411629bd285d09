// The demo: a synthetic star field saved through the module, checked, opened back, shown
// and converted, with a table of what was done.
#include <cstdio>
#include <cstring>

#include "hostsim/commands.h"
#include "hostsim/host_files.h"
#include "hostsim/image_files.h"
#include "hostsim/preview.h"
#include "hostsim/sequences.h"
#include "hostsim/starfield.h"

namespace {

constexpr uint64_t demoSeed = 20260501;

struct DemoStep {
    const char *step;
    std::string file;
    int64_t bytes; // -1: no file of its own
    double seconds;
    std::string outcome;
};

void addRow(std::string *table, const DemoStep &row) {
    char line[512];
    char bytes[32] = "-";
    if (row.bytes >= 0)
        std::snprintf(bytes, sizeof bytes, "%lld", static_cast<long long>(row.bytes));
    std::snprintf(line, sizeof line, "%-9s %-42s %10s %9.1f  %s\n", row.step, row.file.c_str(), bytes,
                  row.seconds * 1000.0, row.outcome.c_str());
    *table += line;
}

// Where the first pair of differing samples is, or "" when all are equal.
std::string compareImages(const HostImage &written, const HostImage &read) {
    if (written.rows != read.rows || written.columns != read.columns || written.depth != read.depth ||
        written.planes != read.planes)
        return "the image came back as " + std::to_string(read.columns) + " x " + std::to_string(read.rows) + ", " +
               std::to_string(read.depth) + "-bit";
    for (int32_t row = 0; row < written.rows; ++row)
        for (int32_t column = 0; column < written.columns; ++column)
            if (sampleAt(written, 0, row, column) != sampleAt(read, 0, row, column))
                return "pixel (row " + std::to_string(row) + ", column " + std::to_string(column) + ") was saved as " +
                       std::to_string(sampleAt(written, 0, row, column)) + " and read back as " +
                       std::to_string(sampleAt(read, 0, row, column));
    return std::string();
}

bool sameFileBytes(const std::string &first, const std::string &second) {
    Bytes a, b;
    if (!isOk(readWholeFile(first, uint64_t{1} << 32, &a)) || !isOk(readWholeFile(second, uint64_t{1} << 32, &b)))
        return false;
    return a.size == b.size && std::memcmp(a.data.get(), b.data.get(), a.size) == 0;
}

Status saveAndCheck(HostContext *context, HostImage *sky, const std::string &fits, std::string *table) {
    double start = monotonicSeconds();
    Status status = saveDocument(&context->session, sky, fits);
    if (!isOk(status))
        return status;
    addRow(table, DemoStep{"save", fits, fileSize(fits), monotonicSeconds() - start, "saved through the module"});
    start = monotonicSeconds();
    status = filterFile(&context->session, fits);
    if (isOk(status))
        addRow(table, DemoStep{"filter", fits, -1, monotonicSeconds() - start, "FilterFile accepts it"});
    return status;
}

Status openAndCompare(HostContext *context, const HostImage &sky, const std::string &fits, HostImage *back,
                      std::string *table) {
    double start = monotonicSeconds();
    ImageFacts facts;
    Status status = openDocument(&context->session, fits, back, &facts);
    if (!isOk(status))
        return status;
    std::string difference = compareImages(sky, *back);
    if (!difference.empty())
        return failStatus(exitModuleFailed, "the round trip through " + fits + " changed the image: " + difference);
    const int64_t pixels = int64_t{sky.rows} * sky.columns;
    addRow(table, DemoStep{"open", fits, -1, monotonicSeconds() - start,
                           "all " + std::to_string(pixels) + " pixels equal to those saved"});
    return okStatus();
}

Status writePreview(const HostImage &back, const std::string &preview, std::string *table) {
    double start = monotonicSeconds();
    HostImage shown;
    if (!makePreview(back, defaultStretch, &shown))
        return failStatus(exitHostIo, "not enough memory for the preview");
    Status status = writeImageFile(preview, shown);
    if (isOk(status))
        addRow(table, DemoStep{"preview", preview, fileSize(preview), monotonicSeconds() - start,
                               std::string("8-bit, ") + stretchName(defaultStretch) + " display stretch"});
    return status;
}

Status convertBack(HostContext *context, const std::string &fits, const std::string &again, std::string *table) {
    double start = monotonicSeconds();
    Status status = commandConvert(context, fits, again);
    if (isOk(status))
        addRow(table, DemoStep{"convert", again, fileSize(again), monotonicSeconds() - start,
                               sameFileBytes(fits, again) ? "header kept; byte for byte the saved file"
                                                          : "header kept; differs from the saved file"});
    return status;
}

} // namespace

Status commandDemo(HostContext *context, const std::string &folder, std::string *table) {
    Status status = ensureFolder(folder);
    if (!isOk(status))
        return status;
    const std::string fits = joinPath(folder, "starfield.fts");
    const std::string preview = joinPath(folder, pngSupported() ? "starfield-preview.png" : "starfield-preview.pgm");
    const std::string again = joinPath(folder, "starfield-roundtrip.fts");
    char header[256];
    std::snprintf(header, sizeof header, "%-9s %-42s %10s %9s  %s\n", "step", "file", "bytes", "ms", "result");
    *table = header;
    double start = monotonicSeconds();
    HostImage sky;
    if (!makeStarField(&sky, demoSeed))
        return failStatus(exitHostIo, "not enough memory for the star field");
    // The document holds the field as the host keeps 16-bit samples, as if read from a file.
    rescaleImage(&sky, fullRangeLargest, context->session.largestSample);
    addRow(table, DemoStep{"generate", "(in memory)", static_cast<int64_t>(sky.pixels.size), monotonicSeconds() - start,
                           "1024 x 1024, 16-bit, " + std::to_string(starFieldStars) + " stars"});
    HostImage back;
    status = saveAndCheck(context, &sky, fits, table);
    if (isOk(status))
        status = openAndCompare(context, sky, fits, &back, table);
    if (isOk(status))
        status = writePreview(back, preview, table);
    if (isOk(status))
        status = convertBack(context, fits, again, table);
    return status;
}
