// Several documents in one session: each is saved with the header and mapping of the file it
// came from, which the module keeps in the document's revertInfo; a document without one takes
// the header of the last file read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"
#include "tests/fits_builders.h"

namespace {

constexpr PlatformFile outFile = 9;

struct Documents : ::testing::Test {
    void SetUp() override {
        resetFakeHost();
        resetFakePlatform();
    }
    void TearDown() override { resetFakeHost(); }

    // Opens a 16-bit 3 x 2 image whose OBJECT card names it, after `comments` COMMENT cards;
    // the host keeps the document's revertInfo as an editor does.
    static Handle open(PlatformFile file, const std::string &object, const std::string &bzero, int comments = 0) {
        std::vector<std::string> cards = imageCards(16, 3, 2);
        cards.push_back(valueCard("BZERO", bzero));
        cards.insert(cards.end(), static_cast<size_t>(comments), rawCard("COMMENT a long header"));
        cards.push_back(valueCard("OBJECT", "'" + object + "'"));
        cards.push_back(rawCard("END"));
        std::vector<uint8_t> bytes = bytesOf(headerOf(cards));
        for (int i = 0; i < 6; ++i)
            bytes.insert(bytes.end(), {0xFF, static_cast<uint8_t>(0xF0 + i)}); // negative samples
        addFakeFile(file, bytes);
        fakeHost.record.revertInfo = nullptr;
        fakeHost.record.dataFork = file;
        EXPECT_EQ(callModule(formatSelectorReadPrepare), noErr);
        EXPECT_EQ(callModule(formatSelectorReadStart), noErr);
        EXPECT_EQ(callModule(formatSelectorReadContinue), noErr);
        EXPECT_EQ(callModule(formatSelectorReadFinish), noErr);
        return fakeHost.record.revertInfo;
    }
    void startSave(Handle document) {
        addFakeFile(outFile, {});
        fakeHost.record.revertInfo = document;
        fakeHost.record.dataFork = outFile;
        imageToSave();
        for (int16_t selector : {formatSelectorOptionsPrepare, formatSelectorOptionsStart,
                                 formatSelectorEstimatePrepare, formatSelectorEstimateStart})
            ASSERT_EQ(callModule(selector), noErr);
    }
    static void imageToSave() { setHostImage(2, 3, 16, 1, std::vector<uint8_t>(12, 7)); }
    std::string finishSave(Handle document) {
        fakeHost.record.revertInfo = document;
        fakeHost.record.dataFork = outFile;
        imageToSave(); // the document's own image, whatever another open left in the host's
        EXPECT_EQ(callModule(formatSelectorWritePrepare), noErr);
        EXPECT_EQ(callModule(formatSelectorWriteStart), noErr);
        EXPECT_EQ(callModule(formatSelectorWriteFinish), noErr);
        const std::vector<uint8_t> &bytes = fakePlatform.files[outFile].bytes;
        return std::string(bytes.begin(), bytes.end());
    }
    std::string save(Handle document) {
        startSave(document);
        return finishSave(document);
    }
    static bool names(const std::string &file, const std::string &object) {
        return file.find(valueCard("OBJECT", "'" + object + "'")) != std::string::npos;
    }
    static std::string bzeroCard(const std::string &file) {
        const size_t at = file.find("BZERO   =");
        return at == std::string::npos ? "" : file.substr(at, 80);
    }
};

TEST_F(Documents, EachDocumentIsSavedWithItsOwnHeaderAndMapping) {
    Handle m51 = open(1, "M51", "0");
    Handle ngc253 = open(2, "NGC 253", "100");
    ASSERT_NE(m51, nullptr);
    ASSERT_NE(ngc253, m51);
    const std::string first = save(m51);
    EXPECT_TRUE(names(first, "M51"));
    EXPECT_FALSE(names(first, "NGC 253"));
    EXPECT_EQ(bzeroCard(first), valueCard("BZERO", "32752.0")) << "M51's negative samples, shifted onto the host";
    const std::string second = save(ngc253);
    EXPECT_TRUE(names(second, "NGC 253"));
    EXPECT_EQ(bzeroCard(second), valueCard("BZERO", "32768.0")) << "NGC 253's are whole and positive";
    EXPECT_TRUE(names(save(nullptr), "NGC 253")) << "a new document takes the last header read";
    EXPECT_TRUE(fakePlatform.boxes.size() == 1) << "one notice, at the second open, before any save";
    EXPECT_EQ(callModule(formatSelectorReadPrepare), noErr);
    EXPECT_EQ(fakePlatform.boxes.size(), 1u) << "a host that hands records back loses no header to an open";
    fakeHost.record.revertInfo = m51;
    closeFakeDocument();
    fakeHost.record.revertInfo = ngc253;
    closeFakeDocument();
    EXPECT_EQ(fakeHost.liveHandles, 0) << "every record lives in a handle the host frees";
}

TEST_F(Documents, AnOpenBetweenTheStepsOfASaveLeavesItsBytesAlone) {
    Handle m51 = open(1, "M51", "0");
    const std::string alone = save(m51);
    startSave(m51);
    Handle other = open(2, "NGC 253", "100");
    EXPECT_EQ(finishSave(m51), alone);
    fakeHost.record.revertInfo = other;
    closeFakeDocument();
    fakeHost.record.revertInfo = m51;
    closeFakeDocument();
}

// An open while a save waits on the host, as on the main thread during a background save:
// the save writes its own bytes, the session keeps the header read last, and the long
// header both calls replace is released once (the sanitizers see a second release).
TEST_F(Documents, AnOpenWhileASaveRunsLeavesBothWhole) {
    static Handle other = nullptr;
    Handle m51 = open(1, "M51", "0", 200);
    const int held = fakePlatform.memory.fixedBlocks; // the session block and its long header
    const std::string alone = save(m51);
    startSave(m51);
    fakeHost.duringAdvance = [] { other = open(2, "NGC 253", "100", 200); };
    EXPECT_EQ(finishSave(m51), alone);
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(names(save(nullptr), "NGC 253")) << "the session's header is the one read last";
    EXPECT_TRUE(names(save(other), "NGC 253"));
    EXPECT_TRUE(names(save(m51), "M51"));
    fakeHost.record.revertInfo = other;
    closeFakeDocument();
    fakeHost.record.revertInfo = m51;
    closeFakeDocument();
    EXPECT_EQ(fakePlatform.memory.fixedBlocks, held) << "each long header released once, none left behind";
}

// A handle in revertInfo that is not this module's record of this version is never read as one.
TEST_F(Documents, ARecordOfAnotherModuleOrVersionIsNotTrusted) {
    Handle m51 = open(1, "M51", "0");
    Handle ngc253 = open(2, "NGC 253", "100");
    struct Damage {
        const char *what;
        size_t at;
        uint8_t value;
    } damages[] = {{"another tag", 0, 'X'}, {"another version", 4, 2}, {"another record size", 8, 1}};
    auto *bytes = reinterpret_cast<uint8_t *>(fakeHost.handleProcs.lockProc(m51, false));
    for (const Damage &d : damages) {
        const uint8_t kept = bytes[d.at];
        bytes[d.at] = static_cast<uint8_t>(kept + d.value);
        EXPECT_TRUE(names(save(m51), "NGC 253")) << d.what << ": the last header read, as for a new document";
        bytes[d.at] = kept;
    }
    EXPECT_TRUE(names(save(m51), "M51"));
    closeFakeDocument();
    fakeHost.record.revertInfo = ngc253;
    closeFakeDocument();
}

} // namespace
