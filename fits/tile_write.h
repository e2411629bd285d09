// Saving an image that was opened from tiles as tiles again: a binary table of Rice-coded
// rows, one tile for each row of each plane, after an empty primary HDU when it is saved alone.
#pragma once

#include <cstdint>

#include "entry/globals.h"
#include "fits/header_write.h"

// The most bytes such a save of the record's image writes, its image header being `header`
// (as a plain save would write it).
int64_t compressedSaveBound(const FormatRecord *record, const SaveHeader &header, bool withPrimary);

// Writes the file: the table's header with the image's cards in their Z forms, descriptors left
// blank, the heap row by row as the host hands the rows over, then the descriptors and the
// header's sizes (and checksums, when the image header carries them) once they are known.
// Rows go out bottom up when `bottomUp`. The table starts at `start`, after an empty primary HDU
// written there first when `withPrimary`. Leaves result set when a write fails; returns the
// position after the table's data unit.
int64_t writeCompressedImage(PluginGlobals *globals, const SaveHeader &header, bool bottomUp, int64_t start,
                             bool withPrimary);
