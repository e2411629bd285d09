// Ones' complement sums and the ASCII encoding of the FITS checksum convention.
#include "fits/checksum.h"

#include <cstring>

void addChecksumBytes(FitsChecksum *sum, const uint8_t *bytes, size_t count) {
    size_t i = 0;
    // Byte by byte up to a word boundary of the stream, then whole words, then the rest.
    for (; i < count && sum->position % 4 != 0; ++i, ++sum->position) {
        uint64_t value = sum->position % 2 == 0 ? uint64_t{bytes[i]} << 8 : bytes[i];
        (sum->position % 4 < 2 ? sum->high : sum->low) += value;
    }
    uint64_t high = 0;
    uint64_t low = 0;
    size_t words = (count - i) / 4;
    for (size_t w = 0; w < words; ++w, i += 4) {
        high += (uint32_t{bytes[i]} << 8) | bytes[i + 1];
        low += (uint32_t{bytes[i + 2]} << 8) | bytes[i + 3];
    }
    sum->high += high;
    sum->low += low;
    sum->position += words * 4;
    for (; i < count; ++i, ++sum->position) {
        uint64_t value = sum->position % 2 == 0 ? uint64_t{bytes[i]} << 8 : bytes[i];
        (sum->position % 4 < 2 ? sum->high : sum->low) += value;
    }
}

uint32_t checksumValue(const FitsChecksum *sum) {
    // A carry out of either half goes into the other: the end-around carry of a 32-bit
    // ones' complement sum.
    uint64_t high = sum->high;
    uint64_t low = sum->low;
    while ((high >> 16) != 0 || (low >> 16) != 0) {
        uint64_t highCarry = high >> 16;
        uint64_t lowCarry = low >> 16;
        high = (high & 0xFFFF) + lowCarry;
        low = (low & 0xFFFF) + highCarry;
    }
    return static_cast<uint32_t>((high << 16) | low);
}

uint32_t addChecksums(uint32_t a, uint32_t b) {
    FitsChecksum sum{uint64_t{a >> 16} + (b >> 16), uint64_t{a & 0xFFFF} + (b & 0xFFFF), 0};
    return checksumValue(&sum);
}

namespace {

// Punctuation between the digits and the letters, which the encoding avoids.
bool excludedCharacter(int c) { return (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60); }

} // namespace

void encodeChecksum(uint32_t sum, char *text) {
    uint32_t value = ~sum;
    char spread[16];
    for (int byteIndex = 0; byteIndex < 4; ++byteIndex) {
        int byte = static_cast<int>((value >> (24 - 8 * byteIndex)) & 0xFF);
        int ch[4];
        for (int &c : ch)
            c = byte / 4 + '0';
        ch[0] += byte % 4;
        // Pairs are nudged apart, one up and one down, which keeps their sum.
        for (bool moved = true; moved;) {
            moved = false;
            for (int pair = 0; pair < 4; pair += 2)
                if (excludedCharacter(ch[pair]) || excludedCharacter(ch[pair + 1])) {
                    ++ch[pair];
                    --ch[pair + 1];
                    moved = true;
                }
        }
        for (int j = 0; j < 4; ++j)
            spread[4 * j + byteIndex] = static_cast<char>(ch[j]);
    }
    // The text starts in column 12, one byte before a word boundary, so it is rotated by one.
    for (int i = 0; i < 16; ++i)
        text[i] = spread[(i + 15) % 16];
    text[16] = '\0';
}
