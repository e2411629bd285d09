// Arbitrary bytes as a file, opened as a host opens one and, when that succeeds, saved and
// opened again, all in one fresh host session on the fake platform.
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
#include <vector>

#include "entry/entry.h"
#include "fits/header_format.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"

namespace {

constexpr PlatformFile inputFile = 1;
constexpr PlatformFile savedFile = 2;
constexpr PlatformFile savedAgainFile = 3;

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    resetFakeHost(inputFile); // ends the previous input's session
    resetFakePlatform();
    resetModuleState();
    transfer = Transfer{};
    fakeHost.record.advanceState = fuzzAdvanceState;
    fakeHost.record.progressProc = fuzzProgress;
    addFakeFile(inputFile, std::vector<uint8_t>(data, data + size));

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
    }
    resetFakeHost(inputFile);
    return 0;
}
