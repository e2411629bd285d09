// The resource data through which a host finds the module, held once for every build.
//
// The Windows build turns these bytes into its resource section (resgen.cpp writes them out
// for the resource compiler), so the DLL itself exports only ENTRYPOINT. The Linux module
// exports the property list and terminology as data, for a host to read without calling
// the module, and serves the string table itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr uint16_t pluginResourceID = 16000;
constexpr size_t pluginPropertyListBytes = 358;
constexpr size_t pluginTerminologyBytes = 187;
// The 64-bit list is longer: a four-letter extension and an enabling condition that names modes.
constexpr size_t pluginPropertyList64Bytes = 474;

// "PIPL" 16000 and "AETE" 16000, byte for byte as a host reads them; the Size values hold
// their lengths for a host that finds the data by symbol name. The arrays are plain bytes
// (an std::array is laid out as its elements), so the symbol's address is the first byte.
extern "C" {
KORVALIS_EXPORT extern const std::array<uint8_t, pluginPropertyListBytes> pluginPropertyList;
KORVALIS_EXPORT extern const uint32_t pluginPropertyListSize;
KORVALIS_EXPORT extern const std::array<uint8_t, pluginTerminologyBytes> pluginTerminology;
KORVALIS_EXPORT extern const uint32_t pluginTerminologySize;

// The property list of the 64-bit modules, for the editors of today: the entry point under
// '8664' (x86-64 code), the extensions FTS, FIT and FITS, and only the modes the module saves,
// in 'mode' and in the enabling condition 'enbl' that current hosts read. Written by the same
// code as the list above. The 64-bit Windows module carries it as its resource, and the Linux
// module, x86-64 code too, declares it with its size under these names; the 32-bit list stays
// exported beside it for a host of 32-bit code.
KORVALIS_EXPORT extern const std::array<uint8_t, pluginPropertyList64Bytes> pluginPropertyList64;
KORVALIS_EXPORT extern const uint32_t pluginPropertyList64Size;
}

// One entry of the string table; text is zero-terminated, in code page 1252.
struct StringResource {
    uint16_t id;
    const char *text;
};

constexpr size_t stringTableEntries = 6;
extern const StringResource stringTable[stringTableEntries];

// The text of string `id`, or null when the table has none.
const char *findStringResource(uint32_t id);

// Copies `text` into `buffer` the way LoadStringA does: at most limit - 1 characters and a
// zero byte. Returns the characters copied; a null text (a missing string) gives an empty
// buffer and 0, and a limit of 0 or below touches nothing.
int32_t copyStringText(const char *text, char *buffer, int32_t limit);

// copyStringText of string `id` from the table.
int32_t copyStringResource(uint32_t id, char *buffer, int32_t limit);
