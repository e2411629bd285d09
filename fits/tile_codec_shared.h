// Pieces the tile codecs share, and the tile reader and writer with them: a bit reader over a
// bounded byte stream, big-endian numbers and samples, and the codecs that live in their own files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The unsigned number in `bytes` big-endian bytes (at most 8).
inline uint64_t readBigEndian(const uint8_t *at, int32_t bytes) {
    uint64_t value = 0;
    for (int32_t b = 0; b < bytes; ++b)
        value = (value << 8) | at[b];
    return value;
}

// The low `bytes` bytes of `value`, big-endian.
inline void storeBigEndian(uint8_t *at, int32_t bytes, uint64_t value) {
    for (int32_t b = bytes - 1; b >= 0; --b, value >>= 8)
        at[b] = static_cast<uint8_t>(value);
}

// The IEEE value whose bits are the low 4 or 8 bytes of `bits`.
inline double floatFromBits(uint64_t bits, int32_t bytes) {
    if (bytes == 4) {
        const auto narrowBits = static_cast<uint32_t>(bits);
        float narrow = 0;
        std::memcpy(&narrow, &narrowBits, sizeof narrow);
        return narrow;
    }
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Writes `value`, held to the sample's range, as sample `index` of big-endian samples.
inline void storeSample(uint8_t *samples, int32_t width, int64_t index, int64_t value) {
    storeBigEndian(samples + index * width, width, static_cast<uint64_t>(clampToSample(value, width)));
}

// The bits of a sample of `width` bytes as a number: unsigned for one byte, signed otherwise.
inline int64_t sampleValue(uint64_t bits, int32_t width) {
    if (width == 1)
        return static_cast<int64_t>(bits);
    if (width == 2)
        return static_cast<int16_t>(bits);
    if (width == 4)
        return static_cast<int32_t>(bits);
    return static_cast<int64_t>(bits);
}

// Reads sample `index` of big-endian samples of `width` bytes.
inline int64_t loadSample(const uint8_t *samples, int32_t width, int64_t index) {
    return sampleValue(readBigEndian(samples + index * width, width), width);
}

TileStatus riceDecode(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes, int64_t count,
                      int32_t sampleBytes, uint8_t *samples);

size_t hcompressScratchBytes(TileShape shape);
TileStatus hcompressDecode(const TileCodecParams &params, const uint8_t *compressed, size_t compressedBytes,
                           TileShape shape, int32_t sampleBytes, uint8_t *samples, TileScratch scratch);
