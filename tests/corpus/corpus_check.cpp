// The independent judge of the peer corpus: cfitsio's view of each file, compared with what
// korvalis-host made of it.
//
//   corpus_check classify IN               "open" when the module should open IN, else "refuse WHY"
//   corpus_check pixels IN IMAGE.pgm       the opened image holds the values computed from IN
//   corpus_check convert IN OUT IMAGE.pgm  OUT (IN opened and saved again) keeps IN's cards and
//                                          holds the opened image's values and valid checksums
//
// Exit status: 0 the check holds, 1 it does not (the reasons are on stderr), 2 usage or a file
// that cannot be read.
#include <fitsio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int checkHolds = 0;
constexpr int checkFails = 1;
constexpr int checkUnusable = 2;

constexpr size_t cardBytes = 80;
constexpr size_t blockBytes = 2880;
// The module keeps at most four header blocks and reads sides that fit its 16-bit fields.
constexpr long long moduleHeaderBytes = 4 * blockBytes;
constexpr long moduleMaxSide = 32767;
// Mismatched pixels listed before the rest are only counted.
constexpr long long pixelsShown = 8;

// The keywords whose cards the module rewrites or inserts when it saves a retained header.
const char *const rewrittenKeywords[] = {"BITPIX  ", "NAXIS   ", "NAXIS1  ", "NAXIS2  ", "NAXIS3  ",
                                         "BZERO   ", "BSCALE  ", "KORVALIS", "CHECKSUM", "DATASUM "};

struct Image {
    long columns = 0;
    long rows = 0;
    int depth = 0; // 8 or 16
    std::vector<uint32_t> samples; // row 0 (the first row in the file) first
};

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
    if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '5' || !readPgmNumber(bytes, &at, &image->columns) ||
        !readPgmNumber(bytes, &at, &image->rows) || !readPgmNumber(bytes, &at, &maxval) || at >= bytes.size() ||
        (maxval != 255 && maxval != 65535)) {
        std::fprintf(stderr, "%s: not a binary PGM with maxval 255 or 65535\n", path.c_str());
        return false;
    }
    ++at; // the single blank after maxval
    image->depth = maxval == 255 ? 8 : 16;
    const size_t sampleBytes = image->depth / 8;
    const size_t count = static_cast<size_t>(image->columns) * static_cast<size_t>(image->rows);
    if (bytes.size() - at != count * sampleBytes) {
        std::fprintf(stderr, "%s: %zu sample bytes for %ld x %ld samples of %zu bytes\n", path.c_str(),
                     bytes.size() - at, image->columns, image->rows, sampleBytes);
        return false;
    }
    image->samples.resize(count);
    for (size_t i = 0; i < count; ++i, at += sampleBytes)
        image->samples[i] = sampleBytes == 1 ? bytes[at] : uint32_t{bytes[at]} << 8 | bytes[at + 1];
    return true;
}

// What the module should show for a stored sample: 8-bit samples as stored; 16-bit ones as
// stored x BSCALE + BZERO in double precision, both taken as the 32-bit floats the module keeps
// (BSCALE 0 read as 1), truncated toward zero and held to 0..65535.
uint32_t hostValue(int depth, long stored, float bscale, float bzero) {
    if (depth == 8)
        return static_cast<uint32_t>(stored);
    if (bscale == 0.0f || std::isnan(bscale))
        bscale = 1.0f;
    const double value = std::trunc(static_cast<double>(stored) * static_cast<double>(bscale) +
                                    static_cast<double>(bzero));
    if (!(value >= 0.0))
        return 0;
    if (value > 65535.0)
        return 65535;
    return static_cast<uint32_t>(value);
}

// Opens the file's primary image when it is 2-D with 8 or 16 bits; null (with a line on
// standard error) otherwise.
fitsfile *openPlainImage(const std::string &path, int *bitpix, long *axes) {
    int status = 0;
    fitsfile *file = openFits(path, &status);
    int naxis = 0;
    if (file != nullptr)
        fits_get_img_param(file, 3, bitpix, &naxis, axes, &status);
    if (status != 0 || naxis != 2 || (*bitpix != 8 && *bitpix != 16)) {
        std::fprintf(stderr, "%s: no 2-D 8- or 16-bit primary image (%s, BITPIX %d, NAXIS %d)\n", path.c_str(),
                     fitsError(status).c_str(), *bitpix, naxis);
        closeFits(file);
        return nullptr;
    }
    return file;
}

