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
    platformMessageBox(0, text, "KORVALIS", platformBoxOk);
    globals->result = formatBadParameters;
    return false;
}

// A header that carries CHECKSUM or DATASUM was read with another file's data; it is stamped
// and written again, once the data are out, with the values of what was written.
void rewriteHeaderWithChecksums(PluginGlobals *globals, const SaveHeader &header, uint32_t dataSum) {
    stampChecksums(header.bytes, header.blocks, dataSum);
    globals->result = fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, 0);
    writeExactInPieces(globals, int64_t{header.blocks} * headerBlockSize, header.bytes);
}

// One write of data bytes; a short one is eofErr, as for every part of the data unit.
void writeDataBytes(PluginGlobals *globals, int32_t count, const uint8_t *bytes) {
    int32_t moved = count;
    globals->result = fileWrite(globals->formatRecord->dataFork, &moved, bytes);
    if (globals->result == noErr && moved != count)
        globals->result = eofErr;
}

void writePadding(PluginGlobals *globals, int64_t dataBytes) {
    static const uint8_t zeros[headerBlockSize] = {};
    int32_t count = static_cast<int32_t>(dataPadding(dataBytes));
    if (count > 0)
        writeDataBytes(globals, count, zeros);
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
    writeDataBytes(globals, count, source);
}

void doEstimateStart(PluginGlobals *globals) {
    SaveSource source{};
    SaveHeader header{};
    if (saveCanStart(globals, &source) && recordResult(globals, prepareHeader(globals->formatRecord, source, &header))) {
        FormatRecord *record = globals->formatRecord;
        int64_t dataBytes = imageDataBytes(record, computeRowSize(globals));
        int64_t estimate = int64_t{header.blocks} * headerBlockSize + dataBytes + dataPadding(dataBytes);
        if (source.image.compression.compressed)
            estimate = compressedSaveBound(record, header);
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

// Takes every row of every plane from the host, converts and writes it; the data's checksum
// into *dataSum when asked for.
void writeImageRows(PluginGlobals *globals, bool bottomUp, FitsChecksum *dataSum) {
    FormatRecord *record = globals->formatRecord;
    const int16_t rows = record->imageSize.v, planes = record->planes;
    int32_t done = 0;
    int32_t total = int32_t{planes} * rows;
    allocateRowBuffer(globals);
    beginRowHandOver(globals, record->imageSize.h);
    for (int16_t plane = 0; globals->result == noErr && plane < planes; ++plane) {
        record->hiPlane = plane;
        record->loPlane = plane;
        for (int16_t row = 0; globals->result == noErr && row < rows; ++row) {
            placeRow(record, row, bottomUp);
            if (globals->result == noErr)
                globals->result = record->advanceState();
            writeRow(globals, globals->rowSize, globals->rowBuffer);
            if (dataSum != nullptr && globals->result == noErr)
                addChecksumBytes(dataSum, globals->rowBuffer, static_cast<size_t>(globals->rowSize));
            reportProgress(record, ++done, total);
        }
    }
    if (globals->result == noErr)
        writePadding(globals, int64_t{globals->rowSize} * rows * planes);
}

} // namespace

void doWriteStart(PluginGlobals *globals) {
    SaveSource source{};
    SaveHeader header{};
    if (saveCanStart(globals, &source) && source.image.compression.compressed) {
        // An image opened from tiles is saved as tiles.
        if (keepSavedHeader(globals, source, &header))
            writeCompressedImage(globals, header, header.usedKept && source.image.bottomUp);
    } else if (globals->result == noErr &&
               recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, 0))) {
        const bool bottomUp = writeFitsHeader(globals, source, &header) && source.image.bottomUp;
        if (globals->result == noErr) {
            const bool checksums = headerCarriesChecksums(header.bytes, header.blocks);
            FitsChecksum dataSum{};
            writeImageRows(globals, bottomUp, checksums ? &dataSum : nullptr);
            if (checksums && globals->result == noErr)
                rewriteHeaderWithChecksums(globals, header, checksumValue(&dataSum));
            endRowHandOver(globals);
        }
    }
    releaseSaveHeader(&header);
    releaseSaveSource(&source);
}
