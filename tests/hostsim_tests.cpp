// The host stand-in on its own: property list checks, the checked row hand-over, strict
// image files, and the selector sequences against the linked module and a misbehaving one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "entry/entry.h"
#include "hostsim/code_page.h"
#include "hostsim/commands.h"
#include "hostsim/hdu_walk.h"
#include "hostsim/host_files.h"
#include "hostsim/image_files.h"
#include "hostsim/preview.h"
#include "hostsim/property_list.h"
#include "hostsim/sequences.h"
#include "resources/plugin_resources.h"
#include "tests/fits_builders.h"

namespace {

// ---- property lists -------------------------------------------------------------------

void putU16(std::vector<uint8_t> *bytes, uint16_t value) {
    bytes->push_back(static_cast<uint8_t>(value));
    bytes->push_back(static_cast<uint8_t>(value >> 8));
}

void putU32(std::vector<uint8_t> *bytes, uint32_t value) {
    putU16(bytes, static_cast<uint16_t>(value));
    putU16(bytes, static_cast<uint16_t>(value >> 16));
}

struct TestProperty {
    const char *key;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> codeBytes(const char (&code)[5]) {
    std::vector<uint8_t> bytes;
    putU32(&bytes, fourCharCode(code));
    return bytes;
}

std::vector<uint8_t> textBytes(const char *text) {
    std::vector<uint8_t> bytes(text, text + std::strlen(text) + 1);
    bytes.resize((bytes.size() + 3) & ~size_t{3});
    return bytes;
}

// A small list of a readable and writable format module; tests then spoil one part.
std::vector<TestProperty> goodProperties() {
    return {{"kind", codeBytes("8BIF")},
            {"vers", {0, 0, 1, 0}},
            {hostEntryKey, textBytes("ENTRYPOINT")},
            {"mode", {0x40, 0x00, 0, 0}},
            {"RdEx", {'F', 'T', 'S', ' '}},
            {"WrEx", {'F', 'I', 'T', ' '}},
            {"fmtf", {0x30, 0, 0, 0}},
            {"mxsz", {0xff, 0x7f, 0xff, 0x7f}}};
}

std::vector<uint8_t> buildList(const std::vector<TestProperty> &properties) {
    std::vector<uint8_t> bytes;
    putU16(&bytes, 1);
    putU32(&bytes, 0);
    putU32(&bytes, static_cast<uint32_t>(properties.size()));
    for (const TestProperty &property : properties) {
        putU32(&bytes, fourCharCode("8BIM"));
        char key[5] = {};
        std::memcpy(key, property.key, 4);
        putU32(&bytes, fourCharCode(key));
        putU32(&bytes, 0);
        putU32(&bytes, static_cast<uint32_t>(property.data.size()));
        bytes.insert(bytes.end(), property.data.begin(), property.data.end());
    }
    return bytes;
}

Status parse(const std::vector<uint8_t> &bytes, ModuleInfo *info) {
    return parsePropertyList(bytes.data(), bytes.size(), info);
}

std::vector<TestProperty> without(const char *key) {
    std::vector<TestProperty> properties = goodProperties();
    for (size_t i = 0; i < properties.size(); ++i)
        if (std::strcmp(properties[i].key, key) == 0)
            properties.erase(properties.begin() + static_cast<long>(i));
    return properties;
}

// The list a module declares for this host's processor: the 64-bit one for x86-64 code.
#if defined(__x86_64__)
const uint8_t *const ownList = pluginPropertyList64.data();
const size_t ownListSize = pluginPropertyList64Size;
#else
const uint8_t *const ownList = pluginPropertyList.data();
const size_t ownListSize = pluginPropertyListSize;
#endif

// A module's list as this host reads it: the entry point's key (the fourth property's) made
// this host's own, so that the list of either width parses here.
std::vector<uint8_t> keyedForThisHost(const uint8_t *bytes, size_t size) {
    std::vector<uint8_t> list(bytes, bytes + size);
    const size_t keyAt = 2 + 4 + 4 + 20 + 24 + 20 + 4;
    EXPECT_TRUE(std::memcmp(&list[keyAt], "4668", 4) == 0 || std::memcmp(&list[keyAt], "68xw", 4) == 0);
    for (int k = 0; k < 4; ++k)
        list[keyAt + static_cast<size_t>(k)] = static_cast<uint8_t>(hostEntryKey[3 - k]);
    return list;
}

TEST(PropertyList, TheModulesOwnListDescribesAFitsFormatModule) {
    ModuleInfo info;
    Status status = parsePropertyList(ownList, ownListSize, &info);
    ASSERT_TRUE(isOk(status)) << status.message;
    EXPECT_EQ(info.entryName, "ENTRYPOINT");
#if defined(__x86_64__)
    // So a host on Linux offers it .fits and .fz names too.
    EXPECT_EQ(info.readExtensions, (std::vector<std::string>{"FTS", "FIT", "FITS", "FZ"}));
    EXPECT_EQ(info.writeExtensions, (std::vector<std::string>{"FTS", "FIT", "FITS", "FZ"}));
#else
    EXPECT_EQ(info.readExtensions, (std::vector<std::string>{"FTS", "FIT"}));
    EXPECT_EQ(info.writeExtensions, (std::vector<std::string>{"FTS", "FIT"}));
#endif
    EXPECT_TRUE(info.flags.canRead && info.flags.canWrite);
    EXPECT_EQ(info.maxRows, 32767);
    EXPECT_EQ(info.maxChannels.size(), 12u);
    EXPECT_TRUE(supportsMode(info, plugInModeGrayScale) && supportsMode(info, plugInModeRGBColor));
    EXPECT_EQ(info.terminology.terminologyID, 16000);
    EXPECT_EQ(info.terminology.classID, fourCharCode("simP"));
}

TEST(PropertyList, TheModulesTerminologyParsesToItsEnd) {
    Terminology terminology;
    Status status = parseTerminology(pluginTerminology.data(), pluginTerminologySize, &terminology);
    ASSERT_TRUE(isOk(status)) << status.message;
    ASSERT_EQ(terminology.suites.size(), 1u);
    ASSERT_EQ(terminology.suites[0].classes.size(), 1u);
    EXPECT_EQ(terminology.suites[0].classes[0].code, fourCharCode("simP"));
    EXPECT_EQ(terminology.suites[0].classes[0].properties.size(), 3u);
    EXPECT_FALSE(isOk(parseTerminology(pluginTerminology.data(), pluginTerminologySize - 1, &terminology)));
}

TEST(PropertyList, MalformedListsAreRefusedWithTheirReason) {
    ModuleInfo info;
    std::vector<uint8_t> good = buildList(goodProperties());
    ASSERT_TRUE(isOk(parse(good, &info))) << parse(good, &info).message;

    std::vector<uint8_t> cut(good.begin(), good.end() - 2);
    EXPECT_NE(parse(cut, &info).message.find("longer than what remains"), std::string::npos);
    std::vector<uint8_t> trailing = good;
    trailing.insert(trailing.end(), {0, 0, 0, 0});
    EXPECT_NE(parse(trailing, &info).message.find("follow the last property"), std::string::npos);
    std::vector<uint8_t> badWord = good;
    badWord[0] = 2;
    EXPECT_NE(parse(badWord, &info).message.find("first word"), std::string::npos);
    std::vector<uint8_t> hugeCount = good;
    hugeCount[6] = 0xff;
    EXPECT_NE(parse(hugeCount, &info).message.find("claims"), std::string::npos);
    EXPECT_FALSE(isOk(parsePropertyList(good.data(), 5, &info)));
}

TEST(PropertyList, AListLackingWhatAFormatModuleNeedsIsRefused) {
    ModuleInfo info;
    EXPECT_NE(parse(buildList(without("kind")), &info).message.find("'kind'"), std::string::npos);
    EXPECT_NE(parse(buildList(without(hostEntryKey)), &info).message.find(std::string("'") + hostEntryKey + "'"),
              std::string::npos);
    EXPECT_NE(parse(buildList(without("RdEx")), &info).message.find("'RdEx'"), std::string::npos);
    EXPECT_NE(parse(buildList(without("fmtf")), &info).message.find("'fmtf'"), std::string::npos);
    EXPECT_NE(parse(buildList(without("mode")), &info).message.find("modes"), std::string::npos);

    std::vector<TestProperty> filter = goodProperties();
    filter[0].data = codeBytes("8BFM");
    EXPECT_NE(parse(buildList(filter), &info).message.find("not '8BIF'"), std::string::npos);
    std::vector<TestProperty> newer = goodProperties();
    newer[1].data = {0, 0, 2, 0};
    EXPECT_NE(parse(buildList(newer), &info).message.find("interface version 2.0"), std::string::npos);
    std::vector<TestProperty> unterminated = goodProperties();
    unterminated[2].data = {'E', 'N', 'T', 'R'};
    EXPECT_NE(parse(buildList(unterminated), &info).message.find("terminating zero"), std::string::npos);
    std::vector<TestProperty> tiny = goodProperties();
    tiny[7].data = {0, 0, 0xff, 0x7f};
    EXPECT_NE(parse(buildList(tiny), &info).message.find("'mxsz'"), std::string::npos);
}

TEST(PropertyList, ALinkedModuleMustBeTheEntryItsListNames) {
    std::vector<TestProperty> other = goodProperties();
    other[2].data = textBytes("PluginMain");
    std::vector<uint8_t> list = buildList(other);
    LoadedModule module;
    Status status = useLinkedModule(list.data(), list.size(), nullptr, 0, ENTRYPOINT, &module);
    EXPECT_EQ(status.exitCode, exitModuleFailed);
    EXPECT_NE(status.message.find("\"PluginMain\""), std::string::npos);
}

// The 64-bit module's list as this host reads it.
ModuleInfo wideModuleInfo() {
    std::vector<uint8_t> list = keyedForThisHost(pluginPropertyList64.data(), pluginPropertyList64.size());
    ModuleInfo info;
    Status status = parsePropertyList(list.data(), list.size(), &info);
    EXPECT_TRUE(isOk(status)) << status.message;
    return info;
}

TEST(PropertyList, EachModuleIsEnabledForTheModesItsListGives) {
    ModuleInfo narrow;
    const std::vector<uint8_t> narrowList = keyedForThisHost(pluginPropertyList.data(), pluginPropertyListSize);
    ASSERT_TRUE(isOk(parsePropertyList(narrowList.data(), narrowList.size(), &narrow)));
    const ModuleInfo wide = wideModuleInfo();
    EXPECT_EQ(wide.readExtensions, (std::vector<std::string>{"FTS", "FIT", "FITS", "FZ"}));
    EXPECT_EQ(wide.writeExtensions, wide.readExtensions);
    EXPECT_EQ(narrow.condition, ModuleInfo::Condition::always);
    EXPECT_EQ(wide.condition, ModuleInfo::Condition::modeList);
    struct Case {
        int16_t mode, depth;
        bool narrowTakes, wideTakes;
    };
    // Modes: 0 bitmap, 1 grey, 2 indexed, 3 RGB, 4 CMYK, 7 multichannel, 8 duotone, 9 Lab,
    // 10 Gray16, 14 DeepMultichannel, 17 Gray32.
    const Case cases[] = {{0, 1, true, false},  {1, 8, true, true},  {1, 16, true, true},  {2, 8, true, false},
                          {3, 8, true, true},   {3, 16, true, true}, {4, 8, true, false}, {4, 16, true, false},
                          {7, 8, true, true},   {7, 16, true, true}, {8, 8, true, false}, {9, 16, true, false},
                          {10, 16, true, true}, {14, 16, true, true}, {17, 32, true, false}};
    for (const Case &c : cases) {
        std::string why;
        EXPECT_EQ(modeEnabled(narrow, c.mode, c.depth, &why), c.narrowTakes) << c.mode << " at " << c.depth;
        EXPECT_EQ(modeEnabled(wide, c.mode, c.depth, &why), c.wideTakes) << c.mode << " at " << c.depth;
    }
}

TEST(PropertyList, ConditionsOfThePlainFormsAreEvaluatedAndOthersLeftToTheFlags) {
    struct Case {
        const char *condition;
        ModuleInfo::Condition form;
        bool takesGray16, takesRGB;
    };
    // The test list's flags give grey only.
    const Case cases[] = {
        {"true", ModuleInfo::Condition::always, true, false},
        {"in (PSHOP_ImageMode, Gray16Mode)", ModuleInfo::Condition::modeList, true, false},
        {"  in(PSHOP_ImageMode,GrayScaleMode ,RGBMode)  ", ModuleInfo::Condition::modeList, false, false},
        {"in (PSHOP_ImageDepth, Gray16Mode)", ModuleInfo::Condition::notEvaluated, true, false},
        {"PSHOP_ImageDepth == 16 || in (PSHOP_ImageMode, RGBMode)", ModuleInfo::Condition::notEvaluated, true,
         false},
        {"in (PSHOP_ImageMode, Gray16 Mode)", ModuleInfo::Condition::notEvaluated, true, false},
    };
    for (const Case &c : cases) {
        std::vector<TestProperty> properties = goodProperties();
        properties.push_back({"enbl", textBytes(c.condition)});
        ModuleInfo info;
        ASSERT_TRUE(isOk(parse(buildList(properties), &info))) << c.condition;
        EXPECT_EQ(info.condition, c.form) << c.condition;
        std::string why;
        EXPECT_EQ(modeEnabled(info, plugInModeGrayScale, 16, &why), c.takesGray16) << c.condition;
        EXPECT_EQ(modeEnabled(info, plugInModeRGBColor, 8, &why), c.takesRGB) << c.condition;
    }
}

// ---- the host's services and the row hand-over ------------------------------------------

// The services answer only while the module is being called, as in a host; the fixture
// stands in for the module and runs each test step inside a call.
std::function<void()> stepInsideCall;
void stepModule(int16_t, void *, intptr_t *, int16_t *result) {
    stepInsideCall();
    *result = noErr;
}

struct ServiceFixture : ::testing::Test {
    HostSession session;
    HostImage image;
    FormatRecord *record = nullptr;
    BufferID buffer = nullptr;
    uint8_t *bytes = nullptr;

