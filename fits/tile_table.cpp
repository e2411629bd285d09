// Reading the header of a table that holds a tile-compressed image.
#include "fits/tile_table.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fits/header_merge.h"

namespace {

// The sentence that says why the tiles cannot be read, into `reason`; false, for the caller to
// return.
__attribute__((format(printf, 3, 4))) bool giveReason(char *reason, size_t room, const char *format, ...);
bool giveReason(char *reason, size_t room, const char *format, ...) {
    va_list values;
    va_start(values, format);
    std::vsnprintf(reason, room, format, values);
    va_end(values);
    return false;
}

constexpr char keywordZNAXIS[] = "ZNAXIS  ";

// The columns the reader uses, by name (compared without regard to case, as TTYPEn values are).
enum ColumnRole { dataColumn, gzipColumn, rawColumn, scaleColumn, zeroColumn, blankColumn, roleCount };
const char *const columnNames[roleCount] = {"COMPRESSED_DATA", "GZIP_COMPRESSED_DATA", "UNCOMPRESSED_DATA",
                                            "ZSCALE", "ZZERO", "ZBLANK"};

bool sameTextIgnoringCase(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
        char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

// Bytes of one element of a TFORM letter; 0 for letters no image table uses.
int elementBytes(char letter) {
    switch (letter) {
    case 'L':
    case 'B':
    case 'A': return 1;
    case 'I': return 2;
    case 'J':
    case 'E': return 4;
    case 'K':
    case 'D':
    case 'C': return 8;
    case 'M': return 16;
    default: return 0;
    }
}

// A TFORMn value: repeat count, letter and, for arrays (P, Q), the element's letter.
struct Form {
    int64_t repeat;
    char letter;
    char element;
    int64_t bytes; // bytes the field takes in a row; -1 when the form is not one FITS knows
};

Form parseForm(const char *text) {
    Form form{0, 0, 0, -1};
    size_t at = 0;
    bool digits = false;
    for (; text[at] >= '0' && text[at] <= '9' && form.repeat < (int64_t{1} << 32); ++at, digits = true)
        form.repeat = form.repeat * 10 + (text[at] - '0');
    if (!digits)
        form.repeat = 1;
    form.letter = text[at];
    if (form.letter == 'X') {
        form.bytes = (form.repeat + 7) / 8;
    } else if (form.letter == 'P' || form.letter == 'Q') {
        form.element = text[at + 1];
        form.bytes = elementBytes(form.element) > 0 ? form.repeat * (form.letter == 'P' ? 8 : 16) : -1;
    } else if (elementBytes(form.letter) > 0) {
        form.bytes = form.repeat * elementBytes(form.letter);
    }
    return form;
}

// The Z keywords and table cards that the reader takes values from.
struct TableKeywords {
    bool hasBitpix, hasNaxis, hasTheap, hasCompression, hasQuantiz, hasScale, hasZero, hasZblank, hasBlank;
    bool hasTile[4];
    int64_t bitpix, naxis, rowBytes, rows, pcount, theap, fields, ditherSeed;
    int64_t tile[4];
    bool hasAxis[4];
    int64_t axis[4];
    double scale, zero, bzero, bscale;
    int64_t zblank, blank;
    char compression[24];
    char quantiz[24];
    int columnIndex[roleCount]; // n of the TTYPEn that names each column, 0 when none does
};

void takeTableCard(const uint8_t *card, TableKeywords *found) {
    char text[72];
    if (cardHasKeyword(card, "ZBITPIX ")) {
        found->hasBitpix = true;
        found->bitpix = integerValue(card);
    } else if (cardHasKeyword(card, keywordZNAXIS)) {
        found->hasNaxis = true;
        found->naxis = integerValue(card);
    } else if (int n = indexedKeyword(card, "ZNAXIS"); n > 0 && n <= 3) {
        found->hasAxis[n] = true;
        found->axis[n] = integerValue(card);
    } else if (int t = indexedKeyword(card, "ZTILE"); t > 0 && t <= 3) {
        found->hasTile[t] = true;
        found->tile[t] = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS1)) {
        found->rowBytes = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS2)) {
        found->rows = integerValue(card);
    } else if (cardHasKeyword(card, "PCOUNT  ")) {
        found->pcount = integerValue(card);
    } else if (cardHasKeyword(card, "THEAP   ")) {
        found->hasTheap = true;
        found->theap = integerValue(card);
    } else if (cardHasKeyword(card, "TFIELDS ")) {
        found->fields = integerValue(card);
    } else if (cardHasKeyword(card, "ZCMPTYPE")) {
        found->hasCompression = stringValue(card, found->compression, sizeof found->compression);
    } else if (cardHasKeyword(card, "ZQUANTIZ")) {
        found->hasQuantiz = stringValue(card, found->quantiz, sizeof found->quantiz);
    } else if (cardHasKeyword(card, "ZDITHER0")) {
        found->ditherSeed = integerValue(card);
    } else if (cardHasKeyword(card, "ZSCALE  ")) {
        found->hasScale = true;
        found->scale = exactRealValue(card);
    } else if (cardHasKeyword(card, "ZZERO   ")) {
        found->hasZero = true;
        found->zero = exactRealValue(card);
    } else if (cardHasKeyword(card, "ZBLANK  ")) {
        found->hasZblank = wholeValue(card, &found->zblank);
    } else if (cardHasKeyword(card, keywordBLANK)) {
        found->hasBlank = wholeValue(card, &found->blank);
    } else if (cardHasKeyword(card, keywordBZERO)) {
        found->bzero = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBSCALE)) {
        found->bscale = exactRealValue(card);
    } else if (int c = indexedKeyword(card, "TTYPE"); c > 0 && stringValue(card, text, sizeof text)) {
        for (int role = 0; role < roleCount; ++role)
            if (sameTextIgnoringCase(text, columnNames[role]) && found->columnIndex[role] == 0)
                found->columnIndex[role] = c;
    }
}

