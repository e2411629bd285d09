// What no fpack mode writes: the dither table's end state, PLIO's newer header, and tiles that
// are damaged or do not fit their shape, which must fail with a status and touch nothing
// outside their buffers. Every buffer is exactly as large as the call may use, so that the
// sanitizers see any step past it.
#include <gtest/gtest.h>

#include <zlib.h>

#include <vector>

#include "fits/tile_codecs.h"

namespace {

TEST(DitherTable, EndsWithTheGeneratorsKnownSeed) {
    static DitherTable table;
    fillDitherTable(&table);
    EXPECT_EQ(table.finalSeed, ditherTableFinalSeed);
}

// Decodes into exactly the tile's samples, from a copy of exactly the bytes given.
TileStatus decode(TileCodecParams params, const std::vector<uint8_t> &bytes, TileShape shape, int32_t width,
                  std::vector<uint8_t> *samples) {
    std::vector<uint8_t> input(bytes);
    bool possible = shape.columns > 0 && shape.rows > 0 && width > 0;
    samples->assign(possible ? static_cast<size_t>(shape.columns) * shape.rows * width : 1, 0xEE);
    std::vector<uint8_t> scratch(tileScratchBytes(params, shape, width));
    return decodeTile(params, input.empty() ? nullptr : input.data(), input.size(), shape, width, samples->data(),
                      TileScratch{scratch.data(), scratch.size()});
}

// Constant runs (Rice's zero-split blocks), large jumps (raw blocks) and small noise (splits).
std::vector<uint8_t> riceTestSamples(int32_t width, int64_t count) {
    std::vector<uint8_t> samples(static_cast<size_t>(count * width));
    uint32_t state = 12345;
    for (int64_t i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        uint32_t value = i < 40 ? 7 : i % 100 < 30 ? state : 1000 + (state >> 28);
        for (int32_t b = 0; b < width; ++b)
            samples[static_cast<size_t>(i * width + b)] = static_cast<uint8_t>(value >> (8 * (width - 1 - b)));
    }
    return samples;
}

std::vector<uint8_t> riceCoded(const std::vector<uint8_t> &samples, int32_t width, int32_t blockSize) {
    int64_t count = static_cast<int64_t>(samples.size()) / width;
    std::vector<uint8_t> coded(riceEncodeBound(count, width, blockSize));
    size_t written = 0;
    EXPECT_EQ(riceEncode(samples.data(), count, width, blockSize, coded.data(), coded.size(), &written),
              TileStatus::ok);
    coded.resize(written);
    return coded;
}

TEST(RiceTiles, EveryBlockSizeRoundTripsAndEveryCutEndsEarly) {
    for (int32_t width : {1, 2, 4})
        for (int32_t blockSize : {32, 16, 7}) {
            SCOPED_TRACE(std::to_string(width) + " bytes, blocks of " + std::to_string(blockSize));
            TileShape shape{61, 5};
            std::vector<uint8_t> samples = riceTestSamples(width, 61 * 5);
            std::vector<uint8_t> coded = riceCoded(samples, width, blockSize);
            TileCodecParams params{TileCodec::rice, blockSize, width, 0, 0};
            std::vector<uint8_t> decoded;
            ASSERT_EQ(decode(params, coded, shape, width, &decoded), TileStatus::ok);
            EXPECT_EQ(decoded, samples);
            for (size_t cut = 0; cut < coded.size(); ++cut)
                EXPECT_EQ(decode(params, std::vector<uint8_t>(coded.begin(), coded.begin() + static_cast<long>(cut)),
                                 shape, width, &decoded),
                          TileStatus::endsEarly)
                    << cut << " of " << coded.size() << " bytes";
        }
}

TEST(RiceTiles, AnEncoderOutOfRoomSaysSo) {
    std::vector<uint8_t> samples = riceTestSamples(2, 300);
    std::vector<uint8_t> coded(riceCoded(samples, 2, 32).size() - 1);
    size_t written = 99;
    EXPECT_EQ(riceEncode(samples.data(), 300, 2, 32, coded.data(), coded.size(), &written), TileStatus::outputTooSmall);
    EXPECT_EQ(written, 0u);
}

// A PLIO line list: header words, then instructions.
std::vector<uint8_t> plioList(const std::vector<uint16_t> &words) {
    std::vector<uint8_t> bytes;
    for (uint16_t word : words) {
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        bytes.push_back(static_cast<uint8_t>(word));
    }
    return bytes;
}

std::vector<int32_t> shorts(const std::vector<uint8_t> &samples) {
    std::vector<int32_t> values;
    for (size_t i = 0; i + 1 < samples.size(); i += 2)
        values.push_back(static_cast<int16_t>((samples[i] << 8) | samples[i + 1]));
    return values;
}

// Every instruction once: 2 zeros; value 5000 (set from two words); a run of 3; up 2 and one
// pixel; down 4 and one pixel; one zero then the value; down 1 and up 3 without pixels; 1
// zero then the value once more through op 5. The rest stays zero.
const std::vector<uint16_t> everyInstruction = {
    0x0002, 0x1000 | (5000 & 0xFFF), 5000 >> 12, 0x4003, 0x6002, 0x7004, 0x5002, 0x3001, 0x2003, 0x5002};
const std::vector<int32_t> everyInstructionPixels = {0, 0, 5000, 5000, 5000, 5002, 4998, 0, 4998, 0, 5000, 0, 0};

TEST(PlioTiles, BothHeaderFormatsDecodeEveryInstruction) {
    std::vector<uint16_t> oldFormat = {0, 7, static_cast<uint16_t>(3 + everyInstruction.size())};
    std::vector<uint16_t> newFormat = {
        0, 7, static_cast<uint16_t>(-100), static_cast<uint16_t>(7 + everyInstruction.size()), 0, 0, 0};
    for (const std::vector<uint16_t> &header : {oldFormat, newFormat}) {
        std::vector<uint16_t> words = header;
        words.insert(words.end(), everyInstruction.begin(), everyInstruction.end());
        std::vector<uint8_t> decoded;
        TileCodecParams params{TileCodec::plio, 0, 0, 0, 0};
        ASSERT_EQ(decode(params, plioList(words), TileShape{13, 1}, 2, &decoded), TileStatus::ok);
        EXPECT_EQ(shorts(decoded), everyInstructionPixels);
    }
}

TEST(PlioTiles, DamagedListsFail) {
    struct Case {
        const char *what;
        std::vector<uint16_t> words;
        TileStatus expected;
    } cases[] = {
        {"opcode 8", {0, 7, 4, 0x8001}, TileStatus::badOpcode},
        {"opcode 15", {0, 7, 5, 0x4001, 0xF001}, TileStatus::badOpcode},
        {"a length past the words stored", {0, 7, 6, 0x4001}, TileStatus::endsEarly},
        {"a value whose second word is missing", {0, 7, 4, 0x1001}, TileStatus::endsEarly},
        {"a run past the tile", {0, 7, 4, 0x4005}, TileStatus::overrunsTile},
        {"zeros past the tile", {0, 7, 5, 0x0003, 0x0002}, TileStatus::overrunsTile},
        {"one pixel past the tile", {0, 7, 5, 0x4004, 0x6001}, TileStatus::overrunsTile},
        {"a zero length word", {0, 7, 0, 0x4001}, TileStatus::badHeader},
        {"a length inside the header", {0, 7, static_cast<uint16_t>(-100), 3, 0, 0, 0}, TileStatus::badHeader},
        {"a short header", {0, 7}, TileStatus::endsEarly},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> decoded;
        EXPECT_EQ(decode(TileCodecParams{TileCodec::plio, 0, 0, 0, 0}, plioList(c.words), TileShape{4, 1}, 4, &decoded),
                  c.expected)
            << c.what;
    }
}

// An HCOMPRESS stream of a rows × columns tile whose first quadrant has one bit plane, written
// directly, with all four children of its first block set; the other quadrants are empty.
std::vector<uint8_t> hcompressStream(int32_t rows, int32_t columns, uint8_t firstPlanes) {
    std::vector<uint8_t> bytes = {0xDD, 0x99};
    for (int32_t value : {rows, columns, 0})
        for (int b = 3; b >= 0; --b)
            bytes.push_back(static_cast<uint8_t>(value >> (8 * b)));
    for (int b = 7; b >= 0; --b)
        bytes.push_back(b == 0 ? 40 : 0); // the pixel sum
    bytes.insert(bytes.end(), {firstPlanes, 0, 0});
    bytes.push_back(0x0F); // plane written directly, then the block's code: all four children set
    bytes.push_back(0x00); // end mark
    bytes.push_back(0x00); // four sign bits, all positive
    return bytes;
}

TEST(HcompressTiles, DamagedOrMismatchedStreamsFail) {
    TileCodecParams params{TileCodec::hcompress, 0, 0, 0, 0};
    std::vector<uint8_t> decoded;
    std::vector<uint8_t> stream = hcompressStream(4, 4, 1);
    ASSERT_EQ(decode(params, stream, TileShape{4, 4}, 2, &decoded), TileStatus::ok);
    EXPECT_EQ(decode(params, stream, TileShape{4, 5}, 2, &decoded), TileStatus::sizeDisagrees);
    EXPECT_EQ(decode(params, stream, TileShape{5, 4}, 2, &decoded), TileStatus::sizeDisagrees);
    EXPECT_EQ(decode(params, stream, TileShape{2, 8}, 2, &decoded), TileStatus::sizeDisagrees);
    for (size_t cut = 0; cut < stream.size(); ++cut)
        EXPECT_EQ(decode(params, std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<long>(cut)),
                         TileShape{4, 4}, 2, &decoded),
                  TileStatus::endsEarly)
            << cut << " of " << stream.size() << " bytes";
    std::vector<uint8_t> badMagic = stream;
    badMagic[1] = 0x98;
    EXPECT_EQ(decode(params, badMagic, TileShape{4, 4}, 2, &decoded), TileStatus::badHeader);
    std::vector<uint8_t> badFormat = stream;
    badFormat[25] = 0x5F;
    EXPECT_EQ(decode(params, badFormat, TileShape{4, 4}, 2, &decoded), TileStatus::badCode);
    std::vector<uint8_t> noEndMark = stream;
    noEndMark[26] = 0x30;
    EXPECT_EQ(decode(params, noEndMark, TileShape{4, 4}, 2, &decoded), TileStatus::badCode);
    EXPECT_EQ(decode(params, hcompressStream(4, 4, 63), TileShape{4, 4}, 2, &decoded), TileStatus::badHeader);
    // A sum beyond any tile's: rejected rather than overflowing the inverse transform.
    std::vector<uint8_t> hugeSum = stream;
    hugeSum[14] = 0x7F;
    EXPECT_EQ(decode(params, hugeSum, TileShape{4, 4}, 8, &decoded), TileStatus::outOfRange);
    std::vector<uint8_t> scratch(tileScratchBytes(params, TileShape{4, 4}, 2) - 1);
    decoded.assign(32, 0);
    EXPECT_EQ(decodeTile(params, stream.data(), stream.size(), TileShape{4, 4}, 2, decoded.data(),
                         TileScratch{scratch.data(), scratch.size()}),
              TileStatus::scratchTooSmall);
}

