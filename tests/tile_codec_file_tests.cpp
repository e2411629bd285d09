// The tile codecs against fpack and funpack: every mode fpack writes, each tile decoded by the
// module's codecs, must give funpack's pixels bit for bit; the Rice encoder must write fpack's
// bytes; and tiles the module's encoders write must come back out of funpack unchanged.
#include <gtest/gtest.h>

#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fits/tile_codecs.h"
#include "tests/fz_walker.h"
#include "tests/real_files.h"

namespace {

bool haveFpack() { return std::system("command -v fpack >/dev/null 2>&1 && command -v funpack >/dev/null 2>&1") == 0; }

// A repeatable number in [0, 1) for pixel `i` of image `salt`.
double noise(uint64_t i, uint64_t salt) {
    uint64_t x = i * 0x9E3779B97F4A7C15ull + salt * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) / 9007199254740992.0;
}

// The plain images fpack is given: a sample kind, a size, and physical values.
struct PlainImage {
    const char *name;
    int bitpix; // cfitsio's image type: BYTE_IMG … DOUBLE_IMG, USHORT_IMG
    long columns;
    long rows;
    double (*value)(long column, long row, long columns);
};

double bytes8(long c, long r, long w) {
    double v = std::fmod(c * 7 + r * 3 + std::floor(noise(r * w + c, 1) * 20), 256);
    return (c + r) % 17 == 0 ? 255 : v;
}

// Noise with two pixels at the ends of the range, which lossy hcompress pushes past them.
double shorts16(long c, long r, long w) {
    if (r == 2 && c == 5)
        return 32767;
    if (r == 3 && c == 7)
        return -32768;
    return 1000 + std::floor(noise(r * w + c, 2) * 60) - 30;
}

// Runs, as in the masks PLIO is for, with jumps beyond what one instruction adds.
double runs16(long c, long r, long) {
    if ((c * r) % 23 == 5)
        return 30000;
    return ((c / 7 + r / 3) % 5) * 300;
}

// Runs of values over the whole unsigned range. (Noise without runs overflows fpack's own
// PLIO buffer.)
double unsigned16(long c, long r, long w) {
    if (c == 0 && r == 0)
        return 65535;
    return ((c / 5 + r) % 3 == 0) ? 0 : std::floor(noise(r * w + c / 4, 3) * 65536);
}

double longs32(long c, long r, long w) {
    if (r == 1 && c == 3)
        return 2000000000;
    if (r == 4 && c == 9)
        return -2000000000;
    return 1000000 + std::floor(noise(r * w + c, 4) * 400000) - 200000;
}

// Noise with undefined pixels, exact zeros and one constant row (which cfitsio cannot quantize
// and stores gzipped instead).
double floats32(long c, long r, long w) {
    if ((r * w + c) % 97 == 13)
        return NAN;
    if ((r * w + c) % 89 == 7)
        return 0.0;
    if (r == 5)
        return 7.25;
    return 100 + noise(r * w + c, 5) * 20 - 10;
}

// The same without undefined pixels, for the reference decoder that loses them.
double calmFloats32(long c, long r, long w) { return std::isnan(floats32(c, r, w)) ? 1.5 : floats32(c, r, w); }

double floats64(long c, long r, long w) {
    if ((r * w + c) % 61 == 3)
        return NAN;
    return -3 + noise(r * w + c, 6) * 0.5;
}

// Rows longer than the dither table, so that one tile's offsets wrap around it.
double wideFloats(long c, long r, long w) { return 50 + noise(r * w + c, 7) * 8; }

const PlainImage images[] = {
    {"u8", BYTE_IMG, 61, 23, bytes8},
    {"i16", SHORT_IMG, 53, 37, shorts16},
    {"runs16", SHORT_IMG, 70, 21, runs16},
    {"u16", USHORT_IMG, 45, 19, unsigned16},
    {"i32", LONG_IMG, 41, 29, longs32},
    {"f32", FLOAT_IMG, 47, 31, floats32},
    {"f64", DOUBLE_IMG, 33, 17, floats64},
    {"wide", FLOAT_IMG, 10500, 2, wideFloats},
    {"f32calm", FLOAT_IMG, 47, 31, calmFloats32},
};

