// Composing the header that a save writes: the retained one brought up to date, or a fresh one.
#pragma once

#include <cstdint>

#include "entry/globals.h"

// The header a save writes, as composed: where it is, its blocks, whether it is the retained
// header brought up to date, and memory of its own when it is longer than HeaderImage.
struct SaveHeader {
    uint8_t *bytes;
    int16_t blocks;
    bool usedRetained;
    uint8_t *ownMemory;
};

// Builds the header for saving the record's image: the kept header brought up to date (in
// memory of its own when it has more than three blocks, so that one spare block fits), or a
// fresh one in `area` (11520 bytes). Touches no module or session state. memFullErr when no
// memory is left; formatBadParameters, with a message, when the kept header would pass the
// blocks a header may have; releaseSaveHeader frees what it took.
int16_t prepareHeader(const PluginGlobals *globals, uint8_t *area, SaveHeader *header);
void releaseSaveHeader(SaveHeader *header);

// Fills `header` with the fresh one-block header for the record's image.
void composeFreshHeader(uint8_t *header, const FormatRecord *record);

// Brings the header in the first *blocks blocks of `header` up to date for the record's image:
// BITPIX, NAXIS, NAXIS1, NAXIS2, NAXIS3, BZERO and BSCALE rewritten, missing cards inserted.
// An image of the kept image's size and planes keeps its axes (NAXIS and every NAXISn); any
// other image gets two axes, or three for several planes, and loses the NAXISn and coordinate
// cards of the axes it no longer has. *blocks becomes the new count; `header` has room for one
// block more than *blocks. False (header in an unspecified state) when END is missing or the
// cards would not fit.
// `kept` describes the retained header's image: its mapping goes into BZERO, BSCALE and BLANK.
bool updateHeaderValues(uint8_t *header, int16_t *blocks, const FormatRecord *record, const ImageDescription *kept);

// Writes the header for the current save to the file, which is positioned at byte 0: updates
// HeaderImage, headerBlocks and, when the retained header is used, retainedHeader and the axes
// of keptImage.
// Leaves dskFulErr or writErr in result when the header could not be written in full.
// True when the retained header was written (the rows then follow its row order).
bool writeFitsHeader(PluginGlobals *globals);

// The whole header the last save wrote: HeaderImage, or the kept header when it is longer.
const uint8_t *writtenHeader(const PluginGlobals *globals);

// True when the header in the first `blocks` blocks has a CHECKSUM or DATASUM card before END.
bool headerCarriesChecksums(const uint8_t *header, int32_t blocks);

// Gives the first DATASUM card the sum of the data written and the first CHECKSUM card the
// value that makes header and data sum to negative zero. `dataSum` is the data's sum.
void stampChecksums(uint8_t *header, int32_t blocks, uint32_t dataSum);
