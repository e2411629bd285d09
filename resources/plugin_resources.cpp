// placeholder
#include "resources/plugin_resources.h"
const uint8_t pluginPropertyList[pluginPropertyListBytes] = {};
const uint8_t pluginTerminology[pluginTerminologyBytes] = {};
const StringResource stringTable[stringTableEntries] = {};
const char *findStringResource(uint32_t) { return nullptr; }
