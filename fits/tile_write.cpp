// Writing a tile-compressed file: the samples a plain save would write, Rice-coded one image
// row to a tile, so that readers restore exactly what the plain save holds.
#include "fits/tile_write.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "fits/checksum.h"
#include "fits/fits.h"
#include "fits/header_format.h"
#include "fits/image_rows.h"
#include "fits/tile_codec_shared.h"
#include "fits/tile_table.h"
#include "host/file_access.h"
#include "platform/platform.h"

namespace {

constexpr int32_t riceBlockSize = 32;
constexpr int32_t descriptorBytes = 8; // a 1P descriptor: element count, heap offset

int32_t tilesOf(const FormatRecord *record) { return int32_t{record->imageSize.v} * record->planes; }

int32_t bytePixOf(const FormatRecord *record) { return record->depth == 16 ? 2 : 1; }

// Cards whose keywords the table's structure and coding own: an image header that carries one
// would make readers take the table for something else. Indexed keywords are taken loosely
// (TTYPE01 and ZVAL1000 too), so that no card a reader might take for one stays.
bool isReservedCard(const uint8_t *card) {
    return cardAmong(card,
                     {"XTENSION", "TFIELDS ", "THEAP   ", "ZIMAGE  ", "ZCMPTYPE", "ZQUANTIZ", "ZDITHER0", "ZSCALE  ",
                      "ZZERO   ", "ZBLANK  ", "ZSIMPLE ", "ZTENSION", "ZBITPIX ", "ZNAXIS  ", "ZEXTEND ", "ZBLOCKED",
                      "ZPCOUNT ", "ZGCOUNT ", "ZHECKSUM", "ZDATASUM"},
                     {"TTYPE", "TFORM", "TUNIT", "TDIM", "TNULL", "TSCAL", "TZERO", "TDISP", "TBCOL", "ZTILE", "ZNAME",
                      "ZVAL", "ZNAXIS"},
                     true);
}

// The table's header being composed: its cards, and where the values filled in later stand.
struct TableHeader {
    uint8_t *bytes;
    int32_t cards;
    int32_t capacity;
    int32_t pcount, tform; // card indexes
    bool checksums;
};

uint8_t *cardIn(TableHeader *table, int32_t n) { return table->bytes + int64_t{n} * cardBytes; }

void addCard(TableHeader *table, const char *keyword, const char *value) {
    if (table->cards < table->capacity)
        composeCard(cardIn(table, table->cards++), keyword, value);
}

void addCopy(TableHeader *table, const uint8_t *card, const char *keyword) {
    if (table->cards >= table->capacity)
        return;
    uint8_t *to = cardIn(table, table->cards++);
    std::memcpy(to, card, cardBytes);
    std::memcpy(to, keyword, keywordColumns);
}

// A FITS string value in columns 11 on.
void placeString(uint8_t *card, const char *text) {
    char quoted[72];
    std::snprintf(quoted, sizeof quoted, "'%-8s'", text);
    std::memset(card + valueFirstColumn - 1, ' ', valueColumns);
    std::memcpy(card + valueFirstColumn - 1, quoted, std::strlen(quoted));
}

void addString(TableHeader *table, const char *keyword, const char *text) {
    if (table->cards >= table->capacity)
        return;
    addCard(table, keyword, "''");
    placeString(cardIn(table, table->cards - 1), text);
}

// The table's header for the record's image, whose header (as a plain save writes it) is the
// `imageBlocks` blocks at `image`. False when memory ran out.
bool composeTableHeader(const uint8_t *image, int32_t imageBlocks, const FormatRecord *record, TableHeader *table) {
    const int32_t imageEnd = findEndCard(image, imageBlocks * cardsPerBlock);
    int64_t axes = 2;
    for (int32_t n = 0; n < imageEnd; ++n)
        if (cardHasKeyword(image + int64_t{n} * cardBytes, keywordNAXIS))
            axes = integerValue(image + int64_t{n} * cardBytes);
    axes = axes < 2 ? 2 : axes > 99 ? 99 : axes;
    *table = TableHeader{};
    table->capacity = (imageEnd + 30 + static_cast<int32_t>(axes) + cardsPerBlock) / cardsPerBlock * cardsPerBlock;
    table->bytes = static_cast<uint8_t *>(platformNewFixedBlock(static_cast<size_t>(table->capacity) * cardBytes));
    if (table->bytes == nullptr)
        return false;
    std::memset(table->bytes, ' ', static_cast<size_t>(table->capacity) * cardBytes);
    char text[24];
    addString(table, "XTENSION", "BINTABLE");
    addCard(table, keywordBITPIX, "8");
    addCard(table, keywordNAXIS, "2");
    addCard(table, keywordNAXIS1, "8");
    decimalText(tilesOf(record), text);
    addCard(table, keywordNAXIS2, text);
    table->pcount = table->cards;
    addCard(table, "PCOUNT  ", "0");
    addCard(table, "GCOUNT  ", "1");
    addCard(table, "TFIELDS ", "1");
    addString(table, "TTYPE1  ", "COMPRESSED_DATA");
    table->tform = table->cards;
    addString(table, "TFORM1  ", "1PB(0)");
    addCard(table, "ZIMAGE  ", "T");
    for (int64_t n = 1; n <= axes; ++n) {
        char keyword[24];
        std::snprintf(keyword, sizeof keyword, "ZTILE%-3d", static_cast<int>(n));
        decimalText(n == 1 ? record->imageSize.h : 1, text);
        addCard(table, keyword, text);
    }
    addString(table, "ZCMPTYPE", "RICE_1");
    addString(table, "ZNAME1  ", "BLOCKSIZE");
    decimalText(riceBlockSize, text);
    addCard(table, "ZVAL1   ", text);
    addString(table, "ZNAME2  ", "BYTEPIX");
    decimalText(bytePixOf(record), text);
    addCard(table, "ZVAL2   ", text);
    for (int32_t n = 0; n < imageEnd; ++n) {
        const uint8_t *card = image + int64_t{n} * cardBytes;
        table->checksums = table->checksums || cardHasKeyword(card, "CHECKSUM") || cardHasKeyword(card, "DATASUM ");
        if (int axis = axisNumber(card); axis > 0) {
            char keyword[24];
            std::snprintf(keyword, sizeof keyword, "ZNAXIS%-2d", axis % 100);
            if (axis < 100)
                addCopy(table, card, keyword);
            continue;
        }
        const ZKeyword *renamed = nullptr;
        for (const ZKeyword &form : zKeywords)
            renamed = cardHasKeyword(card, form.image) ? &form : renamed;
        if (renamed != nullptr)
            addCopy(table, card, renamed->table);
        else if (!isReservedCard(card))
            addCopy(table, card, reinterpret_cast<const char *>(card));
    }
    // The table's own checksums, when the image's header asks for them.
    if (table->checksums) {
        addString(table, "CHECKSUM", "0000000000000000");
        addString(table, "DATASUM ", "0");
    }
    if (table->cards < table->capacity)
        std::memcpy(cardIn(table, table->cards++), "END", 3);
    return true;
}

int32_t tableBlocks(const TableHeader &table) { return (table.cards + cardsPerBlock - 1) / cardsPerBlock; }

int64_t paddedBytes(int64_t bytes) { return (bytes + headerBlockSize - 1) / headerBlockSize * headerBlockSize; }

// The primary HDU: no data, extensions follow.
void composePrimary(uint8_t *block) {
    std::memset(block, ' ', headerBlockSize);
    composeCard(block, keywordSIMPLE, "T");
    composeCard(block + cardBytes, keywordBITPIX, "8");
    composeCard(block + 2 * cardBytes, keywordNAXIS, "0");
    composeCard(block + 3 * cardBytes, "EXTEND  ", "T");
    std::memcpy(block + 4 * cardBytes, "END", 3);
}

void writeAt(PluginGlobals *globals, int64_t position, int64_t count, const void *bytes) {
    if (globals->result != noErr)
        return;
    if (position > INT32_MAX) {
        globals->result = dskFulErr;
        return;
    }
    globals->result = fileSeek(globals->formatRecord->dataFork, platformSeekFromStart, static_cast<int32_t>(position));
    writeExactInPieces(globals, count, bytes);
}

// The rows' state while they are written.
struct HeapWriter {
    uint8_t *descriptors; // tiles × 8 bytes
    uint8_t *coded;       // one row, Rice-coded
    size_t codedRoom;
    int64_t heapBytes;
    int64_t longest;
    int64_t position; // the next heap byte's place in the file
    int64_t tiles;    // tiles written so far
    FitsChecksum heapSum;
    FitsChecksum imageSum; // of the samples as a plain save writes them
};

// One row of the host's as one Rice tile: coded, written to the heap, its descriptor noted.
void writeTileRow(PluginGlobals *globals, int16_t, void *context) {
    auto *heap = static_cast<HeapWriter *>(context);
    const FormatRecord *record = globals->formatRecord;
    encodeRow(globals, globals->rowSize, globals->rowBuffer);
    addChecksumBytes(&heap->imageSum, globals->rowBuffer, static_cast<size_t>(globals->rowSize));
    size_t written = 0;
    if (riceEncode(globals->rowBuffer, record->imageSize.h, bytePixOf(record), riceBlockSize, heap->coded,
                   heap->codedRoom, &written) != TileStatus::ok ||
        heap->heapBytes > INT32_MAX - (int64_t{1} << 20)) {
        globals->result = writErr;
        return;
    }
    writeAt(globals, heap->position, static_cast<int64_t>(written), heap->coded);
    addChecksumBytes(&heap->heapSum, heap->coded, written);
    uint8_t *descriptor = heap->descriptors + heap->tiles * descriptorBytes;
    storeBigEndian(descriptor, 4, static_cast<uint32_t>(written));
    storeBigEndian(descriptor + 4, 4, static_cast<uint32_t>(heap->heapBytes));
    ++heap->tiles;
    heap->heapBytes += static_cast<int64_t>(written);
    heap->position += static_cast<int64_t>(written);
    heap->longest = static_cast<int64_t>(written) > heap->longest ? static_cast<int64_t>(written) : heap->longest;
}

// The value columns of `from`'s card `keyword` into `to`'s card `renamed`.
void copyValue(const uint8_t *from, int32_t fromBlocks, const char *keyword, TableHeader *to, const char *renamed) {
    const int32_t end = findEndCard(from, fromBlocks * cardsPerBlock);
    for (int32_t n = 0; n < end; ++n)
        if (cardHasKeyword(from + int64_t{n} * cardBytes, keyword))
            for (int32_t m = 0; m < to->cards; ++m)
                if (cardHasKeyword(cardIn(to, m), renamed)) {
                    std::memcpy(cardIn(to, m) + valueFirstColumn - 1, from + int64_t{n} * cardBytes + valueFirstColumn - 1,
                                cardBytes - valueFirstColumn + 1);
                    return;
                }
}

} // namespace

