// The header a save writes: the retained header with its image values rewritten, or a fresh one.
#include "fits/header_write.h"

#include <cstdio>
#include <cstring>

#include "fits/checksum.h"
#include "fits/header_format.h"
#include "host/file_access.h"
#include "platform/platform.h"

namespace {

uint8_t *cardAt(uint8_t *header, int n) { return header + n * cardBytes; }

// The module stores host value - 32768 for 16 bits, so the header must say so.
const char *bzeroText(const FormatRecord *record) { return record->depth == 16 ? "32768.0" : "0.0"; }

const char *naxisText(const FormatRecord *record) { return record->planes > 1 ? "3" : "2"; }

// Rewrites the value of every card whose keyword the save decides. Whole keywords are
// compared, as the reader compares them: NAXIS10 or BZERO2 are other cards and keep their values.
void rewriteImageValues(uint8_t *header, int16_t cards, const FormatRecord *record) {
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
        else if (cardHasKeyword(card, keywordBZERO))
            placeValue(card, bzeroText(record));
        else if (cardHasKeyword(card, keywordBSCALE))
            placeValue(card, "1");
        else if (cardHasKeyword(card, keywordNAXIS))
            placeValue(card, naxisText(record));
        else if (cardHasKeyword(card, keywordNAXIS3))
            placeValue(card, planes);
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

// NAXIS3 follows NAXIS2 when there are several planes and is absent for one.
bool fitThirdAxis(uint8_t *header, int *end, const FormatRecord *record) {
    if (record->planes <= 1) {
        for (int n = findCardBefore(header, *end, keywordNAXIS3); n >= 0; n = findCardBefore(header, *end, keywordNAXIS3))
            removeCard(header, end, n);
        return true;
    }
    int naxis2 = findCardBefore(header, *end, keywordNAXIS2);
    char planes[12];
    decimalText(record->planes, planes);
    return insertCardIfMissing(header, end, naxis2 >= 0 ? naxis2 + 1 : *end, keywordNAXIS3, planes);
}

} // namespace

void composeFreshHeader(uint8_t *header, const FormatRecord *record) {
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
    composeCard(cardAt(header, n++), keywordBZERO, bzeroText(record));
    composeCard(cardAt(header, n++), keywordBSCALE, "1");
    std::memcpy(cardAt(header, n++), attributionCard, cardBytes);
    std::memcpy(cardAt(header, n), "END", 3);
}

bool updateHeaderValues(uint8_t *header, int16_t *blocks, const FormatRecord *record) {
    rewriteImageValues(header, static_cast<int16_t>(*blocks * cardsPerBlock), record);
    int end = findEndCard(header, static_cast<int16_t>(*blocks * cardsPerBlock));
    if (end < 0)
        return false;
    if (!fitThirdAxis(header, &end, record) || !insertCardIfMissing(header, &end, end, keywordBZERO, bzeroText(record)) ||
        !insertCardIfMissing(header, &end, end, keywordBSCALE, "1"))
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
        *usedRetained = updateHeaderValues(header, blocks, globals->formatRecord);
        *fellBack = !*usedRetained;
        if (*usedRetained)
            return;
    }
    composeFreshHeader(header, globals->formatRecord);
    *blocks = 1;
}

void writeFitsHeader(PluginGlobals *globals) {
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
