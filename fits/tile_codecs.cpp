// A tile to its codec; the gzip and PLIO codecs; the dither and the dequantizing of floats.
#include "fits/tile_codecs.h"

#include <zlib.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "fits/tile_codec_shared.h"

namespace {

bool validSampleBytes(int32_t sampleBytes) {
    return sampleBytes == 1 || sampleBytes == 2 || sampleBytes == 4 || sampleBytes == 8;
}

// The tile's pixel count, when its shape and sample width are ones a decode can address: the
// largest working copy (hcompress: eight bytes a pixel and a little) must fit in a size_t.
bool tilePixels(TileShape shape, int32_t sampleBytes, int64_t *pixels) {
    if (shape.columns <= 0 || shape.rows <= 0 || !validSampleBytes(sampleBytes))
        return false;
    int64_t count = int64_t{shape.columns} * shape.rows;
    if (static_cast<uint64_t>(count) > std::numeric_limits<size_t>::max() / 16)
        return false;
    *pixels = count;
    return true;
}

// zlib counts in unsigned int.
constexpr size_t largestZlibBuffer = std::numeric_limits<uInt>::max() - 1;

int inflateUntilFull(z_stream *stream) {
    int result = Z_OK;
    do
        result = inflate(stream, Z_NO_FLUSH);
    while (result == Z_OK && stream->avail_out > 0);
    return result;
}

TileStatus inflateResultStatus(int result) {
    switch (result) {
    case Z_STREAM_END: return TileStatus::ok;
    case Z_BUF_ERROR: return TileStatus::endsEarly;
    case Z_MEM_ERROR: return TileStatus::outOfMemory;
    default: return TileStatus::badStream;
    }
}

// Inflates one gzip member into exactly `outBytes` bytes. Bytes after the member are ignored,
// as cfitsio ignores them.
TileStatus inflateMember(const uint8_t *in, size_t inBytes, uint8_t *out, size_t outBytes) {
    if (inBytes > largestZlibBuffer || outBytes > largestZlibBuffer)
        return TileStatus::badParameters;
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return TileStatus::outOfMemory;
    stream.next_in = const_cast<Bytef *>(in);
    stream.avail_in = static_cast<uInt>(inBytes);
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(outBytes);
    TileStatus status = TileStatus::ok;
    int result = inflateUntilFull(&stream);
    if (result == Z_OK) {
        // The tile is full and the member goes on: one more byte tells whether it holds more.
        uint8_t probe = 0;
        stream.next_out = &probe;
        stream.avail_out = 1;
        result = inflateUntilFull(&stream);
        if (stream.avail_out == 0)
            status = TileStatus::inflatesPastTile;
    } else if (result == Z_STREAM_END && stream.avail_out > 0) {
        status = TileStatus::inflatesShort;
    }
    if (status == TileStatus::ok)
        status = inflateResultStatus(result);
    inflateEnd(&stream);
    return status;
}

// GZIP_2 stores the samples' bytes as planes, most significant first: sample i's byte b is
// byte b × count + i.
void unshuffleBytes(const uint8_t *planes, int64_t count, int32_t width, uint8_t *samples) {
    for (int32_t b = 0; b < width; ++b) {
        const uint8_t *plane = planes + b * count;
        for (int64_t i = 0; i < count; ++i)
            samples[i * width + b] = plane[i];
    }
}

void shuffleBytes(const uint8_t *samples, int64_t count, int32_t width, uint8_t *planes) {
    for (int32_t b = 0; b < width; ++b) {
        uint8_t *plane = planes + b * count;
        for (int64_t i = 0; i < count; ++i)
            plane[i] = samples[i * width + b];
    }
}

TileStatus gzipDecode(bool shuffled, const uint8_t *compressed, size_t compressedBytes, int64_t count,
                      int32_t sampleBytes, uint8_t *samples, TileScratch scratch) {
    size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(sampleBytes);
    if (!shuffled || sampleBytes == 1)
        return inflateMember(compressed, compressedBytes, samples, bytes);
    if (scratch.bytes == nullptr || scratch.size < bytes)
        return TileStatus::scratchTooSmall;
    TileStatus status = inflateMember(compressed, compressedBytes, scratch.bytes, bytes);
    if (status == TileStatus::ok)
        unshuffleBytes(scratch.bytes, count, sampleBytes, samples);
    return status;
}

// PLIO line lists: 16-bit big-endian words, counted from 1 as the format's description does.
int32_t plioWord(const uint8_t *list, int64_t number) {
    const uint8_t *at = list + 2 * (number - 1);
    return static_cast<int16_t>(static_cast<uint16_t>((at[0] << 8) | at[1]));
}

// The words that hold instructions. The old header keeps the list's length in word 3 and
// starts at word 4; the newer one marks word 3 with -100, gives its own length in word 2 and
// the list's in words 4 (low 15 bits) and 5.
TileStatus plioInstructions(const uint8_t *list, int64_t words, int64_t *first, int64_t *last) {
    if (words < 3)
        return TileStatus::endsEarly;
    int32_t marker = plioWord(list, 3);
    if (marker > 0) {
        *first = 4;
        *last = marker;
    } else if (marker == -100) {
        if (words < 5)
            return TileStatus::endsEarly;
        int32_t headerWords = plioWord(list, 2);
        int32_t low = plioWord(list, 4);
        int32_t high = plioWord(list, 5);
        if (headerWords < 5 || low < 0 || high < 0)
            return TileStatus::badHeader;
        *first = headerWords + 1;
        *last = low + int64_t{high} * 32768;
    } else {
        return TileStatus::badHeader;
    }
    if (*last < *first - 1)
        return TileStatus::badHeader;
    return *last > words ? TileStatus::endsEarly : TileStatus::ok;
}

struct PlioOutput {
    uint8_t *samples;
    int32_t width;
    int64_t count;
    int64_t next;
    int64_t offset;
};

// `run` pixels: zeros, then `value` in the last `valued` of them.
bool emitRun(PlioOutput *out, int64_t run, int64_t valued, int64_t value) {
    if (run > out->count - out->next)
        return false;
    for (int64_t i = 0; i < run; ++i, ++out->next)
        storeSample(out->samples, out->width, out->next, (i >= run - valued ? value : 0) - out->offset);
    return true;
}

// Instruction codes: 0 zeros, 1 set the value from the next word, 2 and 3 step it up or down,
// 4 a run of the value, 5 zeros then one value, 6 and 7 step then one value.
TileStatus plioDecode(const TileCodecParams &params, const uint8_t *list, size_t listBytes, int64_t count,
                      int32_t sampleBytes, uint8_t *samples) {
    if (listBytes % 2 != 0)
        return TileStatus::badParameters;
    int64_t first = 0;
    int64_t last = 0;
    TileStatus status = plioInstructions(list, static_cast<int64_t>(listBytes / 2), &first, &last);
    if (status != TileStatus::ok)
        return status;
    PlioOutput out{samples, sampleBytes, count, 0, params.plioOffset};
    int64_t value = 1;
    for (int64_t ip = first; ip <= last; ++ip) {
        int32_t word = plioWord(list, ip) & 0xFFFF;
        int32_t opcode = word >> 12;
        int64_t data = word & 0xFFF;
        bool fits = true;
        switch (opcode) {
        case 0: fits = emitRun(&out, data, 0, value); break;
        case 1:
            if (ip == last)
                return TileStatus::endsEarly;
            value = int64_t{plioWord(list, ++ip)} * 4096 + data;
            break;
        case 2: value += data; break;
        case 3: value -= data; break;
        case 4: fits = emitRun(&out, data, data, value); break;
        case 5: fits = emitRun(&out, data, data > 0 ? 1 : 0, value); break;
        case 6:
        case 7:
            value += opcode == 6 ? data : -data;
            fits = emitRun(&out, 1, 1, value);
            break;
        default: return TileStatus::badOpcode;
        }
        if (!fits)
            return TileStatus::overrunsTile;
    }
    // Pixels the list does not reach are zero.
    emitRun(&out, count - out.next, 0, 0);
    return TileStatus::ok;
}

TileStatus copyUncompressed(const uint8_t *stored, size_t storedBytes, int64_t count, int32_t sampleBytes,
                            uint8_t *samples) {
    size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(sampleBytes);
    if (storedBytes != bytes)
        return TileStatus::sizeDisagrees;
    std::memcpy(samples, stored, bytes);
    return TileStatus::ok;
}

} // namespace