const PlainImage &imageNamed(const std::string &name) {
    for (const PlainImage &image : images)
        if (name == image.name)
            return image;
    return images[0];
}

std::string writePlainImage(const std::string &folder, const PlainImage &image) {
    std::string path = folder + "/" + image.name + ".fits";
    fitsfile *file = nullptr;
    int status = 0;
    long axes[2] = {image.columns, image.rows};
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, image.bitpix, 2, axes, &status);
    std::vector<double> values(static_cast<size_t>(image.columns * image.rows));
    for (long r = 0; r < image.rows; ++r)
        for (long c = 0; c < image.columns; ++c)
            values[static_cast<size_t>(r * image.columns + c)] = image.value(c, r, image.columns);
    fits_write_img(file, TDOUBLE, 1, static_cast<LONGLONG>(values.size()), values.data(), &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << cfitsioError(status);
    return path;
}

// Changes made to an .fz file between fpack and funpack, to reach what fpack does not write.
enum class Edit { none, smooth, dropQuantiz };

// The reference decoder: funpack, or imcopy where funpack 4.2.0 is wrong. For float images
// with tiles narrower than the image funpack writes each tile's pixels in tile order, one image
// row after another, while imcopy puts them in place. imcopy in turn gives undefined pixels the
// dequantized value of ZBLANK rather than NaN, so it judges only images without them.
enum class Oracle { funpack, imcopy };

struct Mode {
    const char *image;
    const char *flags;
    Edit edit;
    Oracle oracle;
};

const Mode modes[] = {
    {"u8", "-r", Edit::none, Oracle::funpack},
    {"u8", "-r -t 16,16", Edit::none, Oracle::funpack},
    {"u8", "-g", Edit::none, Oracle::funpack},
    {"u8", "-g2", Edit::none, Oracle::funpack},
    {"u8", "-p", Edit::none, Oracle::funpack},
    {"u8", "-h", Edit::none, Oracle::funpack},
    {"i16", "-r", Edit::none, Oracle::funpack},
    {"i16", "-r -t 16,16", Edit::none, Oracle::funpack},
    {"i16", "-g", Edit::none, Oracle::funpack},
    {"i16", "-g2", Edit::none, Oracle::funpack},
    {"i16", "-h", Edit::none, Oracle::funpack},
    {"i16", "-h -t 16,16", Edit::none, Oracle::funpack},
    {"i16", "-h -s 4", Edit::none, Oracle::funpack},
    {"i16", "-h -s 4", Edit::smooth, Oracle::funpack},
    {"i16", "-h -s -40", Edit::smooth, Oracle::funpack},
    {"i16", "-d", Edit::none, Oracle::funpack},
    {"runs16", "-p", Edit::none, Oracle::funpack},
    {"runs16", "-p -t 16,16", Edit::none, Oracle::funpack},
    {"u16", "-r", Edit::none, Oracle::funpack},
    {"u16", "-p", Edit::none, Oracle::funpack},
    {"u16", "-g2", Edit::none, Oracle::funpack},
    {"i32", "-r", Edit::none, Oracle::funpack},
    {"i32", "-r -t 16,16", Edit::none, Oracle::funpack},
    {"i32", "-g", Edit::none, Oracle::funpack},
    {"i32", "-g2", Edit::none, Oracle::funpack},
    {"i32", "-h", Edit::none, Oracle::funpack},
    {"i32", "-h -s 4", Edit::none, Oracle::funpack},
    {"i32", "-h -s 4", Edit::smooth, Oracle::funpack},
    {"i32", "-d", Edit::none, Oracle::funpack},
    {"f32", "-q12 4", Edit::none, Oracle::funpack},
    {"f32", "-qz77 4", Edit::none, Oracle::funpack},
    {"f32", "-q0 4", Edit::none, Oracle::funpack},
    {"f32", "-q12 4", Edit::dropQuantiz, Oracle::funpack},
    {"f32calm", "-r -t 16,16 -q3 4", Edit::none, Oracle::imcopy},
    {"f32calm", "-r -t 16,16 -qz3 4", Edit::none, Oracle::imcopy},
    {"f32", "-h -q4 4", Edit::none, Oracle::funpack},
    {"f32", "-g2 -q5 4", Edit::none, Oracle::funpack},
    {"f32", "-g -q 0", Edit::none, Oracle::funpack},
    {"f32", "-g2 -q 0", Edit::none, Oracle::funpack},
    {"f32", "-d", Edit::none, Oracle::funpack},
    {"f64", "-q6 4", Edit::none, Oracle::funpack},
    {"f64", "-qz7 2", Edit::none, Oracle::funpack},
    {"f64", "-g -q 0", Edit::none, Oracle::funpack},
    {"f64", "-g2 -q 0", Edit::none, Oracle::funpack},
    {"wide", "-q9999 4", Edit::none, Oracle::funpack},
    {"wide", "-qz8 4", Edit::none, Oracle::funpack},
};

