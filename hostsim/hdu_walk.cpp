// The host's own walk over a file's HDUs, card by card. Any bytes may come in: every header
// read is bounded, every size saturates, and each step moves at least one block forward and
// stops where the file, or the part of it the module reads, ends.
#include "hostsim/hdu_walk.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr int64_t cardSize = 80;
constexpr int64_t blockSize = 2880;
// The module's own bounds: the longest header it reads, the furthest byte it reaches, the
// largest value it holds from a card, the image sides and planes it opens.
constexpr int64_t largestHeaderBytes = 1000 * blockSize;
constexpr int64_t largestOffset = INT32_MAX;
constexpr int64_t largestValue = int64_t{1} << 40;
constexpr int largestAxis = 999;
constexpr int64_t largestSide = 32767;
constexpr int64_t largestPlanes = 24;

// What one header says of its HDU's kind and size; a keyword that occurs twice keeps its last value.
struct Structure {
    std::string kind, name; // XTENSION, EXTNAME
    bool hasBitpix = false, hasNaxis = false, groups = false, compressed = false;
    int64_t bitpix = 0, naxis = 0, pcount = 0, gcount = 1;
    std::vector<bool> hasAxis = std::vector<bool>(largestAxis + 1, false);
    std::vector<int64_t> axis = std::vector<int64_t>(largestAxis + 1, 0);
    // A tile-compressed table's image (ZBITPIX, ZNAXIS, ZNAXISn) and how its tiles are coded.
    bool hasZbitpix = false, hasZnaxis = false;
    int64_t zbitpix = 0, znaxis = 0;
    std::vector<int64_t> zaxis = std::vector<int64_t>(largestAxis + 1, -1);
    std::string coding, quantization;
    int64_t ditherSeed = 1, tile[4] = {0, 0, 0, 0};
    bool scaled = false;
};

bool isKeyword(const char *card, const char *keyword) { return std::memcmp(card, keyword, 8) == 0; }

// The first value column, 0-based, and the one after the last a number is read from.
constexpr int valueStart = 10;
constexpr int numberEnd = 30;

// An integer as the module reads it: blanks, a sign, then digits up to column 30, held to 2^40.
int64_t integerValue(const char *card) {
    int column = valueStart;
    while (column < numberEnd && card[column] == ' ')
        ++column;
    const bool negative = column < numberEnd && card[column] == '-';
    column += column < numberEnd && (card[column] == '-' || card[column] == '+') ? 1 : 0;
    int64_t value = 0;
    for (; column < numberEnd && card[column] >= '0' && card[column] <= '9'; ++column)
        value = value * 10 + (card[column] - '0') > largestValue ? largestValue : value * 10 + (card[column] - '0');
    return negative ? -value : value;
}

bool logicalValue(const char *card) {
    for (int column = valueStart; column < numberEnd; ++column)
        if (card[column] != ' ')
            return card[column] == 'T';
    return false;
}

