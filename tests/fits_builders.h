// Small builders of FITS cards, headers and files for the unit tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// One 80-column card: keyword padded to 8, "= ", the value right-justified to column 30.
inline std::string valueCard(const std::string &keyword, const std::string &value, const std::string &comment = "") {
    std::string card = keyword;
    card.resize(8, ' ');
    card += "= ";
    card += std::string(20 - value.size(), ' ') + value;
    if (!comment.empty())
        card += " / " + comment;
    card.resize(80, ' ');
    return card;
}

// A card given in full, padded with blanks to 80 columns.
inline std::string rawCard(const std::string &text) {
    std::string card = text;
    card.resize(80, ' ');
    return card;
}

inline std::string blankCard() { return std::string(80, ' '); }

// Cards joined, then blank cards to the end of the block.
inline std::string headerOf(const std::vector<std::string> &cards) {
    std::string header;
    for (const std::string &card : cards)
        header += card;
    header.resize((header.size() + 2879) / 2880 * 2880, ' ');
    return header;
}

// The usual cards of an image header without END.
inline std::vector<std::string> imageCards(int bitpix, int columns, int rows) {
    return {valueCard("SIMPLE", "T"), valueCard("BITPIX", std::to_string(bitpix)), valueCard("NAXIS", "2"),
            valueCard("NAXIS1", std::to_string(columns)), valueCard("NAXIS2", std::to_string(rows))};
}

// Cards padded with comment cards so that END becomes card number `endCard` (from 1).
inline std::vector<std::string> withEndAt(std::vector<std::string> cards, size_t endCard) {
    while (cards.size() + 1 < endCard)
        cards.push_back(rawCard("COMMENT filler " + std::to_string(cards.size() + 1)));
    cards.push_back(rawCard("END"));
    return cards;
}

inline std::vector<uint8_t> bytesOf(const std::string &text) { return std::vector<uint8_t>(text.begin(), text.end()); }

inline std::string cardIn(const std::vector<uint8_t> &bytes, size_t n) {
    return std::string(bytes.begin() + static_cast<long>(n * 80), bytes.begin() + static_cast<long>(n * 80 + 80));
}

inline std::string cardIn(const uint8_t *bytes, size_t n) {
    return std::string(reinterpret_cast<const char *>(bytes) + n * 80, 80);
}
