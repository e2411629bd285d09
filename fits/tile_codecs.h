// The codecs of tile-compressed images: one tile's compressed bytes to its samples and back,
// and quantized integers to floating-point values.
//
// A decoded tile comes out as the samples an uncompressed image of the same BITPIX would hold:
// big-endian, `sampleBytes` each (8-bit samples unsigned, wider ones two's complement, or the
// IEEE bits of losslessly stored floats), tile rows one after the other. The row readers can
// then treat a tile's rows like rows read from the file.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TileCodec : uint8_t { rice, gzip1, gzip2, plio, hcompress, none };

struct TileCodecParams {
    TileCodec codec;
    int32_t blockSize;  // rice: pixels per coding block (BLOCKSIZE)
    int32_t bytePix;    // rice: bytes per pixel difference, 1, 2 or 4 (BYTEPIX)
    int32_t smooth;     // hcompress: nonzero smooths the image while the transform is inverted (SMOOTH)
    int32_t plioOffset; // plio: taken from every decoded value; 32768 for unsigned 16-bit images,
                        // whose writers add it before coding (BZERO 32768 and no ZZERO)
};

enum class TileStatus : uint8_t {
    ok,
    badParameters,    // a block size, byte count, sample width or tile shape the codec cannot take
    scratchTooSmall,  // less scratch than tileScratchBytes asked for
    outputTooSmall,   // an encoder's output would pass the capacity given
    outOfMemory,      // zlib could not set up its state
    endsEarly,        // the compressed bytes end before the tile's pixels do
    inflatesPastTile, // the gzip member holds more bytes than the tile
    inflatesShort,    // the gzip member holds fewer bytes than the tile
    badStream,        // not a gzip member, or its data or check sum are damaged
    badHeader,        // plio header words or hcompress magic and plane counts that no writer makes
    badOpcode,        // a plio instruction outside 0 … 7
    overrunsTile,     // plio instructions that place pixels beyond the tile
    sizeDisagrees,    // hcompress dimensions, or uncompressed bytes, that do not fit the tile
    badCode,          // an hcompress bit plane that is neither quadtree-coded nor direct, or no end mark
    outOfRange,       // hcompress coefficients larger than any image of up to 64-bit samples yields
};

// A short English phrase for a status, for the reader's messages ("ends early", …).
const char *tileStatusText(TileStatus status);

// One tile: `columns` pixels along the first axis (fastest), `rows` the product of the others.
struct TileShape {
    int32_t columns;
    int32_t rows;
};

// Working memory the caller lends to a decode or an encode.
struct TileScratch {
    uint8_t *bytes;
    size_t size;
};

// Bytes of scratch that decodeTile needs for a tile (0 when it needs none).
size_t tileScratchBytes(const TileCodecParams &params, TileShape shape, int32_t sampleBytes);

// Decodes one tile into columns × rows samples of `sampleBytes` (1, 2, 4 or 8) at `samples`.
// Integer codecs whose values do not fit the sample width are held to its range (lossy hcompress
// can overshoot). gzip tiles must inflate to exactly the tile's bytes. Reads nothing past
// `compressed + compressedBytes` and writes nothing past the tile; on a failure the samples are
// unspecified.
TileStatus decodeTile(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes, TileShape shape,
                      int32_t sampleBytes, uint8_t *samples, TileScratch scratch);

// The most bytes riceEncode can write for `count` samples.
size_t riceEncodeBound(int64_t count, int32_t bytePix, int32_t blockSize);

// Rice-codes `count` big-endian samples of `bytePix` bytes (1, 2 or 4), as cfitsio's writer
// does, into at most `capacity` bytes at `out`.
TileStatus riceEncode(const uint8_t *samples, int64_t count, int32_t bytePix, int32_t blockSize, uint8_t *out,
                      size_t capacity, size_t *written);

// The most bytes gzipEncode can write for `bytes` bytes of samples.
size_t gzipEncodeBound(size_t bytes);

// Writes `count` big-endian samples of `sampleBytes` as one gzip member, byte planes first when
// `shuffle` (GZIP_2; the scratch must then hold the samples' bytes).
TileStatus gzipEncode(const uint8_t *samples, int64_t count, int32_t sampleBytes, bool shuffle, uint8_t *out,
                      size_t capacity, size_t *written, TileScratch scratch);

// The subtractive dither's random offsets, shared by every tile of every file.
constexpr int32_t ditherTableSize = 10000;
// The generator's state after the table, which a correct build reproduces.
constexpr int32_t ditherTableFinalSeed = 1043618065;

struct DitherTable {
    float values[ditherTableSize];
    int32_t finalSeed;
};

void fillDitherTable(DitherTable *table);

// ZQUANTIZ. An image without the keyword follows the old round-to-nearest rule, which is
// noDither's arithmetic.
enum class Quantization : uint8_t { noDither, subtractiveDither1, subtractiveDither2 };

struct DequantizeParams {
    Quantization method;
    double scale;       // ZSCALE of the tile
    double zero;        // ZZERO of the tile
    bool hasBlank;      // a ZBLANK applies
    int64_t blank;      // ZBLANK: the integer of undefined pixels
    int64_t tileRow;    // the tile's row in the table, from 1
    int64_t ditherSeed; // ZDITHER0, 1 when absent
};

// The physical values (before the restored header's BSCALE/BZERO) of `count` quantized samples
// of `sampleBytes` (1, 2 or 4) as decodeTile gave them; undefined pixels become NaN.
void dequantizeTile(const DequantizeParams &params, const DitherTable &table, const uint8_t *samples,
                    int32_t sampleBytes, int64_t count, double *values);

// The values of losslessly stored floats: decoded samples of 4 or 8 bytes read as IEEE bits.
void restoreLosslessFloats(const uint8_t *samples, int32_t sampleBytes, int64_t count, double *values);