    void inCall(std::function<void()> step) {
        stepInsideCall = std::move(step);
        callModule(&session, formatSelectorReadContinue, record);
    }

    void SetUp() override {
        initSession(&session, stepModule, nullptr);
        ASSERT_TRUE(allocateImage(&image, 4, 5, 16, 2, plugInModeGrayScale));
        record = beginOperation(&session);
        ASSERT_NE(record, nullptr);
    }
    void TearDown() override {
        endOperation(&session);
        reclaimModuleMemory(&session);
    }
    // The services are reached through the record, as the module reaches them.
    OSErr allocate(int32_t size) {
        OSErr result = record->bufferProcs->allocateProc(size, &buffer);
        bytes = result == noErr ? reinterpret_cast<uint8_t *>(record->bufferProcs->lockProc(buffer, 0)) : nullptr;
        return result;
    }
    void describeRow(int16_t row, int16_t plane, void *data) {
        record->theRect = Rect{row, 0, static_cast<int16_t>(row + 1), 5};
        record->loPlane = record->hiPlane = plane;
        record->colBytes = 2;
        record->rowBytes = 10;
        record->planeBytes = 0;
        record->data = data;
    }
};

TEST_F(ServiceFixture, TheRecordCarriesTheHostsFields) {
    EXPECT_EQ(record->hostSig, fourCharCode("KRVH")) << "a full-range host of its own";
    EXPECT_GT(record->serialNumber, 0);
    EXPECT_EQ(record->bufferProcs->bufferProcsVersion, 2);
    EXPECT_EQ(record->bufferProcs->numBufferProcs, 8);
    EXPECT_EQ(record->handleProcs->handleProcsVersion, 1);
    EXPECT_NE(record->advanceState, nullptr);
    EXPECT_EQ(record->planeMap[3], 3);
}

TEST_F(ServiceFixture, BufferServicesRefuseNegativeSizesAndReportExhaustion) {
    inCall([&] {
        EXPECT_EQ(allocate(-1), -50);
        EXPECT_EQ(buffer, nullptr);
        session.bufferBytesLimit = 100;
        EXPECT_EQ(allocate(101), memFullErr);
        EXPECT_EQ(allocate(100), noErr);
        EXPECT_EQ(record->bufferProcs->spaceProc(), 0);
        record->bufferProcs->freeProc(buffer);
        EXPECT_EQ(record->bufferProcs->spaceProc(), 100);
        session.failAllocationAt = session.allocations + 1;
        EXPECT_EQ(allocate(10), memFullErr);
    });
}

TEST_F(ServiceFixture, HandleServicesKeepSizeAndContents) {
    inCall([&] {
        Handle handle = record->handleProcs->newProc(3);
        ASSERT_NE(handle, nullptr);
        std::memcpy(*handle, "abc", 3);
        EXPECT_EQ(record->handleProcs->setSizeProc(handle, 6), noErr);
        EXPECT_EQ(record->handleProcs->getSizeProc(handle), 6);
        EXPECT_EQ(std::memcmp(record->handleProcs->lockProc(handle, 0), "abc\0\0\0", 6), 0);
        record->handleProcs->disposeProc(handle);
        EXPECT_EQ(reclaimModuleMemory(&session), 0);
    });
}

TEST_F(ServiceFixture, ReadingCopiesEachRowIntoItsPlane) {
    inCall([&] {
        ASSERT_EQ(allocate(10), noErr);
        beginTransfer(&session, &image, Transfer::reading);
        for (int16_t plane = 0; plane < 2; ++plane)
            for (int16_t row = 0; row < 4; ++row) {
                for (int column = 0; column < 5; ++column) {
                    auto value = static_cast<uint16_t>(1000 * plane + 10 * row + column);
                    std::memcpy(bytes + 2 * column, &value, 2);
                }
                describeRow(row, plane, bytes);
                ASSERT_EQ(moveRows(&session), noErr) << session.fault;
            }
        EXPECT_TRUE(everyRowDelivered(session));
        EXPECT_EQ(sampleAt(image, 1, 3, 4), 1034u);
        EXPECT_EQ(sampleAt(image, 0, 2, 0), 20u);
    });
}

TEST_F(ServiceFixture, InterleavedRowsMoveAsPlanarOnesDo) {
    inCall([&] {
        ASSERT_EQ(allocate(20), noErr);
        // One row of both planes interleaved: plane 0's samples at 0, 4, 8, ..., plane 1's at 2, 6, ...
        for (int column = 0; column < 5; ++column)
            for (int plane = 0; plane < 2; ++plane) {
                auto value = static_cast<uint16_t>(1000 * plane + column + 7);
                std::memcpy(bytes + 4 * column + 2 * plane, &value, 2);
            }
        beginTransfer(&session, &image, Transfer::reading);
        describeRow(1, 0, bytes);
        record->hiPlane = 1;
        record->colBytes = 4;
        record->planeBytes = 2;
        ASSERT_EQ(moveRows(&session), noErr) << session.fault;
        EXPECT_EQ(sampleAt(image, 0, 1, 4), 11u);
        EXPECT_EQ(sampleAt(image, 1, 1, 0), 1007u);
        // Written back side by side, plane 1 gives its samples in order.
        std::memset(bytes, 0, 20);
        beginTransfer(&session, &image, Transfer::writing);
        describeRow(1, 1, bytes);
        ASSERT_EQ(moveRows(&session), noErr) << session.fault;
        for (int column = 0; column < 5; ++column) {
            uint16_t value;
            std::memcpy(&value, bytes + 2 * column, 2);
            EXPECT_EQ(value, 1000 + column + 7) << column;
        }
    });
}

TEST_F(ServiceFixture, RequestsOutsideTheImageOrTheBufferAreRefused) {
    inCall([&] {
        ASSERT_EQ(allocate(10), noErr);
        beginTransfer(&session, &image, Transfer::reading);
        struct Case {
            const char *name;
            void (*spoil)(FormatRecord *);
            const char *reason;
        };
        const Case cases[] = {
            {"row past the bottom", [](FormatRecord *r) { r->theRect = Rect{3, 0, 5, 5}; }, "outside"},
            {"negative column", [](FormatRecord *r) { r->theRect.left = -1; }, "outside"},
            {"plane past the last", [](FormatRecord *r) { r->loPlane = r->hiPlane = 2; }, "planes"},
            {"planes reversed", [](FormatRecord *r) { r->loPlane = 1; }, "planes"},
            {"sample step too small", [](FormatRecord *r) { r->colBytes = 1; }, "steps"},
            {"two rows in one row's buffer", [](FormatRecord *r) { r->theRect.bottom = 2; }, "needs 20 bytes"},
            {"data past the buffer start", [](FormatRecord *r) { r->data = static_cast<uint8_t *>(r->data) + 1; },
             "needs 10 bytes"},
        };
        for (const Case &c : cases) {
            session.fault.clear();
            describeRow(0, 0, bytes);
            c.spoil(record);
            EXPECT_EQ(moveRows(&session), -50) << c.name;
            EXPECT_NE(session.fault.find(c.reason), std::string::npos) << c.name << ": " << session.fault;
        }
        session.fault.clear();
        uint8_t own[10];
        describeRow(0, 0, own);
        EXPECT_EQ(moveRows(&session), -50);
        EXPECT_NE(session.fault.find("buffer services"), std::string::npos);
    });
}

TEST_F(ServiceFixture, WritingFillsDataAndCancelsOnRequest) {
    inCall([&] {
        ASSERT_EQ(allocate(10), noErr);
        setSample(&image, 1, 2, 3, 4242);
        beginTransfer(&session, &image, Transfer::writing);
        session.cancelAfterRows = 1;
        describeRow(2, 1, bytes);
        ASSERT_EQ(moveRows(&session), noErr);
        uint16_t value;
        std::memcpy(&value, bytes + 6, 2);
        EXPECT_EQ(value, 4242);
        EXPECT_EQ(moveRows(&session), userCanceledErr);
        EXPECT_TRUE(record->abortProc());
    });
}

// ---- the module's texts -------------------------------------------------------------------

TEST(ModuleText, CodePage1252BecomesUtf8) {
    struct Case {
        const char *cp1252, *utf8;
    };
    // ASCII as it is; Latin-1's upper half; the euro and the other characters Windows puts at
    // 0x80-0x9F; an undefined byte as the replacement character.
    const Case cases[] = {{"FITS\n", "FITS\n"},
                          {"Photoshop\xae.", "Photoshop\u00ae."},
                          {"\xa0\xe9\xff", "\u00a0\u00e9\u00ff"},
                          {"\x80\x85\x99\x9f", "\u20ac\u2026\u2122\u0178"},
                          {"a\x81" "b\x90", "a\ufffd" "b\ufffd"}};
    for (const Case &c : cases)
        EXPECT_EQ(utf8FromCp1252(c.cp1252), c.utf8) << c.cp1252;
}

// What reaches standard error is in the locale's set: UTF-8, also for the C locale's ASCII,
// which holds none of the module's other characters; Latin-1 and Latin-9 as their own bytes;
// a byte a set has no character for as '?'; a set unknown to iconv as UTF-8.
TEST(ModuleText, TheLocalesCharacterSetIsWritten) {
    struct Case {
        const char *cp1252, *charset, *written;
    };
    const Case cases[] = {{"Photoshop\xae.", "UTF-8", "Photoshop\u00ae."},
                          {"Photoshop\xae.", "ANSI_X3.4-1968", "Photoshop\u00ae."},
                          {"Photoshop\xae.", "ISO-8859-1", "Photoshop\xae."},
                          {"\x80 \xe9", "ISO-8859-15", "\xa4 \xe9"},
                          {"a\x81" "b", "ISO-8859-1", "a?b"},
                          {"\xe9", "no-such-set", "\u00e9"}};
    for (const Case &c : cases)
        EXPECT_EQ(textForCharset(c.cp1252, c.charset), c.written) << c.charset << ": " << c.cp1252;
}

// ---- previews --------------------------------------------------------------------------------

// A faint frame as a camera gives it: a sky of 200 with a spread of about 6 (a repeating ramp
// 190..210), a faint star 30 above the sky, a bright one at 1700 and one hot pixel.
constexpr int32_t frameSide = 128;
HostImage faintFrame(int16_t planes) {
    HostImage image;
    allocateImage(&image, frameSide, frameSide, 16, planes, planes == 3 ? plugInModeRGBColor : plugInModeGrayScale);
    for (int32_t plane = 0; plane < planes; ++plane) {
        for (int32_t row = 0; row < frameSide; ++row)
            for (int32_t column = 0; column < frameSide; ++column)
                setSample(&image, plane, row, column,
                          static_cast<uint32_t>(190 + (row * frameSide + column) * 8 % 21));
        setSample(&image, plane, 10, 10, 230);
        setSample(&image, plane, 40, 40, 1700);
        setSample(&image, plane, 50, 5, 65535);
    }
    return image;
}

TEST(Preview, StretchesShowAFaintFrameAndKeepItsOrder) {
    struct Case {
        Stretch stretch;
        uint32_t darkestSkyFrom, darkestSkyTo, faintStarAtLeast, brightStarAtLeast;
    };
    // asinh: the sky dark but its noise showing, the faint star well above it, the bright
    // one near white; linear: the sky from black up, both stars white.
    const Case cases[] = {{Stretch::asinh, 1, 40, 64, 200}, {Stretch::linear, 0, 0, 255, 255}};
    const HostImage frame = faintFrame(1);
    for (const Case &c : cases) {
        SCOPED_TRACE(stretchName(c.stretch));
        HostImage shown;
        ASSERT_TRUE(makePreview(frame, c.stretch, &shown));
        EXPECT_EQ(shown.depth, 8);
        EXPECT_EQ(shown.planes, 1);
        EXPECT_GE(sampleAt(shown, 0, 0, 0), c.darkestSkyFrom); // 190
        EXPECT_LE(sampleAt(shown, 0, 0, 0), c.darkestSkyTo);
        EXPECT_GE(sampleAt(shown, 0, 10, 10), c.faintStarAtLeast);
        EXPECT_GE(sampleAt(shown, 0, 40, 40), c.brightStarAtLeast);
        EXPECT_EQ(sampleAt(shown, 0, 50, 5), 255u);
        // Brighter samples never show darker.
        for (int32_t k = 1; k < frameSide * frameSide; ++k) {
            const int32_t a = k - 1, b = k;
            bool brighter =
                sampleAt(frame, 0, b / frameSide, b % frameSide) > sampleAt(frame, 0, a / frameSide, a % frameSide);
            bool darker =
                sampleAt(shown, 0, b / frameSide, b % frameSide) < sampleAt(shown, 0, a / frameSide, a % frameSide);
            EXPECT_FALSE(brighter && darker) << "at sample " << k;
        }
    }
}

TEST(Preview, RgbStaysRgbWithOneRangeAndOtherPlaneCountsShowTheFirst) {
    HostImage rgb = faintFrame(3), shown;
    setSample(&rgb, 2, 40, 40, 900); // a redder star
    ASSERT_TRUE(makePreview(rgb, Stretch::asinh, &shown));
    ASSERT_EQ(shown.planes, 3);
    EXPECT_EQ(shown.mode, plugInModeRGBColor);
    EXPECT_EQ(sampleAt(shown, 0, 0, 0), sampleAt(shown, 2, 0, 0)) << "grey sky stays grey";
    EXPECT_GT(sampleAt(shown, 0, 40, 40), sampleAt(shown, 2, 40, 40));

    HostImage two;
    allocateImage(&two, 4, 4, 8, 2, plugInModeGrayScale);
    setSample(&two, 0, 1, 1, 200);
    ASSERT_TRUE(makePreview(two, Stretch::linear, &shown));
    EXPECT_EQ(shown.planes, 1);
    EXPECT_EQ(sampleAt(shown, 0, 1, 1), 255u);
    EXPECT_EQ(sampleAt(shown, 0, 0, 0), 0u);
}

// ---- image files ----------------------------------------------------------------------

Status decodeText(const std::string &text, HostImage *image) {
    return decodePnm(reinterpret_cast<const uint8_t *>(text.data()), text.size(), image);
}

TEST(ImageFiles, PnmHeadersAreParsedStrictly) {
    HostImage image;
    EXPECT_TRUE(isOk(decodeText(std::string("P5 # comment\n2 1\n255\n\x01\x02", 23), &image)));
    EXPECT_EQ(sampleAt(image, 0, 0, 1), 2u);
    EXPECT_NE(decodeText("P2\n2 1\n255\n12", &image).message.find("P5 or P6"), std::string::npos);
    EXPECT_NE(decodeText("P5\n2 1\n1000\n1234", &image).message.find("maxval 1000"), std::string::npos);
    EXPECT_NE(decodeText("P5\n2 1\n255\n1", &image).message.find("short data"), std::string::npos);
    EXPECT_NE(decodeText("P5\n2 1\n255\n123", &image).message.find("follow the image"), std::string::npos);
    EXPECT_NE(decodeText("P5\n0 1\n255\n", &image).message.find("sides"), std::string::npos);
    EXPECT_NE(decodeText("P5\n-2 1\n255\n12", &image).message.find("decimal"), std::string::npos);
    EXPECT_NE(decodeText("P5\n2 1\n255", &image).message.find("blank after maxval"), std::string::npos);
    EXPECT_EQ(decodeText("P5\n99999999 1\n255\n1", &image).exitCode, exitHostIo);
}

HostImage gradient(int16_t depth, int16_t planes) {
    HostImage image;
    allocateImage(&image, 3, 7, depth, planes, planes == 1 ? plugInModeGrayScale : plugInModeRGBColor);
    for (int32_t plane = 0; plane < planes; ++plane)
        for (int32_t row = 0; row < 3; ++row)
            for (int32_t column = 0; column < 7; ++column)
                setSample(&image, plane, row, column, static_cast<uint32_t>(plane * 20011 + row * 3001 + column * 257));
    return image;
}

bool sameImage(const HostImage &a, const HostImage &b) {
    return a.rows == b.rows && a.columns == b.columns && a.depth == b.depth && a.planes == b.planes &&
           std::memcmp(a.pixels.data.get(), b.pixels.data.get(), a.pixels.size) == 0;
}

TEST(ImageFiles, PnmAndPngKeepEverySampleAtBothDepths) {
    for (int16_t depth : {int16_t{8}, int16_t{16}})
        for (int16_t planes : {int16_t{1}, int16_t{3}}) {
            HostImage original = gradient(depth, planes), back;
            Bytes file;
            std::string notice;
            ASSERT_TRUE(isOk(encodePnm(original, &file)));
            ASSERT_TRUE(isOk(decodePnm(file.data.get(), file.size, &back)));
            EXPECT_TRUE(sameImage(original, back)) << "pnm " << depth << "/" << planes;
            ASSERT_TRUE(isOk(encodePng(original, &file)));
            ASSERT_TRUE(isOk(decodePng(file.data.get(), file.size, &back, &notice)));
            EXPECT_TRUE(sameImage(original, back)) << "png " << depth << "/" << planes;
            EXPECT_TRUE(notice.empty());
        }
}

TEST(ImageFiles, SixteenBitPnmIsBigEndian) {
    HostImage image;
    ASSERT_TRUE(isOk(decodeText(std::string("P5\n1 1\n65535\n\x12\x34", 15), &image)));
    EXPECT_EQ(sampleAt(image, 0, 0, 0), 0x1234u);
}

TEST(ImageFiles, FilesAreReplacedWholeOrNotAtAll) {
    char folder[] = "/tmp/hostsim-files-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string path = joinPath(folder, "a.pgm");
    const uint8_t first[] = {'o', 'l', 'd'};
    ASSERT_TRUE(isOk(writeWholeFile(path, first, 3)));
    EXPECT_EQ(fileSize(path), 3);
    EXPECT_EQ(writeWholeFile(joinPath(folder, "missing/a.pgm"), first, 3).exitCode, exitHostIo);
    EXPECT_EQ(fileSize(path), 3);
    unlink(path.c_str());
    EXPECT_EQ(rmdir(folder), 0) << "a temporary file was left behind";
}

// ---- the host's walk to the image's HDU -------------------------------------------------

// An empty primary HDU, a binary table of 3 rows of 4 bytes, and whatever `rest` holds.
std::string afterATable(const std::string &rest) {
    const std::string primary = headerOf({valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "0"),
                                          rawCard("END")});
    const std::string table = headerOf({rawCard("XTENSION= 'BINTABLE'"), valueCard("BITPIX", "8"),
                                        valueCard("NAXIS", "2"), valueCard("NAXIS1", "4"), valueCard("NAXIS2", "3"),
                                        valueCard("PCOUNT", "0"), valueCard("GCOUNT", "1"), rawCard("END")});
    return primary + table + std::string(2880, '\0') + rest;
}

std::string extensionOf(const std::string &naxis, const char *first = "XTENSION= 'IMAGE   '") {
    return headerOf({rawCard(first), valueCard("BITPIX", "16"), valueCard("NAXIS", naxis),
                     valueCard("NAXIS1", "2"), valueCard("NAXIS2", "2"), rawCard("EXTNAME = 'SCI'"),
                     rawCard("END")}) + std::string(2880, '\0');
}

struct WalkFixture : ::testing::Test {
    char folder[64] = "/tmp/hostsim-walk-XXXXXX";
    void SetUp() override { ASSERT_NE(mkdtemp(folder), nullptr); }
    void TearDown() override { EXPECT_EQ(std::system((std::string("rm -rf ") + folder).c_str()), 0); }
    bool find(const std::string &bytes, ImageSource *source) const {
        const std::string path = joinPath(folder, "w.fts");
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return findImageSource(path, source);
    }
};

// The image after a table is found; where the module would open none, the walk says nothing.
TEST_F(WalkFixture, TheImageIsFoundWhereTheModuleOpensIt) {
    ImageSource source;
    ASSERT_TRUE(find(afterATable(extensionOf("1") + extensionOf("2")), &source));
    EXPECT_EQ(sourceLine(source), "hdu         3 (image extension 'SCI', after an empty primary HDU, 1 binary table "
                                  "and 1 image the module does not open)\n");
    EXPECT_EQ(source.headerStart, 5 * 2880);
    // A string value after blanks, as some writers put it, is read as the module reads it.
    ASSERT_TRUE(find(afterATable(extensionOf("2", "XTENSION=   'IMAGE'")), &source));
    EXPECT_EQ(source.hdu, 2);
    const std::string huge = headerOf({rawCard("XTENSION= 'BINTABLE'"), valueCard("BITPIX", "99999999999"),
                                       valueCard("NAXIS", "1"), valueCard("NAXIS1", "99999999999"), rawCard("END")});
    const std::string noEnd = headerOf({valueCard("SIMPLE", "T"), valueCard("NAXIS", "0")});
    const struct {
        const char *name;
        std::string bytes;
    } nothing[] = {{"not FITS", std::string(2880, 'x')},
                   {"no END before the file ends", noEnd},
                   {"END beyond 1,000 blocks", noEnd + std::string(999 * 2880, ' ') + headerOf({rawCard("END")}) +
                                                   extensionOf("2")},
                   {"tables only", afterATable("")},
                   {"no extension after the table", afterATable(std::string(2880, 'x'))},
                   {"a table beyond any file", afterATable(huge + extensionOf("2"))}};
    for (const auto &c : nothing)
        EXPECT_FALSE(find(c.bytes, &source)) << c.name;
}

// ---- selector sequences ---------------------------------------------------------------

struct SessionFixture : ::testing::Test {
    HostContext context;
    char folder[64] = "/tmp/hostsim-session-XXXXXX";

