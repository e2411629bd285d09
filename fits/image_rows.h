// Row operations shared by reading and writing pixels.
#pragma once

#include <cstdint>

#include "entry/globals.h"
#include "fits/image_description.h"
#include "fits/tile_rows.h"

// Bytes in one row of the record's image: (depth / 8) × columns. No padding.
int32_t computeRowSize(const PluginGlobals *globals);

// Allocates and locks a row buffer of computeRowSize bytes through the host. False, with the
// host's code (or memFullErr) in result, when it cannot; also false when result was set.
bool allocateRowBuffer(PluginGlobals *globals);

// Frees the row buffer, if there is one.
void releaseRowBuffer(PluginGlobals *globals);

// Releases a handle the host left in imageRsrcData and clears the field.
void clearImageResources(PluginGlobals *globals);

// Describes the hand-over of one-plane rows of the record's width from the row buffer.
void beginRowHandOver(PluginGlobals *globals, int16_t columns);

// Ends the hand-over: data null and theRect empty, which every host reads as "done"; frees
// the row buffer.
void endRowHandOver(PluginGlobals *globals);

// Scratch for one row of wide samples: the file's bytes and their physical values. Held for a
// whole pass, so that memory stays one row whatever the image's height.
struct WideRow {
    uint8_t *stored;
    double *physical;
    int64_t storedBytes; // fileRowBytes of the row's width
};

// Where a pass over the image takes its rows from: the file's samples one row after another,
// or, for a tile-compressed image, its tiles decoded a band at a time. Either way a row comes as
// the stored big-endian samples of BITPIX, so that the conversions are the same for both.
struct RowSource {
    const ImageDescription *image;
    TileRows tiles;
    WideRow row; // the row read last
};

// Starts a pass at the image's first row, for rows of `columns` samples: the file's rows follow
// one another at that width, while tiles are decoded at the image's own, which `columns` must
// then be. False with result set (memFullErr for the row's scratch) when it cannot.
bool openRowSource(PluginGlobals *globals, const ImageDescription &image, int16_t columns, RowSource *source);

// The next row into source->row.stored (fileRowBytes of the source's width). False with result
// set (readErr, eofErr for a short file, memFullErr, formatCannotRead for a damaged tile) when it
// cannot.
bool readSourceRow(PluginGlobals *globals, RowSource *source);

void closeRowSource(RowSource *source);

// Converts one row of `count` bytes in `source` to FITS order in place, as writeRow does.
void encodeRow(const PluginGlobals *globals, int32_t count, uint8_t *source);

// Converts one row of `count` bytes in `source` to FITS order in place and writes it; 16-bit
// samples of a host on the 0 … 32768 scale are brought to 0 … 65535 first.
// writErr, or eofErr for a short row.
void writeRow(PluginGlobals *globals, int32_t count, uint8_t *source);

// The hand-over of every row of every plane, an open's and a save's: for each row (placed bottom
// up when `bottomUp`) `fill` puts it in the row buffer before the host takes it (an open), the
// host's advanceState hands it over, and `take` takes what the host put there (a save); either
// may be null. Progress is reported for every row asked for; the first failure in result ends
// it. The row buffer is allocated here and released by endRowHandOver.
using RowStep = void (*)(PluginGlobals *globals, int16_t row, void *context);
void handOverRows(PluginGlobals *globals, bool bottomUp, RowStep fill, RowStep take, void *context);

// Sets theRect to the host row that the file's row `row` fills: the same row, or counted from
// the bottom when the file's rows go bottom-up.
void placeRow(FormatRecord *record, int16_t row, bool bottomUp);

// Chooses how the samples reach the host, into image->range. Unless the header settles it,
// that takes a first pass: every row is read from the data start (the physical range of wide
// samples, the stored range of 16-bit ones), and the file is left at the data start again.
// False with result set (memFullErr, readErr, eofErr) when it cannot.
bool scanSampleRange(PluginGlobals *globals, ImageDescription *image);

// Calls the host's progressProc, which the service checks do not cover and may be absent.
void reportProgress(const FormatRecord *record, int32_t done, int32_t total);
