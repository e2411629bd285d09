// The header a save writes: the retained header with its image values rewritten, or a fresh one.
#include "fits/header_write.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "fits/checksum.h"
#include "fits/header_format.h"
#include "host/file_access.h"
#include "platform/platform.h"

namespace {

uint8_t *cardAt(uint8_t *header, int n) { return header + int64_t{n} * cardBytes; }

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
    // A whole number of up to 19 digits, as 64-bit data's offsets are, is written whole: in
    // E notation the 20 columns would keep only 15 of its digits.
    if (value == std::floor(value) && std::fabs(value) < 1e19) {
        std::snprintf(text, room, "%.0f", value);
        return;
    }
    for (int digits = 17; digits > 1; --digits) {
        std::snprintf(text, room, "%.*G", digits, value);
        if (std::strlen(text) <= static_cast<size_t>(valueColumns))
            return;
    }
}

// The module stores host value - 32768 for 16 bits, so the header must say so; when the kept
// header's samples were mapped (or shifted) into the host's 16 bits, BZERO and BSCALE carry
// the mapping back, so that readers get the physical values, and the blanks are BLANK. 8-bit samples go
// out as they came, so a kept 8-bit header keeps its own scaling.
SavedCoding savedCoding(const FormatRecord *record, const ImageDescription *kept) {
    SavedCoding coding{};
    std::strcpy(coding.bzero, record->depth == 16 ? "32768.0" : "0.0");
    std::strcpy(coding.bscale, "1");
    if (kept == nullptr)
        return coding;
    if (kept->range.kind != SampleMapping::none) {
        coding.blank = record->depth == 16 && kept->range.blanks ? 1 : -1;
        if (record->depth == 16 && kept->range.blanksAsStored)
            coding.blank = 0;
        if (record->depth == 16) {
            realText(savedZero(kept->range), coding.bzero, sizeof coding.bzero);
            // A unit step keeps the text a fresh header has, so that the file, opened and
            // saved again, is written with the same bytes.
            if (kept->range.step != 1.0)
                realText(kept->range.step, coding.bscale, sizeof coding.bscale);
        }
    } else if (record->depth == 8 && kept->bitpix == 8) {
        coding.keepScaling = kept->bzero != 0.0f || kept->bscale != 1.0f;
    }
    return coding;
}

bool keepsShape(const FormatRecord *record, const ImageDescription &kept) {
    return record->imageSize.h == kept.columns && record->imageSize.v == kept.rows && record->planes == kept.planes;
}

// NAXIS of a save. An image that keeps the kept header's shape keeps its axes too: the axes of
// length 1 the reader passes over (a third of one plane, a fourth and further ones) are written
// back, so that the coordinate cards that describe them stay valid. Any other image has the
// axes it holds now: two, or three for several planes.
int16_t savedAxes(const FormatRecord *record, const ImageDescription *kept) {
    const int16_t held = record->planes > 1 ? 3 : 2;
    return kept != nullptr && keepsShape(record, *kept) && kept->naxis > held ? kept->naxis : held;
}

// Rewrites the value of every card whose keyword the save decides. Whole keywords are
// compared, as the reader compares them: NAXIS10 or BZERO2 are other cards and keep their values.
void rewriteImageValues(uint8_t *header, int32_t cards, const FormatRecord *record, int16_t axes,
                        const SavedCoding &coding) {
    char depth[12], columns[12], rows[12], planes[12], naxis[12];
    decimalText(axes, naxis);
    decimalText(record->depth, depth);
    decimalText(record->imageSize.h, columns);
    decimalText(record->imageSize.v, rows);
    decimalText(record->planes, planes);
    // Each keyword with its value; null where the card keeps its own.
    const struct {
        const char *keyword, *value;
    } values[] = {{keywordBITPIX, depth}, {keywordNAXIS1, columns}, {keywordNAXIS2, rows},
                  {keywordBZERO, coding.keepScaling ? nullptr : coding.bzero},
                  {keywordBSCALE, coding.keepScaling ? nullptr : coding.bscale}, {keywordNAXIS, naxis},
                  {keywordNAXIS3, planes}, {keywordBLANK, coding.blank > 0 ? "-32768" : nullptr}};
    for (int n = 0; n < cards; ++n)
        for (const auto &rule : values)
            if (rule.value != nullptr && cardHasKeyword(cardAt(header, n), rule.keyword))
                placeValue(cardAt(header, n), rule.value);
}

// A header being brought up to date: its cards, the index of END, and the cards it has room
// for (its blocks and one spare block).
struct Draft {
    uint8_t *cards;
    int end;
    int capacity;
};

