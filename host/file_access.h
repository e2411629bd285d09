// The module's whole access to the host's open file: seek, one read, one write, and the
// exact forms that record a shortfall in the session's result.
#pragma once

#include <cstdint>

#include "entry/globals.h"

// A single platform transfer moves at most this many bytes: the count handed down is the low
// 16 bits of the one asked for.
constexpr int32_t maxTransferBytes = 65535;

// Sets the file position from `origin` (0: the start). A bad position shows up later as a
// short transfer, so this always returns noErr.
int16_t fileSeek(intptr_t file, int16_t origin, int32_t offset);

// One platform read of the low 16 bits of *count bytes. *count becomes the bytes read.
// Returns readErr when the call failed; a short count is not a failure here.
int16_t fileRead(intptr_t file, int32_t *count, void *buffer);

// One platform write, as fileRead. Returns writErr when the call failed.
int16_t fileWrite(intptr_t file, int32_t *count, const void *buffer);

// Reads exactly `count` bytes from the record's dataFork, unless result is already non-zero.
// Leaves readErr, or eofErr when fewer bytes arrived.
void readExact(PluginGlobals *globals, int32_t count, void *buffer);

// Reads exactly `count` bytes in as many transfers as it takes, unless result is already
// non-zero. Leaves readErr, or eofErr when fewer bytes arrived.
void readExactInPieces(PluginGlobals *globals, int64_t count, void *buffer);

// Writes exactly `count` bytes in as many transfers as it takes, as writeExact.
void writeExactInPieces(PluginGlobals *globals, int64_t count, const void *buffer);

// Writes exactly `count` bytes, unless result is already non-zero. Leaves writErr, or
// dskFulErr when fewer bytes went out.
void writeExact(PluginGlobals *globals, int32_t count, const void *buffer);

// Writes exactly `count` bytes of a data unit, as writeExact, but a short write leaves eofErr,
// as it always has for the rows and padding of the data.
void writeDataExact(PluginGlobals *globals, int32_t count, const void *buffer);
