// The size estimate and the writing of a whole FITS file in one call.
#include <climits>
#include <cstdio>
#include <cstring>

#include "fits/checksum.h"
#include "fits/fits.h"
#include "fits/header_format.h"
#include "fits/header_write.h"
#include "fits/image_rows.h"
#include "fits/sample_conversion.h"
#include "fits/tile_write.h"
#include "host/file_access.h"
#include "host/services.h"
#include "platform/platform.h"

namespace {

// A FITS file is a whole number of 2880-byte blocks; the data unit is padded with zeros.
int64_t dataPadding(int64_t dataBytes) { return (headerBlockSize - dataBytes % headerBlockSize) % headerBlockSize; }

int64_t imageDataBytes(const FormatRecord *record, int32_t rowSize) {
    return int64_t{rowSize} * record->imageSize.v * record->planes;
}

// A 16-bit save under the kept header's mapping must be able to write its BZERO and BSCALE.
bool keptCodingFinite(const FormatRecord *record, const SaveSource &source) {
    return record->depth != 16 || source.blocks < 1 || source.image.range.kind == SampleMapping::none ||
           savedCodingFinite(source.image.range);
}

// Only 8- and 16-bit images of a real size can be saved as FITS; anything else would make a
// file whose header does not describe its data.
bool saveGeometryUsable(PluginGlobals *globals, const SaveSource &source) {
    const FormatRecord *record = globals->formatRecord;
    char text[200];
    if (record->depth != 8 && record->depth != 16)
        std::snprintf(text, sizeof text, "Cannot save an image of %d bits per sample: only 8 and 16 are supported.",
                      record->depth);
    else if (record->imageSize.h < 1 || record->imageSize.v < 0 || record->planes < 1)
        std::snprintf(text, sizeof text, "Cannot save an image of %d columns, %d rows and %d planes.", record->imageSize.h,
                      record->imageSize.v, record->planes);
    else if (!keptCodingFinite(record, source))
        std::snprintf(text, sizeof text,
                      "Cannot save: the image's values span %.17G to %.17G, too wide for the BZERO and BSCALE of "
                      "16-bit samples.",
                      source.image.range.smallest, source.image.range.largest);
    else
        return true;
    return refuse(globals, "KORVALIS", text, formatBadParameters);
}

// A header that carries CHECKSUM or DATASUM was read with another file's data; it is stamped
// and written again, once the data are out, with the values of what was written.
void rewriteHeaderWithChecksums(PluginGlobals *globals, const SaveHeader &header, uint32_t dataSum, int64_t at) {
    stampChecksums(header.bytes, header.blocks, dataSum);
    globals->result = fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, static_cast<int32_t>(at));
    writeExactInPieces(globals, int64_t{header.blocks} * headerBlockSize, header.bytes);
}

void writePadding(PluginGlobals *globals, int64_t dataBytes) {
    static const uint8_t zeros[headerBlockSize] = {};
    int32_t count = static_cast<int32_t>(dataPadding(dataBytes));
    if (count > 0)
        writeDataExact(globals, count, zeros);
}

// Both save steps need the host's services, what the save starts from, and an image that FITS
// can hold; releaseSaveSource frees the source whatever the answer.
bool saveCanStart(PluginGlobals *globals, SaveSource *source) {
    *source = SaveSource{};
    if (!recordCancel(globals, !hostServicesUsable(globals)) || !recordResult(globals, takeSaveSource(globals, source)))
        return false;
    // A host that hands a document's record back to its save keeps them with its documents.
    globals->hostKeepsDocuments = globals->hostKeepsDocuments || source->document;
    return saveGeometryUsable(globals, *source);
}

// The file name at the end of a path, in the single bytes the module's texts are written in.
void fileNameOf(const uint16_t *path, char *name, size_t room) {
    size_t start = 0, length = 0;
    while (path[length] != 0)
        ++length;
    for (size_t i = 0; i < length; ++i)
        start = path[i] == '/' || path[i] == '\\' ? i + 1 : start;
    size_t n = 0;
    for (size_t i = start; i < length && n + 1 < room; ++i)
        name[n++] = path[i] < 0x100 ? static_cast<char>(path[i]) : '?';
    name[n] = '\0';
}