// Gives the image the file's depth and size, with room for its samples; returns their count.
LONGLONG shapeImage(Image *image, int bitpix, const long *axes) {
    image->depth = bitpix;
    image->columns = axes[0];
    image->rows = axes[1];
    const LONGLONG count = static_cast<LONGLONG>(axes[0]) * axes[1];
    image->samples.assign(static_cast<size_t>(count), 0);
    return count;
}

// The stored integers of the primary image, unscaled, and the module's reading of them.
bool expectedImage(const std::string &path, Image *image) {
    int status = 0;
    int bitpix = 0;
    long axes[3] = {0, 0, 0};
    fitsfile *file = openPlainImage(path, &bitpix, axes);
    if (file == nullptr)
        return false;
    double bzero = 0.0, bscale = 1.0;
    bool usable = readReal(file, "BZERO", 0.0, &bzero) && readReal(file, "BSCALE", 1.0, &bscale);
    const LONGLONG count = shapeImage(image, bitpix, axes);
    fits_set_bscale(file, 1.0, 0.0, &status);
    int anyNull = 0;
    if (bitpix == 8) {
        std::vector<unsigned char> stored(static_cast<size_t>(count));
        unsigned char noNull = 0;
        fits_read_img(file, TBYTE, 1, count, &noNull, stored.data(), &anyNull, &status);
        for (size_t i = 0; i < stored.size(); ++i)
            image->samples[i] = hostValue(8, stored[i], 1.0f, 0.0f);
    } else {
        std::vector<short> stored(static_cast<size_t>(count));
        short noNull = 0;
        fits_read_img(file, TSHORT, 1, count, &noNull, stored.data(), &anyNull, &status);
        for (size_t i = 0; i < stored.size(); ++i)
            image->samples[i] = hostValue(16, stored[i], static_cast<float>(bscale), static_cast<float>(bzero));
    }
    if (status != 0) {
        std::fprintf(stderr, "%s: raw read failed: %s\n", path.c_str(), fitsError(status).c_str());
        usable = false;
    }
    closeFits(file);
    return usable;
}

// The host values cfitsio reads from a file the module saved, with the file's own scaling.
bool savedImage(const std::string &path, Image *image) {
    int status = 0;
    int bitpix = 0;
    long axes[3] = {0, 0, 0};
    fitsfile *file = openPlainImage(path, &bitpix, axes);
    if (file == nullptr)
        return false;
    const LONGLONG count = shapeImage(image, bitpix, axes);
    int anyNull = 0;
    if (bitpix == 8) {
        std::vector<unsigned char> values(static_cast<size_t>(count));
        unsigned char noNull = 0;
        fits_read_img(file, TBYTE, 1, count, &noNull, values.data(), &anyNull, &status);
        for (size_t i = 0; i < values.size(); ++i)
            image->samples[i] = values[i];
    } else {
        std::vector<unsigned short> values(static_cast<size_t>(count));
        unsigned short noNull = 0;
        fits_read_img(file, TUSHORT, 1, count, &noNull, values.data(), &anyNull, &status);
        for (size_t i = 0; i < values.size(); ++i)
            image->samples[i] = values[i];
    }
    if (status != 0)
        std::fprintf(stderr, "%s: read failed: %s\n", path.c_str(), fitsError(status).c_str());
    closeFits(file);
    return status == 0;
}

bool sameImage(const Image &expected, const Image &got, const char *what) {
    if (expected.columns != got.columns || expected.rows != got.rows || expected.depth != got.depth) {
        std::fprintf(stderr, "%s: %ld x %ld at %d bits, expected %ld x %ld at %d bits\n", what, got.columns,
                     got.rows, got.depth, expected.columns, expected.rows, expected.depth);
        return false;
    }
    long long wrong = 0;
    for (size_t i = 0; i < expected.samples.size(); ++i) {
        if (expected.samples[i] == got.samples[i])
            continue;
        if (++wrong <= pixelsShown)
            std::fprintf(stderr, "%s: row %ld column %ld is %u, expected %u\n", what,
                         static_cast<long>(i) / expected.columns, static_cast<long>(i) % expected.columns,
                         got.samples[i], expected.samples[i]);
    }
    if (wrong > 0)
        std::fprintf(stderr, "%s: %lld of %zu samples differ\n", what, wrong, expected.samples.size());
    return wrong == 0;
}

