// Recognising a FITS file, warning before a kept header is replaced, and reading a header.
#include <cstdio>
#include <cstring>

#include "fits/fits.h"
#include "fits/header_format.h"
#include "fits/header_read.h"
#include "fits/sample_conversion.h"
#include "host/file_access.h"
#include "host/services.h"
#include "platform/platform.h"

namespace {

// Set once the attribution card has been inserted during the current header read.
bool attributionInserted;

// Values taken from the cards before END; a keyword that occurs twice keeps its last value.
struct HeaderKeywords {
    bool hasBitpix, hasNaxis, hasNaxis1, hasNaxis2;
    int64_t bitpix, naxis, naxis1, naxis2;
    float bzero, bscale;
};

void showNotice(const char *caption, const char *text) {
    platformMessageBox(0, text, caption, platformBoxOk);
}

void takeKeyword(const uint8_t *card, HeaderKeywords *found, bool *endSeen, bool *attributionSeen) {
    if (cardHasKeyword(card, keywordBITPIX)) {
        found->hasBitpix = true;
        found->bitpix = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS)) {
        found->hasNaxis = true;
        found->naxis = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS1)) {
        found->hasNaxis1 = true;
        found->naxis1 = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS2)) {
        found->hasNaxis2 = true;
        found->naxis2 = integerValue(card);
    } else if (cardHasKeyword(card, keywordBZERO)) {
        found->bzero = realValue(card);
    } else if (cardHasKeyword(card, keywordBSCALE)) {
        found->bscale = realValue(card);
    } else if (cardHasKeyword(card, keywordEND)) {
        *endSeen = true;
    } else if (cardHasKeyword(card, keywordKORVALIS)) {
        *attributionSeen = true;
    }
}

void describeSide(const char *keyword, const char *what, bool present, int64_t value, char *reason, size_t room) {
    if (present)
        std::snprintf(reason, room, "%s is %lld: image %s from 1 to 32767 are supported", keyword,
                      static_cast<long long>(value), what);
    else
        std::snprintf(reason, room, "%s is missing: image %s from 1 to 32767 are supported", keyword, what);
}

// Why a header cannot be opened, in words for the user; empty when it can.
void describeUnsupported(const HeaderKeywords &found, char *reason, size_t room) {
    constexpr int64_t largestSide = 32767;
    reason[0] = '\0';
    if (!found.hasBitpix)
        std::snprintf(reason, room, "BITPIX is missing: only 8 and 16 bits per sample are supported");
    else if (found.bitpix != 8 && found.bitpix != 16)
        std::snprintf(reason, room, "BITPIX is %lld: only 8 and 16 bits per sample are supported",
                      static_cast<long long>(found.bitpix));
    else if (!found.hasNaxis)
        std::snprintf(reason, room, "NAXIS is missing: only two-dimensional images (NAXIS = 2) are supported");
    else if (found.naxis != 2)
        std::snprintf(reason, room, "NAXIS is %lld: only two-dimensional images (NAXIS = 2) are supported",
                      static_cast<long long>(found.naxis));
    else if (!found.hasNaxis1 || found.naxis1 < 1 || found.naxis1 > largestSide)
        describeSide("NAXIS1", "widths", found.hasNaxis1, found.naxis1, reason, room);
    else if (!found.hasNaxis2 || found.naxis2 < 1 || found.naxis2 > largestSide)
        describeSide("NAXIS2", "heights", found.hasNaxis2, found.naxis2, reason, room);
}

// The image's geometry and coding, for the pixel reader and the host.
void reportImage(PluginGlobals *globals, const HeaderKeywords &found) {
    FormatRecord *record = globals->formatRecord;
    fits::bitpix = static_cast<int16_t>(found.bitpix);
    fits::bzero = found.bzero;
    fits::bscale = found.bscale;
    fits::bytesPerSample = static_cast<int16_t>(fits::bitpix / 8);
    record->imageSize.v = static_cast<int16_t>(found.naxis2);
    record->imageSize.h = static_cast<int16_t>(found.naxis1);
    record->depth = fits::bitpix;
    record->planes = 1;
    record->imageMode = plugInModeGrayScale;
    // The largest 16-bit sample handed over, so that a host whose own scale is another one
    // (editors keep 0 … 32768) scales rather than guesses. The field is for 16-bit reads only.
    if (fits::bitpix == 16)
        record->maxValue = largestFullRangeSample;
    record->imageRsrcSize = 0;
    record->imageRsrcData = nullptr;
}