// Overwrites the header card `keyword` (value in columns 11-30), or turns it into a comment
// when `value` is null.
bool editCard(std::vector<uint8_t> *file, const std::string &keyword, const char *value) {
    std::string padded = (keyword + "        ").substr(0, 8) + "=";
    for (size_t at = 0; at + 80 <= file->size(); at += 80) {
        if (std::memcmp(&(*file)[at], padded.data(), padded.size()) != 0)
            continue;
        char card[81];
        if (value == nullptr)
            std::snprintf(card, sizeof card, "COMMENT %-72s", "a keyword removed by the codec tests");
        else
            std::snprintf(card, sizeof card, "%-8s= %20s%50s", keyword.c_str(), value, "");
        std::memcpy(&(*file)[at], card, 80);
        return true;
    }
    return false;
}

// The ZVALn that goes with ZNAMEn = `name`.
std::string compressionValueKey(const WalkedHdu &hdu, const std::string &name) {
    for (int n = 1; n < 10; ++n)
        if (keyText(hdu, "ZNAME" + std::to_string(n)) == name)
            return "ZVAL" + std::to_string(n);
    return std::string();
}

bool applyEdit(const std::string &path, Edit edit) {
    if (edit == Edit::none)
        return true;
    std::vector<uint8_t> file = fileBytes(path);
    std::vector<WalkedHdu> hdus = walkHdus(file);
    if (hdus.size() < 2)
        return false;
    bool done = edit == Edit::smooth ? editCard(&file, compressionValueKey(hdus[1], "SMOOTH"), "1")
                                     : editCard(&file, "ZQUANTIZ", nullptr);
    FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    done = done && std::fwrite(file.data(), 1, file.size(), out) == file.size();
    std::fclose(out);
    return done;
}

// An image decoded tile by tile: stored samples of integer images, values of float ones.
struct DecodedImage {
    int64_t bitpix;
    int64_t columns;
    int64_t rows;
    std::vector<uint8_t> samples;
    std::vector<double> values;
    int riceTiles;        // tiles that were Rice-coded
    int riceTilesRecoded; // of those, tiles the module's encoder writes byte for byte alike
};

TileCodec codecNamed(const std::string &name) {
    if (name == "RICE_1" || name == "RICE_ONE")
        return TileCodec::rice;
    if (name == "GZIP_1")
        return TileCodec::gzip1;
    if (name == "GZIP_2")
        return TileCodec::gzip2;
    if (name == "PLIO_1")
        return TileCodec::plio;
    if (name == "HCOMPRESS_1")
        return TileCodec::hcompress;
    return TileCodec::none;
}