std::vector<uint8_t> gzipped(const std::vector<uint8_t> &bytes) {
    std::vector<uint8_t> out(gzipEncodeBound(bytes.size()));
    size_t written = 0;
    EXPECT_EQ(gzipEncode(bytes.data(), static_cast<int64_t>(bytes.size()), 1, false, out.data(), out.size(), &written,
                         TileScratch{nullptr, 0}),
              TileStatus::ok);
    out.resize(written);
    return out;
}

TEST(GzipTiles, MembersMustInflateToExactlyTheTile) {
    std::vector<uint8_t> hundred(100);
    for (size_t i = 0; i < hundred.size(); ++i)
        hundred[i] = static_cast<uint8_t>(i * 37);
    std::vector<uint8_t> member = gzipped(hundred);
    TileCodecParams params{TileCodec::gzip1, 0, 0, 0, 0};
    std::vector<uint8_t> decoded;
    ASSERT_EQ(decode(params, member, TileShape{100, 1}, 1, &decoded), TileStatus::ok);
    EXPECT_EQ(decoded, hundred);
    EXPECT_EQ(decode(params, member, TileShape{50, 1}, 1, &decoded), TileStatus::inflatesPastTile);
    EXPECT_EQ(decode(params, member, TileShape{99, 1}, 1, &decoded), TileStatus::inflatesPastTile);
    EXPECT_EQ(decode(params, member, TileShape{101, 1}, 1, &decoded), TileStatus::inflatesShort);
    EXPECT_EQ(decode(params, member, TileShape{25, 4}, 2, &decoded), TileStatus::inflatesShort);
    for (size_t cut = 0; cut < member.size(); ++cut) {
        TileStatus status =
            decode(params, std::vector<uint8_t>(member.begin(), member.begin() + static_cast<long>(cut)),
                   TileShape{100, 1}, 1, &decoded);
        EXPECT_TRUE(status == TileStatus::endsEarly || status == TileStatus::badStream) << cut;
    }
    std::vector<uint8_t> badCheck = member;
    badCheck[badCheck.size() - 6] ^= 0x01;
    EXPECT_EQ(decode(params, badCheck, TileShape{100, 1}, 1, &decoded), TileStatus::badStream);
    // A zlib stream instead of a gzip member, which cfitsio rejects too.
    std::vector<uint8_t> zlibbed(compressBound(100));
    uLongf zlibBytes = static_cast<uLongf>(zlibbed.size());
    ASSERT_EQ(compress2(zlibbed.data(), &zlibBytes, hundred.data(), 100, 1), Z_OK);
    zlibbed.resize(zlibBytes);
    EXPECT_EQ(decode(params, zlibbed, TileShape{100, 1}, 1, &decoded), TileStatus::badStream);
}

