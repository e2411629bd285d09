// Pieces the tile codecs share: a bit reader over a bounded byte stream, the store of one
// decoded value as a big-endian sample, and the codecs that live in their own files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fits/tile_codecs.h"

// Reads bits most significant first. A read that wants more bits than remain sets `exhausted`
// and yields zeros, so that a decoder can check once per block rather than per bit.
struct BitReader {
    const uint8_t *bytes;
    size_t size;
    size_t next;     // the next byte to load
    uint64_t buffer; // loaded bits; the low `available` of them are still unread
    int32_t available;
    bool exhausted;
};

inline BitReader startBitReader(const uint8_t *bytes, size_t size, size_t first) {
    return BitReader{bytes, size, first, 0, 0, first > size};
}

// Up to 32 bits as an unsigned number.
inline uint32_t readBits(BitReader *reader, int32_t count) {
    while (reader->available < count) {
        if (reader->next >= reader->size) {
            reader->exhausted = true;
            reader->available = 0;
            return 0;
        }
        reader->buffer = (reader->buffer << 8) | reader->bytes[reader->next++];
        reader->available += 8;
    }
    reader->available -= count;
    return static_cast<uint32_t>((reader->buffer >> reader->available) & ((uint64_t{1} << count) - 1));
}

// Drops the unread bits of the current byte: the next read starts at a byte boundary.
inline void alignToByte(BitReader *reader) { reader->available = 0; }

// Holds a value to the range of a sample of `width` bytes: 0 … 255 for bytes (FITS 8-bit data
// are unsigned), two's complement otherwise.
inline int64_t clampToSample(int64_t value, int32_t width) {
    int64_t low = width == 1 ? 0 : width == 2 ? INT16_MIN : width == 4 ? INT32_MIN : INT64_MIN;
    int64_t high = width == 1 ? 255 : width == 2 ? INT16_MAX : width == 4 ? INT32_MAX : INT64_MAX;
    return value < low ? low : value > high ? high : value;
}

// Writes `value`, held to the sample's range, as sample `index` of big-endian samples.
inline void storeSample(uint8_t *samples, int32_t width, int64_t index, int64_t value) {
    uint64_t bits = static_cast<uint64_t>(clampToSample(value, width));
    uint8_t *at = samples + index * width;
    for (int32_t b = 0; b < width; ++b)
        at[b] = static_cast<uint8_t>(bits >> (8 * (width - 1 - b)));
}

// Reads sample `index` of big-endian samples of `width` bytes: unsigned for one byte, signed
// otherwise.
inline int64_t loadSample(const uint8_t *samples, int32_t width, int64_t index) {
    const uint8_t *at = samples + index * width;
    uint64_t bits = 0;
    for (int32_t b = 0; b < width; ++b)
        bits = (bits << 8) | at[b];
    if (width == 1)
        return static_cast<int64_t>(bits);
    if (width == 2)
        return static_cast<int16_t>(bits);
    if (width == 4)
        return static_cast<int32_t>(bits);
    return static_cast<int64_t>(bits);
}

TileStatus riceDecode(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes, int64_t count,
                      int32_t sampleBytes, uint8_t *samples);

size_t hcompressScratchBytes(TileShape shape);
TileStatus hcompressDecode(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes,
                           TileShape shape, int32_t sampleBytes, uint8_t *samples, TileScratch scratch);