// The value of the ZVALn whose ZNAMEn is `name`; false when no ZNAMEn names it.
bool namedParameter(const HeaderCards &table, int32_t end, const char *name, int64_t *value) {
    char text[72];
    int index = 0;
    for (int32_t n = 0; n < end && index == 0; ++n) {
        const uint8_t *card = cardOf(table, n);
        if (int i = indexedKeyword(card, "ZNAME"); i > 0 && stringValue(card, text, sizeof text) &&
                                                     sameTextIgnoringCase(text, name))
            index = i;
    }
    for (int32_t n = 0; n < end && index > 0; ++n)
        if (indexedKeyword(cardOf(table, n), "ZVAL") == index) {
            *value = integerValue(cardOf(table, n));
            return true;
        }
    return false;
}

// Where the column TTYPEn = `index` stands in a row and what it holds. False, with the reason,
// when its form is not one the reader takes for the role.
bool locateColumn(const HeaderCards &table, int32_t end, int index, int role, int64_t rowBytes, TileTableColumn *column,
                  char *reason, size_t room) {
    *column = TileTableColumn{};
    if (index == 0)
        return true;
    int64_t offset = 0;
    Form own{0, 0, 0, -1};
    char text[72], ownText[72] = "";
    for (int32_t n = 0; n < end; ++n) {
        const uint8_t *card = cardOf(table, n);
        const int c = indexedKeyword(card, "TFORM");
        if (c == 0 || !stringValue(card, text, sizeof text))
            continue;
        Form form = parseForm(text);
        if (c == index) {
            own = form;
            std::memcpy(ownText, text, sizeof ownText);
        } else if (c < index) {
            offset = form.bytes < 0 || offset < 0 ? -1 : offset + form.bytes;
        }
    }
    const bool array = role <= rawColumn;
    const bool usable = array ? (own.letter == 'P' || own.letter == 'Q') && own.repeat == 1 &&
                                    (own.element == 'B' || own.element == 'I' || own.element == 'J' ||
                                     own.element == 'K' || own.element == 'E' || own.element == 'D')
                              : own.repeat == 1 && (role == blankColumn ? own.letter == 'I' || own.letter == 'J' ||
                                                                              own.letter == 'K'
                                                                        : own.letter == 'D' || own.letter == 'E');
    if (!usable || offset < 0 || offset + own.bytes > rowBytes)
        return giveReason(reason, room,
                          "TFORM%d is '%s': the %s column of a tile-compressed image cannot have that form.", index,
                          ownText, columnNames[role]);
    column->present = true;
    column->type = array ? own.element : own.letter;
    column->elementBytes = static_cast<int8_t>(elementBytes(column->type));
    column->descriptorBytes = static_cast<int8_t>(array ? (own.letter == 'P' ? 8 : 16) : 0);
    column->offset = static_cast<int32_t>(offset);
    return true;
}