// "its 5 other HDUs (2 images, 3 tables)", or "its other HDU (a table)".
void describeOthers(const SourceLayout &layout, char *text, size_t room) {
    const int32_t empty = layout.otherHdus - layout.otherImages - layout.otherTables;
    char parts[96] = "";
    const struct {
        int32_t count;
        const char *one, *many;
    } kinds[] = {{layout.otherImages, "image", "images"}, {layout.otherTables, "table", "tables"},
                 {empty, "empty HDU", "empty HDUs"}};
    for (const auto &kind : kinds)
        if (kind.count != 0)
            appendCount(parts, sizeof parts, parts[0] != '\0' ? ", " : "", kind.count, kind.one, kind.many);
    std::snprintf(text, room, "its %d other HDU%s (%s)", layout.otherHdus, layout.otherHdus == 1 ? "" : "s", parts);
}

// What a save carries over from the file the document came from: nothing (the image is saved
// alone), or the bytes before and after the image's HDU, which is then written in its place
// with its own header.
struct Carry {
    bool on;
    const uint16_t *path;
    SourceLayout layout;
};

Carry planCarry(SaveSource *source, bool tell) {
    const Document &document = source->owned;
    if (tell && source->document && document.sourceUnread) {
        // Whatever the file holds besides the image could not be told apart when it was read.
        char text[300];
        std::snprintf(text, sizeof text,
                      "The file this image came from could not be read to its end as FITS HDUs when it was "
                      "opened: anything it holds besides the image is not in the saved file.");
        platformMessageBox(0, text, "KORVALIS", platformBoxOk);
    }
    if (!source->document || !document.hasSource || document.layout.otherHdus == 0)
        return Carry{};
    char why[120];
    if (sourceUnchanged(document.path, document.layout, why, sizeof why)) {
        // Checksums are stamped through the host's seek, which reaches 2 GB.
        if (document.layout.imageStart <= INT32_MAX) {
            // An extension (a table of tiles too) is written with its own cards.
            if (document.layout.imageHdu > 0)
                useOwnHeader(source);
            return Carry{true, document.path, document.layout};
        }
        std::snprintf(why, sizeof why, "holds its image more than 2 GB into the file");
    }
    if (tell) {
        char name[100], others[140], text[520];
        fileNameOf(document.path, name, sizeof name);
        describeOthers(document.layout, others, sizeof others);
        std::snprintf(text, sizeof text, "%s %s: %s are not in the saved file, which holds the image alone.", name, why,
                      others);
        platformMessageBox(0, text, "KORVALIS", platformBoxOk);
    }
    return Carry{};
}

// Bytes the carried parts of the file add to the image's HDU.
int64_t carriedBytes(const Carry &carry) {
    return carry.on ? carry.layout.imageStart + (carry.layout.fileBytes - carry.layout.imageEnd) : 0;
}

} // namespace

void encodeRow(const PluginGlobals *globals, int32_t count, uint8_t *source) {
    // Converted here, once per row as it is handed over, so every plane of every image takes
    // the same road, plain or tile-compressed.
    const bool sixteenBit = globals->formatRecord->depth == 16;
    if (sixteenBit && hostUsesScale32768(globals->formatRecord))
        encodeEditorRow(source, count / 2);
    else if (sixteenBit)
        encodeHostRow(source, count / 2);
}

void writeRow(PluginGlobals *globals, int32_t count, uint8_t *source) {
    if (globals->result != noErr)
        return;
    encodeRow(globals, count, source);
    writeDataExact(globals, count, source);
}


