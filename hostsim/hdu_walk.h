// Which HDU of a FITS file holds the image the module opens. The host sees the module only
// through the plug-in interface, which does not tell, so it walks the file itself by the
// module's rule: the primary HDU when it holds an image, else the first IMAGE extension that
// holds one the module reads, every other HDU skipped by the size of its data.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

// The image's HDU and what the walk passed on its way there.
struct ImageSource {
    int hdu = 0;             // 0 for the primary HDU
    int64_t headerStart = 0; // where its header starts in the file
    std::string name;        // its EXTNAME, "" when it has none
    // For an image held in a tile-compressed table: its ZCMPTYPE, tiles and quantization, as
    // info tells them; "" for an image stored plain.
    std::string compression;
    // The extensions skipped before it (after an empty primary HDU, when hdu > 0).
    int binaryTables = 0, asciiTables = 0, compressedImages = 0, emptyImages = 0, unreadImages = 0, others = 0;
};

// The cards before END of the header at `start` (80 characters each), and in `bytes` the
// header's size in whole blocks. False when the file ends before END, or END does not come
// within the 1,000 blocks the module reads.
bool readHeaderAt(std::istream &file, int64_t start, std::string *cards, int64_t *bytes);

// False when the host cannot walk `path` (or the bytes of `file`) to an image that the module
// would open.
bool findImageSource(const std::string &path, ImageSource *source);
bool findImageSource(std::istream &file, ImageSource *source);

// info's line, e.g. "hdu         2 (image extension 'SCI', after an empty primary HDU and 1 binary table)".
std::string sourceLine(const ImageSource &source);

// info's line on the HDUs other than the image's, which a save of the image carries over, e.g.
// "carries     2 other HDUs, kept byte for byte on a save: 0 (empty primary), 2 'ERR' (image)";
// "" for a file of one HDU.
std::string carriedLine(const std::string &path, const ImageSource &source);