    void SetUp() override {
        ASSERT_NE(mkdtemp(folder), nullptr);
        context.options.quiet = true;
        Status status = useLinkedModule(ownList, ownListSize, pluginTerminology.data(),
                                        pluginTerminologySize, ENTRYPOINT, &context.module);
        ASSERT_TRUE(isOk(status)) << status.message;
        startSession(&context);
    }
    void TearDown() override {
        stopHost(&context);
        std::string command = std::string("rm -rf ") + folder;
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string path(const char *name) const { return joinPath(folder, name); }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        std::string command = std::string("ls -A ") + folder + " | grep '^\\.'";
        std::FILE *list = popen(command.c_str(), "r");
        char line[256];
        while (list != nullptr && std::fgets(line, sizeof line, list) != nullptr)
            names.push_back(line);
        if (list != nullptr)
            pclose(list);
        return names;
    }
};

TEST_F(SessionFixture, ASavedImageOpensBackUnchanged) {
    HostImage original = gradient(16, 1), back;
    ASSERT_TRUE(isOk(saveDocument(&context.session, &original, path("g.fts"))));
    ImageFacts facts;
    Status status = openDocument(&context.session, path("g.fts"), &back, &facts);
    ASSERT_TRUE(isOk(status)) << status.message;
    EXPECT_TRUE(sameImage(original, back));
    EXPECT_EQ(facts.mode, plugInModeGrayScale);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(SessionFixture, ACancelledSaveLeavesTheOldFileAsItWas) {
    HostImage first = gradient(8, 1), second = gradient(16, 1);
    ASSERT_TRUE(isOk(saveDocument(&context.session, &first, path("k.fts"))));
    Bytes before, after;
    ASSERT_TRUE(isOk(readWholeFile(path("k.fts"), 1 << 20, &before)));
    context.session.cancelAfterRows = 2;
    Status status = saveDocument(&context.session, &second, path("k.fts"));
    EXPECT_EQ(status.exitCode, exitModuleFailed);
    EXPECT_NE(status.message.find("userCanceledErr (-128)"), std::string::npos) << status.message;
    ASSERT_TRUE(isOk(readWholeFile(path("k.fts"), 1 << 20, &after)));
    ASSERT_EQ(before.size, after.size);
    EXPECT_EQ(std::memcmp(before.data.get(), after.data.get(), before.size), 0);
    EXPECT_TRUE(leftovers().empty());
}

// A one-row image of `bitpix` samples (big-endian, as given) with extra cards.
std::vector<uint8_t> oneRowFile(int bitpix, int columns, const std::vector<std::string> &extra,
                                const std::vector<uint8_t> &data) {
    std::vector<std::string> cards = imageCards(bitpix, columns, 1);
    cards.insert(cards.end(), extra.begin(), extra.end());
    cards.push_back(rawCard("END"));
    std::vector<uint8_t> bytes = bytesOf(headerOf(cards));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

// info names the samples' kind and, for mapped kinds, the mapping the module keeps, worked out
// here from the values: 0.5 ... 2.5 with two blanks maps linearly onto 1 ... 65535; 32-bit
// integers 1 ... 500 with BLANK map one to one. 16-bit samples: -5 ... 300 reach the host as
// stored - (-5), or - (-6) when a BLANK takes host 0, and 0.1 × stored + 100 keeps its step;
// whole physical values in range (BSCALE 2) come as they are; samples that fill all 65536
// values keep their BLANK 7 among them, as host 7 + 32768. Unsigned ones take no probe. The
// temporary saves leave nothing behind, nor any handle.
TEST_F(SessionFixture, InfoNamesTheSamplesAndTheMapping) {
    const uint8_t nan[4] = {0x7F, 0xC0, 0, 0}, inf[4] = {0x7F, 0x80, 0, 0};
    const std::vector<uint8_t> floats = {0x3F, 0, 0, 0,   0x40, 0x20, 0, 0, nan[0], nan[1], nan[2], nan[3],
                                         0x3F, 0x80, 0, 0, inf[0], inf[1], inf[2], inf[3]}; // 0.5 2.5 NaN 1 inf
    const std::vector<uint8_t> integers = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x01, 0xF4}; // 1 -1 500
    const std::vector<uint8_t> signed16 = {0xFF, 0xFB, 0, 0, 0, 17, 0x01, 0x2C};                  // -5 0 17 300
    const std::vector<uint8_t> withBlank = {0xFF, 0xFB, 0x80, 0, 0, 17, 0x01, 0x2C};              // -5 blank 17 300
    const std::vector<uint8_t> everyValue = {0x80, 0, 0x7F, 0xFF, 0, 7, 0, 0};                    // -32768 32767 7 0
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        std::vector<std::string> lines;
    } cases[] = {
        {"f.fts", oneRowFile(-32, 5, {}, floats),
         {"samples     32-bit floating point (BITPIX -32)\n",
          "mapping     linear: physical 0.5 ... 2.5 onto host 1 ... 65535, step 3.051850948e-05\n",
          "blanks      2 samples (BLANK, NaN or infinities) as host 0\n"}},
        {"i.fts", oneRowFile(32, 3, {valueCard("BLANK", "-1")}, integers),
         {"samples     32-bit integers (BITPIX 32), BLANK -1\n",
          "mapping     identity: host value = physical value (1 ... 500)\n",
          "blanks      1 sample (BLANK, NaN or infinities) as host 0\n"}},
        {"l.fts", oneRowFile(64, 2, {valueCard("BLANK", "-9223372036854775808")},
                             {0, 0, 0, 0, 0, 0, 0, 3, 0x80, 0, 0, 0, 0, 0, 0, 0}),
         {"samples     64-bit integers (BITPIX 64), BLANK -9223372036854775808\n",
          "blanks      1 sample (BLANK, NaN or infinities) as host 0\n"}},
        {"s.fts", oneRowFile(16, 1, {valueCard("BZERO", "32768")}, {0x80, 0}),
         {"samples     16-bit integers (BITPIX 16), physical = 32768 + 1 x stored\n",
          "mapping     none: host value = stored sample + 32768 = physical value (BZERO 32768, BSCALE 1)\n"}},
        {"h.fts", oneRowFile(16, 4, {}, signed16),
         {"mapping     shifted stored samples: physical -5 ... 300 onto host 0 ... 305 (physical value = -5 + 1 x "
          "host value)\n",
          "blanks      none\n"}},
        {"b.fts", oneRowFile(16, 4, {valueCard("BLANK", "-32768")}, withBlank),
         {"mapping     shifted stored samples: physical -5 ... 300 onto host 1 ... 306 (physical value = -6 + 1 x "
          "host value)\n",
          "blanks      1 sample (BLANK, NaN or infinities) as host 0\n"}},
        {"t.fts", oneRowFile(16, 4, {valueCard("BSCALE", "0.1"), valueCard("BZERO", "100")}, signed16),
         {"mapping     shifted stored samples: physical 99.5 ... 130 onto host 0 ... 305 (physical value = 99.5 + "
          "0.1 x host value)\n"}},
        {"w.fts", oneRowFile(16, 4, {valueCard("BSCALE", "2")}, {0, 5, 0, 0, 0, 17, 0x01, 0x2C}),
         {"mapping     identity: host value = physical value (0 ... 600)\n"}},
        {"e.fts", oneRowFile(16, 4, {valueCard("BLANK", "7")}, everyValue),
         {"mapping     shifted stored samples: physical -32768 ... 32767 onto host 0 ... 65535 (physical value = "
          "-32768 + 1 x host value)\n",
          "blanks      1 sample (BLANK 7) as host 32775, among the others: no host value is free for them\n"}},
    };
    ASSERT_EQ(setenv("TMPDIR", folder, 1), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(isOk(writeWholeFile(path(c.name), c.file.data(), c.file.size())));
        std::string report;
        Status status = commandInfo(&context, path(c.name), &report);
        ASSERT_TRUE(isOk(status)) << status.message;
        for (const std::string &line : c.lines)
            EXPECT_NE(report.find(line), std::string::npos) << report;
        EXPECT_TRUE(context.session.handles.empty() && context.session.heldHandles.empty());
    }
    unsetenv("TMPDIR");
    EXPECT_TRUE(leftovers().empty());
    EXPECT_EQ(context.session.handlesMade, context.session.handlesDisposed);
    EXPECT_EQ(context.session.handlesLeftBehind, 0);
}

// A multichannel image, which no PNG or PNM holds, opens as one grey file per plane.
TEST_F(SessionFixture, AMultichannelImageOpensAsOneFilePerPlane) {
    std::vector<std::string> cards = {valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "3"),
                                      valueCard("NAXIS1", "2"),  valueCard("NAXIS2", "1"), valueCard("NAXIS3", "5"),
                                      rawCard("END")};
    std::vector<uint8_t> file = bytesOf(headerOf(cards));
    for (uint8_t sample = 0; sample < 10; ++sample)
        file.push_back(sample);
    ASSERT_TRUE(isOk(writeWholeFile(path("m.fts"), file.data(), file.size())));
    ASSERT_TRUE(isOk(commandOpen(&context, path("m.fts"), path("m.pgm"))));
    for (int plane = 1; plane <= 5; ++plane) {
        Bytes written;
        ASSERT_TRUE(isOk(readWholeFile(path(("m-" + std::to_string(plane) + ".pgm").c_str()), 1 << 10, &written)));
        ASSERT_GE(written.size, 2u);
        EXPECT_EQ(written.data[written.size - 2], 2 * plane - 2);
        EXPECT_EQ(written.data[written.size - 1], 2 * plane - 1);
    }
}