const char *tileStatusText(TileStatus status) {
    switch (status) {
    case TileStatus::ok: return "decodes";
    case TileStatus::badParameters: return "has coding parameters the codec cannot take";
    case TileStatus::scratchTooSmall: return "was given too little working memory";
    case TileStatus::outputTooSmall: return "does not fit the room given";
    case TileStatus::outOfMemory: return "could not get memory to decode";
    case TileStatus::endsEarly: return "ends early";
    case TileStatus::inflatesPastTile: return "inflates past the tile's size";
    case TileStatus::inflatesShort: return "inflates to less than the tile's size";
    case TileStatus::badStream: return "is not an intact gzip member";
    case TileStatus::badHeader: return "has a damaged header";
    case TileStatus::badOpcode: return "has an unknown instruction";
    case TileStatus::overrunsTile: return "places pixels beyond the tile";
    case TileStatus::sizeDisagrees: return "disagrees with the tile's size";
    case TileStatus::badCode: return "has a damaged bit plane";
    case TileStatus::outOfRange: return "holds values too large for any image";
    }
    return "fails";
}

size_t tileScratchBytes(const TileCodecParams &params, TileShape shape, int32_t sampleBytes) {
    int64_t count = 0;
    if (!tilePixels(shape, sampleBytes, &count))
        return 0;
    if (params.codec == TileCodec::gzip2 && sampleBytes > 1)
        return static_cast<size_t>(count) * static_cast<size_t>(sampleBytes);
    if (params.codec == TileCodec::hcompress)
        return hcompressScratchBytes(shape);
    return 0;
}

