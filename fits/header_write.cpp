// The header a save writes: the retained header with its image values rewritten, or a fresh one.
#include "fits/header_write.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "fits/checksum.h"
#include "fits/header_format.h"
#include "host/file_access.h"
#include "platform/platform.h"

namespace {

uint8_t *cardAt(uint8_t *header, int n) { return header + n * cardBytes; }

// The values a save gives BZERO and BSCALE, and what it does with BLANK.
struct SavedCoding {
    char bzero[24];
    char bscale[24];
    bool keepScaling; // BZERO and BSCALE stay as the kept header has them
    int blank;        // 1: BLANK = -32768; -1: no BLANK card; 0: BLANK left as it is
};

// Shortest text of `value` that gives it back to 15 digits or more and fits the value columns.
void realText(double value, char *text, size_t room) {
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, room, "%.1f", value);
        return;
    }
    for (int digits = 17; digits > 1; --digits) {
        std::snprintf(text, room, "%.*G", digits, value);
        if (std::strlen(text) <= static_cast<size_t>(valueColumns))
            return;
    }
}

// The module stores host value - 32768 for 16 bits, so the header must say so; when the kept
// header's samples were mapped into the host's 16 bits, BZERO and BSCALE carry the mapping
// back, so that readers get the physical values, and the blanks are BLANK. 8-bit samples go
// out as they came, so a kept 8-bit header keeps its own scaling.
SavedCoding savedCoding(const FormatRecord *record, const ImageDescription *kept) {
    SavedCoding coding{};
    std::strcpy(coding.bzero, record->depth == 16 ? "32768.0" : "0.0");
    std::strcpy(coding.bscale, "1");
    if (kept == nullptr)
        return coding;
    if (needsMapping(*kept) && kept->range.kind != SampleMapping::none) {
        coding.blank = record->depth == 16 && kept->range.blanks ? 1 : -1;
        if (record->depth == 16) {
            realText(kept->range.zero + 32768.0 * kept->range.step, coding.bzero, sizeof coding.bzero);
            // A unit step keeps the text the 16-bit coding writes, so that the saved file,
            // opened and saved again, comes out byte for byte the same.
            if (kept->range.step != 1.0)
                realText(kept->range.step, coding.bscale, sizeof coding.bscale);
        }
    } else if (record->depth == 8 && kept->bitpix == 8) {
        coding.keepScaling = kept->bzero != 0.0f || kept->bscale != 1.0f;
        // A fresh header, when the kept one has no room, states the same scaling.
        if (kept->exactZero != 0.0)
            realText(kept->exactZero, coding.bzero, sizeof coding.bzero);
        if (kept->exactScale != 1.0)
            realText(kept->exactScale, coding.bscale, sizeof coding.bscale);
    }
    return coding;
}

const char *naxisText(const FormatRecord *record) { return record->planes > 1 ? "3" : "2"; }

// n of an NAXISn keyword, 0 for any other.
int axisNumber(const uint8_t *card) {
    if (std::memcmp(card, "NAXIS", 5) != 0)
        return 0;
    int n = 0;
    int column = 5;
    for (; column < keywordColumns && card[column] >= '0' && card[column] <= '9'; ++column)
        n = n * 10 + (card[column] - '0');
    for (; column < keywordColumns; ++column)
        if (card[column] != ' ')
            return 0;
    return n;
}

// Rewrites the value of every card whose keyword the save decides. Whole keywords are
// compared, as the reader compares them: NAXIS10 or BZERO2 are other cards and keep their values.
void rewriteImageValues(uint8_t *header, int16_t cards, const FormatRecord *record, const SavedCoding &coding) {
    char depth[12], columns[12], rows[12], planes[12];
    decimalText(record->depth, depth);
    decimalText(record->imageSize.h, columns);
    decimalText(record->imageSize.v, rows);
    decimalText(record->planes, planes);
    for (int n = 0; n < cards; ++n) {
        uint8_t *card = cardAt(header, n);
        if (cardHasKeyword(card, keywordBITPIX))
            placeValue(card, depth);
        else if (cardHasKeyword(card, keywordNAXIS1))
            placeValue(card, columns);
        else if (cardHasKeyword(card, keywordNAXIS2))
            placeValue(card, rows);
        else if (cardHasKeyword(card, keywordBZERO) && !coding.keepScaling)
            placeValue(card, coding.bzero);
        else if (cardHasKeyword(card, keywordBSCALE) && !coding.keepScaling)
            placeValue(card, coding.bscale);
        else if (cardHasKeyword(card, keywordNAXIS))
            placeValue(card, naxisText(record));
        else if (cardHasKeyword(card, keywordNAXIS3))
            placeValue(card, planes);
        else if (cardHasKeyword(card, keywordBLANK) && coding.blank > 0)
            placeValue(card, "-32768");
    }
}

