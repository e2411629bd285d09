// The lean host: records, services and the two sequences. Everything it refuses ends the
// operation with a message, so a benchmark never times a transfer that went wrong.
#include "bench/bench_host.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "entry/globals.h"

namespace {

constexpr OSErr paramErr = -50;
constexpr int maxBuffers = 8;

struct Buffer {
    uint8_t *bytes;
    int64_t size;
};

struct Host {
    PluginEntry entry = nullptr;
    FormatRecord record{};
    BufferProcs bufferProcs{};
    HandleProcs handleProcs{};
    PlatformData platformData{};
    intptr_t dataSlot = 0;
    BenchImage *image = nullptr;
    bool writing = false;
    HostCounts *counts = nullptr;
    Buffer buffers[maxBuffers] = {};
    int64_t bufferBytes = 0, handleBytes = 0;
    std::string fault;
    uint8_t startScratch[16] = {};
};

// The callbacks take no context.
Host *host = nullptr;

void noteFault(const char *what) {
    if (host->fault.empty())
        host->fault = what;
}

OSErr allocateProc(int32_t size, BufferID *id) {
    *id = nullptr;
    if (size < 0)
        return paramErr;
    for (Buffer &buffer : host->buffers) {
        if (buffer.bytes != nullptr)
            continue;
        buffer.bytes = new (std::nothrow) uint8_t[size == 0 ? 1 : static_cast<size_t>(size)];
        if (buffer.bytes == nullptr)
            return memFullErr;
        buffer.size = size;
        host->bufferBytes += size;
        ++host->counts->bufferAllocations;
        if (host->bufferBytes > host->counts->bufferBytesPeak)
            host->counts->bufferBytesPeak = host->bufferBytes;
        *id = reinterpret_cast<BufferID>(&buffer);
        return noErr;
    }
    return memFullErr;
}

Buffer *findBuffer(BufferID id) {
    for (Buffer &buffer : host->buffers)
        if (reinterpret_cast<BufferID>(&buffer) == id && buffer.bytes != nullptr)
            return &buffer;
    return nullptr;
}

Ptr lockProc(BufferID id, Boolean) {
    Buffer *buffer = findBuffer(id);
    return buffer != nullptr ? reinterpret_cast<Ptr>(buffer->bytes) : nullptr;
}

void unlockProc(BufferID) {}

void freeProc(BufferID id) {
    Buffer *buffer = findBuffer(id);
    if (buffer == nullptr) {
        noteFault("the module freed a buffer it was never given");
        return;
    }
    delete[] buffer->bytes;
    host->bufferBytes -= buffer->size;
    *buffer = Buffer{};
}

int32_t spaceProc() { return 1 << 30; }
OSErr reserveProc(int32_t) { return noErr; }

// Handles: the master pointer first, then its size.
struct HandleBlock {
    char *pointer;
    int32_t size;
};

Handle newHandle(int32_t size) {
    if (size < 0)
        return nullptr;
    auto *block = new (std::nothrow) HandleBlock{new (std::nothrow) char[size == 0 ? 1 : size](), size};
    if (block == nullptr || block->pointer == nullptr) {
        delete block;
        return nullptr;
    }
    host->handleBytes += size;
    if (host->handleBytes > host->counts->handleBytesPeak)
        host->counts->handleBytesPeak = host->handleBytes;
    return &block->pointer;
}

void disposeHandle(Handle handle) {
    if (handle == nullptr)
        return;
    auto *block = reinterpret_cast<HandleBlock *>(handle);
    host->handleBytes -= block->size;
    delete[] block->pointer;
    delete block;
}

int32_t handleSize(Handle handle) { return handle != nullptr ? reinterpret_cast<HandleBlock *>(handle)->size : 0; }
OSErr setHandleSize(Handle, int32_t) { return memFullErr; }
Ptr lockHandle(Handle handle, Boolean) { return handle != nullptr ? *handle : nullptr; }
void unlockHandle(Handle) {}
void recoverSpace(int32_t) {}

void progressProc(int32_t done, int32_t total) {
    ++host->counts->progressCalls;
    if (done < 1 || done > total)
        noteFault("progress outside 1..total");
}

// Whether `length` bytes from `data` lie in one buffer the host gave out.
bool insideABuffer(const uint8_t *data, int64_t length) {
    for (const Buffer &buffer : host->buffers)
        if (buffer.bytes != nullptr && data >= buffer.bytes && data + length <= buffer.bytes + buffer.size)
            return true;
    return false;
}

OSErr advanceState() {
    const FormatRecord &record = host->record;
    const Rect &rect = record.theRect;
    if (rect.top >= rect.bottom || rect.left >= rect.right)
        return noErr;
    const BenchImage &image = *host->image;
    const int32_t sampleBytes = image.depth / 8;
    if (rect.top < 0 || rect.left < 0 || rect.bottom > image.rows || rect.right > image.columns ||
        record.loPlane < 0 || record.hiPlane < record.loPlane || record.hiPlane >= image.planes ||
        record.colBytes != sampleBytes || record.data == nullptr) {
        noteFault("a row request outside the image or with other steps than one plane of packed samples");
        return paramErr;
    }
    auto *data = static_cast<uint8_t *>(record.data);
    const int64_t span = int64_t{rect.right - rect.left} * sampleBytes;
    const int64_t planeStep = record.loPlane == record.hiPlane ? 0 : record.planeBytes;
    const int64_t extent = int64_t{rect.bottom - rect.top - 1} * record.rowBytes +
                           int64_t{record.hiPlane - record.loPlane} * planeStep + span;
    if (!insideABuffer(data, extent)) {
        noteFault("a row request beyond the module's buffer");
        return paramErr;
    }
    const int64_t rowBytes = imageRowBytes(image);
    for (int32_t plane = record.loPlane; plane <= record.hiPlane; ++plane) {
        for (int32_t row = rect.top; row < rect.bottom; ++row) {
            uint8_t *line = data + (plane - record.loPlane) * planeStep + (row - rect.top) * int64_t{record.rowBytes};
            uint8_t *stored = image.pixels + (int64_t{plane} * image.rows + row) * rowBytes + rect.left * sampleBytes;
            if (host->writing)
                std::memcpy(line, stored, static_cast<size_t>(span));
            else
                std::memcpy(stored, line, static_cast<size_t>(span));
        }
    }
    ++host->counts->advanceCalls;
    return noErr;
}

void prepareHost(Host *fresh, PluginEntry entry, BenchImage *image, bool writing, HostCounts *counts, int fd) {
    fresh->entry = entry;
    fresh->image = image;
    fresh->writing = writing;
    fresh->counts = counts;
    fresh->bufferProcs = BufferProcs{kCurrentBufferProcsVersion, kCurrentBufferProcsCount, allocateProc, lockProc,
                                     unlockProc, freeProc, spaceProc, reserveProc, nullptr, nullptr};
    fresh->handleProcs = HandleProcs{kCurrentHandleProcsVersion, kCurrentHandleProcsCount, newHandle, disposeHandle,
                                     handleSize, setHandleSize, lockHandle, unlockHandle, recoverSpace,
                                     disposeHandle};
    FormatRecord &record = fresh->record;
    record.serialNumber = 1;
    record.progressProc = progressProc;
    record.maxData = 64 << 20;
    record.dataFork = fd;
    record.rsrcFork = -1;
    record.imageHRes = record.imageVRes = 72 << 16;
    for (int16_t plane = 0; plane < 16; ++plane)
        record.planeMap[plane] = plane;
    record.hostSig = 0x3842494D; // '8BIM': an editor, whose 16-bit samples run 0 … 32768
    record.hostModes = static_cast<int16_t>(1 << plugInModeGrayScale | 1 << plugInModeRGBColor);
    record.platformData = &fresh->platformData;
    record.bufferProcs = &fresh->bufferProcs;
    record.handleProcs = &fresh->handleProcs;
    record.advanceState = advanceState;
}

int16_t call(int16_t selector) {
    int16_t result = noErr;
    host->entry(selector, &host->record, &host->dataSlot, &result);
    return result;
}

// Start and Continue of one phase: Continue while the module leaves data set (and, when
// writing, a rectangle that is not empty), as hosts do.
int16_t runPhase(int16_t start, int16_t next, int64_t bound, bool watchRect) {
    host->record.data = host->startScratch;
    int16_t result = call(start);
    for (int64_t calls = 0; result == noErr && host->record.data != nullptr; ++calls) {
        const Rect &rect = host->record.theRect;
        if (watchRect && (rect.top >= rect.bottom || rect.left >= rect.right))
            break;
        if (calls == bound) {
            noteFault("the module kept asking for Continue calls");
            return paramErr;
        }
        result = call(next);
    }
    return result;
}

// The session block the module made: its handle and the block, both from the platform heap.
void releaseSession() {
    auto *handle = reinterpret_cast<LocalHandle *>(host->dataSlot);
    if (handle == nullptr)
        return;
    std::free(handle->block);
    std::free(handle);
    host->dataSlot = 0;
}

std::string failure(const char *selector, int16_t result) {
    std::string text = std::string(selector) + " gave " + std::to_string(result);
    if (!host->fault.empty())
        text += " (" + host->fault + ")";
    return text;
}

} // namespace

