// Recognising files, reading headers and handing rows to the host, on the fake platform.
#include <gtest/gtest.h>

#include <cstring>

#include "entry/entry.h"
#include "fits/header_format.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"
#include "tests/fits_builders.h"

namespace {

constexpr PlatformFile theFile = 7;

struct FitsRead : ::testing::Test {
    void SetUp() override {
        resetFakeHost(theFile);
        resetFakePlatform();
    }
    void TearDown() override { resetFakeHost(); }

    FakeFile &file() { return fakePlatform.files[theFile]; }
    PluginGlobals *session() {
        return static_cast<PluginGlobals *>(reinterpret_cast<LocalHandle *>(fakeHost.dataSlot)->block);
    }
    void useFile(const std::string &header, const std::vector<uint8_t> &data = {}) {
        std::vector<uint8_t> bytes = bytesOf(header);
        bytes.insert(bytes.end(), data.begin(), data.end());
        addFakeFile(theFile, bytes);
    }
    std::string retainedCard(size_t n) { return cardIn(session()->retainedHeader, n); }
};

TEST_F(FitsRead, FilterFileAcceptsOnlyASimpleCard) {
    struct Case {
        std::string first;
        OSErr expected;
    } cases[] = {
        {valueCard("SIMPLE", "T"), noErr},
        {valueCard("SIMPLE", "F"), noErr},
        {rawCard("SIMPLE =                    T"), formatCannotRead},
        {rawCard("simple  =                    T"), formatCannotRead},
        {valueCard("XTENSION", "'IMAGE   '"), formatCannotRead},
    };
    for (const Case &c : cases) {
        useFile(headerOf({c.first, rawCard("END")}));
        file().position = 1000;
        EXPECT_EQ(callModule(formatSelectorFilterFile), c.expected) << c.first;
        EXPECT_EQ(file().position, 80) << "read from byte 0";
    }
    EXPECT_TRUE(fakePlatform.boxes.empty());
}

TEST_F(FitsRead, FileShorterThanOneCardEndsWithEofErr) {
    addFakeFile(theFile, bytesOf(std::string(50, 'S')));
    EXPECT_EQ(callModule(formatSelectorFilterFile), eofErr);
    EXPECT_EQ(callModule(formatSelectorReadStart), eofErr);
    EXPECT_TRUE(fakePlatform.boxes.empty());
}

TEST_F(FitsRead, OneBlockHeaderReportsImageAndRetainsItWithAttribution) {
    std::vector<std::string> cards = imageCards(16, 100, 50);
    cards.push_back(rawCard("END"));
    // Signed 16-bit data take a first pass, so the file holds its data.
    useFile(headerOf(cards), std::vector<uint8_t>(100 * 50 * 2));
    fakeHost.record.imageRsrcData = reinterpret_cast<Handle>(0x55);
    fakeHost.record.imageRsrcSize = 9;
    ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    const FormatRecord &r = fakeHost.record;
    EXPECT_EQ(r.imageSize.v, 50);
    EXPECT_EQ(r.imageSize.h, 100);
    EXPECT_EQ(r.depth, 16);
    EXPECT_EQ(r.planes, 1);
    EXPECT_EQ(r.imageMode, plugInModeGrayScale);
    EXPECT_EQ(r.imageRsrcData, nullptr);
    EXPECT_EQ(r.imageRsrcSize, 0);
    EXPECT_EQ(session()->keptImage.bytesPerSample, 2);
    EXPECT_EQ(session()->keptImage.bzero, 0.0f);
    EXPECT_EQ(session()->keptImage.bscale, 1.0f);
    EXPECT_EQ(keptHeader(session()).blocks, 1);
    EXPECT_EQ(file().position, 2880);
    for (size_t n = 0; n < 5; ++n)
        EXPECT_EQ(retainedCard(n), cards[n]);
    EXPECT_EQ(retainedCard(5), std::string(attributionCard, 80));
    EXPECT_EQ(retainedCard(6), rawCard("END"));
    for (size_t n = 7; n < 36; ++n)
        EXPECT_EQ(retainedCard(n), blankCard()) << n;
    EXPECT_EQ(session()->retainedHeader[2880], 0) << "only one block retained";
}

// maxValue tells the host the range of the 16-bit samples it is handed, whatever its own
// scale; for other depths the field is not the module's to set.
TEST_F(FitsRead, MaxValueIsSetForSixteenBitsAndLeftAloneForEight) {
    const struct Case {
        int bitpix;
        OSType host;
        int32_t maxValue;
    } cases[] = {{16, fakeHostSignature, 65535}, {16, editorSignature, 65535},
                 {8, fakeHostSignature, 777},    {8, editorSignature, 777}};
    for (const Case &c : cases) {
        SetUp();
        fakeHost.record.hostSig = c.host;
        fakeHost.record.maxValue = 777;
        std::vector<std::string> cards = imageCards(c.bitpix, 4, 2);
        cards.push_back(rawCard("END"));
        useFile(headerOf(cards), std::vector<uint8_t>(16));
        ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
        EXPECT_EQ(fakeHost.record.maxValue, c.maxValue) << c.bitpix << " bits, host " << std::hex << c.host;
    }
}

TEST_F(FitsRead, AttributionCardIsNotDuplicated) {
    std::vector<std::string> cards = imageCards(8, 4, 4);
    cards.push_back(rawCard("KORVALIS= Photoshop Plugin by an older, unquoted credit"));
    cards.push_back(rawCard("END"));
    useFile(headerOf(cards));
    ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    EXPECT_EQ(retainedCard(5), cards[5]);
    EXPECT_EQ(retainedCard(6), rawCard("END"));
    EXPECT_EQ(retainedCard(7), blankCard());
}

TEST_F(FitsRead, EndPositionDecidesBlocksAndAttribution) {
    struct Case {
        size_t endCard;
        int blocks;
        bool inserted;
    } cases[] = {{35, 1, true}, {36, 1, false}, {37, 2, false}, {109, 4, false}, {144, 4, false}};
    for (const Case &c : cases) {
        SetUp();
        useFile(headerOf(withEndAt(imageCards(8, 3, 2), c.endCard)), std::vector<uint8_t>(6, 9));
        ASSERT_EQ(callModule(formatSelectorReadStart), noErr) << c.endCard;
        EXPECT_EQ(keptHeader(session()).blocks, c.blocks) << c.endCard;
        EXPECT_EQ(file().position, 2880 * c.blocks) << c.endCard;
        if (c.inserted) {
            EXPECT_EQ(retainedCard(c.endCard - 1), std::string(attributionCard, 80));
            EXPECT_EQ(retainedCard(c.endCard), rawCard("END"));
        } else {
            EXPECT_EQ(retainedCard(c.endCard - 1), rawCard("END")) << c.endCard;
        }
        EXPECT_EQ(callModule(formatSelectorReadContinue), noErr);
        EXPECT_EQ(fakeHost.image, std::vector<uint8_t>(6, 9)) << "the data start after the last block";
    }
}

TEST_F(FitsRead, HeaderWithoutEndIsAFileEndingInItsHeader) {
    std::vector<std::string> cards = imageCards(8, 3, 2);
    while (cards.size() < 200)
        cards.push_back(rawCard("COMMENT no end yet"));
    useFile(headerOf(cards));
    callModule(formatSelectorReadFinish);
    session()->retainedHeader[0] = 'S';
    EXPECT_EQ(callModule(formatSelectorReadStart), eofErr);
    EXPECT_TRUE(fakePlatform.boxes.empty());
    EXPECT_EQ(session()->retainedHeader[1], 0) << "the retained header is untouched";
}

TEST_F(FitsRead, FirstCardThatIsNotSimpleIsAHeaderFailure) {
    useFile(headerOf({valueCard("SIMPLER", "T"), rawCard("END")}));
    EXPECT_EQ(callModule(formatSelectorReadStart), formatCannotRead);
    ASSERT_EQ(fakePlatform.boxes.size(), 1u);
    EXPECT_EQ(fakePlatform.boxes[0].caption, "Header Check");
    EXPECT_EQ(fakePlatform.boxes[0].text, "Header Failure");
}

TEST_F(FitsRead, FileEndingInsideTheHeaderGivesTheReadCodeSilently) {
    std::string header = headerOf(withEndAt(imageCards(16, 4, 4), 30));
    useFile(header.substr(0, 800));
    EXPECT_EQ(callModule(formatSelectorReadStart), eofErr);
    EXPECT_TRUE(fakePlatform.boxes.empty());
    useFile(header);
    file().failReadCall = 4;
    EXPECT_EQ(callModule(formatSelectorReadStart), readErr);
}

TEST_F(FitsRead, UnsupportedHeadersAreRefusedAndNamed) {
    // An empty primary HDU, then the cards of an extension.
    auto afterEmptyPrimary = [](std::vector<std::string> extension) {
        std::vector<std::string> cards = withEndAt({valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"),
                                                    valueCard("NAXIS", "0"), valueCard("EXTEND", "T")},
                                                   36);
        cards.insert(cards.end(), extension.begin(), extension.end());
        return cards;
    };
    struct Case {
        std::vector<std::string> cards;
        std::string says;
    } cases[] = {
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "-32"), valueCard("NAXIS", "2"), valueCard("NAXIS1", "0"),
          valueCard("NAXIS2", "3"), valueCard("GROUPS", "T"), valueCard("PCOUNT", "0"), valueCard("GCOUNT", "1")},
         "The file holds random groups"},
        {afterEmptyPrimary({rawCard("XTENSION= 'BINTABLE'"), valueCard("BITPIX", "8"), valueCard("NAXIS", "2"),
                            valueCard("NAXIS1", "8"), valueCard("NAXIS2", "0"), valueCard("PCOUNT", "0"),
                            valueCard("GCOUNT", "1"), valueCard("ZIMAGE", "T"), rawCard("ZCMPTYPE= 'RICE_1'")}),
         "HDU 1: ZBITPIX is missing: a tile-compressed image must say its BITPIX."},
        {{valueCard("SIMPLE", "T"), valueCard("NAXIS", "2"), valueCard("NAXIS1", "4"), valueCard("NAXIS2", "4")},
         "BITPIX is missing"},
        {imageCards(12, 4, 4), "BITPIX is 12"},
        {imageCards(-16, 4, 4), "BITPIX is -16"},
        {imageCards(1, 4, 4), "BITPIX is 1"},
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "16"), valueCard("NAXIS", "3"), valueCard("NAXIS1", "4"),
          valueCard("NAXIS2", "4"), valueCard("NAXIS3", "25")},
         "NAXIS3 is 25: a cube of 25 planes"},
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "-32"), valueCard("NAXIS", "3"), valueCard("NAXIS1", "4"),
          valueCard("NAXIS2", "4"), valueCard("NAXIS3", "0")},
         "NAXIS3 is 0"},
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "32"), valueCard("NAXIS", "4"), valueCard("NAXIS1", "4"),
          valueCard("NAXIS2", "4"), valueCard("NAXIS3", "1"), valueCard("NAXIS4", "2")},
         "NAXIS4 is 2"},
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "1"), valueCard("NAXIS1", "4")},
         "NAXIS is 1"},
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "16"), valueCard("NAXIS", "0")}, "NAXIS is 0"},
        {imageCards(16, 777777701, 4), "NAXIS1 is 777777701"},
        {imageCards(16, 0, 4), "NAXIS1 is 0"},
        {imageCards(16, 32768, 4), "NAXIS1 is 32768"},
        {imageCards(8, 4, 65537), "NAXIS2 is 65537"},
        {{valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "2"), valueCard("NAXIS1", "4")},
         "NAXIS2 is missing"},
    };
    for (const Case &c : cases) {
        SetUp();
        std::vector<std::string> cards = c.cards;
        cards.push_back(rawCard("END"));
        useFile(headerOf(cards));
        fakeHost.record.imageSize = Point{11, 22};
        fakeHost.record.depth = 99;
        EXPECT_EQ(callModule(formatSelectorReadStart), formatCannotRead) << c.says;
        ASSERT_EQ(fakePlatform.boxes.size(), 1u) << c.says;
        EXPECT_EQ(fakePlatform.boxes[0].caption, "Header Check");
        EXPECT_EQ(fakePlatform.boxes[0].text.rfind(c.says, 0), 0u) << fakePlatform.boxes[0].text;
        EXPECT_TRUE(readsAsSentence(fakePlatform.boxes[0].text)) << fakePlatform.boxes[0].text;
        EXPECT_EQ(fakeHost.record.imageSize.v, 11) << "a refused header gives the host no geometry";
        EXPECT_EQ(fakeHost.record.imageSize.h, 22);
        EXPECT_EQ(fakeHost.record.depth, 99);
        EXPECT_EQ(session()->retainedHeader[0], 0);
    }
}

