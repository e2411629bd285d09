// Turning an image extension's header into a primary header that keeps the observation's
// metadata, which pipelines put in an empty primary HDU.
#include "fits/header_merge.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace {

// Keyword columns as one number, for sorting and searching.
uint64_t keywordKey(const uint8_t *card) {
    uint64_t key = 0;
    for (int i = 0; i < keywordColumns; ++i)
        key = (key << 8) | card[i];
    return key;
}

bool isCommentary(const uint8_t *card) {
    return cardHasKeyword(card, "COMMENT ") || cardHasKeyword(card, "HISTORY ") || cardHasKeyword(card, "        ");
}

// BITPIX and the axes: they describe the data and come first, from the extension.
bool isShapeCard(const uint8_t *card) {
    return cardHasKeyword(card, keywordBITPIX) || cardHasKeyword(card, keywordNAXIS) || axisNumber(card) > 0;
}

// Cards that only make sense in the HDU they came from: what kind of HDU it is, its group
// counts, and the primary's own (empty) data coding.
bool isPrimaryOnlyCard(const uint8_t *card) {
    static const char *const keywords[] = {keywordSIMPLE, "EXTEND  ", "GROUPS  ", "PCOUNT  ", "GCOUNT  ",
                                           keywordBZERO,  keywordBSCALE, keywordBLANK};
    for (const char *keyword : keywords)
        if (cardHasKeyword(card, keyword))
            return true;
    return false;
}

bool isExtensionOnlyCard(const uint8_t *card) {
    return cardHasKeyword(card, "XTENSION") || cardHasKeyword(card, "PCOUNT  ") || cardHasKeyword(card, "GCOUNT  ") ||
           cardHasKeyword(card, "INHERIT ");
}

// The extension's keywords, sorted, so that each primary card is looked up in log time even
// in headers of thousands of cards.
uint64_t *sortedKeywords(const HeaderCards &cards, int32_t end) {
    auto *keys = static_cast<uint64_t *>(platformHeapAlloc(sizeof(uint64_t) * (static_cast<size_t>(end) + 1)));
    if (keys == nullptr)
        return nullptr;
    for (int32_t n = 0; n < end; ++n)
        keys[n] = keywordKey(cardOf(cards, n));
    std::sort(keys, keys + end);
    return keys;
}

bool appendBlankCards(HeaderCards *merged) {
    uint8_t blank[cardBytes];
    std::memset(blank, ' ', cardBytes);
    while (merged->count % cardsPerBlock != 0)
        if (!appendCard(merged, blank))
            return false;
    return true;
}

bool appendPrimaryCards(const HeaderCards &primary, int32_t primaryEnd, const uint64_t *extensionKeys,
                        int32_t extensionEnd, HeaderCards *merged) {
    for (int32_t n = 1; n < primaryEnd; ++n) {
        const uint8_t *card = cardOf(primary, n);
        if (isShapeCard(card) || isPrimaryOnlyCard(card))
            continue;
        if (!isCommentary(card) && std::binary_search(extensionKeys, extensionKeys + extensionEnd, keywordKey(card)))
            continue;
        if (!appendCard(merged, card))
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
    uint64_t *extensionKeys = sortedKeywords(extension, extensionEnd);
    uint8_t card[cardBytes];
    composeCard(card, keywordSIMPLE, "T");
    uint8_t end[cardBytes];
    std::memset(end, ' ', cardBytes);
    std::memcpy(end, "END", 3);
    bool ok = extensionKeys != nullptr && appendCard(merged, card) &&
              appendExtensionCards(extension, extensionEnd, true, merged) &&
              appendPrimaryCards(primary, primaryEnd, extensionKeys, extensionEnd, merged) &&
              appendExtensionCards(extension, extensionEnd, false, merged);
    *mergedEnd = merged->count;
    ok = ok && appendCard(merged, end) && appendBlankCards(merged);
    platformHeapFree(extensionKeys);
    return ok;
}