bool codecOf(const char *name, TileCodec *codec) {
    struct Named {
        const char *name;
        TileCodec codec;
    };
    static const Named codecs[] = {{"RICE_1", TileCodec::rice},       {"RICE_ONE", TileCodec::rice},
                                   {"GZIP_1", TileCodec::gzip1},      {"GZIP_2", TileCodec::gzip2},
                                   {"PLIO_1", TileCodec::plio},       {"HCOMPRESS_1", TileCodec::hcompress},
                                   {"NOCOMPRESS", TileCodec::none}};
    for (const Named &named : codecs)
        if (std::strcmp(name, named.name) == 0) {
            *codec = named.codec;
            return true;
        }
    return false;
}

bool quantizationOf(const char *name, Quantization *method) {
    if (std::strcmp(name, "NO_DITHER") == 0 || std::strcmp(name, "NONE") == 0)
        *method = Quantization::noDither;
    else if (std::strcmp(name, "SUBTRACTIVE_DITHER_1") == 0)
        *method = Quantization::subtractiveDither1;
    else if (std::strcmp(name, "SUBTRACTIVE_DITHER_2") == 0)
        *method = Quantization::subtractiveDither2;
    else
        return false;
    return true;
}

// The ZCMPTYPE and its parameters; false with the reason for a kind the reader does not know.
bool readCodec(const HeaderCards &table, int32_t end, const TableKeywords &found, TileCompression *compression,
               char *reason, size_t room) {
    TileCodecParams &codec = compression->codec;
    if (!found.hasCompression || !codecOf(found.compression, &codec.codec))
        return giveReason(reason, room,
                          "ZCMPTYPE is %s%s%s: tiles coded RICE_1, GZIP_1, GZIP_2, PLIO_1, HCOMPRESS_1 or NOCOMPRESS "
                          "can be read.",
                          found.hasCompression ? "'" : "", found.hasCompression ? found.compression : "missing",
                          found.hasCompression ? "'" : "");
    std::snprintf(compression->kind, sizeof compression->kind, "%.15s", found.compression);
    int64_t blockSize = 32, bytePix = 4, smooth = 0;
    namedParameter(table, end, "BLOCKSIZE", &blockSize);
    namedParameter(table, end, "BYTEPIX", &bytePix);
    namedParameter(table, end, "SMOOTH", &smooth);
    // Early writers swapped the two values; a block size below 16 with more than 8 bytes a
    // pixel is that mistake.
    if (blockSize < 16 && bytePix > 8) {
        const int64_t swapped = blockSize;
        blockSize = bytePix;
        bytePix = swapped;
    }
    codec.blockSize = static_cast<int32_t>(blockSize > 0 && blockSize < 65536 ? blockSize : 0);
    codec.bytePix = static_cast<int32_t>(bytePix > 0 && bytePix <= 8 ? bytePix : 0);
    codec.smooth = smooth != 0 ? 1 : 0;
    // Writers add 32768 to unsigned 16-bit samples before PLIO coding them.
    const bool unsigned16 = found.bitpix == 16 && found.bzero == 32768.0 && found.bscale == 1.0 && !found.hasZero;
    codec.plioOffset = codec.codec == TileCodec::plio && unsigned16 ? 32768 : 0;
    return true;
}