TileCodecParams codecParams(const WalkedHdu &hdu) {
    TileCodecParams params{codecNamed(keyText(hdu, "ZCMPTYPE")), 32, 4, 0, 0};
    for (int n = 1; n < 10; ++n) {
        std::string name = keyText(hdu, "ZNAME" + std::to_string(n));
        int64_t value = keyInteger(hdu, "ZVAL" + std::to_string(n), 0);
        if (name == "BLOCKSIZE")
            params.blockSize = static_cast<int32_t>(value);
        else if (name == "BYTEPIX")
            params.bytePix = static_cast<int32_t>(value);
        else if (name == "SMOOTH")
            params.smooth = static_cast<int32_t>(value);
    }
    // Unsigned 16-bit images are PLIO-coded with 32768 added.
    if (params.codec == TileCodec::plio && keyInteger(hdu, "ZBITPIX", 0) == 16 && keyReal(hdu, "BZERO", 0) == 32768 &&
        !findColumn(hdu, "ZZERO").found && hdu.keys.count("ZZERO") == 0)
        params.plioOffset = 32768;
    return params;
}

Quantization quantizationNamed(const std::string &name) {
    if (name == "SUBTRACTIVE_DITHER_1")
        return Quantization::subtractiveDither1;
    if (name == "SUBTRACTIVE_DITHER_2")
        return Quantization::subtractiveDither2;
    return Quantization::noDither;
}

DequantizeParams dequantizeParams(const std::vector<uint8_t> &file, const WalkedHdu &hdu, int64_t row) {
    TableColumn scale = findColumn(hdu, "ZSCALE");
    TableColumn zero = findColumn(hdu, "ZZERO");
    TableColumn blank = findColumn(hdu, "ZBLANK");
    DequantizeParams params{};
    params.method = quantizationNamed(keyText(hdu, "ZQUANTIZ"));
    params.scale = scale.found ? doubleCell(file, hdu, scale, row) : keyReal(hdu, "ZSCALE", 1);
    params.zero = zero.found ? doubleCell(file, hdu, zero, row) : keyReal(hdu, "ZZERO", 0);
    params.hasBlank = blank.found || hdu.keys.count("ZBLANK") != 0;
    params.blank = blank.found ? integerCell(file, hdu, blank, row) : keyInteger(hdu, "ZBLANK", 0);
    params.tileRow = row + 1;
    params.ditherSeed = keyInteger(hdu, "ZDITHER0", 1);
    return params;
}

// Rice-codes a decoded tile again and compares with the file's bytes.
bool recodesAlike(const std::vector<uint8_t> &samples, int64_t count, const TileCodecParams &params,
                  const std::vector<uint8_t> &stored) {
    std::vector<uint8_t> coded(riceEncodeBound(count, params.bytePix, params.blockSize));
    size_t written = 0;
    return riceEncode(samples.data(), count, params.bytePix, params.blockSize, coded.data(), coded.size(), &written) ==
               TileStatus::ok &&
           std::vector<uint8_t>(coded.begin(), coded.begin() + static_cast<long>(written)) == stored;
}

