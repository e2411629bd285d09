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

void readExact(PluginGlobals *globals, int32_t count, void *buffer) {
    if (globals->result != noErr)
        return;
    int32_t moved = count;
    globals->result = fileRead(globals->formatRecord->dataFork, &moved, buffer);
    if (globals->result == noErr && moved != count)
        globals->result = eofErr;
}

void readExactInPieces(PluginGlobals *globals, int64_t count, void *buffer) {
    auto *bytes = static_cast<uint8_t *>(buffer);
    for (int64_t done = 0; done < count && globals->result == noErr;) {
        int64_t piece = count - done < maxTransferBytes ? count - done : maxTransferBytes;
        readExact(globals, static_cast<int32_t>(piece), bytes + done);
        done += piece;
    }
}

void writeExact(PluginGlobals *globals, int32_t count, const void *buffer) {
    if (globals->result != noErr)
        return;
    int32_t moved = count;
    globals->result = fileWrite(globals->formatRecord->dataFork, &moved, buffer);
    if (globals->result == noErr && moved != count)
        globals->result = dskFulErr;
}

void writeExactInPieces(PluginGlobals *globals, int64_t count, const void *buffer) {
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (int64_t done = 0; done < count && globals->result == noErr;) {
        int64_t piece = count - done < maxTransferBytes ? count - done : maxTransferBytes;
        writeExact(globals, static_cast<int32_t>(piece), bytes + done);
        done += piece;
    }
}