// A table whose BITPIX and NAXIS1 give a size beyond 64 bits claims more than any file holds:
// the walk ends there rather than at a wrapped-around offset.
TEST_F(FitsRead, ATableOfASizeBeyondAnyFileEndsTheWalk) {
    std::string bytes = headerOf({valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "0"),
                                  rawCard("END")});
    bytes += headerOf({rawCard("XTENSION= 'BINTABLE'"), valueCard("BITPIX", "1099511627776"), valueCard("NAXIS", "1"),
                       valueCard("NAXIS1", "4503599627370495"), rawCard("END")});
    bytes += headerOf({rawCard("XTENSION= 'IMAGE   '"), valueCard("BITPIX", "8"), valueCard("NAXIS", "2"),
                       valueCard("NAXIS1", "1"), valueCard("NAXIS2", "1"), rawCard("END")});
    useFile(bytes, std::vector<uint8_t>(2880, 0));
    EXPECT_EQ(callModule(formatSelectorReadStart), formatCannotRead);
    ASSERT_EQ(fakePlatform.boxes.size(), 1u);
    EXPECT_EQ(fakePlatform.boxes[0].text, "The file holds no image: an empty primary HDU and 1 binary table.");
}

TEST_F(FitsRead, CardsAfterEndAreKeptButNotInterpreted) {
    std::vector<std::string> cards = imageCards(8, 4, 2);
    cards.push_back(rawCard("END"));
    cards.push_back(valueCard("NAXIS1", "9"));
    cards.push_back(valueCard("BITPIX", "16"));
    useFile(headerOf(cards));
    ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    EXPECT_EQ(fakeHost.record.imageSize.h, 4);
    EXPECT_EQ(fakeHost.record.depth, 8);
    EXPECT_EQ(retainedCard(7), cards[6]) << "stored behind END as read";
}

