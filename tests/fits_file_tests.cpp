// Real files on disk through the posix platform, with cfitsio and fitsverify as independent
// judges: files cfitsio writes open with the values it reads, and files the module writes read
// back in cfitsio with the host's values and pass fitsverify without errors or warnings.
#include <gtest/gtest.h>

#include <fitsio.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fake_host.h"
#include "tests/real_files.h"
#include "tests/mapping_oracle.h"

namespace {

constexpr size_t blockBytes = 2880;
constexpr size_t cardLength = 80;

// ---------------------------------------------------------------------------------------------
// Files and folders

struct TempFolder {
    std::string path;
};

TempFolder makeTempFolder() {
    char name[] = "/tmp/korvalis-files-XXXXXX";
    const char *made = mkdtemp(name);
    return TempFolder{made != nullptr ? made : ""};
}

// The header's cards from the first one up to and including END; empty when there is no END.
std::vector<std::string> headerCards(const std::vector<uint8_t> &bytes) {
    std::vector<std::string> cards;
    for (size_t at = 0; at + cardLength <= bytes.size(); at += cardLength) {
        cards.emplace_back(reinterpret_cast<const char *>(bytes.data() + at), cardLength);
        if (cards.back().compare(0, 8, "END     ") == 0)
            return cards;
    }
    return {};
}

std::string keywordOf(const std::string &card) { return card.substr(0, 8); }

bool isImageValueCard(const std::string &card) {
    static const char *const decided[] = {"BITPIX  ", "NAXIS   ", "NAXIS1  ", "NAXIS2  ",
                                          "NAXIS3  ", "BZERO   ", "BSCALE  "};
    return std::any_of(std::begin(decided), std::end(decided), [&](const char *k) { return keywordOf(card) == k; });
}

int cardIndex(const std::vector<std::string> &cards, const char *keyword) {
    for (size_t n = 0; n < cards.size(); ++n)
        if (keywordOf(cards[n]) == keyword)
            return static_cast<int>(n);
    return -1;
}

// ---------------------------------------------------------------------------------------------
// cfitsio as the writer and reader of reference

// A file as cfitsio writes it. The samples are given as stored integers unless `unsigned16` is
// set, in which case they are unsigned values that cfitsio itself codes with BZERO 32768.
struct CfitsioPlan {
    int imageType = SHORT_IMG;
    long columns = 5, rows = 3, planes = 0; // planes 0: a two-dimensional image
    bool unsigned16 = false;
    bool scaleKeys = false; // BSCALE/BZERO written as keys, the data stored raw
    double bscale = 1.0, bzero = 0.0;
    bool scaleIsFloatExact = true; // cfitsio's own scaled reading then matches the module's
    int keyDecimals = 0;            // BSCALE/BZERO keys in E notation with this many decimals
    int endCard = 0;                // END moved to this card (from 1) with COMMENT cards; 0 leaves it
    std::vector<long> values;
};

std::vector<long> samplePattern(size_t count, long low, long high) {
    std::vector<long> values;
    // The extremes first, so that every image carries them, then a deterministic spread.
    const long fixed[] = {low, high, 0, 1, -1, 2, -2, 3, -3, low + 1, high - 1};
    for (long v : fixed)
        if (values.size() < count && v >= low && v <= high)
            values.push_back(v);
    uint32_t state = 12345u;
    while (values.size() < count) {
        state = state * 1664525u + 1013904223u;
        values.push_back(low + static_cast<long>(state % static_cast<uint32_t>(high - low + 1)));
    }
    return values;
}

// Writes the file; the empty text on success, else what went wrong.
std::string writeWithCfitsio(const std::string &path, const CfitsioPlan &plan) {
    int status = 0;
    fitsfile *file = nullptr;
    std::string name = "!" + path;
    long axes[3] = {plan.columns, plan.rows, plan.planes};
    int axisCount = plan.planes > 0 ? 3 : 2;
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, plan.imageType, axisCount, axes, &status);
    char object[] = "NGC 1300 field";
    double exposure = 12.5;
    fits_write_key(file, TSTRING, "OBJECT", object, "target of the exposure", &status);
    fits_write_key(file, TDOUBLE, "EXPTIME", &exposure, "[s] exposure time", &status);
    fits_write_history(file, "written by the cfitsio reference writer", &status);
    if (plan.scaleKeys) {
        double bscale = plan.bscale, bzero = plan.bzero;
        if (plan.keyDecimals > 0) {
            fits_write_key_dbl(file, "BSCALE", bscale, plan.keyDecimals, "raw integers times this", &status);
            fits_write_key_dbl(file, "BZERO", bzero, plan.keyDecimals, "plus this", &status);
        } else {
            fits_write_key(file, TDOUBLE, "BSCALE", &bscale, "raw integers times this", &status);
            fits_write_key(file, TDOUBLE, "BZERO", &bzero, "plus this", &status);
        }
    }
    if (plan.endCard > 0) {
        int keys = 0, room = 0;
        fits_get_hdrspace(file, &keys, &room, &status);
        for (int n = keys + 1; status == 0 && n < plan.endCard; ++n) {
            std::string text = "filler card " + std::to_string(n);
            fits_write_comment(file, text.c_str(), &status);
        }
    }
    if (!plan.unsigned16)
        fits_set_bscale(file, 1.0, 0.0, &status); // store the integers as given
    long count = static_cast<long>(plan.values.size());
    std::vector<long> values = plan.values;
    fits_write_img(file, TLONG, 1, count, values.data(), &status);
    fits_close_file(file, &status);
    return status == 0 ? std::string() : cfitsioError(status);
}