TileStatus decodeTile(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes, TileShape shape,
                      int32_t sampleBytes, uint8_t *samples, TileScratch scratch) {
    int64_t count = 0;
    if (!tilePixels(shape, sampleBytes, &count) || samples == nullptr)
        return TileStatus::badParameters;
    if (compressed == nullptr && compressedBytes > 0)
        return TileStatus::badParameters;
    if (compressed == nullptr)
        return TileStatus::endsEarly;
    switch (params.codec) {
    case TileCodec::rice: return riceDecode(params, compressed, compressedBytes, count, sampleBytes, samples);
    case TileCodec::gzip1: return gzipDecode(false, compressed, compressedBytes, count, sampleBytes, samples, scratch);
    case TileCodec::gzip2: return gzipDecode(true, compressed, compressedBytes, count, sampleBytes, samples, scratch);
    case TileCodec::plio: return plioDecode(params, compressed, compressedBytes, count, sampleBytes, samples);
    case TileCodec::hcompress:
        return hcompressDecode(params, compressed, compressedBytes, shape, sampleBytes, samples, scratch);
    case TileCodec::none: return copyUncompressed(compressed, compressedBytes, count, sampleBytes, samples);
    }
    return TileStatus::badParameters;
}

size_t gzipEncodeBound(size_t bytes) {
    // compressBound allows for zlib's 6-byte wrapper; gzip's is 18.
    return static_cast<size_t>(compressBound(static_cast<uLong>(bytes))) + 12;
}