int findCard(const Draft &draft, const char *keyword) { return findCardBefore(draft.cards, draft.end, keyword); }

// Moves the cards from slot n on down one slot and puts `card` in slot n. The last slot's card
// falls off, so callers first make sure it lies past END. False when END is already in it.
bool insertCard(Draft *draft, int n, const uint8_t *card) {
    if (draft->end + 1 >= draft->capacity)
        return false;
    std::memmove(cardAt(draft->cards, n + 1), cardAt(draft->cards, n),
                 static_cast<size_t>(draft->capacity - 1 - n) * cardBytes);
    std::memcpy(cardAt(draft->cards, n), card, cardBytes);
    ++draft->end;
    return true;
}

void removeCard(Draft *draft, int n) {
    std::memmove(cardAt(draft->cards, n), cardAt(draft->cards, n + 1),
                 static_cast<size_t>(draft->capacity - 1 - n) * cardBytes);
    std::memset(cardAt(draft->cards, draft->capacity - 1), ' ', cardBytes);
    --draft->end;
}

bool insertCardIfMissing(Draft *draft, int before, const char *keyword, const char *value) {
    if (findCard(*draft, keyword) >= 0)
        return true;
    uint8_t card[cardBytes];
    composeCard(card, keyword, value);
    return insertCard(draft, before, card);
}

// Removes every card before END that `doomed` picks.
template <class Doomed> void removeCardsWhere(Draft *draft, Doomed doomed) {
    for (int n = 0; n < draft->end;) {
        if (doomed(cardAt(draft->cards, n)))
            removeCard(draft, n);
        else
            ++n;
    }
}

void removeCards(Draft *draft, const char *keyword) {
    removeCardsWhere(draft, [&](const uint8_t *card) { return cardHasKeyword(card, keyword); });
}

// The index of the digits at column `*at` (from 0), `*at` moved past them; -1 without a digit.
int indexAt(const uint8_t *card, int *at) {
    int value = -1;
    for (; *at < keywordColumns && card[*at] >= '0' && card[*at] <= '9'; ++*at)
        value = (value < 0 ? 0 : value * 10) + (card[*at] - '0');
    return value;
}

// The highest axis a world-coordinate card refers to, 0 for any other card: i of CTYPEi,
// CUNITi, CNAMEi, CRPIXi, CRVALi, CDELTi, CROTAi, CRDERi, CSYERi, PVi_m and PSi_m, the larger of
// i and j of PCi_j and CDi_j, each with or without an alternate description's letter. These
// are the keywords fitsverify holds to NAXIS in a header without WCSAXES.
int coordinateAxis(const uint8_t *card) {
    struct Family {
        const char *stem;
        bool pair;       // a second index follows after "_"
        bool pairOfAxes; // and it names an axis too
    };
    // CDELT before CD, so that CDELTi is not taken for a matrix element.
    static const Family families[] = {{"CTYPE", false, false}, {"CUNIT", false, false}, {"CNAME", false, false},
                                      {"CRPIX", false, false}, {"CRVAL", false, false}, {"CDELT", false, false},
                                      {"CROTA", false, false}, {"CRDER", false, false}, {"CSYER", false, false},
                                      {"PV", true, false},     {"PS", true, false},     {"PC", true, true},
                                      {"CD", true, true}};
    for (const Family &family : families) {
        int at = static_cast<int>(std::strlen(family.stem));
        if (std::memcmp(card, family.stem, static_cast<size_t>(at)) != 0)
            continue;
        const int axis = indexAt(card, &at);
        int second = family.pair ? -1 : 0;
        if (family.pair && at < keywordColumns && card[at] == '_') {
            ++at;
            second = indexAt(card, &at);
        }
        if (at < keywordColumns && card[at] >= 'A' && card[at] <= 'Z')
            ++at;
        while (at < keywordColumns && card[at] == ' ')
            ++at;
        if (axis < 1 || second < 0 || at < keywordColumns)
            continue;
        return family.pairOfAxes && second > axis ? second : axis;
    }
    return 0;
}

// WCSAXES, or WCSAXESa of an alternate description: coordinate cards may then name more axes
// than NAXIS.
bool declaresCoordinateAxes(const uint8_t *header, int end) {
    for (int n = 0; n < end; ++n) {
        const uint8_t *card = header + n * cardBytes;
        if (std::memcmp(card, "WCSAXES", 7) == 0 && (card[7] == ' ' || (card[7] >= 'A' && card[7] <= 'Z')))
            return true;
    }
    return false;
}

