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