TEST_F(SessionFixture, FailuresNameTheSelectorAndTheResult) {
    std::vector<uint8_t> notFits(2880, 0x20);
    std::memcpy(notFits.data(), "P5", 2);
    ASSERT_TRUE(isOk(writeWholeFile(path("n.fts"), notFits.data(), notFits.size())));
    HostImage image;
    ImageFacts facts;
    Status status = openDocument(&context.session, path("n.fts"), &image, &facts);
    EXPECT_EQ(status.exitCode, exitModuleFailed);
    EXPECT_NE(status.message.find("formatCannotRead (-30501)"), std::string::npos) << status.message;

    HostImage original = gradient(16, 1);
    ASSERT_TRUE(isOk(saveDocument(&context.session, &original, path("t.fts"))));
    Bytes whole;
    ASSERT_TRUE(isOk(readWholeFile(path("t.fts"), 1 << 20, &whole)));
    ASSERT_TRUE(isOk(writeWholeFile(path("t.fts"), whole.data.get(), 2880 + 20)));
    status = openDocument(&context.session, path("t.fts"), &image, &facts);
    EXPECT_NE(status.message.find("ReadContinue: eofErr (-39)"), std::string::npos) << status.message;

    EXPECT_EQ(openDocument(&context.session, path("none.fts"), &image, &facts).exitCode, exitHostIo);
    EXPECT_EQ(saveDocument(&context.session, &original, path("no/such/x.fts")).exitCode, exitHostIo);
}

