// Reading an HDU's values from its cards, and judging whether its image can be opened.
#include "fits/hdu_keywords.h"

#include <cstdio>
#include <cstring>

#include "fits/image_description.h"

namespace {

void takeRowOrder(const uint8_t *card, HeaderKeywords *found) {
    char order[16];
    found->bottomUp = stringValue(card, order, sizeof order) && std::strcmp(order, "BOTTOM-UP") == 0;
}

} // namespace

void startKeywords(HeaderKeywords *found) {
    *found = HeaderKeywords{};
    found->bscale = 1.0f;
    found->exactScale = 1.0;
    found->gcount = 1;
}

void takeKeyword(const uint8_t *card, HeaderKeywords *found, bool *endSeen, bool *attributionSeen) {
    if (cardHasKeyword(card, keywordBITPIX)) {
        found->hasBitpix = true;
        found->bitpix = integerValue(card);
    } else if (cardHasKeyword(card, keywordNAXIS)) {
        found->hasNaxis = true;
        found->naxis = integerValue(card);
    } else if (int n = axisNumber(card); n > 0) {
        found->hasAxis[n] = true;
        found->axis[n] = integerValue(card);
    } else if (cardHasKeyword(card, keywordBZERO)) {
        found->bzero = realValue(card);
        found->exactZero = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBSCALE)) {
        found->bscale = realValue(card);
        found->exactScale = exactRealValue(card);
    } else if (cardHasKeyword(card, keywordBLANK)) {
        found->hasBlank = wholeValue(card, &found->blank);
    } else if (cardHasKeyword(card, keywordROWORDER)) {
        takeRowOrder(card, found);
    } else if (cardHasKeyword(card, "PCOUNT  ")) {
        found->pcount = integerValue(card);
    } else if (cardHasKeyword(card, "GCOUNT  ")) {
        found->gcount = integerValue(card);
    } else if (cardHasKeyword(card, "GROUPS  ")) {
        found->groups = logicalValue(card);
    } else if (cardHasKeyword(card, "ZIMAGE  ")) {
        found->compressedImage = logicalValue(card);
    } else if (cardHasKeyword(card, keywordEND)) {
        *endSeen = true;
    } else if (cardHasKeyword(card, keywordKORVALIS)) {
        *attributionSeen = true;
    }
}

bool takeCards(const uint8_t *cards, int32_t count, HeaderKeywords *found, HeaderEnd *end) {
    startKeywords(found);
    *end = HeaderEnd{};
    bool endSeen = false;
    for (int32_t n = 0; n < count && !endSeen; ++n) {
        takeKeyword(cards + int64_t{n} * cardBytes, found, &endSeen, &end->attributionSeen);
        end->index = n;
    }
    return endSeen;
}

bool holdsImage(const HeaderKeywords &found) {
    if (!found.hasNaxis || found.naxis < 1)
        return false;
    for (int n = 1; n <= found.naxis && n <= largestAxis; ++n)
        if (found.hasAxis[n] && found.axis[n] == 0 && !(n == 1 && found.groups))
            return false;
    return true;
}

int64_t paddedDataBytes(const HeaderKeywords &found) {
    constexpr int64_t ceiling = int64_t{1} << 52;
    if (!found.hasNaxis || found.naxis < 1)
        return 0;
    int64_t count = 1;
    for (int n = 1; n <= found.naxis && n <= largestAxis; ++n) {
        int64_t length = found.hasAxis[n] ? found.axis[n] : 0;
        if (n == 1 && found.groups)
            continue;
        if (length < 0 || !found.hasAxis[n])
            return 0;
        // A table of no rows still has its heap (PCOUNT) after them.
        count = length == 0 || count == 0 ? 0 : length > ceiling / count ? ceiling : count * length;
    }
    int64_t groups = found.gcount > 0 ? found.gcount : 1;
    int64_t extra = found.pcount > 0 && found.pcount < ceiling ? found.pcount : 0;
    count = count + extra > ceiling / groups ? ceiling : (count + extra) * groups;
    // BITPIX of a table that is skipped is not checked, so its width saturates too.
    const int64_t width = (found.bitpix < 0 ? -found.bitpix : found.bitpix) / 8;
    const int64_t bytes = width > 0 && count > ceiling / width ? ceiling : count * width;
    return (bytes + headerBlockSize - 1) / headerBlockSize * headerBlockSize;
}