TEST_F(FitsRead, ValuesAreReadFromColumns11To30) {
    struct Case {
        std::string bzeroValue;
        float expected;
    } cases[] = {{"+1.5E2", 150.0f}, {"", 0.0f}, {"-2.5e-1", -0.25f}, {"1.5D2", 150.0f},
                 {"32768.", 32768.0f}, {".5", 0.5f}, {"12abc", 12.0f}, {"1E", 1.0f}, {"-", 0.0f}};
    for (const Case &c : cases) {
        SetUp();
        std::vector<std::string> cards = imageCards(16, 4, 2);
        cards.push_back(valueCard("BZERO", c.bzeroValue));
        cards.push_back(rawCard("BSCALE  =                  2.0 5"));
        cards.push_back(rawCard("END"));
        useFile(headerOf(cards), std::vector<uint8_t>(16));
        ASSERT_EQ(callModule(formatSelectorReadStart), noErr) << c.bzeroValue;
        EXPECT_EQ(session()->keptImage.bzero, c.expected) << c.bzeroValue;
        EXPECT_EQ(session()->keptImage.bscale, 2.0f) << "a value ends at column 30";
    }
}

TEST_F(FitsRead, EachHeaderStartsFromZeroOffsetAndUnitScale) {
    std::vector<std::string> first = imageCards(16, 2, 1);
    first.push_back(valueCard("BZERO", "32768"));
    first.push_back(valueCard("BSCALE", "3"));
    first.push_back(rawCard("END"));
    useFile(headerOf(first), std::vector<uint8_t>(4));
    ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    EXPECT_EQ(session()->keptImage.bzero, 32768.0f);
    std::vector<std::string> second = imageCards(16, 2, 1);
    second.push_back(rawCard("END"));
    useFile(headerOf(second), std::vector<uint8_t>(4));
    ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    EXPECT_EQ(session()->keptImage.bzero, 0.0f);
    EXPECT_EQ(session()->keptImage.bscale, 1.0f);
}