int64_t compressedSaveBound(const FormatRecord *record, const SaveHeader &header, bool withPrimary) {
    TableHeader table{};
    if (!composeTableHeader(header.bytes, header.blocks, record, &table))
        return INT32_MAX;
    const int64_t tiles = tilesOf(record);
    const int64_t data = tiles * descriptorBytes +
                         tiles * static_cast<int64_t>(riceEncodeBound(record->imageSize.h, bytePixOf(record), riceBlockSize));
    const int64_t bound =
        (withPrimary ? headerBlockSize : 0) + int64_t{tableBlocks(table)} * headerBlockSize + paddedBytes(data);
    platformDisposeFixedBlock(table.bytes);
    return bound > INT32_MAX ? INT32_MAX : bound;
}

int64_t writeCompressedImage(PluginGlobals *globals, const SaveHeader &header, bool bottomUp, int64_t start,
                             bool withPrimary) {
    FormatRecord *record = globals->formatRecord;
    TableHeader table{};
    HeapWriter heap{};
    int64_t end = start;
    const int64_t tiles = tilesOf(record);
    heap.codedRoom = riceEncodeBound(record->imageSize.h, bytePixOf(record), riceBlockSize);
    heap.descriptors = static_cast<uint8_t *>(platformHeapAlloc(static_cast<size_t>(tiles * descriptorBytes) + 1));
    heap.coded = static_cast<uint8_t *>(platformHeapAlloc(heap.codedRoom + 1));
    if (heap.descriptors == nullptr || heap.coded == nullptr ||
        !composeTableHeader(header.bytes, header.blocks, record, &table)) {
        recordResult(globals, memFullErr);
    } else {
        std::memset(heap.descriptors, 0, static_cast<size_t>(tiles * descriptorBytes));
        uint8_t primary[headerBlockSize];
        composePrimary(primary);
        const int64_t tableStart = start + (withPrimary ? headerBlockSize : 0);
        const int64_t dataStart = tableStart + int64_t{tableBlocks(table)} * headerBlockSize;
        if (withPrimary)
            writeAt(globals, start, headerBlockSize, primary);
        writeAt(globals, tableStart, dataStart - tableStart, table.bytes);
        writeAt(globals, dataStart, tiles * descriptorBytes, heap.descriptors);
        heap.position = dataStart + tiles * descriptorBytes;
        if (globals->result == noErr)
            handOverRows(globals, bottomUp, nullptr, writeTileRow, &heap);
        // The data unit padded to whole blocks, then what only the written rows could tell.
        static const uint8_t zeros[headerBlockSize] = {};
        const int64_t dataBytes = tiles * descriptorBytes + heap.heapBytes;
        writeAt(globals, heap.position, paddedBytes(dataBytes) - dataBytes, zeros);
        writeAt(globals, dataStart, tiles * descriptorBytes, heap.descriptors);
        char text[32];
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(heap.heapBytes));
        placeValue(cardIn(&table, table.pcount), text);
        std::snprintf(text, sizeof text, "1PB(%lld)", static_cast<long long>(heap.longest));
        placeString(cardIn(&table, table.tform), text);
        if (table.checksums && globals->result == noErr) {
            // The image's sums as its plain save would carry them, under their Z names; then
            // the table's own, over descriptors and heap.
            uint8_t *image = static_cast<uint8_t *>(platformNewFixedBlock(static_cast<size_t>(header.blocks) * headerBlockSize));
            if (image == nullptr) {
                recordResult(globals, memFullErr);
            } else {
                std::memcpy(image, header.bytes, static_cast<size_t>(header.blocks) * headerBlockSize);
                stampChecksums(image, header.blocks, checksumValue(&heap.imageSum));
                copyValue(image, header.blocks, "CHECKSUM", &table, "ZHECKSUM");
                copyValue(image, header.blocks, "DATASUM ", &table, "ZDATASUM");
                platformDisposeFixedBlock(image);
                FitsChecksum descriptorSum{};
                addChecksumBytes(&descriptorSum, heap.descriptors, static_cast<size_t>(tiles * descriptorBytes));
                stampChecksums(table.bytes, tableBlocks(table),
                               addChecksums(checksumValue(&descriptorSum), checksumValue(&heap.heapSum)));
            }
        }
        writeAt(globals, tableStart, dataStart - tableStart, table.bytes);
        end = dataStart + paddedBytes(tiles * descriptorBytes + heap.heapBytes);
    }
    endRowHandOver(globals);
    platformDisposeFixedBlock(table.bytes);
    platformHeapFree(heap.descriptors);
    platformHeapFree(heap.coded);
    return end;
}
