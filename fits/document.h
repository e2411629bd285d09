// What a read learns and a save needs, kept with the document: the host holds it in the
// record's revertInfo from the open on and hands it back when that document is saved or
// reverted, so that each of several open documents is saved with its own header and mapping.
#pragma once

#include <cstdint>

#include "fits/image_description.h"
#include "host/host_records.h"

// A document's kept header and image, as a save takes them: its own memory, released with
// releaseDocument.
struct Document {
    ImageDescription image;
    uint8_t *header; // the kept header's blocks
    int32_t blocks;
};

// Makes a record of the image and the header's `blocks` blocks and puts it in the record's
// revertInfo; a record of this module that is there already (a revert, or a save bringing the
// document's header up to date) is refilled in its own handle, which the host keeps. noErr (also when
// the host's handle services cannot lock a handle, and no record is made), or memFullErr when
// the host has no memory for it.
int16_t keepDocument(FormatRecord *record, const ImageDescription &image, const uint8_t *header, int32_t blocks);

// Whether revertInfo holds a record this module made (its tag, version and size), and then
// the image it describes.
bool documentImage(const FormatRecord *record, ImageDescription *image);

// The record in revertInfo copied into *document; false when there is none of this module's
// or no memory for the copy.
bool takeDocument(const FormatRecord *record, Document *document);
void releaseDocument(Document *document);
