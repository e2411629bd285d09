// Tile-compressed images through the module: every fpack mode opens as the image funpack (or
// imcopy) restores from the same file opens, sample for sample on the host, and saves as Rice
// tiles that funpack restores to what the plain save of that image holds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fitsio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "tests/fake_host.h"
#include "tests/fpack_cases.h"
#include "tests/fz_walker.h"
#include "tests/real_files.h"

namespace {

struct PlainImage {
    const char *name;
    int type; // cfitsio's image type
    long columns, rows, planes;
};

const PlainImage images[] = {
    {"u8", BYTE_IMG, 61, 23, 1},      {"i16", SHORT_IMG, 53, 37, 1},   {"blank16", SHORT_IMG, 40, 20, 1},
    {"runs16", SHORT_IMG, 70, 21, 1}, {"u16", USHORT_IMG, 45, 19, 1},  {"i32", LONG_IMG, 41, 29, 1},
    {"f32", FLOAT_IMG, 47, 31, 1},    {"calm32", FLOAT_IMG, 47, 31, 1}, {"f64", DOUBLE_IMG, 33, 17, 1},
    {"cube16", SHORT_IMG, 20, 11, 3}, {"rgb8", BYTE_IMG, 19, 13, 3}};

// Physical values: i16 and i32 reach the ends of their range; blank16 has BLANK pixels; runs16
// and u16 have the runs PLIO is for; f32 has NaN, exact zeros and a constant row (which cfitsio
// cannot quantize and gzips instead), calm32 none of them.
double pixel(const std::string &image, long c, long r, long p, long w, long h) {
    const uint64_t i = static_cast<uint64_t>((p * h + r) * w + c);
    const double n = noise(i, image.size() * 31 + static_cast<uint64_t>(image[0]));
    if (image == "u8" || image == "rgb8")
        return (c + r) % 17 == 0 ? 255 : std::fmod(c * 7 + r * 3 + p * 50 + std::floor(n * 20), 256);
    if (image == "i16")
        return i == 111 ? 32767 : i == 166 ? -32768 : 970 + std::floor(n * 60);
    if (image == "blank16")
        return i % 37 == 5 ? -999 : -200 + std::floor(n * 900);
    if (image == "runs16")
        return (c * r) % 23 == 5 ? 30000 : ((c / 7 + r / 3) % 5) * 300;
    if (image == "u16")
        return i == 0 ? 65535 : (c / 5 + r) % 3 == 0 ? 0 : std::floor(noise(i - c % 4, 3) * 65536);
    if (image == "i32")
        return i == 44 ? 2e9 : i == 173 ? -2e9 : 800000 + std::floor(n * 400000);
    if (image == "f64")
        return i % 61 == 3 ? NAN : -3 + n * 0.5;
    if (image == "cube16")
        return p * 1000 - 500 + std::floor(n * 300);
    if (i % 97 == 13)
        return image == "f32" ? NAN : 1.5;
    return i % 89 == 7 ? 0.0 : r == 5 ? 7.25 : 90 + n * 20;
}

void writePlainImage(const std::string &path, const PlainImage &image) {
    fitsfile *file = nullptr;
    int status = 0;
    long axes[3] = {image.columns, image.rows, image.planes};
    std::vector<double> values;
    for (long p = 0; p < image.planes; ++p)
        for (long r = 0; r < image.rows; ++r)
            for (long c = 0; c < image.columns; ++c)
                values.push_back(pixel(image.name, c, r, p, image.columns, image.rows));
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, image.type, image.planes > 1 ? 3 : 2, axes, &status);
    fits_write_key_str(file, "OBJECT", "tile test", "what the image shows", &status);
    if (std::string(image.name) == "blank16") {
        long blank = -999;
        fits_update_key(file, TLONG, "BLANK", &blank, "undefined pixels", &status);
    }
    fits_write_img(file, TDOUBLE, 1, static_cast<LONGLONG>(values.size()), values.data(), &status);
    fits_write_chksum(file, &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << cfitsioError(status);
}

// An empty primary of metadata and two image extensions (floats, then integers), which fpack
// compresses one by one: the module opens the first.
void writeExtensions(const std::string &path) {
    fitsfile *file = nullptr;
    int status = 0;
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, SHORT_IMG, 0, nullptr, &status);
    fits_write_key_str(file, "TELESCOP", "KVT 1.2m", "the primary's metadata", &status);
    const PlainImage parts[] = {{"f32", FLOAT_IMG, 30, 12, 1}, {"i16", SHORT_IMG, 30, 12, 1}};
    for (const PlainImage &part : parts) {
        long axes[2] = {part.columns, part.rows};
        std::vector<double> values;
        for (long r = 0; r < part.rows; ++r)
            for (long c = 0; c < part.columns; ++c)
                values.push_back(pixel(part.name, c, r, 0, part.columns, part.rows));
        fits_create_img(file, part.type, 2, axes, &status);
        fits_write_key_str(file, "EXTNAME", part.name, nullptr, &status);
        fits_write_img(file, TDOUBLE, 1, static_cast<LONGLONG>(values.size()), values.data(), &status);
    }
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << cfitsioError(status);
}

