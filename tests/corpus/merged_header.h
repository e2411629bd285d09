// The primary header a reader of FITS images makes of an image extension that follows an empty
// primary HDU, written from the rule alone, for tests to hold the module's kept header to:
// SIMPLE = T; the extension's BITPIX and NAXISn; the primary's descriptive cards, less those
// whose keyword the extension has too (COMMENT, HISTORY and blank cards are all kept); then
// the extension's own cards. XTENSION, PCOUNT, GCOUNT and INHERIT, and the primary's EXTEND,
// GROUPS, BZERO, BSCALE and BLANK, describe an HDU that is no longer there and are left out.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace merged_header {

inline std::string keywordOf(const std::string &card) { return card.substr(0, 8); }

inline bool isShape(const std::string &card) {
    const std::string k = keywordOf(card);
    if (k == "BITPIX  ")
        return true;
    if (k.compare(0, 5, "NAXIS") != 0)
        return false;
    return std::all_of(k.begin() + 5, k.end(), [](char c) { return c == ' ' || (c >= '0' && c <= '9'); });
}

inline bool isCommentary(const std::string &card) {
    const std::string k = keywordOf(card);
    return k == "COMMENT " || k == "HISTORY " || k == "        ";
}

inline bool isOneOf(const std::string &card, std::initializer_list<const char *> keywords) {
    for (const char *k : keywords)
        if (keywordOf(card) == k)
            return true;
    return false;
}

// Cards before END, END and the first card left out.
inline std::vector<std::string> body(const std::vector<std::string> &cards) {
    std::vector<std::string> out;
    for (size_t n = 1; n < cards.size() && keywordOf(cards[n]) != "END     "; ++n)
        out.push_back(cards[n]);
    return out;
}

// `primary` and `extension`: each header's cards from its first to END.
inline std::vector<std::string> merge(const std::vector<std::string> &primary, const std::vector<std::string> &extension) {
    const std::vector<std::string> p = body(primary), e = body(extension);
    std::set<std::string> extensionKeywords;
    for (const std::string &card : e)
        extensionKeywords.insert(keywordOf(card));
    std::vector<std::string> out{std::string("SIMPLE  =                    T") + std::string(50, ' ')};
    for (const std::string &card : e)
        if (isShape(card))
            out.push_back(card);
    for (const std::string &card : p) {
        if (isShape(card) || isOneOf(card, {"SIMPLE  ", "EXTEND  ", "GROUPS  ", "PCOUNT  ", "GCOUNT  ", "BZERO   ",
                                            "BSCALE  ", "BLANK   "}))
            continue;
        if (isCommentary(card) || extensionKeywords.count(keywordOf(card)) == 0)
            out.push_back(card);
    }
    for (const std::string &card : e)
        if (!isShape(card) && !isOneOf(card, {"PCOUNT  ", "GCOUNT  ", "INHERIT "}))
            out.push_back(card);
    out.push_back("END" + std::string(77, ' '));
    return out;
}

} // namespace merged_header