// An image that lost axes (fewer planes, or another shape that the axes of length 1 no longer
// describe) loses the coordinate cards of those axes, which readers would otherwise take as
// cards of axes that do not exist. Cards that named axes beyond NAXIS in the file read already
// are its own and stay.
void removeCoordinatesOfLostAxes(Draft *draft, int16_t axes, int16_t keptAxes) {
    if (declaresCoordinateAxes(draft->cards, draft->end))
        return;
    removeCardsWhere(draft, [&](const uint8_t *card) {
        const int axis = coordinateAxis(card);
        return axis > axes && axis <= keptAxes;
    });
}

// NAXIS3 follows NAXIS2 when the saved header has a third axis and is absent otherwise.
bool fitThirdAxis(Draft *draft, const FormatRecord *record, int16_t axes) {
    if (axes < 3) {
        removeCards(draft, keywordNAXIS3);
        return true;
    }
    int naxis2 = findCard(*draft, keywordNAXIS2);
    char planes[12];
    decimalText(record->planes, planes);
    return insertCardIfMissing(draft, naxis2 >= 0 ? naxis2 + 1 : draft->end, keywordNAXIS3, planes);
}

} // namespace

void composeFreshHeader(uint8_t *header, const FormatRecord *record) {
    const int16_t axes = savedAxes(record, nullptr);
    std::memset(header, ' ', headerImageSize);
    int n = 0;
    composeCard(cardAt(header, n++), keywordSIMPLE, "T");
    // The image's cards, whose values rewriteImageValues gives them as it gives a kept header's.
    for (const char *keyword :
         {keywordBITPIX, keywordNAXIS, keywordNAXIS1, keywordNAXIS2, keywordNAXIS3, keywordBZERO, keywordBSCALE})
        if (keyword != keywordNAXIS3 || axes == 3)
            composeCard(cardAt(header, n++), keyword, "");
    std::memcpy(cardAt(header, n++), attributionCard, cardBytes);
    std::memcpy(cardAt(header, n), "END", 3);
    rewriteImageValues(header, n, record, axes, savedCoding(record, nullptr));
}

bool updateHeaderValues(uint8_t *header, int16_t *blocks, const FormatRecord *record, const ImageDescription *kept) {
    const SavedCoding coding = savedCoding(record, kept);
    const int16_t axes = savedAxes(record, kept);
    rewriteImageValues(header, *blocks * cardsPerBlock, record, axes, coding);
    Draft draft{header, findEndCard(header, *blocks * cardsPerBlock), (*blocks + 1) * cardsPerBlock};
    if (draft.end < 0)
        return false;
    // Axes after the third had length 1 in the file read; the image saved has two or three.
    if (kept != nullptr && kept->naxis > 3 && axes < kept->naxis)
        removeCardsWhere(&draft, [](const uint8_t *card) { return axisNumber(card) >= 4; });
    if (kept != nullptr && axes < kept->naxis)
        removeCoordinatesOfLostAxes(&draft, axes, kept->naxis);
    if (coding.blank < 0)
        removeCards(&draft, keywordBLANK);
    if (!fitThirdAxis(&draft, record, axes) || !insertCardIfMissing(&draft, draft.end, keywordBZERO, coding.bzero) ||
        !insertCardIfMissing(&draft, draft.end, keywordBSCALE, coding.bscale) ||
        (coding.blank > 0 && !insertCardIfMissing(&draft, draft.end, keywordBLANK, "-32768")))
        return false;
    *blocks = static_cast<int16_t>(draft.end / cardsPerBlock + 1);
    return true;
}

namespace {

// A kept header that a save's cards push past the blocks a header may have would be written
// into a file whose header no open can read again; the save is refused instead.
int16_t refuseLongHeader(int16_t blocks) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Cannot save: the kept header with the cards this image needs takes %d blocks, more than the %ld a "
                  "header may have.",
                  blocks, static_cast<long>(maxReadHeaderBlocks));
    platformMessageBox(0, text, "KORVALIS", platformBoxOk);
    return formatBadParameters;
}

// The kept header now holds the axes just written; its image description follows, so that the
// next save compares its image with these.
void keepWrittenAxes(ImageDescription *kept, const FormatRecord *record) {
    kept->naxis = savedAxes(record, kept);
    kept->columns = record->imageSize.h;
    kept->rows = record->imageSize.v;
    kept->planes = record->planes;
}

} // namespace

void useOwnHeader(SaveSource *source) {
    if (source->owned.ownHeader == nullptr)
        return;
    source->bytes = source->owned.ownHeader;
    source->blocks = source->owned.ownBlocks;
    source->ownHeader = true;
}