// clang-format off
const Mode modes[] = {
    {"u8", "-r", none, funpack}, {"u8", "-r -t 16,16", none, funpack}, {"u8", "-g", none, funpack},
    {"u8", "-g2", none, funpack}, {"u8", "-p", none, funpack}, {"u8", "-h", none, funpack},
    {"i16", "-r", none, funpack}, {"i16", "-r -t 16,16", none, funpack}, {"i16", "-r -t 53,37", none, funpack},
    {"i16", "-g", none, funpack}, {"i16", "-g2", none, funpack}, {"i16", "-h", none, funpack},
    {"i16", "-h -s 4", Edit::smooth, funpack}, {"i16", "-d", none, funpack},
    {"blank16", "-r", none, funpack}, {"runs16", "-p", none, funpack}, {"runs16", "-p -t 16,16", none, funpack},
    {"u16", "-r", none, funpack}, {"u16", "-p", none, funpack}, {"u16", "-g2", none, funpack},
    {"i32", "-r", none, funpack}, {"i32", "-g", none, funpack}, {"i32", "-h -s 4", none, funpack},
    {"i32", "-d", none, funpack},
    {"f32", "-q 4", none, funpack}, {"f32", "-qz 4", none, funpack}, {"f32", "-q0 4", none, funpack},
    {"f32", "-q 4", Edit::dropQuantiz, funpack}, {"f32", "-h -q 4", none, funpack},
    {"f32", "-g -q 0", none, funpack}, {"f32", "-g2 -q 0", none, funpack}, {"f32", "-d", none, funpack},
    {"calm32", "-r -t 16,16 -q 4", none, Oracle::imcopy}, {"calm32", "-r -t 16,16 -qz 4", none, Oracle::imcopy},
    {"f64", "-q 4", none, funpack}, {"f64", "-g -q 0", none, funpack},
    {"cube16", "-r", none, funpack}, {"cube16", "-r -t 20,11,3", none, funpack}, {"rgb8", "-g2", none, funpack},
    {"extensions", "-r", none, funpack},
};
// clang-format on

bool allOk(const std::vector<int16_t> &codes) {
    for (int16_t code : codes)
        if (code != noErr)
            return false;
    return true;
}

// The host image the module opens from `path`, with the record's geometry; codes of each selector.
struct Opened {
    std::vector<int16_t> codes;
    int16_t columns, rows, planes, depth;
    std::vector<uint8_t> image;
};

Opened openThroughModule(const std::string &path) {
    resetFakeHost();
    Opened opened{};
    const int file = open(path.c_str(), O_RDONLY);
    fakeHost.record.dataFork = file;
    ::testing::internal::CaptureStderr();
    for (int16_t selector : {formatSelectorFilterFile, formatSelectorReadPrepare, formatSelectorReadStart,
                             formatSelectorReadContinue, formatSelectorReadFinish})
        opened.codes.push_back(callModule(selector));
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(allOk(opened.codes)) << path << ": " << told;
    close(file);
    const FormatRecord &r = fakeHost.record;
    opened.columns = r.imageSize.h;
    opened.rows = r.imageSize.v;
    opened.planes = r.planes;
    opened.depth = r.depth;
    opened.image = fakeHost.image;
    return opened;
}

// Saves the image the fake host holds into `path`, as a host saves the document it opened.
void saveThroughModule(const std::string &path) {
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    const FormatRecord &r = fakeHost.record;
    setHostImage(r.imageSize.v, r.imageSize.h, r.depth, r.planes, fakeHost.image);
    fakeHost.record.dataFork = file;
    std::vector<int16_t> codes;
    for (int16_t selector : {formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorEstimatePrepare,
                             formatSelectorEstimateStart, formatSelectorWritePrepare, formatSelectorWriteStart,
                             formatSelectorWriteFinish})
        codes.push_back(callModule(selector));
    EXPECT_TRUE(allOk(codes)) << path;
    close(file);
    EXPECT_LE(static_cast<int64_t>(fileBytes(path).size()), int64_t{fakeHost.record.maxDataBytes})
        << "the estimate is an upper bound";
}