// The image's shape and tiles; false with the reason when they cannot describe a tiled image.
bool readTiles(const TableKeywords &found, TileCompression *compression, char *reason, size_t room) {
    if (!found.hasBitpix)
        return giveReason(reason, room, "ZBITPIX is missing: a tile-compressed image must say its BITPIX.");
    if (!found.hasNaxis || found.naxis < 1 || found.naxis > largestAxis)
        return giveReason(reason, room, "ZNAXIS is %s: a tile-compressed image must say its axes.",
                          found.hasNaxis ? "out of range" : "missing");
    int64_t tiles = 1;
    for (int n = 1; n <= 3 && n <= found.naxis; ++n) {
        const int64_t axis = found.axis[n];
        const int64_t tile = found.hasTile[n] ? found.tile[n] : n == 1 ? axis : 1;
        if (!found.hasAxis[n] || axis < 1)
            return giveReason(reason, room,
                              "ZNAXIS%d is %s: a tile-compressed image must say the length of each axis.", n,
                              found.hasAxis[n] ? "below 1" : "missing");
        if (tile < 1)
            return giveReason(reason, room, "ZTILE%d is %lld: tiles are at least 1 pixel long.", n,
                              static_cast<long long>(tile));
        compression->tile[n - 1] = static_cast<int32_t>(tile < axis ? tile : axis);
        tiles *= (axis + compression->tile[n - 1] - 1) / compression->tile[n - 1];
    }
    for (int n = found.naxis + 1; n <= 3; ++n)
        compression->tile[n - 1] = 1;
    // Axes after the third have length 1 in an image that opens; they add no tiles then.
    if (tiles != found.rows)
        return giveReason(reason, room,
                          "NAXIS2 is %lld: the table of a tile-compressed image has one row for each of its %lld "
                          "tiles.",
                          static_cast<long long>(found.rows), static_cast<long long>(tiles));
    compression->tiles = static_cast<int32_t>(tiles);
    return true;
}

// The table's rows and heap; false with the reason when they do not fit one another.
bool readLayout(const TableKeywords &found, TileCompression *compression, char *reason, size_t room) {
    const int64_t table = found.rowBytes * found.rows;
    const int64_t heapStart = found.hasTheap ? found.theap : table;
    if (found.rowBytes < 1 || found.rowBytes > 65535)
        return giveReason(reason, room,
                          "NAXIS1 is %lld: the rows of a tile-compressed image's table take 1 to 65535 bytes.",
                          static_cast<long long>(found.rowBytes));
    if (found.pcount < 0 || heapStart < table || heapStart - table > found.pcount)
        return giveReason(reason, room,
                          "THEAP is %lld and PCOUNT %lld: the heap must follow the table's %lld bytes of rows.",
                          static_cast<long long>(heapStart), static_cast<long long>(found.pcount),
                          static_cast<long long>(table));
    compression->tableRowBytes = static_cast<int32_t>(found.rowBytes);
    compression->heapStart = heapStart;
    compression->heapBytes = found.pcount - (heapStart - table);
    return true;
}

bool readColumns(const HeaderCards &table, int32_t end, const TableKeywords &found, TileCompression *compression,
                 char *reason, size_t room) {
    TileTableColumn *columns[roleCount] = {&compression->data,  &compression->gzipData, &compression->rawData,
                                       &compression->scale, &compression->zero,     &compression->blank};
    for (int role = 0; role < roleCount; ++role)
        if (!locateColumn(table, end, found.columnIndex[role], role, found.rowBytes, columns[role], reason, room))
            return false;
    if (!compression->data.present && !compression->gzipData.present && !compression->rawData.present)
        return giveReason(reason, room, "The table has no COMPRESSED_DATA column: it holds no tiles of an image.");
    return true;
}

