// What no fpack mode writes: the dither table's end state, Rice blocks of other sizes, PLIO's
// newer header, and tiles that are damaged or do not fit their shape, which must fail with a
// status and touch nothing outside their buffers. Every buffer is exactly as large as the call
// may use, so that the sanitizers see any step past it.
#include <gtest/gtest.h>

#include <zlib.h>

#include <vector>

#include "fits/tile_codecs.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DitherTable, EndsWithTheGeneratorsKnownSeed) {
    static DitherTable table;
    fillDitherTable(&table);
    EXPECT_EQ(table.finalSeed, ditherTableFinalSeed);
}

// Decodes into exactly the tile's samples, from a copy of exactly the bytes given.
TileStatus decode(TileCodec codec, const Bytes &bytes, TileShape shape, int32_t width, Bytes *samples,
                  int32_t blockSize = 32) {
    TileCodecParams params{codec, blockSize, width, 0, 0};
    Bytes input(bytes);
    bool possible = shape.columns > 0 && shape.rows > 0 && width > 0;
    samples->assign(possible ? static_cast<size_t>(shape.columns) * shape.rows * width : 1, 0xEE);
    Bytes scratch(tileScratchBytes(params, shape, width));
    return decodeTile(params, input.empty() ? nullptr : input.data(), input.size(), shape, width, samples->data(),
                      TileScratch{scratch.data(), scratch.size()});
}

Bytes prefix(const Bytes &bytes, size_t length) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(length));
}

TEST(RiceTiles, EveryBlockSizeRoundTripsAndEveryCutEndsEarly) {
    for (int32_t width : {1, 2, 4})
        for (int32_t blockSize : {32, 16, 7}) {
            SCOPED_TRACE(std::to_string(width) + " bytes, blocks of " + std::to_string(blockSize));
            // A constant run (blocks of code 0), jumps (raw blocks) and small noise (splits).
            Bytes samples(static_cast<size_t>(305 * width));
            uint32_t state = 12345;
            for (size_t i = 0; i < samples.size(); ++i) {
                state = state * 1103515245u + 12345u;
                samples[i] = static_cast<uint8_t>(i < 40                        ? 7
                                                  : i % 100 < 30                ? state >> 24
                                                  : i % width == 0 && width > 1 ? 3
                                                                                : state >> 30);
            }
            Bytes coded(riceEncodeBound(305, width, blockSize));
            size_t written = 0;
            ASSERT_EQ(riceEncode(samples.data(), 305, width, blockSize, coded.data(), coded.size(), &written),
                      TileStatus::ok);
            coded.resize(written);
            EXPECT_EQ(riceEncode(samples.data(), 305, width, blockSize, coded.data(), written - 1, &written),
                      TileStatus::outputTooSmall);
            Bytes decoded;
            ASSERT_EQ(decode(TileCodec::rice, coded, TileShape{61, 5}, width, &decoded, blockSize), TileStatus::ok);
            EXPECT_EQ(decoded, samples);
            for (size_t cut = 0; cut < coded.size(); ++cut)
                EXPECT_EQ(decode(TileCodec::rice, prefix(coded, cut), TileShape{61, 5}, width, &decoded, blockSize),
                          TileStatus::endsEarly)
                    << cut << " of " << coded.size() << " bytes";
        }
}

Bytes bigEndianWords(const std::vector<uint16_t> &words) {
    Bytes bytes;
    for (uint16_t word : words)
        bytes.insert(bytes.end(), {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)});
    return bytes;
}

