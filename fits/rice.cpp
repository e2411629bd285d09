// RICE_1: the first pixel raw, then per block of pixels a split code of the pixel differences,
// each difference folded to an unsigned number (0, -1, 1, -2, … → 0, 1, 2, 3, …).
#include "fits/tile_codec_shared.h"

namespace {

// The code's widths for a number of bytes per pixel: bits of the block's split code, the
// largest split, and the bits of a raw difference.
struct RiceWidths {
    int32_t codeBits;
    int32_t largestSplit;
    int32_t differenceBits;
};

bool riceWidths(int32_t bytePix, RiceWidths *widths) {
    switch (bytePix) {
    case 1: *widths = RiceWidths{3, 6, 8}; return true;
    case 2: *widths = RiceWidths{4, 14, 16}; return true;
    case 4: *widths = RiceWidths{5, 25, 32}; return true;
    default: return false;
    }
}

uint32_t differenceMask(const RiceWidths &widths) {
    return widths.differenceBits == 32 ? 0xFFFFFFFFu : (1u << widths.differenceBits) - 1;
}

uint32_t unfold(uint32_t folded) { return (folded & 1) != 0 ? ~(folded >> 1) : folded >> 1; }

// Zero bits up to and including the next one bit; the count of zeros.
uint32_t countZerosToOne(BitReader *reader) {
    uint32_t zeros = 0;
    for (;;) {
        if (reader->available == 0) {
            if (reader->next >= reader->size) {
                reader->exhausted = true;
                return zeros;
            }
            reader->buffer = reader->bytes[reader->next++];
            reader->available = 8;
        }
        uint64_t unread = reader->buffer & ((uint64_t{1} << reader->available) - 1);
        if (unread == 0) {
            zeros += static_cast<uint32_t>(reader->available);
            reader->available = 0;
            continue;
        }
        int32_t length = 64 - __builtin_clzll(unread);
        zeros += static_cast<uint32_t>(reader->available - length);
        reader->available = length - 1;
        return zeros;
    }
}

// The folded difference of one pixel of a block coded with split `split`.
uint32_t readSplitDifference(BitReader *reader, int32_t split) {
    uint32_t high = countZerosToOne(reader);
    uint32_t low = split > 0 ? readBits(reader, split) : 0;
    return (high << split) | low;
}

} // namespace

TileStatus riceDecode(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes, int64_t count,
                      int32_t sampleBytes, uint8_t *samples) {
    RiceWidths widths{};
    if (!riceWidths(params.bytePix, &widths) || params.blockSize <= 0)
        return TileStatus::badParameters;
    size_t seedBytes = static_cast<size_t>(params.bytePix);
    if (compressedBytes < seedBytes)
        return TileStatus::endsEarly;
    uint32_t mask = differenceMask(widths);
    auto last = static_cast<uint32_t>(readBigEndian(compressed, params.bytePix));
    BitReader reader = startBitReader(compressed, compressedBytes, seedBytes);
    for (int64_t start = 0; start < count; start += params.blockSize) {
        int64_t end = count - start > params.blockSize ? start + params.blockSize : count;
        int32_t code = static_cast<int32_t>(readBits(&reader, widths.codeBits));
        if (reader.exhausted)
            return TileStatus::endsEarly;
        // Code 0 repeats the last pixel; one past the largest split stores raw differences;
        // the rest are splits. Writers use no higher code, but cfitsio decodes those as
        // splits too, so they are read the same way.
        for (int64_t i = start; i < end; ++i) {
            uint32_t folded = 0;
            if (code == widths.largestSplit + 1)
                folded = readBits(&reader, widths.differenceBits);
            else if (code != 0)
                folded = readSplitDifference(&reader, code - 1);
            last = (last + unfold(folded)) & mask;
            storeSample(samples, sampleBytes, i, sampleValue(last, params.bytePix));
        }
        if (reader.exhausted)
            return TileStatus::endsEarly;
    }
    return TileStatus::ok;
}

