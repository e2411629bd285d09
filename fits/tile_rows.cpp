// Decoding a tile-compressed image band by band: each tile is found through its descriptor,
// read from the heap by seeking to it, decoded, and put in its place among the band's rows as
// the samples an uncompressed image of the same BITPIX would store.
#include "fits/tile_rows.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fits/fits.h"
#include "fits/tile_codec_shared.h"
#include "fits/tile_table.h"
#include "host/file_access.h"
#include "platform/platform.h"

namespace {

// The most memory the table's rows may take: far more than any real image's tiles need (a
// 32767 × 32767 image in 16 × 16 tiles takes 34 MB), little enough to refuse a header that
// asks for absurd amounts.
constexpr int64_t largestTableBytes = int64_t{256} << 20;

// The most memory one band of decoded tiles (or one tile at 8 bytes a pixel) may take: whole
// images of 16 bits up to 16384 × 16384 pixels in a single tile.
constexpr int64_t largestBandBytes = int64_t{1} << 30;

// Tells what is wrong with the tiles, as `format` words it, and refuses the read.
__attribute__((format(printf, 2, 3))) bool refuseTile(PluginGlobals *globals, const char *format, ...);
bool refuseTile(PluginGlobals *globals, const char *format, ...) {
    char text[240];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return refuse(globals, "Tile Check", text, formatCannotRead);
}

// Memory of `bytes`, or null when that is more than one allocation can be here.
void *allocate(int64_t bytes) {
    if (bytes < 0 || bytes > INT32_MAX)
        return nullptr;
    return platformHeapAlloc(static_cast<size_t>(bytes) + 1);
}

// Makes *buffer hold at least `bytes`; false when memory ran out.
bool ensureRoom(uint8_t **buffer, size_t *room, int64_t bytes) {
    if (bytes >= 0 && static_cast<uint64_t>(bytes) <= *room && *buffer != nullptr)
        return true;
    platformHeapFree(*buffer);
    *buffer = static_cast<uint8_t *>(allocate(bytes));
    *room = *buffer != nullptr ? static_cast<size_t>(bytes) : 0;
    return *buffer != nullptr;
}

// A tile's place in the image and its extent, from its index (the table's row, from 0).
struct TilePlace {
    int32_t index;
    int32_t column, row, plane; // the tile's first pixel
    int32_t columns, rows, planes;
    int64_t pixels;
};

TilePlace placeTile(const ImageDescription &image, int32_t index) {
    int64_t counts[3];
    tilesAlongAxes(image, counts);
    const TileCompression &tiles = image.compression;
    TilePlace place{};
    place.index = index;
    place.column = static_cast<int32_t>(index % counts[0]) * tiles.tile[0];
    place.row = static_cast<int32_t>(index / counts[0] % counts[1]) * tiles.tile[1];
    place.plane = static_cast<int32_t>(index / (counts[0] * counts[1])) * tiles.tile[2];
    place.columns = tiles.tile[0] < image.columns - place.column ? tiles.tile[0] : image.columns - place.column;
    place.rows = tiles.tile[1] < image.rows - place.row ? tiles.tile[1] : image.rows - place.row;
    place.planes = tiles.tile[2] < image.planes - place.plane ? tiles.tile[2] : image.planes - place.plane;
    place.pixels = int64_t{place.columns} * place.rows * place.planes;
    return place;
}

// Where a tile's bytes are, by one of its array columns.
struct TileBytes {
    const TileTableColumn *column;
    int64_t offset; // from the heap's start
    int64_t bytes;
};

TileBytes cellBytes(const TileRows &rows, const TileCompression &tiles, int32_t index, const TileTableColumn &column) {
    TileBytes found{&column, 0, 0};
    if (!column.present)
        return found;
    const uint8_t *cell = rows.table + int64_t{index} * tiles.tableRowBytes + column.offset;
    const int width = column.descriptorBytes / 2;
    const uint64_t count = readBigEndian(cell, width);
    const uint64_t offset = readBigEndian(cell + width, width);
    // Counts and offsets beyond 2^62 are no heap's; they are kept negative to be refused.
    found.bytes = count > (uint64_t{1} << 59) ? -1 : static_cast<int64_t>(count) * column.elementBytes;
    found.offset = offset > (uint64_t{1} << 62) ? -1 : static_cast<int64_t>(offset);
    return found;
}

// The column that holds the tile: COMPRESSED_DATA, else the gzipped or the raw samples that
// writers fall back on for tiles they could not compress.
TileBytes tileBytes(const TileRows &rows, const TileCompression &tiles, int32_t index) {
    const TileTableColumn *const columns[] = {&tiles.data, &tiles.gzipData, &tiles.rawData};
    for (const TileTableColumn *column : columns) {
        TileBytes found = cellBytes(rows, tiles, index, *column);
        if (found.bytes != 0)
            return found;
    }
    return TileBytes{nullptr, 0, 0};
}

// The most compressed bytes a tile of `pixels` can take with any codec, with room to spare:
// more is a damaged descriptor, not a tile.
int64_t largestTileBytes(int64_t pixels) { return pixels * 16 + 65536; }

bool readTileBytes(PluginGlobals *globals, const ImageDescription &image, TileRows *rows, const TilePlace &place,
                   const TileBytes &where) {
    const TileCompression &tiles = image.compression;
    if (where.column == nullptr)
        return refuseTile(globals, "Tile %d of %d holds no data in any of its columns: the file is damaged.",
                          place.index + 1, tiles.tiles);
    if (where.bytes < 0 || where.offset < 0 || where.offset > tiles.heapBytes ||
        where.bytes > tiles.heapBytes - where.offset || where.bytes > largestTileBytes(place.pixels))
        return refuseTile(globals,
                          "Tile %d of %d lies outside the heap: its descriptor gives %lld bytes at %lld, and the heap "
                          "has %lld bytes.",
                          place.index + 1, tiles.tiles, static_cast<long long>(where.bytes),
                          static_cast<long long>(where.offset), static_cast<long long>(tiles.heapBytes));
    const int64_t position = int64_t{image.dataStart} + tiles.heapStart + where.offset;
    if (position > INT32_MAX - where.bytes)
        return refuseTile(globals, "Tile %d of %d starts %lld bytes into the file, beyond the 2 GB that can be read.",
                          place.index + 1, tiles.tiles, static_cast<long long>(position));
    if (!ensureRoom(&rows->compressed, &rows->compressedRoom, where.bytes))
        return recordResult(globals, memFullErr);
    if (!recordResult(globals,
                      fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, static_cast<int32_t>(position))))
        return false;
    readExactInPieces(globals, where.bytes, rows->compressed);
    return globals->result == noErr;
}

