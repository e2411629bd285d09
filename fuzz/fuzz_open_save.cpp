// Arbitrary bytes as a file, opened as a host opens one and, when that succeeds, saved and
// opened again, saved as a cube and at the other depth, all in one fresh host session on the
// fake platform.
//
// Beyond what the sanitizers catch, every run checks what a host relies on: a failure is
// never reported as success (a file too short for its rows never opens), the host gets the
// rows the file holds in the order its header states, buffers and scratch memory come back
// after both passes over the data, the size estimate is the size written, and what the module
// saves opens again with the same image or, for samples mapped into 16 bits, gives readers the
// physical values back.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "entry/entry.h"
#include "fits/header_format.h"
#include "hostsim/hdu_walk.h"
#include "platform/platform.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"
#include "tests/mapping_oracle.h"

namespace {

constexpr PlatformFile inputFile = 1;
constexpr PlatformFile savedFile = 2;
constexpr PlatformFile savedAgainFile = 3;
constexpr PlatformFile cubeFile = 4;
constexpr PlatformFile otherDepthFile = 5;
constexpr PlatformFile knownFile = 6;
constexpr int16_t cubePlanes = 3;
constexpr size_t headerCardsRead = 36000; // 1000 blocks, the most the module reads

[[noreturn]] void fuzzFailure(const char *file, int line, const char *condition) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : fuzzFailure(__FILE__, __LINE__, #condition))

// The host side of one transfer. The image is the host's: planes one after another, each from
// its top row down, whatever order the rows travel in.
struct Transfer {
    std::vector<uint8_t> image;
    bool writing = false;
    bool bottomUp = false; // the file's first row is the host's bottom row
    int16_t rows = 0, columns = 0, planes = 0, bytesPerSample = 0;
    int32_t advances = 0;
    int32_t progressCalls = 0;
    int32_t lastDone = 0;
};

Transfer transfer;

size_t rowBytes() { return static_cast<size_t>(transfer.columns) * static_cast<size_t>(transfer.bytesPerSample); }

// The host row of the file's row `row`.
int32_t hostRow(int32_t row, int16_t rows, bool bottomUp) { return bottomUp ? rows - 1 - row : row; }

OSErr fuzzAdvanceState() {
    const FormatRecord &r = fakeHost.record;
    const int32_t rows = transfer.rows > 0 ? transfer.rows : 1;
    int32_t index = transfer.advances++;
    int32_t plane = index / rows;
    FUZZ_CHECK(index < int32_t{transfer.rows} * transfer.planes);
    // A save travels in the order of the header it writes, which is checked against the file.
    if (transfer.writing && index == 0)
        transfer.bottomUp = transfer.rows > 1 && r.theRect.top == transfer.rows - 1;
    int32_t top = hostRow(index % rows, transfer.rows, transfer.bottomUp);
    FUZZ_CHECK(r.theRect.top == top && r.theRect.bottom == top + 1);
    FUZZ_CHECK(r.theRect.left == 0 && r.theRect.right == transfer.columns);
    FUZZ_CHECK(r.loPlane == plane && r.hiPlane == plane);
    FUZZ_CHECK(r.colBytes == transfer.bytesPerSample);
    FUZZ_CHECK(r.rowBytes == static_cast<int32_t>(rowBytes()) && r.planeBytes == 0);
    FUZZ_CHECK(r.data != nullptr);
    auto *row = static_cast<uint8_t *>(r.data);
    size_t offset = (static_cast<size_t>(plane) * transfer.rows + static_cast<size_t>(top)) * rowBytes();
    FUZZ_CHECK(offset + rowBytes() <= transfer.image.size());
    if (transfer.writing)
        std::memcpy(row, transfer.image.data() + offset, rowBytes());
    else
        std::memcpy(transfer.image.data() + offset, row, rowBytes());
    return noErr;
}

void fuzzProgress(int32_t done, int32_t total) {
    ++transfer.progressCalls;
    FUZZ_CHECK(done == transfer.lastDone + 1);
    FUZZ_CHECK(total == int32_t{transfer.rows} * transfer.planes);
    transfer.lastDone = done;
}

void beginTransfer(bool writing, bool bottomUp) {
    const FormatRecord &r = fakeHost.record;
    std::vector<uint8_t> image = std::move(transfer.image);
    transfer = Transfer{};
    transfer.writing = writing;
    transfer.bottomUp = bottomUp;
    transfer.rows = r.imageSize.v;
    transfer.columns = r.imageSize.h;
    transfer.planes = r.planes;
    transfer.bytesPerSample = static_cast<int16_t>(r.depth / 8);
    if (writing)
        transfer.image = std::move(image);
    else
        transfer.image.assign(static_cast<size_t>(transfer.rows) * transfer.planes * rowBytes(), 0);
}

// After every call that may hand rows over: nothing of the transfer is left behind.
void checkTransferEnded() {
    const FormatRecord &r = fakeHost.record;
    FUZZ_CHECK(r.data == nullptr);
    FUZZ_CHECK(r.theRect.top == 0 && r.theRect.left == 0 && r.theRect.bottom == 0 && r.theRect.right == 0);
    FUZZ_CHECK(fakeHost.liveBuffers == 0);
    FUZZ_CHECK(fakePlatform.memory.heapBlocks == 0);
    FUZZ_CHECK(transfer.progressCalls == transfer.advances || transfer.progressCalls == transfer.advances + 1);
}

// Where the data of the header at `offset` start: after the block that holds its first END
// card (the first card is never one); 0 when there is no END in the cards that may be read.
size_t dataStart(const std::vector<uint8_t> &file, size_t offset = 0) {
    for (size_t card = 1; card < headerCardsRead && offset + (card + 1) * 80 <= file.size(); ++card)
        if (std::memcmp(file.data() + offset + card * 80, "END     ", 8) == 0)
            return offset + (card / 36 + 1) * 2880;
    return 0;
}

// The cards of the header at `offset` before its END, at most as many as the module reads.
std::vector<const uint8_t *> headerCards(const std::vector<uint8_t> &file, size_t offset = 0) {
    std::vector<const uint8_t *> cards;
    for (size_t card = 0; card < headerCardsRead && offset + (card + 1) * 80 <= file.size(); ++card) {
        const uint8_t *text = file.data() + offset + card * 80;
        if (card > 0 && std::memcmp(text, "END     ", 8) == 0)
            break;
        cards.push_back(text);
    }
    return cards;
}

// The last card with the keyword (8 characters) before END, the one whose value counts, or
// the first; null when there is none.
const uint8_t *findCard(const std::vector<uint8_t> &file, const char *keyword, bool last = true, size_t offset = 0) {
    const uint8_t *found = nullptr;
    for (const uint8_t *card : headerCards(file, offset))
        if (std::memcmp(card, keyword, 8) == 0 && (last || found == nullptr))
            found = card;
    return found;
}

// A character value as FITS defines it: a string in column 11 on, quotes doubled inside,
// trailing blanks insignificant. False when the card holds none.
bool cardString(const uint8_t *card, std::string *text) {
    text->clear();
    if (card[10] != '\'')
        return false;
    for (int column = 11; column < 80; ++column) {
        if (card[column] == '\'' && column + 1 < 80 && card[column + 1] == '\'') {
            *text += '\'';
            ++column;
        } else if (card[column] == '\'') {
            text->erase(text->find_last_not_of(' ') + 1);
            return true;
        } else {
            *text += static_cast<char>(card[column]);
        }
    }
    return false;
}

// An integer value as FITS readers take it leniently: columns 11 to 30, blanks, a sign, the
// digits up to the first other character. Held at 10^15, far beyond any size that matters here.
int64_t cardInteger(const uint8_t *card) {
    constexpr int64_t ceiling = 1000000000000000;
    size_t column = 10;
    while (column < 30 && card[column] == ' ')
        ++column;
    bool negative = column < 30 && card[column] == '-';
    column += column < 30 && (card[column] == '-' || card[column] == '+') ? 1 : 0;
    int64_t value = 0;
    for (; column < 30 && card[column] >= '0' && card[column] <= '9'; ++column)
        value = std::min(ceiling, value * 10 + (card[column] - '0'));
    return negative ? -value : value;
}

// Only ROWORDER = 'BOTTOM-UP' in the header at `offset` turns the image over.
bool saysBottomUp(const std::vector<uint8_t> &file, size_t offset = 0) {
    const uint8_t *card = findCard(file, "ROWORDER", true, offset);
    std::string text;
    return card != nullptr && cardString(card, &text) && text == "BOTTOM-UP";
}

// One HDU as the harness reads it from the file: where it stands and what places and shapes
// its data. Values are those of the last card with the keyword before END.
struct Hdu {
    size_t start = 0;     // its first card
    size_t dataStart = 0; // 0 when END does not come in the cards that may be read
    std::string kind;     // XTENSION, empty for the primary HDU
    bool hasBitpix = false, hasNaxis = false, groups = false;
    int64_t bitpix = 0, naxis = 0, pcount = 0, gcount = 1;
    std::vector<int64_t> axes = std::vector<int64_t>(1000, -1); // NAXISn by n, -1 when missing
};

// n of NAXISn, 1 to 999 written without leading zeros as FITS has it; 0 for any other keyword.
int axisIndex(const uint8_t *card) {
    if (std::memcmp(card, "NAXIS", 5) != 0 || card[5] < '1' || card[5] > '9')
        return 0;
    int n = 0, column = 5;
    for (; column < 8 && card[column] >= '0' && card[column] <= '9'; ++column)
        n = n * 10 + (card[column] - '0');
    for (; column < 8; ++column)
        if (card[column] != ' ')
            return 0;
    return n;
}

void takeHduValue(const uint8_t *card, Hdu *hdu) {
    if (std::memcmp(card, "BITPIX  ", 8) == 0) {
        hdu->hasBitpix = true;
        hdu->bitpix = cardInteger(card);
    } else if (std::memcmp(card, "NAXIS   ", 8) == 0) {
        hdu->hasNaxis = true;
        hdu->naxis = cardInteger(card);
    } else if (int n = axisIndex(card); n > 0) {
        hdu->axes[static_cast<size_t>(n)] = cardInteger(card);
    } else if (std::memcmp(card, "PCOUNT  ", 8) == 0) {
        hdu->pcount = cardInteger(card);
    } else if (std::memcmp(card, "GCOUNT  ", 8) == 0) {
        hdu->gcount = cardInteger(card);
    } else if (std::memcmp(card, "GROUPS  ", 8) == 0) {
        size_t column = 10;
        while (column < 29 && card[column] == ' ')
            ++column;
        hdu->groups = card[column] == 'T';
    }
}

Hdu readHdu(const std::vector<uint8_t> &file, size_t start) {
    Hdu hdu;
    hdu.start = start;
    hdu.dataStart = dataStart(file, start);
    const std::vector<const uint8_t *> cards = headerCards(file, start);
    if (start > 0)
        cardString(cards.front(), &hdu.kind);
    for (const uint8_t *card : cards)
        takeHduValue(card, &hdu);
    return hdu;
}

// Bytes of the image of an HDU the module supports.
size_t imageBytes(const Hdu &hdu) {
    const size_t planes = hdu.naxis >= 3 ? static_cast<size_t>(hdu.axes[3]) : 1;
    return static_cast<size_t>(hdu.axes[1]) * static_cast<size_t>(hdu.axes[2]) * planes *
           static_cast<size_t>(std::abs(hdu.bitpix) / 8);
}

// The HDU whose image an open should give, found by the host stand-in's own walk over the
// file (independent of the module's): the primary one when its header declares data, else the
// first IMAGE extension with an image the module supports. `found` false when there is none.
struct ExpectedImage {
    bool found = false;
    bool compressed = false; // held in a tile-compressed table, whose bytes are not its samples
    Hdu hdu;
};

ExpectedImage expectedImage(const std::vector<uint8_t> &file) {
    ExpectedImage expected;
    std::istringstream stream(std::string(file.begin(), file.end()));
    ImageSource source;
    if (findImageSource(stream, &source)) {
        expected.found = true;
        expected.compressed = !source.compression.empty();
        expected.hdu = readHdu(file, static_cast<size_t>(source.headerStart));
    }
    return expected;
}

// A numeric value as the module writes one, columns 11 to 30; FITS's D exponent read as E.
double cardReal(const uint8_t *card) {
    std::string text(reinterpret_cast<const char *>(card) + 10, 20);
    std::replace(text.begin(), text.end(), 'D', 'E');
    return std::strtod(text.c_str(), nullptr);
}

// The host layout of `rows` × `planes` rows of `bytes` bytes stored in the file from `start` in
// the order `bottomUp` says.
std::vector<uint8_t> hostLayout(const std::vector<uint8_t> &file, size_t start, int16_t rows, int16_t planes,
                                size_t bytes, bool bottomUp) {
    std::vector<uint8_t> image(static_cast<size_t>(rows) * planes * bytes);
    FUZZ_CHECK(file.size() >= start + image.size());
    for (int32_t n = 0; n < int32_t{rows} * planes; ++n) {
        int32_t plane = n / rows;
        size_t target = (static_cast<size_t>(plane) * rows + hostRow(n % rows, rows, bottomUp)) * bytes;
        std::memcpy(image.data() + target, file.data() + start + static_cast<size_t>(n) * bytes, bytes);
    }
    return image;
}

uint16_t hostSample(const std::vector<uint8_t> &image, size_t n) {
    uint16_t value;
    std::memcpy(&value, image.data() + 2 * n, sizeof value);
    return value;
}

// 8- and 16-bit samples: the bytes as they are, or by the 16-bit rule over the whole image.
void checkPlainPixels(const std::vector<uint8_t> &image, const std::vector<uint8_t> &stored,
                      const ImageDescription &coding) {
    if (transfer.bytesPerSample == 1) {
        FUZZ_CHECK(image == stored);
        return;
    }
    std::vector<int16_t> samples(stored.size() / 2);
    for (size_t n = 0; n < samples.size(); ++n)
        samples[n] = static_cast<int16_t>((stored[2 * n] << 8) | stored[2 * n + 1]);
    const std::vector<uint16_t> expected =
        hostSamplesOf16(samples, coding.exactZero, coding.exactScale, coding.hasBlank, coding.blank);
    for (size_t n = 0; 2 * n + 1 < image.size(); ++n)
        FUZZ_CHECK(hostSample(image, n) == expected[n]);
}

// The physical value of one stored wide sample as FITS defines it, NaN for a blank: BLANK
// compares the stored integer; NaN and infinities, stored or reached by the scaling, are blanks.
double physicalValue(const uint8_t *bytes, const ImageDescription &coding) {
    int width = coding.bitpix < 0 ? -coding.bitpix / 8 : coding.bitpix / 8;
    uint64_t bits = 0;
    for (int i = 0; i < width; ++i)
        bits = bits << 8 | bytes[i];
    double stored;
    if (coding.bitpix == -32) {
        float value;
        auto narrow = static_cast<uint32_t>(bits);
        std::memcpy(&value, &narrow, sizeof value);
        stored = value;
    } else if (coding.bitpix == -64) {
        std::memcpy(&stored, &bits, sizeof stored);
    } else {
        int64_t integer = coding.bitpix == 32 ? int64_t{static_cast<int32_t>(bits)} : static_cast<int64_t>(bits);
        if (coding.hasBlank && integer == coding.blank)
            return NAN;
        stored = static_cast<double>(integer);
    }
    double value = coding.exactZero + coding.exactScale * stored;
    return std::isfinite(stored) && std::isfinite(value) ? value : NAN;
}

// The mapping of wide samples into 16 bits, worked out here from the physical values alone.
struct Mapping {
    bool blanks = false, found = false, whole = true;
    double smallest = 0.0, largest = 0.0;
    double first = 0.0; // host value of the smallest: 1 when 0 stands for the blanks
    bool identity = false, offset = false;
};

Mapping mappingOf(const std::vector<double> &physical) {
    Mapping m;
    for (double value : physical) {
        if (std::isnan(value)) {
            m.blanks = true;
            continue;
        }
        m.smallest = m.found ? std::min(m.smallest, value) : value;
        m.largest = m.found ? std::max(m.largest, value) : value;
        m.found = true;
        m.whole = m.whole && value == std::floor(value);
    }
    m.first = m.blanks ? 1.0 : 0.0;
    m.identity = !m.found || (m.whole && m.smallest >= m.first && m.largest <= 65535.0);
    m.offset = !m.identity && ((m.whole && m.largest - m.smallest <= 65535.0 - m.first) || m.smallest == m.largest);
    return m;
}

// Every host value against the mapping: identity and offset exactly; a linear mapping within
// one of the value computed in extended precision, with the ends and the order exact.
void checkMappedPixels(const std::vector<uint8_t> &image, const std::vector<double> &physical, const Mapping &m) {
    std::vector<std::pair<double, uint16_t>> finite;
    for (size_t n = 0; n < physical.size(); ++n) {
        double value = physical[n];
        uint16_t host = hostSample(image, n);
        if (std::isnan(value)) {
            FUZZ_CHECK(host == 0);
            continue;
        }
        finite.emplace_back(value, host);
        if (m.identity) {
            FUZZ_CHECK(host == value);
        } else if (m.offset) {
            FUZZ_CHECK(host == value - m.smallest + m.first);
        } else if ((m.largest - m.smallest) / (65535.0 - m.first) < DBL_MIN) {
            // A subnormal step is rounded up to a whole number of the smallest doubles, so the
            // largest value may fall short of 65535 but never beyond.
            long double span = static_cast<long double>(m.largest) - m.smallest;
            long double step = std::ceil(span / (65535.0L - m.first) / DBL_TRUE_MIN) * DBL_TRUE_MIN;
            long double exact = (static_cast<long double>(value) - m.smallest) / step + m.first;
            FUZZ_CHECK(std::fabs(static_cast<long double>(host) - exact) <= 1.0L);
            FUZZ_CHECK(value != m.smallest || host == m.first);
        } else {
            long double span = static_cast<long double>(m.largest) - m.smallest;
            long double exact = (static_cast<long double>(value) - m.smallest) / span * (65535.0L - m.first) + m.first;
            FUZZ_CHECK(std::fabs(static_cast<long double>(host) - exact) <= 1.0L);
            FUZZ_CHECK(value != m.smallest || host == m.first);
            FUZZ_CHECK(value != m.largest || host == 65535);
        }
    }
    std::sort(finite.begin(), finite.end());
    for (size_t n = 1; n < finite.size(); ++n)
        FUZZ_CHECK(finite[n - 1].second <= finite[n].second);
}

struct Opened {
    bool headerRead = false; // ReadStart succeeded
    bool ok = false;
    int16_t rows = 0, columns = 0, depth = 0, planes = 0;
    std::vector<uint8_t> image;   // host layout
    bool mapped = false;          // wide samples mapped into 16 bits
    std::vector<double> physical; // their physical values, host layout, NaN for blanks
    Mapping mapping;
    size_t headerStart = 0;       // the header of the HDU opened: 0 for the primary one
    int64_t naxis = 0;            // its NAXIS
    bool compressed = false;      // read from tiles
};

bool knownOpenFailure(OSErr result) { return result == eofErr || result == formatCannotRead; }

bool isWide(int16_t bitpix) { return bitpix == 32 || bitpix == 64 || bitpix == -32 || bitpix == -64; }

// What the header read reported to the host, against the description it keeps.
void checkReportedImage(const FormatRecord &r, const ImageDescription &coding) {
    FUZZ_CHECK(coding.bitpix == 8 || coding.bitpix == 16 || isWide(coding.bitpix));
    FUZZ_CHECK(r.depth == (coding.bitpix == 8 ? 8 : 16));
    FUZZ_CHECK(r.imageSize.v >= 1 && r.imageSize.h >= 1 && r.planes >= 1 && r.planes <= 24);
    FUZZ_CHECK(r.imageMode == (r.planes == 1 ? plugInModeGrayScale : r.planes == 3 ? 3 : 7));
}

// The image reported is the one of the HDU the file's headers lead to, and starts where its data do.
void checkOpenedHdu(const FormatRecord &r, const ImageDescription &coding, const Hdu &hdu) {
    FUZZ_CHECK(r.imageSize.h == hdu.axes[1] && r.imageSize.v == hdu.axes[2]);
    FUZZ_CHECK(r.planes == (hdu.naxis >= 3 ? hdu.axes[3] : 1));
    FUZZ_CHECK(coding.bitpix == hdu.bitpix);
    FUZZ_CHECK(coding.dataStart >= 0 && static_cast<size_t>(coding.dataStart) == hdu.dataStart);
}

// The header the session keeps: whole blocks, its first END in its last block. A primary
// header's blocks are those of the file; one made from an extension is a primary header of
// its own (SIMPLE = T) whose length has nothing to do with where the data stand in the file.
void checkKeptHeader(const PluginGlobals *session, const Hdu &hdu) {
    const KeptHeader kept = keptHeader(session);
    FUZZ_CHECK(kept.blocks >= 1);
    const auto bytes = static_cast<size_t>(kept.blocks) * 2880;
    const std::vector<uint8_t> header(kept.bytes, kept.bytes + bytes);
    FUZZ_CHECK(dataStart(header) == bytes);
    if (hdu.start == 0)
        FUZZ_CHECK(bytes == hdu.dataStart && std::memcmp(kept.bytes, "SIMPLE  =", 9) == 0);
    else
        FUZZ_CHECK(std::memcmp(kept.bytes, "SIMPLE  =                    T", 30) == 0);
}

// The pixels against the file's bytes, in the order its header states.
void checkPixels(const std::vector<uint8_t> &file, size_t start, const ImageDescription &coding, Opened *opened) {
    const bool bottomUp = saysBottomUp(file, opened->headerStart);
    const size_t fileBytes = static_cast<size_t>(std::abs(coding.bitpix) / 8) * opened->columns;
    std::vector<uint8_t> stored = hostLayout(file, start, opened->rows, opened->planes, fileBytes, bottomUp);
    if (!opened->mapped) {
        checkPlainPixels(opened->image, stored, coding);
        return;
    }
    const size_t width = fileBytes / static_cast<size_t>(opened->columns);
    opened->physical.resize(stored.size() / width);
    for (size_t n = 0; n < opened->physical.size(); ++n)
        opened->physical[n] = physicalValue(stored.data() + n * width, coding);
    opened->mapping = mappingOf(opened->physical);
    checkMappedPixels(opened->image, opened->physical, opened->mapping);
}

// The rest of the open of a tile-compressed image, whose samples the file's bytes do not show:
// ReadContinue hands over every row or fails as a damaged file does.
Opened openCompressed(Opened opened, bool bottomUp) {
    const FormatRecord &r = fakeHost.record;
    beginTransfer(false, bottomUp);
    OSErr continued = callModule(formatSelectorReadContinue);
    checkTransferEnded();
    FUZZ_CHECK(callModule(formatSelectorReadFinish) == noErr);
    FUZZ_CHECK(fakePlatform.memory.heapBlocks == 0);
    if (continued != noErr) {
        FUZZ_CHECK(knownOpenFailure(continued));
        return opened;
    }
    FUZZ_CHECK(transfer.advances == int32_t{r.imageSize.v} * r.planes);
    opened.ok = true;
    opened.compressed = true;
    opened.rows = r.imageSize.v;
    opened.columns = r.imageSize.h;
    opened.depth = r.depth;
    opened.planes = r.planes;
    opened.image = transfer.image;
    return opened;
}

// The host's open: FilterFile, ReadPrepare, ReadStart (with its pass over wide data),
// ReadContinue, ReadFinish.
Opened openFile(PlatformFile handle) {
    Opened opened;
    FakeFile &file = fakePlatform.files[handle];
    fakeHost.record.dataFork = handle;
    OSErr filtered = callModule(formatSelectorFilterFile);
    FUZZ_CHECK(filtered == noErr || knownOpenFailure(filtered));
    FUZZ_CHECK(callModule(formatSelectorReadPrepare) == noErr);

    // A refused header leaves the host's record and the retained header as they were.
    fakeHost.record.imageSize = Point{-7, -9};
    fakeHost.record.depth = -5;
    static uint8_t retainedBefore[retainedHeaderSize];
    auto *session = static_cast<PluginGlobals *>(reinterpret_cast<LocalHandle *>(fakeHost.dataSlot)->block);
    std::memcpy(retainedBefore, session->retainedHeader, sizeof retainedBefore);
    OSErr started = callModule(formatSelectorReadStart);
    session = static_cast<PluginGlobals *>(reinterpret_cast<LocalHandle *>(fakeHost.dataSlot)->block);
    FUZZ_CHECK(started == noErr || knownOpenFailure(started));
    FUZZ_CHECK(fakePlatform.memory.heapBlocks == 0);
    if (filtered != noErr)
        FUZZ_CHECK(started != noErr);
    const ExpectedImage expected = expectedImage(file.bytes);
    if (started != noErr) {
        FUZZ_CHECK(fakeHost.record.imageSize.v == -7 && fakeHost.record.imageSize.h == -9);
        FUZZ_CHECK(fakeHost.record.depth == -5);
        FUZZ_CHECK(std::memcmp(retainedBefore, session->retainedHeader, sizeof retainedBefore) == 0);
        // An image the headers lead to is refused only when the file ends inside its data, or
        // its tiles cannot be read.
        FUZZ_CHECK(!expected.found || expected.compressed ||
                   file.bytes.size() < expected.hdu.dataStart + imageBytes(expected.hdu));
        return opened;
    }

    opened.headerRead = true;
    const FormatRecord &r = fakeHost.record;
    const ImageDescription coding = session->keptImage;
    checkReportedImage(r, coding);
    if (expected.compressed || coding.compression.compressed)
        return openCompressed(opened, coding.bottomUp);
    FUZZ_CHECK(expected.found);
    checkOpenedHdu(r, coding, expected.hdu);
    checkKeptHeader(session, expected.hdu);
    opened.mapped = isWide(coding.bitpix);
    opened.headerStart = expected.hdu.start;
    opened.naxis = expected.hdu.naxis;
    const size_t start = expected.hdu.dataStart;
    FUZZ_CHECK(file.position == static_cast<int64_t>(start));
    FUZZ_CHECK(session->retainedHeader[0] == 'S');
    const size_t needed = start + imageBytes(expected.hdu);
    // The first pass over wide samples reads them all, so a short file fails there.
    if (opened.mapped)
        FUZZ_CHECK(file.bytes.size() >= needed);

    beginTransfer(false, saysBottomUp(file.bytes, opened.headerStart));
    OSErr continued = callModule(formatSelectorReadContinue);
    checkTransferEnded();
    FUZZ_CHECK(callModule(formatSelectorReadFinish) == noErr);
    if (continued != noErr) {
        FUZZ_CHECK(continued == eofErr);
        FUZZ_CHECK(file.bytes.size() < needed);
        return opened;
    }
    FUZZ_CHECK(file.bytes.size() >= needed);
    FUZZ_CHECK(transfer.advances == int32_t{r.imageSize.v} * r.planes);
    FUZZ_CHECK(transfer.progressCalls == transfer.advances);
    opened.ok = true;
    opened.rows = r.imageSize.v;
    opened.columns = r.imageSize.h;
    opened.depth = r.depth;
    opened.planes = r.planes;
    opened.image = transfer.image;
    checkPixels(file.bytes, start, coding, &opened);
    return opened;
}

// The 32-bit ones' complement sum of big-endian words, as the FITS checksum convention has it.
uint32_t onesComplementSum(const uint8_t *bytes, size_t count) {
    uint64_t sum = 0;
    for (size_t i = 0; i + 4 <= count; i += 4)
        sum += uint32_t{bytes[i]} << 24 | uint32_t{bytes[i + 1]} << 16 | uint32_t{bytes[i + 2]} << 8 | bytes[i + 3];
    while (sum >> 32)
        sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    return static_cast<uint32_t>(sum);
}

// A saved header that keeps CHECKSUM or DATASUM cards must give the values of what was
// written with it: the whole unit sums to negative zero, and DATASUM is the data's sum.
void checkChecksums(const std::vector<uint8_t> &file) {
    const size_t headerBytes = dataStart(file);
    FUZZ_CHECK(headerBytes > 0 && headerBytes <= file.size());
    if (findCard(file, "CHECKSUM", false) != nullptr)
        FUZZ_CHECK(onesComplementSum(file.data(), file.size()) == 0xFFFFFFFFu);
    if (const uint8_t *datasum = findCard(file, "DATASUM ", false); datasum != nullptr) {
        const uint8_t *value = datasum + 10;
        const uint8_t *cardEnd = datasum + 80;
        while (value < cardEnd && *value == ' ')
            ++value;
        FUZZ_CHECK(value < cardEnd && *value == '\'');
        uint64_t number = 0;
        int digits = 0;
        for (++value; value < cardEnd && *value >= '0' && *value <= '9'; ++value, ++digits)
            number = number * 10 + (*value - '0');
        FUZZ_CHECK(digits > 0 && digits <= 10);
        FUZZ_CHECK(number == onesComplementSum(file.data() + headerBytes, file.size() - headerBytes));
    }
}

// Every save writes a primary header of the image it holds: SIMPLE first, BITPIX, NAXIS and the
// axes with the image's values (any after the third of length 1), END, and then the data,
// padded.
void checkSavedHeader(const std::vector<uint8_t> &file, const Opened &image) {
    FUZZ_CHECK(file.size() >= 2880 && std::memcmp(file.data(), "SIMPLE  =", 9) == 0);
    const Hdu hdu = readHdu(file, 0);
    FUZZ_CHECK(hdu.dataStart > 0);
    FUZZ_CHECK(hdu.hasBitpix && hdu.bitpix == image.depth);
    FUZZ_CHECK(hdu.hasNaxis && hdu.naxis >= (image.planes > 1 ? 3 : 2) && hdu.naxis <= 999);
    FUZZ_CHECK(hdu.axes[1] == image.columns && hdu.axes[2] == image.rows);
    FUZZ_CHECK(hdu.naxis < 3 || hdu.axes[3] == image.planes);
    for (size_t n = 4; n <= static_cast<size_t>(hdu.naxis); ++n)
        FUZZ_CHECK(hdu.axes[n] == 1);
    // A primary image's data are its samples alone: a PCOUNT card kept from the header read
    // counts for random groups only.
    FUZZ_CHECK(file.size() == hdu.dataStart + (imageBytes(hdu) + 2879) / 2880 * 2880);
}

// The host's save of the image it holds: OptionsPrepare to WriteFinish into a new file.
void saveFile(PlatformFile handle, const Opened &image) {
    addFakeFile(handle, {});
    FormatRecord &r = fakeHost.record;
    r.dataFork = handle;
    r.imageSize = Point{image.rows, image.columns};
    r.depth = image.depth;
    r.planes = image.planes;
    for (int16_t selector : {formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorOptionsContinue,
                             formatSelectorOptionsFinish, formatSelectorEstimatePrepare, formatSelectorEstimateStart,
                             formatSelectorEstimateContinue, formatSelectorEstimateFinish,
                             formatSelectorWritePrepare})
        FUZZ_CHECK(callModule(selector) == noErr);
    int32_t estimate = r.minDataBytes;
    FUZZ_CHECK(r.maxDataBytes == estimate);
    transfer.image = image.image;
    beginTransfer(true, false);
    FUZZ_CHECK(callModule(formatSelectorWriteStart) == noErr);
    checkTransferEnded();
    FUZZ_CHECK(transfer.advances == int32_t{image.rows} * image.planes);
    FUZZ_CHECK(callModule(formatSelectorWriteContinue) == noErr);
    FUZZ_CHECK(callModule(formatSelectorWriteFinish) == noErr);
    const std::vector<uint8_t> &written = fakePlatform.files[handle].bytes;
    FUZZ_CHECK(written.size() % 2880 == 0);
    // Tiles (an empty primary HDU, then the table: the save of a document whose kept header
    // came from tiles) take what their coding takes, which the estimate bounds.
    if (image.compressed || (written.size() >= 2880 && readHdu(written, 0).naxis == 0)) {
        FUZZ_CHECK(static_cast<int64_t>(written.size()) <= estimate);
        return;
    }
    FUZZ_CHECK(static_cast<int64_t>(written.size()) == estimate);
    // The rows went out in the order the header written says.
    FUZZ_CHECK(image.rows == 1 || transfer.bottomUp == saysBottomUp(written));
    checkSavedHeader(written, image);
    checkChecksums(written);
}

// A save of mapped samples writes 16-bit samples from which BZERO + BSCALE × stored gives every
// physical value back within half a step, and the blanks as BLANK = -32768, as FITS readers
// take them. Beyond half a step the tolerance covers the double arithmetic and the digits that
// fit a card's value columns.
void checkMappedSave(const std::vector<uint8_t> &file, const Opened &image) {
    const uint8_t *bitpix = findCard(file, "BITPIX  ");
    const uint8_t *bzero = findCard(file, "BZERO   ");
    const uint8_t *bscale = findCard(file, "BSCALE  ");
    const uint8_t *blank = findCard(file, "BLANK   ");
    FUZZ_CHECK(bitpix != nullptr && cardInteger(bitpix) == 16 && bzero != nullptr && bscale != nullptr);
    FUZZ_CHECK((blank != nullptr) == image.mapping.blanks);
    FUZZ_CHECK(blank == nullptr || cardInteger(blank) == -32768);
    const double zero = cardReal(bzero);
    const double scale = cardReal(bscale);
    const size_t start = dataStart(file);
    std::vector<uint8_t> stored =
        hostLayout(file, start, image.rows, image.planes, static_cast<size_t>(image.columns) * 2, saysBottomUp(file));
    for (size_t n = 0; n < image.physical.size(); ++n) {
        auto s = static_cast<int16_t>(stored[2 * n] << 8 | stored[2 * n + 1]);
        double physical = image.physical[n];
        if (std::isnan(physical)) {
            FUZZ_CHECK(s == -32768);
            continue;
        }
        FUZZ_CHECK(blank == nullptr || s != -32768);
        double back = zero + scale * s;
        double slack = 1e-12 * (std::fabs(zero) + std::fabs(scale) * 32768.0 + std::fabs(physical)) + DBL_MIN;
        FUZZ_CHECK(std::fabs(back - physical) <= 0.5 * std::fabs(scale) + slack);
    }
}

bool isShapeCard(const uint8_t *card) {
    return std::memcmp(card, "BITPIX  ", 8) == 0 || std::memcmp(card, "NAXIS   ", 8) == 0 || axisIndex(card) > 0;
}

bool isOneOf(const uint8_t *card, std::initializer_list<const char *> keywords) {
    for (const char *keyword : keywords)
        if (std::memcmp(card, keyword, 8) == 0)
            return true;
    return false;
}

// A save of an image that came from an extension writes a primary header: SIMPLE = T, the
// extension's BITPIX and axes right after it, none of the cards that only an extension has, and
// the extension's own cards in their order (those whose values a save decides aside).
void checkSavedFromExtension(const std::vector<uint8_t> &saved, const std::vector<uint8_t> &source,
                             size_t extensionStart) {
    const std::vector<const uint8_t *> cards = headerCards(saved);
    FUZZ_CHECK(std::memcmp(cards.front(), "SIMPLE  =                    T", 30) == 0);
    size_t shapeEnd = 1;
    while (shapeEnd < cards.size() && isShapeCard(cards[shapeEnd]))
        ++shapeEnd;
    for (size_t n = shapeEnd; n < cards.size(); ++n)
        FUZZ_CHECK(!isShapeCard(cards[n]) && !isOneOf(cards[n], {"XTENSION", "PCOUNT  ", "GCOUNT  "}));
    size_t next = shapeEnd;
    for (const uint8_t *own : headerCards(source, extensionStart)) {
        if (isShapeCard(own) || isOneOf(own, {"XTENSION", "PCOUNT  ", "GCOUNT  ", "INHERIT ", "BZERO   ", "BSCALE  ",
                                              "BLANK   ", "CHECKSUM", "DATASUM "}))
            continue;
        while (next < cards.size() && std::memcmp(cards[next], own, 80) != 0)
            ++next;
        FUZZ_CHECK(next < cards.size());
        ++next;
    }
}

bool hasAttribution(const std::vector<uint8_t> &file) { return findCard(file, "KORVALIS") != nullptr; }

void checkSameImage(const Opened &a, const Opened &b) {
    FUZZ_CHECK(b.ok);
    FUZZ_CHECK(a.rows == b.rows && a.columns == b.columns && a.depth == b.depth && a.planes == b.planes);
    FUZZ_CHECK(a.image == b.image);
}

// The image's first plane repeated in every plane, as a host's colour image would be saved.
Opened asCube(const Opened &image, int16_t planes) {
    Opened cube = image;
    cube.planes = planes;
    cube.image.clear();
    const auto planeBytes = static_cast<std::ptrdiff_t>(image.image.size() / static_cast<size_t>(image.planes));
    for (int16_t plane = 0; plane < planes; ++plane)
        cube.image.insert(cube.image.end(), image.image.begin(), image.image.begin() + planeBytes);
    return cube;
}

// The image at the other depth, as a host converts it: 8 to 16 bits by v × 257, 16 to 8 by
// v / 256.
Opened atOtherDepth(const Opened &image) {
    Opened other = image;
    other.image.clear();
    if (image.depth == 8) {
        other.depth = 16;
        for (uint8_t value : image.image) {
            auto wide = static_cast<uint16_t>(value * 257);
            other.image.push_back(static_cast<uint8_t>(wide));
            other.image.push_back(static_cast<uint8_t>(wide >> 8));
        }
    } else {
        other.depth = 8;
        for (size_t i = 1; i < image.image.size(); i += 2)
            other.image.push_back(image.image[i]);
    }
    return other;
}

// A cube's header says NAXIS = `axes` and NAXIS3 = planes; a NAXIS3 the kept header lacked
// comes right after NAXIS2.
void checkCubeHeader(const std::vector<uint8_t> &file, int16_t planes, int64_t axes, bool hadThirdAxis) {
    const uint8_t *naxis = findCard(file, "NAXIS   ");
    const uint8_t *naxis2 = findCard(file, "NAXIS2  ", false);
    const uint8_t *third = findCard(file, "NAXIS3  ");
    FUZZ_CHECK(naxis != nullptr && naxis2 != nullptr && third != nullptr);
    FUZZ_CHECK(cardInteger(naxis) == axes && cardInteger(third) == planes);
    FUZZ_CHECK(hadThirdAxis || third == naxis2 + 80);
}

// A valid file whose two-block header carries a card of its own.
std::vector<uint8_t> knownFileBytes() {
    std::string header;
    auto card = [&header](std::string text) {
        text.resize(80, ' ');
        header += text;
    };
    card("SIMPLE  =                    T");
    card("BITPIX  =                   16");
    card("NAXIS   =                    2");
    card("NAXIS1  =                    3");
    card("NAXIS2  =                    2");
    card("BZERO   =                32768");
    card("OBJECT  = 'KNOWN   '");
    while (header.size() < 39 * 80)
        card("COMMENT filler");
    card("END");
    header.resize(2 * 2880, ' ');
    std::vector<uint8_t> bytes(header.begin(), header.end());
    for (uint8_t sample : {0x80, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x7F, 0xFF, 0x12, 0x34, 0xC0, 0x01})
        bytes.push_back(sample);
    return bytes;
}

bool keepsKnownCard(const std::vector<uint8_t> &file) {
    return file.size() >= 7 * 80 && std::memcmp(file.data() + 6 * 80, "OBJECT  = 'KNOWN   '", 20) == 0;
}

// A host that ends a session frees what the module keeps for it: the session block and the
// memory of a header too long for it.
void endSession() {
    const auto *handle = reinterpret_cast<LocalHandle *>(fakeHost.dataSlot);
    if (handle != nullptr && handle->block != nullptr) {
        auto *session = static_cast<PluginGlobals *>(handle->block);
        platformDisposeFixedBlock(session->longHeader);
        session->longHeader = nullptr;
    }
    resetFakeHost(inputFile);
}

void beginSession() {
    endSession(); // of the session before
    transfer = Transfer{};
    fakeHost.record.advanceState = fuzzAdvanceState;
    fakeHost.record.progressProc = fuzzProgress;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    beginSession();
    resetFakePlatform();
    addFakeFile(inputFile, std::vector<uint8_t>(data, data + size));
    static const std::vector<uint8_t> known = knownFileBytes();
    addFakeFile(knownFile, known);

    Opened first = openFile(inputFile);
    // A tile-compressed image is saved tile-compressed and opens again as the same image.
    if (first.ok && first.compressed) {
        saveFile(savedFile, first);
        checkSameImage(first, openFile(savedFile));
    } else if (first.ok) {
        saveFile(savedFile, first);
        const std::vector<uint8_t> &saved = fakePlatform.files[savedFile].bytes;
        // The image as opened keeps the axes it was read with, those of length 1 too.
        FUZZ_CHECK(readHdu(saved, 0).naxis == first.naxis);
        if (first.headerStart > 0)
            checkSavedFromExtension(saved, fakePlatform.files[inputFile].bytes, first.headerStart);
        if (first.mapped)
            checkMappedSave(saved, first);
        // The saved file opens as the same image unless its samples were mapped other than one
        // to one: its 16-bit samples then open through the 16-bit conversion, as every such
        // file does.
        const bool sameImage = !first.mapped || first.mapping.identity;
        Opened second = openFile(savedFile);
        FUZZ_CHECK(second.ok);
        if (sameImage)
            checkSameImage(first, second);
        // A file the module wrote, opened and saved again, comes out byte for byte the same once
        // it carries the attribution card (reading inserts one into a short header without it).
        saveFile(savedAgainFile, second);
        if (sameImage && hasAttribution(saved))
            FUZZ_CHECK(fakePlatform.files[savedAgainFile].bytes == saved);
        else if (!sameImage)
            checkSameImage(second, openFile(savedAgainFile));
        // The kept header then takes a third axis (keeping its own axes when it had as many
        // planes), and loses it again in a save at the other depth, which opens as the image
        // converted.
        saveFile(cubeFile, asCube(second, cubePlanes));
        checkCubeHeader(fakePlatform.files[cubeFile].bytes, cubePlanes, second.planes == cubePlanes ? first.naxis : 3,
                        findCard(saved, "NAXIS3  ") != nullptr);
        Opened converted = atOtherDepth(first);
        saveFile(otherDepthFile, converted);
        checkSameImage(converted, openFile(otherDepthFile));
    }

    // A second session opens a known file first, so that the input meets a kept header and the
    // module-wide state that other files left: it opens just as in a fresh session, and when it
    // does not, the image the host still holds is saved and opens again.
    beginSession();
    Opened knownImage = openFile(knownFile);
    FUZZ_CHECK(knownImage.ok);
    Opened again = openFile(inputFile);
    FUZZ_CHECK(again.headerRead == first.headerRead && again.ok == first.ok);
    if (again.ok) {
        checkSameImage(first, again);
    } else {
        saveFile(savedFile, knownImage);
        checkSameImage(knownImage, openFile(savedFile));
        // A header that failed to read is not kept; one whose rows failed is.
        if (!again.headerRead)
            FUZZ_CHECK(keepsKnownCard(fakePlatform.files[savedFile].bytes));
    }
    endSession();
    return 0;
}