// What cfitsio reads from a file: geometry, the stored integers, the scaled values and the
// coding keys.
struct CfitsioImage {
    int status = 0;
    int bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    std::vector<long> stored;    // scaling off
    std::vector<double> scaled;  // cfitsio's own BSCALE/BZERO applied
    int scaledStatus = 0;
    double bzero = 0.0, bscale = 1.0;
    bool hasBzero = false, hasBscale = false;
    long long headerStart = 0, dataStart = 0, dataEnd = 0;
};

CfitsioImage readWithCfitsio(const std::string &path) {
    CfitsioImage image;
    int &status = image.status;
    fitsfile *file = nullptr;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    if (status != 0)
        return image;
    fits_get_img_param(file, 3, &image.bitpix, &image.naxis, image.axes, &status);
    int keyStatus = 0;
    fits_read_key(file, TDOUBLE, "BZERO", &image.bzero, nullptr, &keyStatus);
    image.hasBzero = keyStatus == 0;
    keyStatus = 0;
    fits_read_key(file, TDOUBLE, "BSCALE", &image.bscale, nullptr, &keyStatus);
    image.hasBscale = keyStatus == 0;
    fits_get_hduaddrll(file, &image.headerStart, &image.dataStart, &image.dataEnd, &status);
    long count = 1;
    for (int n = 0; n < image.naxis && n < 3; ++n)
        count *= image.axes[n];
    int anyNull = 0;
    // cfitsio refuses to scale with BSCALE 0; the stored integers are still read.
    int scaledStatus = status;
    image.scaled.resize(static_cast<size_t>(count));
    fits_read_img(file, TDOUBLE, 1, count, nullptr, image.scaled.data(), &anyNull, &scaledStatus);
    image.scaledStatus = scaledStatus;
    fits_set_bscale(file, 1.0, 0.0, &status);
    image.stored.resize(static_cast<size_t>(count));
    fits_read_img(file, TLONG, 1, count, nullptr, image.stored.data(), &anyNull, &status);
    fits_close_file(file, &status);
    return image;
}

// The host samples the 16-bit rule gives the stored integers cfitsio read.
std::vector<long> expectedHost16(const CfitsioImage &image) {
    std::vector<int16_t> stored(image.stored.begin(), image.stored.end());
    std::vector<uint16_t> host = hostSamplesOf16(stored, image.bzero, image.bscale, false, 0);
    return std::vector<long>(host.begin(), host.end());
}