void doEstimateStart(PluginGlobals *globals) {
    SaveSource source{};
    SaveHeader header{};
    const bool canStart = saveCanStart(globals, &source);
    const Carry carry = canStart ? planCarry(&source, false) : Carry{};
    if (canStart && recordResult(globals, prepareHeader(globals->formatRecord, source, &header))) {
        FormatRecord *record = globals->formatRecord;
        int64_t dataBytes = imageDataBytes(record, computeRowSize(globals));
        int64_t estimate = int64_t{header.blocks} * headerBlockSize + dataBytes + dataPadding(dataBytes);
        if (source.image.compression.compressed)
            estimate = compressedSaveBound(record, header, !carry.on);
        estimate += carriedBytes(carry);
        if (estimate > INT32_MAX)
            estimate = INT32_MAX;
        record->minDataBytes = static_cast<int32_t>(estimate);
        record->maxDataBytes = static_cast<int32_t>(estimate);
        record->data = nullptr;
    }
    releaseSaveHeader(&header);
    releaseSaveSource(&source);
}

namespace {

// A plain save's row: converted and written, and added to the data's checksum when there is one.
void writePlainRow(PluginGlobals *globals, int16_t, void *dataSum) {
    writeRow(globals, globals->rowSize, globals->rowBuffer);
    if (dataSum != nullptr && globals->result == noErr)
        addChecksumBytes(static_cast<FitsChecksum *>(dataSum), globals->rowBuffer, static_cast<size_t>(globals->rowSize));
}

// Every row converted and written, then the padding; the data's checksum into *dataSum when
// asked for.
void writeImageRows(PluginGlobals *globals, bool bottomUp, FitsChecksum *dataSum) {
    const FormatRecord *record = globals->formatRecord;
    handOverRows(globals, bottomUp, nullptr, writePlainRow, dataSum);
    if (globals->result == noErr)
        writePadding(globals, int64_t{globals->rowSize} * record->imageSize.v * record->planes);
}

} // namespace

namespace {

// The image's HDU as plain samples, then the file's HDUs after it when they are carried over.
void writePlainImage(PluginGlobals *globals, const SaveSource &source, const Carry &carry, SaveHeader *header) {
    const bool bottomUp = writeFitsHeader(globals, source, header) && source.image.bottomUp;
    if (globals->result != noErr)
        return;
    const bool checksums = headerCarriesChecksums(header->bytes, header->blocks);
    FitsChecksum dataSum{};
    writeImageRows(globals, bottomUp, checksums ? &dataSum : nullptr);
    if (carry.on)
        copySourceBytes(globals, carry.path, carry.layout.imageEnd, carry.layout.fileBytes);
    if (checksums && globals->result == noErr)
        rewriteHeaderWithChecksums(globals, *header, checksumValue(&dataSum), carry.on ? carry.layout.imageStart : 0);
    endRowHandOver(globals);
}

// An image opened from tiles is saved as tiles: in its table among the file's other HDUs, or
// after an empty primary HDU of its own when it is saved alone.
void writeTiledImage(PluginGlobals *globals, const SaveSource &source, const Carry &carry, SaveHeader *header) {
    if (!keepSavedHeader(globals, source, header))
        return;
    const int64_t start = carry.on ? carry.layout.imageStart : 0;
    const int64_t end = writeCompressedImage(globals, *header, header->usedKept && source.image.bottomUp, start, !carry.on);
    if (carry.on && globals->result == noErr && end <= INT32_MAX) {
        globals->result = fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, static_cast<int32_t>(end));
        copySourceBytes(globals, carry.path, carry.layout.imageEnd, carry.layout.fileBytes);
    } else if (carry.on && globals->result == noErr) {
        globals->result = dskFulErr;
    }
}

} // namespace

void doWriteStart(PluginGlobals *globals) {
    SaveSource source{};
    SaveHeader header{};
    if (saveCanStart(globals, &source) &&
        recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, 0))) {
        // The HDUs before the image's, its own, then those after it, each where it stood.
        const Carry carry = planCarry(&source, true);
        if (carry.on)
            copySourceBytes(globals, carry.path, 0, carry.layout.imageStart);
        if (source.image.compression.compressed)
            writeTiledImage(globals, source, carry, &header);
        else
            writePlainImage(globals, source, carry, &header);
    }
    releaseSaveHeader(&header);
    releaseSaveSource(&source);
}
