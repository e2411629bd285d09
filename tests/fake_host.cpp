// The fake host behind the unit tests.
#include "tests/fake_host.h"

#include <cstdlib>
#include <set>
#include <cstring>

#include "entry/entry.h"
#include "host/services.h"

FakeHost fakeHost;

namespace {

size_t imageRowBytes() {
    const FormatRecord &r = fakeHost.record;
    return static_cast<size_t>(r.imageSize.h) * static_cast<size_t>(r.depth / 8);
}

void runDuringAdvance() {
    void (*other)() = fakeHost.duringAdvance;
    fakeHost.duringAdvance = nullptr;
    const FakeHost waiting = fakeHost;
    other();
    fakeHost.record = waiting.record;
    fakeHost.image = waiting.image;
    fakeHost.writing = waiting.writing;
    fakeHost.advanceCalls = waiting.advanceCalls;
    fakeHost.progressCalls = waiting.progressCalls;
}

OSErr fakeAdvanceState() {
    if (fakeHost.duringAdvance != nullptr)
        runDuringAdvance();
    FormatRecord &r = fakeHost.record;
    AdvanceCall call{r.theRect, r.loPlane, r.hiPlane, r.colBytes, r.rowBytes, r.planeBytes, r.data, {}};
    int number = static_cast<int>(fakeHost.advanceCalls.size()) + 1;
    size_t rowBytes = imageRowBytes();
    size_t offset = (static_cast<size_t>(r.loPlane) * static_cast<size_t>(r.imageSize.v) +
                     static_cast<size_t>(r.theRect.top)) * rowBytes;
    if (!fakeHost.writing) {
        size_t needed = static_cast<size_t>(r.planes) * static_cast<size_t>(r.imageSize.v) * rowBytes;
        if (fakeHost.image.size() < needed)
            fakeHost.image.resize(needed);
    }
    bool inside = r.data != nullptr && offset + rowBytes <= fakeHost.image.size();
    if (number != fakeHost.advanceFailCall && inside) {
        auto *data = static_cast<uint8_t *>(r.data);
        if (fakeHost.writing)
            std::memcpy(data, fakeHost.image.data() + offset, rowBytes);
        else
            std::memcpy(fakeHost.image.data() + offset, data, rowBytes);
        call.row.assign(data, data + rowBytes);
    }
    fakeHost.advanceCalls.push_back(call);
    return number == fakeHost.advanceFailCall ? fakeHost.advanceFailCode : noErr;
}

void fakeProgress(int32_t done, int32_t total) { fakeHost.progressCalls.emplace_back(done, total); }

OSErr fakeAllocate(int32_t size, BufferID *bufferID) {
    ++fakeHost.allocateCalls;
    fakeHost.allocateSizes.push_back(size);
    if (fakeHost.allocateResult != noErr)
        return fakeHost.allocateResult;
    if (size < 0)
        return memFullErr;
    *bufferID = static_cast<BufferID>(std::calloc(1, size == 0 ? 1 : static_cast<size_t>(size)));
    if (*bufferID == nullptr)
        return memFullErr;
    ++fakeHost.liveBuffers;
    return noErr;
}

Ptr fakeLock(BufferID bufferID, Boolean) {
    ++fakeHost.lockCalls;
    return fakeHost.lockGivesNull ? nullptr : reinterpret_cast<Ptr>(bufferID);
}

void fakeUnlock(BufferID) {}

void fakeFree(BufferID bufferID) {
    ++fakeHost.freeCalls;
    --fakeHost.liveBuffers;
    std::free(bufferID);
}

int32_t fakeSpace() { return 1 << 30; }

// A handle is a master pointer to its block, with its size beside it. Handles the fake host
// did not make (null, or a test's made-up value) are only counted when disposed.
struct FakeHandle {
    char *block;
    int32_t size;
};

std::set<Handle> madeHandles;

Handle fakeNewHandle(int32_t size) {
    if (size < 0 || fakeHost.failNewHandle)
        return nullptr;
    auto *handle = new FakeHandle{static_cast<char *>(std::calloc(static_cast<size_t>(size) + 1, 1)), size};
    ++fakeHost.liveHandles;
    madeHandles.insert(reinterpret_cast<Handle>(handle));
    return reinterpret_cast<Handle>(handle);
}

bool isFakeHandle(Handle handle) { return madeHandles.count(handle) != 0; }

void fakeDisposeHandle(Handle handle) {
    ++fakeHost.disposeCalls;
    if (!isFakeHandle(handle))
        return;
    madeHandles.erase(handle);
    auto *fake = reinterpret_cast<FakeHandle *>(handle);
    std::free(fake->block);
    delete fake;
    --fakeHost.liveHandles;
}

int32_t fakeGetHandleSize(Handle handle) {
    return isFakeHandle(handle) ? reinterpret_cast<FakeHandle *>(handle)->size : 0;
}

OSErr fakeSetHandleSize(Handle handle, int32_t size) {
    if (!isFakeHandle(handle) || size < 0)
        return memFullErr;
    auto *fake = reinterpret_cast<FakeHandle *>(handle);
    char *block = static_cast<char *>(std::realloc(fake->block, static_cast<size_t>(size) + 1));
    if (block == nullptr)
        return memFullErr;
    fake->block = block;
    fake->size = size;
    return noErr;
}

Ptr fakeLockHandle(Handle handle, Boolean) {
    return isFakeHandle(handle) ? reinterpret_cast<FakeHandle *>(handle)->block : nullptr;
}

void fakeUnlockHandle(Handle) {}

} // namespace

