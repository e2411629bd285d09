// Handing the pixel rows of an opened file to the host, and the row buffer both directions use.
#include <cstring>

#include "fits/document.h"
#include "fits/fits.h"
#include "fits/header_format.h"
#include "fits/image_rows.h"
#include "fits/sample_conversion.h"
#include "fits/tile_rows.h"
#include "host/file_access.h"
#include "host/services.h"
#include "platform/platform.h"

int32_t computeRowSize(const PluginGlobals *globals) {
    const FormatRecord *record = globals->formatRecord;
    return static_cast<int32_t>(record->depth / 8) * record->imageSize.h;
}

bool allocateRowBuffer(PluginGlobals *globals) {
    if (globals->result != noErr)
        return false;
    globals->bufferID = nullptr;
    globals->rowSize = computeRowSize(globals);
    BufferID id = nullptr;
    if (!recordResult(globals, allocateHostBuffer(globals->formatRecord->bufferProcs, globals->rowSize, &id)))
        return false;
    globals->bufferID = id;
    globals->rowBuffer = lockHostBuffer(globals->formatRecord->bufferProcs, id, false);
    // A host that grants a buffer but gives no address for it has no memory to lend.
    if (globals->rowBuffer == nullptr) {
        releaseRowBuffer(globals);
        return recordResult(globals, memFullErr);
    }
    return true;
}

void releaseRowBuffer(PluginGlobals *globals) {
    if (globals->bufferID == nullptr)
        return;
    freeHostBuffer(globals->formatRecord->bufferProcs, globals->bufferID);
    globals->bufferID = nullptr;
    globals->rowBuffer = nullptr;
}

void clearImageResources(PluginGlobals *globals) {
    FormatRecord *record = globals->formatRecord;
    if (record->imageRsrcData == nullptr)
        return;
    disposeHostHandle(record->handleProcs, record->imageRsrcData);
    record->imageRsrcData = nullptr;
    record->imageRsrcSize = 0;
}

void beginRowHandOver(PluginGlobals *globals, int16_t columns) {
    FormatRecord *record = globals->formatRecord;
    record->theRect.left = 0;
    record->theRect.right = columns;
    record->colBytes = static_cast<int16_t>(record->depth / 8);
    record->rowBytes = globals->rowSize;
    record->planeBytes = 0;
    record->data = globals->rowBuffer;
}

void endRowHandOver(PluginGlobals *globals) {
    globals->formatRecord->data = nullptr;
    globals->formatRecord->theRect = Rect{0, 0, 0, 0};
    releaseRowBuffer(globals);
}

void placeRow(FormatRecord *record, int16_t row, bool bottomUp) {
    int16_t top = bottomUp ? static_cast<int16_t>(record->imageSize.v - 1 - row) : row;
    record->theRect.top = top;
    record->theRect.bottom = static_cast<int16_t>(top + 1);
}

void handOverRows(PluginGlobals *globals, bool bottomUp, RowStep fill, RowStep take, void *context) {
    FormatRecord *record = globals->formatRecord;
    const int16_t rows = record->imageSize.v, planes = record->planes;
    int32_t done = 0;
    const int32_t total = int32_t{planes} * rows;
    allocateRowBuffer(globals);
    beginRowHandOver(globals, record->imageSize.h);
    for (int16_t plane = 0; globals->result == noErr && plane < planes; ++plane) {
        record->hiPlane = plane;
        record->loPlane = plane;
        for (int16_t row = 0; globals->result == noErr && row < rows; ++row) {
            placeRow(record, row, bottomUp);
            if (fill != nullptr)
                fill(globals, row, context);
            if (globals->result == noErr)
                globals->result = record->advanceState();
            if (take != nullptr && globals->result == noErr)
                take(globals, row, context);
            reportProgress(record, ++done, total);
        }
    }
}

namespace {

bool takeWideRow(PluginGlobals *globals, const ImageDescription &image, int16_t columns, WideRow *row) {
    row->storedBytes = fileRowBytes(image, columns);
    row->stored = static_cast<uint8_t *>(platformHeapAlloc(static_cast<size_t>(row->storedBytes) + 1));
    row->physical = static_cast<double *>(platformHeapAlloc(sizeof(double) * static_cast<size_t>(columns) + 1));
    if (row->stored != nullptr && row->physical != nullptr)
        return true;
    globals->result = memFullErr;
    return false;
}

void releaseWideRow(WideRow *row) {
    platformHeapFree(row->stored);
    platformHeapFree(row->physical);
    *row = WideRow{};
}

} // namespace

bool openRowSource(PluginGlobals *globals, const ImageDescription &image, int16_t columns, RowSource *source) {
    *source = RowSource{};
    source->image = &image;
    if (!takeWideRow(globals, image, columns, &source->row))
        return false;
    if (image.compression.compressed)
        return beginTileRows(globals, image, &source->tiles);
    return recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, image.dataStart));
}