TEST_F(FitsRead, ReadPrepareWarnsOnlyWhenAHeaderIsRetained) {
    EXPECT_EQ(callModule(formatSelectorReadPrepare), noErr);
    EXPECT_TRUE(fakePlatform.boxes.empty());
    std::vector<std::string> cards = imageCards(8, 2, 1);
    cards.push_back(rawCard("END"));
    useFile(headerOf(cards));
    ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    closeFakeDocument(); // the next open is another document's
    fakeHost.record.maxData = 321;
    EXPECT_EQ(callModule(formatSelectorReadPrepare), noErr);
    EXPECT_EQ(callModule(formatSelectorReadPrepare), noErr);
    ASSERT_EQ(fakePlatform.boxes.size(), 2u);
    EXPECT_EQ(fakePlatform.boxes[0].caption, "KORVALIS");
    EXPECT_EQ(fakePlatform.boxes[0].text, "Will Overwrite previous header!");
    EXPECT_EQ(fakePlatform.boxes[0].owner, 0);
    EXPECT_EQ(fakeHost.record.maxData, 321);
}

TEST_F(FitsRead, MissingHostServiceStopsReadStartBeforeTheFile) {
    useFile(headerOf({valueCard("SIMPLE", "T"), rawCard("END")}));
    fakeHost.record.advanceState = nullptr;
    EXPECT_EQ(callModule(formatSelectorReadStart), userCanceledErr);
    EXPECT_EQ(file().readCalls, 0);
    EXPECT_EQ(fakePlatform.boxes.size(), 1u);
}

