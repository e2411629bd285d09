// Checks of the host's services before an operation, and the wrappers that call them.
//
// A service is tested afresh at every use, never cached. hostServicesUsable tells the user
// with a version alert when a service is missing; the wrappers test silently.
#pragma once

#include <cstdint>

#include "entry/globals.h"
#include "platform/platform.h"

// True when the buffer services, advanceState and the handle services are all usable.
// Checks in that order and stops at the first failure, whose version alert (string 16992 or
// 16993) it raises: at most one alert.
bool hostServicesUsable(PluginGlobals *globals);

// The silent tests. A too-new version sets *tooNew (when given); it is never cleared.
bool bufferServicesUsable(const BufferProcs *procs, bool *tooNew = nullptr);
bool handleServicesUsable(const HandleProcs *procs, bool *tooNew = nullptr);

// Handler of formatSelectorOptionsStart: the service check; data becomes null when it passes.
void doOptionsStart(PluginGlobals *globals);

// Asks the host for a buffer of `size` bytes. *bufferID is 0 unless the host filled it.
// Returns the host's code, or memFullErr (no alert) when the buffer services are unusable.
int16_t allocateHostBuffer(const BufferProcs *procs, int32_t size, BufferID *bufferID);
// The buffer's address, or null when the buffer services are unusable.
uint8_t *lockHostBuffer(const BufferProcs *procs, BufferID bufferID, bool moveHigh);
// Frees the buffer; does nothing when the buffer services are unusable.
void freeHostBuffer(const BufferProcs *procs, BufferID bufferID);

// Releases a host handle through the handle services, or as a LocalHandle when they are
// unusable.
void disposeHostHandle(const HandleProcs *procs, Handle handle);
// Releases a LocalHandle and its block; null does nothing.
void disposeLocalHandle(LocalHandle *handle);

// Whether the host's 16-bit samples run 0 … 32768 rather than 0 … 65535. The record says so
// nowhere for a save (maxValue is the module's word to the host on reading), so the host's
// signature decides: '8BIM' is the editor the interface comes from, and hosts that present
// themselves as it; they keep 16-bit samples on 0 … 32768. Any other host is taken to hand
// over 0 … 65535, as the module always assumed.
bool hostUsesScale32768(const FormatRecord *record);
