// The file a document came from, as a save that carries its other HDUs over needs it: where
// the image's HDU stands, what else the file holds, and what the file was when it was opened,
// so that only the same file is copied from.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct SourceLayout {
    int64_t fileBytes;   // the file's size when it was opened
    int64_t modified;    // and its modification time
    uint64_t headerHash; // of every HDU header other than the image's
    int64_t imageStart;  // first byte of the image HDU's header
    int64_t imageData;   // first byte of its data
    int64_t imageEnd;    // first byte after its data, padded to a whole block
    int32_t imageHdu;    // 0: the primary HDU
    int32_t otherImages; // other HDUs that hold an image (tile-compressed ones too)
    int32_t otherTables; // tables
    int32_t otherHdus;   // every other HDU, the two above and empty ones included
};

// Walks the open source file from its first HDU to its end (64-bit offsets) and finds the HDU
// whose data start at `imageDataStart`. False when the file cannot be read to its end as FITS
// HDUs or holds no such HDU.
bool surveySource(PlatformFile file, int64_t imageDataStart, SourceLayout *layout);

// Whether the file at `path` is still the one surveyed: the same size, time and headers.
// `why` (room 120) says what changed when it is not.
bool sourceUnchanged(const uint16_t *path, const SourceLayout &layout, char *why, size_t room);

// Copies bytes `from` … `to` of the source file to the host's file at its position; the
// session's result says whether it worked.
struct PluginGlobals;
void copySourceBytes(PluginGlobals *globals, const uint16_t *path, int64_t from, int64_t to);
