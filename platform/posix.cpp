// The platform layer on Linux: file descriptors, the C heap, standard error for message boxes.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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

namespace {

// UTF-16 as the host's name for the files carry it, to the UTF-8 of Linux paths.
std::string utf8Path(const uint16_t *path) {
    std::string out;
    for (size_t i = 0; path[i] != 0; ++i) {
        uint32_t code = path[i];
        if (code >= 0xD800 && code < 0xDC00 && path[i + 1] >= 0xDC00 && path[i + 1] < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (path[++i] - 0xDC00);
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | code >> 6));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | code >> 12));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | code >> 18));
            out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

} // namespace

PlatformFile platformOpenSource(const uint16_t *path) {
    if (path == nullptr)
        return -1;
    // Without blocking, and a regular file only: a FIFO or a device is no file to read twice.
    int fd;
    do
        fd = open(utf8Path(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

bool platformSourceFacts(PlatformFile file, PlatformSourceFacts *facts) {
    struct stat info;
    if (fstat(static_cast<int>(file), &info) != 0)
        return false;
    facts->bytes = info.st_size;
    facts->modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

int32_t platformReadSourceAt(PlatformFile file, int64_t offset, void *buffer, int32_t count) {
    ssize_t moved;
    do
        moved = pread(static_cast<int>(file), buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
    while (moved < 0 && errno == EINTR);
    return moved < 0 ? -1 : static_cast<int32_t>(moved);
}

void platformCloseSource(PlatformFile file) { close(static_cast<int>(file)); }