bool readSourceRow(PluginGlobals *globals, RowSource *source) {
    if (globals->result != noErr)
        return false;
    if (source->image->compression.compressed)
        return nextTileRow(globals, *source->image, &source->tiles, source->row.stored);
    readExactInPieces(globals, source->row.storedBytes, source->row.stored);
    return globals->result == noErr;
}

void closeRowSource(RowSource *source) {
    endTileRows(&source->tiles);
    releaseWideRow(&source->row);
    *source = RowSource{};
}

namespace {

// The pixel reader handles what a successful header read left: one or two bytes per sample
// matching the record's depth, or wide samples mapped into 16 bits. Anything else would read
// past the row buffer.
bool readGeometryUsable(const PluginGlobals *globals, const ImageDescription &image) {
    const FormatRecord *record = globals->formatRecord;
    bool coding = needsMapping(image)
                      ? (image.bitpix == 32 || image.bitpix == 64 || image.bitpix == -32 || image.bitpix == -64) &&
                            image.bytesPerSample * 8 == (image.bitpix < 0 ? -image.bitpix : image.bitpix) &&
                            record->depth == 16
                      : (image.bytesPerSample == 1 || image.bytesPerSample == 2) &&
                            record->depth == image.bytesPerSample * 8;
    // Tiles are decoded at the image's own size, which the rows handed over must then have.
    const bool tiledSize = !image.compression.compressed ||
                           (record->imageSize.h == image.columns && record->imageSize.v == image.rows &&
                            record->planes == image.planes);
    return coding && tiledSize && record->imageSize.h >= 0 && record->imageSize.v >= 0 && record->planes >= 0;
}

} // namespace

bool scanSampleRange(PluginGlobals *globals, ImageDescription *image) {
    if (headerSettlesSamples(*image)) {
        image->range = PhysicalRange{};
        image->range.storedOrigin = -32768; // unsigned data: stored + 32768
        return true;
    }
    PhysicalRange range{};
    StoredRange stored = emptyStoredRange();
    const bool wide = needsMapping(*image);
    RowSource source{};
    if (openRowSource(globals, *image, image->columns, &source)) {
        int32_t total = int32_t{image->rows} * image->planes;
        for (int32_t n = 0; n < total && readSourceRow(globals, &source); ++n) {
            if (!wide) {
                takeStoredRange(&stored, *image, source.row.stored, image->columns);
                continue;
            }
            takeRowRange(&range, *image, source.row.stored, image->columns, source.row.physical);
        }
    }
    closeRowSource(&source);
    if (globals->result != noErr)
        return false;
    if (wide)
        chooseMapping(&range);
    image->range = wide ? range : chooseStoredMapping(*image, stored);
    return recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, image->dataStart));
}

namespace {

// What an open's rows are read with: the image and its row source.
struct RowReading {
    ImageDescription image;
    RowSource source;
};

// The next row of the file, converted into the row buffer for the host; a row that did not
// arrive whole is never handed over, so it is not converted either.
void fillRow(PluginGlobals *globals, int16_t, void *context) {
    auto *reading = static_cast<RowReading *>(context);
    const ImageDescription &image = reading->image;
    const int16_t columns = globals->formatRecord->imageSize.h;
    const WideRow &row = reading->source.row;
    if (!readSourceRow(globals, &reading->source))
        return;
    if (throughPhysicalValues(image))
        mapRowToHost(image, row.stored, columns, row.physical, globals->rowBuffer);
    else if (image.bytesPerSample == 2)
        shiftStoredRow(image, row.stored, columns, globals->rowBuffer);
    else
        std::memcpy(globals->rowBuffer, row.stored, static_cast<size_t>(globals->rowSize));
}

} // namespace

void doReadContinue(PluginGlobals *globals) {
    FormatRecord *record = globals->formatRecord;
    clearImageResources(globals);
    // The image of the document being read, as its ReadStart described it; the session's
    // when the host's handles could hold no record.
    RowReading reading{};
    reading.image = globals->keptImage;
    documentImage(record, &reading.image);
    if (!readGeometryUsable(globals, reading.image)) {
        globals->result = formatBadParameters;
        endRowHandOver(globals);
        return;
    }
    openRowSource(globals, reading.image, record->imageSize.h, &reading.source);
    handOverRows(globals, reading.image.bottomUp, fillRow, nullptr, &reading);
    closeRowSource(&reading.source);
    endRowHandOver(globals);
}

void reportProgress(const FormatRecord *record, int32_t done, int32_t total) {
    if (record->progressProc != nullptr)
        record->progressProc(done, total);
}