// The width of the integers a gzip member holds for `pixels`, from the inflated length its
// trailer records, as other readers infer it; `usual` when the trailer names none of them.
int32_t gzipWidth(const uint8_t *bytes, int64_t count, int64_t pixels, int32_t usual) {
    if (count < 18)
        return usual;
    const uint8_t *trailer = bytes + count - 4;
    const uint32_t inflated = uint32_t{trailer[0]} | uint32_t{trailer[1]} << 8 | uint32_t{trailer[2]} << 16 |
                              uint32_t{trailer[3]} << 24;
    if (static_cast<uint32_t>(pixels * usual) == inflated)
        return usual;
    for (int32_t width = 1; width <= 8; width *= 2)
        if (static_cast<uint32_t>(pixels * width) == inflated)
            return width;
    return usual;
}

// How one tile decodes: its codec and the width of the samples the codec gives.
struct TileDecoding {
    TileCodecParams params;
    int32_t width;
    bool quantized; // the samples are quantized floats
};

TileDecoding tileDecoding(const ImageDescription &image, const TileRows &rows, const TileBytes &where, int64_t pixels) {
    const TileCompression &tiles = image.compression;
    TileDecoding decoding{tiles.codec, image.bytesPerSample, false};
    if (where.column == &tiles.data) {
        decoding.quantized = tiles.quantized;
        // Quantized floats are 32-bit integers, whatever the image's width.
        if (tiles.quantized)
            decoding.width = 4;
    } else {
        decoding.params.codec = where.column == &tiles.gzipData ? TileCodec::gzip1 : TileCodec::none;
    }
    const TileCodec codec = decoding.params.codec;
    if ((codec == TileCodec::gzip1 || codec == TileCodec::gzip2) && (decoding.quantized || image.bitpix > 0))
        decoding.width = gzipWidth(rows.compressed, where.bytes, pixels, decoding.width);
    // A tile the writer did not compress holds samples of the column's own type, or the
    // image's samples as bytes.
    if (codec == TileCodec::none && where.column->type != 'B')
        decoding.width = where.column->elementBytes;
    return decoding;
}

void storeFloat(uint8_t *bytes, int32_t width, double value) {
    if (width == 4) {
        const float narrow = static_cast<float>(value);
        uint32_t bits = 0;
        std::memcpy(&bits, &narrow, sizeof bits);
        storeBigEndian(bytes, 4, bits);
    } else {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        storeBigEndian(bytes, 8, bits);
    }
}