// Index of the first card before `end` with the keyword; -1 when none.
int findCardBefore(const uint8_t *header, int end, const char *keyword) {
    for (int n = 0; n < end; ++n)
        if (cardHasKeyword(header + n * cardBytes, keyword))
            return n;
    return -1;
}

// Moves the cards from slot n on down one slot and puts `card` in slot n. The last slot's card
// falls off, so callers first make sure it lies past END. False when END is already in it.
bool insertCard(uint8_t *header, int *end, int n, const uint8_t *card) {
    if (*end + 1 >= maxHeaderCards)
        return false;
    std::memmove(cardAt(header, n + 1), cardAt(header, n), static_cast<size_t>(maxHeaderCards - 1 - n) * cardBytes);
    std::memcpy(cardAt(header, n), card, cardBytes);
    ++*end;
    return true;
}

void removeCard(uint8_t *header, int *end, int n) {
    std::memmove(cardAt(header, n), cardAt(header, n + 1), static_cast<size_t>(maxHeaderCards - 1 - n) * cardBytes);
    std::memset(cardAt(header, maxHeaderCards - 1), ' ', cardBytes);
    --*end;
}

bool insertCardIfMissing(uint8_t *header, int *end, int before, const char *keyword, const char *value) {
    if (findCardBefore(header, *end, keyword) >= 0)
        return true;
    uint8_t card[cardBytes];
    composeCard(card, keyword, value);
    return insertCard(header, end, before, card);
}

void removeCards(uint8_t *header, int *end, const char *keyword) {
    for (int n = findCardBefore(header, *end, keyword); n >= 0; n = findCardBefore(header, *end, keyword))
        removeCard(header, end, n);
}

// Axes after the third had length 1 in the file read; the image saved has two or three.
void removeAxesAfterThird(uint8_t *header, int *end) {
    for (int n = 0; n < *end;) {
        if (axisNumber(cardAt(header, n)) >= 4)
            removeCard(header, end, n);
        else
            ++n;
    }
}

// NAXIS3 follows NAXIS2 when there are several planes and is absent for one.
bool fitThirdAxis(uint8_t *header, int *end, const FormatRecord *record) {
    if (record->planes <= 1) {
        removeCards(header, end, keywordNAXIS3);
        return true;
    }
    int naxis2 = findCardBefore(header, *end, keywordNAXIS2);
    char planes[12];
    decimalText(record->planes, planes);
    return insertCardIfMissing(header, end, naxis2 >= 0 ? naxis2 + 1 : *end, keywordNAXIS3, planes);
}

} // namespace

void composeFreshHeader(uint8_t *header, const FormatRecord *record, const ImageDescription *kept) {
    const SavedCoding coding = savedCoding(record, kept);
    char depth[12], columns[12], rows[12], planes[12];
    decimalText(record->depth, depth);
    decimalText(record->imageSize.h, columns);
    decimalText(record->imageSize.v, rows);
    decimalText(record->planes, planes);
    std::memset(header, ' ', headerImageSize);
    int n = 0;
    composeCard(cardAt(header, n++), keywordSIMPLE, "T");
    composeCard(cardAt(header, n++), keywordBITPIX, depth);
    composeCard(cardAt(header, n++), keywordNAXIS, naxisText(record));
    composeCard(cardAt(header, n++), keywordNAXIS1, columns);
    composeCard(cardAt(header, n++), keywordNAXIS2, rows);
    if (record->planes > 1)
        composeCard(cardAt(header, n++), keywordNAXIS3, planes);
    composeCard(cardAt(header, n++), keywordBZERO, coding.bzero);
    composeCard(cardAt(header, n++), keywordBSCALE, coding.bscale);
    if (coding.blank > 0)
        composeCard(cardAt(header, n++), keywordBLANK, "-32768");
    std::memcpy(cardAt(header, n++), attributionCard, cardBytes);
    std::memcpy(cardAt(header, n), "END", 3);
}

