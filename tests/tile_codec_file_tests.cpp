// The tile codecs against fpack and funpack: every mode fpack writes, decoded tile by tile by the
// module's codecs, must give funpack's pixels bit for bit, and the Rice encoder must write
// fpack's bytes for every Rice tile (which is what funpack decodes).
#include <gtest/gtest.h>

#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fits/tile_codecs.h"
#include "tests/fpack_cases.h"
#include "tests/fz_walker.h"
#include "tests/real_files.h"

namespace {

struct PlainImage {
    const char *name;
    int type; // cfitsio's image type
    int64_t columns, rows;
};

const PlainImage images[] = {
    {"u8", BYTE_IMG, 61, 23},       {"i16", SHORT_IMG, 53, 37},  {"runs16", SHORT_IMG, 70, 21},
    {"u16", USHORT_IMG, 45, 19},    {"i32", LONG_IMG, 41, 29},   {"f32", FLOAT_IMG, 47, 31},
    {"f32calm", FLOAT_IMG, 47, 31}, {"f64", DOUBLE_IMG, 33, 17}, {"wide", FLOAT_IMG, 10500, 2}};

// The images' physical values. i16 and i32 have pixels at or near the ends of their range,
// which lossy hcompress pushes past them; runs16 and u16 have runs, as in the masks PLIO is
// for (noise without runs overflows fpack's own PLIO buffer), with jumps beyond what one
// instruction adds; f32 has undefined pixels (f32calm not), exact zeros and a constant row,
// which cfitsio cannot quantize and gzips instead; wide's rows outlast the dither table.
double pixel(const std::string &image, int64_t c, int64_t r, int64_t w) {
    uint64_t i = static_cast<uint64_t>(r * w + c);
    double n = noise(i, image.size() * 31 + static_cast<uint64_t>(image[0]));
    if (image == "u8")
        return (c + r) % 17 == 0 ? 255 : std::fmod(c * 7 + r * 3 + std::floor(n * 20), 256);
    if (image == "i16")
        return i == 111 ? 32767 : i == 166 ? -32768 : 970 + std::floor(n * 60);
    if (image == "runs16")
        return (c * r) % 23 == 5 ? 30000 : ((c / 7 + r / 3) % 5) * 300;
    if (image == "u16")
        return i == 0 ? 65535 : (c / 5 + r) % 3 == 0 ? 0 : std::floor(noise(i - c % 4, 3) * 65536);
    if (image == "i32")
        return i == 44 ? 2e9 : i == 173 ? -2e9 : 800000 + std::floor(n * 400000);
    if (image == "f64")
        return i % 61 == 3 ? NAN : -3 + n * 0.5;
    if (image == "wide")
        return 46 + n * 8;
    if (i % 97 == 13)
        return image == "f32" ? NAN : 1.5;
    return i % 89 == 7 ? 0.0 : r == 5 ? 7.25 : 90 + n * 20;
}

void writePlainImage(const std::string &folder, const PlainImage &image) {
    fitsfile *file = nullptr;
    int status = 0;
    long axes[2] = {static_cast<long>(image.columns), static_cast<long>(image.rows)};
    std::vector<double> values;
    for (int64_t r = 0; r < image.rows; ++r)
        for (int64_t c = 0; c < image.columns; ++c)
            values.push_back(pixel(image.name, c, r, image.columns));
    fits_create_file(&file, ("!" + folder + "/" + image.name + ".fits").c_str(), &status);
    fits_create_img(file, image.type, 2, axes, &status);
    fits_write_img(file, TDOUBLE, 1, static_cast<LONGLONG>(values.size()), values.data(), &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << cfitsioError(status);
}

// clang-format off
const Mode modes[] = {
    {"u8", "-r", none, funpack}, {"u8", "-r -t 16,16", none, funpack}, {"u8", "-g", none, funpack},
    {"u8", "-g2", none, funpack}, {"u8", "-p", none, funpack}, {"u8", "-h", none, funpack},
    {"i16", "-r", none, funpack}, {"i16", "-r -t 16,16", none, funpack}, {"i16", "-g", none, funpack},
    {"i16", "-g2", none, funpack}, {"i16", "-h", none, funpack}, {"i16", "-h -t 16,16", none, funpack},
    {"i16", "-h -s 4", none, funpack}, {"i16", "-h -s 4", Edit::smooth, funpack},
    {"i16", "-h -s -40", Edit::smooth, funpack}, {"i16", "-d", none, funpack},
    {"runs16", "-p", none, funpack}, {"runs16", "-p -t 16,16", none, funpack},
    {"u16", "-r", none, funpack}, {"u16", "-p", none, funpack}, {"u16", "-g2", none, funpack},
    {"i32", "-r", none, funpack}, {"i32", "-r -t 16,16", none, funpack}, {"i32", "-g", none, funpack},
    {"i32", "-g2", none, funpack}, {"i32", "-h", none, funpack}, {"i32", "-h -s 4", none, funpack},
    {"i32", "-h -s 4", Edit::smooth, funpack}, {"i32", "-d", none, funpack},
    {"f32", "-q12 4", none, funpack}, {"f32", "-qz77 4", none, funpack}, {"f32", "-q0 4", none, funpack},
    {"f32", "-q12 4", Edit::dropQuantiz, funpack}, {"f32", "-h -q4 4", none, funpack},
    {"f32", "-g2 -q5 4", none, funpack}, {"f32", "-g -q 0", none, funpack}, {"f32", "-g2 -q 0", none, funpack},
    {"f32", "-d", none, funpack},
    {"f32calm", "-r -t 16,16 -q3 4", none, Oracle::imcopy},
    {"f32calm", "-r -t 16,16 -qz3 4", none, Oracle::imcopy},
    {"f64", "-q6 4", none, funpack}, {"f64", "-qz7 2", none, funpack}, {"f64", "-g -q 0", none, funpack},
    {"f64", "-g2 -q 0", none, funpack},
    {"wide", "-q9999 4", none, funpack}, {"wide", "-qz8 4", none, funpack},
};
// clang-format on

struct DecodedImage {
    int64_t bitpix, columns, rows;
    std::vector<uint8_t> samples; // of integer images, as stored
    std::vector<double> values;   // of float images
    int riceTiles, riceTilesRecoded;
};

TileCodecParams codecParams(const WalkedHdu &hdu) {
    std::string name = keyText(hdu, "ZCMPTYPE");
    TileCodec codec = name == "RICE_1" || name == "RICE_ONE" ? TileCodec::rice
                      : name == "GZIP_1"                     ? TileCodec::gzip1
                      : name == "GZIP_2"                     ? TileCodec::gzip2
                      : name == "PLIO_1"                     ? TileCodec::plio
                      : name == "HCOMPRESS_1"                ? TileCodec::hcompress
                                                             : TileCodec::none;
    // Unsigned 16-bit images are PLIO-coded with 32768 added.
    bool offset = codec == TileCodec::plio && keyInteger(hdu, "ZBITPIX", 0) == 16 && keyText(hdu, "BZERO") == "32768";
    return TileCodecParams{codec, static_cast<int32_t>(keyInteger(hdu, compressionKey(hdu, "BLOCKSIZE"), 32)),
                           static_cast<int32_t>(keyInteger(hdu, compressionKey(hdu, "BYTEPIX"), 4)),
                           static_cast<int32_t>(keyInteger(hdu, compressionKey(hdu, "SMOOTH"), 0)), offset ? 32768 : 0};
}

double doubleCell(const std::vector<uint8_t> &file, const WalkedHdu &hdu, const std::string &name, int64_t row) {
    uint64_t bits = scalarCell(file, hdu, findColumn(hdu, name), row);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

DequantizeParams dequantizeParams(const std::vector<uint8_t> &file, const WalkedHdu &hdu, int64_t row) {
    std::string method = keyText(hdu, "ZQUANTIZ");
    TableColumn blank = findColumn(hdu, "ZBLANK");
    DequantizeParams params{};
    params.method = method == "SUBTRACTIVE_DITHER_1"   ? Quantization::subtractiveDither1
                    : method == "SUBTRACTIVE_DITHER_2" ? Quantization::subtractiveDither2
                                                       : Quantization::noDither;
    params.scale = doubleCell(file, hdu, "ZSCALE", row);
    params.zero = doubleCell(file, hdu, "ZZERO", row);
    params.hasBlank = blank.found || hdu.keys.count("ZBLANK") != 0;
    params.blank = blank.found ? static_cast<int32_t>(scalarCell(file, hdu, blank, row)) : keyInteger(hdu, "ZBLANK", 0);
    params.tileRow = row + 1;
    params.ditherSeed = keyInteger(hdu, "ZDITHER0", 1);
    return params;
}

// Whether the Rice encoder, given a decoded tile, writes the file's bytes again.
bool recodesAlike(const std::vector<uint8_t> &samples, int64_t count, const TileCodecParams &params,
                  const std::vector<uint8_t> &stored) {
    std::vector<uint8_t> coded(riceEncodeBound(count, params.bytePix, params.blockSize));
    size_t written = 0;
    return riceEncode(samples.data(), count, params.bytePix, params.blockSize, coded.data(), coded.size(), &written) ==
               TileStatus::ok &&
           std::vector<uint8_t>(coded.begin(), coded.begin() + static_cast<long>(written)) == stored;
}

// Decodes the tile of table row `row` into its place in the image; an empty string, or why not.
std::string decodeTileAt(const std::vector<uint8_t> &file, const WalkedHdu &hdu, int64_t row, DecodedImage *image) {
    static DitherTable table;
    fillDitherTable(&table);
    int64_t tileColumns = keyInteger(hdu, "ZTILE1", image->columns);
    int64_t tileRows = keyInteger(hdu, "ZTILE2", 1);
    int64_t x0 = row % ((image->columns + tileColumns - 1) / tileColumns) * tileColumns;
    int64_t y0 = row / ((image->columns + tileColumns - 1) / tileColumns) * tileRows;
    TileShape shape{static_cast<int32_t>(std::min(tileColumns, image->columns - x0)),
                    static_cast<int32_t>(std::min(tileRows, image->rows - y0))};
    int64_t count = int64_t{shape.columns} * shape.rows;
    TileCodecParams params = codecParams(hdu);
    bool quantized = image->bitpix < 0 && findColumn(hdu, "ZSCALE").found;
    int32_t width = static_cast<int32_t>(std::llabs(image->bitpix) / 8);
    std::vector<uint8_t> bytes = arrayCell(file, hdu, findColumn(hdu, "COMPRESSED_DATA"), row);
    if (bytes.empty()) {
        // Stored another way: gzipped raw floats, or not compressed at all.
        bytes = arrayCell(file, hdu, findColumn(hdu, "GZIP_COMPRESSED_DATA"), row);
        params.codec = bytes.empty() ? TileCodec::none : TileCodec::gzip1;
        bytes = bytes.empty() ? arrayCell(file, hdu, findColumn(hdu, "UNCOMPRESSED_DATA"), row) : bytes;
        quantized = false;
    }
    width = quantized ? 4 : width;
    std::vector<uint8_t> scratch(tileScratchBytes(params, shape, width));
    std::vector<uint8_t> samples(static_cast<size_t>(count * width));
    TileStatus status = decodeTile(params, bytes.data(), bytes.size(), shape, width, samples.data(),
                                   TileScratch{scratch.data(), scratch.size()});
    if (status != TileStatus::ok)
        return "tile " + std::to_string(row + 1) + " " + tileStatusText(status);
    if (params.codec == TileCodec::rice) {
        ++image->riceTiles;
        image->riceTilesRecoded += recodesAlike(samples, count, params, bytes) ? 1 : 0;
    }
    std::vector<double> values(static_cast<size_t>(count));
    if (image->bitpix < 0 && quantized)
        dequantizeTile(dequantizeParams(file, hdu, row), table, samples.data(), width, count, values.data());
    else if (image->bitpix < 0)
        restoreLosslessFloats(samples.data(), width, count, values.data());
    for (int64_t r = 0; r < shape.rows; ++r) {
        size_t to = static_cast<size_t>((y0 + r) * image->columns + x0);
        size_t from = static_cast<size_t>(r * shape.columns);
        if (image->bitpix > 0)
            std::memcpy(&image->samples[to * width], &samples[from * width],
                        static_cast<size_t>(shape.columns) * width);
        else
            std::copy_n(&values[from], shape.columns, &image->values[to]);
    }
    return std::string();
}

std::string decodeCompressedImage(const std::vector<uint8_t> &file, DecodedImage *image) {
    std::vector<WalkedHdu> hdus = walkHdus(file);
    if (hdus.size() < 2 || keyText(hdus[1], "ZIMAGE") != "T")
        return "no compressed image in HDU 2";
    image->bitpix = keyInteger(hdus[1], "ZBITPIX", 0);
    image->columns = keyInteger(hdus[1], "ZNAXIS1", 0);
    image->rows = keyInteger(hdus[1], "ZNAXIS2", 1);
    size_t pixels = static_cast<size_t>(image->columns * image->rows);
    image->samples.assign(image->bitpix > 0 ? pixels * static_cast<size_t>(image->bitpix / 8) : 0, 0);
    image->values.assign(image->bitpix < 0 ? pixels : 0, 0.0);
    std::string failure;
    for (int64_t row = 0; failure.empty() && row < keyInteger(hdus[1], "NAXIS2", 0); ++row)
        failure = decodeTileAt(file, hdus[1], row, image);
    return failure;
}

// The IEEE bits of a value narrowed to a float type of `width` bytes.
uint64_t floatBits(double value, size_t width) {
    float narrow = static_cast<float>(value);
    uint64_t wide = 0;
    uint32_t bits = 0;
    std::memcpy(&wide, &value, sizeof wide);
    std::memcpy(&bits, &narrow, sizeof bits);
    return width == 8 ? wide : bits;
}

bool nanBits(uint64_t bits, size_t width) {
    return width == 8 ? (bits << 1) > (0x7FF0000000000000ull << 1) : (bits & 0x7FFFFFFF) > 0x7F800000;
}

// Compares with the reference decoder's image (in its first HDU with data), pixel for pixel,
// floats bit for bit after narrowing to the image's type; an empty string, or the first
// difference.
std::string compareWithReference(const DecodedImage &image, const std::vector<uint8_t> &reference) {
    for (const WalkedHdu &hdu : walkHdus(reference)) {
        if (keyInteger(hdu, "NAXIS", 0) == 0)
            continue;
        if (keyInteger(hdu, "BITPIX", 0) != image.bitpix || keyInteger(hdu, "NAXIS1", 0) != image.columns ||
            keyInteger(hdu, "NAXIS2", 0) != image.rows)
            return "the reference image has another BITPIX or size";
        size_t width = static_cast<size_t>(std::llabs(image.bitpix) / 8);
        for (size_t i = 0; i < static_cast<size_t>(image.columns * image.rows); ++i) {
            size_t at = hdu.dataStart + i * width;
            uint64_t theirs = bigEndianAt(reference, at, width);
            bool same = image.bitpix > 0 ? std::memcmp(&image.samples[i * width], &reference[at], width) == 0
                                         : floatBits(image.values[i], width) == theirs ||
                                               (std::isnan(image.values[i]) && nanBits(theirs, width));
            if (!same)
                return "pixel " + std::to_string(i) + " differs";
        }
        return std::string();
    }
    return "the reference decoder wrote no image";
}

TEST(TileCodecFiles, EveryFpackModeDecodesToTheReferencePixels) {
    if (std::system("{ command -v fpack && command -v funpack && command -v imcopy; } > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "fpack, funpack and imcopy (libcfitsio-bin) are not installed";
    char pattern[] = "/tmp/korvalis-codecs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string folder = pattern;
    for (const PlainImage &image : images)
        writePlainImage(folder, image);
    int matched = 0, riceTiles = 0, riceTilesRecoded = 0, index = 0;
    for (const Mode &mode : modes) {
        SCOPED_TRACE(std::string(mode.image) + " " + mode.flags +
                     (mode.edit == Edit::smooth        ? " SMOOTH=1"
                      : mode.edit == Edit::dropQuantiz ? " no ZQUANTIZ"
                                                       : ""));
        std::string packed = folder + "/mode" + std::to_string(++index) + ".fz";
        std::string unpacked = folder + "/mode" + std::to_string(index) + ".fits";
        std::string unpack = mode.oracle == Oracle::funpack ? "funpack -O " + unpacked + " " + packed
                                                            : "imcopy " + packed + " " + unpacked;
        ASSERT_EQ(std::system(("fpack " + std::string(mode.flags) + " -O " + packed + " " + folder + "/" + mode.image +
                               ".fits > /dev/null 2>&1")
                                  .c_str()),
                  0);
        ASSERT_TRUE(mode.edit == Edit::none || applyEdit(packed, mode.edit));
        ASSERT_EQ(std::system((unpack + " > /dev/null 2>&1").c_str()), 0);
        DecodedImage decoded{};
        std::string failure = decodeCompressedImage(fileBytes(packed), &decoded);
        if (failure.empty())
            failure = compareWithReference(decoded, fileBytes(unpacked));
        EXPECT_EQ(failure, "");
        matched += failure.empty() ? 1 : 0;
        riceTiles += decoded.riceTiles;
        riceTilesRecoded += decoded.riceTilesRecoded;
    }
    std::printf("%d of %zu fpack modes decode to the reference pixels; %d of %d Rice tiles recoded byte for byte\n",
                matched, std::size(modes), riceTilesRecoded, riceTiles);
    EXPECT_EQ(matched, static_cast<int>(std::size(modes)));
    EXPECT_EQ(riceTilesRecoded, riceTiles);
    if (std::getenv("KORVALIS_KEEP_TEST_FILES") == nullptr)
        std::system(("rm -rf " + folder).c_str());
}

} // namespace
