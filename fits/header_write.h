// Composing the header that a save writes: the retained one brought up to date, or a fresh one.
#pragma once

#include <cstdint>

#include "entry/globals.h"
#include "fits/document.h"

// The header a save writes, as composed: its memory, its blocks, and whether it is the kept
// header brought up to date.
struct SaveHeader {
    uint8_t *bytes;
    int16_t blocks;
    bool usedKept;
};

// What a save starts from: the document's own record when revertInfo holds one of this
// module's, else the session's retained header (blocks 0 when there is none: a fresh header).
struct SaveSource {
    ImageDescription image;
    const uint8_t *bytes;
    int32_t blocks;
    bool document;
    bool retained;  // the document's header is the session's retained one (the last file read)
    bool ownHeader; // the header is an extension's own, for a save that keeps the file's other HDUs
    Document owned;
};

// Makes the save start from the extension's own header, when the document has one.
void useOwnHeader(SaveSource *source);

// noErr, or memFullErr when the document's record cannot be copied.
int16_t takeSaveSource(const PluginGlobals *globals, SaveSource *source);
void releaseSaveSource(SaveSource *source);

// Builds the header for saving the record's image: the kept header brought up to date, or a
// fresh one, in memory of its own. Touches no session state. memFullErr when no memory is
// left; formatBadParameters, with a message, when the kept header would pass the blocks a
// header may have; releaseSaveHeader frees what it took.
int16_t prepareHeader(const FormatRecord *record, const SaveSource &source, SaveHeader *header);
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

// Builds the header for the current save (prepareHeader) and, when it is the kept one brought
// up to date, keeps it with the document and the session as writeFitsHeader does, without
// writing it. False with result set when it cannot.
bool keepSavedHeader(PluginGlobals *globals, const SaveSource &source, SaveHeader *header);

// Writes the header for the current save to the file, which is positioned at byte 0, and
// leaves it in *header for the checksums (releaseSaveHeader frees it). When the session's
// retained header is used, it takes the new values. Leaves dskFulErr or writErr in result when
// the header could not be written in full. True when the kept header was written (the rows
// then follow its row order).
bool writeFitsHeader(PluginGlobals *globals, const SaveSource &source, SaveHeader *header);

// True when the header in the first `blocks` blocks has a CHECKSUM or DATASUM card before END.
bool headerCarriesChecksums(const uint8_t *header, int32_t blocks);

// Gives the first DATASUM card the sum of the data written and the first CHECKSUM card the
// value that makes header and data sum to negative zero. `dataSum` is the data's sum.
void stampChecksums(uint8_t *header, int32_t blocks, uint32_t dataSum);
