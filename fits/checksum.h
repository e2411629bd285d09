// The FITS checksum convention: 32-bit ones' complement sums of big-endian words, and the
// 16-character encoding of the CHECKSUM keyword.
#pragma once

#include <cstddef>
#include <cstdint>

// A running sum over a byte stream that need not arrive in whole words: each byte lands in
// the half-word its stream position gives it. Carries are folded in when the value is taken.
struct FitsChecksum {
    uint64_t high;     // sum of the first half-words of each 32-bit word
    uint64_t low;      // sum of the second half-words
    uint64_t position; // bytes added so far
};

void addChecksumBytes(FitsChecksum *sum, const uint8_t *bytes, size_t count);

// The 32-bit ones' complement sum of everything added.
uint32_t checksumValue(const FitsChecksum *sum);

// Ones' complement addition of two sums.
uint32_t addChecksums(uint32_t a, uint32_t b);

// The 16 characters that, written over "0000000000000000" at columns 12-27 of a CHECKSUM
// card, make the whole unit sum to negative zero. `sum` is the unit's sum with the zeros in
// place. `text` receives 16 characters and a zero byte.
void encodeChecksum(uint32_t sum, char *text);
