// What one HDU's header says of its data, read card by card: the values the module opens an
// image by, the size of the data, and why an image cannot be opened. The host stand-in walks
// files by the same reading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fits/header_format.h"

constexpr int64_t largestSide = 32767;

// Values taken from the cards before END; a keyword that occurs twice keeps its last value.
struct HeaderKeywords {
    bool hasBitpix, hasNaxis, hasBlank, bottomUp, groups, compressedImage;
    int64_t bitpix, naxis, blank, pcount, gcount;
    bool hasAxis[largestAxis + 1];
    int64_t axis[largestAxis + 1]; // NAXISn, by n
    float bzero, bscale;
    double exactZero, exactScale;
};

// The values before any card: no scaling, one group.
void startKeywords(HeaderKeywords *found);

// Takes the value of one card; `endSeen` is set at END, `attributionSeen` at the module's own card.
void takeKeyword(const uint8_t *card, HeaderKeywords *found, bool *endSeen, bool *attributionSeen);

// Where a header's END card stands among its cards, and whether an attribution card came before.
struct HeaderEnd {
    int32_t index;
    bool attributionSeen;
};

// Takes the values of the cards before END among the first `count` at `cards`, from fresh
// values on; false when END is not among them.
bool takeCards(const uint8_t *cards, int32_t count, HeaderKeywords *found, HeaderEnd *end);

// Whether the header holds an image: axes, none of length 0 (NAXIS1 of random groups aside).
// One that holds none leaves the image to the extensions that follow it.
bool holdsImage(const HeaderKeywords &found);

// Bytes the data of an HDU take in the file, in whole blocks: |BITPIX| / 8 × GCOUNT ×
// (PCOUNT + NAXIS1 × … × NAXISn), NAXIS1 left out for random groups. Saturates far beyond
// any file, which then ends a walk.
int64_t paddedDataBytes(const HeaderKeywords &found);

// Why a header that holds data cannot be opened as an image, in words for the user; empty when
// it can. What the data are is told before how they are coded.
void describeUnsupported(const HeaderKeywords &found, char *reason, size_t room);
