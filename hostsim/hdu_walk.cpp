// The host's own walk over a file's HDUs, card by card. Any bytes may come in: every header
// read is bounded, every size saturates, and each step moves at least one block forward and
// stops where the file, or the part of it the module reads, ends.
#include "hostsim/hdu_walk.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <vector>

#include "fits/hdu_keywords.h"

namespace {

// The furthest byte the module reaches: it seeks with 32-bit offsets.
constexpr int64_t largestOffset = INT32_MAX;

const uint8_t *cardAt(const std::string &cards, size_t at) { return reinterpret_cast<const uint8_t *>(cards.data()) + at; }

// A string value without its trailing blanks; "" when the card holds none.
std::string textValue(const uint8_t *card) {
    char text[cardBytes] = "";
    stringValue(card, text, sizeof text);
    return text;
}

// What one header says of its HDU, read as the module reads it, and what info names it by.
struct Structure {
    std::string kind, name; // XTENSION, EXTNAME
    HeaderKeywords found;
    // A tile-compressed table's image, from its ZBITPIX, ZNAXIS and ZNAXISn, and how its tiles are coded.
    HeaderKeywords image;
    std::string coding, quantization;
    int64_t ditherSeed = 1, tile[4] = {0, 0, 0, 0};
    bool scaled = false;
};

// ZBITPIX, ZNAXIS and ZNAXISn say of a table's image what BITPIX, NAXIS and NAXISn say of an
// image's: `plain` becomes the image's card. False for any other card.
bool imageCardOf(const uint8_t *card, uint8_t *plain) {
    if (card[0] != 'Z')
        return false;
    std::memcpy(plain, card + 1, keywordColumns - 1);
    plain[keywordColumns - 1] = ' ';
    std::memcpy(plain + keywordColumns, card + keywordColumns, cardBytes - keywordColumns);
    return cardHasKeyword(plain, keywordBITPIX) || cardHasKeyword(plain, keywordNAXIS) || axisNumber(plain) > 0;
}

// The cards of a tile-compressed table that say what its image is and how its tiles are coded.
void takeCompressionCard(const uint8_t *card, Structure *found) {
    uint8_t plain[cardBytes];
    bool ignored = false;
    if (imageCardOf(card, plain))
        takeKeyword(plain, &found->image, &ignored, &ignored);
    else if (int t = indexedKeyword(card, "ZTILE"); t > 0 && t <= 3)
        found->tile[t] = integerValue(card);
    else if (cardHasKeyword(card, "ZCMPTYPE"))
        found->coding = textValue(card);
    else if (cardHasKeyword(card, "ZQUANTIZ"))
        found->quantization = textValue(card);
    else if (cardHasKeyword(card, "ZDITHER0"))
        found->ditherSeed = integerValue(card);
    else if (cardHasKeyword(card, "ZSCALE  ") || cardHasKeyword(card, "ZZERO   "))
        found->scaled = true;
    else if (indexedKeyword(card, "TTYPE") > 0)
        found->scaled = found->scaled || textValue(card) == "ZSCALE" || textValue(card) == "ZZERO";
}

// The kind from the first card, as the module takes it; the rest from the cards after it.
Structure structureOf(const std::string &cards) {
    Structure found;
    HeaderEnd end{};
    takeCards(cardAt(cards, 0), static_cast<int32_t>(cards.size() / cardBytes), &found.found, &end);
    startKeywords(&found.image);
    found.kind = cardHasKeyword(cardAt(cards, 0), "XTENSION") ? textValue(cardAt(cards, 0)) : "";
    for (size_t at = cardBytes; at + cardBytes <= cards.size(); at += cardBytes) {
        if (cardHasKeyword(cardAt(cards, at), "EXTNAME "))
            found.name = textValue(cardAt(cards, at));
        else
            takeCompressionCard(cardAt(cards, at), &found);
    }
    return found;
}

// Whether the module opens the image its data start at `dataStart`, within the part of the file it reaches.
bool opens(const HeaderKeywords &found, int64_t dataStart) {
    char reason[240];
    describeUnsupported(found, reason, sizeof reason);
    return reason[0] == '\0' && dataStart <= largestOffset;
}

// "RICE_1, 37 tiles of 53 x 1 pixels, lossless", as the module would read the tiles.
std::string compressionText(const Structure &table) {
    const int64_t columns = table.image.axis[1] > 0 ? table.image.axis[1] : 0;
    const int64_t tile1 = table.tile[1] > 0 ? table.tile[1] : columns;
    const int64_t tile2 = table.tile[2] > 0 ? table.tile[2] : 1;
    const int64_t tile3 = table.tile[3] > 0 ? table.tile[3] : 1;
    std::string text = table.coding + ", " + std::to_string(table.found.axis[2]) + " tiles of " + std::to_string(tile1) +
                       " x " + std::to_string(tile2) + (tile3 > 1 ? " x " + std::to_string(tile3) : "") + " pixels, ";
    if (!table.scaled || table.image.bitpix > 0)
        return text + "lossless";
    if (table.quantization.empty())
        return text + "quantized, rounded (no ZQUANTIZ)";
    text += "quantized, " + table.quantization;
    return table.quantization.rfind("SUBTRACTIVE_DITHER", 0) == 0
               ? text + ", ZDITHER0 " + std::to_string(table.ditherSeed)
               : text;
}

void countSkipped(const Structure &found, ImageSource *source) {
    const bool table = found.kind == "BINTABLE" || found.kind == "A3DTABLE";
    if (table && found.found.compressedImage)
        ++source->compressedImages;
    else if (table)
        ++source->binaryTables;
    else if (found.kind == "TABLE")
        ++source->asciiTables;
    else if (found.kind == "IMAGE")
        ++(holdsImage(found.found) ? source->unreadImages : source->emptyImages);
    else
        ++source->others;
}

// The extensions from `offset` on, up to the first image the module opens.
bool walkExtensions(std::istream &file, int64_t offset, ImageSource *source) {
    std::string cards;
    for (int hdu = 1; offset <= largestOffset; ++hdu) {
        int64_t bytes = 0;
        if (!readHeaderAt(file, offset, &cards, &bytes) || !cardHasKeyword(cardAt(cards, 0), "XTENSION"))
            return false;
        const Structure found = structureOf(cards);
        if (found.kind == "IMAGE" && holdsImage(found.found) && opens(found.found, offset + bytes)) {
            source->hdu = hdu;
            source->headerStart = offset;
            source->name = found.name;
            return true;
        }
        if (found.kind == "BINTABLE" && found.found.compressedImage && opens(found.image, offset + bytes)) {
            source->hdu = hdu;
            source->headerStart = offset;
            source->compression = compressionText(found);
            source->name = found.name == "COMPRESSED_IMAGE" ? "" : found.name;
            return true;
        }
        countSkipped(found, source);
        offset += bytes + paddedDataBytes(found.found);
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
    char card[cardBytes];
    for (int64_t read = 0; read < int64_t{maxReadHeaderBlocks} * headerBlockSize; read += cardBytes) {
        if (!file.read(card, cardBytes))
            return false;
        if (read > 0 && cardHasKeyword(reinterpret_cast<const uint8_t *>(card), keywordEND)) {
            *bytes = (read / headerBlockSize + 1) * headerBlockSize;
            return true;
        }
        cards->append(card, cardBytes);
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
    if (!readHeaderAt(file, 0, &cards, &bytes) || !isSimpleCard(cardAt(cards, 0)))
        return false;
    const Structure primary = structureOf(cards);
    if (holdsImage(primary.found))
        return opens(primary.found, bytes);
    return walkExtensions(file, bytes + paddedDataBytes(primary.found), source);
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
    if (found.found.compressedImage)
        return "tile-compressed image";
    if (primary)
        return holdsImage(found.found) ? "image" : "empty primary";
    if (found.kind == "BINTABLE" || found.kind == "A3DTABLE")
        return "binary table";
    if (found.kind == "TABLE")
        return "ASCII table";
    if (found.kind == "IMAGE")
        return holdsImage(found.found) ? "image" : "empty image";
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
        offset += bytes + paddedDataBytes(found.found);
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