// Decodes every tile of the file's compressed image; an empty string, or what went wrong.
std::string decodeCompressedImage(const std::vector<uint8_t> &file, DecodedImage *image) {
    std::vector<WalkedHdu> hdus = walkHdus(file);
    if (hdus.size() < 2 || keyText(hdus[1], "ZIMAGE") != "T")
        return "no compressed image in HDU 2";
    const WalkedHdu &hdu = hdus[1];
    image->bitpix = keyInteger(hdu, "ZBITPIX", 0);
    image->columns = keyInteger(hdu, "ZNAXIS1", 0);
    image->rows = keyInteger(hdu, "ZNAXIS2", 1);
    int64_t tileColumns = keyInteger(hdu, "ZTILE1", image->columns);
    int64_t tileRows = keyInteger(hdu, "ZTILE2", 1);
    int64_t across = (image->columns + tileColumns - 1) / tileColumns;
    TileCodecParams params = codecParams(hdu);
    TableColumn compressed = findColumn(hdu, "COMPRESSED_DATA");
    TableColumn gzipped = findColumn(hdu, "GZIP_COMPRESSED_DATA");
    TableColumn uncompressed = findColumn(hdu, "UNCOMPRESSED_DATA");
    bool quantized = image->bitpix < 0 && (findColumn(hdu, "ZSCALE").found || hdu.keys.count("ZSCALE") != 0);
    int32_t naturalBytes = static_cast<int32_t>(std::llabs(image->bitpix) / 8);
    size_t pixels = static_cast<size_t>(image->columns * image->rows);
    image->samples.assign(image->bitpix > 0 ? pixels * static_cast<size_t>(naturalBytes) : 0, 0);
    image->values.assign(image->bitpix < 0 ? pixels : 0, 0.0);
    static DitherTable table;
    fillDitherTable(&table);
    for (int64_t row = 0; row < keyInteger(hdu, "NAXIS2", 0); ++row) {
        int64_t x0 = row % across * tileColumns;
        int64_t y0 = row / across * tileRows;
        TileShape shape{static_cast<int32_t>(std::min(tileColumns, image->columns - x0)),
                        static_cast<int32_t>(std::min(tileRows, image->rows - y0))};
        int64_t count = int64_t{shape.columns} * shape.rows;
        TileCodecParams tileParams = params;
        bool lossless = !quantized;
        int32_t width = quantized ? 4 : naturalBytes;
        std::vector<uint8_t> bytes = arrayCell(file, hdu, compressed, row);
        if (bytes.empty() && !arrayCell(file, hdu, gzipped, row).empty()) {
            bytes = arrayCell(file, hdu, gzipped, row);
            tileParams.codec = TileCodec::gzip1;
            lossless = true;
            width = naturalBytes;
        } else if (bytes.empty()) {
            bytes = arrayCell(file, hdu, uncompressed, row);
            tileParams.codec = TileCodec::none;
            lossless = true;
            width = naturalBytes;
        }
        std::vector<uint8_t> scratch(tileScratchBytes(tileParams, shape, width));
        std::vector<uint8_t> samples(static_cast<size_t>(count * width));
        TileStatus status = decodeTile(tileParams, bytes.data(), bytes.size(), shape, width, samples.data(),
                                       TileScratch{scratch.data(), scratch.size()});
        if (status != TileStatus::ok)
            return "tile " + std::to_string(row + 1) + " " + tileStatusText(status);
        if (tileParams.codec == TileCodec::rice) {
            ++image->riceTiles;
            image->riceTilesRecoded += recodesAlike(samples, count, tileParams, bytes) ? 1 : 0;
        }
        std::vector<double> values(image->bitpix < 0 ? static_cast<size_t>(count) : 0);
        if (image->bitpix < 0 && lossless)
            restoreLosslessFloats(samples.data(), width, count, values.data());
        else if (image->bitpix < 0)
            dequantizeTile(dequantizeParams(file, hdu, row), table, samples.data(), width, count, values.data());
        for (int64_t r = 0; r < shape.rows; ++r) {
            size_t to = static_cast<size_t>((y0 + r) * image->columns + x0);
            size_t from = static_cast<size_t>(r * shape.columns);
            if (image->bitpix > 0)
                std::memcpy(&image->samples[to * naturalBytes], &samples[from * naturalBytes],
                            static_cast<size_t>(shape.columns) * naturalBytes);
            else
                std::copy(values.begin() + static_cast<long>(from),
                          values.begin() + static_cast<long>(from + shape.columns),
                          image->values.begin() + static_cast<long>(to));
        }
    }
    return std::string();
}

// The decompressed image: in the primary HDU when funpack read a .fz with ZSIMPLE, else in the
// first extension.
const WalkedHdu *unpackedImage(const std::vector<WalkedHdu> &hdus) {
    for (const WalkedHdu &hdu : hdus)
        if (keyInteger(hdu, "NAXIS", 0) > 0)
            return &hdu;
    return nullptr;
}

