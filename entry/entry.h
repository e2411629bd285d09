// The module's one export and the handlers of the selectors that need no file format.
#pragma once

#include <cstdint>

#include "entry/globals.h"
#include "platform/platform.h"

// Called by the host once for every step of every operation.
//   selector  formatSelectorAbout .. formatSelectorFilterFile; others give formatBadParameters
//   record    the host's FormatRecord (its AboutRecord for formatSelectorAbout)
//   data      the host's slot for the session handle; 0 on the first call of a session
//   result    receives the call's result code on every call
extern "C" KORVALIS_EXPORT void ENTRYPOINT(int16_t selector, void *record, intptr_t *data, int16_t *result);

// Handlers of the selectors that only touch maxData.
void doOptionsPrepare(PluginGlobals *globals);
void doWritePrepare(PluginGlobals *globals);