// The cards of the primary header up to and including END, as the bytes stand in the file.
bool headerCards(const std::string &path, std::vector<std::string> *cards) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, &bytes))
        return false;
    cards->clear();
    for (size_t at = 0; at + cardBytes <= bytes.size(); at += cardBytes) {
        cards->emplace_back(reinterpret_cast<const char *>(bytes.data() + at), cardBytes);
        if (cards->back().compare(0, 8, "END     ") == 0)
            return true;
    }
    std::fprintf(stderr, "%s: no END card\n", path.c_str());
    return false;
}

bool rewrittenByModule(const std::string &card) {
    for (const char *keyword : rewrittenKeywords)
        if (card.compare(0, 8, keyword) == 0)
            return true;
    return false;
}

bool hasCard(const std::vector<std::string> &cards, const char *keyword) {
    for (const std::string &card : cards)
        if (card.compare(0, 8, keyword) == 0)
            return true;
    return false;
}

std::vector<std::string> keptCards(const std::vector<std::string> &cards) {
    std::vector<std::string> kept;
    for (const std::string &card : cards)
        if (!rewrittenByModule(card))
            kept.push_back(card);
    return kept;
}

bool sameKeptCards(const std::vector<std::string> &in, const std::vector<std::string> &out) {
    const std::vector<std::string> expected = keptCards(in);
    const std::vector<std::string> got = keptCards(out);
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

// Every checksum card of the saved header holds, as cfitsio computes it.
bool checksumsValid(const std::string &path, bool wantChecksum, bool wantDatasum) {
    int status = 0;
    fitsfile *file = openFits(path, &status);
    int dataOk = 0, hduOk = 0;
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

// Why the module should refuse the file, or "" when it should open it.
std::string refusal(const std::string &path) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, &bytes))
        return "unreadable";
    if (bytes.size() < cardBytes || std::memcmp(bytes.data(), "SIMPLE  =", 9) != 0)
        return "first card is not a SIMPLE card";
    int status = 0;
    fitsfile *file = openFits(path, &status);
    if (file == nullptr)
        return "cfitsio cannot open it: " + fitsError(status);
    int bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    fits_get_img_param(file, 3, &bitpix, &naxis, axes, &status);
    fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
    closeFits(file);
    if (status != 0)
        return "cfitsio cannot read its primary header: " + fitsError(status);
    if (bitpix != 8 && bitpix != 16)
        return "BITPIX " + std::to_string(bitpix);
    if (naxis != 2)
        return "NAXIS " + std::to_string(naxis);
    for (int axis = 0; axis < 2; ++axis)
        if (axes[axis] < 1 || axes[axis] > moduleMaxSide)
            return "NAXIS" + std::to_string(axis + 1) + " " + std::to_string(axes[axis]);
    if (dataStart - headStart > moduleHeaderBytes)
        return "header of " + std::to_string((dataStart - headStart) / static_cast<LONGLONG>(blockBytes)) + " blocks";
    const LONGLONG imageBytes = static_cast<LONGLONG>(axes[0]) * axes[1] * (bitpix / 8);
    if (dataStart + imageBytes > static_cast<LONGLONG>(bytes.size()))
        return "data cut short";
    return "";
}

int classify(const std::string &in) {
    const std::string why = refusal(in);
    std::printf("%s\n", why.empty() ? "open" : ("refuse " + why).c_str());
    return checkHolds;
}

int checkPixels(const std::string &in, const std::string &pgm) {
    Image expected, opened;
    if (!expectedImage(in, &expected) || !loadPgm(pgm, &opened))
        return checkUnusable;
    return sameImage(expected, opened, "opened image") ? checkHolds : checkFails;
}

int checkConvert(const std::string &in, const std::string &out, const std::string &pgm) {
    std::vector<std::string> inCards, outCards;
    Image opened, saved;
    if (!headerCards(in, &inCards) || !loadPgm(pgm, &opened))
        return checkUnusable;
    if (!headerCards(out, &outCards) || !savedImage(out, &saved))
        return checkFails;
    bool holds = sameKeptCards(inCards, outCards);
    holds = sameImage(opened, saved, "saved image") && holds;
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
    if (command == "pixels" && argc == 4)
        return checkPixels(argv[2], argv[3]);
    if (command == "convert" && argc == 5)
        return checkConvert(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: corpus_check classify IN | pixels IN IMAGE.pgm | convert IN OUT IMAGE.pgm\n");
    return checkUnusable;
}
