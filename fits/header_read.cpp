// Recognising a FITS file, warning before a kept header is replaced, and reading a header.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "fits/fits.h"
#include "fits/header_format.h"
#include "fits/header_read.h"
#include "fits/image_rows.h"
#include "host/file_access.h"
#include "host/services.h"
#include "platform/platform.h"

namespace {

// Set once the attribution card has been inserted during the current header read.
bool attributionInserted;

// FITS allows axes NAXIS1 to NAXIS999.
constexpr int largestAxis = 999;
constexpr int64_t largestSide = 32767;

// Values taken from the cards before END; a keyword that occurs twice keeps its last value.
struct HeaderKeywords {
    bool hasBitpix, hasNaxis, hasBlank, bottomUp;
    int64_t bitpix, naxis, blank;
    bool hasAxis[largestAxis + 1];
    int64_t axis[largestAxis + 1]; // NAXISn, by n
    float bzero, bscale;
    double exactZero, exactScale;
};

void showNotice(const char *caption, const char *text) {
    platformMessageBox(0, text, caption, platformBoxOk);
}

// n of an NAXISn keyword (1 to 999); 0 for any other keyword.
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
    return n <= largestAxis ? n : 0;
}

void takeRowOrder(const uint8_t *card, HeaderKeywords *found) {
    char order[16];
    found->bottomUp = stringValue(card, order, sizeof order) && std::strcmp(order, "BOTTOM-UP") == 0;
}

void takeKeyword(const uint8_t *card, HeaderKeywords *found, bool *endSeen, bool *attributionSeen) {
    if (cardHasKeyword(card, keywordBITPIX)) {
        found->hasBitpix = true;
        found->bitpix = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS)) {
        found->hasNaxis = true;
        found->naxis = integerValue(card);
    } else if (int n = axisNumber(card); n > 0) {
        found->hasAxis[n] = true;
        found->axis[n] = integerValue(card);
    } else if (cardHasKeyword(card, keywordBZERO)) {
        found->bzero = realValue(card);
        found->exactZero = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBSCALE)) {
        found->bscale = realValue(card);
        found->exactScale = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBLANK)) {
        found->hasBlank = wholeValue(card, &found->blank);
    } else if (cardHasKeyword(card, keywordROWORDER)) {
        takeRowOrder(card, found);
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

bool isFitsBitpix(int64_t bitpix) {
    return bitpix == 8 || bitpix == 16 || bitpix == 32 || bitpix == 64 || bitpix == -32 || bitpix == -64;
}

// The plane axis and every axis after it: 1 to 24 planes, then axes of length 1 only.
void describeUnsupportedPlanes(const HeaderKeywords &found, char *reason, size_t room) {
    const int64_t planes = found.hasAxis[3] ? found.axis[3] : -1;
    if (!found.hasAxis[3])
        std::snprintf(reason, room, "NAXIS3 is missing: images of 1 to %d planes are supported", maxImagePlanes);
    else if (planes < 1 || planes > maxImagePlanes)
        std::snprintf(reason, room, "NAXIS3 is %lld: a cube of %lld planes; images of 1 to %d planes are supported",
                      static_cast<long long>(planes), static_cast<long long>(planes), maxImagePlanes);
    for (int n = 4; reason[0] == '\0' && n <= found.naxis; ++n)
        if (!found.hasAxis[n] || found.axis[n] != 1)
            std::snprintf(reason, room,
                          "NAXIS%d is %lld: a %lld-dimensional array; only images of 2 or 3 axes (further axes of "
                          "length 1) are supported",
                          n, static_cast<long long>(found.hasAxis[n] ? found.axis[n] : 0),
                          static_cast<long long>(found.naxis));
}

// Why a header cannot be opened, in words for the user; empty when it can.
void describeUnsupported(const HeaderKeywords &found, char *reason, size_t room) {
    reason[0] = '\0';
    if (!found.hasBitpix)
        std::snprintf(reason, room, "BITPIX is missing: FITS samples have 8, 16, 32, 64, -32 or -64 bits");
    else if (!isFitsBitpix(found.bitpix))
        std::snprintf(reason, room, "BITPIX is %lld: FITS samples have 8, 16, 32, 64, -32 or -64 bits",
                      static_cast<long long>(found.bitpix));
    else if (!found.hasNaxis)
        std::snprintf(reason, room, "NAXIS is missing: only images of 2 or 3 axes are supported");
    else if (found.naxis < 2 || found.naxis > largestAxis)
        std::snprintf(reason, room, "NAXIS is %lld: only images of 2 or 3 axes (further axes of length 1) are supported",
                      static_cast<long long>(found.naxis));
    else if (!found.hasAxis[1] || found.axis[1] < 1 || found.axis[1] > largestSide)
        describeSide("NAXIS1", "widths", found.hasAxis[1], found.axis[1], reason, room);
    else if (!found.hasAxis[2] || found.axis[2] < 1 || found.axis[2] > largestSide)
        describeSide("NAXIS2", "heights", found.hasAxis[2], found.axis[2], reason, room);
    else if (found.naxis >= 3)
        describeUnsupportedPlanes(found, reason, room);
}

// What the header says of its image, in the record that reading and writing share.
ImageDescription describeImage(const HeaderKeywords &found) {
    ImageDescription image{};
    image.bitpix = static_cast<int16_t>(found.bitpix);
    image.bytesPerSample = static_cast<int16_t>(found.bitpix < 0 ? -found.bitpix / 8 : found.bitpix / 8);
    image.hostBytesPerSample = static_cast<int16_t>(hostDepth(image) / 8);
    image.naxis = static_cast<int16_t>(found.naxis);
    image.columns = static_cast<int16_t>(found.axis[1]);
    image.rows = static_cast<int16_t>(found.axis[2]);
    image.planes = static_cast<int16_t>(found.naxis >= 3 ? found.axis[3] : 1);
    image.bzero = found.bzero;
    image.bscale = found.bscale;
    image.exactZero = found.exactZero;
    // A zero scale would make every sample one value; it is taken as 1, as for 16 bits.
    image.exactScale = found.exactScale == 0.0 || std::isnan(found.exactScale) ? 1.0 : found.exactScale;
    image.hasBlank = found.hasBlank;
    image.blank = found.blank;
    image.bottomUp = found.bottomUp;
    image.dataStart = int32_t{fits::headerBlocks} * headerBlockSize;
    return image;
}

// The image's geometry and coding, for the pixel reader and the host.
void reportImage(PluginGlobals *globals, const ImageDescription &image) {
    FormatRecord *record = globals->formatRecord;
    fits::image = image;
    record->imageSize.v = image.rows;
    record->imageSize.h = image.columns;
    record->depth = hostDepth(image);
    record->planes = image.planes;
    record->imageMode = hostImageMode(image.planes);
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
    static HeaderKeywords found;
    found = HeaderKeywords{};
    found.bscale = 1.0f;
    found.exactScale = 1.0;
    if (!readHeaderCards(globals, &found))
        return;
    char reason[200];
    describeUnsupported(found, reason, sizeof reason);
    if (reason[0] != '\0') {
        showNotice("Header Check", reason);
        globals->result = formatCannotRead;
        return;
    }
    ImageDescription image = describeImage(found);
    if (needsMapping(image) && !scanPhysicalRange(globals, &image))
        return;
    reportImage(globals, image);
    std::memcpy(globals->retainedHeader, fits::HeaderImage, static_cast<size_t>(fits::headerBlocks) * headerBlockSize);
    globals->keptImage = image;
}