TEST_F(SessionFixture, AModeTheModuleIsNotEnabledForIsRefusedBeforeItIsCalled) {
    const ModuleInfo wide = wideModuleInfo();
    context.session.info = &wide;
    context.session.moduleName = "korvalis-x64.8bi";
    HostImage image = gradient(8, 1);
    image.mode = 2; // indexed colour
    Status status = saveDocument(&context.session, &image, path("i.fts"));
    EXPECT_EQ(status.exitCode, exitModuleFailed);
    EXPECT_NE(status.message.find("korvalis-x64.8bi is not enabled for IndexedMode images"), std::string::npos)
        << status.message;
    EXPECT_EQ(fileSize(path("i.fts")), -1);
    image.mode = plugInModeGrayScale;
    EXPECT_TRUE(isOk(saveDocument(&context.session, &image, path("i.fts"))));
}

// A module that keeps asking for ReadContinue, or hands rows outside the image.
int16_t misbehaviour = 0;
std::vector<int16_t> selectorsSeen;
void badModule(int16_t selector, void *record, intptr_t *, int16_t *result) {
    auto *r = static_cast<FormatRecord *>(record);
    selectorsSeen.push_back(selector);
    *result = noErr;
    if (selector == formatSelectorReadStart) {
        r->imageSize = Point{2, 2};
        r->depth = 8;
        r->planes = 1;
        r->imageMode = plugInModeGrayScale;
    }
    if (selector == formatSelectorReadContinue) {
        static uint8_t row[2];
        r->data = row;
        if (misbehaviour == 1) {
            r->theRect = Rect{5, 0, 6, 2};
            *result = r->advanceState();
        }
    }
}

