// Turning an image extension's header into a primary header that keeps the observation's
// metadata, which pipelines put in an empty primary HDU.
#include "fits/header_merge.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace {

// A card's keyword as readers match it: columns 1-8, or under the HIERARCH convention the
// words before the "=" (HIERARCH ESO DET CHIP NAME and HIERARCH ESO OBS PROG ID are two keywords).
struct KeywordName {
    const uint8_t *text;
    int32_t length;
    bool hierarch;
};

KeywordName keywordName(const uint8_t *card) {
    if (cardHasKeyword(card, "HIERARCH")) {
        const void *found = std::memchr(card + keywordColumns, '=', cardBytes - keywordColumns);
        const auto *equals = static_cast<const uint8_t *>(found);
        if (equals != nullptr) {
            int32_t first = keywordColumns, last = static_cast<int32_t>(equals - card);
            while (first < last && card[first] == ' ')
                ++first;
            while (last > first && card[last - 1] == ' ')
                --last;
            return KeywordName{card + first, last - first, true};
        }
    }
    return KeywordName{card, keywordColumns, false};
}

bool nameBefore(const KeywordName &a, const KeywordName &b) {
    if (a.hierarch != b.hierarch)
        return b.hierarch;
    const int compared = std::memcmp(a.text, b.text, static_cast<size_t>(a.length < b.length ? a.length : b.length));
    return compared != 0 ? compared < 0 : a.length < b.length;
}

// A CONTINUE card carries on the long string of the card before it and shares its fate.
bool isContinuation(const uint8_t *card) { return cardHasKeyword(card, "CONTINUE"); }

bool isCommentary(const uint8_t *card) {
    return cardAmong(card, {"COMMENT ", "HISTORY ", "        "});
}

// BITPIX and the axes: they describe the data and come first, from the extension.
bool isShapeCard(const uint8_t *card) {
    return cardHasKeyword(card, keywordBITPIX) || cardHasKeyword(card, keywordNAXIS) || axisNumber(card) > 0;
}

// Cards that only make sense in the HDU they came from: what kind of HDU it is, its group
// counts, and the primary's own (empty) data coding and row order: the extension's rows are
// read in its own order, so a save must not say they run in the primary's.
bool isPrimaryOnlyCard(const uint8_t *card) {
    return cardAmong(card, {keywordSIMPLE, "EXTEND  ", "GROUPS  ", "PCOUNT  ", "GCOUNT  ", keywordBZERO, keywordBSCALE,
                            keywordBLANK, keywordROWORDER});
}

bool isExtensionOnlyCard(const uint8_t *card) {
    return cardAmong(card, {"XTENSION", "PCOUNT  ", "GCOUNT  ", "INHERIT "});
}

// The extension's keywords, sorted, so that each primary card is looked up in log time even
// in headers of thousands of cards. *count of them; continuation cards name none.
KeywordName *sortedKeywords(const HeaderCards &cards, int32_t end, int32_t *count) {
    auto *names = static_cast<KeywordName *>(platformHeapAlloc(sizeof(KeywordName) * (static_cast<size_t>(end) + 1)));
    *count = 0;
    if (names == nullptr)
        return nullptr;
    for (int32_t n = 0; n < end; ++n)
        if (!isContinuation(cardOf(cards, n)))
            names[(*count)++] = keywordName(cardOf(cards, n));
    std::sort(names, names + *count, nameBefore);
    return names;
}

bool appendPrimaryCards(const HeaderCards &primary, int32_t primaryEnd, const KeywordName *extensionKeys,
                        int32_t extensionKeyCount, HeaderCards *merged) {
    bool keep = false; // for a continuation card: whether the card it carries on was kept
    for (int32_t n = 1; n < primaryEnd; ++n) {
        const uint8_t *card = cardOf(primary, n);
        if (!isContinuation(card))
            keep = !isShapeCard(card) && !isPrimaryOnlyCard(card) &&
                   (isCommentary(card) || !std::binary_search(extensionKeys, extensionKeys + extensionKeyCount,
                                                              keywordName(card), nameBefore));
        if (keep && !appendCard(merged, card))
            return false;
    }
    return true;
}

bool appendExtensionCards(const HeaderCards &extension, int32_t extensionEnd, bool shape, HeaderCards *merged) {
    for (int32_t n = 1; n < extensionEnd; ++n) {
        const uint8_t *card = cardOf(extension, n);
        if (isShapeCard(card) == shape && !isExtensionOnlyCard(card) && !appendCard(merged, card))
            return false;
    }
    return true;
}

} // namespace

bool mergeIntoPrimary(const HeaderCards &primary, int32_t primaryEnd, const HeaderCards &extension,
                      int32_t extensionEnd, HeaderCards *merged, int32_t *mergedEnd) {
    int32_t extensionKeyCount = 0;
    KeywordName *extensionKeys = sortedKeywords(extension, extensionEnd, &extensionKeyCount);
    uint8_t card[cardBytes];
    composeCard(card, keywordSIMPLE, "T");
    bool ok = extensionKeys != nullptr && appendCard(merged, card) &&
              appendExtensionCards(extension, extensionEnd, true, merged) &&
              appendPrimaryCards(primary, primaryEnd, extensionKeys, extensionKeyCount, merged) &&
              appendExtensionCards(extension, extensionEnd, false, merged);
    *mergedEnd = merged->count;
    ok = ok && appendEndCard(merged);
    platformHeapFree(extensionKeys);
    return ok;
}

bool appendEndCard(HeaderCards *cards) {
    uint8_t card[cardBytes];
    std::memset(card, ' ', cardBytes);
    std::memcpy(card, "END", 3);
    if (!appendCard(cards, card))
        return false;
    std::memset(card, ' ', cardBytes);
    while (cards->count % cardsPerBlock != 0)
        if (!appendCard(cards, card))
            return false;
    return true;
}
