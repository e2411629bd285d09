// The header of a binary table that holds a tile-compressed image (ZIMAGE = T): how its tiles
// are stored and coded, and the image's own header, which the table keeps in Z keywords.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fits/header_format.h"
#include "fits/image_description.h"

// The image header's cards that the table keeps under Z names, which a read renames back.
struct ZKeyword {
    const char *image;
    const char *table;
};
inline constexpr ZKeyword zKeywords[] = {{"SIMPLE  ", "ZSIMPLE "}, {"XTENSION", "ZTENSION"}, {"BITPIX  ", "ZBITPIX "},
                                         {"NAXIS   ", "ZNAXIS  "}, {"EXTEND  ", "ZEXTEND "}, {"BLOCKED ", "ZBLOCKED"},
                                         {"PCOUNT  ", "ZPCOUNT "}, {"GCOUNT  ", "ZGCOUNT "}, {"CHECKSUM", "ZHECKSUM"},
                                         {"DATASUM ", "ZDATASUM"}};

// Reads the table's header, whose END card is card `tableEnd`: how the tiles are stored into
// `compression`, and the image's own header into `restored` (empty on entry): its first card,
// BITPIX, NAXIS and the axes, then every card that is not the table's own, END and blank cards
// to a whole block. Z keywords that stand for the image's cards (ZBITPIX, ZNAXISn, ZHECKSUM, …)
// are renamed to them. `reason` is empty when the tiles can be read, else a sentence that says
// why not. False when memory ran out.
bool readTileTable(const HeaderCards &table, int32_t tableEnd, TileCompression *compression, HeaderCards *restored,
                   char *reason, size_t room);

// The number of tiles along each of the first three axes of `image`.
void tilesAlongAxes(const ImageDescription &image, int64_t counts[3]);

// Why the table's tiles do not cover `image` (their count is not the one its size and the
// tiles' size give); empty when they do.
void describeTileGrid(const ImageDescription &image, char *reason, size_t room);