// Quantized floats and blanks; false with the reason for what the reader cannot restore.
bool readQuantization(const TableKeywords &found, TileCompression *compression, char *reason, size_t room) {
    const bool scaling = compression->scale.present || compression->zero.present || found.hasScale || found.hasZero;
    if (found.bitpix > 0 && scaling)
        return giveReason(reason, room,
                          "ZSCALE or ZZERO scales the integers of an image of ZBITPIX %lld: only floating-point images "
                          "are stored quantized.",
                          static_cast<long long>(found.bitpix));
    if (found.bitpix > 0 && compression->blank.present)
        return giveReason(reason, room,
                          "ZBLANK is a column: integer images whose blank differs from tile to tile cannot be read.");
    compression->quantized = found.bitpix < 0 && scaling;
    compression->methodNamed = found.hasQuantiz;
    if (found.hasQuantiz && !quantizationOf(found.quantiz, &compression->method))
        return giveReason(reason, room,
                          "ZQUANTIZ is '%s': NO_DITHER, SUBTRACTIVE_DITHER_1 and SUBTRACTIVE_DITHER_2 can be read.",
                          found.quantiz);
    compression->scaleValue = found.hasScale ? found.scale : 1.0;
    compression->zeroValue = found.hasZero ? found.zero : 0.0;
    compression->hasBlank = found.hasZblank || found.hasBlank;
    compression->blankValue = found.hasZblank ? found.zblank : found.blank;
    compression->ditherSeed = found.ditherSeed;
    return true;
}

// The table's own cards, which describe the table and its coding rather than the image.
bool isTableCard(const uint8_t *card) {
    return cardAmong(card,
                     {"XTENSION", "BITPIX  ", "NAXIS   ", "PCOUNT  ", "GCOUNT  ", "TFIELDS ", "THEAP   ", "ZIMAGE  ",
                      "ZQUANTIZ", "ZDITHER0", "ZCMPTYPE", "ZBLANK  ", "ZSCALE  ", "ZZERO   ", "CHECKSUM", "DATASUM ",
                      "SIMPLE  ", "EXTEND  "},
                     {"NAXIS", "TTYPE", "TFORM", "TUNIT", "TDIM", "TNULL", "TSCAL", "TZERO", "TDISP", "TBCOL", "ZTILE",
                      "ZNAME", "ZVAL"});
}

// The table's name, when its first EXTNAME is the one writers give the table itself: every
// EXTNAME card then goes, as other readers drop them.
bool namedCompressedImage(const HeaderCards &table, int32_t end) {
    char name[24];
    for (int32_t n = 0; n < end; ++n)
        if (cardHasKeyword(cardOf(table, n), "EXTNAME "))
            return stringValue(cardOf(table, n), name, sizeof name) && std::strcmp(name, "COMPRESSED_IMAGE") == 0;
    return false;
}

// A card of blanks only.
bool isBlankCard(const uint8_t *card) {
    for (int32_t column = 0; column < cardBytes; ++column)
        if (card[column] != ' ')
            return false;
    return true;
}

// The card under its image name when it is a Z keyword for one: ZNAXISn becomes NAXISn.
bool renamedCard(const uint8_t *card, uint8_t *renamed) {
    std::memcpy(renamed, card, cardBytes);
    if (int n = indexedKeyword(card, "ZNAXIS"); n > 0) {
        std::memcpy(renamed, card + 1, keywordColumns - 1);
        renamed[keywordColumns - 1] = ' ';
        return true;
    }
    for (const ZKeyword &pair : zKeywords)
        if (cardHasKeyword(card, pair.table)) {
            std::memcpy(renamed, pair.image, keywordColumns);
            return true;
        }
    return false;
}

bool isShapeKeyword(const uint8_t *card) {
    return cardHasKeyword(card, "ZBITPIX ") || cardHasKeyword(card, keywordZNAXIS) || indexedKeyword(card, "ZNAXIS") > 0;
}

