// A small FITS walker for the codec tests: each HDU's keywords and where its data start, and of a
// binary table the cells of a row. Independent of the module's reader on purpose.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

struct WalkedHdu {
    std::map<std::string, std::string> keys; // values as written, strings without quotes
    size_t dataStart;
};

inline std::string trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

inline int64_t keyInteger(const WalkedHdu &hdu, const std::string &key, int64_t absent) {
    auto found = hdu.keys.find(key);
    return found == hdu.keys.end() ? absent : std::strtoll(found->second.c_str(), nullptr, 10);
}

inline std::string keyText(const WalkedHdu &hdu, const std::string &key) {
    auto found = hdu.keys.find(key);
    return found == hdu.keys.end() ? std::string() : found->second;
}

inline std::vector<WalkedHdu> walkHdus(const std::vector<uint8_t> &file) {
    std::vector<WalkedHdu> hdus;
    for (size_t at = 0; at + 2880 <= file.size();) {
        WalkedHdu hdu{};
        for (bool ended = false; !ended && at + 80 <= file.size(); at += 80) {
            std::string card(reinterpret_cast<const char *>(&file[at]), 80);
            ended = card.compare(0, 8, "END     ") == 0;
            std::string value = trimmed(card.substr(10));
            if (card.compare(8, 2, "= ") == 0)
                hdu.keys[trimmed(card.substr(0, 8))] = value[0] == '\''
                                                           ? trimmed(value.substr(1, value.find('\'', 1) - 1))
                                                           : trimmed(value.substr(0, value.find('/')));
        }
        hdu.dataStart = at = (at + 2879) / 2880 * 2880;
        int64_t elements = keyInteger(hdu, "NAXIS", 0) > 0 ? 1 : 0;
        for (int64_t n = 1; n <= keyInteger(hdu, "NAXIS", 0); ++n)
            elements *= keyInteger(hdu, "NAXIS" + std::to_string(n), 0);
        int64_t bytes = std::llabs(keyInteger(hdu, "BITPIX", 8)) / 8 * (keyInteger(hdu, "PCOUNT", 0) + elements);
        at += static_cast<size_t>(bytes + 2879) / 2880 * 2880;
        hdus.push_back(hdu);
    }
    return hdus;
}

// A binary-table column: where it sits in a row, its type letter (an array's element type), and
// whether it holds array descriptors of 32 or 64 bits.
struct TableColumn {
    bool found;
    size_t offset;
    char type;
    int descriptorBytes; // 0 for scalars
};

inline size_t formWidth(char letter) {
    switch (letter) {
    case 'I': return 2;
    case 'J':
    case 'E': return 4;
    case 'K':
    case 'D':
    case 'P': return 8;
    case 'Q': return 16;
    default: return 1;
    }
}

inline TableColumn findColumn(const WalkedHdu &hdu, const std::string &name) {
    size_t offset = 0;
    for (int64_t n = 1; n <= keyInteger(hdu, "TFIELDS", 0); ++n) {
        std::string form = keyText(hdu, "TFORM" + std::to_string(n));
        size_t letter = form.find_first_not_of("0123456789");
        int64_t repeat = letter == 0 ? 1 : std::strtoll(form.c_str(), nullptr, 10);
        bool array = form[letter] == 'P' || form[letter] == 'Q';
        if (keyText(hdu, "TTYPE" + std::to_string(n)) == name)
            return TableColumn{true, offset, form[letter + (array ? 1 : 0)], array ? form[letter] == 'Q' ? 8 : 4 : 0};
        offset += static_cast<size_t>(repeat) * formWidth(form[letter]);
    }
    return TableColumn{false, 0, 0, 0};
}

inline uint64_t bigEndianAt(const std::vector<uint8_t> &file, size_t at, size_t bytes) {
    uint64_t value = 0;
    for (size_t b = 0; b < bytes; ++b)
        value = (value << 8) | file[at + b];
    return value;
}

inline size_t cellStart(const WalkedHdu &hdu, const TableColumn &column, int64_t row) {
    return hdu.dataStart + static_cast<size_t>(row * keyInteger(hdu, "NAXIS1", 0)) + column.offset;
}

// The bits of a scalar cell in row `row` (from 0).
inline uint64_t scalarCell(const std::vector<uint8_t> &file, const WalkedHdu &hdu, const TableColumn &column,
                           int64_t row) {
    return bigEndianAt(file, cellStart(hdu, column, row), formWidth(column.type));
}

// The bytes of an array cell in row `row`, empty when the column is absent or the cell holds none.
inline std::vector<uint8_t> arrayCell(const std::vector<uint8_t> &file, const WalkedHdu &hdu, const TableColumn &column,
                                      int64_t row) {
    if (!column.found)
        return {};
    size_t cell = cellStart(hdu, column, row);
    size_t width = static_cast<size_t>(column.descriptorBytes);
    size_t heap =
        hdu.dataStart +
        static_cast<size_t>(keyInteger(hdu, "THEAP", keyInteger(hdu, "NAXIS1", 0) * keyInteger(hdu, "NAXIS2", 0)));
    size_t start = heap + bigEndianAt(file, cell + width, width);
    size_t bytes = bigEndianAt(file, cell, width) * formWidth(column.type);
    return std::vector<uint8_t>(file.begin() + static_cast<long>(start),
                                file.begin() + static_cast<long>(start + bytes));
}