// Whether host samples keep every physical value cfitsio reads: the values themselves when
// they are whole numbers in 0 ... 65535, else host steps of BSCALE from the first.
bool keepsCfitsioValues(const std::vector<long> &host, const std::vector<double> &scaled, double bscale) {
    bool plain = true;
    for (double v : scaled)
        plain = plain && v == std::floor(v) && v >= 0.0 && v <= 65535.0;
    for (size_t i = 0; i < host.size(); ++i) {
        const double apart = plain ? scaled[i] - static_cast<double>(host[i])
                                   : (scaled[i] - scaled[0]) - bscale * static_cast<double>(host[i] - host[0]);
        if (std::fabs(apart) > 1e-9 * std::fmax(1.0, std::fabs(scaled[i])))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// fitsverify

struct VerifyReport {
    int warnings = -1, errors = -1;
    std::string output;
};

VerifyReport runFitsverify(const std::string &path) {
    VerifyReport report;
    std::string command = "fitsverify '" + path + "' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return report;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        report.output.append(chunk, got);
    pclose(pipe);
    size_t at = report.output.find("Verification found");
    if (at != std::string::npos)
        std::sscanf(report.output.c_str() + at, "Verification found %d warning(s) and %d error(s)", &report.warnings,
                    &report.errors);
    return report;
}

void expectVerifiesClean(const std::string &path) {
    VerifyReport report = runFitsverify(path);
    ASSERT_GE(report.errors, 0) << "fitsverify did not run or its summary was not found:\n" << report.output;
    EXPECT_EQ(report.errors, 0) << report.output;
    EXPECT_EQ(report.warnings, 0) << report.output;
}

// ---------------------------------------------------------------------------------------------
// The module, driven the way a host drives it

struct StepResults {
    std::vector<int16_t> codes;
    bool allZero() const {
        return std::all_of(codes.begin(), codes.end(), [](int16_t c) { return c == noErr; });
    }
};

StepResults runSelectors(std::initializer_list<int16_t> selectors) {
    StepResults results;
    for (int16_t selector : selectors)
        results.codes.push_back(callModule(selector));
    return results;
}

StepResults openThroughModule(int file) {
    fakeHost.record.dataFork = file;
    fakeHost.image.clear();
    fakeHost.advanceCalls.clear();
    fakeHost.progressCalls.clear();
    return runSelectors({formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart,
                         formatSelectorReadContinue, formatSelectorReadFinish});
}

StepResults saveThroughModule(int file) {
    fakeHost.record.dataFork = file;
    fakeHost.advanceCalls.clear();
    fakeHost.progressCalls.clear();
    return runSelectors({formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorEstimatePrepare,
                         formatSelectorEstimateStart, formatSelectorWritePrepare, formatSelectorWriteStart,
                         formatSelectorWriteFinish});
}

std::string describe(const StepResults &results) {
    std::string text;
    for (int16_t code : results.codes)
        text += std::to_string(code) + " ";
    return text;
}

// Host samples as the fake host holds them, 16-bit ones in native order.
std::vector<long> hostSamples(const std::vector<uint8_t> &image, int depth) {
    std::vector<long> samples;
    if (depth == 16) {
        for (size_t i = 0; i + 1 < image.size(); i += 2) {
            uint16_t value;
            std::memcpy(&value, image.data() + i, 2);
            samples.push_back(value);
        }
    } else {
        samples.assign(image.begin(), image.end());
    }
    return samples;
}

std::vector<uint8_t> hostImageBytes(const std::vector<long> &samples, int depth) {
    std::vector<uint8_t> bytes;
    for (long sample : samples) {
        if (depth == 16) {
            auto value = static_cast<uint16_t>(sample);
            uint8_t pair[2];
            std::memcpy(pair, &value, 2);
            bytes.insert(bytes.end(), pair, pair + 2);
        } else {
            bytes.push_back(static_cast<uint8_t>(sample));
        }
    }
    return bytes;
}

struct FitsFileTest : ::testing::Test {
    TempFolder folder;
    std::vector<int> openFiles;

    void SetUp() override {
        folder = makeTempFolder();
        ASSERT_FALSE(folder.path.empty()) << "no temporary folder";
        resetFakeHost();
    }
    void TearDown() override {
        resetFakeHost();
        for (int file : openFiles)
            close(file);
        std::error_code ignored;
        std::filesystem::remove_all(folder.path, ignored);
    }

    std::string pathFor(const std::string &name) const { return folder.path + "/" + name; }

    int openForReading(const std::string &path) {
        int file = open(path.c_str(), O_RDONLY);
        if (file >= 0)
            openFiles.push_back(file);
        return file;
    }
    int createForWriting(const std::string &path) {
        int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (file >= 0)
            openFiles.push_back(file);
        return file;
    }

    // Saves the host image to a new file and checks what every saved file must be: the
    // estimate equals the size, whole blocks, zero padding after the data, fitsverify clean.
    // Returns the file's bytes.
    std::vector<uint8_t> saveAndCheck(const std::string &name) {
        std::string path = pathFor(name);
        int file = createForWriting(path);
        EXPECT_GE(file, 0);
        StepResults results = saveThroughModule(file);
        EXPECT_TRUE(results.allZero()) << describe(results);
        std::vector<uint8_t> bytes = fileBytes(path);
        const FormatRecord &r = fakeHost.record;
        size_t dataBytes = static_cast<size_t>(r.depth / 8) * static_cast<size_t>(r.imageSize.h) *
                           static_cast<size_t>(r.imageSize.v) * static_cast<size_t>(r.planes);
        EXPECT_EQ(bytes.size() % blockBytes, 0u) << "size " << bytes.size();
        EXPECT_EQ(static_cast<size_t>(r.minDataBytes), bytes.size());
        EXPECT_EQ(r.maxDataBytes, r.minDataBytes);
        size_t headerBytes = (headerCards(bytes).size() + 35) / 36 * blockBytes;
        EXPECT_EQ(bytes.size(), (headerBytes + dataBytes + blockBytes - 1) / blockBytes * blockBytes);
        for (size_t at = headerBytes + dataBytes; at < bytes.size(); ++at)
            if (bytes[at] != 0) {
                ADD_FAILURE() << "padding byte " << at << " is " << int{bytes[at]};
                break;
            }
        expectVerifiesClean(path);
        return bytes;
    }

    // Checks that cfitsio reads the saved file as the host's image: axes, and the stored
    // samples the host's less 32768 for 16 bits (BZERO and BSCALE then say what they mean).
    void expectCfitsioReadsHostImage(const std::string &name) {
        const FormatRecord &r = fakeHost.record;
        CfitsioImage image = readWithCfitsio(pathFor(name));
        ASSERT_EQ(image.status, 0) << cfitsioError(image.status);
        EXPECT_EQ(image.bitpix, r.depth);
        EXPECT_EQ(image.naxis, r.planes > 1 ? 3 : 2);
        EXPECT_EQ(image.axes[0], r.imageSize.h);
        EXPECT_EQ(image.axes[1], r.imageSize.v);
        if (r.planes > 1) {
            EXPECT_EQ(image.axes[2], r.planes);
        }
        std::vector<long> expected = hostSamples(fakeHost.image, r.depth);
        for (long &sample : expected)
            sample -= r.depth == 16 ? 32768 : 0;
        EXPECT_EQ(image.stored, expected);
    }
};

// ---------------------------------------------------------------------------------------------
// Opening files cfitsio wrote

struct OpenCase {
    const char *name;
    CfitsioPlan plan;
};

CfitsioPlan sixteenBit(int imageType, long low, long high) {
    CfitsioPlan plan;
    plan.imageType = imageType;
    plan.columns = 37;
    plan.rows = 11;
    plan.values = samplePattern(static_cast<size_t>(plan.columns * plan.rows), low, high);
    return plan;
}

CfitsioPlan scaled(double bscale, double bzero, bool floatExact = true) {
    CfitsioPlan plan = sixteenBit(SHORT_IMG, -32768, 32767);
    plan.scaleKeys = true;
    plan.bscale = bscale;
    plan.bzero = bzero;
    plan.scaleIsFloatExact = floatExact;
    return plan;
}

std::vector<OpenCase> openCases() {
    std::vector<OpenCase> cases;
    CfitsioPlan bytes;
    bytes.imageType = BYTE_IMG;
    bytes.columns = 13; // odd rows
    bytes.rows = 7;
    bytes.values = samplePattern(13 * 7, 0, 255);
    cases.push_back({"8-bit, no BZERO", bytes});
    CfitsioPlan offsetBytes = bytes;
    offsetBytes.scaleKeys = true;
    offsetBytes.bzero = -128.0; // the module does not apply BZERO to 8-bit rows
    cases.push_back({"8-bit, BZERO -128 as a key", offsetBytes});
    CfitsioPlan unsignedSamples = sixteenBit(USHORT_IMG, 0, 65535);
    unsignedSamples.unsigned16 = true;
    cases.push_back({"USHORT_IMG, cfitsio's own BZERO 32768", unsignedSamples});
    cases.push_back({"SHORT_IMG, signed, no BZERO", sixteenBit(SHORT_IMG, -32768, 32767)});
    cases.push_back({"BSCALE 0.5, BZERO 100", scaled(0.5, 100.0)});
    cases.push_back({"BSCALE 2, BZERO 40000 (past 65535)", scaled(2.0, 40000.0)});
    cases.push_back({"BSCALE -1, BZERO 32767", scaled(-1.0, 32767.0)});
    cases.push_back({"BSCALE 0, BZERO 0 (scale taken as 1)", scaled(0.0, 0.0)});
    cases.push_back({"BSCALE 1.1, BZERO 0.1 (not exact in float)", scaled(1.1, 0.1, false)});
    CfitsioPlan exponents = scaled(1.0, 32768.0);
    exponents.keyDecimals = 14; // 3.27680000000000E+04 fills the value columns exactly
    cases.push_back({"BSCALE 1, BZERO 32768 in E notation", exponents});
    CfitsioPlan fineExponents = scaled(0.25, -1000.5);
    fineExponents.keyDecimals = 6;
    cases.push_back({"BSCALE 0.25, BZERO -1000.5 in E notation", fineExponents});
    CfitsioPlan widest = sixteenBit(SHORT_IMG, -32768, 32767);
    widest.columns = 32767; // 65534-byte rows, the most one transfer moves
    widest.rows = 2;
    widest.values = samplePattern(2 * 32767, -32768, 32767);
    cases.push_back({"widest 16-bit rows", widest});
    return cases;
}

TEST_F(FitsFileTest, FilesCfitsioWritesOpenWithTheValuesItReads) {
    for (const OpenCase &c : openCases()) {
        SCOPED_TRACE(c.name);
        std::string path = pathFor("open.fits");
        ASSERT_EQ(writeWithCfitsio(path, c.plan), "");
        CfitsioImage reference = readWithCfitsio(path);
        ASSERT_EQ(reference.status, 0) << cfitsioError(reference.status);
        resetFakeHost();
        StepResults results = openThroughModule(openForReading(path));
        ASSERT_TRUE(results.allZero()) << describe(results);
        const FormatRecord &r = fakeHost.record;
        EXPECT_EQ(r.imageSize.h, reference.axes[0]);
        EXPECT_EQ(r.imageSize.v, reference.axes[1]);
        EXPECT_EQ(r.depth, reference.bitpix);
        EXPECT_EQ(r.planes, 1);
        EXPECT_EQ(r.imageMode, plugInModeGrayScale);
        EXPECT_EQ(fakeHost.advanceCalls.size(), static_cast<size_t>(reference.axes[1]));
        ASSERT_EQ(fakeHost.progressCalls.size(), static_cast<size_t>(reference.axes[1]));
        EXPECT_EQ(fakeHost.progressCalls.back(), std::make_pair(int32_t(r.imageSize.v), int32_t(r.imageSize.v)));
        EXPECT_TRUE(r.data == nullptr) << "the hand-over ended";

        std::vector<long> got = hostSamples(fakeHost.image, r.depth);
        ASSERT_EQ(got.size(), reference.stored.size());
        std::vector<long> expected(got.size());
        for (size_t i = 0; i < got.size(); ++i)
            expected[i] = reference.stored[i];
        EXPECT_EQ(got, r.depth == 16 ? expectedHost16(reference) : expected);
        if (r.depth == 16 && c.plan.scaleIsFloatExact && reference.bscale != 0.0) {
            ASSERT_EQ(reference.scaledStatus, 0) << cfitsioError(reference.scaledStatus);
            EXPECT_TRUE(keepsCfitsioValues(got, reference.scaled, reference.bscale)) << "no value lost";
        }
        if (c.plan.unsigned16) {
            EXPECT_EQ(got, c.plan.values) << "unsigned samples arrive as written";
        }
        if (r.depth == 8) {
            EXPECT_EQ(got, c.plan.values) << "8-bit rows arrive as stored";
        }
    }
}

// Headers padded with cards so that END falls at a chosen card: the first card of a block and
// the last, so that the reader ends on the right block, for one to four blocks.
struct HeaderSizeCase {
    int endCard;
    int imageType;
};

const HeaderSizeCase headerSizeCases[] = {
    {0, USHORT_IMG},   {35, SHORT_IMG},  {36, SHORT_IMG},  {37, USHORT_IMG}, {72, SHORT_IMG},
    {73, USHORT_IMG},  {108, SHORT_IMG}, {109, SHORT_IMG}, {144, USHORT_IMG}, {143, SHORT_IMG},
};

CfitsioPlan headerSizePlan(const HeaderSizeCase &c) {
    CfitsioPlan plan = sixteenBit(c.imageType, c.imageType == USHORT_IMG ? 0 : -32768,
                                  c.imageType == USHORT_IMG ? 65535 : 32767);
    plan.columns = 9;
    plan.rows = 4;
    plan.values.resize(36);
    plan.unsigned16 = c.imageType == USHORT_IMG;
    plan.endCard = c.endCard;
    return plan;
}

TEST_F(FitsFileTest, HeadersOfOneToFourBlocksOpen) {
    for (const HeaderSizeCase &c : headerSizeCases) {
        SCOPED_TRACE("END as card " + std::to_string(c.endCard));
        std::string path = pathFor("blocks.fits");
        CfitsioPlan plan = headerSizePlan(c);
        ASSERT_EQ(writeWithCfitsio(path, plan), "");
        std::vector<std::string> cards = headerCards(fileBytes(path));
        if (c.endCard > 0) {
            ASSERT_EQ(cards.size(), static_cast<size_t>(c.endCard)) << "the writer put END elsewhere";
        }
        CfitsioImage reference = readWithCfitsio(path);
        ASSERT_EQ(reference.status, 0);
        ASSERT_EQ(reference.dataStart, static_cast<long long>((cards.size() + 35) / 36 * blockBytes));

        resetFakeHost();
        StepResults results = openThroughModule(openForReading(path));
        ASSERT_TRUE(results.allZero()) << describe(results);
        EXPECT_EQ(fakeHost.record.imageSize.h, 9);
        EXPECT_EQ(fakeHost.record.imageSize.v, 4);
        std::vector<long> got = hostSamples(fakeHost.image, 16);
        EXPECT_EQ(got, expectedHost16(reference)) << "the data are read from the first byte after the header";
    }
}

TEST_F(FitsFileTest, FilesOutsideTheSupportedSubsetAreRefused) {
    struct Refused {
        const char *name;
        int imageType;
        long planes;
    };
    const Refused cases[] = {
        {"a 16-bit cube of 25 planes", SHORT_IMG, 25},
        {"a floating-point cube of 30 planes", FLOAT_IMG, 30},
    };
    for (const Refused &c : cases) {
        SCOPED_TRACE(c.name);
        CfitsioPlan plan;
        plan.imageType = c.imageType;
        plan.planes = c.planes;
        plan.values = samplePattern(static_cast<size_t>(5 * 3 * (c.planes > 0 ? c.planes : 1)), -100, 100);
        std::string path = pathFor("refused.fits");
        ASSERT_EQ(writeWithCfitsio(path, plan), "");
        resetFakeHost();
        fakeHost.record.imageSize = Point{77, 88};
        testing::internal::CaptureStderr();
        StepResults results = openThroughModule(openForReading(path));
        std::string notices = testing::internal::GetCapturedStderr();
        ASSERT_EQ(results.codes.size(), 5u);
        EXPECT_EQ(results.codes[0], noErr) << "a SIMPLE card is recognised";
        EXPECT_EQ(results.codes[2], formatCannotRead);
        EXPECT_NE(notices.find("Header Check"), std::string::npos) << notices;
        EXPECT_EQ(fakeHost.record.imageSize.v, 77) << "a refused header gives the host no geometry";
        EXPECT_EQ(fakeHost.record.imageSize.h, 88);
    }
}

// ---------------------------------------------------------------------------------------------
// Saving fresh files

struct SaveCase {
    int16_t rows, columns, depth, planes;
};

std::vector<long> hostPattern(const SaveCase &c) {
    size_t count = static_cast<size_t>(c.rows) * static_cast<size_t>(c.columns) * static_cast<size_t>(c.planes);
    return samplePattern(count, 0, c.depth == 16 ? 65535 : 255);
}

TEST_F(FitsFileTest, FreshSavesReadBackInCfitsioWithTheHostsValues) {
    const SaveCase cases[] = {
        {1, 1, 8, 1},   {5, 301, 8, 1},   {5, 301, 16, 1}, {480, 640, 16, 1}, {7, 1, 16, 1},
        {5, 7, 8, 3},   {17, 33, 16, 3},  {2, 1440, 8, 1}, {3, 720, 16, 1}, {1, 2881, 8, 1},
        {2, 32767, 16, 1}, // 65534-byte rows
    };
    for (const SaveCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.depth) + "-bit " + std::to_string(c.columns) + " x " + std::to_string(c.rows) +
                     " x " + std::to_string(c.planes));
        resetFakeHost();
        setHostImage(c.rows, c.columns, c.depth, c.planes, hostImageBytes(hostPattern(c), c.depth));
        std::vector<uint8_t> bytes = saveAndCheck("fresh.fits");
        std::vector<std::string> cards = headerCards(bytes);
        ASSERT_FALSE(cards.empty());
        EXPECT_EQ(cards.size(), c.planes > 1 ? 10u : 9u);
        EXPECT_EQ(fakeHost.record.minDataBytes % blockBytes, 0);
        expectCfitsioReadsHostImage("fresh.fits");
        const CfitsioImage fresh = readWithCfitsio(pathFor("fresh.fits"));
        EXPECT_EQ(fresh.bzero, c.depth == 16 ? 32768.0 : 0.0);
        EXPECT_EQ(fresh.bscale, 1.0);
        EXPECT_TRUE(fakeHost.record.data == nullptr) << "the hand-over ended";
        EXPECT_EQ(fakeHost.progressCalls.size(), static_cast<size_t>(c.rows) * static_cast<size_t>(c.planes));
        if (c.planes == 1) {
            // The module opens its own file again with the same samples; the padding is not read.
            std::vector<uint8_t> saved = fakeHost.image;
            resetFakeHost();
            StepResults reopened = openThroughModule(openForReading(pathFor("fresh.fits")));
            ASSERT_TRUE(reopened.allZero()) << describe(reopened);
            EXPECT_EQ(fakeHost.record.imageSize.v, c.rows);
            EXPECT_EQ(fakeHost.record.imageSize.h, c.columns);
            EXPECT_EQ(fakeHost.record.depth, c.depth);
            EXPECT_TRUE(fakeHost.image == saved) << "the host image differs after reopening";
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Round trips: a cfitsio file opened and saved again in the same session

void expectCardsKept(const std::vector<std::string> &original, const std::vector<std::string> &written) {
    bool hadAttribution = cardIndex(original, "KORVALIS") >= 0;
    auto kept = [&](const std::vector<std::string> &cards, bool dropAttribution) {
        std::vector<std::string> left;
        for (const std::string &card : cards)
            if (!isImageValueCard(card) && !(dropAttribution && keywordOf(card) == "KORVALIS"))
                left.push_back(card);
        return left;
    };
    EXPECT_EQ(kept(written, !hadAttribution), kept(original, false))
        << "every other card is kept byte for byte and in order";
    // The rewritten cards keep their keyword, indicator and comment.
    for (const char *keyword : {"BITPIX  ", "NAXIS   ", "NAXIS1  ", "NAXIS2  ", "BZERO   ", "BSCALE  "}) {
        int before = cardIndex(original, keyword);
        int after = cardIndex(written, keyword);
        if (before < 0)
            continue;
        ASSERT_GE(after, 0) << keyword;
        EXPECT_EQ(written[after].substr(0, 10), original[before].substr(0, 10)) << keyword;
        EXPECT_EQ(written[after].substr(30), original[before].substr(30)) << keyword;
    }
}

TEST_F(FitsFileTest, RoundTripsKeepTheHeaderAndTheValues) {
    for (const HeaderSizeCase &c : headerSizeCases) {
        SCOPED_TRACE("END as card " + std::to_string(c.endCard) +
                     (c.imageType == USHORT_IMG ? ", unsigned" : ", signed"));
        std::string source = pathFor("source.fits");
        ASSERT_EQ(writeWithCfitsio(source, headerSizePlan(c)), "");
        std::vector<std::string> original = headerCards(fileBytes(source));
        resetFakeHost();
        StepResults opened = openThroughModule(openForReading(source));
        ASSERT_TRUE(opened.allZero()) << describe(opened);
        std::vector<uint8_t> image = fakeHost.image;
        setHostImage(fakeHost.record.imageSize.v, fakeHost.record.imageSize.h, 16, 1, image);

        // BZERO and BSCALE inserted before END may push a full header into a fifth block,
        // which the kept header then takes.
        bool needsInsertion = c.imageType == SHORT_IMG;
        testing::internal::CaptureStderr();
        std::vector<uint8_t> bytes = saveAndCheck("trip.fits");
        std::string notices = testing::internal::GetCapturedStderr();
        std::vector<std::string> written = headerCards(bytes);
        ASSERT_FALSE(written.empty());
        expectCfitsioReadsHostImage("trip.fits");
        EXPECT_EQ(readWithCfitsio(pathFor("trip.fits")).scaled, readWithCfitsio(source).scaled)
            << "every physical value comes back";
        EXPECT_EQ(notices, "");
        expectCardsKept(original, written);
        if (needsInsertion) {
            int end = static_cast<int>(written.size()) - 1;
            EXPECT_EQ(keywordOf(written[end - 2]), "BZERO   ");
            EXPECT_EQ(keywordOf(written[end - 1]), "BSCALE  ");
        }
    }
}

TEST_F(FitsFileTest, SavesInOneSessionFollowTheImageShape) {
    std::string source = pathFor("source.fits");
    CfitsioPlan plan = sixteenBit(SHORT_IMG, -32768, 32767);
    plan.endCard = 30;
    ASSERT_EQ(writeWithCfitsio(source, plan), "");
    std::vector<std::string> original = headerCards(fileBytes(source));
    StepResults opened = openThroughModule(openForReading(source));
    ASSERT_TRUE(opened.allZero()) << describe(opened);

    // The host turned the image into RGB of another size: NAXIS 3 and NAXIS3 after NAXIS2.
    SaveCase rgb{6, 41, 8, 3};
    setHostImage(rgb.rows, rgb.columns, rgb.depth, rgb.planes, hostImageBytes(hostPattern(rgb), 8));
    std::vector<std::string> first = headerCards(saveAndCheck("rgb.fits"));
    expectCfitsioReadsHostImage("rgb.fits");
    expectCardsKept(original, first);
    int naxis2 = cardIndex(first, "NAXIS2  ");
    ASSERT_GE(naxis2, 0);
    EXPECT_EQ(keywordOf(first[naxis2 + 1]), "NAXIS3  ");

    // Back to one plane: the NAXIS3 card goes again, and the rest stays as the first save left it.
    SaveCase gray{300, 7, 16, 1};
    setHostImage(gray.rows, gray.columns, gray.depth, gray.planes, hostImageBytes(hostPattern(gray), 16));
    std::vector<std::string> second = headerCards(saveAndCheck("gray.fits"));
    expectCfitsioReadsHostImage("gray.fits");
    expectCardsKept(original, second);
    EXPECT_EQ(cardIndex(second, "NAXIS3  "), -1);
    EXPECT_EQ(second.size(), first.size() - 1);
}

// An 8-bit cube of 7 planes with NAXIS4 = 1 and a full coordinate description of its four axes,
// as radio data have it: for each axis CTYPE, CUNIT, CRVAL, CDELT, CRPIX and CROTA, and an
// alternate description A with CTYPE, CRVAL, CDELT, CRPIX and the diagonal PC element; PC1_3A
// couples axes 1 and 3. WCSAXES = 4 first when asked.
std::string writeCubeWithCoordinates(const std::string &path, bool wcsaxes) {
    int status = 0;
    fitsfile *file = nullptr;
    long axes[4] = {6, 5, 7, 1};
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, BYTE_IMG, 4, axes, &status);
    if (wcsaxes)
        fits_write_key_lng(file, "WCSAXES", 4, nullptr, &status);
    const char *types[] = {"RA---SIN", "DEC--SIN", "VOPT", "STOKES"}, *units[] = {"deg", "deg", "m/s", "count"};
    const char *alternates[] = {"RA---TAN", "DEC--TAN", "FREQ", "STOKES"};
    for (int n = 1; n <= 4; ++n) {
        const std::string i = std::to_string(n), a = i + "A";
        fits_write_key_str(file, ("CTYPE" + i).c_str(), types[n - 1], nullptr, &status);
        fits_write_key_str(file, ("CUNIT" + i).c_str(), units[n - 1], nullptr, &status);
        fits_write_key_str(file, ("CTYPE" + a).c_str(), alternates[n - 1], nullptr, &status);
        const std::pair<std::string, double> reals[] = {
            {"CRVAL" + i, 10.0 * n}, {"CDELT" + i, 0.5 * n},  {"CRPIX" + i, 1.0}, {"CROTA" + i, 0.0},
            {"CRVAL" + a, 20.0 * n}, {"CDELT" + a, 0.25 * n}, {"CRPIX" + a, 2.0}, {"PC" + i + "_" + a, 1.0}};
        for (const auto &[keyword, value] : reals)
            fits_write_key_dbl(file, keyword.c_str(), value, 12, nullptr, &status);
    }
    fits_write_key_dbl(file, "PC1_3A", 0.5, 12, nullptr, &status);
    std::vector<unsigned char> samples(6 * 5 * 7);
    for (size_t k = 0; k < samples.size(); ++k)
        samples[k] = static_cast<unsigned char>(k * 7);
    fits_write_img(file, TBYTE, 1, static_cast<LONGLONG>(samples.size()), samples.data(), &status);
    fits_close_file(file, &status);
    return status == 0 ? std::string() : cfitsioError(status);
}

// An image whose shape changed in the editor has the axes it holds now, and the coordinate
// cards of the axes it lost go with them, unless WCSAXES declares those axes; fitsverify,
// which holds such cards to NAXIS (or WCSAXES), judges each save. A save of the first shape
// afterwards starts from the header the save before wrote.
TEST_F(FitsFileTest, AChangedShapeLeavesOutTheCoordinatesOfTheAxesItLost) {
    const struct {
        const char *what;
        int16_t planes;
        bool wcsaxes;
        int naxis;
        size_t leftOut; // 11 cards an axis, and PC1_3A with axis 3
    } cases[] = {
        {"one plane", 1, false, 2, 23},
        {"three planes", 3, false, 3, 11},
        {"one plane, WCSAXES = 4", 1, true, 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        resetFakeHost();
        const std::string source = pathFor("cube.fits");
        ASSERT_EQ(writeCubeWithCoordinates(source, c.wcsaxes), "");
        expectVerifiesClean(source);
        ASSERT_TRUE(openThroughModule(openForReading(source)).allZero());
        const std::vector<std::string> original = headerCards(fileBytes(source));

        const SaveCase changed{5, 6, 8, c.planes};
        setHostImage(changed.rows, changed.columns, 8, c.planes, hostImageBytes(hostPattern(changed), 8));
        const std::vector<std::string> saved = headerCards(saveAndCheck("changed.fits"));
        EXPECT_EQ(readWithCfitsio(pathFor("changed.fits")).naxis, c.naxis);
        std::vector<std::string> leftOut;
        for (const std::string &card : original)
            if (card.compare(0, 5, "NAXIS") != 0 && std::find(saved.begin(), saved.end(), card) == saved.end())
                leftOut.push_back(card);
        EXPECT_EQ(leftOut.size(), c.leftOut);
        for (const std::string &card : leftOut)
            EXPECT_NE(card.substr(0, 8).find_first_of("34"), std::string::npos) << "not of a lost axis: " << card;

        const SaveCase first{5, 6, 8, 7};
        setHostImage(first.rows, first.columns, 8, 7, hostImageBytes(hostPattern(first), 8));
        saveAndCheck("again.fits");
        EXPECT_EQ(readWithCfitsio(pathFor("again.fits")).naxis, 3);
    }
}

TEST_F(FitsFileTest, ARefusedFileLeavesTheKeptHeaderForTheNextSave) {
    std::string good = pathFor("good.fits");
    CfitsioPlan plan = sixteenBit(USHORT_IMG, 0, 65535);
    plan.unsigned16 = true;
    plan.endCard = 50; // two blocks, so that a header count taken from elsewhere shows
    ASSERT_EQ(writeWithCfitsio(good, plan), "");
    std::vector<std::string> original = headerCards(fileBytes(good));
    ASSERT_TRUE(openThroughModule(openForReading(good)).allZero());
    std::vector<uint8_t> image = fakeHost.image;

    CfitsioPlan floats;
    floats.imageType = FLOAT_IMG;
    floats.planes = 25;
    floats.values = samplePattern(15 * 25, -5, 5);
    std::string refused = pathFor("floats.fits");
    ASSERT_EQ(writeWithCfitsio(refused, floats), "");
    testing::internal::CaptureStderr();
    StepResults results = openThroughModule(openForReading(refused));
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(results.codes.size(), 5u);
    EXPECT_EQ(results.codes[2], formatCannotRead);

    setHostImage(11, 37, 16, 1, image);
    std::vector<std::string> written = headerCards(saveAndCheck("after.fits"));
    expectCfitsioReadsHostImage("after.fits");
    expectCardsKept(original, written);
}

// The judge itself: fitsverify must see a data unit that stops short of its block.
// ---------------------------------------------------------------------------------------------
// An editor's session: 16-bit samples on 0 … 32768

// A camera-like frame of unsigned 16-bit values: sky near 20000 with noise, stars up to a
// saturated 65535, and the edges of both scales among them.
std::vector<long> cameraFrame(size_t count) {
    std::vector<long> values = {0, 1, 2, 3, 16383, 16384, 16385, 32767, 32768, 32769, 65533, 65534, 65535};
    uint32_t state = 2024u;
    while (values.size() < count) {
        state = state * 1664525u + 1013904223u;
        long sky = 20000 + static_cast<long>(state >> 24) - 128;
        values.push_back(state % 17 == 0 ? std::min(65535L, sky + static_cast<long>(state % 60000)) : sky);
    }
    return values;
}

// What an editor does with the samples the module hands it on 0 … maxValue (65535).
std::vector<long> halvedByTheEditor(const std::vector<long> &values) {
    std::vector<long> halved;
    for (long v : values)
        halved.push_back(v > 32768 ? ((v - 1) >> 1) + 1 : v >> 1);
    return halved;
}

// Open, save, open in an editor: a grey frame comes back within one step of every value,
// never halved, and a second round trip changes nothing; a three-plane image the editor saves
// (the module opens only planes of one) reads in cfitsio within one step as well.
TEST_F(FitsFileTest, AnEditorsSaveKeepsEveryValueWithinOneStep) {
    for (long planes : {1L, 3L}) {
        SCOPED_TRACE(std::to_string(planes) + " plane(s)");
        CfitsioPlan plan;
        plan.imageType = USHORT_IMG;
        plan.unsigned16 = true;
        plan.columns = 61;
        plan.rows = 23;
        plan.planes = planes > 1 ? planes : 0;
        plan.values = cameraFrame(static_cast<size_t>(plan.columns * plan.rows * planes));
        resetFakeHost();
        fakeHost.record.hostSig = editorSignature;
        if (planes == 1) {
            ASSERT_EQ(writeWithCfitsio(pathFor("camera.fits"), plan), "");
            ASSERT_TRUE(openThroughModule(openForReading(pathFor("camera.fits"))).allZero());
            ASSERT_EQ(fakeHost.record.maxValue, 65535);
            ASSERT_EQ(hostSamples(fakeHost.image, 16), plan.values);
        }
        const std::vector<long> document = halvedByTheEditor(plan.values);
        setHostImage(static_cast<int16_t>(plan.rows), static_cast<int16_t>(plan.columns), 16,
                     static_cast<int16_t>(planes), hostImageBytes(document, 16));
        std::vector<uint8_t> saved = saveAndCheck("edited.fits");
        CfitsioImage back = readWithCfitsio(pathFor("edited.fits"));
        ASSERT_EQ(back.status, 0) << cfitsioError(back.status);
        ASSERT_EQ(back.scaled.size(), plan.values.size());
        for (size_t i = 0; i < plan.values.size(); ++i)
            ASSERT_LE(std::abs(static_cast<long>(back.scaled[i]) - plan.values[i]), 1) << "sample " << i;
        if (planes > 1)
            continue;
        ASSERT_TRUE(openThroughModule(openForReading(pathFor("edited.fits"))).allZero());
        EXPECT_EQ(halvedByTheEditor(hostSamples(fakeHost.image, 16)), document);
        setHostImage(static_cast<int16_t>(plan.rows), static_cast<int16_t>(plan.columns), 16, 1,
                     hostImageBytes(halvedByTheEditor(hostSamples(fakeHost.image, 16)), 16));
        EXPECT_TRUE(saveAndCheck("again.fits") == saved) << "a second round trip changed the file";
    }
}

TEST_F(FitsFileTest, FitsverifyFindsAnUnpaddedFile) {
    std::string path = pathFor("short.fits");
    CfitsioPlan plan = sixteenBit(SHORT_IMG, -10, 10);
    ASSERT_EQ(writeWithCfitsio(path, plan), "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(blockBytes + 2 * 37 * 11)), 0);
    VerifyReport report = runFitsverify(path);
    EXPECT_GT(report.errors, 0) << report.output;
}

// ---------------------------------------------------------------------------------------------
// A disk that is full

// /dev/full refuses every write with ENOSPC. The platform reports that as a write of no bytes,
// so the header write comes up short: a full disk, not a failed call.
TEST_F(FitsFileTest, SaveToAFullDeviceFailsAtTheHeader) {
    int file = open("/dev/full", O_WRONLY);
    ASSERT_GE(file, 0);
    openFiles.push_back(file);
    setHostImage(4, 10, 16, 1, hostImageBytes(samplePattern(40, 0, 65535), 16));
    StepResults results = saveThroughModule(file);
    ASSERT_EQ(results.codes.size(), 7u);
    EXPECT_EQ(results.codes[3], noErr) << "the estimate does not touch the file";
    EXPECT_EQ(results.codes[5], dskFulErr) << "a full disk during the header";
    EXPECT_TRUE(fakeHost.advanceCalls.empty()) << "no row is taken from the host";
    EXPECT_TRUE(fakeHost.progressCalls.empty());
}

// A file-size limit makes the file stop growing at a chosen byte: the write that crosses it is
// short, as on a disk that runs out of space, and a write that starts at the limit fails with
// EFBIG, which is a failed call (writErr) rather than a full disk.
struct FileSizeLimit {
    rlimit previous{};
    void (*previousHandler)(int) = SIG_DFL;
};

FileSizeLimit limitFileSize(rlim_t bytes) {
    FileSizeLimit saved;
    getrlimit(RLIMIT_FSIZE, &saved.previous);
    saved.previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved.previous;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    return saved;
}

void restoreFileSize(const FileSizeLimit &saved) {
    setrlimit(RLIMIT_FSIZE, &saved.previous);
    std::signal(SIGXFSZ, saved.previousHandler);
}

TEST_F(FitsFileTest, DiskFillingDuringHeaderOrRowsEndsTheSave) {
    struct Filling {
        const char *name;
        rlim_t limit;
        OSErr expected;
        size_t advances; // rows taken from the host
    };
    constexpr rlim_t rowBytes = 20; // 10 columns of 16 bits
    const Filling cases[] = {
        {"inside the header", 1000, dskFulErr, 0},
        {"at the end of the header", blockBytes, writErr, 1},
        {"inside row 2", blockBytes + 2 * rowBytes + 7, eofErr, 3},
        {"inside the padding", blockBytes + 4 * rowBytes + 5, eofErr, 4},
    };
    for (const Filling &c : cases) {
        SCOPED_TRACE(c.name);
        resetFakeHost();
        std::string path = pathFor("full.fits");
        int file = createForWriting(path);
        ASSERT_GE(file, 0);
        setHostImage(4, 10, 16, 1, hostImageBytes(samplePattern(40, 0, 65535), 16));
        FileSizeLimit saved = limitFileSize(c.limit);
        StepResults results = saveThroughModule(file);
        restoreFileSize(saved);
        ASSERT_EQ(results.codes.size(), 7u);
        EXPECT_EQ(results.codes[5], c.expected);
        EXPECT_EQ(fakeHost.advanceCalls.size(), c.advances);
        EXPECT_EQ(fileBytes(path).size(), static_cast<size_t>(c.limit)) << "what was written stays";
    }
}

} // namespace