// The image's header: its first card (SIMPLE for an image that was primary, else XTENSION),
// BITPIX and the axes, then the other cards in the table's order.
bool restoreHeader(const HeaderCards &table, int32_t end, const TableKeywords &found, HeaderCards *restored) {
    uint8_t card[cardBytes];
    bool primary = false;
    for (int32_t n = 0; n < end; ++n)
        primary = primary || cardHasKeyword(cardOf(table, n), "ZSIMPLE ");
    if (primary) {
        composeCard(card, keywordSIMPLE, "T");
    } else {
        composeCard(card, "XTENSION", "'IMAGE   '");
        for (int32_t n = 0; n < end; ++n)
            if (cardHasKeyword(cardOf(table, n), "ZTENSION"))
                renamedCard(cardOf(table, n), card);
    }
    if (!appendCard(restored, card))
        return false;
    // BITPIX, NAXIS, NAXIS1 … in that order, whatever order the table has them in.
    for (int axis = -1; axis <= found.naxis && axis <= largestAxis; ++axis)
        for (int32_t n = 0; n < end; ++n) {
            const uint8_t *source = cardOf(table, n);
            const bool wanted = axis == -1  ? cardHasKeyword(source, "ZBITPIX ")
                                : axis == 0 ? cardHasKeyword(source, keywordZNAXIS)
                                            : indexedKeyword(source, "ZNAXIS") == axis;
            if (wanted && renamedCard(source, card) && !appendCard(restored, card))
                return false;
            if (wanted)
                break;
        }
    const bool dropNames = namedCompressedImage(table, end);
    // Blank cards before END are room the table's writer left, not cards of the image.
    while (end > 0 && isBlankCard(cardOf(table, end - 1)))
        --end;
    for (int32_t n = 0; n < end; ++n) {
        const uint8_t *source = cardOf(table, n);
        if (isShapeKeyword(source) || isTableCard(source) || cardHasKeyword(source, "ZSIMPLE ") ||
            cardHasKeyword(source, "ZTENSION") ||
            (dropNames && cardHasKeyword(source, "EXTNAME ")))
            continue;
        renamedCard(source, card);
        if (!appendCard(restored, card))
            return false;
    }
    // An integer image's blank given as ZBLANK alone is its BLANK.
    if (found.bitpix > 0 && found.hasZblank && !found.hasBlank) {
        char value[24];
        std::snprintf(value, sizeof value, "%lld", static_cast<long long>(found.zblank));
        composeCard(card, keywordBLANK, value);
        if (!appendCard(restored, card))
            return false;
    }
    return appendEndCard(restored);
}

} // namespace

bool readTileTable(const HeaderCards &table, int32_t tableEnd, TileCompression *compression, HeaderCards *restored,
                   char *reason, size_t room) {
    reason[0] = '\0';
    *compression = TileCompression{};
    TableKeywords found{};
    found.bscale = 1.0;
    found.ditherSeed = 1;
    for (int32_t n = 0; n < tableEnd; ++n)
        takeTableCard(cardOf(table, n), &found);
    compression->compressed = true;
    if (!restoreHeader(table, tableEnd, found, restored))
        return false;
    if (readCodec(table, tableEnd, found, compression, reason, room) && readTiles(found, compression, reason, room) &&
        readLayout(found, compression, reason, room) && readColumns(table, tableEnd, found, compression, reason, room))
        readQuantization(found, compression, reason, room);
    return true;
}

void tilesAlongAxes(const ImageDescription &image, int64_t counts[3]) {
    const int64_t lengths[3] = {image.columns, image.rows, image.planes};
    for (int n = 0; n < 3; ++n) {
        const int64_t tile = image.compression.tile[n] > 0 ? image.compression.tile[n] : 1;
        counts[n] = (lengths[n] + tile - 1) / tile;
    }
}

void describeTileGrid(const ImageDescription &image, char *reason, size_t room) {
    const TileCompression &tiles = image.compression;
    int64_t counts[3];
    tilesAlongAxes(image, counts);
    reason[0] = '\0';
    if (counts[0] * counts[1] * counts[2] != tiles.tiles)
        std::snprintf(reason, room,
                      "The table holds %d tiles, but a %d x %d x %d image in tiles of %d x %d x %d takes %lld: the "
                      "file is damaged.",
                      tiles.tiles, image.columns, image.rows, image.planes, tiles.tile[0], tiles.tile[1],
                      tiles.tile[2], static_cast<long long>(counts[0] * counts[1] * counts[2]));
}