// The data bytes of the first HDU that has data, and its coding cards.
std::string dataAndCoding(const std::string &path) {
    const std::vector<uint8_t> file = fileBytes(path);
    for (const WalkedHdu &hdu : walkHdus(file)) {
        int64_t bytes = std::llabs(keyInteger(hdu, "BITPIX", 8)) / 8;
        for (int64_t n = 1; n <= keyInteger(hdu, "NAXIS", 0); ++n)
            bytes *= keyInteger(hdu, "NAXIS" + std::to_string(n), 0);
        if (keyInteger(hdu, "NAXIS", 0) > 0 && bytes > 0)
            return keyText(hdu, "BITPIX") + " " + keyText(hdu, "BZERO") + " " + keyText(hdu, "BSCALE") + " " +
                   keyText(hdu, "BLANK") + " " +
                   std::string(file.begin() + static_cast<long>(hdu.dataStart),
                               file.begin() + static_cast<long>(hdu.dataStart + static_cast<size_t>(bytes)));
    }
    return "no data";
}


struct TileImageFiles : ::testing::Test {
    std::string folder;
    void SetUp() override {
        if (std::system("{ command -v fpack && command -v funpack && command -v imcopy; } > /dev/null 2>&1") != 0)
            GTEST_SKIP() << "fpack, funpack and imcopy (libcfitsio-bin) are not installed";
        char pattern[] = "/tmp/korvalis-tiles-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        for (const PlainImage &image : images)
            writePlainImage(folder + "/" + image.name + ".fits", image);
        writeExtensions(folder + "/extensions.fits");
    }
    void TearDown() override {
        resetFakeHost();
        if (!folder.empty() && std::getenv("KORVALIS_KEEP_TEST_FILES") == nullptr)
            std::filesystem::remove_all(folder);
    }
    // fpack's file for the mode, and its reference decoder's.
    void pack(const Mode &mode, int index, std::string *packed, std::string *reference) {
        *packed = folder + "/mode" + std::to_string(index) + ".fz";
        *reference = folder + "/mode" + std::to_string(index) + ".fits";
        const std::string unpack = mode.oracle == Oracle::funpack ? "funpack -O " + *reference + " " + *packed
                                                                  : "imcopy " + *packed + " " + *reference;
        ASSERT_EQ(std::system(("fpack " + std::string(mode.flags) + " -O " + *packed + " " + folder + "/" +
                               mode.image + ".fits > /dev/null 2>&1")
                                  .c_str()),
                  0);
        ASSERT_TRUE(mode.edit == Edit::none || applyEdit(*packed, mode.edit));
        ASSERT_EQ(std::system((unpack + " > /dev/null 2>&1").c_str()), 0);
    }
};

TEST_F(TileImageFiles, EveryFpackModeOpensAsTheReferenceDecodersImageAndSavesAsTiles) {
    int index = 0;
    for (const Mode &mode : modes) {
        SCOPED_TRACE(std::string(mode.image) + " " + mode.flags + (mode.edit == Edit::smooth        ? " SMOOTH=1"
                                                                   : mode.edit == Edit::dropQuantiz ? " no ZQUANTIZ"
                                                                                                    : ""));
        std::string packed, reference;
        pack(mode, ++index, &packed, &reference);
        const std::string saved = packed + ".saved.fz", savedPlain = reference + ".saved.fits";
        const Opened tiled = openThroughModule(packed);
        saveThroughModule(saved);
        const Opened plain = openThroughModule(reference);
        saveThroughModule(savedPlain);
        // The tiles saved hold what the plain save of the same image holds, as funpack restores
        // them, and fitsverify finds nothing wrong with them.
        ASSERT_EQ(std::system(("funpack -O " + saved + ".fits " + saved + " > /dev/null 2>&1").c_str()), 0);
        EXPECT_TRUE(dataAndCoding(saved + ".fits") == dataAndCoding(savedPlain)) << "funpack restores other samples";
        EXPECT_EQ(fitsverifyFindings(saved), "");
        EXPECT_EQ(walkHdus(fileBytes(saved)).at(1).keys["ZCMPTYPE"], "RICE_1");
        EXPECT_EQ(tiled.columns, plain.columns);
        EXPECT_EQ(tiled.rows, plain.rows);
        EXPECT_EQ(tiled.planes, plain.planes);
        EXPECT_EQ(tiled.depth, plain.depth);
        EXPECT_TRUE(tiled.image == plain.image) << "the host samples differ";
        EXPECT_FALSE(tiled.image.empty());
    }
}

} // namespace