// Compares the decoded image with the reference decoder's output, pixel for pixel; an empty
// string, or the first difference.
std::string compareWithFunpack(const DecodedImage &image, const std::vector<uint8_t> &reference) {
    std::vector<WalkedHdu> hdus = walkHdus(reference);
    if (unpackedImage(hdus) == nullptr)
        return "the reference decoder wrote no image";
    const WalkedHdu &hdu = *unpackedImage(hdus);
    if (keyInteger(hdu, "BITPIX", 0) != image.bitpix || keyInteger(hdu, "NAXIS1", 0) != image.columns ||
        keyInteger(hdu, "NAXIS2", 0) != image.rows)
        return "the reference image has another BITPIX or size";
    const uint8_t *data = &reference[hdu.dataStart];
    if (image.bitpix > 0) {
        size_t width = static_cast<size_t>(image.bitpix / 8);
        for (size_t i = 0; i < image.samples.size() / width; ++i)
            if (std::memcmp(&image.samples[i * width], data + i * width, width) != 0)
                return "pixel " + std::to_string(i) + " differs";
        return std::string();
    }
    for (size_t i = 0; i < image.values.size(); ++i) {
        uint64_t bits = 0;
        for (int b = 0; b < (image.bitpix == -32 ? 4 : 8); ++b)
            bits = (bits << 8) | data[i * (image.bitpix == -32 ? 4 : 8) + b];
        double theirs = 0;
        double ours = image.values[i];
        bool same = false;
        if (image.bitpix == -32) {
            uint32_t narrow = static_cast<uint32_t>(bits);
            float value = 0;
            std::memcpy(&value, &narrow, 4);
            float mine = static_cast<float>(ours);
            theirs = value;
            same = std::memcmp(&value, &mine, 4) == 0 || (std::isnan(value) && std::isnan(mine));
        } else {
            std::memcpy(&theirs, &bits, 8);
            same = std::memcmp(&theirs, &ours, 8) == 0 || (std::isnan(theirs) && std::isnan(ours));
        }
        if (!same)
            return "pixel " + std::to_string(i) + ": " + std::to_string(ours) + " but the reference " +
                   std::to_string(theirs);
    }
    return std::string();
}

struct TileCodecFiles : ::testing::Test {
    std::string folder;
    void SetUp() override {
        if (!haveFpack())
            GTEST_SKIP() << "fpack and funpack (libcfitsio-bin) are not installed";
        char pattern[] = "/tmp/korvalis-codecs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override {
        if (!folder.empty() && std::getenv("KORVALIS_KEEP_TEST_FILES") == nullptr)
            std::system(("rm -rf " + folder).c_str());
    }
    bool run(const std::string &command) { return std::system((command + " > /dev/null 2>&1").c_str()) == 0; }
};

TEST_F(TileCodecFiles, EveryFpackModeDecodesToTheReferencePixels) {
    for (const PlainImage &image : images)
        writePlainImage(folder, image);
    int matched = 0;
    int riceTiles = 0;
    int riceTilesRecoded = 0;
    int index = 0;
    for (const Mode &mode : modes) {
        std::string label = std::string(mode.image) + " " + mode.flags +
                            (mode.edit == Edit::smooth        ? " SMOOTH=1"
                             : mode.edit == Edit::dropQuantiz ? " no ZQUANTIZ"
                                                              : "");
        SCOPED_TRACE(label);
        std::string packed = folder + "/mode" + std::to_string(++index) + ".fz";
        std::string unpacked = folder + "/mode" + std::to_string(index) + ".fits";
        ASSERT_TRUE(run(std::string("fpack ") + mode.flags + " -O " + packed + " " + folder + "/" +
                        imageNamed(mode.image).name + ".fits"));
        ASSERT_TRUE(applyEdit(packed, mode.edit));
        ASSERT_TRUE(run((mode.oracle == Oracle::funpack ? "funpack -O " + unpacked + " " : "imcopy ") + packed + " " +
                        (mode.oracle == Oracle::funpack ? "" : unpacked)));
        DecodedImage decoded{};
        std::string failure = decodeCompressedImage(fileBytes(packed), &decoded);
        EXPECT_EQ(failure, "");
        if (!failure.empty())
            continue;
        failure = compareWithFunpack(decoded, fileBytes(unpacked));
        EXPECT_EQ(failure, "");
        matched += failure.empty() ? 1 : 0;
        riceTiles += decoded.riceTiles;
        riceTilesRecoded += decoded.riceTilesRecoded;
    }
    std::printf("%d of %zu fpack modes decode to the reference pixels; %d of %d Rice tiles recoded byte for byte\n",
                matched, std::size(modes), riceTilesRecoded, riceTiles);
    EXPECT_EQ(matched, static_cast<int>(std::size(modes)));
    EXPECT_EQ(riceTilesRecoded, riceTiles);
    EXPECT_GT(riceTiles, 0);
}

