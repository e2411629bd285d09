// The rows of a tile-compressed image, decoded one band of tiles at a time: the tiles that
// share the current rows (and planes), side by side across the image's width.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entry/globals.h"
#include "fits/image_description.h"
#include "fits/tile_codecs.h"

// A pass's working memory: the table's rows (the tiles' descriptors and scaling), the band's
// samples as an uncompressed image would store them, and one tile's compressed and decoded bytes.
struct TileRows {
    uint8_t *table;
    uint8_t *band;       // bandPlanes × bandRows rows of the image's width
    int32_t bandPlane;   // the band's first plane and first row; -1 before the first band
    int32_t bandRow;
    int32_t bandPlanes;
    int32_t bandRows;
    uint8_t *compressed; // one tile's bytes from the heap
    size_t compressedRoom;
    uint8_t *decoded;    // one tile's samples as the codec gives them, up to 8 bytes each
    double *values;      // one tile's values, for quantized floats
    uint8_t *scratch;    // the codec's working memory
    size_t scratchRoom;
    DitherTable *dither; // for dithered floats only
    int32_t next;        // the next row to hand out, counted over all planes
};

// Sets up a pass over `image`'s rows. False with result set (memFullErr, formatCannotRead with a
// notice for a table the module will not hold, readErr, eofErr) when it cannot.
bool beginTileRows(PluginGlobals *globals, const ImageDescription &image, TileRows *rows);

// The next row of the image (plane by plane, rows in file order) as stored samples of BITPIX,
// big-endian, into `row`. False with result set when a tile cannot be read or decoded; a notice
// then names the tile and what is wrong with it.
bool nextTileRow(PluginGlobals *globals, const ImageDescription &image, TileRows *rows, uint8_t *row);

void endTileRows(TileRows *rows);
