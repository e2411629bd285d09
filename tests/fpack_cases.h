// What the tile-compression file tests share: repeatable pixels, the fpack modes' shape, and
// the edits that reach what fpack itself does not write.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fz_walker.h"
#include "tests/real_files.h"

// A repeatable number in [0, 1) for pixel `i`.
inline double noise(uint64_t i, uint64_t salt) {
    uint64_t x = i * 0x9E3779B97F4A7C15ull + salt * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 31)) * 0x94D049BB133111EBull;
    return static_cast<double>((x ^ (x >> 29)) >> 11) / 9007199254740992.0;
}

// Changes made to an .fz file after fpack, to reach what fpack does not write.
enum class Edit { none, smooth, dropQuantiz };

// The reference decoder: funpack, or imcopy where funpack 4.2.0 is wrong. For float images
// with tiles narrower than the image funpack writes each tile's pixels in tile order, one image
// row after another, while imcopy puts them in place. imcopy in turn gives undefined pixels the
// dequantized value of ZBLANK rather than NaN, so it judges only images without them.
enum class Oracle { funpack, imcopy };

struct Mode {
    const char *image; // a plain image of the test's, or another file it makes
    const char *flags; // fpack's
    Edit edit;
    Oracle oracle;
};

constexpr Edit none = Edit::none;
constexpr Oracle funpack = Oracle::funpack;

// The ZVALn keyword that goes with ZNAMEn = `name`.
inline std::string compressionKey(const WalkedHdu &hdu, const std::string &name) {
    for (int n = 1; n < 10; ++n)
        if (keyText(hdu, "ZNAME" + std::to_string(n)) == name)
            return "ZVAL" + std::to_string(n);
    return "ZVAL0";
}

// SMOOTH set to 1, or the ZQUANTIZ card turned into a comment (the old rule then applies).
inline bool applyEdit(const std::string &path, Edit edit) {
    std::vector<uint8_t> file = fileBytes(path);
    std::vector<WalkedHdu> hdus = walkHdus(file);
    std::string key = edit == Edit::smooth ? compressionKey(hdus.at(1), "SMOOTH") : "ZQUANTIZ";
    char card[81];
    std::snprintf(card, sizeof card, edit == Edit::smooth ? "%-8s= %20s%50s" : "COMMENT %s was here%61s", key.c_str(),
                  edit == Edit::smooth ? "1" : "", "");
    for (size_t at = 0; at + 80 <= file.size(); at += 80)
        if (std::memcmp(&file[at], (key + "        ").c_str(), 8) == 0) {
            std::memcpy(&file[at], card, 80);
            FILE *out = std::fopen(path.c_str(), "wb");
            bool written = out != nullptr && std::fwrite(file.data(), 1, file.size(), out) == file.size();
            return out != nullptr && std::fclose(out) == 0 && written;
        }
    return false;
}