double cellReal(const uint8_t *cell, const TileTableColumn &column) {
    const int32_t width = column.type == 'E' ? 4 : 8;
    return floatFromBits(readBigEndian(cell, width), width);
}

DequantizeParams dequantizing(const ImageDescription &image, const TileRows &rows, int32_t index) {
    const TileCompression &tiles = image.compression;
    const uint8_t *row = rows.table + int64_t{index} * tiles.tableRowBytes;
    DequantizeParams params{};
    params.method = tiles.methodNamed ? tiles.method : Quantization::noDither;
    params.scale = tiles.scale.present ? cellReal(row + tiles.scale.offset, tiles.scale) : tiles.scaleValue;
    params.zero = tiles.zero.present ? cellReal(row + tiles.zero.offset, tiles.zero) : tiles.zeroValue;
    params.hasBlank = tiles.blank.present || tiles.hasBlank;
    params.blank = tiles.blank.present ? loadSample(row + tiles.blank.offset, tiles.blank.elementBytes, 0) : tiles.blankValue;
    params.tileRow = int64_t{index} + 1;
    params.ditherSeed = tiles.ditherSeed;
    return params;
}

// Puts the decoded tile's samples in their places among the band's rows, at the image's width.
void placeSamples(const ImageDescription &image, TileRows *rows, const TilePlace &place, const TileDecoding &decoding) {
    const int32_t width = image.bytesPerSample;
    const bool floats = image.bitpix < 0;
    if (decoding.quantized)
        dequantizeTile(dequantizing(image, *rows, place.index), *rows->dither, rows->decoded, decoding.width, place.pixels,
                       rows->values);
    int64_t from = 0;
    for (int32_t plane = 0; plane < place.planes; ++plane)
        for (int32_t row = 0; row < place.rows; ++row) {
            const int64_t bandRow = int64_t{place.plane + plane - rows->bandPlane} * rows->bandRows +
                                    (place.row + row - rows->bandRow);
            uint8_t *to = rows->band + (bandRow * image.columns + place.column) * width;
            if (decoding.quantized) {
                for (int32_t c = 0; c < place.columns; ++c)
                    storeFloat(to + int64_t{c} * width, width, rows->values[from + c]);
            } else if (decoding.width == width || floats) {
                std::memcpy(to, rows->decoded + from * width, static_cast<size_t>(place.columns) * width);
            } else {
                for (int32_t c = 0; c < place.columns; ++c)
                    storeSample(to, width, c, loadSample(rows->decoded, decoding.width, from + c));
            }
            from += place.columns;
        }
}

bool decodeTileAt(PluginGlobals *globals, const ImageDescription &image, TileRows *rows, int32_t index) {
    const TilePlace place = placeTile(image, index);
    const TileBytes where = tileBytes(*rows, image.compression, index);
    if (!readTileBytes(globals, image, rows, place, where))
        return false;
    const TileDecoding decoding = tileDecoding(image, *rows, where, place.pixels);
    const TileShape shape{place.columns, place.rows * place.planes};
    TileStatus status = TileStatus::sizeDisagrees;
    // Raw floats come back as they are only at the image's own width.
    const bool usable = (decoding.width == 1 || decoding.width == 2 || decoding.width == 4 || decoding.width == 8) &&
                        (image.bitpix > 0 || decoding.quantized || decoding.width == image.bytesPerSample) &&
                        (!decoding.quantized || decoding.width <= 4);
    if (usable) {
        const size_t scratch = tileScratchBytes(decoding.params, shape, decoding.width);
        if (!ensureRoom(&rows->scratch, &rows->scratchRoom, static_cast<int64_t>(scratch)))
            return recordResult(globals, memFullErr);
        status = decodeTile(decoding.params, rows->compressed, static_cast<size_t>(where.bytes), shape, decoding.width,
                            rows->decoded, TileScratch{rows->scratch, rows->scratchRoom});
    }
    if (status == TileStatus::outOfMemory)
        return recordResult(globals, memFullErr);
    if (status != TileStatus::ok)
        return refuseTile(globals, "Tile %d of %d (%s) does not decompress: it %s.", index + 1, image.compression.tiles,
                          image.compression.kind, tileStatusText(status));
    placeSamples(image, rows, place, decoding);
    return true;
}