// Rows: ReadContinue after a successful ReadStart.
struct FitsRows : FitsRead {
    void openWith(int bitpix, int columns, int rows, const std::vector<std::string> &extra,
                  const std::vector<uint8_t> &data) {
        std::vector<std::string> cards = imageCards(bitpix, columns, rows);
        cards.insert(cards.end(), extra.begin(), extra.end());
        cards.push_back(rawCard("END"));
        useFile(headerOf(cards), data);
        ASSERT_EQ(callModule(formatSelectorReadStart), noErr);
    }
    std::vector<uint16_t> hostSamples() {
        std::vector<uint16_t> samples(fakeHost.image.size() / 2);
        std::memcpy(samples.data(), fakeHost.image.data(), samples.size() * 2);
        return samples;
    }
};

// Unsigned data as stored; whole values in 0 ... 65535 as they are; anything else (negatives,
// fractions, values past 65535) the stored samples shifted, so that none is lost.
TEST_F(FitsRows, SixteenBitSamplesReachTheHostWithoutLoss) {
    struct Case {
        std::vector<std::string> coding;
        std::vector<uint8_t> stored;
        std::vector<uint16_t> host;
    } cases[] = {
        {{valueCard("BZERO", "32768"), valueCard("BSCALE", "1")}, {0x80, 0, 0x7F, 0xFF, 0, 0}, {0, 65535, 32768}},
        {{}, {0xFF, 0xFF, 0x00, 0x05, 0x7F, 0xFF}, {0, 6, 32768}},
        {{valueCard("BSCALE", "0"), valueCard("BZERO", "0")}, {0x12, 0x34, 0x00, 0x05, 0x00, 0x00}, {0x1234, 5, 0}},
        {{valueCard("BSCALE", "0.5")}, {0x00, 0x03, 0xFF, 0xFD, 0x00, 0x01}, {6, 0, 4}},
        {{valueCard("BSCALE", "2"), valueCard("BZERO", "1000")}, {0x7F, 0xFF, 0xFE, 0x0C, 0, 1}, {33267, 0, 501}},
        {{valueCard("BSCALE", "2"), valueCard("BZERO", "1000")}, {0x70, 0x00, 0xFE, 0x0C, 0, 1}, {58344, 0, 1002}},
        {{valueCard("BZERO", "-0.5")}, {0x00, 0x01, 0x00, 0x02, 0x00, 0x00}, {1, 2, 0}},
        {{valueCard("BLANK", "-1")}, {0xFF, 0xFF, 0x00, 0x05, 0x7F, 0xFF}, {0, 5, 32767}},
        {{valueCard("BLANK", "5")}, {0xFF, 0xFF, 0x00, 0x05, 0x7F, 0xFF}, {1, 0, 32769}},
    };
    for (const Case &c : cases) {
        SetUp();
        openWith(16, 3, 1, c.coding, c.stored);
        ASSERT_EQ(callModule(formatSelectorReadContinue), noErr);
        EXPECT_EQ(hostSamples(), c.host) << testing::PrintToString(c.stored);
    }
}