int16_t takeSaveSource(const PluginGlobals *globals, SaveSource *source) {
    *source = SaveSource{};
    if (globals->formatRecord->revertInfo != nullptr && takeDocument(globals->formatRecord, &source->owned)) {
        const KeptHeader retained = keptHeader(globals);
        const bool sameAsRetained =
            retained.blocks == source->owned.blocks &&
            std::memcmp(retained.bytes, source->owned.header, static_cast<size_t>(retained.blocks) * headerBlockSize) == 0;
        *source = SaveSource{source->owned.image, source->owned.header, source->owned.blocks, true, sameAsRetained,
                             false, source->owned};
        return noErr;
    }
    const KeptHeader kept = keptHeader(globals);
    *source = SaveSource{globals->keptImage, kept.bytes, kept.blocks, false, false, false, Document{}};
    // A record of this module that could not be copied is no memory, not a document to
    // save with another header.
    ImageDescription unused{};
    return documentImage(globals->formatRecord, &unused) ? memFullErr : noErr;
}

void releaseSaveSource(SaveSource *source) {
    releaseDocument(&source->owned);
    *source = SaveSource{};
}

int16_t prepareHeader(const FormatRecord *record, const SaveSource &source, SaveHeader *header) {
    // One spare block behind the kept ones, blank, for the cards a save may insert; a fresh
    // header takes the room of the blocks a kept one always had.
    const int32_t room = source.blocks + 1 > maxHeaderBlocks ? source.blocks + 1 : maxHeaderBlocks;
    *header = SaveHeader{static_cast<uint8_t *>(platformNewFixedBlock(static_cast<size_t>(room) * headerBlockSize)), 1,
                         false};
    if (header->bytes == nullptr)
        return memFullErr;
    std::memset(header->bytes, ' ', static_cast<size_t>(room) * headerBlockSize);
    if (source.blocks >= 1) {
        std::memcpy(header->bytes, source.bytes, static_cast<size_t>(source.blocks) * headerBlockSize);
        int16_t blocks = static_cast<int16_t>(source.blocks);
        if (updateHeaderValues(header->bytes, &blocks, record, &source.image)) {
            header->blocks = blocks;
            header->usedKept = true;
            if (blocks <= maxReadHeaderBlocks)
                return noErr;
            releaseSaveHeader(header);
            return refuseLongHeader(blocks);
        }
    }
    composeFreshHeader(header->bytes, record);
    return noErr;
}

void releaseSaveHeader(SaveHeader *header) {
    platformDisposeFixedBlock(header->bytes);
    *header = SaveHeader{};
}

bool keepSavedHeader(PluginGlobals *globals, const SaveSource &source, SaveHeader *header) {
    if (!recordResult(globals, prepareHeader(globals->formatRecord, source, header)))
        return false;
    // The kept header takes the new values, and its image the axes written, before the write,
    // so that they hold them even when the write fails: the document's record, and the
    // session's retained header when it was this document's (or the save had no record).
    if (header->usedKept) {
        ImageDescription written = source.image;
        keepWrittenAxes(&written, globals->formatRecord);
        const bool document = source.document;
        Document updated = source.owned;
        updated.image = written;
        if (source.ownHeader) {
            updated.ownHeader = header->bytes;
            updated.ownBlocks = header->blocks;
        } else {
            updated.header = header->bytes;
            updated.blocks = header->blocks;
        }
        if (document && !recordResult(globals, keepDocument(globals->formatRecord, updated)))
            return false;
        // The session's retained header is a primary header; an extension's own is not one.
        const bool retained = (!document || source.retained) && !source.ownHeader;
        if (retained && !keepHeaderBlocks(globals, header->bytes, header->blocks))
            recordResult(globals, memFullErr);
        else if (retained)
            globals->keptImage = written;
    }
    return globals->result == noErr;
}

bool writeFitsHeader(PluginGlobals *globals, const SaveSource &source, SaveHeader *header) {
    if (!keepSavedHeader(globals, source, header))
        return false;
    writeExactInPieces(globals, int64_t{header->blocks} * headerBlockSize, header->bytes);
    return header->usedKept;
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

bool headerCarriesChecksums(const uint8_t *header, int32_t blocks) {
    int end = findEndCard(header, blocks * cardsPerBlock);
    return end >= 0 &&
           (findCardBefore(header, end, keywordCHECKSUM) >= 0 || findCardBefore(header, end, keywordDATASUM) >= 0);
}

void stampChecksums(uint8_t *header, int32_t blocks, uint32_t dataSum) {
    int end = findEndCard(header, blocks * cardsPerBlock);
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