// A card of the minimal writer: keyword, value indicator and a value written as given.
std::string card(const std::string &keyword, const std::string &value) {
    char text[81];
    std::snprintf(text, sizeof text, "%-8s= %-70s", keyword.c_str(), value.c_str());
    return std::string(text, 80);
}

std::string number(int64_t value) {
    char text[21];
    std::snprintf(text, sizeof text, "%20lld", static_cast<long long>(value));
    return text;
}

void appendHeader(std::vector<uint8_t> *file, const std::vector<std::string> &cards) {
    for (const std::string &c : cards)
        file->insert(file->end(), c.begin(), c.end());
    std::string end = "END";
    end.resize(80, ' ');
    file->insert(file->end(), end.begin(), end.end());
    file->resize((file->size() + 2879) / 2880 * 2880, ' ');
}

// A tile-compressed image as the fewest keywords describe it: an empty primary HDU, then a
// table of one descriptor per tile and the heap.
std::vector<uint8_t> minimalCompressedFile(int bitpix, int64_t columns, int64_t rows, int64_t tileRows,
                                           const char *codec, const std::vector<std::vector<uint8_t>> &tiles) {
    std::vector<uint8_t> file;
    appendHeader(&file, {card("SIMPLE", number(1).replace(19, 1, "T")), card("BITPIX", number(8)),
                         card("NAXIS", number(0)), card("EXTEND", number(1).replace(19, 1, "T"))});
    size_t heap = 0;
    size_t longest = 0;
    for (const std::vector<uint8_t> &tile : tiles) {
        heap += tile.size();
        longest = std::max(longest, tile.size());
    }
    std::vector<std::string> cards = {
        card("XTENSION", "'BINTABLE'"),
        card("BITPIX", number(8)),
        card("NAXIS", number(2)),
        card("NAXIS1", number(8)),
        card("NAXIS2", number(static_cast<int64_t>(tiles.size()))),
        card("PCOUNT", number(static_cast<int64_t>(heap))),
        card("GCOUNT", number(1)),
        card("TFIELDS", number(1)),
        card("TTYPE1", "'COMPRESSED_DATA'"),
        card("TFORM1", "'1PB(" + std::to_string(longest) + ")'"),
        card("ZIMAGE", number(1).replace(19, 1, "T")),
        card("ZBITPIX", number(bitpix)),
        card("ZNAXIS", number(2)),
        card("ZNAXIS1", number(columns)),
        card("ZNAXIS2", number(rows)),
        card("ZTILE1", number(columns)),
        card("ZTILE2", number(tileRows)),
        card("ZCMPTYPE", std::string("'") + codec + "'"),
    };
    if (std::string(codec) == "RICE_1") {
        cards.push_back(card("ZNAME1", "'BLOCKSIZE'"));
        cards.push_back(card("ZVAL1", number(32)));
        cards.push_back(card("ZNAME2", "'BYTEPIX'"));
        cards.push_back(card("ZVAL2", number(bitpix / 8)));
    }
    appendHeader(&file, cards);
    size_t dataStart = file.size();
    uint32_t offset = 0;
    for (const std::vector<uint8_t> &tile : tiles) {
        uint32_t words[2] = {static_cast<uint32_t>(tile.size()), offset};
        for (uint32_t word : words)
            for (int b = 3; b >= 0; --b)
                file.push_back(static_cast<uint8_t>(word >> (8 * b)));
        offset += static_cast<uint32_t>(tile.size());
    }
    for (const std::vector<uint8_t> &tile : tiles)
        file.insert(file.end(), tile.begin(), tile.end());
    file.resize(dataStart + (file.size() - dataStart + 2879) / 2880 * 2880, 0);
    return file;
}

