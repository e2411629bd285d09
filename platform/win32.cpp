// The platform layer on Windows: the kernel32 and user32 calls the module is built on.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>

PlatformInstance moduleInstance = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        moduleInstance = instance;
    return TRUE;
}

namespace {

// The host's dataFork is a file handle as these calls take it; intptr_t holds it unchanged.
HFILE hostFile(PlatformFile file) { return static_cast<HFILE>(file); }

// _lread and _lwrite give HFILE_ERROR as an unsigned count.
constexpr UINT transferError = static_cast<UINT>(HFILE_ERROR);

} // namespace

int32_t platformSeek(PlatformFile file, int32_t offset, int16_t origin) {
    return _llseek(hostFile(file), offset, origin);
}

int32_t platformRead(PlatformFile file, void *buffer, uint16_t count) {
    UINT moved = _lread(hostFile(file), buffer, count);
    return moved == transferError ? -1 : static_cast<int32_t>(moved);
}

int32_t platformWrite(PlatformFile file, const void *buffer, uint16_t count) {
    UINT moved = _lwrite(hostFile(file), static_cast<LPCCH>(buffer), count);
    return moved == transferError ? -1 : static_cast<int32_t>(moved);
}

void *platformNewFixedBlock(size_t size) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (memory == nullptr)
        return nullptr;
    void *block = GlobalLock(memory);
    if (block == nullptr)
        GlobalFree(memory);
    return block;
}

void platformDisposeFixedBlock(void *block) {
    if (block == nullptr)
        return;
    HGLOBAL memory = GlobalHandle(block);
    GlobalUnlock(memory);
    GlobalFree(memory);
}

void *platformHeapAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void platformHeapFree(void *block) { std::free(block); }

int32_t platformMessageBox(PlatformWindow owner, const char *text, const char *caption, uint32_t style) {
    return MessageBoxA(reinterpret_cast<HWND>(owner), text, caption, style);
}

int32_t platformLoadString(PlatformInstance instance, uint32_t id, char *buffer, int32_t limit) {
    return LoadStringA(static_cast<HINSTANCE>(instance), id, buffer, limit);
}

PlatformFile platformOpenSource(const uint16_t *path) {
    if (path == nullptr)
        return -1;
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    // A regular file only: a pipe or a device is no file to read twice.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return -1;
    }
    return reinterpret_cast<PlatformFile>(file);
}

bool platformSourceFacts(PlatformFile file, PlatformSourceFacts *facts) {
    LARGE_INTEGER size;
    FILETIME written;
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    if (!GetFileSizeEx(handle, &size) || !GetFileTime(handle, nullptr, nullptr, &written))
        return false;
    facts->bytes = size.QuadPart;
    facts->modified = static_cast<int64_t>(uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime);
    return true;
}

int32_t platformReadSourceAt(PlatformFile file, int64_t offset, void *buffer, int32_t count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD moved = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &moved, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<int32_t>(moved);
}

void platformCloseSource(PlatformFile file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }
