// Arbitrary bytes as a file, opened as a host opens one and, when that succeeds, saved and
// opened again, saved as a cube and at the other depth, all in one fresh host session on the
// fake platform.
//
// Beyond what the sanitizers catch, every run checks what a host relies on: a failure is
// never reported as success (a file too short for its rows never opens), the host gets the
// rows the file holds, buffers and scratch memory come back, the size estimate is the size
// written, and what the module saves opens again with the same image.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "fits/header_format.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"

namespace {

constexpr PlatformFile inputFile = 1;
constexpr PlatformFile savedFile = 2;
constexpr PlatformFile savedAgainFile = 3;
constexpr PlatformFile cubeFile = 4;
constexpr PlatformFile otherDepthFile = 5;
constexpr PlatformFile knownFile = 6;
constexpr int16_t cubePlanes = 3;

[[noreturn]] void fuzzFailure(const char *file, int line, const char *condition) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : fuzzFailure(__FILE__, __LINE__, #condition))

// The host side of one transfer: rows as they arrived (open) or are to be given (save), and
// what the module said about each hand-over.
struct Transfer {
    std::vector<uint8_t> image; // rows of every plane, one after another
    bool writing = false;
    int16_t rows = 0, columns = 0, planes = 0, bytesPerSample = 0;
    int32_t advances = 0;
    int32_t progressCalls = 0;
    int32_t lastDone = 0;
};

Transfer transfer;

size_t rowBytes() { return static_cast<size_t>(transfer.columns) * static_cast<size_t>(transfer.bytesPerSample); }

OSErr fuzzAdvanceState() {
    const FormatRecord &r = fakeHost.record;
    int32_t index = transfer.advances++;
    int32_t expectedRow = index % (transfer.rows > 0 ? transfer.rows : 1);
    int32_t expectedPlane = index / (transfer.rows > 0 ? transfer.rows : 1);
    FUZZ_CHECK(index < int32_t{transfer.rows} * transfer.planes);
    FUZZ_CHECK(r.theRect.top == expectedRow && r.theRect.bottom == expectedRow + 1);
    FUZZ_CHECK(r.theRect.left == 0 && r.theRect.right == transfer.columns);
    FUZZ_CHECK(r.loPlane == expectedPlane && r.hiPlane == expectedPlane);
    FUZZ_CHECK(r.colBytes == transfer.bytesPerSample);
    FUZZ_CHECK(r.rowBytes == static_cast<int32_t>(rowBytes()) && r.planeBytes == 0);
    FUZZ_CHECK(r.data != nullptr);
    auto *row = static_cast<uint8_t *>(r.data);
    size_t offset = static_cast<size_t>(index) * rowBytes();
    if (transfer.writing) {
        FUZZ_CHECK(offset + rowBytes() <= transfer.image.size());
        std::memcpy(row, transfer.image.data() + offset, rowBytes());
    } else {
        FUZZ_CHECK(transfer.image.size() == offset);
        transfer.image.insert(transfer.image.end(), row, row + rowBytes());
    }
    return noErr;
}

void fuzzProgress(int32_t done, int32_t total) {
    ++transfer.progressCalls;
    FUZZ_CHECK(done == transfer.lastDone + 1);
    FUZZ_CHECK(total == int32_t{transfer.rows} * transfer.planes);
    transfer.lastDone = done;
}

void beginTransfer(bool writing) {
    const FormatRecord &r = fakeHost.record;
    std::vector<uint8_t> image = std::move(transfer.image);
    transfer = Transfer{};
    if (writing)
        transfer.image = std::move(image);
    transfer.writing = writing;
    transfer.rows = r.imageSize.v;
    transfer.columns = r.imageSize.h;
    transfer.planes = r.planes;
    transfer.bytesPerSample = static_cast<int16_t>(r.depth / 8);
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

// The module-wide header state lives as long as the library; each input starts as a freshly
// loaded module would, so that a crash does not depend on the inputs run before it.
void resetModuleState() {
    std::memset(fits::HeaderImage, 0, sizeof fits::HeaderImage);
    fits::headerBlocks = 0;
    fits::headerCards = 0;
    fits::bytesRead = 0;
    fits::bitpix = 0;
    fits::bytesPerSample = 0;
    fits::bzero = 0.0f;
    fits::bscale = 0.0f;
}

// Where the data of a header start: after the block that holds its first END card (the first
// card is never one); 0 when there is no END in the cards that may be read.
size_t dataStart(const std::vector<uint8_t> &file) {
    for (size_t card = 1; card < 180 && (card + 1) * 80 <= file.size(); ++card)
        if (std::memcmp(file.data() + card * 80, "END     ", 8) == 0)
            return (card / 36 + 1) * 2880;
    return 0;
}

// The host value of a stored 16-bit sample, from the conversion's definition: stored × scale +
// offset in double precision, truncated toward zero, held to 0 … 65535; a zero scale is 1.
uint16_t expectedSample(const uint8_t *stored, float bzero, float bscale) {
    auto s = static_cast<int16_t>((stored[0] << 8) | stored[1]);
    double scale = bscale == 0.0f || std::isnan(bscale) ? 1.0 : static_cast<double>(bscale);
    double value = std::trunc(static_cast<double>(s) * scale + static_cast<double>(bzero));
    if (!(value > 0.0))
        return 0;
    return value >= 65535.0 ? 65535 : static_cast<uint16_t>(value);
}

void checkPixels(const std::vector<uint8_t> &file, size_t start, float bzero, float bscale) {
    const std::vector<uint8_t> &image = transfer.image;
    FUZZ_CHECK(file.size() >= start + image.size());
    const uint8_t *stored = file.data() + start;
    if (transfer.bytesPerSample == 1) {
        FUZZ_CHECK(std::memcmp(image.data(), stored, image.size()) == 0);
        return;
    }
    for (size_t i = 0; i + 1 < image.size(); i += 2) {
        uint16_t host;
        std::memcpy(&host, image.data() + i, sizeof host);
        FUZZ_CHECK(host == expectedSample(stored + i, bzero, bscale));
    }
}

struct Opened {
    bool headerRead = false; // ReadStart succeeded
    bool ok = false;
    int16_t rows = 0, columns = 0, depth = 0, planes = 0;
    std::vector<uint8_t> image;
};

bool knownOpenFailure(OSErr result) { return result == eofErr || result == formatCannotRead; }

// The host's open: FilterFile, ReadPrepare, ReadStart, ReadContinue, ReadFinish.
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
    if (filtered != noErr)
        FUZZ_CHECK(started != noErr);
    if (started != noErr) {
        FUZZ_CHECK(fakeHost.record.imageSize.v == -7 && fakeHost.record.imageSize.h == -9);
        FUZZ_CHECK(fakeHost.record.depth == -5);
        FUZZ_CHECK(std::memcmp(retainedBefore, session->retainedHeader, sizeof retainedBefore) == 0);
        return opened;
    }

    opened.headerRead = true;
    const FormatRecord &r = fakeHost.record;
    FUZZ_CHECK(r.depth == 8 || r.depth == 16);
    FUZZ_CHECK(r.imageSize.v >= 1 && r.imageSize.h >= 1 && r.planes == 1);
    FUZZ_CHECK(r.imageMode == plugInModeGrayScale);
    size_t start = dataStart(file.bytes);
    FUZZ_CHECK(start > 0 && start <= retainedHeaderSize);
    FUZZ_CHECK(static_cast<size_t>(fits::headerBlocks) * 2880 == start);
    FUZZ_CHECK(file.position == static_cast<int64_t>(start));
    FUZZ_CHECK(session->retainedHeader[0] == 'S');
    float bzero = fits::bzero;
    float bscale = fits::bscale;

    beginTransfer(false);
    OSErr continued = callModule(formatSelectorReadContinue);
    checkTransferEnded();
    FUZZ_CHECK(callModule(formatSelectorReadFinish) == noErr);
    size_t needed = start + static_cast<size_t>(r.imageSize.v) * r.planes * rowBytes();
    if (continued != noErr) {
        FUZZ_CHECK(continued == eofErr);
        FUZZ_CHECK(file.bytes.size() < needed);
        FUZZ_CHECK(transfer.image.size() == static_cast<size_t>(transfer.advances) * rowBytes());
        return opened;
    }
    FUZZ_CHECK(file.bytes.size() >= needed);
    FUZZ_CHECK(transfer.advances == int32_t{r.imageSize.v} * r.planes);
    FUZZ_CHECK(transfer.progressCalls == transfer.advances);
    checkPixels(file.bytes, start, bzero, bscale);
    opened.ok = true;
    opened.rows = r.imageSize.v;
    opened.columns = r.imageSize.h;
    opened.depth = r.depth;
    opened.planes = r.planes;
    opened.image = transfer.image;
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
    int checksum = -1, datasum = -1;
    size_t headerBytes = 0;
    for (size_t card = 1; card < 144 && (card + 1) * 80 <= file.size(); ++card) {
        const uint8_t *text = file.data() + card * 80;
        if (std::memcmp(text, "END     ", 8) == 0) {
            headerBytes = (card / 36 + 1) * 2880;
            break;
        }
        if (checksum < 0 && std::memcmp(text, "CHECKSUM", 8) == 0)
            checksum = static_cast<int>(card);
        if (datasum < 0 && std::memcmp(text, "DATASUM ", 8) == 0)
            datasum = static_cast<int>(card);
    }
    FUZZ_CHECK(headerBytes > 0 && headerBytes <= file.size());
    if (checksum >= 0)
        FUZZ_CHECK(onesComplementSum(file.data(), file.size()) == 0xFFFFFFFFu);
    if (datasum >= 0) {
        const uint8_t *value = file.data() + datasum * 80 + 10;
        const uint8_t *cardEnd = file.data() + datasum * 80 + 80;
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
    beginTransfer(true);
    FUZZ_CHECK(callModule(formatSelectorWriteStart) == noErr);
    checkTransferEnded();
    FUZZ_CHECK(transfer.advances == int32_t{image.rows} * image.planes);
    FUZZ_CHECK(callModule(formatSelectorWriteContinue) == noErr);
    FUZZ_CHECK(callModule(formatSelectorWriteFinish) == noErr);
    const std::vector<uint8_t> &written = fakePlatform.files[handle].bytes;
    FUZZ_CHECK(written.size() % 2880 == 0);
    FUZZ_CHECK(static_cast<int64_t>(written.size()) == estimate);
    checkChecksums(written);
}

bool hasAttribution(const std::vector<uint8_t> &file) {
    for (size_t card = 1; card < 144 && (card + 1) * 80 <= file.size(); ++card) {
        if (std::memcmp(file.data() + card * 80, "END     ", 8) == 0)
            return false;
        if (std::memcmp(file.data() + card * 80, "KORVALIS", 8) == 0)
            return true;
    }
    return false;
}

void checkSameImage(const Opened &a, const Opened &b) {
    FUZZ_CHECK(b.ok);
    FUZZ_CHECK(a.rows == b.rows && a.columns == b.columns && a.depth == b.depth && a.planes == b.planes);
    FUZZ_CHECK(a.image == b.image);
}

// The image repeated in every plane, as a host's colour image would be saved.
Opened asCube(const Opened &image, int16_t planes) {
    Opened cube = image;
    cube.planes = planes;
    cube.image.clear();
    for (int16_t plane = 0; plane < planes; ++plane)
        cube.image.insert(cube.image.end(), image.image.begin(), image.image.end());
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

int64_t cardInteger(const uint8_t *card) {
    size_t column = 10;
    while (column < 30 && card[column] == ' ')
        ++column;
    int64_t value = 0;
    for (; column < 30 && card[column] >= '0' && card[column] <= '9'; ++column)
        value = value * 10 + (card[column] - '0');
    return value;
}

// A cube's header says NAXIS = 3 and has NAXIS3 right after NAXIS2.
void checkCubeHeader(const std::vector<uint8_t> &file, int16_t planes) {
    int naxis = -1, naxis2 = -1;
    for (size_t card = 1; card < 144 && (card + 1) * 80 <= file.size(); ++card) {
        const uint8_t *text = file.data() + card * 80;
        if (std::memcmp(text, "END     ", 8) == 0)
            break;
        if (naxis < 0 && std::memcmp(text, "NAXIS   ", 8) == 0)
            naxis = static_cast<int>(card);
        if (naxis2 < 0 && std::memcmp(text, "NAXIS2  ", 8) == 0)
            naxis2 = static_cast<int>(card);
    }
    FUZZ_CHECK(naxis > 0 && naxis2 > 0);
    FUZZ_CHECK(cardInteger(file.data() + naxis * 80) == 3);
    const uint8_t *third = file.data() + (naxis2 + 1) * 80;
    FUZZ_CHECK(std::memcmp(third, "NAXIS3  = ", 10) == 0 && cardInteger(third) == planes);
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

void beginSession() {
    resetFakeHost(inputFile); // ends the session before
    transfer = Transfer{};
    fakeHost.record.advanceState = fuzzAdvanceState;
    fakeHost.record.progressProc = fuzzProgress;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    beginSession();
    resetFakePlatform();
    resetModuleState();
    addFakeFile(inputFile, std::vector<uint8_t>(data, data + size));
    static const std::vector<uint8_t> known = knownFileBytes();
    addFakeFile(knownFile, known);

    Opened first = openFile(inputFile);
    if (first.ok) {
        saveFile(savedFile, first);
        Opened second = openFile(savedFile);
        checkSameImage(first, second);
        // A file the module wrote, opened and saved again, comes out byte for byte the same once
        // it carries the attribution card (reading inserts one into a short header without it).
        saveFile(savedAgainFile, second);
        const std::vector<uint8_t> &saved = fakePlatform.files[savedFile].bytes;
        if (hasAttribution(saved))
            FUZZ_CHECK(fakePlatform.files[savedAgainFile].bytes == saved);
        // The kept header then takes a third axis, and loses it again in a save at the other
        // depth, which opens as the image converted.
        saveFile(cubeFile, asCube(second, cubePlanes));
        checkCubeHeader(fakePlatform.files[cubeFile].bytes, cubePlanes);
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
    resetFakeHost(inputFile);
    return 0;
}