std::string openThroughModule(PluginEntry entry, const char *path, BenchImage *image, HostCounts *counts,
                              bool headerOnly) {
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return std::string("cannot open ") + path;
    Host fresh;
    prepareHost(&fresh, entry, image, false, counts, fd);
    host = &fresh;
    std::string problem;
    int16_t result = call(formatSelectorFilterFile);
    if (result != noErr)
        problem = failure("FilterFile", result);
    if (problem.empty() && (result = call(formatSelectorReadPrepare)) != noErr)
        problem = failure("ReadPrepare", result);
    if (problem.empty()) {
        fresh.record.data = fresh.startScratch;
        result = call(formatSelectorReadStart);
        bool started = result == noErr;
        if (!started)
            problem = failure("ReadStart", result);
        else if (fresh.record.imageSize.v != image->rows || fresh.record.imageSize.h != image->columns ||
                 fresh.record.depth != image->depth || fresh.record.planes != image->planes)
            problem = "ReadStart reported another geometry than the image's";
        if (problem.empty() && !headerOnly) {
            // ReadStart leaves data set, so ReadContinue always follows, as hosts do.
            result = call(formatSelectorReadContinue);
            for (int64_t calls = 1; result == noErr && fresh.record.data != nullptr; ++calls) {
                if (calls > int64_t{image->rows} * image->planes + 2) {
                    noteFault("the module kept asking for ReadContinue calls");
                    break;
                }
                result = call(formatSelectorReadContinue);
            }
            if (result != noErr || !fresh.fault.empty())
                problem = failure("ReadContinue", result);
        }
        if (started) {
            int16_t finish = call(formatSelectorReadFinish);
            if (problem.empty() && finish != noErr)
                problem = failure("ReadFinish", finish);
        }
    }
    if (problem.empty() && !headerOnly && counts->advanceCalls != int64_t{image->rows} * image->planes)
        problem = "not every row arrived";
    // The document closes: the host disposes of what the module keeps with it.
    disposeHandle(fresh.record.revertInfo);
    releaseSession();
    host = nullptr;
    close(fd);
    return problem;
}

