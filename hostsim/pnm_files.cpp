// Binary PGM and PPM, written by hand and parsed strictly.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "host/host_records.h"
#include "hostsim/image_files.h"

namespace {

Status refused(const std::string &why) { return failStatus(exitHostIo, why); }

struct Scanner {
    const uint8_t *at;
    const uint8_t *end;
};

// Blanks and comments ("#" to the end of the line) before a header field.
bool skipSeparators(Scanner *scanner) {
    bool skipped = false;
    while (scanner->at < scanner->end) {
        if (*scanner->at == '#') {
            while (scanner->at < scanner->end && *scanner->at != '\n' && *scanner->at != '\r')
                ++scanner->at;
        } else if (std::isspace(*scanner->at)) {
            ++scanner->at;
        } else {
            break;
        }
        skipped = true;
    }
    return skipped;
}

// A decimal field of at most 6 digits (all the header's values fit in that).
bool readNumber(Scanner *scanner, int32_t *value) {
    if (!skipSeparators(scanner))
        return false;
    int32_t number = 0;
    int digits = 0;
    while (scanner->at < scanner->end && std::isdigit(*scanner->at)) {
        if (++digits > 6)
            return false;
        number = number * 10 + (*scanner->at++ - '0');
    }
    *value = number;
    return digits > 0;
}

} // namespace

Status decodePnm(const uint8_t *bytes, size_t size, HostImage *image) {
    if (size < 2 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6'))
        return refused("not a binary PGM or PPM image (it does not start with P5 or P6)");
    const int16_t planes = bytes[1] == '5' ? 1 : 3;
    Scanner scanner{bytes + 2, bytes + size};
    int32_t columns = 0, rows = 0, maxval = 0;
    if (!readNumber(&scanner, &columns) || !readNumber(&scanner, &rows) || !readNumber(&scanner, &maxval))
        return refused("malformed PGM/PPM header: width, height and maxval must be decimal numbers");
    if (scanner.at == scanner.end || !std::isspace(*scanner.at))
        return refused("malformed PGM/PPM header: no single blank after maxval");
    ++scanner.at;
    if (columns < 1 || rows < 1 || columns > hostMaxSide || rows > hostMaxSide)
        return refused("image of " + std::to_string(columns) + " x " + std::to_string(rows) +
                       " pixels; sides must be 1 to 32767");
    if (maxval != 255 && maxval != 65535)
        return refused("maxval " + std::to_string(maxval) + "; this host reads 255 or 65535");
    const int16_t depth = maxval == 255 ? 8 : 16;
    const int16_t mode = planes == 1 ? plugInModeGrayScale : plugInModeRGBColor;
    if (!allocateImage(image, rows, columns, depth, planes, mode))
        return refused("not enough memory for a " + std::to_string(columns) + " x " + std::to_string(rows) + " image");
    const size_t expected = planeBytes(*image) * static_cast<size_t>(planes);
    const auto present = static_cast<size_t>(scanner.end - scanner.at);
    if (present < expected)
        return refused("short data: " + std::to_string(present) + " of " + std::to_string(expected) + " bytes");
    if (present > expected)
        return refused(std::to_string(present - expected) + " bytes follow the image data");
    loadInterleaved(scanner.at, planes, true, image);
    return okStatus();
}

Status encodePnm(const HostImage &image, Bytes *file) {
    if (image.planes != 1 && image.planes != 3)
        return refused("a PGM holds one plane and a PPM three; this image has " + std::to_string(image.planes));
    char header[64];
    int length = std::snprintf(header, sizeof header, "P%c\n%d %d\n%d\n", image.planes == 1 ? '5' : '6',
                               static_cast<int>(image.columns), static_cast<int>(image.rows),
                               image.depth == 8 ? 255 : 65535);
    const size_t data = planeBytes(image) * static_cast<size_t>(image.planes);
    if (!allocateBytes(file, static_cast<size_t>(length) + data))
        return refused("not enough memory to write the image");
    std::memcpy(file->data.get(), header, static_cast<size_t>(length));
    storeInterleaved(image, true, file->data.get() + length);
    return okStatus();
}