// Reads cards until the block that holds END is complete. False when the read failed or the
// header is too big (result is set then).
bool readHeaderCards(PluginGlobals *globals, HeaderKeywords *found) {
    bool endSeen = false;
    bool attributionSeen = false;
    uint8_t card[cardBytes];
    for (;;) {
        if (fits::bytesRead % headerBlockSize == 0 && endSeen)
            return true;
        readExact(globals, cardBytes, card);
        if (globals->result != noErr)
            return false;
        fits::bytesRead += cardBytes;
        if (fits::bytesRead % headerBlockSize == 0 && ++fits::headerBlocks > maxHeaderBlocks) {
            showNotice("Header Too Big",
                       "Cannot read headers > 11520 bytes. See my email address in about/plugin and call me for an "
                       "update or chop your header to 11520 bytes");
            globals->result = formatCannotRead;
            return false;
        }
        // What follows END in its block is kept but means nothing.
        if (!endSeen)
            takeKeyword(card, found, &endSeen, &attributionSeen);
        appendHeaderCard(card, endSeen, attributionSeen);
    }
}

} // namespace

bool isSimpleCard(const uint8_t *card) { return cardHasKeyword(card, keywordSIMPLE) && card[8] == '='; }

void appendHeaderCard(const uint8_t *card, bool endSeen, bool attributionSeen) {
    constexpr int16_t lastSlotBeforeFullBlock = cardsPerBlock - 1;
    if (fits::headerCards >= maxHeaderCards)
        return;
    if (endSeen && !attributionSeen && !attributionInserted && fits::headerCards < lastSlotBeforeFullBlock) {
        std::memcpy(fits::HeaderImage + fits::headerCards * cardBytes, attributionCard, cardBytes);
        ++fits::headerCards;
        attributionInserted = true;
    }
    std::memcpy(fits::HeaderImage + fits::headerCards * cardBytes, card, cardBytes);
    ++fits::headerCards;
}

// Reads the file's first card from byte 0. False, with the code in result, when it cannot.
static bool readFirstCard(PluginGlobals *globals, uint8_t *card) {
    if (!recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, 0)))
        return false;
    readExact(globals, cardBytes, card);
    return globals->result == noErr;
}

void doFilterFile(PluginGlobals *globals) {
    if (globals->result != noErr)
        return;
    uint8_t card[cardBytes];
    if (readFirstCard(globals, card) && !isSimpleCard(card))
        globals->result = formatCannotRead;
}

void doReadPrepare(PluginGlobals *globals) {
    if (headerIsRetained(globals))
        showNotice("KORVALIS", "Will Overwrite previous header!");
}

void doReadStart(PluginGlobals *globals) {
    fits::headerCards = 0;
    attributionInserted = false;
    if (globals->result != noErr)
        return;
    if (!recordCancel(globals, !hostServicesUsable(globals)))
        return;
    uint8_t card[cardBytes];
    if (!readFirstCard(globals, card))
        return;
    fits::bytesRead = cardBytes;
    appendHeaderCard(card, false, false);
    if (!isSimpleCard(card)) {
        showNotice("Header Check", "Header Failure");
        globals->result = formatCannotRead;
        return;
    }
    fits::headerBlocks = 0;
    HeaderKeywords found{};
    found.bscale = 1.0f;
    if (!readHeaderCards(globals, &found))
        return;
    char reason[160];
    describeUnsupported(found, reason, sizeof reason);
    if (reason[0] != '\0') {
        showNotice("Header Check", reason);
        globals->result = formatCannotRead;
        return;
    }
    reportImage(globals, found);
    std::memcpy(globals->retainedHeader, fits::HeaderImage, static_cast<size_t>(fits::headerBlocks) * headerBlockSize);
}
