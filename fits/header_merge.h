// The header an image extension is kept with: a primary header that carries the primary HDU's
// metadata as well as the extension's own cards.
#pragma once

#include <cstdint>

#include "fits/header_format.h"

// Builds in `merged` (empty on entry) a primary header for the image of an extension: SIMPLE
// = T, the extension's BITPIX and axes, then the primary header's descriptive cards, then the
// extension's own, END and blank cards to a whole block. Where both headers hold a keyword,
// the extension's card is kept; commentary cards (COMMENT, HISTORY, blank) are all kept.
// `primaryEnd` and `extensionEnd` are the indexes of the END cards. *mergedEnd is the END's.
// False when memory ran out.
bool mergeIntoPrimary(const HeaderCards &primary, int32_t primaryEnd, const HeaderCards &extension,
                      int32_t extensionEnd, HeaderCards *merged, int32_t *mergedEnd);

// Appends END and blank cards to a whole block; false when memory ran out.
bool appendEndCard(HeaderCards *cards);
