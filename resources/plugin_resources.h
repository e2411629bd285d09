// The resource data through which a host finds the module, held once for every build.
//
// The Windows build turns these bytes into its resource section; the Linux module exports
// the property list and terminology as data and serves the string table itself.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t pluginResourceID = 16000;
constexpr size_t pluginPropertyListBytes = 358;
constexpr size_t pluginTerminologyBytes = 187;

// "PIPL" 16000 and "AETE" 16000, byte for byte as a host reads them.
extern const uint8_t pluginPropertyList[pluginPropertyListBytes];
extern const uint8_t pluginTerminology[pluginTerminologyBytes];

// One entry of the string table; text is zero-terminated, in code page 1252.
struct StringResource {
    uint16_t id;
    const char *text;
};

constexpr size_t stringTableEntries = 6;
extern const StringResource stringTable[stringTableEntries];

// The text of string `id`, or null when the table has none.
const char *findStringResource(uint32_t id);
