// Recognising a FITS file, warning before a kept header is replaced, and reading a header.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "fits/fits.h"
#include "fits/header_format.h"
#include "fits/hdu_keywords.h"
#include "fits/document.h"
#include "fits/header_merge.h"
#include "fits/header_read.h"
#include "fits/image_rows.h"
#include "fits/sample_conversion.h"
#include "fits/tile_table.h"
#include "host/file_access.h"
#include "host/services.h"
#include "platform/platform.h"

namespace {

void showNotice(const char *caption, const char *text) {
    platformMessageBox(0, text, caption, platformBoxOk);
}

// What the header says of its image, in the record that reading and writing share.
ImageDescription describeImage(const HeaderKeywords &found, int32_t dataStart) {
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
    image.dataStart = dataStart;
    return image;
}

// The image's geometry and coding, for the pixel reader and the host.
void reportImage(PluginGlobals *globals, const ImageDescription &image) {
    FormatRecord *record = globals->formatRecord;
    record->imageSize.v = image.rows;
    record->imageSize.h = image.columns;
    record->depth = hostDepth(image);
    record->planes = image.planes;
    record->imageMode = hostImageMode(image.planes);
    // The largest 16-bit sample handed over, so that a host whose own scale is another one
    // (editors keep 0 … 32768) scales rather than guesses. The field is for 16-bit reads only.
    if (record->depth == 16)
        record->maxValue = largestFullRangeSample;
    record->imageRsrcSize = 0;
    record->imageRsrcData = nullptr;
}

// Reads one whole header from its first card, already read, on until the block that holds END
// is complete; every card goes into `cards`, the values of those before END into `found`.
// False with result set when a read fails, memory runs out or END does not come in time.
bool readHeader(PluginGlobals *globals, const uint8_t *first, HeaderCards *cards, HeaderKeywords *found,
                HeaderEnd *end) {
    uint8_t card[cardBytes];
    bool endSeen = false;
    if (!appendCard(cards, first))
        return recordResult(globals, memFullErr);
    while (cards->count % cardsPerBlock != 0 || !endSeen) {
        if (cards->count / cardsPerBlock >= maxReadHeaderBlocks) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "The header has no END card in its first %ld blocks (%ld bytes): it is not a FITS header "
                          "that can be read.",
                          static_cast<long>(maxReadHeaderBlocks), static_cast<long>(maxReadHeaderBlocks) * headerBlockSize);
            return refuse(globals, "Header Too Big", text, formatCannotRead);
        }
        readExact(globals, cardBytes, card);
        if (globals->result != noErr)
            return false;
        endSeen = endSeen || cardHasKeyword(card, keywordEND);
        if (!appendCard(cards, card))
            return recordResult(globals, memFullErr);
    }
    // What follows END in its block is kept but means nothing.
    return takeCards(cards->bytes, cards->count, found, end);
}

// The cards of the header to keep: those read, with the attribution card before END when the
// header lacks one and END stands early enough in the first block for it to fit.
bool composeKeptCards(const HeaderCards &read, const HeaderEnd &end, HeaderCards *kept) {
    constexpr int32_t lastSlotBeforeFullBlock = cardsPerBlock - 1;
    const int32_t blocks = (end.index + cardsPerBlock) / cardsPerBlock;
    const bool insert = !end.attributionSeen && end.index < lastSlotBeforeFullBlock;
    for (int32_t n = 0; n < read.count && kept->count < blocks * cardsPerBlock; ++n) {
        if (insert && n == end.index && !appendCard(kept, reinterpret_cast<const uint8_t *>(attributionCard)))
            return false;
        if (!appendCard(kept, cardOf(read, n)))
            return false;
    }
    return true;
}

// Where the image stands in the file it came from, when the host names that file: a save can
// then carry the file's other HDUs over.
void surveyReadFile(const FormatRecord *record, const ImageDescription &image, Document *document) {
    document->path = readFilePath(record);
    const PlatformFile file = document->path != nullptr ? platformOpenSource(document->path) : -1;
    if (file < 0)
        return;
    document->hasSource = surveySource(file, image.dataStart, &document->layout);
    document->sourceUnread = !document->hasSource;
    platformCloseSource(file);
}