TEST(PlioTiles, ListsDecodeOrFailEachInTheirWay) {
    // Every instruction once: 2 zeros; the value 5000 from two words; a run of 3; up 2 and one
    // pixel; down 4 and one pixel; a zero then the value; down 1 and up 3 without pixels; a zero
    // then the value again. The rest of the tile stays zero.
    const std::vector<uint16_t> all = {0x0002, 0x1388, 0x0001, 0x4003, 0x6002, 0x7004, 0x5002, 0x3001, 0x2003, 0x5002};
    std::vector<uint16_t> oldList = {0, 7, 13};
    std::vector<uint16_t> newList = {0, 7, 0xFF9C, 17, 0, 0, 0}; // -100 marks it; 17 words in all
    oldList.insert(oldList.end(), all.begin(), all.end());
    newList.insert(newList.end(), all.begin(), all.end());
    struct Case {
        const char *what;
        std::vector<uint16_t> words;
        TileStatus expected;
    } cases[] = {
        {"old header", oldList, TileStatus::ok},
        {"new header", newList, TileStatus::ok},
        {"opcode 8", {0, 7, 4, 0x8001}, TileStatus::badOpcode},
        {"opcode 15", {0, 7, 5, 0x4001, 0xF001}, TileStatus::badOpcode},
        {"a length past the words stored", {0, 7, 6, 0x4001}, TileStatus::endsEarly},
        {"a value whose second word is missing", {0, 7, 4, 0x1001}, TileStatus::endsEarly},
        {"a run past the tile", {0, 7, 4, 0x400E}, TileStatus::overrunsTile},
        {"zeros past the tile", {0, 7, 5, 0x000C, 0x0002}, TileStatus::overrunsTile},
        {"one pixel past the tile", {0, 7, 5, 0x400D, 0x6001}, TileStatus::overrunsTile},
        {"a zero length word", {0, 7, 0, 0x4001}, TileStatus::badHeader},
        {"a length inside the header", {0, 7, 0xFF9C, 3, 0, 0, 0}, TileStatus::badHeader},
        {"a short header", {0, 7}, TileStatus::endsEarly},
    };
    const Bytes expected = bigEndianWords({0, 0, 5000, 5000, 5000, 5002, 4998, 0, 4998, 0, 5000, 0, 0});
    for (const Case &c : cases) {
        Bytes decoded;
        EXPECT_EQ(decode(TileCodec::plio, bigEndianWords(c.words), TileShape{13, 1}, 2, &decoded), c.expected)
            << c.what;
        if (c.expected == TileStatus::ok) {
            EXPECT_EQ(decoded, expected) << c.what;
        }
    }
}

TEST(HcompressTiles, DamagedOrMismatchedStreamsFail) {
    // A 4 × 4 tile: magic, rows, columns, scale 0, pixel sum 40, and one plane in the first
    // quadrant, written directly with all four children set; then the end mark and four
    // positive signs.
    const Bytes stream = {0xDD, 0x99, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 1, 0, 0, 0x0F, 0, 0};
    Bytes decoded;
    ASSERT_EQ(decode(TileCodec::hcompress, stream, TileShape{4, 4}, 2, &decoded), TileStatus::ok);
    for (TileShape other : {TileShape{4, 5}, TileShape{5, 4}, TileShape{2, 8}})
        EXPECT_EQ(decode(TileCodec::hcompress, stream, other, 2, &decoded), TileStatus::sizeDisagrees);
    for (size_t cut = 0; cut < stream.size(); ++cut)
        EXPECT_EQ(decode(TileCodec::hcompress, prefix(stream, cut), TileShape{4, 4}, 2, &decoded),
                  TileStatus::endsEarly)
            << cut;
    struct Damage {
        size_t at;
        uint8_t value;
        TileStatus expected;
    } damages[] = {{1, 0x98, TileStatus::badHeader},   // magic
                   {22, 63, TileStatus::badHeader},    // more planes than 64-bit values can take
                   {14, 0x7F, TileStatus::outOfRange}, // a pixel sum beyond any tile's
                   {25, 0x5F, TileStatus::badCode},    // a plane neither quadtree-coded nor direct
                   {26, 0x30, TileStatus::badCode}};   // no end mark
    for (const Damage &d : damages) {
        Bytes damaged = stream;
        damaged[d.at] = d.value;
        EXPECT_EQ(decode(TileCodec::hcompress, damaged, TileShape{4, 4}, 8, &decoded), d.expected) << d.at;
    }
    TileCodecParams params{TileCodec::hcompress, 0, 0, 0, 0};
    Bytes scratch(tileScratchBytes(params, TileShape{4, 4}, 2) - 1);
    EXPECT_EQ(decodeTile(params, stream.data(), stream.size(), TileShape{4, 4}, 2, decoded.data(),
                         TileScratch{scratch.data(), scratch.size()}),
              TileStatus::scratchTooSmall);
}