bool updateHeaderValues(uint8_t *header, int16_t *blocks, const FormatRecord *record, const ImageDescription *kept) {
    const SavedCoding coding = savedCoding(record, kept);
    rewriteImageValues(header, static_cast<int16_t>(*blocks * cardsPerBlock), record, coding);
    int end = findEndCard(header, static_cast<int16_t>(*blocks * cardsPerBlock));
    if (end < 0)
        return false;
    if (kept != nullptr && kept->naxis > 3)
        removeAxesAfterThird(header, &end);
    if (coding.blank < 0)
        removeCards(header, &end, keywordBLANK);
    if (!fitThirdAxis(header, &end, record) || !insertCardIfMissing(header, &end, end, keywordBZERO, coding.bzero) ||
        !insertCardIfMissing(header, &end, end, keywordBSCALE, coding.bscale) ||
        (coding.blank > 0 && !insertCardIfMissing(header, &end, end, keywordBLANK, "-32768")))
        return false;
    *blocks = static_cast<int16_t>(end / cardsPerBlock + 1);
    return true;
}

void prepareHeader(const PluginGlobals *globals, uint8_t *header, int16_t *blocks, bool *usedRetained,
                   bool *fellBack) {
    int16_t retainedBlocks = retainedHeaderBlocks(globals);
    *usedRetained = false;
    *fellBack = false;
    if (retainedBlocks >= 1) {
        // Blanks behind the retained blocks, so that a block added by an insertion is blank.
        std::memset(header, ' ', headerImageSize);
        std::memcpy(header, globals->retainedHeader, static_cast<size_t>(retainedBlocks) * headerBlockSize);
        *blocks = retainedBlocks;
        *usedRetained = updateHeaderValues(header, blocks, globals->formatRecord, &globals->keptImage);
        *fellBack = !*usedRetained;
        if (*usedRetained)
            return;
    }
    // A kept header without room still gives its coding: the mapping, or the 8-bit scaling.
    composeFreshHeader(header, globals->formatRecord, retainedBlocks >= 1 ? &globals->keptImage : nullptr);
    *blocks = 1;
}

bool writeFitsHeader(PluginGlobals *globals) {
    bool usedRetained = false;
    bool fellBack = false;
    prepareHeader(globals, fits::HeaderImage, &fits::headerBlocks, &usedRetained, &fellBack);
    size_t bytes = static_cast<size_t>(fits::headerBlocks) * headerBlockSize;
    // The retained header takes the new values before the write, so that it holds them even
    // when the write fails.
    if (usedRetained)
        std::memcpy(globals->retainedHeader, fits::HeaderImage, bytes);
    if (fellBack)
        platformMessageBox(0, "The kept header has no room for the cards this image needs; a fresh header was written.",
                           "KORVALIS", platformBoxOk);
    writeExact(globals, static_cast<int32_t>(bytes), fits::HeaderImage);
    return usedRetained;
}

namespace {

constexpr char keywordCHECKSUM[] = "CHECKSUM";
constexpr char keywordDATASUM[] = "DATASUM ";

// Character values are FITS strings: an apostrophe in column 11, the text, an apostrophe.
void placeString(uint8_t *card, const char *text) {
    std::memset(card + valueFirstColumn - 1, ' ', valueColumns);
    size_t length = std::strlen(text);
    card[valueFirstColumn - 1] = '\'';
    std::memcpy(card + valueFirstColumn, text, length);
    card[valueFirstColumn + length] = '\'';
}

} // namespace

bool headerCarriesChecksums(const uint8_t *header, int16_t blocks) {
    int end = findEndCard(header, static_cast<int16_t>(blocks * cardsPerBlock));
    return end >= 0 &&
           (findCardBefore(header, end, keywordCHECKSUM) >= 0 || findCardBefore(header, end, keywordDATASUM) >= 0);
}

void stampChecksums(uint8_t *header, int16_t blocks, uint32_t dataSum) {
    int end = findEndCard(header, static_cast<int16_t>(blocks * cardsPerBlock));
    if (end < 0)
        return;
    int datasum = findCardBefore(header, end, keywordDATASUM);
    if (datasum >= 0) {
        char text[12];
        std::snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(dataSum));
        placeString(cardAt(header, datasum), text);
    }
    int checksum = findCardBefore(header, end, keywordCHECKSUM);
    if (checksum < 0)
        return;
    placeString(cardAt(header, checksum), "0000000000000000");
    FitsChecksum headerSum{};
    addChecksumBytes(&headerSum, header, static_cast<size_t>(blocks) * headerBlockSize);
    char text[17];
    encodeChecksum(addChecksums(checksumValue(&headerSum), dataSum), text);
    std::memcpy(cardAt(header, checksum) + valueFirstColumn, text, 16);
}