// Keeps `cards` and the image they describe: with the document, in revertInfo (with the
// extension's own header `own`, when the image is an extension's, and where it stands in its
// file), and as the session's retained header for documents that carry no record.
bool retainHeader(PluginGlobals *globals, const HeaderCards &cards, const HeaderCards *own,
                  const ImageDescription &image) {
    const int32_t blocks = cards.count / cardsPerBlock;
    Document document{};
    document.image = image;
    document.header = cards.bytes;
    document.blocks = blocks;
    document.ownHeader = own != nullptr ? own->bytes : nullptr;
    document.ownBlocks = own != nullptr ? own->count / cardsPerBlock : 0;
    surveyReadFile(globals->formatRecord, image, &document);
    if (!recordResult(globals, keepDocument(globals->formatRecord, document)))
        return false;
    if (!keepHeaderBlocks(globals, cards.bytes, blocks))
        return recordResult(globals, memFullErr);
    globals->keptImage = image;
    return true;
}

// Opens the image that `found` describes, its data at `dataStart` (in tiles as `compression`
// says, when it is not null), keeping `cards` as header (and an extension's own header, `own`).
void openImage(PluginGlobals *globals, const HeaderKeywords &found, int64_t dataStart, const HeaderCards &cards,
               const HeaderEnd &end, const HeaderCards *own, const TileCompression *compression) {
    char reason[200];
    describeUnsupported(found, reason, sizeof reason);
    if (reason[0] == '\0' && dataStart > INT32_MAX)
        std::snprintf(reason, sizeof reason,
                      "The image starts %lld bytes into the file, beyond the 2 GB that can be read.",
                      static_cast<long long>(dataStart));
    ImageDescription image{};
    if (reason[0] == '\0') {
        image = describeImage(found, static_cast<int32_t>(dataStart));
        if (compression != nullptr) {
            image.compression = *compression;
            describeTileGrid(image, reason, sizeof reason);
        }
    }
    if (reason[0] != '\0') {
        refuse(globals, "Header Check", reason, formatCannotRead);
        return;
    }
    if (!scanSampleRange(globals, &image))
        return;
    HeaderCards kept{};
    if (!composeKeptCards(cards, end, &kept))
        recordResult(globals, memFullErr);
    else if (retainHeader(globals, kept, own, image))
        reportImage(globals, image);
    releaseCards(&kept);
}

// What the walk over the extensions saw, for a refusal that says what the file holds.
struct HduCensus {
    int binaryTables, asciiTables, emptyImages, others;
    int refusedHdu;      // the first image the module could not open, or -1
    char refusal[220];   // why
};

void countHdu(HduCensus *census, const char *kind) {
    if (std::strcmp(kind, "BINTABLE") == 0 || std::strcmp(kind, "A3DTABLE") == 0) {
        ++census->binaryTables;
    } else if (std::strcmp(kind, "TABLE") == 0) {
        ++census->asciiTables;
    } else if (std::strcmp(kind, "IMAGE") == 0) {
        ++census->emptyImages;
    } else {
        ++census->others;
    }
}

// "The file holds no image: an empty primary HDU and 2 binary tables.", or the first image's
// reason when there was one the module could not open.
void describeNoImage(const HduCensus &census, char *text, size_t room) {
    if (census.refusedHdu >= 0) {
        std::snprintf(text, room, "%s", census.refusal);
        return;
    }
    std::snprintf(text, room, "The file holds no image: an empty primary HDU");
    const int parts[] = {census.binaryTables, census.asciiTables, census.emptyImages, census.others};
    const char *const names[][2] = {{"binary table", "binary tables"},
                                    {"ASCII table", "ASCII tables"},
                                    {"empty image extension", "empty image extensions"},
                                    {"other extension", "other extensions"}};
    int remaining = 0;
    for (int count : parts)
        remaining += count > 0 ? 1 : 0;
    if (remaining == 0) {
        std::strncat(text, " and nothing else.", room - std::strlen(text) - 1);
        return;
    }
    // The first part and the last are joined with "and", those between them with commas.
    for (int i = 0, done = 0; i < 4; ++i) {
        if (parts[i] == 0)
            continue;
        ++done;
        appendCount(text, room, done == 1 || done == remaining ? " and " : ", ", parts[i], names[i][0], names[i][1]);
    }
    std::strncat(text, ".", room - std::strlen(text) - 1);
}

