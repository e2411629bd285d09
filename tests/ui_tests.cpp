// Counted strings, placeholders and decimals; the About box; the version alert end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "host/services.h"
#include "resources/plugin_resources.h"
#include "tests/fake_host.h"
#include "tests/fake_platform.h"
#include "ui/alerts.h"
#include "ui/counted_string.h"

namespace {

CountedString counted(const std::string &text) {
    CountedString s{};
    appendChars(&s, text.c_str(), 0, static_cast<int16_t>(text.size()));
    return s;
}

std::string textOf(const CountedString &s) {
    return std::string(reinterpret_cast<const char *>(s.bytes + 1), s.bytes[0]);
}

std::string expanded(const std::string &text, const CountedString *p1, const CountedString *p2 = nullptr) {
    CountedString s = counted(text);
    expandParams(&s, nullptr, p1, p2);
    EXPECT_EQ(s.bytes[s.bytes[0] + 1], 0) << "a zero byte follows the characters";
    return textOf(s);
}

std::string decimal(double value, int16_t places) {
    CountedString out = counted("stale");
    formatDecimal(&out, value, places);
    return textOf(out);
}

const std::string tooOld25 = "This plug-in requires Adobe Photoshop\xAE 2.5 or later functionality.";
const std::string tooOld30 = "This plug-in requires Adobe Photoshop\xAE 3.0 or later functionality.";
const std::string tooNew = "This plug-in is incompatible with this version of the host program.";

TEST(AppendChars, KeepsAtMost254CharactersAndAZeroAfterThem) {
    CountedString s{};
    std::memset(s.bytes + 1, 'x', 255); // stale bytes must not survive past the end
    std::string long300(300, 'a');
    appendChars(&s, long300.c_str(), 0, 300);
    EXPECT_EQ(s.bytes[0], 254);
    EXPECT_EQ(s.bytes[254], 'a');
    EXPECT_EQ(s.bytes[255], 0);
    appendChars(&s, "b", 0, 1);
    EXPECT_EQ(s.bytes[0], 254) << "a full string drops further characters";
}

TEST(AppendChars, TakesCountedSourcesFromIndexOneAndIgnoresEmptyCounts) {
    CountedString source = counted("abc");
    CountedString s = counted("x");
    appendChars(&s, reinterpret_cast<const char *>(source.bytes), 1, source.bytes[0]);
    EXPECT_EQ(textOf(s), "xabc");
    appendChars(&s, "zzz", 0, 0);
    appendChars(&s, "zzz", 0, -3);
    EXPECT_EQ(textOf(s), "xabc");
    EXPECT_EQ(s.bytes[5], 0);
}

TEST(ExpandParams, ReplacesPlaceholdersAndLeavesOtherCaretsAlone) {
    CountedString v = counted("3.0");
    CountedString w = counted("9");
    EXPECT_EQ(expanded("between ^1 and ^2.", &v, &w), "between 3.0 and 9.");
    EXPECT_EQ(expanded("[^2]", &v), "[]") << "an absent parameter leaves no trace";
    EXPECT_EQ(expanded("[^0]", &v), "[]") << "parameter 0 is always absent here";
    EXPECT_EQ(expanded("^3 ^a 1 end^", &v), "^3 ^a 1 end^");
    EXPECT_EQ(expanded("^^1", &v), "^3.0") << "each caret arms afresh";
    EXPECT_EQ(expanded("^x1", &v), "^x1") << "any other character disarms";
}

TEST(ExpandParams, ScanResumesAtTheDigitsFormerPosition) {
    CountedString x = counted("x");
    CountedString y = counted("y");
    CountedString caretTwo = counted("^2");
    CountedString empty{};
    EXPECT_EQ(expanded("^1^2", &x, &y), "xy");
    // The parameter's first character is not looked at again, so its "^" does not arm.
    EXPECT_EQ(expanded("^1", &caretTwo, &y), "^2");
    // With an empty parameter the character after the digit lands on the skipped position.
    EXPECT_EQ(expanded("^1^2", &empty, &y), "^2");
}

TEST(ExpandParams, ResultIsCutAt254Characters) {
    CountedString v = counted("0123456789");
    std::string text = std::string(248, 'a') + "^1tail";
    EXPECT_EQ(expanded(text, &v), std::string(248, 'a') + "012345");
}

TEST(FormatDecimal, RoundsHalfUpAndDropsOneTrailingZero) {
    EXPECT_EQ(decimal(2.5, 1), "2.5");
    EXPECT_EQ(decimal(3.0, 1), "3.0");
    EXPECT_EQ(decimal(2.96, 1), "3.0");
    EXPECT_EQ(decimal(9.96, 1), "10.0");
    EXPECT_EQ(decimal(0.25, 1), "0.3");
    EXPECT_EQ(decimal(1.25, 2), "1.25");
    EXPECT_EQ(decimal(12.0, 3), "12.0");
    EXPECT_EQ(decimal(0.0, 1), "0.0");
    EXPECT_EQ(decimal(1.5, 3), "1.5") << "the fraction stops once exhausted";
}

TEST(FormatDecimal, FewerThanOnePlaceStillGivesExactlyOneDigit) {
    EXPECT_EQ(decimal(2.25, 0), "2.2");
    EXPECT_EQ(decimal(2.25, -4), "2.2");
}

TEST(FormatDecimal, ValuesBeyondThe32BitRangeSaturate) {
    EXPECT_EQ(decimal(1e12, 1).substr(0, 11), "2147483647.");
}

TEST(FormatInteger, WritesSignedDecimalText) {
    CountedString out = counted("stale");
    for (auto [value, text] : {std::pair<int32_t, const char *>{0, "0"}, {42, "42"}, {-7, "-7"},
                               {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"}}) {
        formatInteger(value, &out);
        EXPECT_EQ(textOf(out), text);
        EXPECT_EQ(out.bytes[out.bytes[0] + 1], 0);
    }
}

struct AlertTest : ::testing::Test {
    void SetUp() override {
        resetFakeHost();
        resetFakePlatform();
    }
    void TearDown() override { resetFakeHost(); }
    const FakeMessageBox &onlyBox() {
        EXPECT_EQ(fakePlatform.boxes.size(), 1u);
        static const FakeMessageBox none{};
        return fakePlatform.boxes.empty() ? none : fakePlatform.boxes.front();
    }
};

TEST_F(AlertTest, AlertIdZeroShowsNothing) {
    CountedString v = counted("3.0");
    EXPECT_EQ(showStringAlert(moduleInstance, 0, 0, hostTooOldStringID, &v, nullptr), 0);
    EXPECT_TRUE(fakePlatform.boxes.empty());
}

TEST_F(AlertTest, VersionAlertNamesTheVersionWithoutCaption) {
    CountedString v = counted("3.0");
    EXPECT_EQ(showStringAlert(moduleInstance, 0x55, versionAlertID, hostTooOldStringID, &v, nullptr), 1);
    const FakeMessageBox &box = onlyBox();
    EXPECT_EQ(box.text, tooOld30);
    EXPECT_FALSE(box.hasCaption);
    EXPECT_EQ(box.style, 0x30u);
    EXPECT_EQ(box.owner, 0x55);
    CountedString w = counted("2.5");
    showStringAlert(moduleInstance, 0, versionAlertID, hostTooOldStringID, &w, nullptr);
    EXPECT_EQ(fakePlatform.boxes.back().text, tooOld25);
}

TEST_F(AlertTest, TooNewTextShowsUnchangedAndEmptyOrMissingStringsShowEmpty) {
    CountedString v = counted("3.0");
    showStringAlert(moduleInstance, 0, versionAlertID, hostTooNewStringID, &v, &v);
    showStringAlert(moduleInstance, 0, versionAlertID, 0, &v, nullptr);
    showStringAlert(moduleInstance, 0, versionAlertID, 30000, &v, nullptr);
    ASSERT_EQ(fakePlatform.boxes.size(), 3u);
    EXPECT_EQ(fakePlatform.boxes[0].text, tooNew);
    EXPECT_EQ(fakePlatform.boxes[1].text, "");
    EXPECT_EQ(fakePlatform.boxes[2].text, "");
}

TEST_F(AlertTest, TextsAreCutAt254CharactersBeforeAndAfterExpansion) {
    fakePlatform.stringOverrides[hostTooOldStringID] = std::string(250, 'm') + "^1 and more";
    CountedString v = counted("12345678");
    showStringAlert(moduleInstance, 0, versionAlertID, hostTooOldStringID, &v, nullptr);
    fakePlatform.stringOverrides[hostTooOldStringID] = std::string(400, 'n');
    showStringAlert(moduleInstance, 0, versionAlertID, hostTooOldStringID, &v, nullptr);
    ASSERT_EQ(fakePlatform.boxes.size(), 2u);
    EXPECT_EQ(fakePlatform.boxes[0].text, std::string(250, 'm') + "1234");
    EXPECT_EQ(fakePlatform.boxes[1].text, std::string(254, 'n'));
}

TEST_F(AlertTest, AboutSelectorShowsOneInformationBoxOwnedByTheHost) {
    EXPECT_EQ(callModule(formatSelectorAbout), noErr);
    const FakeMessageBox &box = onlyBox();
    EXPECT_TRUE(box.hasCaption);
    EXPECT_EQ(box.caption, "FITS");
    EXPECT_EQ(box.style, 0x40u);
    EXPECT_EQ(box.owner, 0x1234);
    EXPECT_EQ(box.text.substr(0, 5), "FITS\n");
    EXPECT_EQ(box.text, findStringResource(aboutTextID)) << "the About text fits the box whole";
}

TEST_F(AlertTest, AboutTextAndCaptionAreCut) {
    fakePlatform.stringOverrides[aboutTextID] = std::string(300, 't');
    fakePlatform.stringOverrides[aboutCaptionID] = std::string(80, 'c');
    callModule(formatSelectorAbout);
    const FakeMessageBox &box = onlyBox();
    EXPECT_EQ(box.text, std::string(254, 't'));
    EXPECT_EQ(box.caption, std::string(59, 'c'));
}

TEST_F(AlertTest, AboutWithoutPlatformDataHasNoOwnerAndMissingStringsAreEmpty) {
    AboutRecord about{};
    showAboutBox(&about, moduleInstance, 30000);
    const FakeMessageBox &box = onlyBox();
    EXPECT_EQ(box.owner, 0);
    EXPECT_EQ(box.text, "");
    EXPECT_TRUE(box.hasCaption);
    EXPECT_EQ(box.caption, "");
}

// The record is packed to 4 bytes, so its pointer fields are read by value, not bound to
// references.
void *hostData() { return fakeHost.record.data; }

// One row of the version-alert table: how the host is broken and what the user is told.
struct MissingService {
    const char *what;
    std::function<void()> breakHost;
    std::string text;
};

TEST_F(AlertTest, OptionsStartRaisesExactlyOneAlertPerMissingService) {
    const MissingService cases[] = {
        {"null bufferProcs", [] { fakeHost.record.bufferProcs = nullptr; }, tooOld25},
        {"buffer version 1", [] { fakeHost.bufferProcs.bufferProcsVersion = 1; }, tooOld25},
        {"buffer version 3", [] { fakeHost.bufferProcs.bufferProcsVersion = 3; }, tooNew},
        {"buffer count 4", [] { fakeHost.bufferProcs.numBufferProcs = 4; }, tooOld25},
        {"null spaceProc", [] { fakeHost.bufferProcs.spaceProc = nullptr; }, tooOld25},
        {"null advanceState", [] { fakeHost.record.advanceState = nullptr; }, tooOld30},
        {"null handleProcs", [] { fakeHost.record.handleProcs = nullptr; }, tooOld30},
        {"handle version 2", [] { fakeHost.handleProcs.handleProcsVersion = 2; }, tooNew},
        {"handle count 6", [] { fakeHost.handleProcs.numHandleProcs = 6; }, tooOld30},
        {"null setSizeProc", [] { fakeHost.handleProcs.setSizeProc = nullptr; }, tooOld30},
        {"buffers and advanceState missing",
         [] {
             fakeHost.record.bufferProcs = nullptr;
             fakeHost.record.advanceState = nullptr;
         },
         tooOld25},
    };
    int marker = 0;
    for (const MissingService &c : cases) {
        resetFakeHost();
        resetFakePlatform();
        c.breakHost();
        fakeHost.record.data = &marker;
        EXPECT_EQ(callModule(formatSelectorOptionsStart), userCanceledErr) << c.what;
        EXPECT_EQ(hostData(), &marker) << c.what << ": data is left as it was";
        ASSERT_EQ(fakePlatform.boxes.size(), 1u) << c.what;
        const FakeMessageBox &box = fakePlatform.boxes.front();
        EXPECT_EQ(box.text, c.text) << c.what;
        EXPECT_FALSE(box.hasCaption) << c.what;
        EXPECT_EQ(box.style, 0x30u) << c.what;
        EXPECT_EQ(box.owner, 0) << c.what;
    }
}

TEST_F(AlertTest, OptionsStartPassesUsableServicesSilently) {
    const std::pair<const char *, std::function<void()>> cases[] = {
        {"as the host gave them", [] {}},
        {"negative buffer count", [] { fakeHost.bufferProcs.numBufferProcs = -1; }},
        {"negative handle count", [] { fakeHost.handleProcs.numHandleProcs = -3; }},
        {"handle count 7, later routines null",
         [] {
             fakeHost.handleProcs.numHandleProcs = 7;
             fakeHost.handleProcs.lockProc = nullptr;
             fakeHost.handleProcs.unlockProc = nullptr;
             fakeHost.handleProcs.recoverSpaceProc = nullptr;
             fakeHost.handleProcs.disposeRegularHandleProc = nullptr;
         }},
    };
    int marker = 0;
    for (const auto &[what, adjust] : cases) {
        resetFakeHost();
        resetFakePlatform();
        adjust();
        fakeHost.record.data = &marker;
        EXPECT_EQ(callModule(formatSelectorOptionsStart), noErr) << what;
        EXPECT_EQ(hostData(), nullptr) << what;
        EXPECT_TRUE(fakePlatform.boxes.empty()) << what;
    }
}

TEST_F(AlertTest, NegativeCountStillNeedsEveryRoutine) {
    fakeHost.bufferProcs.numBufferProcs = -1;
    fakeHost.bufferProcs.lockProc = nullptr;
    EXPECT_EQ(callModule(formatSelectorOptionsStart), userCanceledErr);
    EXPECT_EQ(onlyBox().text, tooOld25);
}

TEST_F(AlertTest, BufferAndHandleWrappersWithoutAlerts) {
    BufferID id = reinterpret_cast<BufferID>(&fakeHost);
    EXPECT_EQ(allocateHostBuffer(nullptr, 100, &id), memFullErr);
    EXPECT_EQ(id, nullptr);
    int liveBlocks = fakePlatform.memory.fixedBlocks;
    char *storage = nullptr;
    disposeHostHandle(&fakeHost.handleProcs, &storage);
    EXPECT_EQ(fakeHost.disposeCalls, 1);
    EXPECT_EQ(fakePlatform.memory.fixedBlocks, liveBlocks) << "the host's handle is the host's to release";
    EXPECT_TRUE(fakePlatform.boxes.empty());
}

} // namespace