namespace {

// Writes bits most significant first into a bounded buffer; a write past the end sets
// `overflowed` and is dropped.
struct BitWriter {
    uint8_t *bytes;
    size_t capacity;
    size_t used;
    uint64_t buffer;
    int32_t pending; // bits in `buffer` not yet written out
    bool overflowed;
};

void putByte(BitWriter *writer, uint8_t byte) {
    if (writer->used >= writer->capacity) {
        writer->overflowed = true;
        return;
    }
    writer->bytes[writer->used++] = byte;
}

// Up to 32 bits.
void writeBits(BitWriter *writer, uint32_t value, int32_t count) {
    writer->buffer = (writer->buffer << count) | (value & ((uint64_t{1} << count) - 1));
    writer->pending += count;
    while (writer->pending >= 8) {
        writer->pending -= 8;
        putByte(writer, static_cast<uint8_t>(writer->buffer >> writer->pending));
    }
}

void writeZeros(BitWriter *writer, uint32_t count) {
    for (; count >= 32; count -= 32)
        writeBits(writer, 0, 32);
    writeBits(writer, 0, static_cast<int32_t>(count));
}

// Pads the last byte with zero bits.
void flushBits(BitWriter *writer) {
    if (writer->pending > 0)
        writeBits(writer, 0, 8 - writer->pending);
}

uint32_t loadPixel(const uint8_t *samples, int32_t bytePix, int64_t index) {
    return static_cast<uint32_t>(readBigEndian(samples + index * bytePix, bytePix));
}

// The difference of two pixels in the pixel's width, folded: non-negative d → 2d, negative
// d → −2d − 1.
uint32_t foldedDifference(uint32_t pixel, uint32_t previous, const RiceWidths &widths) {
    uint32_t mask = differenceMask(widths);
    uint32_t difference = (pixel - previous) & mask;
    bool negative = ((difference >> (widths.differenceBits - 1)) & 1) != 0;
    return negative ? ((~difference & mask) << 1 | 1) & mask : (difference << 1) & mask;
}

// The split for a block whose folded differences sum to `sum`: the bit length of half the
// mean, as cfitsio computes it (in double precision, rounded toward zero).
int32_t chooseSplit(double sum, int64_t pixels) {
    double mean = (sum - static_cast<double>(pixels / 2) - 1) / static_cast<double>(pixels);
    if (mean < 0)
        mean = 0;
    uint32_t half = static_cast<uint32_t>(mean) >> 1;
    int32_t split = 0;
    for (; half > 0; half >>= 1)
        ++split;
    return split;
}

void writeBlock(BitWriter *writer, const uint8_t *samples, int64_t start, int64_t end, uint32_t previous,
                int32_t bytePix, const RiceWidths &widths) {
    double sum = 0;
    uint32_t last = previous;
    for (int64_t i = start; i < end; ++i) {
        uint32_t pixel = loadPixel(samples, bytePix, i);
        sum += foldedDifference(pixel, last, widths);
        last = pixel;
    }
    int32_t split = chooseSplit(sum, end - start);
    bool raw = split >= widths.largestSplit;
    if (!raw && split == 0 && sum == 0) {
        writeBits(writer, 0, widths.codeBits);
        return;
    }
    writeBits(writer, static_cast<uint32_t>(raw ? widths.largestSplit + 1 : split + 1), widths.codeBits);
    last = previous;
    for (int64_t i = start; i < end; ++i) {
        uint32_t pixel = loadPixel(samples, bytePix, i);
        uint32_t folded = foldedDifference(pixel, last, widths);
        last = pixel;
        if (raw) {
            writeBits(writer, folded, widths.differenceBits);
            continue;
        }
        writeZeros(writer, folded >> split);
        writeBits(writer, 1, 1);
        writeBits(writer, folded, split);
    }
}

} // namespace

size_t riceEncodeBound(int64_t count, int32_t bytePix, int32_t blockSize) {
    RiceWidths widths{};
    if (count < 0 || blockSize <= 0 || !riceWidths(bytePix, &widths))
        return 0;
    // A split block costs split + 1 bits a pixel plus the quotients, which the choice of the
    // split keeps under 2.5 bits a pixel (and one more bit): below differenceBits + 6 bits a
    // pixel in every width, raw blocks included.
    int64_t blocks = (count + blockSize - 1) / blockSize;
    int64_t bits = blocks * widths.codeBits + count * (widths.differenceBits + 6);
    return static_cast<size_t>(bytePix + bits / 8 + 2);
}

TileStatus riceEncode(const uint8_t *samples, int64_t count, int32_t bytePix, int32_t blockSize, uint8_t *out,
                      size_t capacity, size_t *written) {
    *written = 0;
    RiceWidths widths{};
    if (!riceWidths(bytePix, &widths) || blockSize <= 0 || count <= 0)
        return TileStatus::badParameters;
    BitWriter writer{out, capacity, 0, 0, 0, false};
    uint32_t previous = loadPixel(samples, bytePix, 0);
    writeBits(&writer, previous, widths.differenceBits);
    for (int64_t start = 0; start < count && !writer.overflowed; start += blockSize) {
        int64_t end = count - start > blockSize ? start + blockSize : count;
        writeBlock(&writer, samples, start, end, previous, bytePix, widths);
        previous = loadPixel(samples, bytePix, end - 1);
    }
    flushBits(&writer);
    if (writer.overflowed)
        return TileStatus::outputTooSmall;
    *written = writer.used;
    return TileStatus::ok;
}
