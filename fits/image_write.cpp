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
bool keptCodingFinite(const PluginGlobals *globals) {
    const ImageDescription &kept = globals->keptImage;
    return globals->formatRecord->depth != 16 || keptHeader(globals).blocks < 1 || !needsMapping(kept) ||
           kept.range.kind == SampleMapping::none || savedCodingFinite(kept.range);
}

// Only 8- and 16-bit images of a real size can be saved as FITS; anything else would make a
// file whose header does not describe its data.
bool saveGeometryUsable(PluginGlobals *globals) {
    const FormatRecord *record = globals->formatRecord;
    char text[200];
    if (record->depth != 8 && record->depth != 16)
        std::snprintf(text, sizeof text, "Cannot save an image of %d bits per sample: only 8 and 16 are supported.",
                      record->depth);
    else if (record->imageSize.h < 1 || record->imageSize.v < 0 || record->planes < 1)
        std::snprintf(text, sizeof text, "Cannot save an image of %d columns, %d rows and %d planes.",
                      record->imageSize.h, record->imageSize.v, record->planes);
    else if (!keptCodingFinite(globals))
        std::snprintf(text, sizeof text,
                      "Cannot save: the image's values span %.17G to %.17G, too wide for the BZERO and BSCALE of "
                      "16-bit samples.",
                      globals->keptImage.range.smallest, globals->keptImage.range.largest);
    else
        return true;
    platformMessageBox(0, text, "KORVALIS", platformBoxOk);
    globals->result = formatBadParameters;
    return false;
}

// A header that carries CHECKSUM or DATASUM was read with another file's data; it is written
// again, once the data are out, with the values of what was written.
void rewriteHeaderWithChecksums(PluginGlobals *globals, uint32_t dataSum) {
    const size_t bytes = static_cast<size_t>(fits::headerBlocks) * headerBlockSize;
    uint8_t *header = fits::HeaderImage;
    // A long header is stamped in a copy: the kept one keeps the values it was read with.
    if (fits::headerBlocks > maxHeaderBlocks) {
        header = static_cast<uint8_t *>(platformHeapAlloc(bytes));
        if (header == nullptr) {
            globals->result = memFullErr;
            return;
        }
        std::memcpy(header, writtenHeader(globals), bytes);
    }
    stampChecksums(header, fits::headerBlocks, dataSum);
    globals->result = fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, 0);
    writeExactInPieces(globals, static_cast<int64_t>(bytes), header);
    if (header != fits::HeaderImage)
        platformHeapFree(header);
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

// Both save steps need the host's services and an image that FITS can hold.
bool saveCanStart(PluginGlobals *globals) {
    return recordCancel(globals, !hostServicesUsable(globals)) && saveGeometryUsable(globals);
}

} // namespace

void writeRow(PluginGlobals *globals, int32_t count, uint8_t *source) {
    if (globals->result != noErr)
        return;
    // Converted here, once per row as it is handed over, so every plane of every image takes
    // the same road.
    if (fits::bytesPerSample == 2 && hostUsesScale32768(globals->formatRecord))
        encodeEditorRow(source, count / 2);
    else if (fits::bytesPerSample == 2)
        encodeHostRow(source, count / 2);
    writeDataBytes(globals, count, source);
}

void doEstimateStart(PluginGlobals *globals) {
    if (!saveCanStart(globals))
        return;
    FormatRecord *record = globals->formatRecord;
    static uint8_t draft[headerImageSize];
    SaveHeader header{};
    if (!recordResult(globals, prepareHeader(globals, draft, &header)))
        return;
    releaseSaveHeader(&header);
    int64_t dataBytes = imageDataBytes(record, computeRowSize(globals));
    int64_t estimate = int64_t{header.blocks} * headerBlockSize + dataBytes + dataPadding(dataBytes);
    if (estimate > INT32_MAX)
        estimate = INT32_MAX;
    record->minDataBytes = static_cast<int32_t>(estimate);
    record->maxDataBytes = static_cast<int32_t>(estimate);
    record->data = nullptr;
}

void doWriteStart(PluginGlobals *globals) {
    if (!saveCanStart(globals))
        return;
    FormatRecord *record = globals->formatRecord;
    globals->result = fileSeek(record->dataFork, platformSeekFromStart, 0);
    int16_t rows = record->imageSize.v;
    int16_t columns = record->imageSize.h;
    int16_t planes = record->planes;
    fits::bitpix = record->depth;
    fits::bytesPerSample = static_cast<int16_t>(record->depth / 8);
    const bool bottomUp = writeFitsHeader(globals) && globals->keptImage.bottomUp;
    if (globals->result != noErr)
        return;
    bool checksums = headerCarriesChecksums(writtenHeader(globals), fits::headerBlocks);
    FitsChecksum dataSum{};
    int32_t done = 0;
    int32_t total = int32_t{planes} * rows;
    allocateRowBuffer(globals);
    beginRowHandOver(globals, columns);
    for (int16_t plane = 0; globals->result == noErr && plane < planes; ++plane) {
        record->hiPlane = plane;
        record->loPlane = plane;
        for (int16_t row = 0; globals->result == noErr && row < rows; ++row) {
            placeRow(record, row, bottomUp);
            if (globals->result == noErr)
                globals->result = record->advanceState();
            writeRow(globals, globals->rowSize, globals->rowBuffer);
            if (checksums && globals->result == noErr)
                addChecksumBytes(&dataSum, globals->rowBuffer, static_cast<size_t>(globals->rowSize));
            reportProgress(record, ++done, total);
        }
    }
    if (globals->result == noErr)
        writePadding(globals, int64_t{globals->rowSize} * rows * planes);
    if (checksums && globals->result == noErr)
        rewriteHeaderWithChecksums(globals, checksumValue(&dataSum));
    endRowHandOver(globals);
}