TEST_F(SessionFixture, AModuleThatMisbehavesIsStoppedAndStillGetsReadFinish) {
    const uint8_t bytes[] = "anything";
    ASSERT_TRUE(isOk(writeWholeFile(path("b.fts"), bytes, 8)));
    initSession(&context.session, badModule, nullptr);
    context.session.progressBar = false;
    HostImage image;
    ImageFacts facts;
    for (int16_t mode : {int16_t{0}, int16_t{1}}) {
        misbehaviour = mode;
        selectorsSeen.clear();
        Status status = openDocument(&context.session, path("b.fts"), &image, &facts);
        EXPECT_EQ(status.exitCode, exitModuleFailed);
        EXPECT_NE(status.message.find(mode == 0 ? "still asked for ReadContinue" : "outside the 2 x 2 image"),
                  std::string::npos)
            << status.message;
        EXPECT_LE(selectorsSeen.size(), 10u);
        EXPECT_EQ(selectorsSeen.back(), formatSelectorReadFinish);
    }
}

// What a stand-in module does in ReadContinue for an image of one row: hands `row` (`columns`
// samples of `colBytes` bytes) over in a buffer of the host's, and takes the host's answer.
void handOverOneRow(FormatRecord *r, const void *row, int16_t columns, int16_t colBytes, int16_t *result) {
    BufferID buffer = nullptr;
    ASSERT_EQ(r->bufferProcs->allocateProc(columns * colBytes, &buffer), noErr);
    r->data = r->bufferProcs->lockProc(buffer, 0);
    std::memcpy(r->data, row, static_cast<size_t>(columns * colBytes));
    r->theRect = Rect{0, 0, 1, columns};
    r->loPlane = r->hiPlane = 0;
    r->colBytes = colBytes;
    r->rowBytes = columns * colBytes;
    *result = r->advanceState();
    r->bufferProcs->freeProc(buffer);
    r->data = nullptr;
}