std::string saveThroughModule(PluginEntry entry, const BenchImage &image, const char *path, HostCounts *counts) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return std::string("cannot create ") + path;
    Host fresh;
    BenchImage source = image;
    prepareHost(&fresh, entry, &source, true, counts, fd);
    FormatRecord &record = fresh.record;
    record.imageMode = image.planes == 1 ? plugInModeGrayScale : plugInModeRGBColor;
    record.imageSize = Point{static_cast<int16_t>(image.rows), static_cast<int16_t>(image.columns)};
    record.depth = image.depth;
    record.planes = image.planes;
    host = &fresh;
    struct Phase {
        const char *name;
        int16_t prepare, start, next, finish;
        bool watchRect;
    } phases[] = {
        {"Options", formatSelectorOptionsPrepare, formatSelectorOptionsStart, formatSelectorOptionsContinue,
         formatSelectorOptionsFinish, false},
        {"Estimate", formatSelectorEstimatePrepare, formatSelectorEstimateStart, formatSelectorEstimateContinue,
         formatSelectorEstimateFinish, false},
        {"Write", formatSelectorWritePrepare, formatSelectorWriteStart, formatSelectorWriteContinue,
         formatSelectorWriteFinish, true},
    };
    std::string problem;
    for (const Phase &phase : phases) {
        int16_t result = call(phase.prepare);
        if (result == noErr)
            result = runPhase(phase.start, phase.next, int64_t{image.rows} * image.planes + 2, phase.watchRect);
        if (result == noErr)
            result = call(phase.finish);
        if (result != noErr || !fresh.fault.empty()) {
            problem = failure(phase.name, result);
            break;
        }
    }
    if (problem.empty() && counts->advanceCalls != int64_t{image.rows} * image.planes)
        problem = "not every row was taken";
    releaseSession();
    host = nullptr;
    close(fd);
    return problem;
}