TEST_F(FitsRows, EveryRowIsHandedOverWithItsRectangleAndProgress) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 5 * 3; ++i)
        data.push_back(static_cast<uint8_t>(i + 1));
    openWith(8, 5, 3, {}, data);
    fakeHost.record.imageRsrcData = reinterpret_cast<Handle>(0x99);
    ASSERT_EQ(callModule(formatSelectorReadContinue), noErr);
    EXPECT_EQ(fakeHost.disposeCalls, 1);
    EXPECT_EQ(fakeHost.record.imageRsrcData, nullptr);
    ASSERT_EQ(fakeHost.advanceCalls.size(), 3u);
    for (int16_t row = 0; row < 3; ++row) {
        const AdvanceCall &call = fakeHost.advanceCalls[static_cast<size_t>(row)];
        EXPECT_EQ(call.rect.top, row);
        EXPECT_EQ(call.rect.bottom, row + 1);
        EXPECT_EQ(call.rect.left, 0);
        EXPECT_EQ(call.rect.right, 5);
        EXPECT_EQ(call.loPlane, 0);
        EXPECT_EQ(call.hiPlane, 0);
        EXPECT_EQ(call.colBytes, 1);
        EXPECT_EQ(call.rowBytes, 5);
        EXPECT_EQ(call.planeBytes, 0);
    }
    EXPECT_EQ(fakeHost.image, data) << "odd 8-bit rows pass unchanged, top row first";
    std::vector<std::pair<int32_t, int32_t>> progress{{1, 3}, {2, 3}, {3, 3}};
    EXPECT_EQ(fakeHost.progressCalls, progress);
    EXPECT_TRUE(fakeHost.record.data == nullptr);
    EXPECT_EQ(fakeHost.record.theRect.top | fakeHost.record.theRect.bottom | fakeHost.record.theRect.right, 0)
        << "an empty rectangle ends the hand-over";
    EXPECT_EQ(fakeHost.liveBuffers, 0);
    EXPECT_EQ(fakeHost.allocateSizes, std::vector<int32_t>{5});
    EXPECT_EQ(fakePlatform.memory.heapBlocks, 0);
    EXPECT_EQ(file().readCounts.back(), 5) << "one read per row";
}

TEST_F(FitsRows, FileEndingInsideRowKDeliversTheRowsBefore) {
    openWith(16, 4, 5, {valueCard("BZERO", "32768")}, std::vector<uint8_t>(2 * 8 + 3, 0x80));
    EXPECT_EQ(callModule(formatSelectorReadContinue), eofErr);
    EXPECT_EQ(fakeHost.advanceCalls.size(), 2u);
    EXPECT_EQ(fakeHost.progressCalls.size(), 3u);
    EXPECT_TRUE(fakeHost.record.data == nullptr);
    EXPECT_EQ(fakeHost.liveBuffers, 0);
}

TEST_F(FitsRows, FailuresEndTheTransferThroughTheResult) {
    struct Case {
        const char *what;
        int failRead, failScratch, cancelAt;
        OSErr allocate, expected;
        size_t advances, progress;
    } cases[] = {
        {"read fails in row 2", 7, 0, 0, noErr, readErr, 1, 2},
        // The pass takes its scratch row once, before the first row.
        {"no scratch for the rows", 0, 1, 0, noErr, memFullErr, 0, 0},
        {"host cancels at row 2", 0, 0, 2, noErr, userCanceledErr, 2, 2},
        {"no row buffer", 0, 0, 0, -42, -42, 0, 0},
    };
    for (const Case &c : cases) {
        SetUp();
        openWith(8, 2, 4, {}, std::vector<uint8_t>(8, 1));
        file().failReadCall = c.failRead; // the header took five reads
        file().readCalls = 0;
        if (c.failRead)
            file().failReadCall = 2;
        fakePlatform.memory.failHeapCall = c.failScratch;
        fakeHost.advanceFailCall = c.cancelAt;
        fakeHost.allocateResult = c.allocate;
        EXPECT_EQ(callModule(formatSelectorReadContinue), c.expected) << c.what;
        EXPECT_EQ(fakeHost.advanceCalls.size(), c.advances) << c.what;
        EXPECT_EQ(fakeHost.progressCalls.size(), c.progress) << c.what;
        EXPECT_TRUE(fakeHost.record.data == nullptr) << c.what;
        EXPECT_EQ(fakeHost.liveBuffers, 0) << c.what;
        EXPECT_EQ(fakePlatform.memory.heapBlocks, 0) << c.what;
    }
}

