// The independent judge of the peer corpus: cfitsio's view of each file, compared with what
// korvalis-host made of it.
//
//   corpus_check bitpix IN                 the BITPIX of the image the module opens in IN
//   corpus_check classify IN               "open PLANES" when the module should open IN, else
//                                          "refuse WHY"
//   corpus_check pixels IN IMAGE           the opened image (PGM, or PPM for three planes) holds
//                                          the values computed from IN
//   corpus_check convert IN OUT IMAGE      OUT (IN opened and saved again) keeps IN's cards, its
//                                          axes' included, the physical values (within half a
//                                          step of the mapping), the opened image's values and
//                                          valid checksums; IMAGE
//                                          "-" when the host could not write the image
//
// 8-bit samples reach the host as stored, 16-bit ones by the rule of hostSamplesOf16 (stored
// samples, shifted unless they are whole numbers in 0..65535); wider integers and floating point
// are mapped into 16 bits from their physical values (cfitsio's, in double precision): whole
// numbers within 0..65535 (1..65535 with blanks) as they are, whole numbers whose span fits by
// an offset, anything else linearly from the smallest (to 0, or 1 with blanks) to the largest
// (to 65535); blanks (BLANK, NaN, infinities) to 0. ROWORDER = 'BOTTOM-UP' puts the file's
// first row at the host's bottom.
//
// The image is the primary HDU's, or after an empty primary HDU the first image extension the
// module reads, whose kept header is the extension's merged into the primary's (merged_header.h).
//
// Exit status: 0 the check holds, 1 it does not (the reasons are on stderr), 2 usage or a file
// that cannot be read.
#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "merged_header.h"
#include "../mapping_oracle.h"

namespace {

constexpr int checkHolds = 0;
constexpr int checkFails = 1;
constexpr int checkUnusable = 2;

constexpr size_t cardBytes = 80;
constexpr size_t blockBytes = 2880;
// The module reads headers of up to 1000 blocks and sides that fit its 16-bit fields.
constexpr long long moduleHeaderBytes = 1000 * blockBytes;
constexpr long moduleMaxSide = 32767;
// Mismatched pixels listed before the rest are only counted.
constexpr long long pixelsShown = 8;

constexpr long moduleMaxPlanes = 24;
constexpr int largestAxes = 999;

// The keywords whose cards the module rewrites or inserts when it saves a retained header;
// BLANK too when the samples were mapped. The axes an image is saved with are those it was
// opened with, so their cards stay as they were.
const char *const rewrittenKeywords[] = {"BITPIX  ", "BZERO   ", "BSCALE  ", "KORVALIS", "CHECKSUM", "DATASUM "};

// An image as the host holds it: plane after plane, each from its top row.
struct Image {
    long columns = 0;
    long rows = 0;
    long planes = 1;
    int depth = 0; // 8 or 16
    std::vector<uint32_t> samples;
    std::vector<double> ideal; // expected images only: the exact mapped value, when rounded
};

// A file's image as cfitsio reads it: physical values (NaN for blanks) in file order.
struct Physical {
    int bitpix = 0;
    long columns = 0, rows = 0, planes = 1;
    bool bottomUp = false;
    double bzero = 0.0, bscale = 1.0;
    bool hasBlank = false;
    long long blank = 0;
    std::vector<double> values;
    std::vector<long long> stored; // 8 and 16 bits: the stored integers, unscaled
};

bool wideSamples(int bitpix) { return bitpix != 8 && bitpix != 16; }

// Host position of the file's sample `index`.
size_t hostIndex(long columns, long rows, bool bottomUp, size_t index) {
    const size_t c = static_cast<size_t>(columns), r = static_cast<size_t>(rows);
    const size_t plane = index / (c * r), row = index / c % r, column = index % c;
    return (plane * r + (bottomUp ? r - 1 - row : row)) * c + column;
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> *bytes) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
        return false;
    }
    bytes->clear();
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        std::fprintf(stderr, "%s: read error\n", path.c_str());
    return !failed;
}

std::string fitsError(int status) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    return "cfitsio status " + std::to_string(status) + " (" + text + ")";
}

// Opens the file itself, never through cfitsio's extended file-name syntax.
fitsfile *openFits(const std::string &path, int *status) {
    fitsfile *file = nullptr;
    fits_open_diskfile(&file, path.c_str(), READONLY, status);
    return *status == 0 ? file : nullptr;
}