// A module that hands over one 16-bit row, 0 3 4095 32768 65535, and reports `reportedMaxValue`.
int32_t reportedMaxValue = 0;
void sixteenBitModule(int16_t selector, void *record, intptr_t *, int16_t *result) {
    auto *r = static_cast<FormatRecord *>(record);
    *result = noErr;
    if (selector == formatSelectorReadStart) {
        r->imageSize = Point{1, 5};
        r->depth = 16;
        r->planes = 1;
        r->imageMode = plugInModeGrayScale;
        r->maxValue = reportedMaxValue;
    }
    const uint16_t row[5] = {0, 3, 4095, 32768, 65535};
    if (selector == formatSelectorReadContinue)
        handOverOneRow(r, row, 5, 2, result);
}

// The host brings what the module hands over from 0 … maxValue to its own scale; an unset
// maxValue leaves the samples as they come, and one past 16 bits is refused.
TEST_F(SessionFixture, SixteenBitSamplesAreTakenOnTheRangeTheModuleReports) {
    const uint8_t bytes[] = "anything";
    ASSERT_TRUE(isOk(writeWholeFile(path("m.fts"), bytes, 8)));
    const struct Case {
        uint32_t hostScale;
        int32_t maxValue;
        std::vector<uint32_t> document; // empty: refused
    } cases[] = {
        {65535, 65535, {0, 3, 4095, 32768, 65535}}, {32768, 65535, {0, 1, 2047, 16384, 32768}},
        {65535, 0, {0, 3, 4095, 32768, 65535}},     {32768, 0, {0, 3, 4095, 32768, 65535}},
        {65535, 4095, {0, 48, 65535, 65535, 65535}}, {32768, 32768, {0, 3, 4095, 32768, 32768}},
        {65535, 65536, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("host 0.." + std::to_string(c.hostScale) + ", maxValue " + std::to_string(c.maxValue));
        initSession(&context.session, sixteenBitModule, nullptr);
        setHostScale(&context.session, c.hostScale);
        reportedMaxValue = c.maxValue;
        HostImage image;
        ImageFacts facts;
        Status status = openDocument(&context.session, path("m.fts"), &image, &facts);
        if (c.document.empty()) {
            EXPECT_NE(status.message.find("maxValue of 65536"), std::string::npos) << status.message;
            continue;
        }
        ASSERT_TRUE(isOk(status)) << status.message;
        EXPECT_EQ(facts.maxValue, c.maxValue);
        std::vector<uint32_t> document;
        for (int32_t column = 0; column < 5; ++column)
            document.push_back(sampleAt(image, 0, 0, column));
        EXPECT_EQ(document, c.document);
    }
}


// A module that keeps a record per document, as a format module does in revertInfo: ReadStart
// makes a handle holding the file's first four bytes (its tag) when the record has none, and a
// save writes as its file the tag it finds in revertInfo ("none" without one). A file tagged
// FAIL fails after ReadStart made its record; one tagged ODDS leaves in revertInfo what is no
// handle at all.
void recordKeepingModule(int16_t selector, void *record, intptr_t *, int16_t *result) {
    auto *r = static_cast<FormatRecord *>(record);
    *result = noErr;
    static char tag[4];
    static char notAHandle[8];
    static BufferID rowBuffer = nullptr;
    const int file = static_cast<int>(r->dataFork);
    switch (selector) {
    case formatSelectorReadStart:
        if (pread(file, tag, 4, 0) != 4) {
            *result = -39;
            return;
        }
        if (std::memcmp(tag, "ODDS", 4) == 0) {
            r->revertInfo = reinterpret_cast<Handle>(notAHandle);
        } else if (r->revertInfo == nullptr) {
            r->revertInfo = r->handleProcs->newProc(4);
            std::memcpy(*r->revertInfo, tag, 4);
        }
        r->imageSize = Point{1, 1};
        r->depth = 8;
        r->planes = 1;
        r->imageMode = plugInModeGrayScale;
        r->data = nullptr;
        return;
    case formatSelectorReadContinue: {
        if (std::memcmp(tag, "FAIL", 4) == 0) {
            *result = -39;
            return;
        }
        const uint8_t row[1] = {0};
        handOverOneRow(r, row, 1, 1, result);
        return;
    }
    case formatSelectorOptionsStart:
    case formatSelectorEstimateStart:
        r->data = nullptr;
        return;
    case formatSelectorWriteStart: {
        const char *written = r->revertInfo != nullptr ? *r->revertInfo : "none";
        ASSERT_EQ(write(file, written, 4), 4);
        ASSERT_EQ(r->bufferProcs->allocateProc(1, &rowBuffer), noErr);
        r->data = r->bufferProcs->lockProc(rowBuffer, 0);
        r->theRect = Rect{0, 0, 1, 1};
        r->loPlane = r->hiPlane = 0;
        r->colBytes = 1;
        r->rowBytes = 1;
        return;
    }
    case formatSelectorWriteContinue: // the host has filled the one row
        r->bufferProcs->freeProc(rowBuffer);
        r->data = nullptr;
        r->theRect = Rect{0, 0, 0, 0};
        return;
    default:
        return;
    }
}

// Each save hands the module the record of the document saved, a new document none; closing
// a document, and the end of the session, dispose of the records through the handle services,
// and no handle outlives the session, also when a step fails.
TEST_F(SessionFixture, EachDocumentKeepsItsOwnRecordUntilItIsClosed) {
    for (const char *name : {"a.fts", "b.fts", "bad.fts", "odd.fts"}) {
        const std::string tag = name[0] == 'a' ? "AAAA" : name[0] == 'b' && name[1] == '.' ? "BBBB"
                                : name[0] == 'b' ? "FAIL" : "ODDS";
        ASSERT_TRUE(isOk(writeWholeFile(path(name), reinterpret_cast<const uint8_t *>(tag.data()), 4)));
    }
    const uint8_t pgm[] = "P5\n1 1\n255\n\x07";
    ASSERT_TRUE(isOk(writeWholeFile(path("n.pgm"), pgm, sizeof pgm - 1)));
    struct Case {
        std::vector<std::string> steps;
        int exitCode;
        const char *message;                                      // part of the failure's
        std::vector<std::pair<std::string, std::string>> written; // file, what the module wrote
        int64_t made;
    } cases[] = {
        {{"open:a.fts", "open:b.fts", "save:1:a1.fts", "save:2:b1.fts", "new:n.pgm", "save:3:n1.fts", "close:1",
          "save:2:b2.fts", "export:2:b.pgm"},
         exitOk, "", {{"a1.fts", "AAAA"}, {"b1.fts", "BBBB"}, {"n1.fts", "none"}, {"b2.fts", "BBBB"}}, 2},
        {{"open:a.fts", "open:bad.fts", "save:1:a2.fts"}, exitModuleFailed, "failed in ReadContinue: eofErr (-39)",
         {}, 2},
        {{"open:a.fts", "open:odd.fts"}, exitModuleFailed, "a handle the host never gave it", {}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.steps[1]);
        stopHost(&context);
        ASSERT_TRUE(isOk(useLinkedModule(ownList, ownListSize, nullptr, 0, recordKeepingModule, &context.module)));
        startSession(&context);
        context.session.handlesMade = context.session.handlesDisposed = context.session.handlesLeftBehind = 0;
        std::vector<std::string> words; // the files in the fixture's folder
        for (const std::string &step : c.steps) {
            const size_t colon = step.rfind(':');
            words.push_back(step.compare(0, 6, "close:") == 0 ? step
                                                              : step.substr(0, colon + 1) + path(step.substr(colon + 1).c_str()));
        }
        std::vector<SessionStep> steps;
        ASSERT_TRUE(isOk(parseSessionSteps(words, &steps)));
        Status status = commandSession(&context, steps);
        EXPECT_EQ(status.exitCode, c.exitCode) << status.message;
        EXPECT_NE(status.message.find(c.message), std::string::npos) << status.message;
        if (c.exitCode != exitOk) {
            EXPECT_EQ(status.message.rfind("session step 2 (open:", 0), 0u) << status.message;
        }
        for (const auto &file : c.written) {
            Bytes bytes;
            ASSERT_TRUE(isOk(readWholeFile(path(file.first.c_str()), 64, &bytes))) << file.first;
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes.data.get()), bytes.size), file.second)
                << file.first;
        }
        stopHost(&context);
        EXPECT_EQ(context.session.handlesMade, c.made);
        EXPECT_EQ(context.session.handlesDisposed, c.made) << handleTally(context.session);
        EXPECT_EQ(context.session.handlesLeftBehind, 0);
        EXPECT_TRUE(context.session.handles.empty() && context.session.heldHandles.empty());
    }
}

} // namespace
