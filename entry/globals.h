// The session block that survives between calls, and the result helpers every handler uses.
#pragma once

#include <cstdint>

#include "fits/image_description.h"
#include "host/host_records.h"

// Bytes of the retained header: four 2880-byte blocks, the most the module reads.
constexpr int32_t retainedHeaderSize = 11520;

// The session block. The host keeps it for the module between calls (see LocalHandle);
// each call works on a private copy that is copied back when the call ends, unless another
// call changed the block meanwhile (see commitSession).
struct PluginGlobals {
    FormatRecord *formatRecord; // this call's record (an AboutRecord for the About selector)
    int16_t result;             // this call's result code; the first failure wins
    BufferID bufferID;          // host buffer behind rowBuffer; 0 when there is none
    uint8_t *rowBuffer;         // locked row buffer; null when there is none
    int32_t rowSize;            // bytes in one image row, also the row buffer's size
    uint8_t retainedHeader[retainedHeaderSize]; // header kept from the last file read
    ImageDescription keptImage; // what the retained header says of its image, and its mapping
    // A kept header longer than retainedHeader: all of its blocks, in memory the module holds
    // for the session (retainedHeader then holds its first blocks). Null and 0 otherwise.
    uint8_t *longHeader;
    int32_t longHeaderBlocks;
    // longHeader as this call found it: the session's, which only the call that commits its
    // replacement releases.
    uint8_t *enteredLongHeader;
    // The host has handed a document's record (revertInfo) back to a save or a revert: it
    // keeps one with each document, and a new open loses no other document's header.
    bool hostKeepsDocuments;
};

// The module's own handle: the block's address and a tag. The host's data slot holds the
// address of this record for the session block.
struct LocalHandle {
    void *block;
    char tag[4]; // "OTOF"
};

// Makes a LocalHandle for a zero-filled block of `size` bytes; null when memory ran out.
LocalHandle *newLocalHandle(int32_t size);

// Records `code` unless it is 0. An earlier failure stays. Returns true for 0 (go on).
bool recordResult(PluginGlobals *globals, int16_t code);

// Records userCanceledErr when `cancelled`. An earlier failure stays. Returns !cancelled.
bool recordCancel(PluginGlobals *globals, bool cancelled);

// Tells the user why the operation cannot go on (a message box with `caption`) and records
// `code`. Returns false, so that a step can end with it.
bool refuse(PluginGlobals *globals, const char *caption, const char *text, int16_t code);
