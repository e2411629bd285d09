// Seek, read and write on the host's file handle.
#include "host/file_access.h"

#include "platform/platform.h"

int16_t fileSeek(intptr_t file, int16_t origin, int32_t offset) {
    platformSeek(file, offset, origin);
    return noErr;
}

int16_t fileRead(intptr_t file, int32_t *count, void *buffer) {
    auto wanted = static_cast<uint16_t>(*count);
    *count = platformRead(file, buffer, wanted);
    return *count < 0 ? readErr : noErr;
}

int16_t fileWrite(intptr_t file, int32_t *count, const void *buffer) {
    auto wanted = static_cast<uint16_t>(*count);
    *count = platformWrite(file, buffer, wanted);
    return *count < 0 ? writErr : noErr;
}

namespace {

// One transfer of exactly `count` bytes, unless result is already non-zero; `shortfall` is the
// code for fewer bytes moved than asked.
template <typename Buffer, typename Transfer>
void transferExact(PluginGlobals *globals, int32_t count, Buffer buffer, Transfer transfer, int16_t shortfall) {
    if (globals->result != noErr)
        return;
    int32_t moved = count;
    globals->result = transfer(globals->formatRecord->dataFork, &moved, buffer);
    if (globals->result == noErr && moved != count)
        globals->result = shortfall;
}

// `count` bytes in as many exact transfers as it takes, until one fails.
template <typename Byte, typename Exact>
void transferInPieces(PluginGlobals *globals, int64_t count, Byte *bytes, Exact exact) {
    for (int64_t done = 0; done < count && globals->result == noErr;) {
        const int64_t piece = count - done < maxTransferBytes ? count - done : maxTransferBytes;
        exact(globals, static_cast<int32_t>(piece), bytes + done);
        done += piece;
    }
}

} // namespace

void readExact(PluginGlobals *globals, int32_t count, void *buffer) {
    transferExact(globals, count, buffer, fileRead, eofErr);
}

void readExactInPieces(PluginGlobals *globals, int64_t count, void *buffer) {
    transferInPieces(globals, count, static_cast<uint8_t *>(buffer), readExact);
}

void writeExact(PluginGlobals *globals, int32_t count, const void *buffer) {
    transferExact(globals, count, buffer, fileWrite, dskFulErr);
}

void writeDataExact(PluginGlobals *globals, int32_t count, const void *buffer) {
    transferExact(globals, count, buffer, fileWrite, eofErr);
}

void writeExactInPieces(PluginGlobals *globals, int64_t count, const void *buffer) {
    transferInPieces(globals, count, static_cast<const uint8_t *>(buffer), writeExact);
}