std::vector<uint8_t> encodeTile(const char *codec, const uint8_t *samples, int64_t count, int32_t width) {
    bool rice = std::string(codec) == "RICE_1";
    size_t bytes = static_cast<size_t>(count * width);
    std::vector<uint8_t> out(rice ? riceEncodeBound(count, width, 32) : gzipEncodeBound(bytes));
    std::vector<uint8_t> scratch(bytes);
    size_t written = 0;
    TileStatus status = rice ? riceEncode(samples, count, width, 32, out.data(), out.size(), &written)
                             : gzipEncode(samples, count, width, std::string(codec) == "GZIP_2", out.data(), out.size(),
                                          &written, TileScratch{scratch.data(), scratch.size()});
    EXPECT_EQ(status, TileStatus::ok);
    out.resize(written);
    return out;
}

TEST_F(TileCodecFiles, TilesTheModuleEncodesComeBackOutOfFunpack) {
    struct Case {
        int bitpix;
        const char *codec;
        uint64_t salt;
    } cases[] = {{8, "RICE_1", 11},  {16, "RICE_1", 12}, {32, "RICE_1", 13},
                 {16, "GZIP_2", 14}, {32, "GZIP_1", 15}, {8, "GZIP_2", 16}};
    const int64_t columns = 37;
    const int64_t rows = 53;
    const int64_t tileRows = 5;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bitpix) + " " + c.codec);
        int32_t width = c.bitpix / 8;
        // Noise over the whole range, constant stretches, and both ends of the range.
        std::vector<uint8_t> samples(static_cast<size_t>(columns * rows * width));
        for (int64_t i = 0; i < columns * rows; ++i) {
            uint8_t *at = &samples[static_cast<size_t>(i * width)];
            uint64_t bits = static_cast<uint64_t>(noise(static_cast<uint64_t>(i), c.salt) * 18446744073709551616.0);
            for (int32_t b = 0; b < width; ++b)
                at[b] = static_cast<uint8_t>(bits >> (56 - 8 * b));
            if (i % 41 < 9)
                std::memset(at, 0x55, static_cast<size_t>(width));
            if (i % 97 == 3 || i % 89 == 4) {
                std::memset(at, i % 97 == 3 ? 0x00 : 0xFF, static_cast<size_t>(width));
                at[0] = i % 97 == 3 ? 0x80 : 0x7F;
            }
        }
        std::vector<std::vector<uint8_t>> tiles;
        for (int64_t y = 0; y < rows; y += tileRows) {
            int64_t count = std::min(tileRows, rows - y) * columns;
            tiles.push_back(encodeTile(c.codec, &samples[static_cast<size_t>(y * columns * width)], count, width));
        }
        std::string packed = folder + "/own-" + std::to_string(c.bitpix) + c.codec + ".fz";
        std::string unpacked = folder + "/own-" + std::to_string(c.bitpix) + c.codec + ".fits";
        std::vector<uint8_t> file = minimalCompressedFile(c.bitpix, columns, rows, tileRows, c.codec, tiles);
        FILE *out = std::fopen(packed.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), out), file.size());
        std::fclose(out);
        ASSERT_TRUE(run("funpack -O " + unpacked + " " + packed));
        std::vector<uint8_t> reference = fileBytes(unpacked);
        std::vector<WalkedHdu> hdus = walkHdus(reference);
        const WalkedHdu *image = unpackedImage(hdus);
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(keyInteger(*image, "BITPIX", 0), c.bitpix);
        ASSERT_EQ(image->dataBytes, samples.size());
        EXPECT_EQ(std::memcmp(&reference[image->dataStart], samples.data(), samples.size()), 0);
    }
}

} // namespace
