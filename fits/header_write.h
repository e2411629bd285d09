// Composing the header that a save writes: the retained one brought up to date, or a fresh one.
#pragma once

#include <cstdint>

#include "entry/globals.h"

// Builds the header for saving the record's image into `header` (11520 bytes) and gives its
// block count. Uses the retained header when there is one and it has room for the cards the
// image needs; otherwise composes a fresh one. *usedRetained and *fellBack (a retained
// header that had no room) say which happened. Touches no module or session state.
void prepareHeader(const PluginGlobals *globals, uint8_t *header, int16_t *blocks, bool *usedRetained,
                   bool *fellBack);

// Fills `header` with the fresh one-block header for the record's image; `kept`, when not null,
// describes the kept header's image, whose coding (mapping or 8-bit scaling) it states.
void composeFreshHeader(uint8_t *header, const FormatRecord *record, const ImageDescription *kept);

// Brings the header in the first *blocks blocks of `header` up to date for the record's image:
// BITPIX, NAXIS, NAXIS1, NAXIS2, NAXIS3, BZERO and BSCALE rewritten, missing cards inserted,
// a NAXIS3 card removed for one plane. *blocks becomes the new count. False (header in an
// unspecified state) when the result would not fit in four blocks.
// `kept` describes the retained header's image: its mapping goes into BZERO, BSCALE and BLANK.
bool updateHeaderValues(uint8_t *header, int16_t *blocks, const FormatRecord *record, const ImageDescription *kept);

// Writes the header for the current save to the file, which is positioned at byte 0: updates
// HeaderImage, headerBlocks and, when the retained header is used, retainedHeader.
// Leaves dskFulErr or writErr in result when the header could not be written in full.
// True when the retained header was written (the rows then follow its row order).
bool writeFitsHeader(PluginGlobals *globals);

// True when the header in the first `blocks` blocks has a CHECKSUM or DATASUM card before END.
bool headerCarriesChecksums(const uint8_t *header, int16_t blocks);

// Gives the first DATASUM card the sum of the data written and the first CHECKSUM card the
// value that makes header and data sum to negative zero. `dataSum` is the data's sum.
void stampChecksums(uint8_t *header, int16_t blocks, uint32_t dataSum);
