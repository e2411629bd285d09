// The entry point: the session block, the working copy, dispatch and the result helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "entry/entry.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"

namespace {

struct EntryTest : ::testing::Test {
    void SetUp() override {
        resetFakeHost();
        resetFakePlatform();
    }
    void TearDown() override { resetFakeHost(); }
    PluginGlobals *session() {
        return static_cast<PluginGlobals *>(reinterpret_cast<LocalHandle *>(fakeHost.dataSlot)->block);
    }
};

TEST_F(EntryTest, FirstCallCreatesTaggedZeroSession) {
    EXPECT_EQ(callModule(formatSelectorReadFinish), noErr);
    ASSERT_NE(fakeHost.dataSlot, 0);
    auto *handle = reinterpret_cast<LocalHandle *>(fakeHost.dataSlot);
    EXPECT_EQ(std::memcmp(handle->tag, "OTOF", 4), 0);
    PluginGlobals *globals = session();
    EXPECT_EQ(globals->formatRecord, &fakeHost.record);
    EXPECT_EQ(globals->bufferID, nullptr);
    EXPECT_EQ(globals->retainedHeader[0], 0);
    intptr_t first = fakeHost.dataSlot;
    callModule(formatSelectorReadFinish);
    EXPECT_EQ(fakeHost.dataSlot, first) << "the session survives between calls";
}

TEST_F(EntryTest, SessionThatCannotBeCreatedGivesMemFullAndIsRetried) {
    fakePlatform.memory.failFixedCall = 2; // the record succeeds, the block fails
    fakeHost.record.maxData = 77;
    EXPECT_EQ(callModule(formatSelectorOptionsPrepare), memFullErr);
    EXPECT_EQ(fakeHost.dataSlot, 0);
    EXPECT_EQ(fakeHost.record.maxData, 77) << "no handler ran";
    EXPECT_EQ(fakePlatform.memory.fixedBlocks, 0) << "the half-made handle was released";
    EXPECT_EQ(callModule(formatSelectorOptionsPrepare), noErr);
    EXPECT_NE(fakeHost.dataSlot, 0);
    EXPECT_EQ(fakeHost.record.maxData, 0);
}

TEST_F(EntryTest, SelectorsOutsideTheTableAreBadParametersAndKeepTheBlock) {
    callModule(formatSelectorReadFinish);
    session()->retainedHeader[5] = 'x';
    session()->rowSize = 42;
    for (int16_t selector : {int16_t(18), int16_t(-1), int16_t(32767)}) {
        EXPECT_EQ(callModule(selector), formatBadParameters) << selector;
        EXPECT_EQ(session()->retainedHeader[5], 'x');
        EXPECT_EQ(session()->rowSize, 42);
        EXPECT_EQ(session()->result, formatBadParameters) << "the working copy is copied back";
    }
}

TEST_F(EntryTest, SelectorsThatDoNothingSucceedAfterAFailure) {
    for (int16_t selector : {formatSelectorReadFinish, formatSelectorOptionsContinue, formatSelectorOptionsFinish,
                             formatSelectorEstimatePrepare, formatSelectorEstimateContinue,
                             formatSelectorEstimateFinish, formatSelectorWriteContinue, formatSelectorWriteFinish}) {
        EXPECT_EQ(callModule(-5), formatBadParameters);
        EXPECT_EQ(callModule(selector), noErr) << selector;
    }
}

TEST_F(EntryTest, OnlyOptionsAndWritePrepareLowerMaxData) {
    for (int16_t selector : {formatSelectorOptionsPrepare, formatSelectorWritePrepare}) {
        fakeHost.record.maxData = 1000;
        EXPECT_EQ(callModule(selector), noErr);
        EXPECT_EQ(fakeHost.record.maxData, 0) << selector;
    }
    for (int16_t selector : {formatSelectorReadPrepare, formatSelectorEstimatePrepare}) {
        fakeHost.record.maxData = 1000;
        callModule(selector);
        EXPECT_EQ(fakeHost.record.maxData, 1000) << selector;
    }
}

TEST(ResultHelpers, FirstFailureWins) {
    PluginGlobals globals{};
    EXPECT_TRUE(recordResult(&globals, noErr));
    EXPECT_EQ(globals.result, noErr);
    EXPECT_FALSE(recordResult(&globals, eofErr));
    EXPECT_FALSE(recordResult(&globals, readErr));
    EXPECT_EQ(globals.result, eofErr);
    EXPECT_TRUE(recordResult(&globals, noErr)) << "a zero code changes nothing";
    EXPECT_TRUE(recordCancel(&globals, false));
    EXPECT_FALSE(recordCancel(&globals, true));
    EXPECT_EQ(globals.result, eofErr);
    PluginGlobals fresh{};
    EXPECT_FALSE(recordCancel(&fresh, true));
    EXPECT_EQ(fresh.result, userCanceledErr);
}

} // namespace
