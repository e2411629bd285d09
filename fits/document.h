// What a read learns and a save needs, kept with the document: the host holds it in the
// record's revertInfo from the open on and hands it back when that document is saved or
// reverted, so that each of several open documents is saved with its own header and mapping,
// and with the rest of the file it came from.
#pragma once

#include <cstdint>

#include "fits/image_description.h"
#include "fits/source_file.h"
#include "host/host_records.h"

// A document's kept header, image, and source. As takeDocument gives it, the bytes are one
// block of its own memory, released with releaseDocument.
struct Document {
    ImageDescription image;
    const uint8_t *header; // the kept header: the image's, merged with the primary's for an extension
    int32_t blocks;
    const uint8_t *ownHeader; // an extension's own header, as its HDU has it; null for a primary image
    int32_t ownBlocks;
    bool hasSource;       // the file it came from is known and was surveyed
    bool sourceUnread;    // the file is known but could not be read to its end as FITS HDUs
    SourceLayout layout;
    const uint16_t *path; // that file's path (UTF-16, ends in 0); null without a source
    uint8_t *memory;
};

// Makes a record of the document and puts it in the record's revertInfo; a record of this
// module that is there already (a revert, or a save bringing the document's header up to
// date) is refilled in its own handle, which the host keeps. noErr (also when the host's
// handle services cannot lock a handle, and no record is made), or memFullErr when the host
// has no memory for it.
int16_t keepDocument(FormatRecord *record, const Document &document);

// Whether revertInfo holds a record this module made (its tag, version and size), and then
// the image it describes.
bool documentImage(const FormatRecord *record, ImageDescription *image);

// The record in revertInfo copied into *document; false when there is none of this module's
// or no memory for the copy.
bool takeDocument(const FormatRecord *record, Document *document);
void releaseDocument(Document *document);

// The path of the file being read, as the host names it (fileSpec2); null when the host
// gives none.
const uint16_t *readFilePath(const FormatRecord *record);