void closeFits(fitsfile *file) {
    int status = 0;
    if (file != nullptr)
        fits_close_file(file, &status);
}

// A real keyword of the primary header as cfitsio parses it, or the default when it is absent.
bool readReal(fitsfile *file, const char *keyword, double fallback, double *value) {
    int status = 0;
    *value = fallback;
    fits_read_key(file, TDOUBLE, keyword, value, nullptr, &status);
    if (status == KEY_NO_EXIST) {
        *value = fallback;
        return true;
    }
    if (status != 0)
        std::fprintf(stderr, "%s: %s\n", keyword, fitsError(status).c_str());
    return status == 0;
}

// Binary PGM as korvalis-host writes it: P5, width, height, maxval 255 or 65535, one blank,
// then the samples, 16-bit ones most significant byte first.
bool skipPgmSeparators(const std::vector<uint8_t> &bytes, size_t *at) {
    const size_t start = *at;
    while (*at < bytes.size()) {
        if (bytes[*at] == '#') {
            while (*at < bytes.size() && bytes[*at] != '\n')
                ++*at;
        } else if (bytes[*at] == ' ' || bytes[*at] == '\t' || bytes[*at] == '\n' || bytes[*at] == '\r') {
            ++*at;
        } else {
            break;
        }
    }
    return *at > start;
}

bool readPgmNumber(const std::vector<uint8_t> &bytes, size_t *at, long *value) {
    if (!skipPgmSeparators(bytes, at))
        return false;
    long number = 0;
    int digits = 0;
    while (*at < bytes.size() && bytes[*at] >= '0' && bytes[*at] <= '9' && digits < 9) {
        number = number * 10 + (bytes[*at] - '0');
        ++*at;
        ++digits;
    }
    *value = number;
    return digits > 0;
}

bool loadPgm(const std::string &path, Image *image) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, &bytes))
        return false;
    size_t at = 2;
    long maxval = 0;
    if (bytes.size() < 2 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6') ||
        !readPgmNumber(bytes, &at, &image->columns) ||
        !readPgmNumber(bytes, &at, &image->rows) || !readPgmNumber(bytes, &at, &maxval) || at >= bytes.size() ||
        (maxval != 255 && maxval != 65535)) {
        std::fprintf(stderr, "%s: not a binary PGM or PPM with maxval 255 or 65535\n", path.c_str());
        return false;
    }
    ++at; // the single blank after maxval
    image->depth = maxval == 255 ? 8 : 16;
    image->planes = bytes[1] == '6' ? 3 : 1;
    const size_t sampleBytes = image->depth / 8;
    const size_t pixels = static_cast<size_t>(image->columns) * static_cast<size_t>(image->rows);
    const size_t count = pixels * static_cast<size_t>(image->planes);
    if (bytes.size() - at != count * sampleBytes) {
        std::fprintf(stderr, "%s: %zu sample bytes for %ld x %ld samples of %zu bytes\n", path.c_str(),
                     bytes.size() - at, image->columns, image->rows, sampleBytes);
        return false;
    }
    // A PPM interleaves the planes; the host holds them one after another.
    image->samples.resize(count);
    for (size_t i = 0; i < count; ++i, at += sampleBytes)
        image->samples[i % static_cast<size_t>(image->planes) * pixels + i / static_cast<size_t>(image->planes)] =
            sampleBytes == 1 ? bytes[at] : uint32_t{bytes[at]} << 8 | bytes[at + 1];
    return true;
}


// ---------------------------------------------------------------------------------------------
// Where the module finds the image: the primary HDU when it holds data; after an empty one, the
// first IMAGE extension that holds an image the module reads, a tile-compressed one (which
// cfitsio presents as an image) included.

struct Located {
    int hdu = 0;         // cfitsio's number, from 1; 0 when there is no image the module opens
    long planes = 1;
    std::string refusal; // why there is none
};

long long headerBlocks(fitsfile *file, LONGLONG *dataStart) {
    int status = 0;
    LONGLONG headStart = 0, dataEnd = 0;
    fits_get_hduaddrll(file, &headStart, dataStart, &dataEnd, &status);
    return status == 0 ? (*dataStart - headStart) / static_cast<LONGLONG>(blockBytes) : -1;
}