Bytes gzipped(const Bytes &samples, int32_t width, bool shuffle) {
    Bytes out(gzipEncodeBound(samples.size()));
    Bytes scratch(samples.size());
    size_t written = 0;
    EXPECT_EQ(gzipEncode(samples.data(), static_cast<int64_t>(samples.size()) / width, width, shuffle, out.data(),
                         out.size(), &written, TileScratch{scratch.data(), scratch.size()}),
              TileStatus::ok);
    out.resize(written);
    return out;
}

TEST(GzipTiles, MembersMustInflateToExactlyTheTile) {
    Bytes hundred(100);
    for (size_t i = 0; i < hundred.size(); ++i)
        hundred[i] = static_cast<uint8_t>(i * 37);
    Bytes member = gzipped(hundred, 1, false);
    Bytes decoded;
    ASSERT_EQ(decode(TileCodec::gzip1, member, TileShape{100, 1}, 1, &decoded), TileStatus::ok);
    EXPECT_EQ(decoded, hundred);
    EXPECT_EQ(decode(TileCodec::gzip1, member, TileShape{99, 1}, 1, &decoded), TileStatus::inflatesPastTile);
    EXPECT_EQ(decode(TileCodec::gzip1, member, TileShape{25, 1}, 2, &decoded), TileStatus::inflatesPastTile);
    EXPECT_EQ(decode(TileCodec::gzip1, member, TileShape{101, 1}, 1, &decoded), TileStatus::inflatesShort);
    for (size_t cut = 0; cut < member.size(); ++cut)
        EXPECT_EQ(decode(TileCodec::gzip1, prefix(member, cut), TileShape{100, 1}, 1, &decoded), TileStatus::endsEarly)
            << cut;
    Bytes badCheck = member;
    badCheck[badCheck.size() - 6] ^= 0x01;
    EXPECT_EQ(decode(TileCodec::gzip1, badCheck, TileShape{100, 1}, 1, &decoded), TileStatus::badStream);
    // A zlib stream instead of a gzip member.
    Bytes zlibbed(compressBound(100));
    uLongf zlibBytes = static_cast<uLongf>(zlibbed.size());
    ASSERT_EQ(compress2(zlibbed.data(), &zlibBytes, hundred.data(), 100, 1), Z_OK);
    EXPECT_EQ(decode(TileCodec::gzip1, prefix(zlibbed, zlibBytes), TileShape{100, 1}, 1, &decoded),
              TileStatus::badStream);
    // Shuffled members come back whole in every width, and are byte planes to an unshuffled read.
    for (int32_t width : {2, 4, 8}) {
        Bytes shuffled = gzipped(hundred, width, true);
        ASSERT_EQ(decode(TileCodec::gzip2, shuffled, TileShape{100 / width, 1}, width, &decoded), TileStatus::ok);
        EXPECT_EQ(decoded, prefix(hundred, static_cast<size_t>(100 / width * width))) << width;
        ASSERT_EQ(decode(TileCodec::gzip1, shuffled, TileShape{100 / width, 1}, width, &decoded), TileStatus::ok);
        EXPECT_EQ(decoded[1], hundred[static_cast<size_t>(width)]) << width;
    }
}

TEST(TileCodecs, ShapesAndWidthsNoTileHasFail) {
    Bytes bytes = {1, 2, 3, 4};
    Bytes decoded;
    EXPECT_EQ(decode(TileCodec::none, bytes, TileShape{2, 1}, 2, &decoded), TileStatus::ok);
    EXPECT_EQ(decode(TileCodec::none, bytes, TileShape{3, 1}, 2, &decoded), TileStatus::sizeDisagrees);
    EXPECT_EQ(decode(TileCodec::none, bytes, TileShape{0, 1}, 2, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(TileCodec::none, bytes, TileShape{2, -1}, 2, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(TileCodec::none, bytes, TileShape{1, 1}, 3, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(TileCodec::rice, bytes, TileShape{2, 1}, 8, &decoded), TileStatus::badParameters);
    EXPECT_EQ(decode(TileCodec::rice, bytes, TileShape{2, 1}, 2, &decoded, 0), TileStatus::badParameters);
}

} // namespace
