// The size estimate, header composition and writing of rows, on the fake platform.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "entry/entry.h"
#include "fits/header_format.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"
#include "tests/fits_builders.h"

namespace {

constexpr PlatformFile inFile = 3;
constexpr PlatformFile outFile = 4;

std::vector<uint8_t> samples16(const std::vector<uint16_t> &values) {
    std::vector<uint8_t> bytes(values.size() * 2);
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

struct FitsWrite : ::testing::Test {
    void SetUp() override {
        resetFakeHost(outFile);
        resetFakePlatform();
        addFakeFile(outFile, {});
    }
    void TearDown() override { resetFakeHost(); }

    FakeFile &out() { return fakePlatform.files[outFile]; }
    PluginGlobals *session() {
        return static_cast<PluginGlobals *>(reinterpret_cast<LocalHandle *>(fakeHost.dataSlot)->block);
    }
    // The host's save sequence; returns the first failing code.
    OSErr save() {
        fakeHost.record.dataFork = outFile;
        for (int16_t selector : {formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorEstimatePrepare,
                                 formatSelectorEstimateStart, formatSelectorWritePrepare, formatSelectorWriteStart}) {
            OSErr result = callModule(selector);
            if (result != noErr)
                return result;
        }
        return callModule(formatSelectorWriteFinish);
    }
    void open(const std::vector<std::string> &cards, const std::vector<uint8_t> &data) {
        std::vector<uint8_t> bytes = bytesOf(headerOf(cards));
        bytes.insert(bytes.end(), data.begin(), data.end());
        addFakeFile(inFile, bytes);
        fakeHost.record.dataFork = inFile;
        ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
        ASSERT_EQ(callModule(formatSelectorReadContinue), noErr);
    }
    std::string outCard(size_t n) { return cardIn(out().bytes, n); }
    std::vector<uint8_t> outData(size_t headerBlocks, size_t bytes) {
        auto first = out().bytes.begin() + static_cast<long>(headerBlocks * 2880);
        return std::vector<uint8_t>(first, first + static_cast<long>(bytes));
    }
};

TEST_F(FitsWrite, FreshSixteenBitHeaderByteForByte) {
    setHostImage(480, 640, 16, 1, std::vector<uint8_t>(480 * 640 * 2, 0));
    ASSERT_EQ(save(), noErr);
    std::string expected = headerOf({rawCard("SIMPLE  =                    T"), rawCard("BITPIX  =                   16"),
                                     rawCard("NAXIS   =                    2"), rawCard("NAXIS1  =                  640"),
                                     rawCard("NAXIS2  =                  480"), rawCard("BZERO   =              32768.0"),
                                     rawCard("BSCALE  =                    1"), std::string(attributionCard, 80),
                                     rawCard("END")});
    ASSERT_GE(out().bytes.size(), 2880u);
    EXPECT_EQ(std::string(out().bytes.begin(), out().bytes.begin() + 2880), expected);
    EXPECT_EQ(out().writeCounts.front(), 2880) << "the header is one write";
    EXPECT_EQ(out().bytes.size(), 2880u + 616320) << "614400 data bytes padded to whole blocks";
    EXPECT_EQ(fakeHost.record.minDataBytes, static_cast<int32_t>(out().bytes.size()));
    EXPECT_EQ(fakeHost.record.maxDataBytes, fakeHost.record.minDataBytes);
    EXPECT_EQ(session()->retainedHeader[0], 0) << "a fresh header is never retained";
}

TEST_F(FitsWrite, FreshEightBitHeaderSaysZeroOffset) {
    setHostImage(2, 3, 8, 1, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(outCard(5), rawCard("BZERO   =                  0.0"));
    EXPECT_EQ(outData(1, 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6})) << "8-bit rows are written as given";
    EXPECT_EQ(out().bytes.size(), 5760u) << "the data unit is padded to a whole block";
    EXPECT_EQ(out().bytes.back(), 0);
    EXPECT_EQ(fakeHost.record.minDataBytes, 5760);
}

TEST_F(FitsWrite, SixteenBitSamplesAreStoredMinus32768BigEndian) {
    setHostImage(1, 4, 16, 1, samples16({0, 1, 32768, 65535}));
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(outData(1, 8), (std::vector<uint8_t>{0x80, 0x00, 0x80, 0x01, 0x00, 0x00, 0x7F, 0xFF}));
    ASSERT_EQ(fakeHost.advanceCalls.size(), 1u);
    EXPECT_EQ(fakeHost.advanceCalls[0].rowBytes, 8);
    EXPECT_EQ(fakeHost.advanceCalls[0].colBytes, 2);
    EXPECT_EQ(fakeHost.progressCalls, (std::vector<std::pair<int32_t, int32_t>>{{1, 1}}));
    EXPECT_TRUE(fakeHost.record.data == nullptr);
    EXPECT_EQ(fakeHost.record.theRect.right, 0) << "an empty rectangle ends the hand-over";
    EXPECT_EQ(fakeHost.liveBuffers, 0);
}

// An editor ('8BIM') hands 16-bit samples on 0 … 32768: each is brought to 0 … 65535 before it
// is stored (32768 as 7F FF), and values past the scale are held; 8-bit rows and other hosts'
// 16-bit rows are stored as ever.
TEST_F(FitsWrite, AnEditorsSixteenBitSamplesAreBroughtToFullRange) {
    const std::vector<uint16_t> host = {0, 1, 16384, 16385, 32767, 32768, 40000, 65535};
    const struct Case {
        OSType signature;
        int16_t depth;
        std::vector<uint8_t> stored;
    } cases[] = {
        {editorSignature, 16, {0x80, 0, 0x80, 2, 0, 0, 0, 1, 0x7F, 0xFD, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF}},
        {fakeHostSignature, 16, {0x80, 0, 0x80, 1, 0xC0, 0, 0xC0, 1, 0xFF, 0xFF, 0, 0, 0x1C, 0x40, 0x7F, 0xFF}},
        {editorSignature, 8, {0, 0, 1, 0, 0, 0x40, 1, 0x40, 0xFF, 0x7F, 0, 0x80, 0x40, 0x9C, 0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        SetUp();
        fakeHost.record.hostSig = c.signature;
        std::vector<uint8_t> pixels = samples16(host);
        setHostImage(1, static_cast<int16_t>(16 / (c.depth / 8)), c.depth, 1, pixels);
        ASSERT_EQ(save(), noErr);
        EXPECT_EQ(outData(1, 16), c.stored) << std::hex << c.signature << ", " << std::dec << c.depth << " bits";
    }
}

TEST_F(FitsWrite, SeveralPlanesMakeACubeWrittenPlaneAfterPlane) {
    setHostImage(2, 1, 8, 3, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(outCard(2), rawCard("NAXIS   =                    3"));
    EXPECT_EQ(outCard(5), rawCard("NAXIS3  =                    3"));
    EXPECT_EQ(outCard(6), rawCard("BZERO   =                  0.0"));
    EXPECT_EQ(outCard(8), std::string(attributionCard, 80));
    EXPECT_EQ(outCard(9), rawCard("END"));
    EXPECT_EQ(outData(1, 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(fakeHost.advanceCalls.size(), 6u);
    EXPECT_EQ(fakeHost.advanceCalls[4].loPlane, 2);
    EXPECT_EQ(fakeHost.advanceCalls[4].hiPlane, 2);
    EXPECT_EQ(fakeHost.advanceCalls[4].rect.top, 0);
    EXPECT_EQ(fakeHost.progressCalls.back(), std::make_pair(6, 6));
}

TEST_F(FitsWrite, RoundTripKeepsEveryOtherCardAndMakesTheHeaderTrue) {
    std::vector<std::string> cards = {valueCard("SIMPLE", "T", "conforms"), valueCard("BITPIX", "16", "signed"),
                                      valueCard("NAXIS", "2"), valueCard("NAXIS1", "1024", "width"),
                                      valueCard("NAXIS2", "1"), valueCard("BSCALE", "2.0", "scaled"),
                                      valueCard("OBJECT", "'M31     '", "target")};
    cards = withEndAt(cards, 50); // two blocks
    open(cards, std::vector<uint8_t>(2048, 0));
    setHostImage(2, 80, 16, 1, samples16(std::vector<uint16_t>(160, 40000)));
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(outCard(0), cards[0]);
    EXPECT_EQ(outCard(1).substr(0, 30), rawCard("BITPIX  =                   16").substr(0, 30));
    EXPECT_EQ(outCard(3), rawCard("NAXIS1  =                   80 / width"));
    EXPECT_EQ(outCard(4), rawCard("NAXIS2  =                    2"));
    EXPECT_EQ(outCard(5), rawCard("BSCALE  =                    1 / scaled"));
    EXPECT_EQ(outCard(6), cards[6]);
    for (size_t n = 7; n < 49; ++n)
        EXPECT_EQ(outCard(n), cards[n]) << n;
    EXPECT_EQ(outCard(49), rawCard("BZERO   =              32768.0")) << "inserted before END";
    EXPECT_EQ(outCard(50), rawCard("END"));
    EXPECT_EQ(outCard(51), blankCard());
    EXPECT_EQ(outData(2, 2), (std::vector<uint8_t>{0x1C, 0x40})) << "40000 - 32768";
    EXPECT_EQ(out().bytes.size(), 5760u + 2880);
    EXPECT_EQ(fakeHost.record.minDataBytes, 5760 + 2880);
    EXPECT_EQ(cardIn(session()->retainedHeader, 49), outCard(49)) << "the retained header holds the new values";
}

TEST_F(FitsWrite, OnlyWholeKeywordsAreRewritten) {
    std::vector<std::string> cards = imageCards(16, 4, 1);
    cards.push_back(valueCard("NAXIS10", "7", "not an axis of this image"));
    cards.push_back(valueCard("BZERO2", "5"));
    cards.push_back(valueCard("BITPIXEL", "3"));
    open(withEndAt(cards, 9), std::vector<uint8_t>(8, 0));
    setHostImage(1, 4, 16, 1, std::vector<uint8_t>(8, 0));
    ASSERT_EQ(save(), noErr);
    for (size_t n = 5; n < 8; ++n)
        EXPECT_EQ(outCard(n), cards[n]) << n;
}

TEST_F(FitsWrite, TwoSavesInARowStartFromTheFirstSavesValues) {
    open(withEndAt(imageCards(8, 4, 1), 8), {1, 2, 3, 4});
    setHostImage(1, 640, 8, 1, std::vector<uint8_t>(640, 7));
    ASSERT_EQ(save(), noErr);
    std::vector<uint8_t> first = out().bytes;
    addFakeFile(outFile, {});
    setHostImage(1, 640, 8, 1, std::vector<uint8_t>(640, 7));
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes, first);
    EXPECT_EQ(outCard(3), rawCard("NAXIS1  =                  640"));
}

TEST_F(FitsWrite, PlanesAreAddedToAndRemovedFromTheRetainedHeader) {
    open(withEndAt(imageCards(8, 2, 1), 10), {1, 2});
    setHostImage(1, 2, 8, 3, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(outCard(2), rawCard("NAXIS   =                    3"));
    EXPECT_EQ(outCard(5), rawCard("NAXIS3  =                    3")) << "inserted after NAXIS2";
    addFakeFile(outFile, {});
    setHostImage(1, 2, 8, 1, {1, 2});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(outCard(2), rawCard("NAXIS   =                    2"));
    EXPECT_NE(outCard(5).substr(0, 8), "NAXIS3  ") << "removed for one plane";
}

TEST_F(FitsWrite, AFullRetainedHeaderGrowsByABlockAndStaysKept) {
    open(withEndAt(imageCards(8, 2, 1), 144), {1, 2});
    setHostImage(1, 2, 8, 1, {5, 6});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes.size(), 5u * 2880 + 2880);
    EXPECT_EQ(outCard(143).substr(0, 8), "BZERO   ") << "inserted where END stood";
    EXPECT_EQ(outCard(145), rawCard("END"));
    EXPECT_TRUE(fakePlatform.boxes.empty());
    EXPECT_EQ(fakeHost.record.minDataBytes, 6 * 2880) << "the estimate knew of the fifth block";
    addFakeFile(outFile, {});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes.size(), 5u * 2880 + 2880) << "the kept header has its five blocks";
}

TEST_F(FitsWrite, RetainedHeaderSizeComesFromItsOwnEndCard) {
    open(withEndAt(imageCards(8, 2, 1), 40), {1, 2});
    closeFakeDocument(); // saves of a document without a record take the retained header
    setHostImage(1, 2, 8, 1, {5, 6});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes.size(), 2u * 2880 + 2880);
    EXPECT_EQ(fakeHost.record.minDataBytes, 3 * 2880);
    // A retained header whose END was lost counts as none.
    int16_t end = findEndCard(session()->retainedHeader, maxHeaderCards);
    ASSERT_GT(end, 0);
    std::memset(session()->retainedHeader + end * 80, 'X', 80);
    addFakeFile(outFile, {});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes.size(), 5760u) << "a fresh header";
}

TEST_F(FitsWrite, UnsupportedDepthsAndShapesAreNotSaved) {
    struct Case {
        int16_t rows, columns, depth, planes;
    } cases[] = {{2, 2, 1, 1}, {2, 2, 32, 1}, {2, 0, 8, 1}, {-1, 2, 8, 1}, {2, 2, 16, 0}};
    for (const Case &c : cases) {
        SetUp();
        setHostImage(c.rows, c.columns, c.depth, c.planes, std::vector<uint8_t>(64, 0));
        fakeHost.record.minDataBytes = -7;
        EXPECT_EQ(callModule(formatSelectorEstimateStart), formatBadParameters) << c.depth;
        EXPECT_EQ(fakeHost.record.minDataBytes, -7);
        EXPECT_EQ(callModule(formatSelectorWriteStart), formatBadParameters) << c.depth;
        EXPECT_TRUE(out().bytes.empty());
        ASSERT_EQ(fakePlatform.boxes.size(), 2u);
        EXPECT_TRUE(readsAsSentence(fakePlatform.boxes[0].text)) << fakePlatform.boxes[0].text;
        if (c.depth != 8 && c.depth != 16) {
            EXPECT_NE(fakePlatform.boxes[0].text.find(std::to_string(c.depth) + " bits"), std::string::npos);
        }
    }
}

TEST_F(FitsWrite, EstimateIsExactAndCappedAtTheLargestCount) {
    setHostImage(50, 100, 16, 1, {});
    ASSERT_EQ(callModule(formatSelectorEstimateStart), noErr);
    EXPECT_EQ(fakeHost.record.minDataBytes, 2880 + 11520) << "10000 data bytes padded to four blocks";
    EXPECT_TRUE(fakeHost.record.data == nullptr);
    setHostImage(32767, 32767, 16, 3, {});
    ASSERT_EQ(callModule(formatSelectorEstimateStart), noErr);
    EXPECT_EQ(fakeHost.record.minDataBytes, INT32_MAX);
    EXPECT_EQ(fakeHost.record.maxDataBytes, INT32_MAX);
}

TEST_F(FitsWrite, ZeroRowsWriteTheHeaderAlone) {
    setHostImage(0, 5, 8, 1, {});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes.size(), 2880u);
    EXPECT_TRUE(fakeHost.advanceCalls.empty());
    EXPECT_TRUE(fakeHost.progressCalls.empty());
    EXPECT_EQ(fakeHost.record.minDataBytes, 2880);
}

TEST_F(FitsWrite, WritingStartsAtTheFirstByte) {
    addFakeFile(outFile, std::vector<uint8_t>(9000, 0xEE));
    out().position = 4000;
    setHostImage(1, 2, 8, 1, {1, 2});
    ASSERT_EQ(save(), noErr);
    EXPECT_EQ(out().bytes[0], 'S');
    EXPECT_EQ(outData(1, 2), (std::vector<uint8_t>{1, 2}));
}

TEST_F(FitsWrite, FailuresStopTheSaveWithTheirCodes) {
    struct Case {
        const char *what;
        int failWrite, shortWrite, cancelAt;
        int64_t capacity;
        OSErr expected;
        size_t advances, progress, bytesOnDisk;
    } cases[] = {
        {"header write fails", 1, 0, 0, -1, writErr, 0, 0, 0},
        {"disk full in the header", 0, 0, 0, 1000, dskFulErr, 0, 0, 1000},
        {"row 3 write fails", 4, 0, 0, -1, writErr, 3, 3, 2880 + 2 * 4},
        {"disk full in row 3", 0, 0, 0, 2880 + 2 * 4 + 1, eofErr, 3, 3, 2880 + 2 * 4 + 1},
        {"short padding", 0, 6, 0, -1, eofErr, 4, 4, 2880 + 16 + 2863},
        {"padding fails", 6, 0, 0, -1, writErr, 4, 4, 2880 + 16},
        {"cancel at row 3", 0, 0, 3, -1, userCanceledErr, 3, 3, 2880 + 2 * 4},
    };
    for (const Case &c : cases) {
        SetUp();
        out().failWriteCall = c.failWrite;
        out().shortWriteCall = c.shortWrite;
        out().capacity = c.capacity;
        fakeHost.advanceFailCall = c.cancelAt;
        setHostImage(4, 4, 8, 1, std::vector<uint8_t>(16, 3));
        EXPECT_EQ(save(), c.expected) << c.what;
        EXPECT_EQ(fakeHost.advanceCalls.size(), c.advances) << c.what;
        EXPECT_EQ(fakeHost.progressCalls.size(), c.progress) << c.what;
        EXPECT_EQ(out().bytes.size(), c.bytesOnDisk) << c.what;
        EXPECT_EQ(fakeHost.liveBuffers, 0) << c.what;
    }
}

TEST_F(FitsWrite, MissingRowBufferLeavesTheHeaderOnly) {
    fakeHost.allocateResult = memFullErr;
    setHostImage(2, 2, 8, 1, {1, 2, 3, 4});
    EXPECT_EQ(save(), memFullErr);
    EXPECT_EQ(out().bytes.size(), 2880u);
    EXPECT_TRUE(fakeHost.advanceCalls.empty());
    EXPECT_TRUE(fakeHost.record.data == nullptr);
}

TEST_F(FitsWrite, MissingServicesStopEstimateAndWriteBeforeTheFile) {
    fakeHost.handleProcs.handleProcsVersion = 2;
    setHostImage(1, 1, 8, 1, {1});
    fakeHost.record.minDataBytes = -3;
    EXPECT_EQ(callModule(formatSelectorEstimateStart), userCanceledErr);
    EXPECT_EQ(fakeHost.record.minDataBytes, -3);
    EXPECT_EQ(callModule(formatSelectorWriteStart), userCanceledErr);
    EXPECT_TRUE(out().bytes.empty());
    EXPECT_EQ(fakePlatform.boxes.size(), 2u);
}

} // namespace

namespace {

// Doubles at both ends of their range need a BSCALE of 2.7e303 and reach beyond the largest
// double on the way back: such a save is refused, not written with an infinite BZERO.
TEST_F(FitsWrite, DataSpanningTheWholeDoubleRangeAreNotSaved) {
    std::vector<uint8_t> data;
    for (uint64_t bits : {0x7FEFFFFFFFFFFFFFull, 0xFFEFFFFFFFFFFFFFull})
        for (int shift = 56; shift >= 0; shift -= 8)
            data.push_back(static_cast<uint8_t>(bits >> shift));
    std::vector<std::string> cards = imageCards(-64, 2, 1);
    cards.push_back(rawCard("END"));
    open(cards, data);
    setHostImage(1, 2, 16, 1, std::vector<uint8_t>(fakeHost.image));
    EXPECT_EQ(save(), formatBadParameters);
    ASSERT_EQ(fakePlatform.boxes.size(), 1u);
    EXPECT_NE(fakePlatform.boxes[0].text.find("too wide"), std::string::npos) << fakePlatform.boxes[0].text;
    EXPECT_TRUE(out().bytes.empty());
}

} // namespace

namespace {

// END in the last slot of a 1000-block header: the BZERO and BSCALE a save inserts would make
// a header of 1001 blocks, which no open could read again.
TEST_F(FitsWrite, AKeptHeaderPushedPastTheLimitIsNotSaved) {
    open(withEndAt(imageCards(8, 2, 1), 1000 * 36), {1, 2});
    setHostImage(1, 2, 8, 1, {5, 6});
    EXPECT_EQ(save(), formatBadParameters);
    ASSERT_EQ(fakePlatform.boxes.size(), 1u);
    EXPECT_NE(fakePlatform.boxes[0].text.find("1001 blocks"), std::string::npos) << fakePlatform.boxes[0].text;
    EXPECT_TRUE(out().bytes.empty());
    EXPECT_EQ(fakePlatform.memory.fixedBlocks, 3) << "the session, its handle and the kept header alone";
}

} // namespace