TileStatus gzipEncode(const uint8_t *samples, int64_t count, int32_t sampleBytes, bool shuffle, uint8_t *out,
                      size_t capacity, size_t *written, TileScratch scratch) {
    *written = 0;
    int64_t pixels = 0;
    if (count <= 0 || count > std::numeric_limits<int32_t>::max() ||
        !tilePixels(TileShape{static_cast<int32_t>(count), 1}, sampleBytes, &pixels))
        return TileStatus::badParameters;
    size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(sampleBytes);
    if (bytes > largestZlibBuffer)
        return TileStatus::badParameters;
    const uint8_t *source = samples;
    if (shuffle && sampleBytes > 1) {
        if (scratch.bytes == nullptr || scratch.size < bytes)
            return TileStatus::scratchTooSmall;
        shuffleBytes(samples, count, sampleBytes, scratch.bytes);
        source = scratch.bytes;
    }
    size_t room = capacity < largestZlibBuffer ? capacity : largestZlibBuffer;
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return TileStatus::outOfMemory;
    stream.next_in = const_cast<Bytef *>(source);
    stream.avail_in = static_cast<uInt>(bytes);
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(room);
    int result = Z_OK;
    do
        result = deflate(&stream, Z_FINISH);
    while (result == Z_OK && stream.avail_out > 0);
    size_t used = room - stream.avail_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        return TileStatus::outputTooSmall;
    *written = used;
    return TileStatus::ok;
}

void fillDitherTable(DitherTable *table) {
    // Park and Miller's minimal standard generator, in double precision.
    const double multiplier = 16807.0;
    const double modulus = 2147483647.0;
    double seed = 1;
    for (float &value : table->values) {
        double product = multiplier * seed;
        seed = product - modulus * static_cast<int32_t>(product / modulus);
        value = static_cast<float>(seed / modulus);
    }
    table->finalSeed = static_cast<int32_t>(seed);
}

namespace {

// The integer that SUBTRACTIVE_DITHER_2 writes for pixels that were exactly zero.
constexpr int64_t ditheredZero = -2147483646;

// Where in the table a tile's offsets start: a row of the table chosen by the tile's row and
// the file's seed, and within it an entry chosen by that row's own value.
struct DitherPosition {
    int32_t row;
    int32_t entry;
};

int32_t ditherEntry(const DitherTable &table, int32_t row) { return static_cast<int32_t>(table.values[row] * 500); }

DitherPosition ditherStart(const DitherTable &table, int64_t tileRow, int64_t seed) {
    int64_t row = (tileRow + seed - 2) % ditherTableSize;
    if (row < 0)
        row += ditherTableSize;
    return DitherPosition{static_cast<int32_t>(row), ditherEntry(table, static_cast<int32_t>(row))};
}

void advanceDither(const DitherTable &table, DitherPosition *at) {
    if (++at->entry < ditherTableSize)
        return;
    at->row = (at->row + 1) % ditherTableSize;
    at->entry = ditherEntry(table, at->row);
}

} // namespace

void dequantizeTile(const DequantizeParams &params, const DitherTable &table, const uint8_t *samples,
                    int32_t sampleBytes, int64_t count, double *values) {
    bool dithered = params.method != Quantization::noDither;
    DitherPosition at = ditherStart(table, params.tileRow, params.ditherSeed);
    for (int64_t i = 0; i < count; ++i) {
        int64_t q = loadSample(samples, sampleBytes, i);
        if (params.hasBlank && q == params.blank)
            values[i] = std::nan("");
        else if (params.method == Quantization::subtractiveDither2 && q == ditheredZero)
            values[i] = 0.0;
        else if (dithered)
            values[i] = (static_cast<double>(q) - table.values[at.entry] + 0.5) * params.scale + params.zero;
        else
            values[i] = static_cast<double>(q) * params.scale + params.zero;
        // Every pixel takes an offset, undefined and zero ones too.
        if (dithered)
            advanceDither(table, &at);
    }
}

void restoreLosslessFloats(const uint8_t *samples, int32_t sampleBytes, int64_t count, double *values) {
    for (int64_t i = 0; i < count; ++i)
        values[i] = floatFromBits(readBigEndian(samples + i * sampleBytes, sampleBytes), sampleBytes);
}