// Decodes the band of tiles that holds row `row` of plane `plane`.
bool loadBand(PluginGlobals *globals, const ImageDescription &image, TileRows *rows, int32_t plane, int32_t row) {
    const TileCompression &tiles = image.compression;
    int64_t counts[3];
    tilesAlongAxes(image, counts);
    const int32_t planeTile = plane / tiles.tile[2], rowTile = row / tiles.tile[1];
    const TilePlace first = placeTile(image, static_cast<int32_t>((planeTile * counts[1] + rowTile) * counts[0]));
    rows->bandRows = first.rows;
    rows->bandPlanes = first.planes;
    rows->bandRow = first.row;
    rows->bandPlane = first.plane;
    for (int32_t column = 0; column < counts[0]; ++column)
        if (!decodeTileAt(globals, image, rows, first.index + column)) {
            // A band that did not decode whole hands out no row.
            rows->bandPlane = -1;
            return false;
        }
    return true;
}

} // namespace

bool beginTileRows(PluginGlobals *globals, const ImageDescription &image, TileRows *rows) {
    *rows = TileRows{};
    rows->bandPlane = -1;
    const TileCompression &tiles = image.compression;
    int64_t counts[3];
    tilesAlongAxes(image, counts);
    const int64_t tableBytes = int64_t{tiles.tableRowBytes} * tiles.tiles;
    if (tiles.tile[0] < 1 || tiles.tile[1] < 1 || tiles.tile[2] < 1 || counts[0] * counts[1] * counts[2] != tiles.tiles)
        return recordResult(globals, formatBadParameters);
    if (tableBytes > largestTableBytes)
        return refuseTile(globals, "The table of %d tiles takes %lld bytes, more than the %lld MB that are read.",
                          tiles.tiles, static_cast<long long>(tableBytes),
                          static_cast<long long>(largestTableBytes >> 20));
    const int64_t tilePixels = int64_t{tiles.tile[0]} * tiles.tile[1] * tiles.tile[2];
    const int64_t bandBytes = int64_t{image.columns} * tiles.tile[1] * tiles.tile[2] * image.bytesPerSample;
    if (tilePixels * 8 > largestBandBytes || bandBytes > largestBandBytes)
        return refuseTile(globals,
                          "Tiles of %d x %d x %d pixels take more than the %lld MB of memory that a band of tiles may "
                          "have.",
                          tiles.tile[0], tiles.tile[1], tiles.tile[2], static_cast<long long>(largestBandBytes >> 20));
    rows->table = static_cast<uint8_t *>(allocate(tableBytes));
    rows->band = static_cast<uint8_t *>(allocate(bandBytes));
    rows->decoded = static_cast<uint8_t *>(allocate(tilePixels * 8));
    if (tiles.quantized)
        rows->values = static_cast<double *>(allocate(tilePixels * static_cast<int64_t>(sizeof(double))));
    if (tiles.quantized)
        rows->dither = static_cast<DitherTable *>(allocate(sizeof(DitherTable)));
    if (rows->table == nullptr || rows->band == nullptr || rows->decoded == nullptr ||
        (tiles.quantized && (rows->values == nullptr || rows->dither == nullptr)))
        return recordResult(globals, memFullErr);
    if (rows->dither != nullptr)
        fillDitherTable(rows->dither);
    if (!recordResult(globals, fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, image.dataStart)))
        return false;
    readExactInPieces(globals, tableBytes, rows->table);
    return globals->result == noErr;
}

bool nextTileRow(PluginGlobals *globals, const ImageDescription &image, TileRows *rows, uint8_t *row) {
    if (image.rows < 1 || image.planes < 1 || image.columns < 1)
        return recordResult(globals, formatBadParameters);
    const int32_t plane = rows->next / image.rows, within = rows->next % image.rows;
    if (plane >= image.planes)
        return recordResult(globals, eofErr);
    const bool inBand = rows->bandPlane >= 0 && plane >= rows->bandPlane && plane < rows->bandPlane + rows->bandPlanes &&
                        within >= rows->bandRow && within < rows->bandRow + rows->bandRows;
    if (!inBand && !loadBand(globals, image, rows, plane, within))
        return false;
    const int64_t rowBytes = int64_t{image.columns} * image.bytesPerSample;
    const int64_t bandRow = int64_t{plane - rows->bandPlane} * rows->bandRows + (within - rows->bandRow);
    std::memcpy(row, rows->band + bandRow * rowBytes, static_cast<size_t>(rowBytes));
    ++rows->next;
    return true;
}

void endTileRows(TileRows *rows) {
    platformHeapFree(rows->table);
    platformHeapFree(rows->band);
    platformHeapFree(rows->compressed);
    platformHeapFree(rows->decoded);
    platformHeapFree(rows->values);
    platformHeapFree(rows->scratch);
    platformHeapFree(rows->dither);
    *rows = TileRows{};
}