namespace {

void describeSide(const char *keyword, const char *what, bool present, int64_t value, char *reason, size_t room) {
    if (present)
        std::snprintf(reason, room, "%s is %lld: image %s from 1 to 32767 are supported.", keyword,
                      static_cast<long long>(value), what);
    else
        std::snprintf(reason, room, "%s is missing: image %s from 1 to 32767 are supported.", keyword, what);
}

bool isFitsBitpix(int64_t bitpix) {
    return bitpix == 8 || bitpix == 16 || bitpix == 32 || bitpix == 64 || bitpix == -32 || bitpix == -64;
}

// The plane axis and every axis after it: 1 to 24 planes, then axes of length 1 only.
void describeUnsupportedPlanes(const HeaderKeywords &found, char *reason, size_t room) {
    const int64_t planes = found.hasAxis[3] ? found.axis[3] : -1;
    if (!found.hasAxis[3])
        std::snprintf(reason, room, "NAXIS3 is missing: images of 1 to %d planes are supported.", maxImagePlanes);
    else if (planes < 1 || planes > maxImagePlanes)
        std::snprintf(reason, room, "NAXIS3 is %lld: a cube of %lld planes; images of 1 to %d planes are supported.",
                      static_cast<long long>(planes), static_cast<long long>(planes), maxImagePlanes);
    for (int n = 4; reason[0] == '\0' && n <= found.naxis; ++n)
        if (!found.hasAxis[n] || found.axis[n] != 1)
            std::snprintf(reason, room,
                          "NAXIS%d is %lld: a %lld-dimensional array; only images of 2 or 3 axes (further axes of "
                          "length 1) are supported.",
                          n, static_cast<long long>(found.hasAxis[n] ? found.axis[n] : 0),
                          static_cast<long long>(found.naxis));
}

} // namespace

void describeUnsupported(const HeaderKeywords &found, char *reason, size_t room) {
    reason[0] = '\0';
    if (found.groups)
        std::snprintf(reason, room, "The file holds random groups (GROUPS = T), which are not an image.");
    else if (!found.hasNaxis)
        std::snprintf(reason, room, "NAXIS is missing: only images of 2 or 3 axes are supported.");
    else if (found.naxis == 0)
        std::snprintf(reason, room, "NAXIS is 0: the primary HDU holds no image, and no extension follows it.");
    else if (found.naxis == 1)
        std::snprintf(reason, room, "NAXIS is 1: a one-dimensional array of %lld values, not an image.",
                      static_cast<long long>(found.axis[1]));
    else if (found.naxis < 2 || found.naxis > largestAxis)
        std::snprintf(reason, room,
                      "NAXIS is %lld: only images of 2 or 3 axes (further axes of length 1) are supported.",
                      static_cast<long long>(found.naxis));
    else if (found.naxis >= 3)
        describeUnsupportedPlanes(found, reason, room);
    if (reason[0] != '\0')
        return;
    if (!found.hasAxis[1] || found.axis[1] < 1 || found.axis[1] > largestSide)
        describeSide("NAXIS1", "widths", found.hasAxis[1], found.axis[1], reason, room);
    else if (!found.hasAxis[2] || found.axis[2] < 1 || found.axis[2] > largestSide)
        describeSide("NAXIS2", "heights", found.hasAxis[2], found.axis[2], reason, room);
    else if (!found.hasBitpix)
        std::snprintf(reason, room, "BITPIX is missing: FITS samples have 8, 16, 32, 64, -32 or -64 bits.");
    else if (!isFitsBitpix(found.bitpix))
        std::snprintf(reason, room, "BITPIX is %lld: FITS samples have 8, 16, 32, 64, -32 or -64 bits.",
                      static_cast<long long>(found.bitpix));
}