// NAXIS of 1 or more and no axis of 0.
bool holdsData(fitsfile *file) {
    int status = 0, bitpix = 0, naxis = 0;
    std::vector<long> axes(largestAxes, 1);
    fits_get_img_param(file, largestAxes, &bitpix, &naxis, axes.data(), &status);
    if (status != 0 || naxis < 1)
        return false;
    return std::find(axes.begin(), axes.begin() + naxis, 0L) == axes.begin() + naxis;
}

// Why the module cannot open the image of the current HDU, or "".
std::string imageRefusal(fitsfile *file, LONGLONG fileBytes, long *planes) {
    int status = 0, bitpix = 0, naxis = 0;
    std::vector<long> axes(largestAxes, 1);
    fits_get_img_param(file, largestAxes, &bitpix, &naxis, axes.data(), &status);
    if (status != 0)
        return "cfitsio cannot read its header: " + fitsError(status);
    if (naxis < 2)
        return "NAXIS " + std::to_string(naxis);
    for (int axis = 0; axis < 2; ++axis)
        if (axes[axis] < 1 || axes[axis] > moduleMaxSide)
            return "NAXIS" + std::to_string(axis + 1) + " " + std::to_string(axes[axis]);
    if (naxis >= 3 && (axes[2] < 1 || axes[2] > moduleMaxPlanes))
        return "NAXIS3 " + std::to_string(axes[2]);
    for (int axis = 3; axis < naxis; ++axis)
        if (axes[axis] != 1)
            return "NAXIS" + std::to_string(axis + 1) + " " + std::to_string(axes[axis]);
    *planes = naxis >= 3 ? axes[2] : 1;
    LONGLONG dataStart = 0;
    headerBlocks(file, &dataStart);
    const LONGLONG imageBytes = static_cast<LONGLONG>(axes[0]) * axes[1] * *planes * (std::abs(bitpix) / 8);
    // A tile-compressed image's data are its table, which cfitsio reads whole or not at all.
    int compressed = fits_is_compressed_image(file, &status);
    return !compressed && dataStart + imageBytes > fileBytes ? "data cut short" : "";
}

Located locate(const std::string &path) {
    Located where;
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, &bytes)) {
        where.refusal = "unreadable";
        return where;
    }
    if (bytes.size() < cardBytes || std::memcmp(bytes.data(), "SIMPLE  =", 9) != 0) {
        where.refusal = "first card is not a SIMPLE card";
        return where;
    }
    int status = 0;
    fitsfile *file = openFits(path, &status);
    if (file == nullptr) {
        where.refusal = "cfitsio cannot open it: " + fitsError(status);
        return where;
    }
    const LONGLONG size = static_cast<LONGLONG>(bytes.size());
    int groups = 0, keyStatus = 0;
    fits_read_key(file, TLOGICAL, "GROUPS", &groups, nullptr, &keyStatus);
    std::string first; // the first image that cannot be opened, or a tile-compressed one
    for (int hdu = 1, type = IMAGE_HDU; status == 0; fits_movabs_hdu(file, ++hdu, &type, &status)) {
        LONGLONG dataStart = 0;
        const long long blocks = headerBlocks(file, &dataStart);
        if (blocks > moduleHeaderBytes / static_cast<long long>(blockBytes)) {
            first = "header of " + std::to_string(blocks) + " blocks in HDU " + std::to_string(hdu - 1);
            break;
        }
        if (hdu == 1 && keyStatus == 0 && groups != 0) {
            first = "random groups";
            break;
        }
        if (type == IMAGE_HDU && holdsData(file)) {
            const std::string why = imageRefusal(file, size, &where.planes);
            if (why.empty() || hdu == 1) {
                where.hdu = why.empty() ? hdu : 0;
                where.refusal = why;
                break;
            }
            first = first.empty() ? "HDU " + std::to_string(hdu - 1) + ": " + why : first;
        }
    }
    closeFits(file);
    if (where.hdu == 0 && where.refusal.empty())
        where.refusal = first.empty() ? "no image in any HDU" : first;
    return where;
}

int moduleHdu(const std::string &path) {
    const Located where = locate(path);
    return where.hdu > 0 ? where.hdu : 1;
}