void resetFakeHost(intptr_t file) {
    // The module never frees its session block; a test session ends here, and with it the
    // document whose record the module left in revertInfo.
    disposeLocalHandle(reinterpret_cast<LocalHandle *>(fakeHost.dataSlot));
    closeFakeDocument();
    fakeHost.~FakeHost();
    new (&fakeHost) FakeHost();
    FakeHost &h = fakeHost;
    h.bufferProcs = BufferProcs{kCurrentBufferProcsVersion, kCurrentBufferProcsCount, fakeAllocate, fakeLock,
                                fakeUnlock, fakeFree, fakeSpace, nullptr, nullptr, nullptr};
    h.handleProcs = HandleProcs{kCurrentHandleProcsVersion, kCurrentHandleProcsCount, fakeNewHandle,
                                fakeDisposeHandle, fakeGetHandleSize, fakeSetHandleSize, fakeLockHandle,
                                fakeUnlockHandle, nullptr, nullptr};
    h.record.hostSig = fakeHostSignature;
    h.record.dataFork = file;
    h.record.bufferProcs = &h.bufferProcs;
    h.record.handleProcs = &h.handleProcs;
    h.record.advanceState = fakeAdvanceState;
    h.record.progressProc = fakeProgress;
    h.record.maxData = 1 << 20;
    h.platformData.hwnd = 0x1234;
    h.record.platformData = &h.platformData;
    h.about.platformData = &h.platformData;
}

void closeFakeDocument() {
    if (fakeHost.record.revertInfo != nullptr)
        fakeDisposeHandle(fakeHost.record.revertInfo);
    fakeHost.record.revertInfo = nullptr;
}

void setHostImage(int16_t rows, int16_t columns, int16_t depth, int16_t planes, const std::vector<uint8_t> &pixels) {
    fakeHost.record.imageSize = Point{rows, columns};
    fakeHost.record.depth = depth;
    fakeHost.record.planes = planes;
    fakeHost.image = pixels;
}

int16_t callModule(int16_t selector) {
    int16_t result = 12345;
    void *record = selector == formatSelectorAbout ? static_cast<void *>(&fakeHost.about)
                                                   : static_cast<void *>(&fakeHost.record);
    fakeHost.writing = selector >= formatSelectorOptionsPrepare && selector <= formatSelectorWriteFinish;
    ENTRYPOINT(selector, record, &fakeHost.dataSlot, &result);
    return result;
}
