// A small FITS walker for the codec tests: each HDU's keywords and data, and of a tile-compressed
// image the compressed bytes of each tile. Independent of the module's reader on purpose.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

struct WalkedHdu {
    std::map<std::string, std::string> keys; // values as written, strings without quotes
    size_t dataStart;
    size_t dataBytes; // with the heap of a table
};

inline std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The value of a card's columns 11-80: a quoted string or the text before any comment.
inline std::string cardValue(const std::string &field) {
    std::string text = trimmed(field);
    if (!text.empty() && text[0] == '\'') {
        std::string value;
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] == '\'' && i + 1 < text.size() && text[i + 1] == '\'') {
                value += '\'';
                ++i;
            } else if (text[i] == '\'') {
                break;
            } else {
                value += text[i];
            }
        }
        return trimmed(value);
    }
    return trimmed(text.substr(0, text.find('/')));
}

inline int64_t keyInteger(const WalkedHdu &hdu, const std::string &key, int64_t absent) {
    auto found = hdu.keys.find(key);
    return found == hdu.keys.end() ? absent : std::strtoll(found->second.c_str(), nullptr, 10);
}

inline double keyReal(const WalkedHdu &hdu, const std::string &key, double absent) {
    auto found = hdu.keys.find(key);
    return found == hdu.keys.end() ? absent : std::strtod(found->second.c_str(), nullptr);
}

inline std::string keyText(const WalkedHdu &hdu, const std::string &key) {
    auto found = hdu.keys.find(key);
    return found == hdu.keys.end() ? std::string() : found->second;
}

inline std::vector<WalkedHdu> walkHdus(const std::vector<uint8_t> &file) {
    std::vector<WalkedHdu> hdus;
    size_t at = 0;
    while (at + 2880 <= file.size()) {
        WalkedHdu hdu{};
        bool ended = false;
        for (; !ended && at + 80 <= file.size(); at += 80) {
            std::string card(reinterpret_cast<const char *>(&file[at]), 80);
            std::string key = trimmed(card.substr(0, 8));
            ended = key == "END";
            if (card.compare(8, 2, "= ") == 0)
                hdu.keys[key] = cardValue(card.substr(10));
        }
        at = (at + 2879) / 2880 * 2880;
        int64_t elements = keyInteger(hdu, "NAXIS", 0) > 0 ? 1 : 0;
        for (int64_t n = 1; n <= keyInteger(hdu, "NAXIS", 0); ++n)
            elements *= keyInteger(hdu, "NAXIS" + std::to_string(n), 0);
        int64_t bits = std::llabs(keyInteger(hdu, "BITPIX", 8));
        hdu.dataStart = at;
        hdu.dataBytes =
            static_cast<size_t>(bits / 8 * keyInteger(hdu, "GCOUNT", 1) * (keyInteger(hdu, "PCOUNT", 0) + elements));
        at += (hdu.dataBytes + 2879) / 2880 * 2880;
        hdus.push_back(hdu);
    }
    return hdus;
}

// A binary-table column: where it sits in a row, and for arrays the element size.
struct TableColumn {
    bool found;
    size_t offset;
    char type;           // the TFORM letter, or the array's element letter
    bool array;          // P or Q descriptor
    bool longDescriptor; // Q
};

inline size_t formWidth(char letter) {
    switch (letter) {
    case 'L':
    case 'B':
    case 'A': return 1;
    case 'I': return 2;
    case 'J':
    case 'E': return 4;
    case 'K':
    case 'D':
    case 'C':
    case 'P': return 8;
    case 'M':
    case 'Q': return 16;
    default: return 0;
    }
}

inline TableColumn findColumn(const WalkedHdu &hdu, const std::string &name) {
    size_t offset = 0;
    for (int64_t n = 1; n <= keyInteger(hdu, "TFIELDS", 0); ++n) {
        std::string form = keyText(hdu, "TFORM" + std::to_string(n));
        size_t letterAt = form.find_first_not_of("0123456789");
        int64_t repeat = letterAt == 0 ? 1 : std::strtoll(form.c_str(), nullptr, 10);
        char letter = letterAt == std::string::npos ? 'B' : form[letterAt];
        bool array = letter == 'P' || letter == 'Q';
        if (keyText(hdu, "TTYPE" + std::to_string(n)) == name)
            return TableColumn{true, offset, array ? form[letterAt + 1] : letter, array, letter == 'Q'};
        offset += static_cast<size_t>(repeat) * formWidth(letter);
    }
    return TableColumn{false, 0, 0, false, false};
}

inline uint64_t bigEndianAt(const std::vector<uint8_t> &file, size_t at, int bytes) {
    uint64_t value = 0;
    for (int b = 0; b < bytes; ++b)
        value = (value << 8) | file[at + b];
    return value;
}

// The bytes of row `row` (from 0) of an array column, empty when it holds none.
inline std::vector<uint8_t> arrayCell(const std::vector<uint8_t> &file, const WalkedHdu &hdu, const TableColumn &column,
                                      int64_t row) {
    if (!column.found)
        return {};
    size_t cell = hdu.dataStart + static_cast<size_t>(row * keyInteger(hdu, "NAXIS1", 0)) + column.offset;
    int width = column.longDescriptor ? 8 : 4;
    uint64_t count = bigEndianAt(file, cell, width);
    uint64_t offset = bigEndianAt(file, cell + width, width);
    size_t heap =
        hdu.dataStart +
        static_cast<size_t>(keyInteger(hdu, "THEAP", keyInteger(hdu, "NAXIS1", 0) * keyInteger(hdu, "NAXIS2", 0)));
    size_t start = heap + offset;
    size_t bytes = count * formWidth(column.type);
    return std::vector<uint8_t>(file.begin() + static_cast<long>(start),
                                file.begin() + static_cast<long>(start + bytes));
}

// A scalar double column's value in row `row`.
inline double doubleCell(const std::vector<uint8_t> &file, const WalkedHdu &hdu, const TableColumn &column,
                         int64_t row) {
    size_t cell = hdu.dataStart + static_cast<size_t>(row * keyInteger(hdu, "NAXIS1", 0)) + column.offset;
    uint64_t bits = bigEndianAt(file, cell, 8);
    double value = 0;
    static_assert(sizeof value == sizeof bits, "IEEE doubles");
    __builtin_memcpy(&value, &bits, sizeof value);
    return value;
}

// A scalar integer column's value in row `row`.
inline int64_t integerCell(const std::vector<uint8_t> &file, const WalkedHdu &hdu, const TableColumn &column,
                           int64_t row) {
    size_t cell = hdu.dataStart + static_cast<size_t>(row * keyInteger(hdu, "NAXIS1", 0)) + column.offset;
    int bytes = static_cast<int>(formWidth(column.type));
    uint64_t bits = bigEndianAt(file, cell, bytes);
    return bytes == 2   ? static_cast<int16_t>(bits)
           : bytes == 4 ? static_cast<int32_t>(bits)
                        : static_cast<int64_t>(bits);
}
