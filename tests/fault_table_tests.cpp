// Every fault the module can meet during an open or a save, in one table: the host's and the
// platform's failures at each step, each with the code the host gets, what it saw through
// advanceState and progressProc, what reached the disk or the host's image, and the message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"
#include "tests/fits_builders.h"

namespace {

constexpr PlatformFile inFile = 5;
constexpr PlatformFile outFile = 6;

// The image of every case: 16 bits, 3 columns, 5 rows, one plane; a row is 6 bytes. Row k,
// where the row faults strike, is the third (k = 2).
constexpr int16_t rows = 5;
constexpr int16_t columns = 3;
constexpr size_t rowBytes = 6;
constexpr int rowK = 2;

// A resave opens a file whose header carries CHECKSUM and DATASUM and saves the image with
// that header, which is written a second time once the data are out. An open of the extension
// reads a file whose image follows an empty primary HDU and a binary table that it skips; a
// long resave opens a file whose header has 30 blocks and saves the image with that header,
// which goes out in two writes.
// A wide open reads the same samples stored as 32-bit integers, which take a first pass over
// the data in ReadStart before the rows go to the host in ReadContinue.
enum class Operation { open, openExtension, openWide, save, resave, resaveLong };

bool opens(Operation operation) {
    return operation == Operation::open || operation == Operation::openExtension || operation == Operation::openWide;
}

enum class Fault {
    none,
    shortRead,  // the n-th read after arming moves one byte too few
    failRead,   // the n-th read after arming fails
    shortWrite, // the n-th write after arming moves one byte too few
    failWrite,  // the n-th write after arming fails
    noBufferProcs,
    oldBufferProcs,
    newBufferProcs,
    noAdvanceState,
    noHandleProcs,
    oldHandleProcs,
    newHandleProcs,
    noSessionRecord, // the first of the session's two fixed blocks cannot be had
    noSessionBlock,  // the second
    noRowBuffer,     // the host's allocateProc refuses
    noScratch,       // the n-th scratch block after arming cannot be had
    cancel,          // the n-th advanceState after arming returns userCanceledErr
    zeroRows,        // the file (open) or the host's image (save) has no rows
    endInSkippedHdu, // the file ends inside the data of the table before the image extension
};

// A message box as the case expects it: no text means no box; no caption means the
// platform's default caption (the version alert).
struct Box {
    const char *caption;
    const char *text;
};

constexpr Box noBox{nullptr, nullptr};
const Box needBuffers{nullptr, "This plug-in requires Adobe Photoshop\xAE 2.5 or later functionality."};
const Box needHost30{nullptr, "This plug-in requires Adobe Photoshop\xAE 3.0 or later functionality."};
const Box hostTooNew{nullptr, "This plug-in is incompatible with this version of the host program."};
const Box zeroHeight{"Header Check", "NAXIS2 is 0: image heights from 1 to 32767 are supported."};

constexpr int16_t none = -1;

struct Case {
    std::string what;
    Operation operation;
    int16_t armAt; // the fault is set up just before this selector is called
    Fault fault;
    int n;
    int16_t failsAt; // the selector whose call gives `expected`; none when every call succeeds
    OSErr expected;
    size_t advances, progress;
    // Bytes that reached their destination: the saved file's size, or for an open the rows the
    // host was given. They always equal the start of what the fault-free run delivers.
    size_t landed;
    Box box;
};

const std::vector<int16_t> openSequence{formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart,
                                        formatSelectorReadContinue, formatSelectorReadFinish};
const std::vector<int16_t> saveSequence{formatSelectorOptionsPrepare, formatSelectorOptionsStart,
                                        formatSelectorEstimatePrepare, formatSelectorEstimateStart,
                                        formatSelectorWritePrepare,   formatSelectorWriteStart,
                                        formatSelectorWriteFinish};

// Reads of an open: FilterFile reads card 1; ReadStart cards 1 to 36 (END is card 7), then for
// wide samples one read per row; then one read per row. Writes of a save: the header, one per row, the padding, and for a resave the
// header again. An open of the extension reads in ReadStart the primary's 36 cards, the
// table's 36 (from read 37 on) and the image extension's 36.
constexpr size_t header = 2880;
constexpr int tableCard5 = 36 + 5;
// The long header: 30 blocks, written in a piece of the most one transfer moves and the rest.
constexpr size_t longHeader = 30 * header;
constexpr size_t firstPiece = 65535;
constexpr size_t data = rows * rowBytes;
constexpr size_t padding = 2880 - data;
constexpr size_t rowsBeforeK = rowK * rowBytes;

std::vector<Case> faultTable() {
    const int16_t filter = formatSelectorFilterFile, readStart = formatSelectorReadStart,
                  readContinue = formatSelectorReadContinue, optionsPrepare = formatSelectorOptionsPrepare,
                  optionsStart = formatSelectorOptionsStart, estimateStart = formatSelectorEstimateStart,
                  writeStart = formatSelectorWriteStart;
    const Operation open = Operation::open, save = Operation::save, resave = Operation::resave,
                    openExtension = Operation::openExtension, resaveLong = Operation::resaveLong,
                    openWide = Operation::openWide;
    constexpr int cardReads = 36;
    const Box noImage{"Header Check", "The file holds no image: an empty primary HDU and 1 binary table."};
    std::vector<Case> table = {
        // what, operation, armed at, fault, n, fails at, result, advances, progress, landed, box
        {"open without a fault", open, filter, Fault::none, 0, none, noErr, 5, 5, data, noBox},
        {"short read of card 1 (FilterFile)", open, filter, Fault::shortRead, 1, filter, eofErr, 0, 0, 0, noBox},
        {"read of card 1 fails (FilterFile)", open, filter, Fault::failRead, 1, filter, readErr, 0, 0, 0, noBox},
        {"short read of card 1 (ReadStart)", open, readStart, Fault::shortRead, 1, readStart, eofErr, 0, 0, 0, noBox},
        {"read of card 1 fails (ReadStart)", open, readStart, Fault::failRead, 1, readStart, readErr, 0, 0, 0, noBox},
        {"short read of card 4", open, readStart, Fault::shortRead, 4, readStart, eofErr, 0, 0, 0, noBox},
        {"read of card 4 fails", open, readStart, Fault::failRead, 4, readStart, readErr, 0, 0, 0, noBox},
        {"short read of card 36, the last", open, readStart, Fault::shortRead, 36, readStart, eofErr, 0, 0, 0, noBox},
        {"short read of row k", open, readContinue, Fault::shortRead, rowK + 1, readContinue, eofErr, rowK, rowK + 1,
         rowsBeforeK, noBox},
        {"read of row k fails", open, readContinue, Fault::failRead, rowK + 1, readContinue, readErr, rowK, rowK + 1,
         rowsBeforeK, noBox},
        {"short read of the last row", open, readContinue, Fault::shortRead, rows, readContinue, eofErr, rows - 1, rows,
         data - rowBytes, noBox},
        {"no session record (open)", open, filter, Fault::noSessionRecord, 0, filter, memFullErr, 0, 0, 0, noBox},
        {"no session block (open)", open, filter, Fault::noSessionBlock, 0, filter, memFullErr, 0, 0, 0, noBox},
        {"no row buffer (open)", open, readContinue, Fault::noRowBuffer, 0, readContinue, memFullErr, 0, 0, 0, noBox},
        // A pass takes its scratch row once, before its first row.
        {"no scratch block for the rows", open, readContinue, Fault::noScratch, 1, readContinue, memFullErr, 0, 0, 0,
         noBox},
        {"host cancels at row k (open)", open, readContinue, Fault::cancel, rowK + 1, readContinue, userCanceledErr,
         rowK + 1, rowK + 1, rowsBeforeK, noBox},
        {"zero-row file", open, filter, Fault::zeroRows, 0, readStart, formatCannotRead, 0, 0, 0, zeroHeight},

        {"save without a fault", save, optionsPrepare, Fault::none, 0, none, noErr, 5, 5, header + data + padding,
         noBox},
        {"short write of the header", save, writeStart, Fault::shortWrite, 1, writeStart, dskFulErr, 0, 0, header - 1,
         noBox},
        {"write of the header fails", save, writeStart, Fault::failWrite, 1, writeStart, writErr, 0, 0, 0, noBox},
        {"short write of row k", save, writeStart, Fault::shortWrite, 1 + rowK + 1, writeStart, eofErr, rowK + 1,
         rowK + 1, header + rowsBeforeK + rowBytes - 1, noBox},
        {"write of row k fails", save, writeStart, Fault::failWrite, 1 + rowK + 1, writeStart, writErr, rowK + 1,
         rowK + 1, header + rowsBeforeK, noBox},
        {"short write of the padding", save, writeStart, Fault::shortWrite, 1 + rows + 1, writeStart, eofErr, rows,
         rows, header + data + padding - 1, noBox},
        {"write of the padding fails", save, writeStart, Fault::failWrite, 1 + rows + 1, writeStart, writErr, rows,
         rows, header + data, noBox},
        {"no session record (save)", save, optionsPrepare, Fault::noSessionRecord, 0, optionsPrepare, memFullErr, 0,
         0, 0, noBox},
        {"no session block (save)", save, optionsPrepare, Fault::noSessionBlock, 0, optionsPrepare, memFullErr, 0, 0,
         0, noBox},
        {"no row buffer (save)", save, writeStart, Fault::noRowBuffer, 0, writeStart, memFullErr, 0, 0, header,
         noBox},
        {"host cancels at row k (save)", save, writeStart, Fault::cancel, rowK + 1, writeStart, userCanceledErr,
         rowK + 1, rowK + 1, header + rowsBeforeK, noBox},
        {"zero-row image", save, optionsPrepare, Fault::zeroRows, 0, none, noErr, 0, 0, header, noBox},
        {"resave without a fault", resave, optionsPrepare, Fault::none, 0, none, noErr, 5, 5, header + data + padding,
         noBox},
        {"short rewrite of the checksummed header", resave, writeStart, Fault::shortWrite, 1 + rows + 1 + 1,
         writeStart, dskFulErr, rows, rows, header + data + padding, noBox},
        {"rewrite of the checksummed header fails", resave, writeStart, Fault::failWrite, 1 + rows + 1 + 1, writeStart,
         writErr, rows, rows, header + data + padding, noBox},

        {"wide open without a fault", openWide, filter, Fault::none, 0, none, noErr, 5, 5, data, noBox},
        {"short read of row k (first pass)", openWide, readStart, Fault::shortRead, cardReads + rowK + 1, readStart,
         eofErr, 0, 0, 0, noBox},
        {"read of row k fails (first pass)", openWide, readStart, Fault::failRead, cardReads + rowK + 1, readStart,
         readErr, 0, 0, 0, noBox},
        {"no scratch block for values (first pass)", openWide, readStart, Fault::noScratch, 2, readStart, memFullErr,
         0, 0, 0, noBox},
        {"short read of row k (second pass)", openWide, readContinue, Fault::shortRead, rowK + 1, readContinue, eofErr,
         rowK, rowK + 1, rowsBeforeK, noBox},
        {"read of row k fails (second pass)", openWide, readContinue, Fault::failRead, rowK + 1, readContinue, readErr,
         rowK, rowK + 1, rowsBeforeK, noBox},
        {"no scratch block for values (second pass)", openWide, readContinue, Fault::noScratch, 2, readContinue,
         memFullErr, 0, 0, 0, noBox},
        {"open of the extension without a fault", openExtension, filter, Fault::none, 0, none, noErr, 5, 5, data,
         noBox},
        {"short read of card 5 of the skipped table", openExtension, readStart, Fault::shortRead, tableCard5, readStart,
         eofErr, 0, 0, 0, noBox},
        {"read of card 5 of the skipped table fails", openExtension, readStart, Fault::failRead, tableCard5, readStart,
         readErr, 0, 0, 0, noBox},
        {"file ends inside the skipped table", openExtension, filter, Fault::endInSkippedHdu, 0, readStart,
         formatCannotRead, 0, 0, 0, noImage},
        {"resave of a 30-block header without a fault", resaveLong, optionsPrepare, Fault::none, 0, none, noErr, 5, 5,
         longHeader + data + padding, noBox},
        {"short write of a 30-block header's first piece", resaveLong, writeStart, Fault::shortWrite, 1, writeStart,
         dskFulErr, 0, 0, firstPiece - 1, noBox},
        {"write of a 30-block header's second piece fails", resaveLong, writeStart, Fault::failWrite, 2, writeStart,
         writErr, 0, 0, firstPiece, noBox},
    };

    // Every selector that checks the host's services stops at a missing or unknown one with its
    // alert, before the file is touched.
    struct ServiceFault {
        const char *what;
        Fault fault;
        Box box;
    };
    const ServiceFault services[] = {
        {"no buffer services", Fault::noBufferProcs, needBuffers},
        {"buffer services of version 1", Fault::oldBufferProcs, needBuffers},
        {"buffer services of version 3", Fault::newBufferProcs, hostTooNew},
        {"no advanceState", Fault::noAdvanceState, needHost30},
        {"no handle services", Fault::noHandleProcs, needHost30},
        {"handle services of version 0", Fault::oldHandleProcs, needHost30},
        {"handle services of version 2", Fault::newHandleProcs, hostTooNew},
    };
    const struct {
        const char *name;
        Operation operation;
        int16_t selector;
    } checking[] = {{"ReadStart", open, readStart},
                    {"OptionsStart", save, optionsStart},
                    {"EstimateStart", save, estimateStart},
                    {"WriteStart", save, writeStart}};
    for (const auto &at : checking)
        for (const ServiceFault &service : services)
            table.push_back(Case{std::string(service.what) + " (" + at.name + ")", at.operation, at.selector,
                                 service.fault, 0, at.selector, userCanceledErr, 0, 0, 0, service.box});
    return table;
}

// Host samples of the image: distinct, covering both halves of the 16-bit range.
std::vector<uint8_t> hostImage() {
    std::vector<uint8_t> image(data);
    for (size_t i = 0; i < data / 2; ++i) {
        auto value = static_cast<uint16_t>(4099 * i + 7);
        std::memcpy(image.data() + 2 * i, &value, 2);
    }
    return image;
}

// The same samples as a FITS file stores them with BZERO 32768: value - 32768, big-endian.
std::vector<uint8_t> storedImage() {
    std::vector<uint8_t> image = hostImage();
    for (size_t i = 0; i < data; i += 2) {
        uint16_t value;
        std::memcpy(&value, image.data() + i, 2);
        value = static_cast<uint16_t>(value ^ 0x8000);
        image[i] = static_cast<uint8_t>(value >> 8);
        image[i + 1] = static_cast<uint8_t>(value);
    }
    return image;
}

std::vector<uint8_t> fitsFile(int16_t fileRows, bool checksums = false) {
    std::vector<std::string> cards = imageCards(16, columns, fileRows);
    cards.push_back(valueCard("BZERO", "32768"));
    if (checksums) {
        cards.push_back(rawCard("CHECKSUM= '0000000000000000'"));
        cards.push_back(rawCard("DATASUM = '0'"));
    }
    cards.push_back(rawCard("END"));
    std::vector<uint8_t> bytes = bytesOf(headerOf(cards));
    std::vector<uint8_t> pixels = storedImage();
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    return bytes;
}

// An empty primary HDU, a binary table of 3 rows of 4 bytes, then the image in an extension.
std::vector<uint8_t> extensionFile() {
    std::string bytes = headerOf({valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "0"),
                                  valueCard("EXTEND", "T"), rawCard("END")});
    bytes += headerOf({rawCard("XTENSION= 'BINTABLE'"), valueCard("BITPIX", "8"), valueCard("NAXIS", "2"),
                       valueCard("NAXIS1", "4"), valueCard("NAXIS2", "3"), valueCard("PCOUNT", "0"),
                       valueCard("GCOUNT", "1"), valueCard("TFIELDS", "1"), rawCard("TFORM1  = '1J      '"),
                       rawCard("END")});
    bytes += std::string(header, '\x7f');
    bytes += headerOf({rawCard("XTENSION= 'IMAGE   '"), valueCard("BITPIX", "16"), valueCard("NAXIS", "2"),
                       valueCard("NAXIS1", std::to_string(columns)), valueCard("NAXIS2", std::to_string(rows)),
                       valueCard("PCOUNT", "0"), valueCard("GCOUNT", "1"), valueCard("BZERO", "32768"),
                       rawCard("END")});
    std::vector<uint8_t> file = bytesOf(bytes);
    std::vector<uint8_t> pixels = storedImage();
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

// The image with a header of 30 blocks: comment cards up to the last block.
std::vector<uint8_t> longHeaderFile() {
    std::vector<std::string> cards = imageCards(16, columns, rows);
    cards.push_back(valueCard("BZERO", "32768"));
    std::vector<uint8_t> bytes = bytesOf(headerOf(withEndAt(cards, 29 * 36 + 10)));
    std::vector<uint8_t> pixels = storedImage();
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    return bytes;
}

// The same samples as 32-bit integers, which map one to one into the host's 16 bits.
std::vector<uint8_t> wideFile() {
    std::vector<std::string> cards = imageCards(32, columns, rows);
    cards.push_back(rawCard("END"));
    std::vector<uint8_t> bytes = bytesOf(headerOf(cards));
    std::vector<uint8_t> image = hostImage();
    for (size_t i = 0; i < data; i += 2) {
        uint16_t value;
        std::memcpy(&value, image.data() + i, 2);
        bytes.insert(bytes.end(), {0, 0, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    }
    return bytes;
}

std::vector<uint8_t> inputFile(Operation operation) {
    switch (operation) {
    case Operation::openExtension:
        return extensionFile();
    case Operation::resaveLong:
        return longHeaderFile();
    case Operation::openWide:
        return wideFile();
    default:
        return fitsFile(rows, operation == Operation::resave);
    }
}

void arm(const Case &c) {
    FakeFile &in = fakePlatform.files[inFile];
    FakeFile &out = fakePlatform.files[outFile];
    FakeFile &file = opens(c.operation) ? in : out;
    FormatRecord &record = fakeHost.record;
    switch (c.fault) {
    case Fault::none:
        break;
    case Fault::shortRead:
        file.shortReadCall = file.readCalls + c.n;
        break;
    case Fault::failRead:
        file.failReadCall = file.readCalls + c.n;
        break;
    case Fault::shortWrite:
        file.shortWriteCall = file.writeCalls + c.n;
        break;
    case Fault::failWrite:
        file.failWriteCall = file.writeCalls + c.n;
        break;
    case Fault::noBufferProcs:
        record.bufferProcs = nullptr;
        break;
    case Fault::oldBufferProcs:
        fakeHost.bufferProcs.bufferProcsVersion = 1;
        break;
    case Fault::newBufferProcs:
        fakeHost.bufferProcs.bufferProcsVersion = 3;
        break;
    case Fault::noAdvanceState:
        record.advanceState = nullptr;
        break;
    case Fault::noHandleProcs:
        record.handleProcs = nullptr;
        break;
    case Fault::oldHandleProcs:
        fakeHost.handleProcs.handleProcsVersion = 0;
        break;
    case Fault::newHandleProcs:
        fakeHost.handleProcs.handleProcsVersion = 2;
        break;
    case Fault::noSessionRecord:
        fakePlatform.memory.failFixedCall = fakePlatform.memory.fixedCalls + 1;
        break;
    case Fault::noSessionBlock:
        fakePlatform.memory.failFixedCall = fakePlatform.memory.fixedCalls + 2;
        break;
    case Fault::noRowBuffer:
        fakeHost.allocateResult = memFullErr;
        break;
    case Fault::noScratch:
        fakePlatform.memory.failHeapCall = fakePlatform.memory.heapCalls + c.n;
        break;
    case Fault::cancel:
        fakeHost.advanceFailCall = static_cast<int>(fakeHost.advanceCalls.size()) + c.n;
        break;
    case Fault::zeroRows:
        if (c.operation == Operation::open)
            in.bytes = fitsFile(0);
        else
            record.imageSize.v = 0;
        break;
    case Fault::endInSkippedHdu:
        in.bytes.resize(2 * header + 6);
        break;
    }
}

struct Outcome {
    int16_t failedAt = none;
    OSErr result = noErr;
    int fixedBlocksBeforeSave = 0; // the session's, once a resave's open is done
};

Outcome runCase(const Case &c) {
    resetFakeHost(opens(c.operation) ? inFile : outFile);
    resetFakePlatform();
    addFakeFile(inFile, inputFile(c.operation));
    addFakeFile(outFile, {});
    if (c.operation == Operation::resave || c.operation == Operation::resaveLong) {
        fakeHost.record.dataFork = inFile;
        for (int16_t selector : openSequence)
            EXPECT_EQ(callModule(selector), noErr);
        fakeHost.record.dataFork = outFile;
        fakeHost.advanceCalls.clear();
        fakeHost.progressCalls.clear();
    }
    const int fixedBlocks = fakePlatform.memory.fixedBlocks;
    if (!opens(c.operation))
        setHostImage(rows, columns, 16, 1, hostImage());
    for (int16_t selector : opens(c.operation) ? openSequence : saveSequence) {
        if (selector == c.armAt)
            arm(c);
        OSErr result = callModule(selector);
        if (result != noErr)
            return Outcome{selector, result, fixedBlocks};
    }
    return Outcome{none, noErr, fixedBlocks};
}

// What the host's image received, row by row, during an open.
std::vector<uint8_t> rowsReceived() {
    std::vector<uint8_t> received;
    for (const AdvanceCall &call : fakeHost.advanceCalls)
        received.insert(received.end(), call.row.begin(), call.row.end());
    return received;
}

bool startsTheWhole(const std::vector<uint8_t> &part, const std::vector<uint8_t> &whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

struct FaultTable : ::testing::Test {
    void TearDown() override { resetFakeHost(); }
};

TEST_F(FaultTable, EachFaultEndsWithItsCodeTraceAndMessage) {
    Case baseline{"save without a fault", Operation::save, formatSelectorOptionsPrepare, Fault::none, 0, none, noErr,
                  0, 0, 0, noBox};
    ASSERT_EQ(runCase(baseline).result, noErr);
    const std::vector<uint8_t> savedWhole = fakePlatform.files[outFile].bytes;
    ASSERT_EQ(savedWhole.size(), header + data + padding);
    ASSERT_EQ(std::vector<uint8_t>(savedWhole.begin() + header, savedWhole.begin() + header + data), storedImage());
    const std::vector<uint8_t> openedWhole = hostImage();
    baseline.operation = Operation::resave;
    ASSERT_EQ(runCase(baseline).result, noErr);
    const std::vector<uint8_t> resavedWhole = fakePlatform.files[outFile].bytes;
    ASSERT_EQ(fakePlatform.files[outFile].writeCalls, 1 + rows + 1 + 1) << "header, rows, padding, header again";
    baseline.operation = Operation::resaveLong;
    ASSERT_EQ(runCase(baseline).result, noErr);
    const std::vector<uint8_t> longSavedWhole = fakePlatform.files[outFile].bytes;
    ASSERT_EQ(fakePlatform.files[outFile].writeCalls, 2 + rows + 1) << "the header in two pieces, rows, padding";

    for (const Case &c : faultTable()) {
        SCOPED_TRACE(c.what);
        Outcome outcome = runCase(c);
        EXPECT_EQ(outcome.result, c.expected);
        EXPECT_EQ(outcome.failedAt, c.failsAt);
        EXPECT_EQ(fakeHost.advanceCalls.size(), c.advances);
        EXPECT_EQ(fakeHost.progressCalls.size(), c.progress);
        for (size_t i = 0; i < fakeHost.progressCalls.size(); ++i)
            EXPECT_EQ(fakeHost.progressCalls[i], std::make_pair(static_cast<int32_t>(i + 1), int32_t{rows}));

        const FakeFile &in = fakePlatform.files[inFile];
        const FakeFile &out = fakePlatform.files[outFile];
        if (opens(c.operation)) {
            EXPECT_EQ(in.writeCalls, 0) << "an open never writes";
            EXPECT_EQ(out.writeCalls, 0);
            std::vector<uint8_t> received = rowsReceived();
            EXPECT_EQ(received.size(), c.landed);
            EXPECT_TRUE(startsTheWhole(received, openedWhole)) << "the rows the host got are the file's first rows";
        } else if (c.operation == Operation::resaveLong) {
            // What is on disk starts the whole file, and the save's own copy of the header is gone.
            EXPECT_EQ(out.bytes.size(), c.landed);
            EXPECT_TRUE(startsTheWhole(out.bytes, longSavedWhole));
            EXPECT_EQ(fakePlatform.memory.fixedBlocks, outcome.fixedBlocksBeforeSave);
        } else if (c.operation == Operation::resave) {
            // The header on disk is the first or a part of the second; the data are whole.
            EXPECT_EQ(out.bytes.size(), c.landed);
            EXPECT_TRUE(out.bytes.size() == resavedWhole.size() &&
                        std::equal(out.bytes.begin() + header, out.bytes.end(), resavedWhole.begin() + header));
        } else {
            EXPECT_EQ(in.readCalls, 0);
            EXPECT_EQ(out.bytes.size(), c.landed);
            // A zero-row header says NAXIS2 = 0, so only its first card is the same.
            std::vector<uint8_t> compared = out.bytes;
            if (c.fault == Fault::zeroRows)
                compared.resize(80);
            EXPECT_TRUE(startsTheWhole(compared, savedWhole)) << "what is on disk is the start of the whole file";
        }

        if (c.box.text == nullptr) {
            EXPECT_TRUE(fakePlatform.boxes.empty()) << fakePlatform.boxes.front().text;
        } else if (fakePlatform.boxes.size() != 1) {
            ADD_FAILURE() << fakePlatform.boxes.size() << " message boxes instead of one";
        } else {
            const FakeMessageBox &box = fakePlatform.boxes[0];
            EXPECT_EQ(box.text, c.box.text);
            EXPECT_EQ(box.hasCaption, c.box.caption != nullptr);
            if (c.box.caption != nullptr) {
                EXPECT_EQ(box.caption, c.box.caption);
            }
            EXPECT_EQ(box.owner, 0);
        }

        // Whatever happened, the transfer's memory came back and the host holds no row.
        EXPECT_EQ(fakeHost.liveBuffers, 0);
        EXPECT_EQ(fakePlatform.memory.heapBlocks, 0);
        EXPECT_EQ(fakeHost.allocateCalls, fakeHost.freeCalls + (c.fault == Fault::noRowBuffer ? 1 : 0));
        if (c.fault == Fault::noSessionRecord || c.fault == Fault::noSessionBlock) {
            EXPECT_EQ(fakeHost.dataSlot, 0);
            EXPECT_EQ(fakePlatform.memory.fixedBlocks, 0) << "a half-made session is released";
        }
        // By value: the packed record's pointer is not aligned for the reference EXPECT_EQ takes.
        EXPECT_TRUE(fakeHost.record.data == nullptr);
        if (c.expected == userCanceledErr && c.advances == 0 && opens(c.operation)) {
            EXPECT_EQ(in.readCalls, 1) << "only FilterFile read, before the services were found wanting";
        }
    }
}

} // namespace