// Reads the first card of the HDU at `offset`: false at the end of the file, or with result
// set when the read failed.
bool readHduStart(PluginGlobals *globals, int64_t offset, uint8_t *card) {
    if (offset > INT32_MAX)
        return false;
    fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, static_cast<int32_t>(offset));
    int32_t moved = cardBytes;
    globals->result = fileRead(globals->formatRecord->dataFork, &moved, card);
    return globals->result == noErr && moved == cardBytes && cardHasKeyword(card, "XTENSION");
}

// Opens the image extension whose header `extension` is, kept with the primary's metadata.
void openExtensionImage(PluginGlobals *globals, const HeaderCards &primary, const HeaderEnd &primaryEnd,
                        const HeaderCards &extension, const HeaderEnd &extensionEnd, const HeaderKeywords &found,
                        int64_t dataStart, const TileCompression *compression) {
    HeaderCards merged{};
    HeaderEnd end{};
    if (!mergeIntoPrimary(primary, primaryEnd.index, extension, extensionEnd.index, &merged, &end.index)) {
        recordResult(globals, memFullErr);
    } else if (merged.count / cardsPerBlock > maxReadHeaderBlocks) {
        // Kept, such a header would be saved into a file whose header the module cannot read.
        char text[200];
        std::snprintf(text, sizeof text,
                      "The image's header and the primary header together take %ld blocks, more than the %ld a "
                      "header may have.",
                      static_cast<long>(merged.count / cardsPerBlock), static_cast<long>(maxReadHeaderBlocks));
        refuse(globals, "Header Too Big", text, formatCannotRead);
    } else {
        end.attributionSeen = findCardBefore(merged.bytes, end.index, keywordKORVALIS) >= 0;
        openImage(globals, found, dataStart, merged, end, &extension, compression);
    }
    releaseCards(&merged);
}

// Opens the image a tile-compressed table holds, with its own header restored from the table's
// and merged with the primary's as for an image extension. True when the walk ends here: the
// image opened, or the open failed; false, with why in `reason`, when the image cannot be read
// and the walk goes on.
bool openTileCompressedImage(PluginGlobals *globals, const HeaderCards &primary, const HeaderEnd &primaryEnd,
                             const HeaderCards &table, const HeaderEnd &tableEnd, int64_t dataStart, char *reason,
                             size_t room) {
    TileCompression compression{};
    HeaderCards restored{};
    char tileReason[200];
    // Large (an entry for each of 999 axes), so it lives outside the stack.
    auto *found = static_cast<HeaderKeywords *>(platformNewFixedBlock(sizeof(HeaderKeywords)));
    bool ends = true;
    if (found == nullptr ||
        !readTileTable(table, tableEnd.index, &compression, &restored, tileReason, sizeof tileReason)) {
        recordResult(globals, memFullErr);
    } else {
        HeaderEnd end{};
        takeCards(restored.bytes, restored.count, found, &end);
        // What the image is comes before how its tiles are stored.
        if (found->hasNaxis && found->naxis >= 1)
            describeUnsupported(*found, reason, room);
        if (reason[0] == '\0')
            std::snprintf(reason, room, "%s", tileReason);
        ends = reason[0] == '\0';
        if (ends)
            openExtensionImage(globals, primary, primaryEnd, restored, end, *found, dataStart, &compression);
    }
    releaseCards(&restored);
    platformDisposeFixedBlock(found);
    return ends;
}