TEST_F(FitsRows, BufferWithoutAnAddressIsNoMemory) {
    openWith(8, 2, 2, {}, {1, 2, 3, 4});
    fakeHost.lockGivesNull = true;
    EXPECT_EQ(callModule(formatSelectorReadContinue), memFullErr);
    EXPECT_TRUE(fakeHost.advanceCalls.empty());
    EXPECT_EQ(fakeHost.liveBuffers, 0) << "the buffer the host granted is given back";
    fakeHost.record.dataFork = 4;
    addFakeFile(4, {});
    setHostImage(2, 2, 8, 1, {1, 2, 3, 4});
    EXPECT_EQ(callModule(formatSelectorWriteStart), memFullErr);
    EXPECT_EQ(fakePlatform.files[4].bytes.size(), 2880u) << "the header alone";
    EXPECT_EQ(fakeHost.liveBuffers, 0);
}

TEST_F(FitsRows, ReadContinueWithoutAReadHeaderReadsNothing) {
    fakeHost.record.depth = 32;
    fakeHost.record.imageSize = Point{3, 3};
    addFakeFile(theFile, std::vector<uint8_t>(100, 1));
    EXPECT_EQ(callModule(formatSelectorReadContinue), formatBadParameters);
    EXPECT_EQ(file().readCalls, 0);
    EXPECT_TRUE(fakeHost.advanceCalls.empty());
}

TEST_F(FitsRows, SeveralPlanesAreReadPlaneAfterPlane) {
    openWith(8, 2, 2, {}, {1, 2, 3, 4, 5, 6, 7, 8});
    fakeHost.record.planes = 2;
    ASSERT_EQ(callModule(formatSelectorReadContinue), noErr);
    ASSERT_EQ(fakeHost.advanceCalls.size(), 4u);
    EXPECT_EQ(fakeHost.advanceCalls[2].loPlane, 1);
    EXPECT_EQ(fakeHost.advanceCalls[2].hiPlane, 1);
    EXPECT_EQ(fakeHost.advanceCalls[2].rect.top, 0);
    EXPECT_EQ(fakeHost.progressCalls.back(), std::make_pair(4, 4));
    EXPECT_EQ(fakeHost.image, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

// A host that asks for narrower rows than the file's gets the file's bytes at its own width, as
// many as its rows hold, and nothing is read into memory past them.
TEST_F(FitsRows, RowsOfAnotherWidthAreReadAtTheHostsWidth) {
    openWith(8, 4, 2, {}, {1, 2, 3, 4, 5, 6, 7, 8});
    fakeHost.record.imageSize.h = 2;
    ASSERT_EQ(callModule(formatSelectorReadContinue), noErr);
    EXPECT_EQ(fakeHost.image, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(fakePlatform.memory.heapBlocks, 0);
}

TEST_F(FitsRows, ZeroRowsAllocateAndReleaseOnly) {
    openWith(8, 2, 2, {}, {1, 2, 3, 4});
    fakeHost.record.imageSize.v = 0;
    EXPECT_EQ(callModule(formatSelectorReadContinue), noErr);
    EXPECT_EQ(fakeHost.allocateCalls, 1);
    EXPECT_EQ(fakeHost.freeCalls, 1);
    EXPECT_TRUE(fakeHost.advanceCalls.empty());
    EXPECT_TRUE(fakeHost.progressCalls.empty());
    EXPECT_TRUE(fakeHost.record.data == nullptr);
}

} // namespace

namespace {

// An extension's header of 999 blocks behind a primary one of two: kept together they would
// take more blocks than a header may have, so the save could never be opened again.
TEST_F(FitsRead, AMergedHeaderBeyondTheLimitIsRefused) {
    std::vector<std::string> primary = withEndAt(
        {valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "0"), valueCard("EXTEND", "T")}, 72);
    std::vector<std::string> extension = withEndAt({valueCard("XTENSION", "'IMAGE   '"), valueCard("BITPIX", "8"),
                                                    valueCard("NAXIS", "2"), valueCard("NAXIS1", "2"),
                                                    valueCard("NAXIS2", "1"), valueCard("PCOUNT", "0"),
                                                    valueCard("GCOUNT", "1")},
                                                   999 * 36);
    useFile(headerOf(primary) + headerOf(extension), {1, 2});
    EXPECT_EQ(callModule(formatSelectorReadStart), formatCannotRead);
    ASSERT_EQ(fakePlatform.boxes.size(), 1u);
    EXPECT_EQ(fakePlatform.boxes[0].caption, "Header Too Big");
    EXPECT_NE(fakePlatform.boxes[0].text.find("more than the 1000"), std::string::npos) << fakePlatform.boxes[0].text;
    EXPECT_EQ(session()->retainedHeader[0], 0) << "nothing is kept";
}

} // namespace