TEST(GzipTiles, ShuffledTilesRoundTripInEveryWidth) {
    for (int32_t width : {2, 4, 8}) {
        std::vector<uint8_t> samples(static_cast<size_t>(31 * width));
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<uint8_t>(i * 11 + i / 7);
        std::vector<uint8_t> out(gzipEncodeBound(samples.size()));
        std::vector<uint8_t> scratch(samples.size());
        size_t written = 0;
        ASSERT_EQ(gzipEncode(samples.data(), 31, width, true, out.data(), out.size(), &written,
                             TileScratch{scratch.data(), scratch.size()}),
                  TileStatus::ok);
        out.resize(written);
        std::vector<uint8_t> decoded;
        ASSERT_EQ(decode(TileCodecParams{TileCodec::gzip2, 0, 0, 0, 0}, out, TileShape{31, 1}, width, &decoded),
                  TileStatus::ok);
        EXPECT_EQ(decoded, samples) << width;
        // The same member read unshuffled gives the byte planes, not the samples.
        ASSERT_EQ(decode(TileCodecParams{TileCodec::gzip1, 0, 0, 0, 0}, out, TileShape{31, 1}, width, &decoded),
                  TileStatus::ok);
        EXPECT_NE(decoded, samples) << width;
    }
}

TEST(TileCodecs, ShapesAndWidthsNoTileHasFail) {
    std::vector<uint8_t> bytes = {1, 2, 3, 4};
    std::vector<uint8_t> decoded;
    TileCodecParams none{TileCodec::none, 0, 0, 0, 0};
    EXPECT_EQ(decode(none, bytes, TileShape{2, 1}, 2, &decoded), TileStatus::ok);
    EXPECT_EQ(decode(none, bytes, TileShape{3, 1}, 2, &decoded), TileStatus::sizeDisagrees);
    EXPECT_EQ(decode(none, bytes, TileShape{0, 1}, 2, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(none, bytes, TileShape{2, -1}, 2, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(none, bytes, TileShape{1, 1}, 3, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(TileCodecParams{TileCodec::rice, 32, 8, 0, 0}, bytes, TileShape{2, 1}, 8, &decoded),
              TileStatus::badParameters);
    EXPECT_EQ(decode(TileCodecParams{TileCodec::rice, 0, 2, 0, 0}, bytes, TileShape{2, 1}, 2, &decoded),
              TileStatus::badParameters);
}

} // namespace