// The image the module opens (of 2 or more axes, those after the third of length 1) as cfitsio
// reads it:
// the physical values with blanks as NaN, and for 8 and 16 bits the stored integers. False
// (with a line on standard error) when the file holds no such image.
bool readPhysical(const std::string &path, Physical *image) {
    int status = 0;
    fitsfile *file = openFits(path, &status);
    int naxis = 0;
    long axes[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    if (file != nullptr)
        fits_movabs_hdu(file, moduleHdu(path), nullptr, &status);
    if (file != nullptr)
        fits_get_img_param(file, 9, &image->bitpix, &naxis, axes, &status);
    bool usable = status == 0 && naxis >= 2 && naxis <= 9;
    for (int n = 3; usable && n < naxis; ++n)
        usable = axes[n] == 1;
    if (!usable) {
        std::fprintf(stderr, "%s: no image of 2 or 3 axes (%s, NAXIS %d)\n", path.c_str(),
                     fitsError(status).c_str(), naxis);
        closeFits(file);
        return false;
    }
    image->columns = axes[0];
    image->rows = axes[1];
    image->planes = axes[2];
    usable = readReal(file, "BZERO", 0.0, &image->bzero) && readReal(file, "BSCALE", 1.0, &image->bscale);
    int blankStatus = 0;
    fits_read_key(file, TLONGLONG, "BLANK", &image->blank, nullptr, &blankStatus);
    image->hasBlank = blankStatus == 0;
    char order[FLEN_VALUE] = {};
    int keyStatus = 0;
    fits_read_key(file, TSTRING, "ROWORDER", order, nullptr, &keyStatus);
    image->bottomUp = keyStatus == 0 && std::strcmp(order, "BOTTOM-UP") == 0;
    const LONGLONG count = static_cast<LONGLONG>(axes[0]) * axes[1] * axes[2];
    image->values.assign(static_cast<size_t>(count), 0.0);
    std::vector<char> nulls(static_cast<size_t>(count));
    int anyNull = 0;
    // cfitsio refuses to scale 16-bit data with BSCALE 0, which the module reads as 1: the
    // physical values are then left out, the stored integers are not.
    int scaledStatus = 0;
    fits_read_imgnull(file, TDOUBLE, 1, count, image->values.data(), nulls.data(), &anyNull, &scaledStatus);
    for (size_t i = 0; i < nulls.size(); ++i)
        if (nulls[i] != 0 || !std::isfinite(image->values[i]))
            image->values[i] = NAN;
    if (scaledStatus != 0 && wideSamples(image->bitpix)) {
        std::fprintf(stderr, "%s: read failed: %s\n", path.c_str(), fitsError(scaledStatus).c_str());
        usable = false;
    }
    if (!wideSamples(image->bitpix)) {
        image->stored.assign(static_cast<size_t>(count), 0);
        fits_set_bscale(file, 1.0, 0.0, &status);
        // TLONG, which tile-compressed images are read in too (not TLONGLONG).
        std::vector<long> stored(static_cast<size_t>(count));
        fits_read_img(file, TLONG, 1, count, nullptr, stored.data(), &anyNull, &status);
        std::copy(stored.begin(), stored.end(), image->stored.begin());
    }
    if (status != 0) {
        std::fprintf(stderr, "%s: raw read failed: %s\n", path.c_str(), fitsError(status).c_str());
        usable = false;
    }
    closeFits(file);
    return usable;
}

// Gives the image the file's size and planes and the host's depth, with room for its samples.
void shapeImage(Image *image, const Physical &file) {
    image->depth = wideSamples(file.bitpix) ? 16 : file.bitpix;
    image->columns = file.columns;
    image->rows = file.rows;
    image->planes = file.planes;
    image->samples.assign(file.values.size(), 0);
}

// The host image the module should make of the file.
bool expectedImage(const std::string &path, Image *image) {
    Physical file;
    if (!readPhysical(path, &file))
        return false;
    shapeImage(image, file);
    image->ideal.assign(file.values.size(), -1.0);
    const Mapping mapping = chooseMapping(file.values);
    std::vector<uint16_t> sixteen;
    if (file.bitpix == 16)
        sixteen = hostSamplesOf16(std::vector<int16_t>(file.stored.begin(), file.stored.end()), file.bzero, file.bscale,
                                  file.hasBlank, file.blank);
    for (size_t i = 0; i < file.values.size(); ++i) {
        const size_t at = hostIndex(file.columns, file.rows, file.bottomUp, i);
        if (wideSamples(file.bitpix))
            image->samples[at] = mappedValue(mapping, file.values[i], &image->ideal[at]);
        else
            image->samples[at] = file.bitpix == 8 ? static_cast<uint32_t>(file.stored[i]) : sixteen[i];
    }
    return true;
}

// The host samples a file the module saved holds: the stored values as the module stores them
// (8 bits as they are, 16 bits less 32768), in the file's row order.
void savedHostImage(const Physical &saved, Image *image) {
    shapeImage(image, saved);
    for (size_t i = 0; i < saved.stored.size(); ++i)
        image->samples[hostIndex(saved.columns, saved.rows, saved.bottomUp, i)] =
            static_cast<uint32_t>(saved.bitpix == 8 ? saved.stored[i] : saved.stored[i] + 32768);
}

// Equal samples; a sample the linear mapping rounds may be either neighbour of its exact value.
bool sameImage(const Image &expected, const Image &got, const char *what) {
    if (expected.columns != got.columns || expected.rows != got.rows || expected.planes != got.planes ||
        expected.depth != got.depth) {
        std::fprintf(stderr, "%s: %ld x %ld x %ld at %d bits, expected %ld x %ld x %ld at %d bits\n", what,
                     got.columns, got.rows, got.planes, got.depth, expected.columns, expected.rows, expected.planes,
                     expected.depth);
        return false;
    }
    long long wrong = 0;
    for (size_t i = 0; i < expected.samples.size(); ++i) {
        const double ideal = i < expected.ideal.size() ? expected.ideal[i] : -1.0;
        if (expected.samples[i] == got.samples[i] || (ideal >= 0.0 && std::fabs(got.samples[i] - ideal) <= 0.5 + 1e-6))
            continue;
        const long pixel = static_cast<long>(i % static_cast<size_t>(expected.columns * expected.rows));
        if (++wrong <= pixelsShown)
            std::fprintf(stderr, "%s: plane %ld row %ld column %ld is %u, expected %u\n", what,
                         static_cast<long>(i) / (expected.columns * expected.rows), pixel / expected.columns,
                         pixel % expected.columns, got.samples[i], expected.samples[i]);
    }
    if (wrong > 0)
        std::fprintf(stderr, "%s: %lld of %zu samples differ\n", what, wrong, expected.samples.size());
    return wrong == 0;
}

// The saved file gives back the physical values: within half a step of the mapping for wide
// samples (blanks as blanks), exactly for 8 and 16 bits.
bool samePhysicalValues(const Physical &in, const Physical &saved) {
    if (saved.values.size() != in.values.size()) {
        std::fprintf(stderr, "saved file: %zu samples, expected %zu\n", saved.values.size(), in.values.size());
        return false;
    }
    const Mapping mapping = chooseMapping(in.values);
    const bool wide = wideSamples(in.bitpix);
    long long wrong = 0;
    for (size_t i = 0; i < in.values.size(); ++i) {
        const double want = in.values[i], got = saved.values[i];
        // 8 and 16 bits come back exactly, to the digits a BZERO card carries.
        const double tolerance = wide ? mapping.step / 2 * (1 + 1e-9) + std::fabs(want) * 1e-13 : std::fabs(want) * 1e-15;
        if (std::isnan(want) ? std::isnan(got) : std::fabs(got - want) <= tolerance)
            continue;
        if (++wrong <= pixelsShown)
            std::fprintf(stderr, "saved file: sample %zu is %.17g, was %.17g (step %.17g)\n", i, got, want,
                         mapping.step);
    }
    if (wrong > 0)
        std::fprintf(stderr, "saved file: %lld of %zu physical values differ\n", wrong, in.values.size());
    return wrong == 0;
}

// The header cfitsio restores for a tile-compressed image: its own cards, as funpack writes them.
bool restoredCards(fitsfile *file, std::vector<std::string> *cards) {
    int status = 0, keys = 0;
    char *header = nullptr;
    // cfitsio leaves a status from its own probing of the table's keywords (252) with the cards.
    fits_convert_hdr2str(file, 0, nullptr, 0, &header, &keys, &status);
    // The restored cards start at BITPIX; the header's first card is the extension's.
    cards->assign(1, std::string("XTENSION= 'IMAGE   '") + std::string(cardBytes - 20, ' '));
    // cfitsio puts XTENSION (or SIMPLE) where the table had it (ZTENSION or ZSIMPLE, or its own
    // XTENSION); it is the image's first card.
    for (int n = 0; header != nullptr && n < keys && std::memcmp(header + n * cardBytes, "END     ", 8) != 0; ++n)
        if (std::memcmp(header + static_cast<size_t>(n) * cardBytes, "XTENSION", 8) != 0 &&
            std::memcmp(header + static_cast<size_t>(n) * cardBytes, "SIMPLE  ", 8) != 0)
            cards->emplace_back(header + static_cast<size_t>(n) * cardBytes, cardBytes);
    // Blank cards before END are room in the table's header, which it reports as cards.
    while (cards->size() > 1 && cards->back() == std::string(cardBytes, ' '))
        cards->pop_back();
    cards->emplace_back(std::string("END") + std::string(cardBytes - 3, ' '));
    status = 0;
    if (header != nullptr)
        fits_free_memory(header, &status);
    return keys > 0;
}

// The cards of HDU `hdu`'s header up to and including END, as the bytes stand in the file (for
// a tile-compressed image, the image's header that cfitsio restores).
bool hduCards(const std::string &path, int hdu, std::vector<std::string> *cards) {
    std::vector<uint8_t> bytes;
    int status = 0;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fitsfile *file = openFits(path, &status);
    if (file != nullptr)
        fits_movabs_hdu(file, hdu, nullptr, &status);
    if (file != nullptr)
        fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    int compressed = status == 0 && fits_is_compressed_image(file, &status);
    if (compressed) {
        const bool restored = restoredCards(file, cards);
        closeFits(file);
        return restored;
    }
    closeFits(file);
    if (status != 0 || !readWholeFile(path, &bytes)) {
        std::fprintf(stderr, "%s: HDU %d not found\n", path.c_str(), hdu);
        return false;
    }
    cards->clear();
    for (size_t at = static_cast<size_t>(headStart); at + cardBytes <= bytes.size(); at += cardBytes) {
        cards->emplace_back(reinterpret_cast<const char *>(bytes.data() + at), cardBytes);
        if (cards->back().compare(0, 8, "END     ") == 0)
            return true;
    }
    std::fprintf(stderr, "%s: no END card\n", path.c_str());
    return false;
}

// The header the module keeps of the file it opens: the primary one, or the image extension's
// merged with the primary's metadata.
bool headerCards(const std::string &path, std::vector<std::string> *cards) {
    const int hdu = moduleHdu(path);
    std::vector<std::string> primary, extension;
    if (hdu == 1)
        return hduCards(path, 1, cards);
    if (!hduCards(path, 1, &primary) || !hduCards(path, hdu, &extension))
        return false;
    *cards = merged_header::merge(primary, extension);
    return true;
}

bool rewrittenByModule(const std::string &card, bool wide) {
    for (const char *keyword : rewrittenKeywords)
        if (card.compare(0, 8, keyword) == 0)
            return true;
    return wide && card.compare(0, 8, "BLANK   ") == 0;
}

bool hasCard(const std::vector<std::string> &cards, const char *keyword) {
    for (const std::string &card : cards)
        if (card.compare(0, 8, keyword) == 0)
            return true;
    return false;
}

std::vector<std::string> keptCards(const std::vector<std::string> &cards, bool wide) {
    std::vector<std::string> kept;
    for (const std::string &card : cards)
        if (!rewrittenByModule(card, wide))
            kept.push_back(card);
    return kept;
}

bool sameKeptCards(const std::vector<std::string> &in, const std::vector<std::string> &out, bool wide) {
    const std::vector<std::string> expected = keptCards(in, wide);
    const std::vector<std::string> got = keptCards(out, wide);
    for (size_t i = 0; i < expected.size() || i < got.size(); ++i) {
        const std::string none = "(no card)";
        const std::string &want = i < expected.size() ? expected[i] : none;
        const std::string &have = i < got.size() ? got[i] : none;
        if (want != have) {
            std::fprintf(stderr, "kept card %zu differs:\n  expected [%s]\n  saved    [%s]\n", i + 1, want.c_str(),
                         have.c_str());
            return false;
        }
    }
    return true;
}

// Every checksum card of the saved image's header holds, as cfitsio computes it.
bool checksumsValid(const std::string &path, bool wantChecksum, bool wantDatasum) {
    int status = 0;
    fitsfile *file = openFits(path, &status);
    int dataOk = 0, hduOk = 0;
    // The image's HDU: a save that keeps the file's other HDUs leaves it where it was.
    if (file != nullptr)
        fits_movabs_hdu(file, moduleHdu(path), nullptr, &status);
    if (file != nullptr)
        fits_verify_chksum(file, &dataOk, &hduOk, &status);
    closeFits(file);
    if (status != 0) {
        std::fprintf(stderr, "%s: checksums not verified: %s\n", path.c_str(), fitsError(status).c_str());
        return false;
    }
    bool valid = true;
    if (wantDatasum && dataOk != 1) {
        std::fprintf(stderr, "%s: DATASUM %s\n", path.c_str(), dataOk == 0 ? "missing" : "wrong");
        valid = false;
    }
    if (wantChecksum && hduOk != 1) {
        std::fprintf(stderr, "%s: CHECKSUM %s\n", path.c_str(), hduOk == 0 ? "missing" : "wrong");
        valid = false;
    }
    return valid;
}


int classify(const std::string &in) {
    const Located where = locate(in);
    std::printf("%s\n", where.refusal.empty() ? ("open " + std::to_string(where.planes)).c_str()
                                              : ("refuse " + where.refusal).c_str());
    return checkHolds;
}

int printBitpix(const std::string &in) {
    int status = 0, bitpix = 0;
    fitsfile *file = openFits(in, &status);
    if (file != nullptr)
        fits_movabs_hdu(file, moduleHdu(in), nullptr, &status);
    if (file != nullptr)
        fits_get_img_type(file, &bitpix, &status);
    closeFits(file);
    if (status != 0)
        return checkUnusable;
    std::printf("%d\n", bitpix);
    return checkHolds;
}

int checkPixels(const std::string &in, const std::string &pgm) {
    Image expected, opened;
    if (!expectedImage(in, &expected) || !loadPgm(pgm, &opened))
        return checkUnusable;
    return sameImage(expected, opened, "opened image") ? checkHolds : checkFails;
}

// The saved file holds what the host had, under a coding that gives readers the physical
// values: the file's own coding for 8 bits, and for 16 bits and wide samples BZERO and BSCALE
// that carry the host's samples back to them.
bool sameSavedValues(const Physical &in, const Physical &saved, const std::string &pgm) {
    bool holds = true;
    if (pgm != "-") {
        Image opened, held;
        if (!loadPgm(pgm, &opened))
            return false;
        savedHostImage(saved, &held);
        holds = sameImage(opened, held, "saved image");
    }
    return samePhysicalValues(in, saved) && holds;
}

int checkConvert(const std::string &in, const std::string &out, const std::string &pgm) {
    std::vector<std::string> inCards, outCards;
    Physical input, saved;
    if (!headerCards(in, &inCards) || !readPhysical(in, &input))
        return checkUnusable;
    if (!headerCards(out, &outCards) || !readPhysical(out, &saved))
        return checkFails;
    bool holds = sameKeptCards(inCards, outCards, wideSamples(input.bitpix));
    holds = sameSavedValues(input, saved, pgm) && holds;
    const bool checksum = hasCard(inCards, "CHECKSUM");
    const bool datasum = hasCard(inCards, "DATASUM ");
    if (checksum != hasCard(outCards, "CHECKSUM") || datasum != hasCard(outCards, "DATASUM ")) {
        std::fprintf(stderr, "%s: checksum cards not carried over\n", out.c_str());
        holds = false;
    }
    if (checksum || datasum)
        holds = checksumsValid(out, checksum, datasum) && holds;
    return holds ? checkHolds : checkFails;
}

} // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "classify" && argc == 3)
        return classify(argv[2]);
    if (command == "bitpix" && argc == 3)
        return printBitpix(argv[2]);
    if (command == "pixels" && argc == 4)
        return checkPixels(argv[2], argv[3]);
    if (command == "convert" && argc == 5)
        return checkConvert(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: corpus_check classify IN | bitpix IN | pixels IN IMAGE | convert IN OUT IMAGE|-\n");
    return checkUnusable;
}
