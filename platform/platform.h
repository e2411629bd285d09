// The few operating-system services the module uses; everything else is plain C++.
//
// Three implementations exist: win32.cpp (the Windows DLL), posix.cpp (the Linux module and
// in-process tests against real files) and tests/fake_platform.cpp (unit tests, in memory).
// Only these files touch the operating system.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KORVALIS_EXPORT
#else
#define KORVALIS_EXPORT __attribute__((visibility("default")))
#endif

// The host's file handle as it arrives in the FormatRecord's dataFork: a Windows file handle
// for _llseek/_lread/_lwrite, a file descriptor on posix, a key into the fake file table in tests.
using PlatformFile = intptr_t;

// The library's instance handle, needed to load its string resources.
using PlatformInstance = void *;

// A window handle (the host's PlatformData hwnd); 0 means no owner.
using PlatformWindow = intptr_t;

// Set by the load-time attach notification; null until the library has been attached.
extern PlatformInstance moduleInstance;

// Origin for platformSeek: counted from the start of the file.
constexpr int16_t platformSeekFromStart = 0;

// Moves the file position. Returns the new position, or -1 when the platform refused.
int32_t platformSeek(PlatformFile file, int32_t offset, int16_t origin);

// One read of at most 65535 bytes at the current position. Returns the bytes read (0 at the
// end of the file), or -1 when the call failed.
int32_t platformRead(PlatformFile file, void *buffer, uint16_t count);

// One write of at most 65535 bytes at the current position. Returns the bytes written, or -1
// when the call failed.
int32_t platformWrite(PlatformFile file, const void *buffer, uint16_t count);

// Zero-filled memory whose address stays fixed until it is released. Null when none is left.
// On Windows this is movable global memory, locked once for its whole life.
void *platformNewFixedBlock(size_t size);
// Releases a block from platformNewFixedBlock; null is ignored.
void platformDisposeFixedBlock(void *block);

// Short-lived scratch memory from the general heap, not zero-filled. Null when none is left.
void *platformHeapAlloc(size_t size);
// Releases scratch memory from platformHeapAlloc; null is ignored.
void platformHeapFree(void *block);

// Message box styles, with the Windows values.
constexpr uint32_t platformBoxOk = 0x00;
constexpr uint32_t platformBoxIconWarning = 0x30;
constexpr uint32_t platformBoxIconInformation = 0x40;

// A modal message box. A null caption means the platform's default caption ("Error" on
// Windows). Returns the button pressed (1 for OK), or 0 when no box could be shown.
int32_t platformMessageBox(PlatformWindow owner, const char *text, const char *caption, uint32_t style);

// Loads string resource `id` into `buffer`, at most limit - 1 characters followed by a zero
// byte (as LoadStringA does). Returns the characters stored; 0 when the string is missing.
// Texts are single bytes of code page 1252 on every platform.
int32_t platformLoadString(PlatformInstance instance, uint32_t id, char *buffer, int32_t limit);

// The file a document was opened from, which the module reads again itself when a save
// carries the file's other HDUs over: named by the UTF-16 path the host gives in fileSpec2,
// read at 64-bit offsets (HDUs beyond 2 GB), never written.
struct PlatformSourceFacts {
    int64_t bytes;    // the file's size
    int64_t modified; // its modification time, in the platform's own units
};

// Opens the file read-only; -1 when it cannot be opened.
PlatformFile platformOpenSource(const uint16_t *path);
// Size and modification time of an open source file; false when the platform cannot tell.
bool platformSourceFacts(PlatformFile file, PlatformSourceFacts *facts);
// Reads up to `count` bytes at `offset`. Returns the bytes read (fewer at the end of the
// file), or -1 when the call failed.
int32_t platformReadSourceAt(PlatformFile file, int64_t offset, void *buffer, int32_t count);
void platformCloseSource(PlatformFile file);