// A string value without its trailing blanks; "" when the card holds none.
std::string stringValue(const char *card) {
    std::string text;
    if (card[valueStart] != '\'')
        return text;
    for (int column = valueStart + 1; column < cardSize; ++column) {
        if (card[column] == '\'' && (column + 1 == cardSize || card[++column] != '\''))
            break;
        text += card[column];
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

// n of an NAXISn card (1 to 999, without leading zeros as FITS writes it), 0 for any other keyword.
int axisNumber(const char *card) {
    if (std::memcmp(card, "NAXIS", 5) != 0 || card[5] == '0')
        return 0;
    int n = 0, column = 5;
    for (; column < 8 && card[column] >= '0' && card[column] <= '9'; ++column)
        n = n * 10 + (card[column] - '0');
    for (; column < 8; ++column)
        if (card[column] != ' ')
            return 0;
    return n;
}

// n of a keyword `stem` (5 or 6 letters) followed by n and blanks, 0 for any other keyword.
int indexOf(const char *card, const char *stem) {
    const int length = static_cast<int>(std::strlen(stem));
    if (std::memcmp(card, stem, static_cast<size_t>(length)) != 0 || card[length] == '0')
        return 0;
    int n = 0, column = length;
    for (; column < 8 && card[column] >= '0' && card[column] <= '9'; ++column)
        n = n * 10 + (card[column] - '0');
    for (int blank = column; blank < 8; ++blank)
        if (card[blank] != ' ')
            return 0;
    return column > length && n <= largestAxis ? n : 0;
}

// The cards of a tile-compressed table that say what its image is and how it is coded.
void takeCompressionCard(const char *card, Structure *found) {
    if (isKeyword(card, "ZBITPIX ")) {
        found->hasZbitpix = true;
        found->zbitpix = integerValue(card);
    } else if (isKeyword(card, "ZNAXIS  ")) {
        found->hasZnaxis = true;
        found->znaxis = integerValue(card);
    } else if (int n = indexOf(card, "ZNAXIS"); n > 0) {
        found->zaxis[n] = integerValue(card);
    } else if (int t = indexOf(card, "ZTILE"); t > 0 && t <= 3) {
        found->tile[t] = integerValue(card);
    } else if (isKeyword(card, "ZCMPTYPE")) {
        found->coding = stringValue(card);
    } else if (isKeyword(card, "ZQUANTIZ")) {
        found->quantization = stringValue(card);
    } else if (isKeyword(card, "ZDITHER0")) {
        found->ditherSeed = integerValue(card);
    } else if (isKeyword(card, "ZSCALE  ") || isKeyword(card, "ZZERO   ")) {
        found->scaled = true;
    } else if (indexOf(card, "TTYPE") > 0) {
        const std::string name = stringValue(card);
        found->scaled = found->scaled || name == "ZSCALE" || name == "ZZERO";
    }
}

void takeCard(const char *card, Structure *found) {
    if (isKeyword(card, "BITPIX  ")) {
        found->hasBitpix = true;
        found->bitpix = integerValue(card);
    } else if (isKeyword(card, "NAXIS   ")) {
        found->hasNaxis = true;
        found->naxis = integerValue(card);
    } else if (int n = axisNumber(card); n > 0) {
        found->hasAxis[n] = true;
        found->axis[n] = integerValue(card);
    } else if (isKeyword(card, "PCOUNT  ")) {
        found->pcount = integerValue(card);
    } else if (isKeyword(card, "GCOUNT  ")) {
        found->gcount = integerValue(card);
    } else if (isKeyword(card, "GROUPS  ")) {
        found->groups = logicalValue(card);
    } else if (isKeyword(card, "ZIMAGE  ")) {
        found->compressed = logicalValue(card);
    } else if (isKeyword(card, "EXTNAME ")) {
        found->name = stringValue(card);
    } else {
        takeCompressionCard(card, found);
    }
}

// The kind from the first card, as the module takes it; the rest from the cards after it.
Structure structureOf(const std::string &cards) {
    Structure found;
    found.kind = isKeyword(cards.data(), "XTENSION") ? stringValue(cards.data()) : "";
    for (size_t at = cardSize; at + cardSize <= cards.size(); at += cardSize)
        takeCard(cards.data() + at, &found);
    return found;
}

// No axes, or an axis of length 0 (NAXIS1 of random groups aside): no image here.
bool holdsImage(const Structure &found) {
    if (!found.hasNaxis || found.naxis < 1)
        return false;
    for (int n = 1; n <= found.naxis && n <= largestAxis; ++n)
        if (found.hasAxis[n] && found.axis[n] == 0 && !(n == 1 && found.groups))
            return false;
    return true;
}

bool isSide(const Structure &found, int n) {
    return found.hasAxis[n] && found.axis[n] >= 1 && found.axis[n] <= largestSide;
}

// Whether the module opens the image: 2 or 3 axes (further ones of length 1), sides and
// planes in range, a FITS BITPIX, and data within the part of the file it reaches.
bool opens(const Structure &found, int64_t dataStart) {
    const int64_t b = found.bitpix;
    if (found.groups || !found.hasNaxis || found.naxis < 2 || found.naxis > largestAxis || dataStart > largestOffset)
        return false;
    if (found.naxis >= 3 && (!found.hasAxis[3] || found.axis[3] < 1 || found.axis[3] > largestPlanes))
        return false;
    for (int n = 4; n <= found.naxis; ++n)
        if (!found.hasAxis[n] || found.axis[n] != 1)
            return false;
    return isSide(found, 1) && isSide(found, 2) && found.hasBitpix &&
           (b == 8 || b == 16 || b == 32 || b == 64 || b == -32 || b == -64);
}

// The image a tile-compressed table holds, as an image's header would describe it.
Structure compressedImage(const Structure &table) {
    Structure image;
    image.kind = "IMAGE";
    image.hasBitpix = table.hasZbitpix;
    image.bitpix = table.zbitpix;
    image.hasNaxis = table.hasZnaxis;
    image.naxis = table.znaxis;
    for (int n = 1; n <= largestAxis; ++n) {
        image.hasAxis[n] = table.zaxis[n] >= 0;
        image.axis[n] = table.zaxis[n] >= 0 ? table.zaxis[n] : 0;
    }
    return image;
}

// "RICE_1, 37 tiles of 53 x 1 pixels, lossless", as the module would read the tiles.
std::string compressionText(const Structure &table) {
    const int64_t columns = table.zaxis[1] > 0 ? table.zaxis[1] : 0;
    const int64_t tile1 = table.tile[1] > 0 ? table.tile[1] : columns;
    const int64_t tile2 = table.tile[2] > 0 ? table.tile[2] : 1;
    const int64_t tile3 = table.tile[3] > 0 ? table.tile[3] : 1;
    std::string text = table.coding + ", " + std::to_string(table.axis[2]) + " tiles of " + std::to_string(tile1) +
                       " x " + std::to_string(tile2) + (tile3 > 1 ? " x " + std::to_string(tile3) : "") + " pixels, ";
    if (!table.scaled || table.zbitpix > 0)
        return text + "lossless";
    if (table.quantization.empty())
        return text + "quantized, rounded (no ZQUANTIZ)";
    text += "quantized, " + table.quantization;
    return table.quantization.rfind("SUBTRACTIVE_DITHER", 0) == 0
               ? text + ", ZDITHER0 " + std::to_string(table.ditherSeed)
               : text;
}

// The data's bytes in whole blocks: |BITPIX| / 8 × GCOUNT × (PCOUNT + NAXIS1 × … × NAXISn),
// NAXIS1 left out for random groups; saturated far beyond any file, which ends the walk.
int64_t dataBytes(const Structure &found) {
    constexpr int64_t ceiling = int64_t{1} << 52;
    if (!found.hasNaxis || found.naxis < 1)
        return 0;
    int64_t count = 1;
    for (int n = 1; n <= found.naxis && n <= largestAxis; ++n) {
        const int64_t length = found.hasAxis[n] ? found.axis[n] : 0;
        if (n == 1 && found.groups)
            continue;
        if (length < 0 || !found.hasAxis[n])
            return 0;
        // A table of no rows still has its heap (PCOUNT) after them.
        count = length == 0 || count == 0 ? 0 : length > ceiling / count ? ceiling : count * length;
    }
    const int64_t groups = found.gcount > 0 ? found.gcount : 1;
    const int64_t extra = found.pcount > 0 ? found.pcount : 0;
    count = count + extra > ceiling / groups ? ceiling : (count + extra) * groups;
    const int64_t width = (found.bitpix < 0 ? -found.bitpix : found.bitpix) / 8;
    count = width > 0 && count > ceiling / width ? ceiling : count * width;
    return (count + blockSize - 1) / blockSize * blockSize;
}

void countSkipped(const Structure &found, ImageSource *source) {
    const bool table = found.kind == "BINTABLE" || found.kind == "A3DTABLE";
    if (table && found.compressed)
        ++source->compressedImages;
    else if (table)
        ++source->binaryTables;
    else if (found.kind == "TABLE")
        ++source->asciiTables;
    else if (found.kind == "IMAGE")
        ++(holdsImage(found) ? source->unreadImages : source->emptyImages);
    else
        ++source->others;
}

// The extensions from `offset` on, up to the first image the module opens.
bool walkExtensions(std::istream &file, int64_t offset, ImageSource *source) {
    std::string cards;
    for (int hdu = 1; offset <= largestOffset; ++hdu) {
        int64_t bytes = 0;
        if (!readHeaderAt(file, offset, &cards, &bytes) || !isKeyword(cards.data(), "XTENSION"))
            return false;
        const Structure found = structureOf(cards);
        if (found.kind == "IMAGE" && holdsImage(found) && opens(found, offset + bytes)) {
            source->hdu = hdu;
            source->headerStart = offset;
            source->name = found.name;
            return true;
        }
        const bool table = found.kind == "BINTABLE" || found.kind == "A3DTABLE";
        if (table && found.compressed && opens(compressedImage(found), offset + bytes)) {
            source->hdu = hdu;
            source->headerStart = offset;
            source->compression = compressionText(found);
            source->name = found.name == "COMPRESSED_IMAGE" ? "" : found.name;
            return true;
        }
        countSkipped(found, source);
        offset += bytes + dataBytes(found);
    }
    return false;
}

std::string countText(int count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A name from the file as plain printable text.
std::string printable(std::string text) {
    for (char &c : text)
        c = c >= ' ' && c <= '~' ? c : '?';
    return text;
}

} // namespace

bool readHeaderAt(std::istream &file, int64_t start, std::string *cards, int64_t *bytes) {
    cards->clear();
    file.clear();
    if (!file.seekg(start))
        return false;
    char card[cardSize];
    for (int64_t read = 0; read < largestHeaderBytes; read += cardSize) {
        if (!file.read(card, cardSize))
            return false;
        if (read > 0 && isKeyword(card, "END     ")) {
            *bytes = (read / blockSize + 1) * blockSize;
            return true;
        }
        cards->append(card, cardSize);
    }
    return false;
}

bool findImageSource(const std::string &path, ImageSource *source) {
    std::ifstream file(path, std::ios::binary);
    *source = ImageSource{};
    return file && findImageSource(file, source);
}

bool findImageSource(std::istream &file, ImageSource *source) {
    std::string cards;
    int64_t bytes = 0;
    *source = ImageSource{};
    if (!readHeaderAt(file, 0, &cards, &bytes) || !isKeyword(cards.data(), "SIMPLE  ") || cards[8] != '=')
        return false;
    const Structure primary = structureOf(cards);
    if (holdsImage(primary))
        return opens(primary, bytes);
    return walkExtensions(file, bytes + dataBytes(primary), source);
}

std::string sourceLine(const ImageSource &source) {
    if (source.hdu == 0)
        return "hdu         0 (primary)\n";
    std::vector<std::string> parts = {"an empty primary HDU"};
    const struct {
        int count;
        const char *one, *many;
    } skipped[] = {{source.binaryTables, "binary table", "binary tables"},
                   {source.asciiTables, "ASCII table", "ASCII tables"},
                   {source.compressedImages, "tile-compressed image", "tile-compressed images"},
                   {source.emptyImages, "empty image extension", "empty image extensions"},
                   {source.unreadImages, "image the module does not open", "images the module does not open"},
                   {source.others, "other extension", "other extensions"}};
    for (const auto &kind : skipped)
        if (kind.count > 0)
            parts.push_back(countText(kind.count, kind.one, kind.many));
    std::string line = "hdu         " + std::to_string(source.hdu) +
                       (source.compression.empty() ? " (image extension" : " (tile-compressed image");
    line += source.name.empty() ? ", after " : " '" + printable(source.name) + "', after ";
    for (size_t i = 0; i < parts.size(); ++i)
        line += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return line + ")\n";
}

namespace {

std::string kindText(const Structure &found, bool primary) {
    if (found.compressed)
        return "tile-compressed image";
    if (primary)
        return holdsImage(found) ? "image" : "empty primary";
    if (found.kind == "BINTABLE" || found.kind == "A3DTABLE")
        return "binary table";
    if (found.kind == "TABLE")
        return "ASCII table";
    if (found.kind == "IMAGE")
        return holdsImage(found) ? "image" : "empty image";
    return "'" + printable(found.kind) + "' extension";
}

} // namespace

std::string carriedLine(const std::string &path, const ImageSource &source) {
    std::ifstream file(path, std::ios::binary);
    file.seekg(0, std::ios::end);
    const int64_t size = file ? static_cast<int64_t>(file.tellg()) : 0;
    std::string cards, parts;
    int others = 0;
    int64_t offset = 0;
    for (int hdu = 0; offset < size; ++hdu) {
        int64_t bytes = 0;
        if (!readHeaderAt(file, offset, &cards, &bytes))
            return "carries     nothing: the file cannot be read to its end as FITS HDUs\n";
        const Structure found = structureOf(cards);
        offset += bytes + dataBytes(found);
        if (hdu == source.hdu)
            continue;
        ++others;
        parts += (parts.empty() ? "" : ", ") + std::to_string(hdu) +
                 (found.name.empty() ? "" : " '" + printable(found.name) + "'") + " (" + kindText(found, hdu == 0) + ")";
    }
    if (offset > size)
        return "carries     nothing: the file cannot be read to its end as FITS HDUs\n";
    if (others == 0)
        return "";
    return "carries     " + std::to_string(others) + (others == 1 ? " other HDU" : " other HDUs") +
           ", kept byte for byte on a save: " + parts + "\n";
}