// An empty primary HDU leaves the image to the extensions: the first IMAGE extension that
// holds an image the module reads is opened; the others are skipped by their size. `found`
// holds the primary's values on entry and each extension's in turn.
void openFirstImageExtension(PluginGlobals *globals, const HeaderCards &primary, const HeaderEnd &primaryEnd,
                             int64_t offset, HeaderKeywords *found) {
    HduCensus census{};
    census.refusedHdu = -1;
    HeaderCards cards{};
    HeaderEnd end{};
    uint8_t card[cardBytes];
    int hdu = 1;
    for (; readHduStart(globals, offset, card); ++hdu) {
        char kind[16] = "";
        stringValue(card, kind, sizeof kind);
        releaseCards(&cards);
        if (!readHeader(globals, card, &cards, found, &end))
            break;
        const int64_t dataStart = offset + headerBytes(cards);
        char reason[200] = "";
        bool ends = false;
        if (std::strcmp(kind, "IMAGE") == 0 && holdsImage(*found)) {
            describeUnsupported(*found, reason, sizeof reason);
            ends = reason[0] == '\0';
            if (ends)
                openExtensionImage(globals, primary, primaryEnd, cards, end, *found, dataStart, nullptr);
        } else if (std::strcmp(kind, "BINTABLE") == 0 && found->compressedImage) {
            ends = openTileCompressedImage(globals, primary, primaryEnd, cards, end, dataStart, reason, sizeof reason);
        } else {
            countHdu(&census, kind);
        }
        if (ends) {
            releaseCards(&cards);
            return;
        }
        if (reason[0] != '\0' && census.refusedHdu < 0) {
            census.refusedHdu = hdu;
            std::snprintf(census.refusal, sizeof census.refusal, "HDU %d: %s", hdu, reason);
        }
        offset = dataStart + paddedDataBytes(*found);
    }
    releaseCards(&cards);
    if (globals->result != noErr)
        return;
    char text[240];
    // A file of one HDU is told by what its primary header declares.
    if (hdu == 1)
        describeUnsupported(*found, text, sizeof text);
    else
        describeNoImage(census, text, sizeof text);
    refuse(globals, "Header Check", text, formatCannotRead);
}

// Reads the file's first card from byte 0. False, with the code in result, when it cannot.
bool readFirstCard(PluginGlobals *globals, uint8_t *card) {
    if (!recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, 0)))
        return false;
    readExact(globals, cardBytes, card);
    return globals->result == noErr;
}

} // namespace

void doFilterFile(PluginGlobals *globals) {
    if (globals->result != noErr)
        return;
    uint8_t card[cardBytes];
    if (readFirstCard(globals, card) && !isSimpleCard(card))
        globals->result = formatCannotRead;
}

void doReadPrepare(PluginGlobals *globals) {
    // A revert hands back the document's own record: nothing is overwritten.
    ImageDescription reverted{};
    if (documentImage(globals->formatRecord, &reverted))
        globals->hostKeepsDocuments = true;
    // The retained header is lost only to a host that keeps no record with its documents; one
    // that has handed a record back to a save or a revert does.
    else if (headerIsRetained(globals) && !globals->hostKeepsDocuments)
        showNotice("KORVALIS", "Will Overwrite previous header!");
}

void doReadStart(PluginGlobals *globals) {
    if (globals->result != noErr)
        return;
    if (!recordCancel(globals, !hostServicesUsable(globals)))
        return;
    uint8_t card[cardBytes];
    if (!readFirstCard(globals, card))
        return;
    if (!isSimpleCard(card)) {
        refuse(globals, "Header Check", "Header Failure", formatCannotRead);
        return;
    }
    // Large (an entry for each of 999 axes), so it lives outside the stack.
    auto *found = static_cast<HeaderKeywords *>(platformNewFixedBlock(sizeof(HeaderKeywords)));
    if (found == nullptr) {
        globals->result = memFullErr;
        return;
    }
    HeaderCards cards{};
    HeaderEnd end{};
    if (readHeader(globals, card, &cards, found, &end)) {
        if (holdsImage(*found))
            openImage(globals, *found, headerBytes(cards), cards, end, nullptr, nullptr);
        else
            openFirstImageExtension(globals, cards, end, headerBytes(cards) + paddedDataBytes(*found), found);
    }
    releaseCards(&cards);
    platformDisposeFixedBlock(found);
}

bool summarizeHdu(const uint8_t *cards, int32_t count, HduSummary *summary) {
    auto *found = static_cast<HeaderKeywords *>(platformNewFixedBlock(sizeof(HeaderKeywords)));
    if (found == nullptr)
        return false;
    HeaderEnd end{};
    const bool endSeen = takeCards(cards, count, found, &end);
    char kind[16] = "";
    if (cardHasKeyword(cards, "XTENSION"))
        stringValue(cards, kind, sizeof kind);
    summary->dataBytes = paddedDataBytes(*found);
    summary->holdsImage = found->compressedImage || (std::strcmp(kind, "BINTABLE") != 0 &&
                                                     std::strcmp(kind, "TABLE") != 0 && holdsImage(*found));
    summary->isTable = !found->compressedImage && (std::strcmp(kind, "BINTABLE") == 0 || std::strcmp(kind, "TABLE") == 0 ||
                                                   std::strcmp(kind, "A3DTABLE") == 0);
    platformDisposeFixedBlock(found);
    return endSeen;
}
