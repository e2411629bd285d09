// The platform layer on Linux: file descriptors, the C heap, standard error for message boxes.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "resources/plugin_resources.h"

// Strings are served from the module's own table, so any non-null value names this library.
PlatformInstance moduleInstance = const_cast<StringResource *>(stringTable);

int32_t platformSeek(PlatformFile file, int32_t offset, int16_t origin) {
    int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    off_t position = lseek(static_cast<int>(file), offset, whence);
    return position < 0 || position > INT32_MAX ? -1 : static_cast<int32_t>(position);
}

int32_t platformRead(PlatformFile file, void *buffer, uint16_t count) {
    ssize_t moved;
    do
        moved = read(static_cast<int>(file), buffer, count);
    while (moved < 0 && errno == EINTR);
    return moved < 0 ? -1 : static_cast<int32_t>(moved);
}

int32_t platformWrite(PlatformFile file, const void *buffer, uint16_t count) {
    ssize_t moved;
    do
        moved = write(static_cast<int>(file), buffer, count);
    while (moved < 0 && errno == EINTR);
    // A full disk is a short write, not a failed call: write(2) moves what fits and refuses
    // the rest with ENOSPC, and the module reports either as a full disk.
    if (moved < 0 && errno == ENOSPC)
        return 0;
    return moved < 0 ? -1 : static_cast<int32_t>(moved);
}

void *platformNewFixedBlock(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }

void platformDisposeFixedBlock(void *block) { std::free(block); }

void *platformHeapAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void platformHeapFree(void *block) { std::free(block); }

int32_t platformMessageBox(PlatformWindow, const char *text, const char *caption, uint32_t) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
    return 1;
}

int32_t platformLoadString(PlatformInstance, uint32_t id, char *buffer, int32_t limit) {
    return copyStringResource(id, buffer, limit);
}
