// The primary header a reader of FITS images makes of an image extension that follows an empty
// primary HDU, written from the rule alone, for tests to hold the module's kept header to:
// SIMPLE = T; the extension's BITPIX and NAXISn; the primary's descriptive cards, less those
// whose keyword the extension has too (COMMENT, HISTORY and blank cards are all kept); then
// the extension's own cards. XTENSION, PCOUNT, GCOUNT and INHERIT, and the primary's EXTEND,
// GROUPS, BZERO, BSCALE, BLANK and ROWORDER, describe an HDU that is no longer there and are
// left out.
// A HIERARCH keyword is named by all its words; a CONTINUE card goes wherever its card goes.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace merged_header {

inline std::string keywordOf(const std::string &card) { return card.substr(0, 8); }

// The name a keyword is matched by: HIERARCH ESO DET CHIP NAME as a whole.
inline std::string nameOf(const std::string &card) {
    const size_t equals = card.find('=');
    if (keywordOf(card) != "HIERARCH" || equals == std::string::npos)
        return keywordOf(card);
    const size_t first = card.find_first_not_of(' ', 8), last = card.find_last_not_of(' ', equals - 1);
    return "HIERARCH " + card.substr(first, last + 1 - first);
}

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
inline std::vector<std::string> merge(const std::vector<std::string> &primary,
                                      const std::vector<std::string> &extension) {
    const std::vector<std::string> p = body(primary), e = body(extension);
    std::set<std::string> extensionKeywords;
    for (const std::string &card : e)
        if (keywordOf(card) != "CONTINUE")
            extensionKeywords.insert(nameOf(card));
    std::vector<std::string> out{std::string("SIMPLE  =                    T") + std::string(50, ' ')};
    for (const std::string &card : e)
        if (isShape(card))
            out.push_back(card);
    bool kept = false;
    for (const std::string &card : p) {
        if (keywordOf(card) != "CONTINUE")
            kept = !isShape(card) &&
                   !isOneOf(card, {"SIMPLE  ", "EXTEND  ", "GROUPS  ", "PCOUNT  ", "GCOUNT  ", "BZERO   ", "BSCALE  ",
                                   "BLANK   ", "ROWORDER"}) &&
                   (isCommentary(card) || extensionKeywords.count(nameOf(card)) == 0);
        if (kept)
            out.push_back(card);
    }
    for (const std::string &card : e)
        if (!isShape(card) && !isOneOf(card, {"PCOUNT  ", "GCOUNT  ", "INHERIT "}))
            out.push_back(card);
    out.push_back("END" + std::string(77, ' '));
    return out;
}

} // namespace merged_header
